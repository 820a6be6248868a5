// The whole companion as a user meets it: a desktop with a window manager, two displays, a sound server,
// a media player and applications of its own, and a phone that pairs and uses every feature once, a
// second phone that takes control, and a stop and a restart.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <variant>

#include "protocol/input/Stampers.h"
#include "testing/CompanionProcess.h"
#include "testing/PhoneTestClient.h"
#include "testing/PrivateBus.h"
#include "testing/PulseAudioSandbox.h"
#include "testing/ScriptedMediaPlayer.h"
#include "testing/Subprocess.h"
#include "testing/XTestWindow.h"
#include "testing/XvfbServer.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PhoneTestClient;
using TrackpadProtocol::Message;

void writeText(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

// Every part of a numbered transfer, put together; none when a part did not come.
template <class Case>
std::optional<std::vector<std::uint8_t>> collectParts(PhoneTestClient& phone, std::uint32_t transfer) {
    std::vector<std::uint8_t> bytes;
    std::uint16_t next = 0;
    for (;;) {
        auto part = phone.receiveUntil(
            [&](const Message& message) {
                const auto* got = message.as<Case>();
                return got != nullptr && got->part.transfer == transfer;
            },
            10);
        if (!part)
            return std::nullopt;
        const auto& piece = part->template as<Case>()->part;
        if (piece.part != next)
            return std::nullopt;
        bytes.insert(bytes.end(), piece.bytes.begin(), piece.bytes.end());
        if (++next == piece.partCount)
            return bytes;
    }
}

// The companion's top-level windows that are mapped: "name geometry" lines.
std::string shownWindows(const std::string& display) {
    const auto tree =
        testing_support::runCommand({"xwininfo", "-root", "-children"}, 5s, {{"DISPLAY", display}});
    std::string shown;
    std::istringstream lines(tree.output);
    static const std::regex window(
        R"(^\s*(0x[0-9a-f]+) ("[^"]*"|\(has no name\)).*?(\d+x\d+[+-]\d+[+-]\d+))");
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (!std::regex_search(line, match, window))
            continue;
        if (line.find("lumivex") == std::string::npos && line.find("Lumivex") == std::string::npos)
            continue;
        const auto info =
            testing_support::runCommand({"xwininfo", "-id", match[1].str()}, 5s, {{"DISPLAY", display}});
        if (info.output.find("IsViewable") == std::string::npos)
            continue;
        shown += match[2].str() + " " + match[3].str() + "; ";
    }
    return shown;
}

class CompanionTour : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing_support::XvfbServer::isInstalled())
            GTEST_SKIP() << "Xvfb is not installed";
        if (auto reason = testing_support::PulseAudioSandbox::unavailableReason())
            GTEST_SKIP() << *reason;
        if (auto reason = testing_support::PrivateBus::unavailableReason())
            GTEST_SKIP() << *reason;
        if (!testing_support::ScriptedMediaPlayer::isAvailable())
            GTEST_SKIP() << "python3 is not installed";
        for (const char* program : {"openbox", "xlogo", "xwininfo", "xrandr", "convert"}) {
            if (!testing_support::findExecutable(program))
                GTEST_SKIP() << program << " is not installed";
        }
        testing_support::XvfbServer::Options screens;
        screens.width = 2560;
        screens.height = 1024;
        screens.monitors = {{"LEFT", 0, 0, 1280, 1024, true}, {"RIGHT", 1280, 0, 1280, 1024, false}};
        display = std::make_unique<testing_support::XvfbServer>(screens);
        windowManager = std::make_unique<testing_support::Subprocess>(
            std::vector<std::string>{"openbox", "--sm-disable"},
            testing_support::EnvironmentChanges{{"DISPLAY", display->displayName()}},
            folder.path / "openbox.log");
        sound = std::make_unique<testing_support::PulseAudioSandbox>();
        bus = std::make_unique<testing_support::PrivateBus>();
        player = std::make_unique<testing_support::ScriptedMediaPlayer>(bus->address(), "tour");
        const auto cover = folder.path / "cover.png";
        testing_support::runCommand({"convert", "-size", "300x300", "xc:orange", cover.string()}, 10s);
        player->send(
            R"({"status":"Playing","metadata":{"xesam:title":["s","Song"],"xesam:artist":["as",["Band"]],)"
            R"("mpris:artUrl":["s","file://)" +
            cover.string() + R"("]}})");
        writeText(
            folder.path / "data" / "applications" / "tour-logo.desktop",
            "[Desktop Entry]\nType=Application\nName=Tour Logo\nExec=xlogo\nIcon=" + cover.string() + "\n");
        writeText(folder.path / "data" / "applications" / "tour-clock.desktop",
                  "[Desktop Entry]\nType=Application\nName=Tour Clock\nExec=xclock\n");
    }

    std::unique_ptr<testing_support::CompanionProcess> start(bool allowsUnlock) {
        writeText(folder.path / "config" / "dev.quelmar.trackpad.mac" / "Preferences.json",
                  std::string(R"({"allowsUnlockFromIPhone": )") + (allowsUnlock ? "true" : "false") + "}");
        return std::make_unique<testing_support::CompanionProcess>(
            LUMIVEX_COMPANION_PATH, folder.path, display->displayName(), std::vector<std::string>{},
            testing_support::EnvironmentChanges{{"DBUS_SESSION_BUS_ADDRESS", bus->address()},
                                                {"PULSE_SERVER", sound->serverAddress()},
                                                {"XDG_DATA_DIRS", (folder.path / "none").string()}});
    }

    // Whether a window of the companion is shown with a geometry ending in `place`, within a while.
    bool shownOn(const std::string& place) {
        return testing_support::waitUntil(
            [&] {
                const auto shown = shownWindows(display->displayName());
                return !shown.empty() && shown.find(place + ";") != std::string::npos;
            },
            5s);
    }

    void settle(PhoneTestClient& phone) {
        phone.send(Message::Probe{++probes, false});
        ASSERT_TRUE(phone.receiveCase<Message::ProbeReply>(5));
    }

    std::uint32_t probes = 0;
    testing_support::TemporaryFolder folder;
    std::unique_ptr<testing_support::XvfbServer> display;
    std::unique_ptr<testing_support::Subprocess> windowManager;
    std::unique_ptr<testing_support::PulseAudioSandbox> sound;
    std::unique_ptr<testing_support::PrivateBus> bus;
    std::unique_ptr<testing_support::ScriptedMediaPlayer> player;
};

TEST_F(CompanionTour, APhoneUsesEveryFeatureOnce) {
    auto companion = start(false);
    const auto endpoint = companion->waitUntilReady();
    auto phone = companion->pair(endpoint, "Tour Phone");
    // The pairing session was opened without features; the phone opens one with them as it would.
    phone->disconnectDatagrams();
    phone->disconnect();
    phone->connect();
    const auto session = phone->openSession(true);
    ASSERT_TRUE(std::holds_alternative<TrackpadProtocol::PhoneSession::Accepted>(session))
        << companion->log();
    EXPECT_EQ(std::get<TrackpadProtocol::PhoneSession::Accepted>(session).features,
              std::optional(TrackpadProtocol::HostFeatures::all));
    EXPECT_EQ(shownWindows(display->displayName()), "") << "the pairing panel goes once paired";
    phone->connectDatagrams();
    phone->send(Message::Subscribe{TrackpadProtocol::Subscriptions{0x0F}});

    // ---- input
    testing_support::XTestWindow window(display->displayName());
    const auto origin = window.queryPointer();
    TrackpadProtocol::PointerStamper stamper(TrackpadProtocol::UUID::random());
    phone->send(stamper.sessionStart());
    settle(*phone);
    phone->sendDatagram(*stamper.stamp(Message::Move{30, 20}));
    phone->sendDatagram(Message::Move{10, 5});
    EXPECT_TRUE(testing_support::waitUntil(
        [&] {
            const auto now = window.queryPointer();
            return now.x == origin.x + 40 && now.y == origin.y + 25;
        },
        5s))
        << "pointer at " << window.queryPointer().x << "," << window.queryPointer().y;
    window.takeEvents();
    phone->send(*stamper.stamp(Message::Tap{1}));
    phone->send(Message::RightClick{});
    phone->sendDatagram(Message::Scroll{0, -40, TrackpadProtocol::ScrollPhase::began, std::nullopt});
    phone->sendDatagram(Message::Scroll{0, -40, TrackpadProtocol::ScrollPhase::ended, std::nullopt});
    phone->send(Message::KeyCombination{{TrackpadProtocol::KeyCombination::Character{"a"},
                                         TrackpadProtocol::KeyCombination::Modifiers::control}});
    phone->send(Message::Text{"Hé!"});
    phone->send(
        Message::Gesture{{TrackpadProtocol::Gesture::Swipe{3, TrackpadProtocol::SwipeDirection::left}}});
    phone->send(Message::Gesture{{TrackpadProtocol::Gesture::Tap{2}}});
    settle(*phone);
    int buttonPresses = 0;
    std::string keys;
    testing_support::waitUntil(
        [&] {
            for (const auto& event : window.takeEvents()) {
                if (event.kind == testing_support::XTestWindow::Event::Kind::buttonPress)
                    ++buttonPresses;
                if (event.kind == testing_support::XTestWindow::Event::Kind::keyPress &&
                    event.keysym < 0xff00) {
                    keys += static_cast<char>(event.keysym);
                }
            }
            return buttonPresses >= 3 && keys.size() >= 3;
        },
        5s);
    EXPECT_GE(buttonPresses, 3) << "a tap, a right click and a scroll";
    EXPECT_EQ(keys.substr(0, 2), "ah") << "control-a, then the text's first letter";

    // ---- apps
    phone->send(Message::AppsRequest{TrackpadProtocol::AppListKind::installed});
    const auto installed = phone->receiveCase<Message::InstalledApps>(10);
    ASSERT_TRUE(installed) << companion->log();
    std::string logoID;
    for (const auto& app : installed->part.apps) {
        if (app.name == "Tour Logo")
            logoID = app.bundleID;
    }
    ASSERT_FALSE(logoID.empty());
    phone->send(Message::AppIconRequest{{logoID, 64}});
    const auto icon = phone->receiveCase<Message::AppIcon>(10);
    ASSERT_TRUE(icon);
    EXPECT_TRUE(icon->icon.image.has_value()) << "the logo's icon";
    phone->send(Message::OpenApp{logoID});
    const auto opened = phone->receiveCase<Message::OpenAppResult>(10);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->result.status, TrackpadProtocol::OpenAppResult::Status::opened);
    phone->send(Message::AppsRequest{TrackpadProtocol::AppListKind::running});
    const auto running = phone->receiveCase<Message::RunningApps>(10);
    ASSERT_TRUE(running);

    // ---- now playing and volume
    phone->send(Message::Unsubscribe{TrackpadProtocol::Subscriptions::nowPlaying});
    phone->send(Message::Subscribe{TrackpadProtocol::Subscriptions::nowPlaying});
    const auto playing = phone->receiveCase<Message::NowPlaying>(10);
    ASSERT_TRUE(playing) << companion->log();
    EXPECT_EQ(playing->nowPlaying.title, "Song");
    EXPECT_TRUE(playing->nowPlaying.artwork.has_value()) << "the cover";
    phone->send(Message::SetVolume{40});
    auto volume = phone->receiveUntil(
        [](const Message& m) {
            return m.is<Message::VolumeStatus>() && m.as<Message::VolumeStatus>()->status.level == 40;
        },
        10);
    EXPECT_TRUE(volume);
    EXPECT_EQ(sound->volumePercent("test_sink"), 40);
    phone->send(Message::SetMute{true});
    volume = phone->receiveUntil(
        [](const Message& m) {
            return m.is<Message::VolumeStatus>() && m.as<Message::VolumeStatus>()->status.isMuted;
        },
        10);
    EXPECT_TRUE(volume);
    EXPECT_TRUE(sound->muted("test_sink"));

    // ---- screens
    phone->send(Message::ScreenDisplaysRequest{});
    const auto displays = phone->receiveCase<Message::ScreenDisplays>(10);
    ASSERT_TRUE(displays);
    ASSERT_EQ(displays->displays.size(), 2u);
    const auto right = displays->displays[1].id;
    phone->send(Message::ScreenshotRequest{{7, right, 640}});
    const auto shot = collectParts<Message::Screenshot>(*phone, 7);
    ASSERT_TRUE(shot) << companion->log();
    EXPECT_GT(shot->size(), 100u);
    phone->send(Message::ScreenViewStart{{right, 640, 10, TrackpadProtocol::ScreenVideoCodecs::h264}});
    const auto showing = phone->receiveCase<Message::ScreenViewStatus>(10);
    ASSERT_TRUE(showing) << companion->log();
    EXPECT_EQ(showing->status.state, TrackpadProtocol::ScreenViewStatus::State::showing);
    EXPECT_EQ(showing->status.displayID, std::optional(right));
    int videoParts = 0;
    for (auto until = std::chrono::steady_clock::now() + 2s; std::chrono::steady_clock::now() < until;) {
        if (phone->receiveCase<Message::ScreenVideo>(1))
            ++videoParts;
    }
    EXPECT_GT(videoParts, 0);

    // ---- odd requests are answered
    phone->send(Message::ScreenshotRequest{{8, 999, 640}});
    const auto oddShot = phone->receiveUntil(
        [](const Message& m) {
            const auto* got = m.as<Message::Screenshot>();
            return got && got->part.transfer == 8;
        },
        5);
    EXPECT_TRUE(oddShot) << "a screenshot of an unknown display is answered";
    phone->send(Message::OpenApp{"no.such.app"});
    const auto oddOpen = phone->receiveCase<Message::OpenAppResult>(10);
    ASSERT_TRUE(oddOpen);
    EXPECT_EQ(oddOpen->result.status, TrackpadProtocol::OpenAppResult::Status::notInstalled);
    phone->send(Message::AppIconRequest{{"no.such.app", 64}});
    const auto oddIcon = phone->receiveCase<Message::AppIcon>(10);
    ASSERT_TRUE(oddIcon);
    EXPECT_FALSE(oddIcon->icon.image.has_value());
    phone->send(Message::MediaCommand{TrackpadProtocol::MediaCommand::next});
    phone->send(Message::QuickAction{TrackpadProtocol::QuickAction::spotlight});
    settle(*phone);

    // ---- an annotation over the viewed display, and a presentation picture
    using Annotation = TrackpadProtocol::Annotation;
    phone->send(
        Message::Annotation{{Annotation::Begin{1, TrackpadProtocol::AnnotationTool::pen, {0.2f, 0.2f}}}});
    phone->send(Message::Annotation{{Annotation::Update{1, 1, {0.4f, 0.3f}}}});
    phone->send(Message::Annotation{{Annotation::End{1, {0.6f, 0.4f}}}});
    settle(*phone);
    EXPECT_TRUE(shownOn("+1280+0")) << "the drawing goes over the viewed display";
    std::ifstream coverFile(folder.path / "cover.png", std::ios::binary);
    std::vector<std::uint8_t> picture((std::istreambuf_iterator<char>(coverFile)),
                                      std::istreambuf_iterator<char>());
    phone->send(Message::PresentationImage{{TrackpadProtocol::PresentationImage::Part{{9, 0, 1, picture}}}});
    phone->send(Message::PresentationImage{{TrackpadProtocol::PresentationImage::Fit{9}}});
    settle(*phone);
    EXPECT_TRUE(shownOn("+1280+0")) << "the picture goes over the viewed display";
    phone->send(Message::PresentationImage{{TrackpadProtocol::PresentationImage::Close{}}});
    phone->send(Message::Annotation{{Annotation::Clear{}}});
    phone->send(Message::ScreenViewStop{});
    const auto stopped = phone->receiveUntil(
        [](const Message& m) {
            const auto* status = m.as<Message::ScreenViewStatus>();
            return status && status->status.state == TrackpadProtocol::ScreenViewStatus::State::stopped;
        },
        10);
    EXPECT_TRUE(stopped);
    settle(*phone);
    EXPECT_TRUE(testing_support::waitUntil([&] { return shownWindows(display->displayName()).empty(); }, 5s))
        << shownWindows(display->displayName());

    // ---- views switched on and off, and between displays
    for (int i = 0; i < 6; ++i) {
        phone->send(Message::ScreenViewStart{
            {displays->displays[i % 2].id, 640, 10, TrackpadProtocol::ScreenVideoCodecs::h264}});
        const auto on = phone->receiveCase<Message::ScreenViewStatus>(10);
        ASSERT_TRUE(on);
        EXPECT_EQ(on->status.displayID, std::optional(displays->displays[i % 2].id));
        phone->send(Message::ScreenViewSelectDisplay{displays->displays[(i + 1) % 2].id});
        const auto moved = phone->receiveCase<Message::ScreenViewStatus>(10);
        ASSERT_TRUE(moved);
        EXPECT_EQ(moved->status.displayID, std::optional(displays->displays[(i + 1) % 2].id));
        phone->send(Message::ScreenViewStop{});
        ASSERT_TRUE(phone->receiveUntil(
            [](const Message& m) {
                const auto* st = m.as<Message::ScreenViewStatus>();
                return st && st->status.state == TrackpadProtocol::ScreenViewStatus::State::stopped;
            },
            10));
    }
    settle(*phone);

    // ---- the viewed display is unplugged while a drawing is on it, then plugged in again
    phone->send(Message::ScreenViewStart{{right, 640, 10, TrackpadProtocol::ScreenVideoCodecs::h264}});
    ASSERT_TRUE(phone->receiveCase<Message::ScreenViewStatus>(10));
    phone->send(
        Message::Annotation{{Annotation::Begin{2, TrackpadProtocol::AnnotationTool::box, {0.2f, 0.2f}}}});
    phone->send(Message::Annotation{{Annotation::End{2, {0.6f, 0.4f}}}});
    settle(*phone);
    EXPECT_TRUE(shownOn("+1280+0"));
    display->deleteMonitor("RIGHT");
    // A real unplug comes with an output change, which the edit alone does not send.
    testing_support::runCommand({"xrandr", "--output", "screen", "--primary"}, 5s,
                                {{"DISPLAY", display->displayName()}});
    const auto unplugged = phone->receiveCase<Message::ScreenViewStatus>(10);
    ASSERT_TRUE(unplugged);
    EXPECT_EQ(unplugged->status.state, TrackpadProtocol::ScreenViewStatus::State::displayUnavailable);
    EXPECT_TRUE(shownOn("+0+0")) << "the drawing moves to a display that is there";
    phone->send(Message::ScreenDisplaysRequest{});
    auto listed = phone->receiveCase<Message::ScreenDisplays>(10);
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->displays.size(), 1u);
    phone->send(Message::Annotation{{Annotation::Clear{}}});
    settle(*phone);
    display->setMonitors({{"RIGHT", 1280, 0, 1280, 1024, false}});
    testing_support::runCommand({"xrandr", "--output", "screen", "--noprimary"}, 5s,
                                {{"DISPLAY", display->displayName()}});
    testing_support::runCommand({"xrandr", "--output", "screen", "--primary"}, 5s,
                                {{"DISPLAY", display->displayName()}});
    // The displays are read again off the main loop: the list has the monitor back a moment later.
    const auto asked = std::chrono::steady_clock::now();
    do {
        phone->send(Message::ScreenDisplaysRequest{});
        listed = phone->receiveCase<Message::ScreenDisplays>(10);
        ASSERT_TRUE(listed);
    } while (listed->displays.size() != 2u && std::chrono::steady_clock::now() - asked < 5s &&
             (std::this_thread::sleep_for(50ms), true));
    EXPECT_EQ(listed->displays.size(), 2u);

    // ---- unlock with the preference off
    std::optional<TrackpadProtocol::UnlockResult> unlocked;
    phone->requestUnlock("tour-secret-password", [&](const auto& result) { unlocked = result; });
    phone->receiveUntil([&](const Message&) { return unlocked.has_value(); }, 10);
    ASSERT_TRUE(unlocked) << companion->log();
    EXPECT_EQ(unlocked->status, TrackpadProtocol::UnlockResult::Status::notAllowed);

    // ---- a second phone takes control
    auto second = companion->pair(endpoint, "Second Phone");
    const auto beforeSecond = window.queryPointer();
    second->send(Message::Move{-15, 10});
    EXPECT_TRUE(testing_support::waitUntil(
        [&] {
            const auto now = window.queryPointer();
            return now.x == beforeSecond.x - 15 && now.y == beforeSecond.y + 10;
        },
        5s));

    // ---- stop while a view streams, and restart with unlock allowed: with no lock, nothing is typed
    second->send(Message::ScreenViewStart{
        {displays->displays[0].id, 640, 10, TrackpadProtocol::ScreenVideoCodecs::h264}});
    ASSERT_TRUE(second->receiveCase<Message::ScreenViewStatus>(10));
    // The phone walks away without stopping its view: the capture must stop with it.
    second->disconnectDatagrams();
    second->disconnect();
    phone->send(Message::ScreenViewStart{
        {displays->displays[0].id, 640, 10, TrackpadProtocol::ScreenVideoCodecs::h264}});
    ASSERT_TRUE(phone->receiveCase<Message::ScreenViewStatus>(10));
    EXPECT_EQ(companion->stop(SIGTERM), 0);
    const std::string firstLog = companion->log();
    // The phones were paired long ago, so that a returning phone is announced.
    {
        const auto list = folder.path / "data" / "dev.quelmar.trackpad.mac" / "TrustedDevices.json";
        std::ifstream in(list);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        text = std::regex_replace(text, std::regex(R"("pairedAt": "[^"]*")"),
                                  R"("pairedAt": "2026-01-01T00:00:00Z")");
        std::ofstream(list) << text;
    }
    auto restarted = start(true);
    const auto again = restarted->waitUntilReady();
    PhoneTestClient returning(again, "Tour Phone", phone->deviceID());
    returning.setPairing(phone->pairing());
    returning.connect();
    ASSERT_TRUE(
        std::holds_alternative<TrackpadProtocol::PhoneSession::Accepted>(returning.openSession(true)));
    EXPECT_TRUE(shownOn("")) << "a phone back after a while is announced";
    EXPECT_TRUE(testing_support::waitUntil([&] { return shownWindows(display->displayName()).empty(); }, 6s))
        << "the notice goes by itself";
    window.takeEvents();
    unlocked.reset();
    returning.requestUnlock("tour-secret-password", [&](const auto& result) { unlocked = result; });
    returning.receiveUntil([&](const Message&) { return unlocked.has_value(); }, 15);
    ASSERT_TRUE(unlocked) << restarted->log();
    EXPECT_EQ(unlocked->status, TrackpadProtocol::UnlockResult::Status::notLocked);
    std::this_thread::sleep_for(300ms);
    for (const auto& event : window.takeEvents()) {
        EXPECT_NE(event.kind, testing_support::XTestWindow::Event::Kind::keyPress)
            << "a key was typed with no lock: " << event.keysym;
    }
    EXPECT_EQ(restarted->stop(SIGTERM), 0);
    const std::string all = firstLog + restarted->log();
    EXPECT_EQ(all.find("tour-secret-password"), std::string::npos);
    // The companion's own lines (an opened application writes to the same output) carry no complaint.
    std::istringstream lines(all);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("dev.quelmar.trackpad.mac ", 0) != 0)
            continue;
        for (const char* word : {"rror", "arning", "ailed"}) {
            EXPECT_EQ(line.find(word), std::string::npos) << line;
        }
    }
}

}  // namespace
