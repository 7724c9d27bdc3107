// Exit statuses of the real binary for the dispatch cases: nothing is ever printed.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "testsupport.h"

namespace {

struct DispatchCase {
    std::vector<std::string> args;
    int status;
};

TEST(MainTest, UnusableFunctionNamesExitWith255AndPrintNothing) {
    const DispatchCase cases[] = {
        {{}, 255},
        {{"-f"}, 255},
        {{"-f", "-o", "x"}, 255},
        {{"-f", "mac", "ic"}, 255},
        {{"--f", "mac"}, 255},
        {{"mac"}, 255},
        {{"-f=mac"}, 255},
        {{"-f", "MAC"}, 255},
        {{"-f", " mac"}, 255},
        {{"-f", "ma"}, 255},
        {{"-f", "unknown"}, 255},
        {{"-F", "ic"}, 255},
    };
    for (const DispatchCase& c : cases) {
        std::string shown;
        for (const std::string& a : c.args) shown += "[" + a + "]";
        const RunResult result = runAgent(c.args);
        EXPECT_EQ(result.status, c.status) << shown;
        EXPECT_EQ(result.out, "") << shown;
        EXPECT_EQ(result.err, "") << shown;
    }
}

}  // namespace

namespace {

// Selecting "mac" in each of the ways the command line allows writes the output file.
TEST(MainTest, DispatchesToTheNamedFunction) {
    TempDir dir;
    const std::string out = dir.file("out");
    const std::vector<std::vector<std::string>> cases = {
        {"-f", "mac", "-o", out},
        {"-f", "mac", "-f", "ic", "-o", out},
        {"-f mac -o " + out},
        {"-f", "\"mac\"", "-o", out},
        {"\"-f mac -o " + out + "\""},
    };
    for (const auto& args : cases) {
        std::remove(out.c_str());
        const RunResult result = runAgent(args);
        EXPECT_EQ(result.status, 0) << args[0];
        EXPECT_EQ(result.out + result.err, "") << args[0];
        EXPECT_TRUE(fileExists(out)) << args[0];
    }
}

}  // namespace
