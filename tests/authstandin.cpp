// A stand-in for the product's authorization library, built in variants by the tests. It is
// built against the shared C++ runtime, as the product's own library is.
#include <cstdlib>
#include <string>

#if defined(__clang__)
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
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
#endif
}
