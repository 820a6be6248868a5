// The companion process with a sound server and a media player of the test's own: a phone sets the
// volume and mute and is told of outside changes, and sees the player's track pushed.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <variant>

#include "app/tests/e2e/QtChildSanitizer.h"
#include "testing/PhoneTestClient.h"
#include "testing/PrivateBus.h"
#include "testing/PulseAudioSandbox.h"
#include "testing/ScriptedMediaPlayer.h"
#include "testing/Subprocess.h"
#include "testing/XvfbServer.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PhoneTestClient;
using TrackpadProtocol::Message;
using TrackpadProtocol::VolumeStatus;

class CompanionMediaTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing_support::XvfbServer::isInstalled()) {
            GTEST_SKIP() << "Xvfb is not installed";
        }
        if (auto reason = testing_support::PulseAudioSandbox::unavailableReason()) {
            GTEST_SKIP() << *reason;
        }
        if (auto reason = testing_support::PrivateBus::unavailableReason()) {
            GTEST_SKIP() << *reason;
        }
        if (!testing_support::ScriptedMediaPlayer::isAvailable()) {
            GTEST_SKIP() << "/usr/bin/python3 is not installed";
        }
        display = std::make_unique<testing_support::XvfbServer>();
        sound = std::make_unique<testing_support::PulseAudioSandbox>();
        bus = std::make_unique<testing_support::PrivateBus>();
        player = std::make_unique<testing_support::ScriptedMediaPlayer>(bus->address(), "companion");
        player->send(
            R"({"status":"Playing","metadata":{"xesam:title":["s","Song"],"xesam:artist":["as",["Band"]]}})");
        log = bus->folder() / "companion.log";
    }
    void startCompanion() {
        companion = std::make_unique<testing_support::Subprocess>(
            std::vector<std::string>{LUMIVEX_COMPANION_PATH, "--headless", "--log-to-stderr"},
            testing_support::EnvironmentChanges{
                {"DISPLAY", display->displayName()},
                {"XDG_DATA_HOME", (bus->folder() / "data").string()},
                {"XDG_CONFIG_HOME", (bus->folder() / "config").string()},
                {"DBUS_SESSION_BUS_ADDRESS", bus->address()},
                {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (bus->folder() / "none").string()},
                {"PULSE_SERVER", sound->serverAddress()},
                {"LUMIVEX_LOG", "info"},
                {"ASAN_OPTIONS", companionSanitizerOptions()}},
            log);
    }

    std::string text() const {
        std::ifstream file(log);
        std::stringstream all;
        all << file.rdbuf();
        return all.str();
    }
    std::optional<std::smatch> waitForLine(const std::regex& pattern) {
        std::optional<std::smatch> found;
        testing_support::waitUntil(
            [&] {
                logText = text();
                std::smatch match;
                if (std::regex_search(logText, match, pattern)) {
                    found = match;
                    return true;
                }
                return !companion->running();
            },
            30s);
        return found;
    }
    std::unique_ptr<PhoneTestClient> pairedPhone() {
        const auto ready = waitForLine(std::regex(R"(Listener ready as "[^"]*" on TCP (\d+) and UDP (\d+))"));
        if (!ready) {
            throw std::runtime_error("the companion did not become ready; its log:\n" + text());
        }
        const PhoneTestClient::Endpoint endpoint{"127.0.0.1",
                                                 static_cast<std::uint16_t>(std::stoi((*ready)[1].str())),
                                                 static_cast<std::uint16_t>(std::stoi((*ready)[2].str()))};
        auto phone = std::make_unique<PhoneTestClient>(endpoint, "Media Phone");
        phone->connect();
        if (!std::holds_alternative<TrackpadProtocol::PhonePairing::CodeNeeded>(phone->requestPairing())) {
            throw std::runtime_error("pairing was refused");
        }
        const auto code = waitForLine(std::regex(R"(Pairing code for "Media Phone": (\d{3}) (\d{3}))"));
        if (!code ||
            !std::holds_alternative<TrackpadProtocol::PhonePairing::Succeeded>(
                phone->enterCode((*code)[1].str() + (*code)[2].str())) ||
            !std::holds_alternative<TrackpadProtocol::PhoneSession::Accepted>(phone->openSession())) {
            throw std::runtime_error("pairing or the session failed; the log:\n" + text());
        }
        return phone;
    }
    // The next volume status, pushed or answered.
    std::optional<VolumeStatus> nextVolume(PhoneTestClient& phone) {
        auto status = phone.receiveCase<Message::VolumeStatus>(10);
        return status ? std::optional<VolumeStatus>(status->status) : std::nullopt;
    }

    std::unique_ptr<testing_support::XvfbServer> display;
    std::unique_ptr<testing_support::PulseAudioSandbox> sound;
    std::unique_ptr<testing_support::PrivateBus> bus;
    std::unique_ptr<testing_support::ScriptedMediaPlayer> player;
    std::filesystem::path log;
    std::string logText;
    std::unique_ptr<testing_support::Subprocess> companion;
};

TEST_F(CompanionMediaTest, APhoneSetsTheVolumeAndSeesWhatPlays) {
    startCompanion();
    auto phone = pairedPhone();
    phone->send(Message::Subscribe{TrackpadProtocol::Subscriptions::volume |
                                   TrackpadProtocol::Subscriptions::nowPlaying});

    // Subscribing pushes what is known now: the track and the volume, in either order.
    std::optional<TrackpadProtocol::NowPlaying> playing;
    std::optional<VolumeStatus> volume;
    while (!playing || !volume) {
        const auto message = phone->receive(10);
        ASSERT_TRUE(message) << text();
        if (const auto* track = message->as<Message::NowPlaying>()) {
            playing = track->nowPlaying;
        } else if (const auto* status = message->as<Message::VolumeStatus>()) {
            volume = status->status;
        }
    }
    EXPECT_EQ(playing, TrackpadProtocol::NowPlaying("Song", "Band", std::nullopt));
    EXPECT_EQ(volume, (VolumeStatus{100, false, true}));

    phone->send(Message::SetVolume{30});
    EXPECT_EQ(nextVolume(*phone), (VolumeStatus{30, false, true}));
    EXPECT_EQ(sound->volumePercent("test_sink"), 30);
    phone->send(Message::SetMute{true});
    EXPECT_EQ(nextVolume(*phone), (VolumeStatus{30, true, true}));
    EXPECT_TRUE(sound->muted("test_sink"));

    // An outside change is pushed.
    sound->pactl({"set-sink-volume", "test_sink", "55%"});
    EXPECT_EQ(nextVolume(*phone), (VolumeStatus{55, true, true}));

    player->send(
        R"({"status":"Playing","metadata":{"xesam:title":["s","Next"],"xesam:artist":["as",["Other"]]}})");
    const auto next = phone->receiveCase<Message::NowPlaying>(10);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->nowPlaying.title, "Next");
    player->quit();
    EXPECT_TRUE(phone->receiveCase<Message::NowPlayingUnavailable>(10));

    ::kill(companion->pid(), SIGTERM);
    testing_support::waitUntil([&] { return !companion->running(); }, 30s);
    EXPECT_EQ(companion->stop(), 0) << text();
}

TEST_F(CompanionMediaTest, ThePreferenceRunsTheHelperBesideTheCompanion) {
    const auto preferences = bus->folder() / "config" / "dev.quelmar.trackpad.mac";
    std::filesystem::create_directories(preferences);
    std::ofstream(preferences / "Preferences.json") << R"({"NowPlayingTriesRefusedMediaRemote": false})";
    startCompanion();
    auto phone = pairedPhone();
    phone->send(Message::Subscribe{TrackpadProtocol::Subscriptions::nowPlaying});
    const auto playing = phone->receiveUntil(
        [](const Message& message) {
            const auto* track = message.as<Message::NowPlaying>();
            return track != nullptr && track->nowPlaying.title == "Song";
        },
        10);
    ASSERT_TRUE(playing) << text();
    const auto helper = testing_support::runCommand(
        {"pgrep", "-P", std::to_string(companion->pid()), "-f", "lumivex-now-playing"}, 2s);
    EXPECT_FALSE(helper.output.empty()) << "the helper program is not a child of the companion";
}

}  // namespace
