#include "kutil.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "testsupport.h"

namespace {

TEST(KUtilTest, Base64MatchesRfc4648Vectors) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xff", "/w=="},
        {std::string("\0\0\0", 3), "AAAA"},
        {"\xfb\xff", "+/8="},
        {"00-11-22-33-44-55", "MDAtMTEtMjItMzMtNDQtNTU="},
    };
    for (const auto& c : cases) EXPECT_EQ(KUtil::base64Encode(c.first), c.second) << c.first;
}

TEST(KUtilTest, Base64OfLongInputHasNoLineBreakAndRoundTrips) {
    std::string data;
    for (int i = 0; i < 3000; ++i) data += static_cast<char>(i * 7);
    const std::string encoded = KUtil::base64Encode(data);
    EXPECT_EQ(encoded.size(), 4000u);
    EXPECT_EQ(encoded.find('\n'), std::string::npos);
    EXPECT_EQ(base64Decode(encoded), data);
}

TEST(KUtilTest, StringTrimRemovesSpacesOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"   ", ""},
        {"  eth0", "eth0"},
        {"\tkey ", "\tkey"},
        {"value\r", "value\r"},
        {" a b ", "a b"},
        {"x", "x"},
    };
    for (const auto& c : cases) EXPECT_EQ(KUtil::stringTrim(c.first), c.second) << c.first;
}

TEST(KUtilTest, GetAppDirIsTheTestExecutablesDirectory) {
    const std::string dir = KUtil::getAppDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.front(), '/');
    EXPECT_EQ(dir.back(), '/');
    EXPECT_TRUE(fileExists(dir + "unit-tests"));
}

TEST(KUtilTest, ToUpperCaseAndContain) {
    EXPECT_EQ(KUtil::toUpperCase("ab-9z\xe9"), "AB-9Z\xe9");
    EXPECT_TRUE(KUtil::contain("unsuccessful", "success"));
    EXPECT_FALSE(KUtil::contain("Success", "success"));
    EXPECT_TRUE(KUtil::contain("x", ""));
}

TEST(KUtilTest, StringSplitDropsEmptyPieces) {
    using Pieces = std::vector<std::string>;
    EXPECT_EQ(KUtil::stringSplit("a,,b,", ","), (Pieces{"a", "b"}));
    EXPECT_EQ(KUtil::stringSplit(",a", ","), (Pieces{"a"}));
    EXPECT_EQ(KUtil::stringSplit("abc", ","), (Pieces{"abc"}));
    EXPECT_EQ(KUtil::stringSplit("", ","), (Pieces{}));
    EXPECT_EQ(KUtil::stringSplit("a--b", "--"), (Pieces{"a", "b"}));
    EXPECT_EQ(KUtil::stringSplit("abc", ""), (Pieces{"abc"}));
}

}  // namespace

namespace {

// An executable path far beyond any fixed buffer: the test binary is copied deep down and runs
// the test above, which holds only if the whole directory came back.
TEST(KUtilTest, GetAppDirWorksForVeryLongPaths) {
    if (KUtil::getAppDir().size() > 3000) GTEST_SKIP() << "already running from the deep copy";
    TempDir temp;
    std::string deep = temp.path();
    while (deep.size() < 3100) {
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0) << deep;
    }
    const std::string copy = deep + "/unit-tests";
    writeFile(copy, readFile(KUtil::getAppDir() + "unit-tests"));
    ASSERT_EQ(chmod(copy.c_str(), 0755), 0);
    std::vector<std::string> command = agentEmulator();
    command.push_back(copy);
    command.push_back("--gtest_filter=KUtilTest.GetAppDirIsTheTestExecutablesDirectory");
    const RunResult result = runProgram(command, 120);
    EXPECT_EQ(result.status, 0) << result.out << result.err;
}

}  // namespace
