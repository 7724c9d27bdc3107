#include "kmacfunction.h"

#include <vector>

#include "kcommandline.h"
#include "khardwareinfo.h"
#include "koutputfile.h"
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
    if (!isSelected(commandLine) || !hasOneOutputPath(commandLine)) return -1;
    // An empty file means the adapters were looked at and none qualifies; a machine whose
    // adapters could not be looked at gets no answer at all, and its old file stays.
    std::string address;
    if (!KHardwareInfo::findMac(address)) return -1;
    return KOutputFile::replace(commandLine.getOptionValues(OUTPUT_OPTION).front(),
                                KUtil::base64Encode(address))
               ? 0
               : -1;
}
