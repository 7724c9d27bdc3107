#include "kcommandline.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "testsupport.h"

namespace {

using Values = std::vector<std::string>;
using Options = std::map<std::string, Values>;

struct ParseCase {
    Values args;
    Options options;
    Values defaults;
};

TEST(KCommandLineTest, ParsesCommandLines) {
    const ParseCase cases[] = {
        {{}, {}, {}},
        {{"x", "-a", "1", "2", "-b"}, {{"a", {"1", "2"}}, {"b", {}}}, {"x"}},
        {{"-f", "mac", "-f", "ic"}, {{"f", {"mac"}}}, {}},
        {{"-f", "mac", "-o", "a", "-f", "ic", "x"}, {{"f", {"mac"}}, {"o", {"a"}}}, {}},
        {{"-a", "1", "-", "2"}, {{"a", {"1"}}}, {"2"}},
        {{"--long", "v"}, {{"-long", {"v"}}}, {}},
        {{"-f=ic"}, {{"f=ic", {}}}, {}},
        {{"-n", "-5"}, {{"n", {}}, {"5", {}}}, {}},
        {{"-u", "", "-f", "ic"}, {{"u", {""}}, {"f", {"ic"}}}, {}},
        {{"-F", "mac"}, {{"F", {"mac"}}}, {}},
        {{"-abc"}, {{"abc", {}}}, {}},
        {{"-"}, {}, {}},
        {{"-", "a"}, {}, {"a"}},
        // One argument is split at blanks and tabs, with double quotes grouping.
        {{"-f mac -o /tmp/out"}, {{"f", {"mac"}}, {"o", {"/tmp/out"}}}, {}},
        {{"-f\tmac\t\t-o  x "}, {{"f", {"mac"}}, {"o", {"x"}}}, {}},
        {{"-o \"/tmp/my file\""}, {{"o", {"/tmp/my file"}}}, {}},
        {{"-u \"\""}, {{"u", {""}}}, {}},
        {{"a\"b c\"d"}, {}, {"a", "b c", "d"}},
        {{"-o \"/tmp/x y"}, {{"o", {"/tmp/x y"}}}, {}},
        {{"\"-f mac\""}, {{"f", {"mac"}}}, {}},
        {{"\"a\" \"b\""}, {}, {"a", " ", "b"}},
        {{"\""}, {}, {}},
        {{" \t "}, {}, {}},
        {{"-f 'mac' a\\b"}, {{"f", {"'mac'", "a\\b"}}}, {}},
        // With two or more arguments nothing is split.
        {{"-o", "/tmp/my file"}, {{"o", {"/tmp/my file"}}}, {}},
        {{"-o", "/tmp/my file", "x"}, {{"o", {"/tmp/my file", "x"}}}, {}},
        {{"\"x\"", "-f", "\"mac\""}, {{"f", {"mac"}}}, {"x"}},
        {{"-f", "\"\""}, {{"f", {""}}}, {}},
        {{"-f", "a\"b\"", "\"c"}, {{"f", {"a\"b\"", "\"c"}}}, {}},
    };
    for (const ParseCase& c : cases) {
        std::string shown;
        for (const std::string& a : c.args) shown += "[" + a + "]";
        SCOPED_TRACE(shown);
        Argv argv(c.args);
        const KCommandLine commandLine(argv.argc(), argv.argv());
        for (const auto& option : c.options) {
            EXPECT_TRUE(commandLine.hasOption(option.first)) << option.first;
            EXPECT_EQ(commandLine.getOptionValues(option.first), option.second) << option.first;
        }
        EXPECT_EQ(commandLine.getDefaultValues(), c.defaults);
        for (const char* absent : {"f", "o", "u", "a", "long", "-", ""}) {
            if (c.options.count(absent) != 0) continue;
            EXPECT_FALSE(commandLine.hasOption(absent)) << absent;
            EXPECT_TRUE(commandLine.getOptionValues(absent).empty()) << absent;
        }
    }
}

TEST(KCommandLineTest, StripsEnclosingQuotesOfArgvInPlace) {
    Argv argv({"\"x\"", "\"\"", "\"", "a\"b\"", "\"a\" \"b\""});
    char** raw = argv.argv();
    const KCommandLine commandLine(argv.argc(), raw);
    EXPECT_STREQ(raw[1], "x");
    EXPECT_STREQ(raw[2], "");
    EXPECT_STREQ(raw[3], "\"");
    EXPECT_STREQ(raw[4], "a\"b\"");
    EXPECT_STREQ(raw[5], "a\" \"b");
}

TEST(KCommandLineTest, ToleratesNullArgv) {
    const KCommandLine commandLine(3, nullptr);
    EXPECT_TRUE(commandLine.getDefaultValues().empty());
    EXPECT_FALSE(commandLine.hasOption("f"));
}

TEST(KCommandLineTest, ParseArgsSplitsOneString) {
    std::string text = "-o \"\" x\"y z\"";
    EXPECT_EQ(KCommandLine::parseArgs(&text[0]), (Values{"-o", "", "x", "y z"}));
}

}  // namespace
