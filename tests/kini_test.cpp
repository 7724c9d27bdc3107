#include "kini.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "testsupport.h"

namespace {

struct Lookup {
    const char* section;
    const char* key;
    const char* expected;
};

struct IniCase {
    const char* name;
    std::string content;
    std::vector<Lookup> lookups;
};

TEST(KIniTest, ReadsFilesAsExpected) {
    const IniCase cases[] = {
        {"keys before any header belong to default, and [default] continues it",
         "a=1\n[default]\nb=2\n",
         {{"default", "a", "1"}, {"default", "b", "2"}}},
        {"spaces around key and value are trimmed",
         "  name  =  some value  \n",
         {{"default", "name", "some value"}}},
        {"value keeps further equals signs, may be empty; empty keys are ignored",
         "a=b=c\nx=\n=b\n   =b\n",
         {{"default", "a", "b=c"}, {"default", "x", ""}, {"default", "", ""}}},
        {"first value wins, also across repeated section blocks",
         "[s]\nk=1\nk=2\n[t]\nq=0\n[s]\nk=3\nm=3\n",
         {{"s", "k", "1"}, {"s", "m", "3"}, {"t", "q", "0"}}},
        {"section names are taken byte for byte",
         "[ s ]\na=1\n   [s]   \nb=2\n[a=b]\nc=3\n",
         {{" s ", "a", "1"}, {"s", "a", ""}, {"s", "b", "2"}, {"a=b", "c", "3"}}},
        {"malformed headers",
         "[]\n[x\n[x]=1\n",
         {{"default", "[x]", "1"}, {"x", "[x]", ""}}},
        {"case-sensitive names; tabs and quotes stay; no comments",
         "[Product]\nVersion=\t2.0\nq=\"v\"\n; note=x\n# n=y ; z\n",
         {{"Product", "Version", "\t2.0"},
          {"Product", "version", ""},
          {"product", "Version", ""},
          {"Product", "q", "\"v\""},
          {"Product", "; note", "x"},
          {"Product", "# n", "y ; z"}}},
        {"last line without a line break counts", "[s]\nk=v", {{"s", "k", "v"}}},
        {"CRLF line ends read like LF",
         "[Product]\r\nVersion=2.5.0.1\r\n[Server]\r\nICServer=http://srv:8080\r\n",
         {{"Product", "Version", "2.5.0.1"}, {"Server", "ICServer", "http://srv:8080"}}},
        {"only one carriage return is removed",
         "[s]\r\nk=v\r\r\n",
         {{"s", "k", "v\r"}}},
        {"a UTF-8 byte-order mark at the start is skipped",
         "\xEF\xBB\xBF[Product]\nDistNumber=3\n",
         {{"Product", "DistNumber", "3"}}},
        {"a byte-order mark elsewhere is kept",
         "[s]\n\xEF\xBB\xBFk=v\n",
         {{"s", "\xEF\xBB\xBFk", "v"}, {"s", "k", ""}}},
        {"NUL bytes do not end a line", std::string("[s]\nk=a\0b\nm=2\n", 15),
         {{"s", "m", "2"}}},
    };
    TempDir dir;
    for (const IniCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("test.ini");
        writeFile(path, c.content);
        const KIni ini(path);
        for (const Lookup& l : c.lookups) {
            EXPECT_EQ(ini.value(l.section, l.key), l.expected) << l.section << "/" << l.key;
        }
    }
}

TEST(KIniTest, NulByteInValueIsKept) {
    TempDir dir;
    writeFile(dir.file("a.ini"), std::string("k=a\0b\n", 6));
    EXPECT_EQ(KIni(dir.file("a.ini")).value("default", "k"), std::string("a\0b", 3));
}

TEST(KIniTest, MissingFileAndDirectoryReadEmpty) {
    TempDir dir;
    EXPECT_EQ(KIni(dir.file("missing.ini")).value("default", "k"), "");
    EXPECT_EQ(KIni(dir.path()).value("default", "k"), "");
}

TEST(KIniTest, VeryLongLineIsReadWhole) {
    TempDir dir;
    const std::string value(100000, 'v');
    writeFile(dir.file("long.ini"), "[s]\nk=" + value + "\n");
    EXPECT_EQ(KIni(dir.file("long.ini")).value("s", "k"), value);
}

// Only a regular file counts: opening a FIFO without a writer must not wait for one, and a
// device that never ends must not be read without end. Neither may the agent hang or grow.
TEST(KIniTest, FifoAndDevicesReadEmptyAtOnce) {
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo.ini").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/zero", dir.file("zero.ini").c_str()), 0);
    for (const std::string& path : {dir.file("fifo.ini"), dir.file("zero.ini"),
                                    std::string("/dev/null"), std::string("/dev/zero")}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(KIni(path).value("default", "k"), "") << path;
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                  5.0)
            << path;
    }
}

// A file is read up to 1 MiB; beyond that the rest is ignored, and a line cut by the limit is
// ignored whole rather than read as a shorter value.
TEST(KIniTest, OnlyTheFirstMebibyteIsRead) {
    const size_t limit = size_t{1} << 20;
    const std::string head = "[s]\nfirst=1\n";
    const std::string filler = "pad=" + std::string(limit - head.size() - 4 - 1 - 12, 'p') + "\n";
    const std::string before = head + filler;  // ends 12 bytes before the limit
    TempDir dir;
    // "cut=" + 20 bytes straddles the limit; "late=" lies wholly beyond it.
    writeFile(dir.file("big.ini"), before + "cut=" + std::string(20, 'c') + "\nlate=1\n");
    const KIni big(dir.file("big.ini"));
    EXPECT_EQ(big.value("s", "first"), "1");
    EXPECT_EQ(big.value("s", "cut"), "");
    EXPECT_EQ(big.value("s", "late"), "");
    // A file of exactly the limit is read whole, its last line included.
    const std::string exact = before + "end=" + std::string(7, 'e') + "\n";
    ASSERT_EQ(exact.size(), limit);
    writeFile(dir.file("exact.ini"), exact);
    EXPECT_EQ(KIni(dir.file("exact.ini")).value("s", "end"), std::string(7, 'e'));
}

}  // namespace
