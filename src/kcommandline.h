#ifndef KCOMMANDLINE_H
#define KCOMMANDLINE_H

#include <map>
#include <memory>
#include <string>
#include <vector>

// The process arguments as named options, each with its values, plus the default values that
// belong to no option. Built once in main and only read afterwards.
class KCommandLine {
public:
    // Strips one pair of enclosing double quotes from every argv string, in place, then parses.
    KCommandLine(int argc, char** argv);
    virtual ~KCommandLine();
    KCommandLine(const KCommandLine&) = delete;
    KCommandLine& operator=(const KCommandLine&) = delete;

    bool hasOption(const std::string& name) const;
    // A copy of the option's values; empty when the option is absent.
    std::vector<std::string> getOptionValues(const std::string& name) const;
    std::vector<std::string> getDefaultValues() const;

    // Splits one argument string at blanks and tabs; double quotes group, no escapes.
    static std::vector<std::string> parseArgs(char* text);

private:
    void parse(int argc, char** argv);

    std::unique_ptr<std::map<std::string, std::vector<std::string>>> m_options;
    std::unique_ptr<std::vector<std::string>> m_defaultValues;
};

#endif
