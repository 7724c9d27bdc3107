#include "koutputfile.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdio>
#include <utility>

#include "kfiledescriptor.h"

namespace {

// The kernel's own limit on links followed in one lookup.
constexpr int MAX_LINK_HOPS = 40;
constexpr mode_t NEW_FILE_MODE = 0666;

// Removes a temporary file unless it was renamed into place.
class TemporaryName {
public:
    explicit TemporaryName(std::string path) : m_path(std::move(path)) {}
    ~TemporaryName() {
        const int error = errno;
        if (!m_kept) unlink(m_path.c_str());
        errno = error;
    }
    TemporaryName(const TemporaryName&) = delete;
    TemporaryName& operator=(const TemporaryName&) = delete;

    const std::string& path() const { return m_path; }
    void keep() { m_kept = true; }

private:
    std::string m_path;
    bool m_kept = false;
};

// Writes all of the text, going on after partial and interrupted writes.
bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool isInProcfs(const std::string& directory) {
    struct statfs info {};
    return statfs(directory.c_str(), &info) == 0 && info.f_type == PROC_SUPER_MAGIC;
}

enum class Target { Replaceable, InPlace, Unusable };

// Follows the path's symbolic links to the file they name, which need not exist yet. A link
// kept by /proc (such as /dev/stdout, by way of /proc/self/fd) names an open descriptor, not a
// file to replace: such targets are written in place through the path as given.
Target resolve(const std::string& path, std::string& target, struct stat& info, bool& exists) {
    target = path;
    for (int hop = 0; hop <= MAX_LINK_HOPS; ++hop) {
        if (lstat(target.c_str(), &info) != 0) {
            exists = false;
            return errno == ENOENT ? Target::Replaceable : Target::Unusable;
        }
        exists = true;
        if (!S_ISLNK(info.st_mode)) return S_ISREG(info.st_mode) ? Target::Replaceable : Target::InPlace;
        const std::string directory = directoryOf(target);
        if (isInProcfs(directory)) return Target::InPlace;
        char link[4096];
        const ssize_t length = readlink(target.c_str(), link, sizeof link);
        if (length <= 0 || static_cast<size_t>(length) >= sizeof link) return Target::Unusable;
        std::string next(link, static_cast<size_t>(length));
        if (next.front() != '/') next.insert(0, directory + '/');
        target = std::move(next);
    }
    return Target::Unusable;
}

// Opening never waits: a FIFO without a reader fails at once (ENXIO). The descriptor then
// blocks again, so a slow reader is written to as any other.
bool writeInPlace(const std::string& path, const std::string& content) {
    KFileDescriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC,
                         NEW_FILE_MODE));
    if (file.get() == -1) return false;
    const int flags = fcntl(file.get(), F_GETFL);
    if (flags == -1 || fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) == -1) return false;
    if (!writeAll(file.get(), content)) return false;
    return file.close();
}

mode_t currentUmask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// The directory refuses a new name there, though the file itself may still be writable.
bool refusesNewNames(int error) { return error == EACCES || error == EPERM || error == ENAMETOOLONG; }

}  // namespace

bool KOutputFile::replace(const std::string& path, const std::string& content) {
    if (path.empty()) return false;
    std::string target;
    struct stat info {};
    bool exists = false;
    const Target kind = resolve(path, target, info, exists);
    if (kind == Target::Unusable) return false;
    if (kind == Target::InPlace) return writeInPlace(path, content);
    // A file its owner made read-only stays protected, as it was when written in place.
    if (exists && faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return false;

    const size_t slash = target.rfind('/');
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string pattern = directoryOf(target) + "/." + base + ".XXXXXX";
    KFileDescriptor file(mkostemp(&pattern[0], O_CLOEXEC));
    if (file.get() == -1) return refusesNewNames(errno) && writeInPlace(target, content);
    TemporaryName temporary(pattern);

    const mode_t mode = exists ? (info.st_mode & 07777) : (NEW_FILE_MODE & ~currentUmask());
    if (fchmod(file.get(), mode) != 0) return false;
    // Keep the owner too where this process may; elsewhere the file becomes the runner's.
    if (exists && (info.st_uid != geteuid() || info.st_gid != getegid())) {
        (void)fchown(file.get(), info.st_uid, info.st_gid);
    }
    if (!writeAll(file.get(), content) || !file.close()) return false;
    if (std::rename(temporary.path().c_str(), target.c_str()) != 0) return false;
    temporary.keep();
    return true;
}
