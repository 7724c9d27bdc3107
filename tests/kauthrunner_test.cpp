// The authorization library asked in a child process, with real stand-in libraries that
// misbehave in the ways a product library can.
#include "kauthrunner.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "standinpaths.h"
#include "testsupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds SHORT_BOUND{500};
constexpr double DID_NOT_HANG = 8.0;

struct LibraryCase {
    const char* library;
    const char* code;
};

TEST(KAuthRunnerTest, AnyFailureOfTheLibraryGivesAnEmptyCodeAndLeavesThisProcessAlone) {
    const LibraryCase cases[] = {
        {STANDIN_BOTH, "M-CODE-1234"},
        {STANDIN_SLIST_TEXT, "S-CODE-5678 \"quoted\""},
        {STANDIN_PRINTS, "M-PRINTED"},
        {STANDIN_MLIST_ONLY, ""},
        {STANDIN_NONE, ""},
        {STANDIN_THROWS, ""},
        {STANDIN_CRASHES, ""},
        {STANDIN_EXITS, ""},
        {STANDIN_OLD_ABI, ""},
        {STANDIN_SLEEPS, ""},
    };
    for (const LibraryCase& c : cases) {
        SCOPED_TRACE(c.library);
        const auto start = Clock::now();
        EXPECT_EQ(KAuthRunner::codes(c.library, SHORT_BOUND), c.code);
        EXPECT_LT(secondsSince(start), DID_NOT_HANG);
        // Had the library been loaded here, this would find it.
        EXPECT_EQ(dlopen(c.library, RTLD_NOW | RTLD_NOLOAD), nullptr);
    }
}

TEST(KAuthRunnerTest, OnlyAnAbsolutePathToALibraryIsLoaded) {
    TempDir dir;
    writeFile(dir.file("not-elf.so"), "plain text");
    const std::string relative = "authstandin-both.so";
    for (const std::string& path : {std::string(), relative, std::string("./") + relative,
                                    dir.file("missing.so"), dir.file("not-elf.so")}) {
        EXPECT_EQ(KAuthRunner::codes(path, SHORT_BOUND), "") << path;
    }
}

// With tracing on, each outcome is told apart: where the code came from, shown only by its
// length and start, or how the child failed.
TEST(KAuthRunnerTest, TraceTellsTheOutcomeAndNeverShowsTheWholeCode) {
    struct TraceCase {
        const char* library;
        const char* traced;
    };
    const TraceCase cases[] = {
        {STANDIN_BOTH, "code from mList, 11 characters, starting \"M-CO\""},
        {STANDIN_SLIST_TEXT, "code from sList, 20 characters, starting \"S-CO\""},
        {STANDIN_NONE, "mList or sList missing"},
        {STANDIN_THROWS, "signal 6"},
#ifdef __SANITIZE_ADDRESS__
        // The sanitizer's own handler reports the crash and exits.
        {STANDIN_CRASHES, "exited with status"},
#else
        {STANDIN_CRASHES, "signal 11"},
#endif
        {STANDIN_EXITS, "exited with status 3"},
        {STANDIN_SLEEPS, "no answer within 500 ms"},
    };
    for (const TraceCase& c : cases) {
        SCOPED_TRACE(c.library);
        std::string trace;
        {
            const TraceCapture capture;
            KAuthRunner::codes(c.library, SHORT_BOUND);
            trace = capture.text();
        }
        EXPECT_TRUE(containsInOrder(trace, {"asked in a child", c.traced}));
        EXPECT_EQ(trace.find("M-CODE-1234"), std::string::npos) << trace;
        EXPECT_EQ(trace.find("S-CODE-5678"), std::string::npos) << trace;
    }
}

}  // namespace
