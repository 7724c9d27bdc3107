// Adapter discovery against the real kernel: every case builds its own adapters in fresh network
// and mount namespaces (see netnssandbox.h), in a child process of its own, so the process-wide
// list of virtual names starts empty each time. This process never asks about adapters itself.
#include "khardwareinfo.h"

#include <gtest/gtest.h>
#include <net/if_arp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "netnssandbox.h"
#include "testsupport.h"

namespace {

using Command = std::vector<std::string>;

Command vethPair(const std::string& name, const std::string& address, const std::string& peer,
                 const std::string& peerAddress) {
    return {"ip",   "link", "add",  "name", name, "address", address,
            "type", "veth", "peer", "name", peer, "address", peerAddress};
}
Command setAddress(const std::string& name, const std::string& address) {
    return {"ip", "link", "set", name, "address", address};
}
Command setUp(const std::string& name) { return {"ip", "link", "set", name, "up"}; }
Command tuntap(const std::string& name, const std::string& mode) {
    return {"ip", "tuntap", "add", "dev", name, "mode", mode};
}

std::string macInSandbox(const NetworkSetup& setup, SandboxOutcome& outcome) {
    outcome = runInNetworkSandbox(setup, [](const std::string&) { return KHardwareInfo::mac(); });
    return outcome.text;
}

bool isAddressText(const std::string& text) {
    static const std::regex pattern("[0-9A-F]{2}(-[0-9A-F]{2}){5}");
    return std::regex_match(text, pattern);
}

struct MacCase {
    const char* what;
    NetworkSetup setup;
    std::string expected;
};

TEST(KHardwareInfoTest, ChoosesTheSmallestAddressOfQualifyingAdapters) {
    const MacCase cases[] = {
        {"smaller address on the peer, which the kernel lists first",
         {{}, {vethPair("va", "02:00:00:00:00:20", "vb", "02:00:00:00:00:10")}, {"lo"}},
         "02-00-00-00-00-10"},
        {"smaller address on the device listed last",
         {{}, {vethPair("va", "02:00:00:00:00:10", "vb", "02:00:00:00:00:20")}, {"lo"}},
         "02-00-00-00-00-10"},
        {"hex digits come out upper case, and digits sort before letters",
         {{},
          {vethPair("va", "be:ef:00:00:00:01", "vb", "0a:bc:de:f0:12:34"), tuntap("t0", "tap"),
           setAddress("t0", "0a:bc:de:f0:12:3e")},
          {"lo"}},
         "0A-BC-DE-F0-12-34"},
        {"an adapter that is down still counts",
         {{},
          {vethPair("va", "02:00:00:00:00:01", "vb", "02:00:00:00:00:02"), setUp("vb")},
          {"lo"}},
         "02-00-00-00-00-01"},
        {"a name in the virtual directory never counts, though it is Ethernet",
         {{}, {vethPair("va", "02:00:00:00:00:01", "vb", "02:00:00:00:00:02")}, {"lo", "va"}},
         "02-00-00-00-00-02"},
        {"an empty virtual directory lets every Ethernet adapter count",
         {{}, {vethPair("va", "02:00:00:00:00:01", "vb", "02:00:00:00:00:02")}, {}},
         "02-00-00-00-00-01"},
        {"loopback never counts, though up and absent from the virtual directory",
         {{}, {setUp("lo"), vethPair("va", "02:00:00:00:00:01", "vb", "02:00:00:00:00:02")}, {}},
         "02-00-00-00-00-01"},
        {"only loopback gives the empty result", {{}, {setUp("lo")}, {}}, ""},
        {"a tun device has no Ethernet type and never counts",
         {{},
          {tuntap("t0", "tun"), tuntap("t1", "tap"), setAddress("t1", "02:00:00:00:00:30")},
          {"lo"}},
         "02-00-00-00-00-30"},
        {"only a tun device gives the empty result", {{}, {tuntap("t0", "tun")}, {"lo"}}, ""},
        {"an all-zero Ethernet address counts and wins",
         {{{"z0", false, ARPHRD_ETHER}},
          {vethPair("va", "02:00:00:00:00:10", "vb", "02:00:00:00:00:20")},
          {"lo"}},
         "00-00-00-00-00-00"},
        {"an IEEE 802 adapter counts",
         {{{"t6", true, ARPHRD_IEEE802}},
          {setAddress("t6", "02:00:00:00:00:05"),
           vethPair("va", "02:00:00:00:00:10", "vb", "02:00:00:00:00:20")},
          {"lo"}},
         "02-00-00-00-00-05"},
        {"other hardware types never count, whatever their address",
         {{{"tf", true, ARPHRD_FDDI}},
          {setAddress("tf", "02:00:00:00:00:05"),
           vethPair("va", "02:00:00:00:00:10", "vb", "02:00:00:00:00:20")},
          {"lo"}},
         "02-00-00-00-00-10"},
        {"a virtual directory that cannot be opened gives the empty result",
         {{}, {vethPair("va", "02:00:00:00:00:10", "vb", "02:00:00:00:00:20")}, {}, false},
         ""},
    };
    for (const MacCase& c : cases) {
        SCOPED_TRACE(c.what);
        SandboxOutcome outcome;
        const std::string result = macInSandbox(c.setup, outcome);
        ASSERT_SANDBOX_DONE(outcome);
        EXPECT_EQ(result, c.expected);
    }
}

TEST(KHardwareInfoTest, VirtualNamesAreReadOnceAndKeptForTheProcess) {
    NetworkSetup setup;
    setup.commands = {vethPair("va", "02:00:00:00:00:10", "vb", "02:00:00:00:00:20")};
    setup.virtualNames = {"lo", "va"};
    const SandboxOutcome outcome = runInNetworkSandbox(setup, [](const std::string& virtualDir) {
        std::string answers;
        for (const char* name : {"va", "lo", "vb", "VA", "v", "va ", ""}) {
            answers += KHardwareInfo::isPhysicalAdapter(name) ? '1' : '0';
        }
        const std::string first = KHardwareInfo::mac();
        rmdir((virtualDir + "/va").c_str());
        return answers + " " + first + " " + KHardwareInfo::mac();
    });
    ASSERT_SANDBOX_DONE(outcome);
    // Whole names only, case-sensitive; va stays virtual after its entry is gone.
    EXPECT_EQ(outcome.text, "0011111 02-00-00-00-00-20 02-00-00-00-00-20");
}

TEST(KHardwareInfoTest, UnreadableOrEmptyVirtualDirectoryIsReadAgainOnTheNextCall) {
    NetworkSetup setup;
    setup.commands = {vethPair("va", "02:00:00:00:00:10", "vb", "02:00:00:00:00:20")};
    setup.virtualDirectoryExists = false;
    SandboxOutcome outcome = runInNetworkSandbox(setup, [](const std::string& virtualParent) {
        const std::string net = virtualParent + "/net";
        const std::string missing = KHardwareInfo::mac();
        mkdir(net.c_str(), 0755);
        const std::string empty = KHardwareInfo::mac();
        mkdir((net + "/va").c_str(), 0755);
        const std::string listed = KHardwareInfo::mac();
        rmdir((net + "/va").c_str());
        return "[" + missing + "] [" + empty + "] [" + listed + "] [" + KHardwareInfo::mac() + "]";
    });
    ASSERT_SANDBOX_DONE(outcome);
    EXPECT_EQ(outcome.text, "[] [02-00-00-00-00-10] [02-00-00-00-00-20] [02-00-00-00-00-20]");
}

TEST(KHardwareInfoTest, HdidIsTheMd5OfTheAddressText) {
    const auto hdid = [](const std::string&) { return KHardwareInfo::hdid(); };
    NetworkSetup withAdapters;
    withAdapters.commands = {vethPair("va", "02:00:00:00:00:10", "vb", "02:00:00:00:00:20")};
    withAdapters.virtualNames = {"lo"};
    SandboxOutcome outcome = runInNetworkSandbox(withAdapters, hdid);
    ASSERT_SANDBOX_DONE(outcome);
    EXPECT_EQ(outcome.text, "2a934cf6fa11d4bee44b71b73398675a");  // md5 of "02-00-00-00-00-10"

    outcome = runInNetworkSandbox(NetworkSetup{}, hdid);
    ASSERT_SANDBOX_DONE(outcome);
    EXPECT_EQ(outcome.text, "d41d8cd98f00b204e9800998ecf8427e");  // md5 of ""
}

TEST(KHardwareInfoTest, GivenTableDecidesWhichAdaptersAreAskedAndOverlongNamesAreSkipped) {
    // The 16-byte name cut to 15 bytes would be the first adapter's name.
    const std::string name15 = "vaaaaaaaaaaaaaa";
    const std::string name16 = name15 + "a";
    const std::string header =
        "Inter-|   Receive                            |  Transmit\n"
        " face |bytes    packets errs drop fifo frame|bytes    packets errs\n";
    TempDir files;
    mkdir(files.file("virtual").c_str(), 0755);
    writeFile(files.file("long"), header + name16 + ": 0 0 0\n    vb: 0 0 0\n");
    writeFile(files.file("exact"), header + name15 + ":0 0 0\n");
    NetworkSetup setup;
    setup.commands = {vethPair(name15, "02:00:00:00:00:10", "vb", "02:00:00:00:00:20")};
    const SandboxOutcome outcome = runInNetworkSandbox(setup, [&](const std::string&) {
        const std::string virtualDir = files.file("virtual");
        return KHardwareInfo::mac(files.file("long"), virtualDir) + " " +
               KHardwareInfo::mac(files.file("exact"), virtualDir);
    });
    ASSERT_SANDBOX_DONE(outcome);
    EXPECT_EQ(outcome.text, "02-00-00-00-00-20 02-00-00-00-00-10");
}

struct NamesCase {
    const char* what;
    std::string table;
    std::vector<std::string> names;
};

TEST(KHardwareInfoTest, ReadsAdapterNamesFromTheDeviceTable) {
    const NamesCase cases[] = {
        {"the kernel's layout: two header lines, names padded on the left",
         "Inter-|   Receive                 |  Transmit\n"
         " face |bytes    packets errs drop|bytes    packets errs drop\n"
         "    lo:    3267      29    0    0     3267      29    0    0\n"
         "  eth0: 117925328    2569    0    0   100146    1339    0    0\n",
         {"lo", "eth0"}},
        {"no space after the colon", "abcdefghijklmno:123 4\nx:0\n", {"abcdefghijklmno", "x"}},
        {"the first colon ends the name", "  a:b: 1\n", {"a"}},
        {"a last line without a line break", "  eth0: 1\n  eth1: 2", {"eth0", "eth1"}},
        {"lines without a colon are dropped", "\nno colon\n\n  eth0: 1\n\n", {"eth0"}},
        {"an empty name is kept", "   : 1\n", {""}},
        {"lines longer than any read buffer",
         std::string(300, ' ') + "eth0:" + std::string(1000, '1') + "\n  eth1: 2\n",
         {"eth0", "eth1"}},
        {"an empty table", "", {}},
    };
    TempDir dir;
    for (const NamesCase& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(dir.file("dev"), c.table);
        EXPECT_EQ(KHardwareInfo::adapterNames(dir.file("dev")), c.names);
    }
}

TEST(KHardwareInfoTest, MissingTableGivesNoNamesAndNoAddress) {
    TempDir dir;
    EXPECT_TRUE(KHardwareInfo::adapterNames(dir.file("missing")).empty());
    EXPECT_EQ(KHardwareInfo::mac(dir.file("missing"), dir.path()), "");
}

// "Could not look" and "looked and found none" are told apart; the address is written only when
// the adapters were looked at.
TEST(KHardwareInfoTest, FindMacFailsOnlyWhenItCouldNotLook) {
    TempDir dir;
    writeFile(dir.file("empty-table"), "Inter-|\n face |\n");
    mkdir(dir.file("virtual").c_str(), 0755);
    writeFile(dir.file("not-a-directory"), "");
    struct Case {
        std::string table, virtualDirectory;
        bool looked;
    };
    const Case cases[] = {
        {dir.file("empty-table"), dir.file("virtual"), true},
        {dir.file("missing"), dir.file("virtual"), false},
        {dir.file("empty-table"), dir.file("missing"), false},
        {dir.file("empty-table"), dir.file("not-a-directory"), false},
    };
    for (const Case& c : cases) {
        std::string address = "untouched";
        EXPECT_EQ(KHardwareInfo::findMac(c.table, c.virtualDirectory, address), c.looked)
            << c.table << " " << c.virtualDirectory;
        EXPECT_EQ(address, c.looked ? "" : "untouched");
    }
}

TEST(KHardwareInfoTest, HostResultIsEmptyOrOneAddressText) {
    const std::vector<std::string> names = KHardwareInfo::adapterNames("/proc/net/dev");
    EXPECT_NE(std::find(names.begin(), names.end(), "lo"), names.end());
    const std::string address = KHardwareInfo::mac();
    EXPECT_TRUE(address.empty() || isAddressText(address)) << address;
}

}  // namespace
