#ifndef KPROXYSETTINGS_H
#define KPROXYSETTINGS_H

#include <cstdint>
#include <string>

// The HTTP proxy that the environment names, read as the common command-line HTTP clients read
// it, and the hosts that bypass it.
//
// The proxy is "[http://][user:password@]host[:port][/...]" (port 80 by default; user and
// password may be percent-encoded; a path is ignored). The bypass list is comma-separated: an
// entry matches a host name that equals it or ends with it at a label boundary (a leading "." or
// "*." is optional, case is ignored), an address literal exactly, or an address block in CIDR
// notation ("10.0.0.0/8", "fd00::/8"); "*" matches every host. "localhost" and loopback
// addresses never go through a proxy.
class KProxySettings {
public:
    enum class Route {
        Direct,    // connect to the server itself
        Proxy,     // send the request through the proxy
        Unusable,  // a proxy is set but cannot be used: the attempt fails rather than go around it
    };

    // An empty proxy value means no proxy.
    KProxySettings(const std::string& proxyValue, std::string noProxyValue);
    // http_proxy, else HTTP_PROXY (for https servers: https_proxy, else HTTPS_PROXY); no_proxy,
    // else NO_PROXY. An empty variable counts as unset.
    static KProxySettings fromEnvironment(bool forHttps = false);

    // host as urlParse gives it: a name, a dotted IPv4 address or a bracketed IPv6 address.
    Route route(const std::string& host) const;
    // True when the environment names a proxy, usable or not.
    bool isSet() const { return m_set; }
    // Where to connect for Route::Proxy: a name or an address, IPv6 without brackets.
    const std::string& host() const { return m_host; }
    uint16_t port() const { return m_port; }
    // The Proxy-Authorization value ("Basic ..."); empty when the proxy value names no user.
    const std::string& authorization() const { return m_authorization; }

private:
    bool parseProxy(const std::string& value);
    bool bypasses(const std::string& host) const;

    bool m_set = false;
    bool m_usable = false;
    std::string m_host;
    uint16_t m_port = 0;
    std::string m_authorization;
    std::string m_noProxy;
};

#endif
