#ifndef KINI_H
#define KINI_H

#include <map>
#include <string>

// A configuration file of [sections] and key=value lines, read once when constructed.
class KIni {
public:
    // A file that cannot be read gives an empty reader.
    explicit KIni(const std::string& path);

    // The stored value, or empty when the section or the key is missing.
    std::string value(const std::string& section, const std::string& key) const;
    // True when the file was there as a regular file and could be read.
    bool found() const { return m_found; }

private:
    void parse(const std::string& path);
    void parseLine(std::string line, std::string& currentSection);

    std::map<std::string, std::map<std::string, std::string>> m_sections;
    bool m_found = false;
};

#endif
