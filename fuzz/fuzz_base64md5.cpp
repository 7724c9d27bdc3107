// Base64 must decode back to the input, and MD5 fed in fuzzer-chosen pieces must equal the
// one-shot digest. The first input byte seeds the piece sizes; the rest is the message.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kutil.h"
#include "md5.h"

namespace {

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Strict padded Base64 decoder; aborts on anything the encoder must never produce.
std::string decodeBase64(const std::string& text) {
    if (text.size() % 4 != 0) std::abort();
    std::string out;
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const int pad = (text[i + 3] == '=') + (text[i + 2] == '=');
        if (pad > 0 && !last) std::abort();
        if (pad == 1 && text[i + 2] == '=') std::abort();
        unsigned int bits = 0;
        for (size_t k = 0; k < 4 - static_cast<size_t>(pad); ++k) {
            const int v = base64Value(text[i + k]);
            if (v < 0) std::abort();
            bits |= static_cast<unsigned int>(v) << (18 - 6 * k);
        }
        out += static_cast<char>((bits >> 16) & 0xFF);
        if (pad < 2) out += static_cast<char>((bits >> 8) & 0xFF);
        if (pad < 1) out += static_cast<char>(bits & 0xFF);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    unsigned int seed = data[0];
    const std::string message(reinterpret_cast<const char*>(data + 1), size - 1);

    const std::string encoded = KUtil::base64Encode(message);
    if (encoded.size() != (message.size() + 2) / 3 * 4) std::abort();
    if (decodeBase64(encoded) != message) std::abort();

    MD5 pieces;
    for (size_t at = 0; at < message.size();) {
        seed = seed * 1103515245u + 12345u;
        const size_t length = std::min<size_t>(1 + (seed >> 16) % 130, message.size() - at);
        pieces.update(message.data() + at, static_cast<unsigned int>(length));
        at += length;
    }
    const std::string digest = pieces.finalize().hexdigest();
    if (digest != md5(message) || digest.size() != 32) std::abort();
    return 0;
}
