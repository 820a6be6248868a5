#include <gtest/gtest.h>

#include "network/HostName.h"
#include "network/InputOwnership.h"
#include "network/WakeAddresses.h"
#include "network/tests/TestSupport.h"

namespace CompanionNetwork {
namespace {

namespace fs = std::filesystem;
using tests::TemporaryFolder;
using tests::writeText;

TEST(HostName, PrettyHostNameFromMachineInfo) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"PRETTY_HOSTNAME=Studio\n", "Studio"},
        {"CHASSIS=desktop\nPRETTY_HOSTNAME=\"Ana's Desk \\\"2\\\"\"\nLOCATION=home", "Ana's Desk \"2\""},
        {"PRETTY_HOSTNAME='single quoted $x'", "single quoted $x"},
        {"# PRETTY_HOSTNAME=commented\n  PRETTY_HOSTNAME=Indented", "Indented"},
        {"PRETTY_HOSTNAME=first\nPRETTY_HOSTNAME=second", "second"},
        {"ICON_NAME=computer\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(HostName::prettyHostName(text), expected) << text;
}

TEST(HostName, TrimsUnicodeWhiteSpaceAndNewlines) {
    EXPECT_EQ(HostName::trimmed("  Studio \n"), "Studio");
    EXPECT_EQ(HostName::trimmed("\xC2\xA0\xE3\x80\x80Mac mini\xE2\x80\xA8\t"), "Mac mini");
    EXPECT_EQ(HostName::trimmed("a \xC2\xA0 b"), "a \xC2\xA0 b") << "inner spaces stay";
    EXPECT_EQ(HostName::trimmed(" \n\t "), "");
    EXPECT_EQ(HostName::trimmed("\xFF name \xFF"), "\xFF name \xFF") << "stray bytes are not white space";
}

TEST(HostName, FallsBackToTheKernelHostName) {
    TemporaryFolder folder;
    char kernel[256] = {};
    ::gethostname(kernel, sizeof kernel - 1);

    writeText(folder / "machine-info", "PRETTY_HOSTNAME=\"  Lumen Studio\t \"\n");
    EXPECT_EQ(HostName::current(folder / "machine-info"), "Lumen Studio");
    writeText(folder / "blank", "PRETTY_HOSTNAME=\"   \"\n");
    EXPECT_EQ(HostName::current(folder / "blank"), HostName::trimmed(kernel));
    EXPECT_EQ(HostName::current(folder / "missing"), HostName::trimmed(kernel));
}

void makeInterface(const fs::path& root, const std::string& name, const std::string& type,
                   const std::string& address, bool device, bool wireless) {
    fs::create_directories(root / name);
    writeText(root / name / "type", type + "\n");
    writeText(root / name / "address", address + "\n");
    if (device)
        fs::create_directory(root / name / "device");
    if (wireless)
        fs::create_directory(root / name / "wireless");
}

TEST(WakeAddresses, RealEthernetCardsWiredFirstAtMostThree) {
    TemporaryFolder root;
    makeInterface(root.path(), "lo", "772", "00:00:00:00:00:00", false, false);
    makeInterface(root.path(), "wlp2s0", "1", "AA:BB:CC:00:00:01", true, true);
    makeInterface(root.path(), "enp3s0", "1", "10:20:30:40:50:6A", true, false);
    makeInterface(root.path(), "eno1", "1", "10:20:30:40:50:60", true, false);
    makeInterface(root.path(), "docker0", "1", "02:42:ac:11:00:02", false, false);
    makeInterface(root.path(), "tun0", "65534", "", true, false);
    makeInterface(root.path(), "enx0", "1", "00:00:00:00:00:00", true, false);
    makeInterface(root.path(), "wlan1", "1", "aa:bb:cc:00:00:02", true, true);

    EXPECT_EQ(WakeAddresses::current(root.path()),
              (std::vector<std::string>{"10:20:30:40:50:60", "10:20:30:40:50:6a", "aa:bb:cc:00:00:02"}));

    fs::remove_all(root / "eno1");
    fs::remove_all(root / "enp3s0");
    EXPECT_EQ(WakeAddresses::current(root.path()),
              (std::vector<std::string>{"aa:bb:cc:00:00:02", "aa:bb:cc:00:00:01"}));
    EXPECT_TRUE(WakeAddresses::current(root / "absent").empty());
}

TEST(WakeAddresses, Normalized) {
    EXPECT_EQ(WakeAddresses::normalized("3C:22:FB:01:02:0A"), "3c:22:fb:01:02:0a");
    for (const char* bad :
         {"", "3c:22:fb:01:02", "3c-22-fb-01-02-0a", "3c:22:fb:01:02:0g", "3c:22:fb:01:02:0a:"})
        EXPECT_EQ(WakeAddresses::normalized(bad), "") << bad;
}

TEST(InputOwnership, TakeControlAndDecision) {
    UUID a = UUID::random(), b = UUID::random();
    InputOwnership ownership;
    EXPECT_EQ(ownership.decision(a), InputOwnership::Decision::drop) << "nobody controls the pointer yet";
    EXPECT_TRUE(ownership.takeControl(a));
    EXPECT_FALSE(ownership.takeControl(a));
    EXPECT_EQ(ownership.controller, a);
    EXPECT_EQ(ownership.decision(a), InputOwnership::Decision::deliver);
    EXPECT_EQ(ownership.decision(b), InputOwnership::Decision::drop);
    EXPECT_TRUE(ownership.takeControl(b));
    EXPECT_EQ(ownership.decision(a), InputOwnership::Decision::drop);
}

}  // namespace
}  // namespace CompanionNetwork
