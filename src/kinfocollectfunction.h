#ifndef KINFOCOLLECTFUNCTION_H
#define KINFOCOLLECTFUNCTION_H

#include <string>

#include "ikfunction.h"

inline constexpr char API_USAGE_COLLECT[] = "/api/usage/collect";
inline constexpr char USERNAME_OPTION[] = "u";
inline constexpr char VERTYPE_OPTION[] = "v";
inline constexpr char OEM_FILE[] = "oem.ini";
inline constexpr char COMMON_CONFIG_FILE[] = "vorncheck.ini";

// "ic": builds the usage record of the installation and posts it to the collection server.
class KInfoCollectFunction : public IKFunction {
public:
    static std::string function();
    int run(const KCommandLine& commandLine) override;

    std::string version();
    std::string hid();
    std::string sn();
    std::string distnum();
    std::string mac();
    std::string platform();
    std::string icServer();
    std::string customICServer();

    // The value as the body of a JSON string: quote, backslash and control bytes escaped,
    // every other byte unchanged. Values without those bytes come out identical.
    static std::string jsonEscape(const std::string& value);

private:
    // The one-line JSON usage record, fields in their fixed order.
    std::string record(const std::string& vertype, const std::string& username);
};

#endif
