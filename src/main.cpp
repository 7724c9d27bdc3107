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

int main(int argc, char** argv) {
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
