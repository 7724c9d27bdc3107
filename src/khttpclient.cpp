#include "khttpclient.h"

bool KHTTPClient::urlParse(std::string url, std::string& host, uint16_t& port, std::string& path) {
    (void)url;
    (void)host;
    (void)port;
    (void)path;
    return false;
}

std::string KHTTPClient::generateMsg(const std::string& method, std::string path,
                                     const Params& params, const std::string& body,
                                     const Params& headers) {
    (void)method;
    (void)path;
    (void)params;
    (void)body;
    (void)headers;
    return std::string();
}

std::string KHTTPClient::post(const std::string& url, const Params& params,
                              const std::string& body, const Params& headers) {
    (void)url;
    (void)params;
    (void)body;
    (void)headers;
    return std::string();
}
