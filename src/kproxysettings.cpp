#include "kproxysettings.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "khttpclient.h"
#include "kutil.h"

namespace {

using Text = std::string_view;

constexpr char SCHEME_SEPARATOR[] = "://";

// An address literal in network byte order. IPv4-mapped IPv6 addresses count as IPv4, so that
// both spellings of one address compare equal.
struct IpAddress {
    int family = 0;
    unsigned char bytes[16] = {};
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(Text a, Text b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    }
    return true;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool hasControlOrSpace(Text text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) return true;
    }
    return false;
}

Text withoutFinalDot(Text name) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    return name;
}

// IPv6 (in brackets or not) or dotted IPv4. A host given to the resolver may also be IPv4 in
// any form inet_aton reads ("127.1" is 127.0.0.1), and counts as that address then; entries of
// the bypass list must be written out, as the short forms are easily misread.
bool parseAddress(Text text, IpAddress& address, bool resolverForms) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        text = Text(text.data() + 1, text.size() - 2);
    }
    char buffer[INET6_ADDRSTRLEN];
    if (text.empty() || text.size() >= sizeof buffer) return false;
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    // Only characters of address literals: inet_aton would take "1.2.3.4 junk" for 1.2.3.4.
    if (std::strspn(buffer, "0123456789abcdefABCDEFxX.:") != text.size()) return false;
    in_addr v4;
    static const unsigned char MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (inet_pton(AF_INET6, buffer, address.bytes) == 1) {
        if (std::memcmp(address.bytes, MAPPED_PREFIX, sizeof MAPPED_PREFIX) != 0) {
            address.family = AF_INET6;
            return true;
        }
        std::memmove(address.bytes, address.bytes + 12, 4);
        std::memset(address.bytes + 4, 0, sizeof address.bytes - 4);
    } else if (resolverForms ? !isDigit(text.front()) || inet_aton(buffer, &v4) == 0
                             : inet_pton(AF_INET, buffer, &v4) != 1) {
        return false;
    } else {
        std::memcpy(address.bytes, &v4, sizeof v4);
    }
    address.family = AF_INET;
    return true;
}

bool samePrefix(const IpAddress& a, const IpAddress& b, unsigned bits) {
    if (a.family != b.family) return false;
    const unsigned whole = bits / 8, rest = bits % 8;
    if (std::memcmp(a.bytes, b.bytes, whole) != 0) return false;
    if (rest == 0) return true;
    const auto mask = static_cast<unsigned char>(0xFF00u >> rest);
    return ((a.bytes[whole] ^ b.bytes[whole]) & mask) == 0;
}

bool isLoopback(const IpAddress& address) {
    static const unsigned char V6_LOOPBACK[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (address.family == AF_INET) return address.bytes[0] == 127;
    return std::memcmp(address.bytes, V6_LOOPBACK, sizeof V6_LOOPBACK) == 0;
}

// A host name equals the entry or ends with it after a ".".
bool nameMatches(Text host, Text entry) {
    if (entry.size() >= 2 && entry[0] == '*' && entry[1] == '.') {
        entry.remove_prefix(2);
    } else if (!entry.empty() && entry.front() == '.') {
        entry.remove_prefix(1);
    }
    entry = withoutFinalDot(entry);
    if (entry.empty() || host.size() < entry.size()) return false;
    const size_t start = host.size() - entry.size();
    return equalsIgnoringCase(Text(host.data() + start, entry.size()), entry) &&
           (start == 0 || host[start - 1] == '.');
}

// "address/bits"; an entry that is not a valid block matches nothing.
bool blockMatches(const IpAddress& host, Text entry, size_t slash) {
    const Text addressText(entry.data(), slash);
    const Text bitsText(entry.data() + slash + 1, entry.size() - slash - 1);
    IpAddress block;
    if (bitsText.empty() || bitsText.size() > 3 || !parseAddress(addressText, block, false)) {
        return false;
    }
    unsigned bits = 0;
    for (const char c : bitsText) {
        if (!isDigit(c)) return false;
        bits = bits * 10 + static_cast<unsigned>(c - '0');
    }
    // A mapped IPv6 block ("::ffff:10.0.0.0/104") counts as the IPv4 block it holds.
    if (block.family == AF_INET && std::memchr(addressText.data(), ':', slash) != nullptr) {
        bits = bits >= 96 ? bits - 96 : 0;
    }
    if (bits > (block.family == AF_INET ? 32u : 128u)) return false;
    return samePrefix(host, block, bits);
}

bool entryMatches(Text host, const IpAddress* address, Text entry) {
    if (entry.size() == 1 && entry[0] == '*') return true;
    if (address == nullptr) return nameMatches(host, entry);
    const void* slash = std::memchr(entry.data(), '/', entry.size());
    if (slash != nullptr) {
        return blockMatches(*address, entry, static_cast<size_t>(static_cast<const char*>(slash) - entry.data()));
    }
    IpAddress exact;
    return parseAddress(entry, exact, false) && samePrefix(*address, exact, 128);
}

int hexValue(char c) {
    if (isDigit(c)) return c - '0';
    c = lowerAscii(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// "%XX" escapes decoded, as user names and passwords in URLs carry them; false on a broken one.
bool percentDecode(const std::string& text, std::string& decoded) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size() || hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0) {
            return false;
        }
        decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
        i += 2;
    }
    return true;
}

const char* environmentValue(const char* lowerName, const char* upperName) {
    const char* value = std::getenv(lowerName);
    if (value == nullptr || *value == '\0') value = std::getenv(upperName);
    return value == nullptr ? "" : value;
}

}  // namespace

KProxySettings::KProxySettings(const std::string& proxyValue, std::string noProxyValue)
    : m_set(!proxyValue.empty()), m_noProxy(std::move(noProxyValue)) {
    m_usable = m_set && parseProxy(proxyValue);
}

KProxySettings KProxySettings::fromEnvironment(bool forHttps) {
    return KProxySettings(forHttps ? environmentValue("https_proxy", "HTTPS_PROXY")
                                   : environmentValue("http_proxy", "HTTP_PROXY"),
                          environmentValue("no_proxy", "NO_PROXY"));
}

KProxySettings::Route KProxySettings::route(const std::string& host) const {
    if (!m_set || bypasses(host)) return Route::Direct;
    return m_usable ? Route::Proxy : Route::Unusable;
}

// Only plain HTTP proxies are spoken here; any other scheme makes the value unusable. The host
// and port follow the rules of server URLs.
bool KProxySettings::parseProxy(const std::string& value) {
    if (hasControlOrSpace(value)) return false;
    std::string rest = value;
    const size_t scheme = rest.find(SCHEME_SEPARATOR);
    if (scheme != std::string::npos) {
        if (!equalsIgnoringCase(Text(rest.data(), scheme), "http")) return false;
        rest.erase(0, scheme + sizeof SCHEME_SEPARATOR - 1);
    }
    const std::string authority = rest.substr(0, rest.find('/'));
    const size_t at = authority.rfind('@');
    const size_t hostStart = at == std::string::npos ? 0 : at + 1;
    std::string parsedHost, path;
    if (!KHTTPClient::urlParse(HTTP_PREFIX + authority.substr(hostStart), parsedHost, m_port, path)) {
        return false;
    }
    const bool bracketed = parsedHost.front() == '[';
    m_host.assign(parsedHost, bracketed ? 1 : 0, parsedHost.size() - (bracketed ? 2 : 0));
    if (hostStart <= 1) return true;
    const std::string userinfo = authority.substr(0, at);
    const size_t colon = userinfo.find(':');
    std::string credentials;
    if (!percentDecode(userinfo.substr(0, colon), credentials)) return false;
    credentials += ':';
    if (colon != std::string::npos && !percentDecode(userinfo.substr(colon + 1), credentials)) {
        return false;
    }
    m_authorization = "Basic " + KUtil::base64Encode(credentials);
    return true;
}

bool KProxySettings::bypasses(const std::string& host) const {
    IpAddress address;
    const bool hostIsAddress = parseAddress(host, address, true);
    const Text name = withoutFinalDot(host);
    if (hostIsAddress ? isLoopback(address) : equalsIgnoringCase(name, "localhost")) return true;
    const size_t size = m_noProxy.size();
    for (size_t start = 0; start <= size;) {
        size_t stop = start;
        while (stop < size && m_noProxy[stop] != ',') ++stop;
        size_t first = start, last = stop;
        while (first < last && isBlank(m_noProxy[first])) ++first;
        while (last > first && isBlank(m_noProxy[last - 1])) --last;
        const Text entry(m_noProxy.data() + first, last - first);
        if (!entry.empty() && entryMatches(name, hostIsAddress ? &address : nullptr, entry)) return true;
        start = stop + 1;
    }
    return false;
}
