#include "ktrace.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr char DRY_RUN[] = "dry-run";
// Longer events are cut; a trace line is for reading, not for carrying data.
constexpr size_t MAX_LINE_BYTES = 4096;
constexpr size_t SHOWN_SECRET_CHARACTERS = 4;

KTrace::Mode s_mode = KTrace::Mode::Off;
int s_outputFd = 2;
int s_requestFd = 1;
timespec s_start{};

long millisecondsSinceStart() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - s_start.tv_sec) * 1000L + (now.tv_nsec - s_start.tv_nsec) / 1000000L;
}

// Writes all of the bytes; the trace is best effort, so an error just ends it.
void writeAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        data += written;
        length -= static_cast<size_t>(written);
    }
}

}  // namespace

void KTrace::init(const char* setting, int outputFd, int requestFd) {
    s_outputFd = outputFd;
    s_requestFd = requestFd;
    if (setting == nullptr || setting[0] == '\0') {
        s_mode = Mode::Off;
        return;
    }
    s_mode = std::strcmp(setting, DRY_RUN) == 0 ? Mode::DryRun : Mode::On;
    clock_gettime(CLOCK_MONOTONIC, &s_start);
}

bool KTrace::enabled() { return s_mode != Mode::Off; }

bool KTrace::dryRun() { return s_mode == Mode::DryRun; }

// printf-style on purpose: the formatting is the C library's, which costs the agent no code.
void KTrace::event(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    if (s_mode == Mode::Off) return;
    char line[MAX_LINE_BYTES];
    int used = std::snprintf(line, sizeof line, "%6ld ms ", millisecondsSinceStart());
    if (used < 0) return;
    va_list arguments;
    va_start(arguments, format);
    const int written =
        std::vsnprintf(line + used, sizeof line - static_cast<size_t>(used), format, arguments);
    va_end(arguments);
    if (written < 0) return;
    used += written;
    // A line that did not fit ends where the buffer does, still with its line break.
    size_t length = static_cast<size_t>(used) < sizeof line - 1 ? static_cast<size_t>(used)
                                                                 : sizeof line - 2;
    line[length++] = '\n';
    writeAll(s_outputFd, line, length);
}

void KTrace::request(const std::string& bytes) {
    if (s_mode == Mode::DryRun) writeAll(s_requestFd, bytes.data(), bytes.size());
}

std::string KTrace::printable(const std::string& bytes, size_t limit) {
    static const char HEX_DIGITS[] = "0123456789abcdef";
    std::string out;
    const size_t shown = bytes.size() < limit ? bytes.size() : limit;
    for (size_t i = 0; i < shown; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte < 0x20 || byte >= 0x7F) {
            out += "\\x";
            out += HEX_DIGITS[byte >> 4];
            out += HEX_DIGITS[byte & 15];
        } else {
            out += static_cast<char>(byte);
        }
    }
    if (limit < bytes.size()) out += "...";
    return out;
}

std::string KTrace::redacted(const std::string& secret) {
    return std::to_string(secret.size()) + " characters, starting \"" +
           printable(secret.substr(0, SHOWN_SECRET_CHARACTERS), SHOWN_SECRET_CHARACTERS) + "\"";
}
