// Any file content through the INI reader. The bytes live in a memory file, reached by path.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "kini.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = memfd_create("ini", 0);
    if (fd < 0) return 0;
    size_t written = 0;
    while (written < size) {
        const ssize_t n = write(fd, data + written, size - written);
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    const KIni ini("/proc/self/fd/" + std::to_string(fd));
    for (const char* section : {"default", "Product", "Server", "s"}) {
        for (const char* key : {"Version", "DistNumber", "ICServer", "CustomICServer", "k"}) {
            (void)ini.value(section, key);
        }
    }
    close(fd);
    return 0;
}
