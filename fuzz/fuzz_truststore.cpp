// Any bytes as a CA bundle through the trust store's reader: no crash, no leak, and never more
// authorities than certificate blocks.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ktruststore.h"

namespace {

size_t countBlocks(const std::string& text) {
    size_t count = 0;
    for (size_t at = text.find("-----BEGIN CERTIFICATE-----"); at != std::string::npos;
         at = text.find("-----BEGIN CERTIFICATE-----", at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The reader takes a path; an anonymous file in memory keeps the disk out of it.
    static const int file = memfd_create("bundle", 0);
    if (file < 0) std::abort();
    if (ftruncate(file, 0) != 0 || pwrite(file, data, size, 0) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    static const std::string path = "/proc/self/fd/" + std::to_string(file);
    KTrustStore store;
    const bool loaded = store.load(path);
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (loaded != (store.size() > 0) || store.size() > countBlocks(text)) std::abort();
    return 0;
}
