// A stand-in for the product's authorization library, built in variants by the tests. It is
// built against the shared C++ runtime, as the product's own library is.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#if defined(__clang__)
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif

#if defined(STANDIN_PRINTS)
namespace {
// Some libraries greet whoever loads them; none of it may reach the agent's output.
struct Greeter {
    Greeter() {
        std::printf("library loaded\n");
        std::fflush(stdout);
        std::fprintf(stderr, "library warning\n");
    }
};
const Greeter GREETER;
}  // namespace
#endif

extern "C" {

#if defined(STANDIN_BOTH)
std::string mList() { return "M-CODE-1234"; }
// The agent must not ask sList when mList gave a text: dying makes that visible.
std::string sList() { std::abort(); }
#elif defined(STANDIN_SLIST_TEXT)
std::string mList() { return std::string(); }
std::string sList() { return "S-CODE-5678 \"quoted\""; }
#elif defined(STANDIN_MLIST_ONLY)
std::string mList() { return "M-ONLY"; }
#elif defined(STANDIN_NONE)
int unrelatedEntryPoint() { return 0; }
#elif defined(STANDIN_THROWS)
std::string mList() { throw std::runtime_error("licence service unavailable"); }
std::string sList() { return "S-NEVER"; }
#elif defined(STANDIN_CRASHES)
std::string mList() {
    volatile int* nowhere = nullptr;
    return std::to_string(*nowhere);
}
std::string sList() { return "S-NEVER"; }
#elif defined(STANDIN_EXITS)
std::string mList() { std::exit(3); }
std::string sList() { return "S-NEVER"; }
#elif defined(STANDIN_SLEEPS)
std::string mList() {
    sleep(30);
    return "M-LATE";
}
std::string sList() { return "S-LATE"; }
#elif defined(STANDIN_OLD_ABI)
std::string mList() { return "M-CODE-OLD-LAYOUT-WITH-A-LONGER-TEXT"; }
std::string sList() { return "S-CODE-OLD-LAYOUT-WITH-A-LONGER-TEXT"; }
#elif defined(STANDIN_PRINTS)
std::string mList() { return "M-PRINTED"; }
std::string sList() { return std::string(); }
#endif
}
