#include "kcommandline.h"

#include <cstring>
#include <utility>

namespace {

// Removes one enclosing pair of double quotes, rewriting the string where it lies.
void stripEnclosingQuotes(char* text) {
    const size_t length = std::strlen(text);
    if (length < 2 || text[0] != '"' || text[length - 1] != '"') return;
    std::memmove(text, text + 1, length - 2);
    text[length - 2] = '\0';
}

}  // namespace

KCommandLine::KCommandLine(int argc, char** argv)
    : m_options(std::make_unique<std::map<std::string, std::vector<std::string>>>()),
      m_defaultValues(std::make_unique<std::vector<std::string>>()) {
    if (argv != nullptr) {
        for (int i = 0; i < argc; ++i) {
            if (argv[i] != nullptr) stripEnclosingQuotes(argv[i]);
        }
    }
    parse(argc, argv);
}

KCommandLine::~KCommandLine() = default;

bool KCommandLine::hasOption(const std::string& name) const {
    return m_options->find(name) != m_options->end();
}

std::vector<std::string> KCommandLine::getOptionValues(const std::string& name) const {
    const auto found = m_options->find(name);
    return found == m_options->end() ? std::vector<std::string>() : found->second;
}

std::vector<std::string> KCommandLine::getDefaultValues() const { return *m_defaultValues; }

void KCommandLine::parse(int argc, char** argv) {
    if (argc < 2 || argv == nullptr) return;

    std::vector<std::string> arguments;
    if (argc == 2) {
        if (argv[1] != nullptr) arguments = parseArgs(argv[1]);
    } else {
        for (int i = 1; i < argc; ++i) {
            if (argv[i] != nullptr) arguments.emplace_back(argv[i]);
        }
    }

    std::string name;
    std::vector<std::string> values;
    // emplace never overwrites, so the first occurrence of a repeated option wins.
    const auto closeOption = [&]() {
        if (!name.empty()) m_options->emplace(std::move(name), std::move(values));
        name.clear();
        values.clear();
    };
    for (std::string& argument : arguments) {
        if (!argument.empty() && argument[0] == '-') {
            closeOption();
            name = argument.substr(1);
        } else if (!name.empty()) {
            values.push_back(std::move(argument));
        } else {
            m_defaultValues->push_back(std::move(argument));
        }
    }
    closeOption();
}

std::vector<std::string> KCommandLine::parseArgs(char* text) {
    std::vector<std::string> result;
    if (text == nullptr) return result;
    std::string token;
    bool quoted = false;
    for (const char* p = text; *p != '\0'; ++p) {
        const char c = *p;
        if (quoted) {
            if (c == '"') {
                // A closed quote is an argument even when empty.
                result.push_back(std::move(token));
                token.clear();
                quoted = false;
            } else {
                token += c;
            }
        } else if (c == ' ' || c == '\t' || c == '"') {
            if (!token.empty()) result.push_back(std::move(token));
            token.clear();
            quoted = (c == '"');
        } else {
            token += c;
        }
    }
    // An unclosed quote runs to the end of the string.
    if (!token.empty()) result.push_back(std::move(token));
    return result;
}
