// The record's value escaping: whatever the bytes, the escaped text holds no raw control byte,
// and read back by a strict JSON reader it gives exactly the original bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "jsonreader.h"
#include "kinfocollectfunction.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string value(reinterpret_cast<const char*>(data), size);
    const std::string escaped = KInfoCollectFunction::jsonEscape(value);
    for (const char c : escaped) {
        if (static_cast<unsigned char>(c) < 0x20) std::abort();
    }
    std::vector<std::pair<std::string, std::string>> members;
    if (!readFlatJsonObject("{\"v\":\"" + escaped + "\"}", members)) std::abort();
    if (members.size() != 1 || members[0].second != value) std::abort();
    return 0;
}
