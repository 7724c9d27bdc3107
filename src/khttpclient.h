#ifndef KHTTPCLIENT_H
#define KHTTPCLIENT_H

#include <cstdint>
#include <map>
#include <string>

inline constexpr char HTTP_PREFIX[] = "http://";

// A minimal plain-HTTP/1.1 POST client. Stateless; never instantiated.
class KHTTPClient {
public:
    using Params = std::map<std::string, std::string>;

    KHTTPClient() = delete;

    // Splits "http://host[:port][/path]"; the out parameters are written only on success.
    static bool urlParse(std::string url, std::string& host, uint16_t& port, std::string& path);
    static std::string generateMsg(const std::string& method, std::string path,
                                   const Params& params, const std::string& body,
                                   const Params& headers);
    // The body of the reply, or empty on any failure.
    static std::string post(const std::string& url, const Params& params,
                            const std::string& body, const Params& headers);
};

#endif
