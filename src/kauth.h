#ifndef KAUTH_H
#define KAUTH_H

#include <string>

// The product's authorization library, loaded once per process from beside the executable.
class KAuth {
public:
    static KAuth& instance();
    ~KAuth();
    KAuth(const KAuth&) = delete;
    KAuth& operator=(const KAuth&) = delete;

    // The authorization code text, or empty when the library or an entry point is missing.
    std::string codes();

private:
    using CodeFunction = std::string (*)();

    KAuth();
    void init();

    void* m_handle = nullptr;
    CodeFunction m_mList = nullptr;
    CodeFunction m_sList = nullptr;
};

#endif
