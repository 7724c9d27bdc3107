#include "kutil.h"

#include <sys/auxv.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <memory>

std::string KUtil::base64Encode(const std::string& data) {
    static const char CHAR_MAP[65] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    if (data.empty()) return out;
    out.reserve((data.size() + 2) / 3 * 4);
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    size_t n = data.size();
    for (; n >= 3; n -= 3, bytes += 3) {
        out += CHAR_MAP[bytes[0] >> 2];
        out += CHAR_MAP[((bytes[0] & 3) << 4) | (bytes[1] >> 4)];
        out += CHAR_MAP[((bytes[1] & 15) << 2) | (bytes[2] >> 6)];
        out += CHAR_MAP[bytes[2] & 63];
    }
    if (n == 1) {
        out += CHAR_MAP[bytes[0] >> 2];
        out += CHAR_MAP[(bytes[0] & 3) << 4];
        out += "==";
    } else if (n == 2) {
        out += CHAR_MAP[bytes[0] >> 2];
        out += CHAR_MAP[((bytes[0] & 3) << 4) | (bytes[1] >> 4)];
        out += CHAR_MAP[(bytes[1] & 15) << 2];
        out += '=';
    }
    return out;
}

namespace {

struct MallocFree {
    void operator()(char* text) const { std::free(text); }
};

// The executable's path from the kernel's own link; empty without /proc.
std::string pathFromProc() {
    // readlink does not say how long the target is, so grow until it fits with room to spare.
    std::string path(256, '\0');
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", &path[0], path.size());
        if (length < 0) return std::string();
        if (static_cast<size_t>(length) < path.size()) {
            path.resize(static_cast<size_t>(length));
            return path;
        }
        if (path.size() >= (size_t{1} << 20)) return std::string();
        path.resize(path.size() * 2);
    }
}

// The name the executable was started by, made absolute. The agent never changes directory, so
// a relative name still resolves as it did at the start.
std::string pathFromStartName() {
    // The auxiliary vector hands over addresses as integers; this one is the name's.
    const auto* name =
        reinterpret_cast<const char*>(getauxval(AT_EXECFN));  // NOLINT(performance-no-int-to-ptr)
    if (name == nullptr) return std::string();
    const std::unique_ptr<char, MallocFree> resolved(realpath(name, nullptr));
    return resolved ? std::string(resolved.get()) : std::string();
}

}  // namespace

std::string KUtil::getAppDir() {
    std::string path = pathFromProc();
    if (path.empty() || path.front() != '/') path = pathFromStartName();
    // Only an absolute directory will do: anything else would read the working directory.
    const size_t slash = path.rfind('/');
    if (path.empty() || path.front() != '/' || slash == std::string::npos) return std::string();
    path.resize(slash + 1);
    return path;
}

std::string KUtil::stringTrim(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

std::string KUtil::toUpperCase(const std::string& text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

bool KUtil::contain(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<std::string> KUtil::stringSplit(const std::string& text, const std::string& separator) {
    std::vector<std::string> pieces;
    if (separator.empty()) {
        if (!text.empty()) pieces.push_back(text);
        return pieces;
    }
    size_t start = 0;
    for (;;) {
        const size_t found = text.find(separator, start);
        const size_t end = found == std::string::npos ? text.size() : found;
        if (end > start) pieces.push_back(text.substr(start, end - start));
        if (found == std::string::npos) break;
        start = found + separator.size();
    }
    return pieces;
}
