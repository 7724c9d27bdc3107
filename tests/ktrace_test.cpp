#include "ktrace.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "testsupport.h"

namespace {

// Sends the trace and the dry-run requests into two files, and silences the trace again after.
class KTraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_trace = fileDescriptor("trace");
        m_requests = fileDescriptor("requests");
    }
    void TearDown() override {
        KTrace::init(nullptr);
        ::close(m_trace);
        ::close(m_requests);
    }
    void start(const char* setting) { KTrace::init(setting, m_trace, m_requests); }
    std::string trace() const { return readFile(m_dir.file("trace")); }
    std::string requests() const { return readFile(m_dir.file("requests")); }

private:
    int fileDescriptor(const std::string& name) {
        writeFile(m_dir.file(name), "");
        return ::open(m_dir.file(name).c_str(), O_WRONLY | O_APPEND);
    }

    TempDir m_dir;
    int m_trace = -1;
    int m_requests = -1;
};

TEST_F(KTraceTest, SettingChoosesTheMode) {
    struct Case {
        const char* setting;
        bool enabled;
        bool dryRun;
    };
    const Case cases[] = {
        {nullptr, false, false}, {"", false, false},      {"1", true, false},
        {"0", true, false},      {"yes", true, false},    {"dry-run", true, true},
        {"DRY-RUN", true, false}, {"dry-run ", true, false},
    };
    for (const Case& c : cases) {
        start(c.setting);
        EXPECT_EQ(KTrace::enabled(), c.enabled) << (c.setting ? c.setting : "(unset)");
        EXPECT_EQ(KTrace::dryRun(), c.dryRun) << (c.setting ? c.setting : "(unset)");
    }
}

TEST_F(KTraceTest, EventsAreLinesWithTheTimeWhenOnAndNothingWhenOff) {
    start(nullptr);
    KTrace::event("silent %d", 1);
    KTrace::request("GET / HTTP/1.1\r\n\r\n");
    start("1");
    KTrace::event("first %s", "event");
    KTrace::event("second %d", 2);
    KTrace::request("not in a traced run either");
    EXPECT_EQ(requests(), "");
    const std::string lines = trace();
    EXPECT_EQ(lines.find("silent"), std::string::npos);
    const size_t first = lines.find(" ms first event\n");
    const size_t second = lines.find(" ms second 2\n");
    ASSERT_NE(first, std::string::npos) << lines;
    ASSERT_NE(second, std::string::npos) << lines;
    EXPECT_LT(first, second);
}

TEST_F(KTraceTest, DryRunWritesRequestBytesAsTheyAre) {
    start("dry-run");
    const std::string bytes("POST /a HTTP/1.1\r\nhost:x\r\n\r\n\0\xff", 30);
    KTrace::request(bytes);
    EXPECT_EQ(requests(), bytes);
}

TEST_F(KTraceTest, OverlongEventIsCutButKeepsItsLineBreak) {
    start("1");
    KTrace::event("%s", std::string(10000, 'a').c_str());
    const std::string lines = trace();
    EXPECT_LT(lines.size(), 5000u);
    EXPECT_EQ(lines.back(), '\n');
    EXPECT_EQ(lines.find('\n'), lines.size() - 1);
}

TEST(KTraceTextTest, PrintableEscapesAndCuts) {
    EXPECT_EQ(KTrace::printable("success", 200), "success");
    EXPECT_EQ(KTrace::printable(std::string("a\r\n\t\0\\\x7f\xc3", 8), 200),
              "a\\r\\n\\x09\\x00\\\\\\x7f\\xc3");
    EXPECT_EQ(KTrace::printable("abcdef", 3), "abc...");
}

TEST(KTraceTextTest, RedactedShowsLengthAndFirstFourCharacters) {
    EXPECT_EQ(KTrace::redacted("SECRETCODE-1234"), "15 characters, starting \"SECR\"");
    EXPECT_EQ(KTrace::redacted(""), "0 characters, starting \"\"");
}

}  // namespace
