// Any proxy value, bypass list and host through KProxySettings. The input is split at NUL bytes:
// proxy value, bypass list, host.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "kproxysettings.h"

namespace {

bool hasControlOrSpace(const std::string& text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < size && parts.size() <= 3; ++i) {
        if (data[i] == 0) {
            parts.emplace_back();
        } else {
            parts.back() += static_cast<char>(data[i]);
        }
    }
    parts.resize(3);
    const KProxySettings settings(parts[0], parts[1]);
    const KProxySettings::Route route = settings.route(parts[2]);

    if (parts[0].empty() && route != KProxySettings::Route::Direct) std::abort();
    if (route == KProxySettings::Route::Proxy) {
        // A usable proxy has a host the resolver can take, a port and well-formed credentials.
        if (settings.host().empty() || settings.port() == 0) std::abort();
        if (settings.host().find_first_of("[]/@") != std::string::npos) std::abort();
        if (hasControlOrSpace(settings.host())) std::abort();
        const std::string& authorization = settings.authorization();
        if (!authorization.empty() && (authorization.compare(0, 6, "Basic ") != 0 ||
                                       hasControlOrSpace(authorization.substr(6)))) {
            std::abort();
        }
    }
    // Loopback never goes through a proxy, whatever the values say.
    for (const char* loopback : {"localhost", "127.0.0.1", "127.255.0.9", "[::1]"}) {
        if (settings.route(loopback) != KProxySettings::Route::Direct) std::abort();
    }
    // "*" bypasses every host.
    if (KProxySettings(parts[0], "*").route(parts[2]) != KProxySettings::Route::Direct) std::abort();
    return 0;
}
