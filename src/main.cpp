#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "kcommandline.h"
#include "kinfocollectfunction.h"
#include "kmacfunction.h"

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

int main(int argc, char** argv) {
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
    return -1;
}
