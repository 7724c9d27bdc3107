#include "kmacfunction.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "kcommandline.h"
#include "khardwareinfo.h"
#include "kutil.h"

namespace {

constexpr char FUNCTION_OPTION[] = "f";

// Owns the output file's descriptor. close() is separate from the destructor because its
// result matters: a full disk may only show when the data is flushed.
class OutputFile {
public:
    explicit OutputFile(const std::string& path)
        : m_fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666)) {}
    ~OutputFile() {
        if (m_fd != -1) ::close(m_fd);
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool isOpen() const { return m_fd != -1; }

    // Writes all of the text, going on after partial and interrupted writes.
    bool writeAll(const std::string& text) {
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t written = write(m_fd, text.data() + done, text.size() - done);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return false;
            done += static_cast<size_t>(written);
        }
        return true;
    }

    // Closes once; false when the kernel reports that the data may not have been stored.
    bool close() {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};

// The function checks its own selection, not relying on main having dispatched correctly.
bool isSelected(const KCommandLine& commandLine) {
    if (!commandLine.hasOption(FUNCTION_OPTION)) return false;
    if (commandLine.getOptionValues(FUNCTION_OPTION).size() != 1) return false;
    return commandLine.getOptionValues(FUNCTION_OPTION).front() == KMACFunction::function();
}

bool hasOneOutputPath(const KCommandLine& commandLine) {
    return commandLine.hasOption(OUTPUT_OPTION) &&
           commandLine.getOptionValues(OUTPUT_OPTION).size() == 1;
}

}  // namespace

std::string KMACFunction::function() { return "mac"; }

int KMACFunction::run(const KCommandLine& commandLine) {
    if (!isSelected(commandLine) || !hasOneOutputPath(commandLine)) return -1;
    // Computed before the file is opened, so a run that dies on the way leaves the old file whole.
    const std::string address = KHardwareInfo::mac();
    OutputFile file(commandLine.getOptionValues(OUTPUT_OPTION).front());
    if (!file.isOpen()) return -1;
    if (!file.writeAll(KUtil::base64Encode(address))) return -1;
    return file.close() ? 0 : -1;
}
