#ifndef KHARDWAREINFO_H
#define KHARDWAREINFO_H

#include <string>
#include <vector>

// The machine's hardware identity: the smallest MAC address among its physical adapters.
class KHardwareInfo {
public:
    KHardwareInfo() = delete;

    // "XX-XX-XX-XX-XX-XX" in upper-case hex, or empty when no adapter qualifies or the adapters
    // could not be looked at.
    static std::string mac();
    // The same, telling the two empty answers apart: false when the adapter table, the query
    // socket or the virtual-device directory could not be opened (address then untouched).
    static bool findMac(std::string& address);
    // True when the name is not listed among the kernel's virtual network devices.
    static bool isPhysicalAdapter(std::string name);
    // md5 of mac().
    static std::string hdid();

    // The same choice over another device table and virtual-device directory, so tests can
    // feed their own; the virtual names are read for this call only, never kept.
    static std::string mac(const std::string& tablePath, const std::string& virtualDirectory);
    static bool findMac(const std::string& tablePath, const std::string& virtualDirectory,
                        std::string& address);
    // Interface names of a device table, in table order; none when it cannot be read.
    static std::vector<std::string> adapterNames(const std::string& tablePath);
};

#endif
