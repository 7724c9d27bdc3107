#include "khardwareinfo.h"

#include <dirent.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "kutil.h"
#include "md5.h"

namespace {

constexpr char DEVICE_TABLE[] = "/proc/net/dev";
constexpr char VIRTUAL_DEVICE_DIRECTORY[] = "/sys/devices/virtual/net";

struct FileCloser {
    void operator()(std::FILE* file) const { (void)std::fclose(file); }  // read only
};
struct DirectoryCloser {
    void operator()(DIR* directory) const { closedir(directory); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;
using DirectoryHandle = std::unique_ptr<DIR, DirectoryCloser>;

// Owns the datagram socket that carries the adapter queries, so every return path closes it.
class QuerySocket {
public:
    QuerySocket() : m_fd(socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~QuerySocket() {
        if (m_fd != -1) close(m_fd);
    }
    QuerySocket(const QuerySocket&) = delete;
    QuerySocket& operator=(const QuerySocket&) = delete;

    bool isOpen() const { return m_fd != -1; }
    int fd() const { return m_fd; }

private:
    int m_fd;
};

// One line without its "\n"; false once the end of the file is reached with nothing read.
bool readLine(std::FILE* file, std::string& line) {
    line.clear();
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, file) != nullptr) {
        line += chunk;
        if (line.back() == '\n') {
            line.pop_back();
            return true;
        }
    }
    return !line.empty();
}

// Appends a directory's entry names, "." and ".." left out; false when it cannot be opened.
bool appendEntryNames(const std::string& directory, std::vector<std::string>& names) {
    const DirectoryHandle handle(opendir(directory.c_str()));
    if (!handle) return false;
    while (const dirent* entry = readdir(handle.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    return true;
}

// The list is filled only while it is empty, so a directory that was unreadable or empty is
// looked at again on the next call, and a filled list is trusted from then on.
bool isAbsentFromVirtualNames(const std::string& name, const std::string& directory,
                              std::vector<std::string>& virtualNames) {
    if (virtualNames.empty() && !appendEntryNames(directory, virtualNames)) return false;
    return std::find(virtualNames.begin(), virtualNames.end(), name) == virtualNames.end();
}

// "XX-XX-XX-XX-XX-XX" from six address bytes.
std::string addressText(const unsigned char* bytes) {
    char text[18] = {};
    // Six two-digit groups and five hyphens always fill exactly 17 bytes: nothing to check.
    (void)std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", bytes[0], bytes[1],
                        bytes[2], bytes[3], bytes[4], bytes[5]);
    return text;
}

// The address text of the adapter named in the request when it is not loopback and is of
// Ethernet or IEEE 802 type; empty otherwise. Down adapters count: their flags are not asked.
std::string qualifyingAddress(const QuerySocket& querySocket, ifreq& request) {
    if (ioctl(querySocket.fd(), SIOCGIFFLAGS, &request) == -1) return std::string();
    if ((request.ifr_flags & IFF_LOOPBACK) != 0) return std::string();
    if (ioctl(querySocket.fd(), SIOCGIFHWADDR, &request) == -1) return std::string();
    const unsigned short type = request.ifr_hwaddr.sa_family;
    if (type != ARPHRD_ETHER && type != ARPHRD_IEEE802) return std::string();
    return addressText(reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data));
}

// The smallest qualifying address among the table's adapters that isPhysical accepts.
template <typename PhysicalTest>
std::string smallestAddress(const std::string& tablePath, const PhysicalTest& isPhysical) {
    const std::vector<std::string> names = KHardwareInfo::adapterNames(tablePath);
    const QuerySocket querySocket;
    if (!querySocket.isOpen()) return std::string();

    ifreq request;
    std::memset(&request, 0, sizeof request);
    std::vector<std::string> candidates;
    for (const std::string& name : names) {
        // A name that does not fit with its terminator is no device of the kernel's, and
        // cutting it short could name a different device.
        if (name.size() >= sizeof request.ifr_name) continue;
        std::memset(request.ifr_name, 0, sizeof request.ifr_name);
        std::memcpy(request.ifr_name, name.data(), name.size());
        if (!isPhysical(std::string(request.ifr_name))) continue;
        std::string address = qualifyingAddress(querySocket, request);
        if (!address.empty()) candidates.push_back(std::move(address));
    }
    if (candidates.empty()) return std::string();
    // Equal-length upper-case hex texts sort in the numeric order of their bytes.
    std::sort(candidates.begin(), candidates.end());
    return candidates.front();
}

}  // namespace

std::string KHardwareInfo::mac() {
    return smallestAddress(DEVICE_TABLE,
                           [](const std::string& name) { return isPhysicalAdapter(name); });
}

// The name is taken by value, as this operation has always been declared.
// cppcheck-suppress passedByValue
bool KHardwareInfo::isPhysicalAdapter(std::string name) {  // NOLINT(performance-unnecessary-value-param)
    // Read once per process: the set of virtual devices is taken as fixed while the agent runs.
    static std::vector<std::string> virtualAdapters;
    return isAbsentFromVirtualNames(name, VIRTUAL_DEVICE_DIRECTORY, virtualAdapters);
}

std::string KHardwareInfo::hdid() { return md5(mac()); }

std::string KHardwareInfo::mac(const std::string& tablePath, const std::string& virtualDirectory) {
    std::vector<std::string> virtualNames;
    return smallestAddress(tablePath, [&](const std::string& name) {
        return isAbsentFromVirtualNames(name, virtualDirectory, virtualNames);
    });
}

std::vector<std::string> KHardwareInfo::adapterNames(const std::string& tablePath) {
    std::vector<std::string> names;
    const FileHandle table(std::fopen(tablePath.c_str(), "r"));
    if (!table) return names;
    std::string line;
    // Only device lines have a colon, after the name; the two header lines have none.
    while (readLine(table.get(), line)) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos) names.push_back(KUtil::stringTrim(line.substr(0, colon)));
    }
    return names;
}
