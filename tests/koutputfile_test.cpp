// The result file written through the real file system: modes, links, FIFOs, devices, a
// directory that refuses new names, and readers polling while the file is replaced.
#include "koutputfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "testsupport.h"

namespace {

mode_t modeOf(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

std::vector<std::string> entries(const std::string& directory) {
    std::vector<std::string> names;
    DIR* handle = opendir(directory.c_str());
    if (handle == nullptr) return names;
    while (const dirent* entry = readdir(handle)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(handle);
    return names;
}

TEST(KOutputFileTest, NewFileGetsTheUmaskModeAndAnExistingOneKeepsItsMode) {
    TempDir dir;
    const mode_t saved = umask(027);
    EXPECT_TRUE(KOutputFile::replace(dir.file("new"), "abc"));
    umask(saved);
    EXPECT_EQ(readFile(dir.file("new")), "abc");
    EXPECT_EQ(modeOf(dir.file("new")), 0640u);

    writeFile(dir.file("old"), "old content that is longer");
    ASSERT_EQ(chmod(dir.file("old").c_str(), 0604), 0);
    EXPECT_TRUE(KOutputFile::replace(dir.file("old"), ""));
    EXPECT_EQ(readFile(dir.file("old")), "");
    EXPECT_TRUE(fileExists(dir.file("old")));
    EXPECT_EQ(modeOf(dir.file("old")), 0604u);
    // No temporary file is left behind.
    EXPECT_EQ(entries(dir.path()).size(), 2u);
}

TEST(KOutputFileTest, LinksAreFollowedToTheFileTheyName) {
    TempDir dir;
    mkdir(dir.file("real").c_str(), 0755);
    writeFile(dir.file("real/target"), "old");
    ASSERT_EQ(symlink("real/target", dir.file("relative").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("relative").c_str(), dir.file("chain").c_str()), 0);
    ASSERT_EQ(symlink("real/created", dir.file("dangling").c_str()), 0);
    EXPECT_TRUE(KOutputFile::replace(dir.file("chain"), "via chain"));
    EXPECT_TRUE(KOutputFile::replace(dir.file("dangling"), "made"));
    EXPECT_EQ(readFile(dir.file("real/target")), "via chain");
    EXPECT_EQ(readFile(dir.file("real/created")), "made");
    struct stat info {};
    ASSERT_EQ(lstat(dir.file("chain").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    ASSERT_EQ(lstat(dir.file("dangling").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(entries(dir.file("real")).size(), 2u);
}

// A reader polling the file while it is replaced sees the old text or the new, never less.
TEST(KOutputFileTest, PollingReaderNeverSeesAnEmptyOrPartialFile) {
    TempDir dir;
    const std::string path = dir.file("mac.txt");
    const std::string first(24, 'A'), second(24, 'B');
    ASSERT_TRUE(KOutputFile::replace(path, first));
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, bad{0};
    std::thread reader([&] {
        while (!done) {
            const std::string seen = readFile(path);
            if (seen != first && seen != second) ++bad;
            ++reads;
        }
    });
    for (int i = 0; i < 500; ++i) ASSERT_TRUE(KOutputFile::replace(path, i % 2 ? first : second));
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(bad.load(), 0) << "of " << reads.load() << " reads";
}

TEST(KOutputFileTest, FifoWithoutReaderFailsAtOnceAndWithAReaderIsWritten) {
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(KOutputFile::replace(fifo, "nobody reads"));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);

    const int readEnd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_NE(readEnd, -1);
    EXPECT_TRUE(KOutputFile::replace(fifo, "to the reader"));
    char buffer[64] = {};
    EXPECT_EQ(read(readEnd, buffer, sizeof buffer), 13);
    EXPECT_EQ(std::string(buffer), "to the reader");
    close(readEnd);
    struct stat info {};
    ASSERT_EQ(lstat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST(KOutputFileTest, DevicesAreWrittenInPlace) {
    EXPECT_TRUE(KOutputFile::replace("/dev/null", "x"));
    EXPECT_FALSE(KOutputFile::replace("/dev/full", "x"));
    EXPECT_FALSE(KOutputFile::replace("", "x"));
}

// A directory that refuses new names still lets its writable file be written, in place. Root may
// create anywhere, so the writer runs as another user in a child process.
TEST(KOutputFileTest, DirectoryThatRefusesTheTemporaryFileIsWrittenInPlaceAndReadOnlyStays) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to write as another user";
    TempDir dir;
    const std::string locked = dir.file("locked");
    ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
    const std::string path = locked + "/mac.txt";
    writeFile(path, "old content");
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    writeFile(dir.file("read-only"), "kept");
    ASSERT_EQ(chmod(dir.file("read-only").c_str(), 0444), 0);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        // The read-only file in a writable directory stays protected as well.
        const bool ok = setgid(65534) == 0 && setuid(65534) == 0 &&
                        KOutputFile::replace(path, "new") &&
                        !KOutputFile::replace(locked + "/other.txt", "refused") &&
                        !KOutputFile::replace(dir.file("read-only"), "refused");
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(readFile(path), "new");
    EXPECT_EQ(entries(locked).size(), 1u);
    EXPECT_EQ(readFile(dir.file("read-only")), "kept");
    EXPECT_EQ(entries(dir.path()).size(), 2u);
}

}  // namespace
