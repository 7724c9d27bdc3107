#include "kini.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "kutil.h"

namespace {

struct FileCloser {
    void operator()(FILE* file) const { (void)std::fclose(file); }  // read only: nothing to lose
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// The buffer that getline grows; getline keeps NUL bytes and lines of any length.
struct LineBuffer {
    char* data = nullptr;
    size_t capacity = 0;
    ~LineBuffer() { std::free(data); }
};

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
    FilePtr file(std::fopen(path.c_str(), "r"));
    if (!file) return;

    std::string currentSection = "default";
    m_sections[currentSection];

    LineBuffer buffer;
    bool firstLine = true;
    for (;;) {
        const ssize_t length = getline(&buffer.data, &buffer.capacity, file.get());
        if (length < 0) break;
        std::string line(buffer.data, static_cast<size_t>(length));
        if (!line.empty() && line.back() == '\n') line.pop_back();
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
