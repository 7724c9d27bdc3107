#ifndef KTRACE_H
#define KTRACE_H

#include <cstddef>
#include <string>

// The opt-in diagnostics of a run, chosen by the environment variable USAGE_AGENT_DEBUG: unset or
// empty, the agent stays silent; "dry-run", it traces and sends nothing; any other value, it
// traces. A trace is one line per event on stderr, each starting with the milliseconds since the
// run began. Classes call event() where something worth explaining happens; when tracing is off
// it returns at once, so the silent agent pays one comparison per event.
class KTrace {
public:
    enum class Mode { Off, On, DryRun };

    KTrace() = delete;

    // Chooses the mode from the variable's value (null for unset) and starts the clock.
    // Trace lines go to outputFd, request bytes of a dry run to requestFd.
    static void init(const char* setting, int outputFd = 2, int requestFd = 1);
    static bool enabled();
    static bool dryRun();
    // One trace line, printf-style, without its line break.
    static void event(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // The bytes a dry run would have sent, written as they are.
    static void request(const std::string& bytes);
    // The text with bytes outside printable ASCII escaped, cut after limit bytes.
    static std::string printable(const std::string& bytes, size_t limit);
    // A secret shown only by its length and first 4 characters.
    static std::string redacted(const std::string& secret);
};

#endif
