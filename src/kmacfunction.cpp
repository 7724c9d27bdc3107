#include "kmacfunction.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "kcommandline.h"
#include "khardwareinfo.h"
#include "koutputfile.h"
#include "ktrace.h"
#include "kutil.h"

namespace {

constexpr char FUNCTION_OPTION[] = "f";

// The function checks its own selection, not relying on main having dispatched correctly.
bool isSelected(const KCommandLine& commandLine) {
    if (!commandLine.hasOption(FUNCTION_OPTION)) return false;
    if (commandLine.getOptionValues(FUNCTION_OPTION).size() != 1) return false;
    return commandLine.getOptionValues(FUNCTION_OPTION).front() == KMACFunction::function();
}

bool hasOneOutputPath(const KCommandLine& commandLine) {
    return commandLine.hasOption(OUTPUT_OPTION) &&
           commandLine.getOptionValues(OUTPUT_OPTION).size() == 1;
}

}  // namespace

std::string KMACFunction::function() { return "mac"; }

int KMACFunction::run(const KCommandLine& commandLine) {
    if (!isSelected(commandLine) || !hasOneOutputPath(commandLine)) {
        KTrace::event("mac: the command line needs -f mac and one -o FILE");
        return -1;
    }
    // An empty file means the adapters were looked at and none qualifies; a machine whose
    // adapters could not be looked at gets no answer at all, and its old file stays.
    std::string address;
    if (!KHardwareInfo::findMac(address)) {
        KTrace::event("mac: the adapters could not be looked at; the file is left as it was");
        return -1;
    }
    const std::string path = commandLine.getOptionValues(OUTPUT_OPTION).front();
    const std::string content = KUtil::base64Encode(address);
    errno = 0;
    if (!KOutputFile::replace(path, content)) {
        KTrace::event("mac: writing %s failed: %s", path.c_str(),
                      errno != 0 ? std::strerror(errno) : "not a file that can be written");
        return -1;
    }
    KTrace::event("mac: wrote %zu bytes to %s", content.size(), path.c_str());
    return 0;
}
