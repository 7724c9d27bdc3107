#include "khardwareinfo.h"

std::string KHardwareInfo::mac() { return std::string(); }

bool KHardwareInfo::isPhysicalAdapter(std::string name) {
    (void)name;
    return false;
}

std::string KHardwareInfo::hdid() { return std::string(); }
