// Any URL text through urlParse, and any params, headers and body through generateMsg.
// The input is split at NUL bytes: url, then key/value pairs alternating params and headers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "khttpclient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            parts.emplace_back();
        } else {
            parts.back() += static_cast<char>(data[i]);
        }
    }

    std::string host = "unchanged", path = "unchanged";
    uint16_t port = 7;
    if (KHTTPClient::urlParse(parts[0], host, port, path)) {
        if (host.empty() || port == 0 || path.empty() || path[0] != '/') std::abort();
        if (parts[0].compare(0, 7, HTTP_PREFIX) != 0) std::abort();
        // Nothing that could end the request line or start a header line gets through.
        for (const char c : parts[0]) {
            if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) std::abort();
        }
        // Brackets only around a whole IPv6 address, and nowhere else in the host.
        const size_t open = host.find('['), close = host.find(']');
        if (open != std::string::npos || close != std::string::npos) {
            if (open != 0 || close != host.size() - 1 || host.find(':') == std::string::npos) {
                std::abort();
            }
        } else if (host.find(':') != std::string::npos) {
            std::abort();
        }
    } else if (host != "unchanged" || port != 7 || path != "unchanged") {
        std::abort();  // a refused URL must leave the out parameters alone
    }

    KHTTPClient::Params params, headers;
    for (size_t i = 1; i + 1 < parts.size(); i += 2) {
        (i % 4 == 1 ? params : headers).emplace(parts[i], parts[i + 1]);
    }
    const std::string body = parts.size() % 2 == 0 ? parts.back() : std::string();
    const std::string message = KHTTPClient::generateMsg("POST", path, params, body, headers);
    if (message.compare(0, 5, "POST ") != 0) std::abort();
    if (message.size() < body.size() ||
        message.compare(message.size() - body.size(), body.size(), body) != 0) {
        std::abort();
    }
    return 0;
}
