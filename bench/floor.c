/* The floor for -f mac on a host with many adapters: only the reads that any answer needs, the
 * kernel's adapter table and the virtual-device directory, with nothing done with them. */
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

int main(void) {
    char buffer[65536];
    const int table = open("/proc/net/dev", O_RDONLY);
    if (table < 0) return 1;
    while (read(table, buffer, sizeof buffer) > 0) {
    }
    close(table);
    DIR* directory = opendir("/sys/devices/virtual/net");
    if (directory == NULL) return 1;
    while (readdir(directory) != NULL) {
    }
    closedir(directory);
    return 0;
}
