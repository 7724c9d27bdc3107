#include "kini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>

#include "kfiledescriptor.h"
#include "kutil.h"

namespace {

// Configuration files are a few lines; a larger file is read only this far.
constexpr size_t MAX_FILE_BYTES = size_t{1} << 20;

// The first MAX_FILE_BYTES of a regular file; false for anything else (a FIFO, a device such as
// /dev/zero, a directory), which counts as no file. A line cut by the limit is left out whole.
bool readRegularFile(const std::string& path, std::string& content) {
    // Without O_NONBLOCK a FIFO would hold the open until a writer came.
    const KFileDescriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!file.isOpen() || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    // Room for what the file holds now, up to the limit; the usual file of a few lines must not
    // cost the whole limit, and a large one must not cost twice the limit while growing.
    const auto size = static_cast<uint64_t>(info.st_size);
    content.reserve(static_cast<size_t>(std::min<uint64_t>(size, MAX_FILE_BYTES + 1)));
    char buffer[4096];
    while (content.size() <= MAX_FILE_BYTES) {
        const size_t wanted = std::min(sizeof buffer, MAX_FILE_BYTES + 1 - content.size());
        const ssize_t got = read(file.get(), buffer, wanted);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        content.append(buffer, static_cast<size_t>(got));
    }
    if (content.size() > MAX_FILE_BYTES) {
        const size_t lastLineEnd = content.rfind('\n', MAX_FILE_BYTES - 1);
        content.resize(lastLineEnd == std::string::npos ? 0 : lastLineEnd + 1);
    }
    return true;
}

const char UTF8_BOM[] = "\xEF\xBB\xBF";

}  // namespace

KIni::KIni(const std::string& path) { parse(path); }

std::string KIni::value(const std::string& section, const std::string& key) const {
    const auto foundSection = m_sections.find(section);
    if (foundSection == m_sections.end()) return std::string();
    const auto foundKey = foundSection->second.find(key);
    return foundKey == foundSection->second.end() ? std::string() : foundKey->second;
}

void KIni::parse(const std::string& path) {
    std::string content;
    if (!readRegularFile(path, content)) return;
    m_found = true;

    std::string currentSection = "default";
    m_sections[currentSection];

    bool firstLine = true;
    for (size_t start = 0; start < content.size();) {
        const size_t newline = content.find('\n', start);
        const size_t end = newline == std::string::npos ? content.size() : newline;
        std::string line = content.substr(start, end - start);
        start = end + 1;
        // A file saved by an editor that marks UTF-8 or ends lines with CRLF must read the same.
        if (firstLine && line.compare(0, 3, UTF8_BOM) == 0) line.erase(0, 3);
        firstLine = false;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        parseLine(std::move(line), currentSection);
    }
}

void KIni::parseLine(std::string line, std::string& currentSection) {
    line = KUtil::stringTrim(line);
    if (line.size() >= 3 && line.front() == '[' && line.back() == ']') {
        currentSection = line.substr(1, line.size() - 2);
        m_sections[currentSection];
        return;
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos) return;
    std::string key = KUtil::stringTrim(line.substr(0, equals));
    if (key.empty()) return;
    // emplace keeps the first value given for a key.
    m_sections[currentSection].emplace(std::move(key), KUtil::stringTrim(line.substr(equals + 1)));
}
