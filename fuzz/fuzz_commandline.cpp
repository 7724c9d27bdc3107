// Arbitrary argv bytes through the command-line parser: NUL bytes separate the arguments, so
// both the several-argument walk and the single-argument split are reached.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "kcommandline.h"

namespace {

void checkNoValueStartsWithDash(const std::vector<std::string>& values) {
    for (const std::string& value : values) {
        if (!value.empty() && value[0] == '-') std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> storage(1, "usage-agent");
    storage.emplace_back();
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            storage.emplace_back();
        } else {
            storage.back() += static_cast<char>(data[i]);
        }
    }
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(&s[0]);
    argv.push_back(nullptr);

    const KCommandLine commandLine(static_cast<int>(storage.size()), argv.data());
    checkNoValueStartsWithDash(commandLine.getDefaultValues());
    for (const char* name : {"f", "o", "v", "u", "", "-"}) {
        const std::vector<std::string> values = commandLine.getOptionValues(name);
        if (!commandLine.hasOption(name) && !values.empty()) std::abort();
        checkNoValueStartsWithDash(values);
    }
    if (commandLine.hasOption("")) std::abort();
    return 0;
}
