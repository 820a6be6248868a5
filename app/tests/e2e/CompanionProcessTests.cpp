// The companion process itself, as a user runs it: started on a private X server with a fresh data
// folder, paired by a phone test client with the code it logs, driven over DTLS and TLS, stopped by a
// signal, and started again to find its paired phone.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
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

#include "network/FileTrustedDeviceStore.h"
#include "protocol/input/Stampers.h"
#include "testing/CompanionProcess.h"
#include "testing/PhoneTestClient.h"
#include "testing/Subprocess.h"
#include "testing/XTestWindow.h"
#include "testing/XvfbServer.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PhoneTestClient;
using testing_support::XTestWindow;
using TrackpadProtocol::Message;
using Kind = XTestWindow::Event::Kind;

// Generous: the sanitizer build starts and runs the process several times slower.
constexpr auto inputTimeout = 10s;

using testing_support::TemporaryFolder;

// One run of lumivex-companion with its log lines (stderr) going to a file of their own.
class CompanionRun : public testing_support::CompanionProcess {
  public:
    CompanionRun(const std::filesystem::path& folder, const std::string& display)
        : CompanionProcess(LUMIVEX_COMPANION_PATH, folder, display) {}
};

// Collects the window's events until `wanted` holds for them (or the time is up); returns them all.
std::vector<XTestWindow::Event> eventsUntil(
    XTestWindow& window, const std::function<bool(const std::vector<XTestWindow::Event>&)>& wanted) {
    std::vector<XTestWindow::Event> events;
    testing_support::waitUntil(
        [&] {
            const auto more = window.takeEvents();
            events.insert(events.end(), more.begin(), more.end());
            return wanted(events);
        },
        inputTimeout);
    return events;
}

std::vector<std::pair<Kind, int>> buttonsOf(const std::vector<XTestWindow::Event>& events) {
    std::vector<std::pair<Kind, int>> buttons;
    for (const auto& event : events) {
        if (event.kind == Kind::buttonPress || event.kind == Kind::buttonRelease) {
            buttons.emplace_back(event.kind, event.detail);
        }
    }
    return buttons;
}

constexpr std::uint16_t button1Mask = 1 << 8;

const std::vector<std::pair<Kind, int>> oneClick{{Kind::buttonPress, 1}, {Kind::buttonRelease, 1}};

class CompanionProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing_support::XvfbServer::isInstalled()) {
            GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh brings it)";
        }
        server = std::make_unique<testing_support::XvfbServer>();
        window = std::make_unique<XTestWindow>(server->displayName());
    }

    // Waits until the X pointer stands at `x`, `y`.
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
        return ::testing::AssertionFailure()
               << "the pointer stands at " << pointer.x << "," << pointer.y << ", not at " << x << "," << y;
    }

    // Sends a probe on TLS and waits for its answer: everything the phone sent on TLS before has been
    // carried out by then.
    void settle(PhoneTestClient& phone) {
        phone.send(Message::Probe{++probes, false});
        ASSERT_TRUE(phone.receiveCase<Message::ProbeReply>(5));
    }

    bool buttonHeld() { return (window->queryPointer().mask & button1Mask) != 0; }

    std::uint32_t probes = 0;
    TemporaryFolder folder;
    std::unique_ptr<testing_support::XvfbServer> server;
    std::unique_ptr<XTestWindow> window;
};

TEST_F(CompanionProcess, PairsDrivesThePointerStopsCleanlyAndKnowsThePhoneAfterARestart) {
    auto first = std::make_unique<CompanionRun>(folder.path, server->displayName());
    const auto endpoint = first->waitUntilReady();
    // The system bus it was given does not exist: it serves all the same, and says it is not advertised.
    EXPECT_TRUE(first->waitForLine(std::regex(R"(Listener ready as .* not advertised: \S)"), inputTimeout))
        << first->log();

    auto phone = first->pair(endpoint, "Test iPhone");

    // Positioned moves after their session's marker, then plain ones, all by datagram.
    const XTestWindow::Pointer start = window->queryPointer();
    TrackpadProtocol::PointerStamper stamper(TrackpadProtocol::UUID::random());
    phone->send(stamper.sessionStart());
    settle(*phone);  // so that no move overtakes the marker
    phone->sendDatagram(*stamper.stamp(Message::Move{12, 8}));
    phone->sendDatagram(*stamper.stamp(Message::Move{-4, 6}));
    phone->sendDatagram(Message::Move{10, -5});
    phone->sendDatagram(Message::Move{7, 1});
    EXPECT_TRUE(pointerReaches(start.x + 25, start.y + 10));

    // A tap over TLS is one click where the pointer stands.
    window->takeEvents();
    phone->send(Message::Tap{1});
    const auto events = eventsUntil(*window, [](const auto& got) { return buttonsOf(got).size() >= 2; });
    EXPECT_EQ(buttonsOf(events), oneClick);
    EXPECT_EQ(window->queryPointer().mask, 0) << "no button stays held";

    const int status = first->stop(SIGTERM);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << first->log();
    EXPECT_NE(first->log().find("Listener stopped"), std::string::npos) << first->log();

    // The paired phone is kept, readable by its owner only.
    const auto list = folder.path / "data" / "dev.quelmar.trackpad.mac" / "TrustedDevices.json";
    struct stat info {};
    ASSERT_EQ(::stat(list.c_str(), &info), 0) << list;
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const auto stored = CompanionNetwork::FileTrustedDeviceStore(list).load();
    ASSERT_TRUE(stored.has_value());
    ASSERT_EQ(stored->devices.size(), 1u);
    EXPECT_EQ(stored->devices[0].id, phone->deviceID());
    EXPECT_EQ(stored->devices[0].name, "Test iPhone");

    // Started again, the process opens the phone's session with its token, under the same key.
    auto second = std::make_unique<CompanionRun>(folder.path, server->displayName());
    PhoneTestClient returning(second->waitUntilReady(), "Test iPhone", phone->deviceID());
    returning.setPairing(phone->pairing());
    returning.connect();
    // Every feature it offers is served: a request is answered, never left waiting (here without a
    // sound server, the volume is unsupported).
    const auto session = returning.openSession(true);
    ASSERT_TRUE(std::holds_alternative<TrackpadProtocol::PhoneSession::Accepted>(session));
    EXPECT_EQ(std::get<TrackpadProtocol::PhoneSession::Accepted>(session).features,
              std::optional(TrackpadProtocol::HostFeatures::all));
    returning.send(Message::VolumeStatusRequest{});
    EXPECT_TRUE(returning.receiveCase<Message::VolumeStatus>(5).has_value());
    returning.send(Message::AppsRequest{TrackpadProtocol::AppListKind::running});
    EXPECT_TRUE(returning.receiveCase<Message::RunningApps>(5).has_value());
    window->takeEvents();
    returning.send(Message::Tap{1});
    EXPECT_EQ(buttonsOf(eventsUntil(*window, [](const auto& got) { return buttonsOf(got).size() >= 2; })),
              oneClick);
    EXPECT_EQ(second->log().find("Pairing code"), std::string::npos) << "no pairing the second time";

    const int secondStatus = second->stop(SIGINT);
    ASSERT_TRUE(WIFEXITED(secondStatus));
    EXPECT_EQ(WEXITSTATUS(secondStatus), 0) << second->log();
}

// Control passes to the phone whose input gets through the sequencers, and the hand-off releases what
// the previous phone held; a phone that leaves lets go of the pointer.
TEST_F(CompanionProcess, InputThatGetsThroughTakesControlAndTheHandOffReleasesTheButton) {
    CompanionRun run(folder.path, server->displayName());
    const auto endpoint = run.waitUntilReady();
    auto a = run.pair(endpoint, "Phone A");
    auto b = run.pair(endpoint, "Phone B");

    a->send(Message::Drag{TrackpadProtocol::DragPhase::began, 0, 0});
    ASSERT_TRUE(testing_support::waitUntil([&] { return buttonHeld(); }, inputTimeout));
    const XTestWindow::Pointer start = window->queryPointer();

    // B's session marker, and a positioned move that waits for a tap that has not come, are held back
    // by the sequencer: they take nothing from A.
    TrackpadProtocol::PointerStamper stamper(TrackpadProtocol::UUID::random());
    b->send(stamper.sessionStart());
    stamper.stamp(Message::Tap{1});  // never sent
    b->send(*stamper.stamp(Message::Move{1, 1}));
    settle(*b);
    EXPECT_TRUE(buttonHeld()) << "A's drag goes on";

    // B's plain move gets through: B takes control, A's button is let go, and B moves the pointer.
    b->send(Message::Move{-20, 3});
    EXPECT_TRUE(pointerReaches(start.x - 20, start.y + 3));
    EXPECT_FALSE(buttonHeld());

    // B starts a drag and leaves: its button does not stay held.
    b->send(Message::Drag{TrackpadProtocol::DragPhase::began, 0, 0});
    ASSERT_TRUE(testing_support::waitUntil([&] { return buttonHeld(); }, inputTimeout));
    b->disconnectDatagrams();
    b->disconnect();
    EXPECT_TRUE(testing_support::waitUntil([&] { return !buttonHeld(); }, inputTimeout));

    // A takes control again with a drag; stopping the process lets its button go.
    a->send(Message::Drag{TrackpadProtocol::DragPhase::began, 0, 0});
    ASSERT_TRUE(testing_support::waitUntil([&] { return buttonHeld(); }, inputTimeout));
    const int status = run.stop(SIGTERM);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << run.log();
    EXPECT_FALSE(buttonHeld());
}

// A phone names itself: whatever it puts in its name, the code line it gets logged cannot pass for
// another phone's, nor start a line of its own, nor reach the terminal as an escape sequence.
TEST_F(CompanionProcess, APhonesNameCannotForgeALogLine) {
    CompanionRun run(folder.path, server->displayName());
    const auto endpoint = run.waitUntilReady();
    const std::string name = "Evil\": 000 000\nPairing code for \"Real\": 111 111\x1b[2J";
    PhoneTestClient phone(endpoint, name);
    phone.connect();
    ASSERT_TRUE(std::holds_alternative<TrackpadProtocol::PhonePairing::CodeNeeded>(phone.requestPairing()));

    const auto code = run.waitForLine(
        std::regex(
            R"(Pairing code for "Evil\\": 000 000\\u000APairing code for \\"Real\\": 111 111\\u001B\[2J": )"
            R"((\d{3}) (\d{3}))"),
        inputTimeout);
    ASSERT_TRUE(code) << run.log();
    EXPECT_TRUE(std::holds_alternative<TrackpadProtocol::PhonePairing::Succeeded>(
        phone.enterCode((*code)[1].str() + (*code)[2].str())));
    const std::string log = run.log();
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    EXPECT_EQ(log.find("\nPairing code for \"Real\""), std::string::npos) << log;
    EXPECT_EQ(run.stop(SIGTERM), 0);
}

}  // namespace
