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
#include <variant>
#include <vector>

#include "TrackpadProtocol/Stampers.h"
#include "app/tests/e2e/QtChildSanitizer.h"
#include "network/FileTrustedDeviceStore.h"
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

struct Folder {
    Folder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "lumivex-shell-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path = pattern;
    }
    ~Folder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::filesystem::path path;
};

int nextRun() {
    static int runs = 0;
    return ++runs;
}

class Companion {
  public:
    Companion(const std::filesystem::path& folder, const std::string& display,
              std::vector<std::string> extra = {})
        : log_(folder / ("companion-" + std::to_string(nextRun()) + ".log")) {
        std::vector<std::string> argv{LUMIVEX_COMPANION_PATH, "--log-to-stderr"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        process_ = std::make_unique<testing_support::Subprocess>(
            argv,
            testing_support::EnvironmentChanges{
                {"DISPLAY", display},
                {"XDG_DATA_HOME", (folder / "data").string()},
                {"XDG_CONFIG_HOME", (folder / "config").string()},
                {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (folder / "none").string()},
                {"LUMIVEX_LOG", "info"},
                {"ASAN_OPTIONS", companionSanitizerOptions()}},
            log_);
    }
    std::string log() const {
        std::ifstream file(log_);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    std::optional<std::smatch> waitForLine(const std::regex& pattern, std::chrono::milliseconds timeout) {
        std::optional<std::smatch> found;
        testing_support::waitUntil(
            [&] {
                text_ = log();
                std::smatch match;
                if (std::regex_search(text_, match, pattern)) {
                    found = match;
                    return true;
                }
                return !process_->running();
            },
            timeout);
        return found;
    }
    PhoneTestClient::Endpoint waitUntilReady() {
        const auto ready =
            waitForLine(std::regex(R"(Listener ready as "[^"]*" on TCP (\d+) and UDP (\d+))"), startTimeout);
        if (!ready) {
            throw std::runtime_error("the companion did not become ready; its log:\n" + log());
        }
        return {"127.0.0.1", static_cast<std::uint16_t>(std::stoi((*ready)[1].str())),
                static_cast<std::uint16_t>(std::stoi((*ready)[2].str()))};
    }
    int stop(int signal) {
        ::kill(process_->pid(), signal);
        testing_support::waitUntil([&] { return !process_->running(); }, startTimeout);
        return process_->stop();
    }
    std::unique_ptr<PhoneTestClient> pair(const PhoneTestClient::Endpoint& endpoint,
                                          const std::string& name) {
        auto phone = std::make_unique<PhoneTestClient>(endpoint, name);
        phone->connect();
        if (!std::holds_alternative<TrackpadProtocol::PhonePairing::CodeNeeded>(phone->requestPairing())) {
            throw std::runtime_error("pairing was refused");
        }
        const auto code =
            waitForLine(std::regex("Pairing code for \"" + name + "\": (\\d{3}) (\\d{3})"), inputTimeout);
        if (!code) {
            throw std::runtime_error("no pairing code was logged; the log:\n" + log());
        }
        if (!std::holds_alternative<TrackpadProtocol::PhonePairing::Succeeded>(
                phone->enterCode((*code)[1].str() + (*code)[2].str())) ||
            !std::holds_alternative<TrackpadProtocol::PhoneSession::Accepted>(phone->openSession())) {
            throw std::runtime_error("pairing or the session failed");
        }
        phone->connectDatagrams();
        return phone;
    }

  private:
    std::filesystem::path log_;
    std::string text_;
    std::unique_ptr<testing_support::Subprocess> process_;
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
