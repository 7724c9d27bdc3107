#include "kinfocollectfunction.h"

#include "kcommandline.h"

std::string KInfoCollectFunction::function() { return "ic"; }

int KInfoCollectFunction::run(const KCommandLine& commandLine) {
    (void)commandLine;
    return -1;
}

std::string KInfoCollectFunction::version() { return std::string(); }
std::string KInfoCollectFunction::hid() { return std::string(); }
std::string KInfoCollectFunction::sn() { return std::string(); }
std::string KInfoCollectFunction::distnum() { return std::string(); }
std::string KInfoCollectFunction::mac() { return std::string(); }
std::string KInfoCollectFunction::platform() { return std::string(); }
std::string KInfoCollectFunction::icServer() { return std::string(); }
std::string KInfoCollectFunction::customICServer() { return std::string(); }
