#ifndef KAUTHRUNNER_H
#define KAUTHRUNNER_H

#include <chrono>
#include <string>

// Asks the product's authorization library for its code in a child process, so that nothing the
// library does (throwing, crashing, exiting, hanging, printing, or returning its text in another
// string layout) can reach the agent: the library is never loaded into the agent itself.
// Stateless; never instantiated.
class KAuthRunner {
public:
    // The longest wait for the child. Asking the library takes milliseconds; a library still
    // busy after this is taken to hang, and the record goes out without its code.
    static constexpr std::chrono::milliseconds TIMEOUT{3000};
    // A code is a short text; a child that sends more than this is not giving one.
    static constexpr size_t MAX_CODE_BYTES = size_t{1} << 20;

    KAuthRunner() = delete;

    // mList's text, or sList's when mList gives none; empty when the path is not absolute, the
    // library or an entry point is missing, or the child fails, ends badly or outlives the wait.
    static std::string codes(const std::string& libraryPath);
    // Internal: the same with the caller's bound, so tests can keep a hanging library short.
    static std::string codes(const std::string& libraryPath, std::chrono::milliseconds timeout);
};

#endif
