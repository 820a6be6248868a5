// The companion process with the user's settings: unlock requests answered by the user's consent,
// control passing between two phones, the headless mode, and a damaged preferences file left alone.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "network/FileTrustedDeviceStore.h"
#include "protocol/input/Stampers.h"
#include "testing/CompanionProcess.h"
#include "testing/PhoneTestClient.h"
#include "testing/Subprocess.h"
#include "testing/XKeyReader.h"
#include "testing/XTestWindow.h"
#include "testing/XvfbServer.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PhoneTestClient;
using testing_support::XTestWindow;
using TrackpadProtocol::Message;
using Status = TrackpadProtocol::UnlockResult::Status;

constexpr auto startTimeout = 30s;
constexpr auto inputTimeout = 10s;

using Folder = testing_support::TemporaryFolder;

// The companion built beside the tests.
class Companion : public testing_support::CompanionProcess {
  public:
    Companion(const std::filesystem::path& folder, const std::string& display,
              std::vector<std::string> extra = {})
        : CompanionProcess(LUMIVEX_COMPANION_PATH, folder, display, std::move(extra)) {}
};

std::optional<Status> unlock(PhoneTestClient& phone, const std::string& password) {
    std::optional<Status> result;
    phone.requestUnlock(password,
                        [&](const TrackpadProtocol::UnlockResult& answer) { result = answer.status; });
    phone.receiveUntil([&](const Message&) { return result.has_value(); }, 10);
    return result;
}

class CompanionShell : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing_support::XvfbServer::isInstalled()) {
            GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh brings it)";
        }
        server = std::make_unique<testing_support::XvfbServer>();
        window = std::make_unique<XTestWindow>(server->displayName());
    }
    void writePreferences(const std::string& text) {
        const auto file = folder.path / "config" / "dev.quelmar.trackpad.mac" / "Preferences.json";
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    std::string readPreferences() {
        std::ifstream file(folder.path / "config" / "dev.quelmar.trackpad.mac" / "Preferences.json");
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
    ::testing::AssertionResult pointerReaches(int x, int y) {
        XTestWindow::Pointer pointer;
        if (testing_support::waitUntil(
                [&] {
                    pointer = window->queryPointer();
                    return pointer.x == x && pointer.y == y;
                },
                inputTimeout)) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "the pointer stands at " << pointer.x << "," << pointer.y;
    }
    void settle(PhoneTestClient& phone) {
        phone.send(Message::Probe{++probes, false});
        ASSERT_TRUE(phone.receiveCase<Message::ProbeReply>(5));
    }

    std::uint32_t probes = 0;
    Folder folder;
    std::unique_ptr<testing_support::XvfbServer> server;
    std::unique_ptr<XTestWindow> window;
};

TEST_F(CompanionShell, UnlockIsRefusedUntilTheUserAllowsIt) {
    // A damaged preferences file gives the defaults (unlock off) and is not overwritten.
    writePreferences("{ \"allowsUnlockFromIPhone\": tr");
    auto companion = std::make_unique<Companion>(folder.path, server->displayName());
    auto phone = companion->pair(companion->waitUntilReady(), "Unlock Phone");
    EXPECT_EQ(unlock(*phone, "correct horse"), Status::notAllowed);
    EXPECT_TRUE(companion->waitForLine(
        std::regex("Last unlock: notAllowed: Unlock from iPhone is turned off"), inputTimeout))
        << companion->log();
    EXPECT_EQ(companion->log().find("correct horse"), std::string::npos) << "the password is never logged";
    EXPECT_EQ(companion->stop(SIGTERM), 0);
    EXPECT_EQ(readPreferences(), "{ \"allowsUnlockFromIPhone\": tr");

    // Allowed: the request gets through to the unlocker, which answers exactly once.
    writePreferences(R"({"allowsUnlockFromIPhone": true})");
    companion = std::make_unique<Companion>(folder.path, server->displayName(),
                                            std::vector<std::string>{"--headless"});
    PhoneTestClient returning(companion->waitUntilReady(), "Unlock Phone", phone->deviceID());
    returning.setPairing(phone->pairing());
    returning.connect();
    ASSERT_TRUE(std::holds_alternative<TrackpadProtocol::PhoneSession::Accepted>(returning.openSession()));
    const auto status = unlock(returning, "correct horse");
    ASSERT_TRUE(status);
    EXPECT_NE(*status, Status::notAllowed);
    EXPECT_FALSE(returning.receiveCase<Message::UnlockResult>(0.5)) << "one result per request";
    EXPECT_EQ(companion->stop(SIGHUP), 0);
}

TEST_F(CompanionShell, ASecondPhoneTakesControlAndTheFirstOnesLateMovesAreDropped) {
    Companion companion(folder.path, server->displayName());
    const auto endpoint = companion.waitUntilReady();
    auto a = companion.pair(endpoint, "Phone A");
    auto b = companion.pair(endpoint, "Phone B");

    const XTestWindow::Pointer start = window->queryPointer();
    a->sendDatagram(Message::Move{10, 0});
    ASSERT_TRUE(pointerReaches(start.x + 10, start.y));
    b->send(Message::Move{0, 10});
    ASSERT_TRUE(pointerReaches(start.x + 10, start.y + 10));
    // A's datagrams right after the hand-over are late input from a phone that lost control.
    a->sendDatagram(Message::Move{30, 30});
    a->sendDatagram(Message::Move{30, 30});
    settle(*a);
    b->send(Message::Move{0, 5});
    ASSERT_TRUE(pointerReaches(start.x + 10, start.y + 15));
    EXPECT_EQ(companion.stop(SIGTERM), 0);

    const auto list = folder.path / "data" / "dev.quelmar.trackpad.mac" / "TrustedDevices.json";
    const auto stored = CompanionNetwork::FileTrustedDeviceStore(list).load();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->devices.size(), 2u);
}

TEST_F(CompanionShell, TextTypedOnThePhoneArrivesInTheFocusedWindow) {
    // The reader's window takes the keyboard focus, as the window a user types into.
    testing_support::XKeyReader reader(server->displayName());
    Companion companion(folder.path, server->displayName());
    auto phone = companion.pair(companion.waitUntilReady(), "Typing Phone");
    phone->send(Message::Text{"Hello, X!"});
    ASSERT_TRUE(reader.waitForPresses(9, inputTimeout)) << reader.text() << companion.log();
    EXPECT_EQ(reader.text(), "Hello, X!");
    EXPECT_EQ(companion.stop(SIGTERM), 0);
}

TEST_F(CompanionShell, APhoneThatLeavesTakesItsTextAlongAndAnotherPhonesKeyComesAtOnce) {
    testing_support::XKeyReader reader(server->displayName());
    Companion companion(folder.path, server->displayName());
    const auto endpoint = companion.waitUntilReady();
    auto a = companion.pair(endpoint, "Phone A");
    auto b = companion.pair(endpoint, "Phone B");
    // Text the keymap lacks, slow to type: many seconds of it.
    char32_t next = U'\u4e00';
    for (int message = 0; message < 40; ++message) {
        std::string line;
        for (int i = 0; i < 80; ++i, ++next) {
            line += static_cast<char>(0xE0 | (next >> 12));
            line += static_cast<char>(0x80 | ((next >> 6) & 0x3F));
            line += static_cast<char>(0x80 | (next & 0x3F));
        }
        a->send(Message::Text{line});
    }
    settle(*a);
    ASSERT_TRUE(reader.waitForPresses(10, inputTimeout)) << companion.log();
    a->disconnect();
    settle(*b);
    b->send(Message::KeyCombination{{TrackpadProtocol::KeyCombination::Code{6}, {}}});
    ASSERT_TRUE(testing_support::waitUntil([&] { return reader.text().find('z') != std::string::npos; }, 3s))
        << "phone B's key waits behind phone A's text: " << reader.text().size() << " bytes typed";
    std::this_thread::sleep_for(300ms);
    const std::string text = reader.text();
    EXPECT_EQ(text.substr(text.find('z')), "z") << "phone A's text went on after it left";
    EXPECT_EQ(companion.stop(SIGTERM), 0);
}

TEST_F(CompanionShell, ADamagedPairedListKeepsTheListenerStoppedAndIsKept) {
    const auto list = folder.path / "data" / "dev.quelmar.trackpad.mac" / "TrustedDevices.json";
    std::filesystem::create_directories(list.parent_path());
    std::ofstream(list) << "garbage";
    Companion companion(folder.path, server->displayName(), {"--headless"});
    EXPECT_TRUE(
        companion.waitForLine(std::regex("Lumivex paired iPhones list unusable: The paired iPhones list is "
                                         "damaged and can't be read"),
                              startTimeout))
        << companion.log();
    EXPECT_TRUE(companion.waitForLine(
        std::regex("Status: Paired iPhones list is damaged. Lumivex can't start."), inputTimeout));
    EXPECT_EQ(companion.log().find("Listener ready"), std::string::npos);
    EXPECT_EQ(companion.stop(SIGINT), 0);
    std::ifstream file(list);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "garbage");
}

}  // namespace
