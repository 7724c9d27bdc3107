// The record's value escaping: whatever the bytes, the escaped text holds no raw control byte
// and a JSON string decoder gives back exactly the original bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kinfocollectfunction.h"

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes the body of a JSON string (without its quotes); aborts on anything malformed.
std::string decodeJsonString(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (static_cast<unsigned char>(c) < 0x20 || c == '"') std::abort();
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= text.size()) std::abort();
        switch (text[i]) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                if (i + 4 >= text.size()) std::abort();
                int code = 0;
                for (int k = 1; k <= 4; ++k) {
                    const int digit = hexValue(text[i + k]);
                    if (digit < 0) std::abort();
                    code = code * 16 + digit;
                }
                if (code >= 0x20) std::abort();  // only control bytes are written this way
                out += static_cast<char>(code);
                i += 4;
                break;
            }
            default: std::abort();
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string value(reinterpret_cast<const char*>(data), size);
    const std::string escaped = KInfoCollectFunction::jsonEscape(value);
    if (decodeJsonString(escaped) != value) std::abort();
    return 0;
}
