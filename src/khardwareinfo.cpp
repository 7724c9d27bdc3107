#include "khardwareinfo.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "kfiledescriptor.h"
#include "ktrace.h"
#include "kutil.h"
#include "md5.h"

namespace {

constexpr char DEVICE_TABLE[] = "/proc/net/dev";
constexpr char VIRTUAL_DEVICE_DIRECTORY[] = "/sys/devices/virtual/net";

struct DirectoryCloser {
    void operator()(DIR* directory) const { closedir(directory); }
};
using DirectoryHandle = std::unique_ptr<DIR, DirectoryCloser>;

// Calls takeLine with each line of the file, without its "\n"; false when the file cannot be
// opened or read. The kernel produces the adapter table anew for each read, so it is read in
// large pieces, and only one piece is held at a time: on a host with thousands of adapters the
// table is hundreds of kilobytes.
template <typename LineTaker>
bool forEachLine(const std::string& path, const LineTaker& takeLine) {
    const KFileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.isOpen()) return false;
    char buffer[16384];
    std::string partial;  // the start of a line that the next piece completes
    for (;;) {
        const ssize_t got = read(file.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        const char* start = buffer;
        const char* const end = buffer + got;
        while (const void* found = std::memchr(start, '\n', static_cast<size_t>(end - start))) {
            const char* const newline = static_cast<const char*>(found);
            if (partial.empty()) {
                takeLine(start, static_cast<size_t>(newline - start));
            } else {
                partial.append(start, newline);
                takeLine(partial.data(), partial.size());
                partial.clear();
            }
            start = newline + 1;
        }
        partial.append(start, end);
    }
    if (!partial.empty()) takeLine(partial.data(), partial.size());
    return true;
}

// The entry names of the virtual-device directory, sorted so that each adapter's lookup costs a
// binary search: hosts with thousands of virtual devices stay fast. The names live in one
// buffer and are sorted and searched by the C library, which keeps the agent small.
class VirtualNames {
public:
    // Reads the directory's names, "." and ".." left out; false when it cannot be opened.
    bool read(const std::string& directory) {
        const DirectoryHandle handle(opendir(directory.c_str()));
        if (!handle) return false;
        size_t count = 0;
        while (const dirent* entry = readdir(handle.get())) {
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
            m_storage.append(name, std::strlen(name) + 1);
            ++count;
        }
        // Pointers are taken once the buffer no longer grows: each name starts after the
        // terminator of the one before.
        m_sorted.assign(count, nullptr);
        const char* next = m_storage.c_str();
        for (const char*& name : m_sorted) {
            name = next;
            next += std::strlen(next) + 1;
        }
        // The C library wants a real array even when it is empty.
        if (!m_sorted.empty()) {
            std::qsort(m_sorted.data(), m_sorted.size(), sizeof(const char*), compareNames);
        }
        return true;
    }

    bool empty() const { return m_sorted.empty(); }

    bool contains(const std::string& name) const {
        if (m_sorted.empty()) return false;
        const char* key = name.c_str();
        return std::bsearch(&key, m_sorted.data(), m_sorted.size(), sizeof(const char*),
                            compareNames) != nullptr;
    }

private:
    static int compareNames(const void* left, const void* right) {
        return std::strcmp(*static_cast<const char* const*>(left),
                           *static_cast<const char* const*>(right));
    }

    std::string m_storage;
    std::vector<const char*> m_sorted;
};

// The process-wide list of virtual names, filled only while it is empty, so a directory that was
// unreadable or empty is looked at again on the next call, and a filled list is trusted from
// then on. Null when the directory cannot be opened.
const VirtualNames* processVirtualNames() {
    // Read once per process: the set of virtual devices is taken as fixed while the agent runs.
    static VirtualNames s_names;
    if (s_names.empty() && !s_names.read(VIRTUAL_DEVICE_DIRECTORY)) {
        KTrace::event("virtual-device directory %s: %s", VIRTUAL_DEVICE_DIRECTORY,
                      std::strerror(errno));
        return nullptr;
    }
    return &s_names;
}

// Calls takeName with each interface name of a device table, in table order; false when the
// table cannot be opened.
template <typename NameTaker>
bool forEachAdapterName(const std::string& tablePath, const NameTaker& takeName) {
    return forEachLine(tablePath, [&](const char* line, size_t length) {
        // Only device lines have a colon, after the name; the two header lines have none.
        const void* colon = std::memchr(line, ':', length);
        if (colon == nullptr) return;
        takeName(KUtil::stringTrim(std::string(line, static_cast<const char*>(colon))));
    });
}

// "XX-XX-XX-XX-XX-XX" from six address bytes.
std::string addressText(const unsigned char* bytes) {
    char text[18] = {};
    // Six two-digit groups and five hyphens always fill exactly 17 bytes: nothing to check.
    (void)std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", bytes[0], bytes[1],
                        bytes[2], bytes[3], bytes[4], bytes[5]);
    return text;
}

// Tells the trace why an adapter does not count; the reason names the query that failed.
void traceSkipped(const char* name, const char* reason, bool withError) {
    if (!KTrace::enabled()) return;
    KTrace::event("adapter %s: skipped, %s%s%s", name, reason, withError ? ": " : "",
                  withError ? std::strerror(errno) : "");
}

// The address text of the adapter named in the request when it is not loopback and is of
// Ethernet or IEEE 802 type; empty otherwise. Down adapters count: their flags are not asked.
std::string qualifyingAddress(const KFileDescriptor& querySocket, ifreq& request) {
    if (ioctl(querySocket.get(), SIOCGIFFLAGS, &request) == -1) {
        traceSkipped(request.ifr_name, "flags query failed", true);
        return std::string();
    }
    if ((request.ifr_flags & IFF_LOOPBACK) != 0) {
        traceSkipped(request.ifr_name, "loopback", false);
        return std::string();
    }
    if (ioctl(querySocket.get(), SIOCGIFHWADDR, &request) == -1) {
        traceSkipped(request.ifr_name, "address query failed", true);
        return std::string();
    }
    const unsigned short type = request.ifr_hwaddr.sa_family;
    if (type != ARPHRD_ETHER && type != ARPHRD_IEEE802) {
        KTrace::event("adapter %s: skipped, link type %u is not Ethernet", request.ifr_name,
                      static_cast<unsigned>(type));
        return std::string();
    }
    std::string address =
        addressText(reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data));
    KTrace::event("adapter %s: counts, %s", request.ifr_name, address.c_str());
    return address;
}

// The smallest qualifying address among the table's adapters not listed as virtual, or empty
// when none qualifies; false when the adapters could not be looked at.
bool smallestAddress(const std::string& tablePath, const VirtualNames& virtualNames,
                     std::string& address) {
    ifreq request;
    std::memset(&request, 0, sizeof request);
    // Only the names worth asking are kept: on a container host nearly all are virtual.
    std::vector<std::string> candidates;
    const bool readTable = forEachAdapterName(tablePath, [&](const std::string& name) {
        // A name that does not fit with its terminator is no device of the kernel's, and
        // cutting it short could name a different device.
        if (name.size() >= sizeof request.ifr_name) {
            traceSkipped(name.c_str(), "name too long", false);
        } else if (virtualNames.contains(name)) {
            traceSkipped(name.c_str(), "virtual", false);
        } else {
            candidates.push_back(name);
        }
    });
    if (!readTable) {
        KTrace::event("adapter table %s: %s", tablePath.c_str(), std::strerror(errno));
        return false;
    }
    // Opened once the table is closed, so the agent never needs more than one descriptor.
    // The datagram socket that carries the adapter queries.
    const KFileDescriptor querySocket(socket(AF_INET, SOCK_DGRAM, 0));
    if (!querySocket.isOpen()) {
        KTrace::event("adapter query socket: %s", std::strerror(errno));
        return false;
    }
    std::string smallest;
    for (const std::string& name : candidates) {
        std::memset(request.ifr_name, 0, sizeof request.ifr_name);
        std::memcpy(request.ifr_name, name.data(), name.size());
        const std::string found = qualifyingAddress(querySocket, request);
        // Equal-length upper-case hex texts compare in the numeric order of their bytes.
        if (!found.empty() && (smallest.empty() || found < smallest)) smallest = found;
    }
    if (smallest.empty()) {
        KTrace::event("hardware address: none, no adapter qualifies");
    } else {
        KTrace::event("hardware address: %s, the smallest that qualifies", smallest.c_str());
    }
    address = smallest;
    return true;
}

}  // namespace

std::string KHardwareInfo::mac() {
    std::string address;
    return findMac(address) ? address : std::string();
}

bool KHardwareInfo::findMac(std::string& address) {
    const VirtualNames* virtualNames = processVirtualNames();
    return virtualNames != nullptr && smallestAddress(DEVICE_TABLE, *virtualNames, address);
}

// The name is taken by value, as this operation has always been declared.
// cppcheck-suppress passedByValue
bool KHardwareInfo::isPhysicalAdapter(std::string name) {  // NOLINT(performance-unnecessary-value-param)
    const VirtualNames* virtualNames = processVirtualNames();
    return virtualNames != nullptr && !virtualNames->contains(name);
}

std::string KHardwareInfo::hdid() { return md5(mac()); }

std::string KHardwareInfo::mac(const std::string& tablePath, const std::string& virtualDirectory) {
    std::string address;
    return findMac(tablePath, virtualDirectory, address) ? address : std::string();
}

bool KHardwareInfo::findMac(const std::string& tablePath, const std::string& virtualDirectory,
                            std::string& address) {
    VirtualNames virtualNames;
    return virtualNames.read(virtualDirectory) &&
           smallestAddress(tablePath, virtualNames, address);
}

std::vector<std::string> KHardwareInfo::adapterNames(const std::string& tablePath) {
    std::vector<std::string> names;
    if (!forEachAdapterName(tablePath, [&](const std::string& name) { names.push_back(name); })) {
        names.clear();
    }
    return names;
}
