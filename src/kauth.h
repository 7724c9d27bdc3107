#ifndef KAUTH_H
#define KAUTH_H

#include <string>

// The product's authorization code, asked once per process from the library beside the
// executable. The library runs in a child process (see KAuthRunner), never in the agent.
class KAuth {
public:
    static KAuth& instance();
    KAuth(const KAuth&) = delete;
    KAuth& operator=(const KAuth&) = delete;

    // The authorization code text, or empty when the library is missing or gives none.
    std::string codes();

private:
    KAuth() = default;

    bool m_asked = false;
    std::string m_codes;
};

#endif
