#ifndef KMACFUNCTION_H
#define KMACFUNCTION_H

#include <string>

#include "ikfunction.h"

inline constexpr char OUTPUT_OPTION[] = "o";

// "mac": writes the Base64 of the machine's hardware address into the file named by -o.
class KMACFunction : public IKFunction {
public:
    static std::string function();
    int run(const KCommandLine& commandLine) override;
};

#endif
