// Any URL text through both forms of urlParse, and any params, headers and body through generateMsg.
// The input is split at NUL bytes: url, then key/value pairs alternating params and headers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "khttpclient.h"

namespace {

// What the out parameters hold before a call: a host no URL can give, as a space is refused.
const char UNTOUCHED[] = "un touched";

// The form that also takes https:// agrees with the http-only one on http:// URLs, and splits
// an https:// URL as the http-only form splits the same URL with http:// in front.
void checkSchemeForm(const std::string& url, bool httpParsed, const std::string& httpHost,
                     uint16_t httpPort, const std::string& httpPath) {
    KHTTPClient::Scheme scheme = KHTTPClient::Scheme::Http;
    std::string host = UNTOUCHED, path = UNTOUCHED;
    uint16_t port = 7;
    const bool parsed = KHTTPClient::urlParse(url, scheme, host, port, path);
    const bool secure = url.compare(0, 8, HTTPS_PREFIX) == 0;
    if (!secure) {
        if (parsed != httpParsed) std::abort();
        if (parsed && (scheme != KHTTPClient::Scheme::Http || host != httpHost ||
                       port != httpPort || path != httpPath)) {
            std::abort();
        }
        return;
    }
    std::string plainHost = UNTOUCHED, plainPath = UNTOUCHED;
    uint16_t plainPort = 7;
    const bool plainParsed =
        KHTTPClient::urlParse(HTTP_PREFIX + url.substr(8), plainHost, plainPort, plainPath);
    if (parsed != plainParsed) std::abort();
    if (!parsed) {
        if (host != UNTOUCHED || port != 7 || path != UNTOUCHED) std::abort();
        return;
    }
    const bool defaultPort = plainPort == 80 && port == 443;
    if (scheme != KHTTPClient::Scheme::Https || host != plainHost || path != plainPath ||
        (port != plainPort && !defaultPort)) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            parts.emplace_back();
        } else {
            parts.back() += static_cast<char>(data[i]);
        }
    }

    std::string host = UNTOUCHED, path = UNTOUCHED;
    uint16_t port = 7;
    const bool parsed = KHTTPClient::urlParse(parts[0], host, port, path);
    if (parsed) {
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
    } else if (host != UNTOUCHED || port != 7 || path != UNTOUCHED) {
        std::abort();  // a refused URL must leave the out parameters alone
    }
    checkSchemeForm(parts[0], parsed, host, port, path);

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
