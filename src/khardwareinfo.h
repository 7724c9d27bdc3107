#ifndef KHARDWAREINFO_H
#define KHARDWAREINFO_H

#include <string>

// The machine's hardware identity: the smallest MAC address among its physical adapters.
class KHardwareInfo {
public:
    KHardwareInfo() = delete;

    // "XX-XX-XX-XX-XX-XX" in upper-case hex, or empty when no adapter qualifies.
    static std::string mac();
    // True when the name is not listed among the kernel's virtual network devices.
    static bool isPhysicalAdapter(std::string name);
    // md5 of mac().
    static std::string hdid();
};

#endif
