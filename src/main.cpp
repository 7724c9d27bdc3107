#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "kcommandline.h"
#include "kinfocollectfunction.h"
#include "kmacfunction.h"
#include "ktrace.h"

namespace {

// The value of -f when it holds exactly one; otherwise empty, which matches no function.
std::string functionName(const KCommandLine& commandLine) {
    if (!commandLine.hasOption("f")) return std::string();
    std::vector<std::string> values = commandLine.getOptionValues("f");
    return values.size() == 1 ? values.front() : std::string();
}

}  // namespace

// The runtime's default terminate handler prints the exception's demangled type, which links a
// whole demangler into the agent. The agent prints nothing anyway, so it simply aborts.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

// The agent is built without exceptions, so an error the standard library would throw ends the
// process either way. Ending it here keeps the runtime's exception objects, its personality
// routine and the whole stack unwinder out of the executable, which would otherwise be half of it.
// These are the runtime's own hooks, which it declares for exactly this kind of replacement.
namespace std {  // NOLINT(cert-dcl58-cpp)
void __throw_bad_alloc() { std::abort(); }
void __throw_bad_array_new_length() { std::abort(); }
void __throw_logic_error(const char*) { std::abort(); }
void __throw_length_error(const char*) { std::abort(); }
void __throw_out_of_range(const char*) { std::abort(); }
void __throw_out_of_range_fmt(const char*, ...) { std::abort(); }  // NOLINT(cert-dcl50-cpp)
void __throw_invalid_argument(const char*) { std::abort(); }
}  // namespace std

// The runtime's operator new throws std::bad_alloc, which alone would bring the unwinder back.
// Under AddressSanitizer its own operator new stays, so that mismatched deletes are still caught.
#ifndef __SANITIZE_ADDRESS__
void* operator new(std::size_t size) {
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) std::abort();
    return memory;
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#endif

int main(int argc, char** argv) {
    KTrace::init(std::getenv("USAGE_AGENT_DEBUG"));
    // A reader that went away or a file size limit must give a failed write, not end the agent.
    // Setting a valid disposition cannot fail, so the previous one is not asked for.
    (void)signal(SIGPIPE, SIG_IGN);
    (void)signal(SIGXFSZ, SIG_IGN);
    const KCommandLine commandLine(argc, argv);
    const std::string name = functionName(commandLine);
    if (name == KMACFunction::function()) {
        KMACFunction function;
        return function.run(commandLine);
    }
    if (name == KInfoCollectFunction::function()) {
        KInfoCollectFunction function;
        return function.run(commandLine);
    }
    KTrace::event("no function: the command line needs -f mac or -f ic");
    return -1;
}
