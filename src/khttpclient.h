#ifndef KHTTPCLIENT_H
#define KHTTPCLIENT_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "khttpreplyreader.h"

inline constexpr char HTTP_PREFIX[] = "http://";
inline constexpr char HTTPS_PREFIX[] = "https://";

// A minimal HTTP/1.1 POST client, over plain TCP or TLS. Stateless; never instantiated.
class KHTTPClient {
public:
    using Params = std::map<std::string, std::string>;
    enum class Scheme { Http, Https };

    // Sending the request and reading its reply share one bound per attempt, so that a server
    // that accepts and then stalls cannot hold the agent.
    static constexpr std::chrono::milliseconds REPLY_TIMEOUT{10000};
    // Replies are short status texts; anything longer is cut rather than held in memory.
    static constexpr size_t MAX_BODY_BYTES = KHTTPReplyReader::MAX_BODY_BYTES;

    KHTTPClient() = delete;

    // Splits "http://host[:port][/path]"; the out parameters are written only on success. An IPv6
    // host is written and returned in brackets ("[::1]"). A URL with a byte at or below 0x20, or
    // 0x7F, is refused.
    static bool urlParse(std::string url, std::string& host, uint16_t& port, std::string& path);
    // The same for "http://" (port 80 by default) and "https://" (port 443), telling which.
    static bool urlParse(const std::string& url, Scheme& scheme, std::string& host,
                         uint16_t& port, std::string& path);
    static std::string generateMsg(const std::string& method, std::string path,
                                   const Params& params, const std::string& body,
                                   const Params& headers);
    // The body of the reply, or empty on any failure. The request goes through the HTTP proxy
    // that the environment names, if any (see KProxySettings).
    static std::string post(const std::string& url, const Params& params, const std::string& body,
                            const Params& headers);
    // Internal: post with the caller's bounds instead of the defaults, so tests can use short ones.
    static std::string post(const std::string& url, const Params& params, const std::string& body,
                            const Params& headers, std::chrono::milliseconds connectTimeout,
                            std::chrono::milliseconds replyTimeout);

    // Internal: the reader of one reply, kept under this name for the client's own callers.
    using ReplyReader = KHTTPReplyReader;
};

#endif
