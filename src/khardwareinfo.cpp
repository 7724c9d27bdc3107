#include "khardwareinfo.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "kutil.h"
#include "md5.h"

namespace {

constexpr char DEVICE_TABLE[] = "/proc/net/dev";
constexpr char VIRTUAL_DEVICE_DIRECTORY[] = "/sys/devices/virtual/net";

struct DirectoryCloser {
    void operator()(DIR* directory) const { closedir(directory); }
};
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

// Owns a descriptor opened for reading.
class ReadDescriptor {
public:
    explicit ReadDescriptor(const std::string& path) : m_fd(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~ReadDescriptor() {
        if (m_fd != -1) close(m_fd);
    }
    ReadDescriptor(const ReadDescriptor&) = delete;
    ReadDescriptor& operator=(const ReadDescriptor&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

// The whole file; false when it cannot be opened or read. The kernel produces the adapter table
// anew for each read, so it is read in large pieces: on a host with thousands of adapters the
// number of reads is most of the cost.
bool readWholeFile(const std::string& path, std::string& content) {
    const ReadDescriptor file(path);
    if (file.fd() == -1) return false;
    char buffer[16384];
    for (;;) {
        const ssize_t got = read(file.fd(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        content.append(buffer, static_cast<size_t>(got));
    }
}

// A directory's entry names, "." and ".." left out, sorted so that each adapter's lookup costs
// a binary search: hosts with thousands of virtual devices stay fast. False when the directory
// cannot be opened.
bool readSortedEntryNames(const std::string& directory, std::vector<std::string>& names) {
    const DirectoryHandle handle(opendir(directory.c_str()));
    if (!handle) return false;
    while (const dirent* entry = readdir(handle.get())) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return true;
}

// The process-wide list of virtual names, filled only while it is empty, so a directory that was
// unreadable or empty is looked at again on the next call, and a filled list is trusted from
// then on. Null when the directory cannot be opened.
const std::vector<std::string>* processVirtualNames() {
    // Read once per process: the set of virtual devices is taken as fixed while the agent runs.
    static std::vector<std::string> s_names;
    if (s_names.empty() && !readSortedEntryNames(VIRTUAL_DEVICE_DIRECTORY, s_names)) return nullptr;
    return &s_names;
}

// Interface names of a device table, in table order; false when it cannot be opened.
bool readAdapterNames(const std::string& tablePath, std::vector<std::string>& names) {
    std::string table;
    if (!readWholeFile(tablePath, table)) return false;
    for (size_t start = 0; start < table.size();) {
        const size_t newline = table.find('\n', start);
        const size_t end = newline == std::string::npos ? table.size() : newline;
        // Only device lines have a colon, after the name; the two header lines have none.
        const size_t colon = table.find(':', start);
        if (colon < end) names.push_back(KUtil::stringTrim(table.substr(start, colon - start)));
        start = end + 1;
    }
    return true;
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

// The smallest qualifying address among the table's adapters not listed as virtual, or empty
// when none qualifies; false when the adapters could not be looked at.
bool smallestAddress(const std::string& tablePath, const std::vector<std::string>& virtualNames,
                     std::string& address) {
    std::vector<std::string> names;
    if (!readAdapterNames(tablePath, names)) return false;
    const QuerySocket querySocket;
    if (!querySocket.isOpen()) return false;

    ifreq request;
    std::memset(&request, 0, sizeof request);
    std::vector<std::string> candidates;
    for (const std::string& name : names) {
        // A name that does not fit with its terminator is no device of the kernel's, and
        // cutting it short could name a different device.
        if (name.size() >= sizeof request.ifr_name) continue;
        if (std::binary_search(virtualNames.begin(), virtualNames.end(), name)) continue;
        std::memset(request.ifr_name, 0, sizeof request.ifr_name);
        std::memcpy(request.ifr_name, name.data(), name.size());
        std::string candidate = qualifyingAddress(querySocket, request);
        if (!candidate.empty()) candidates.push_back(std::move(candidate));
    }
    // Equal-length upper-case hex texts sort in the numeric order of their bytes.
    address = candidates.empty() ? std::string()
                                 : *std::min_element(candidates.begin(), candidates.end());
    return true;
}

}  // namespace

std::string KHardwareInfo::mac() {
    std::string address;
    return findMac(address) ? address : std::string();
}

bool KHardwareInfo::findMac(std::string& address) {
    const std::vector<std::string>* virtualNames = processVirtualNames();
    return virtualNames != nullptr && smallestAddress(DEVICE_TABLE, *virtualNames, address);
}

// The name is taken by value, as this operation has always been declared.
// cppcheck-suppress passedByValue
bool KHardwareInfo::isPhysicalAdapter(std::string name) {  // NOLINT(performance-unnecessary-value-param)
    const std::vector<std::string>* virtualNames = processVirtualNames();
    return virtualNames != nullptr &&
           !std::binary_search(virtualNames->begin(), virtualNames->end(), name);
}

std::string KHardwareInfo::hdid() { return md5(mac()); }

std::string KHardwareInfo::mac(const std::string& tablePath, const std::string& virtualDirectory) {
    std::string address;
    return findMac(tablePath, virtualDirectory, address) ? address : std::string();
}

bool KHardwareInfo::findMac(const std::string& tablePath, const std::string& virtualDirectory,
                            std::string& address) {
    std::vector<std::string> virtualNames;
    return readSortedEntryNames(virtualDirectory, virtualNames) &&
           smallestAddress(tablePath, virtualNames, address);
}

std::vector<std::string> KHardwareInfo::adapterNames(const std::string& tablePath) {
    std::vector<std::string> names;
    if (!readAdapterNames(tablePath, names)) names.clear();
    return names;
}
