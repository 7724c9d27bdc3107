#include "kinfocollectfunction.h"

#include <map>
#include <vector>

#include "kauth.h"
#include "kcommandline.h"
#include "khardwareinfo.h"
#include "khttpclient.h"
#include "kini.h"
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
// there are no files: a bare name would read whatever the working directory holds.
std::string configValue(const char* file, const std::string& section, const std::string& key) {
    const std::string directory = KUtil::getAppDir();
    if (directory.empty()) return std::string();
    return KIni(directory + file).value(section, key);
}

std::string orDefault(const std::string& value, const char* fallback) {
    return value.empty() ? std::string(fallback) : value;
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
    json += "\",\"sn\":\"" + jsonEscape(sn());
    json += "\",\"distnum\":\"" + jsonEscape(distnum());
    json += "\",\"vertype\":\"" + jsonEscape(vertype);
    json += "\",\"mac\":\"" + jsonEscape(mac());
    json += "\",\"platform\":\"" + jsonEscape(platform());
    json += "\",\"username\":\"" + jsonEscape(username);
    json += "\"}";
    return json;
}

int KInfoCollectFunction::run(const KCommandLine& commandLine) {
    std::string name;
    if (!singleValue(commandLine, "f", name) || name != function()) return -1;
    std::string vertype;
    if (!singleValue(commandLine, VERTYPE_OPTION, vertype)) return -1;
    const std::string username = firstValue(commandLine, USERNAME_OPTION);

    const KHTTPClient::Params params = {
        {"info", KUtil::base64Encode(record(vertype, username))},
        {"encode", "E1"},
    };
    const KHTTPClient::Params headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
    const std::string body;

    const std::string reply = KHTTPClient::post(customICServer() + API_USAGE_COLLECT, params,
                                                body, headers);
    if (reply.find("success") != std::string::npos) return 0;
    KHTTPClient::post(icServer() + API_USAGE_COLLECT, params, body, headers);
    // The upload was attempted; what the servers made of it is not the caller's concern.
    return 0;
}

std::string KInfoCollectFunction::version() {
    return orDefault(configValue(COMMON_CONFIG_FILE, "Product", "Version"), "0.0.0.0");
}

std::string KInfoCollectFunction::hid() { return md5(KHardwareInfo::mac()); }

std::string KInfoCollectFunction::sn() { return KAuth::instance().codes(); }

std::string KInfoCollectFunction::distnum() {
    return orDefault(configValue(OEM_FILE, "Product", "DistNumber"), "1.1");
}

std::string KInfoCollectFunction::mac() { return KHardwareInfo::mac(); }

std::string KInfoCollectFunction::platform() { return "linux"; }

std::string KInfoCollectFunction::icServer() {
    return configValue(COMMON_CONFIG_FILE, "Server", "ICServer");
}

std::string KInfoCollectFunction::customICServer() {
    return configValue(OEM_FILE, "Server", "CustomICServer");
}
