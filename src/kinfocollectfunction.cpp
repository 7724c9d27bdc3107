#include "kinfocollectfunction.h"

#include <chrono>
#include <map>
#include <vector>

#include "kauth.h"
#include "kcommandline.h"
#include "khardwareinfo.h"
#include "khttpclient.h"
#include "kini.h"
#include "ktrace.h"
#include "kutil.h"
#include "md5.h"

namespace {

// True when the option is present with exactly one value, which is stored in value.
bool singleValue(const KCommandLine& commandLine, const std::string& name, std::string& value) {
    if (!commandLine.hasOption(name)) return false;
    const std::vector<std::string> values = commandLine.getOptionValues(name);
    if (values.size() != 1) return false;
    value = values.front();
    return true;
}

std::string firstValue(const KCommandLine& commandLine, const std::string& name) {
    const std::vector<std::string> values = commandLine.getOptionValues(name);
    return values.empty() ? std::string() : values.front();
}

// Nothing is cached: each lookup reads its file again. Without the executable's directory
// there are no files: a bare name would read whatever the working directory holds. fallback is
// the value used when the file or the key is missing, for the trace to show.
std::string configValue(const char* file, const std::string& section, const std::string& key,
                        const char* fallback = "") {
    const std::string directory = KUtil::getAppDir();
    if (directory.empty()) return fallback;
    const KIni ini(directory + file);
    const std::string value = ini.value(section, key);
    if (KTrace::enabled()) {
        KTrace::event("%s%s: %s, [%s] %s = \"%s\"%s", directory.c_str(), file,
                      ini.found() ? "found" : "absent or not a regular file", section.c_str(),
                      key.c_str(), KTrace::printable(value.empty() ? fallback : value, 4096).c_str(),
                      value.empty() ? (*fallback != '\0' ? " (default)" : " (unset)") : "");
    }
    return value.empty() ? std::string(fallback) : value;
}

// Posts the record to one server and tells whether its reply says "success".
bool postTo(const char* which, const std::string& server, const KHTTPClient::Params& params,
            const KHTTPClient::Params& headers) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = KTrace::enabled() ? Clock::now() : Clock::time_point();
    KTrace::event("attempt: the %s server, %s%s", which, server.empty() ? "unset, " : "",
                  server.c_str());
    const std::string reply =
        KHTTPClient::post(server + API_USAGE_COLLECT, params, std::string(), headers);
    const bool success = reply.find("success") != std::string::npos;
    if (KTrace::enabled()) {
        const long long took =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        KTrace::event("verdict after %lld ms: %s", took,
                      KTrace::dryRun() ? "dry run, nothing sent"
                      : success        ? "\"success\" found in the reply"
                      : reply.empty()  ? "no reply body (failed attempt or empty reply)"
                                       : "no \"success\" in the reply");
    }
    return success;
}

}  // namespace

std::string KInfoCollectFunction::function() { return "ic"; }

std::string KInfoCollectFunction::jsonEscape(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte < 0x20) {
                    static const char HEX_DIGITS[] = "0123456789abcdef";
                    out += "\\u00";
                    out += HEX_DIGITS[byte >> 4];
                    out += HEX_DIGITS[byte & 15];
                } else {
                    out += c;  // bytes from 0x80 up pass unchanged: no charset conversion
                }
        }
    }
    return out;
}

std::string KInfoCollectFunction::record(const std::string& vertype, const std::string& username) {
    // Fields are computed in record order, once each.
    std::string json = "{\"version\":\"" + jsonEscape(version());
    json += "\",\"hid\":\"" + jsonEscape(hid());
    const std::string code = sn();
    json += "\",\"sn\":\"";
    // The code is a licence secret: the trace shows the record with the code's description.
    const size_t codeAt = json.size();
    json += jsonEscape(code);
    const size_t codeEnd = json.size();
    json += "\",\"distnum\":\"" + jsonEscape(distnum());
    json += "\",\"vertype\":\"" + jsonEscape(vertype);
    json += "\",\"mac\":\"" + jsonEscape(mac());
    json += "\",\"platform\":\"" + jsonEscape(platform());
    json += "\",\"username\":\"" + jsonEscape(username);
    json += "\"}";
    if (KTrace::enabled()) {
        const std::string shown = json.substr(0, codeAt) + jsonEscape(KTrace::redacted(code)) +
                                  json.substr(codeEnd);
        KTrace::event("record %s", shown.c_str());
    }
    return json;
}

int KInfoCollectFunction::run(const KCommandLine& commandLine) {
    std::string name;
    std::string vertype;
    if (!singleValue(commandLine, "f", name) || name != function() ||
        !singleValue(commandLine, VERTYPE_OPTION, vertype)) {
        KTrace::event("ic: the command line needs -f ic and one -v TYPE");
        return -1;
    }
    const std::string username = firstValue(commandLine, USERNAME_OPTION);
    if (KTrace::enabled()) {
        const std::string directory = KUtil::getAppDir();
        KTrace::event("executable's directory: %s", directory.empty()
                                                        ? "unknown, so no files and no library"
                                                        : directory.c_str());
    }

    const KHTTPClient::Params params = {
        {"info", KUtil::base64Encode(record(vertype, username))},
        {"encode", "E1"},
    };
    const KHTTPClient::Params headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
    if (postTo("custom", customICServer(), params, headers)) return 0;
    KTrace::event("falling back to the standard server");
    postTo("standard", icServer(), params, headers);
    // The upload was attempted; what the servers made of it is not the caller's concern.
    return 0;
}

std::string KInfoCollectFunction::version() {
    return configValue(COMMON_CONFIG_FILE, "Product", "Version", "0.0.0.0");
}

std::string KInfoCollectFunction::hid() { return md5(KHardwareInfo::mac()); }

std::string KInfoCollectFunction::sn() { return KAuth::instance().codes(); }

std::string KInfoCollectFunction::distnum() {
    return configValue(OEM_FILE, "Product", "DistNumber", "1.1");
}

std::string KInfoCollectFunction::mac() { return KHardwareInfo::mac(); }

std::string KInfoCollectFunction::platform() { return "linux"; }

std::string KInfoCollectFunction::icServer() {
    return configValue(COMMON_CONFIG_FILE, "Server", "ICServer");
}

std::string KInfoCollectFunction::customICServer() {
    return configValue(OEM_FILE, "Server", "CustomICServer");
}
