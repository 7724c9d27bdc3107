#ifndef KOUTPUTFILE_H
#define KOUTPUTFILE_H

#include <string>

// Writes a function's result file so that a reader sees either the old content or the new one,
// never a mixture or an empty file, and so that a failure at any step leaves the old content
// whole. Stateless; never instantiated.
class KOutputFile {
public:
    KOutputFile() = delete;

    // Replaces the content of the file at path; false on any failure.
    // - A regular file (or none yet) is replaced atomically: the text goes to a temporary file in
    //   the same directory, which is renamed over it. Symbolic links are followed to their target.
    //   An existing file keeps its mode (and must be writable); a new one gets 0666 less the
    //   umask.
    // - When the directory refuses the temporary file, the file is written in place.
    // - Anything else (a FIFO, a device, a descriptor link such as /dev/stdout) is written in
    //   place; opening never waits, so a FIFO without a reader fails at once.
    static bool replace(const std::string& path, const std::string& content);
};

#endif
