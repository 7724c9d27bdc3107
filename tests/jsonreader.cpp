#include "jsonreader.h"

#include <cstdlib>

namespace {

bool readString(const std::string& text, size_t& at, std::string& out) {
    if (at >= text.size() || text[at] != '"') return false;
    ++at;
    out.clear();
    while (at < text.size()) {
        const char c = text[at++];
        if (c == '"') return true;
        if (static_cast<unsigned char>(c) < 0x20) return false;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (at >= text.size()) return false;
        const char e = text[at++];
        switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                if (at + 4 > text.size()) return false;
                const std::string hex = text.substr(at, 4);
                char* end = nullptr;
                const long code = std::strtol(hex.c_str(), &end, 16);
                if (end != hex.c_str() + 4 || code >= 0x100) return false;
                out += static_cast<char>(code);
                at += 4;
                break;
            }
            default: return false;
        }
    }
    return false;
}

}  // namespace

bool readFlatJsonObject(const std::string& text,
                        std::vector<std::pair<std::string, std::string>>& members) {
    members.clear();
    size_t at = 0;
    if (text.empty() || text[at++] != '{') return false;
    if (at < text.size() && text[at] == '}') return at + 1 == text.size();
    for (;;) {
        std::string key, value;
        if (!readString(text, at, key)) return false;
        if (at >= text.size() || text[at++] != ':') return false;
        if (!readString(text, at, value)) return false;
        members.emplace_back(std::move(key), std::move(value));
        if (at >= text.size()) return false;
        const char c = text[at++];
        if (c == '}') return at == text.size();
        if (c != ',') return false;
    }
}
