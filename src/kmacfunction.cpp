#include "kmacfunction.h"

#include "kcommandline.h"

std::string KMACFunction::function() { return "mac"; }

int KMACFunction::run(const KCommandLine& commandLine) {
    (void)commandLine;
    return -1;
}
