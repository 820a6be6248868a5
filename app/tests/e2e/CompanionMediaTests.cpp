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
#include <thread>
#include <variant>

#include "platform/DBus.h"
#include "protocol/messages/LargePayloads.h"
#include "testing/CompanionProcess.h"
#include "testing/CraftedImages.h"
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
    }
    // Without --headless, the overlays (phones' pictures) are there too.
    void startCompanion(bool headless = true) {
        companion = std::make_unique<testing_support::CompanionProcess>(
            LUMIVEX_COMPANION_PATH, bus->folder(), display->displayName(),
            headless ? std::vector<std::string>{"--headless"} : std::vector<std::string>{},
            testing_support::EnvironmentChanges{{"DBUS_SESSION_BUS_ADDRESS", bus->address()},
                                                {"PULSE_SERVER", sound->serverAddress()}});
    }

    std::string text() const { return companion->log(); }
    std::unique_ptr<PhoneTestClient> pairedPhone() {
        return companion->pair(companion->waitUntilReady(), "Media Phone", 30s);
    }
    // Whether a volume status equal to `expected` comes, pushed or answered; others before it are passed.
    bool volumeComes(PhoneTestClient& phone, VolumeStatus expected) {
        return phone
            .receiveUntil(
                [&](const Message& message) {
                    const auto* status = message.as<Message::VolumeStatus>();
                    return status != nullptr && status->status == expected;
                },
                10)
            .has_value();
    }

    // A Player property of the scripted player, read over the bus as any other program would.
    std::string playerProperty(const std::string& name) {
        auto connection = platform::dbus::Connection::openAddress(bus->address());
        if (!connection) {
            return "no bus";
        }
        auto value = (*connection)
                         ->property("org.mpris.MediaPlayer2.companion", "/org/mpris/MediaPlayer2",
                                    "org.mpris.MediaPlayer2.Player", name);
        return value && value->string() ? *value->string() : "no answer";
    }
    template <typename Condition>
    bool waitFor(Condition condition) {
        for (const auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;) {
            if (condition()) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return condition();
    }

    std::unique_ptr<testing_support::XvfbServer> display;
    std::unique_ptr<testing_support::PulseAudioSandbox> sound;
    std::unique_ptr<testing_support::PrivateBus> bus;
    std::unique_ptr<testing_support::ScriptedMediaPlayer> player;
    std::unique_ptr<testing_support::CompanionProcess> companion;
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
    EXPECT_TRUE(volumeComes(*phone, VolumeStatus{30, false, true}));
    EXPECT_EQ(sound->volumePercent("test_sink"), 30);
    phone->send(Message::SetMute{true});
    EXPECT_TRUE(volumeComes(*phone, VolumeStatus{30, true, true}));
    EXPECT_TRUE(sound->muted("test_sink"));

    // An outside change is pushed.
    sound->pactl({"set-sink-volume", "test_sink", "55%"});
    EXPECT_TRUE(volumeComes(*phone, VolumeStatus{55, true, true}));

    // A phone subscribing after a phone's change is told the level the server has now.
    phone->send(Message::SetVolume{37});
    EXPECT_TRUE(volumeComes(*phone, VolumeStatus{37, false, true}));
    auto second = companion->pair(companion->waitUntilReady(), "Second Phone", 30s);
    second->send(Message::Subscribe{TrackpadProtocol::Subscriptions::volume});
    const auto first = second->receiveCase<Message::VolumeStatus>(10);
    ASSERT_TRUE(first) << text();
    EXPECT_EQ(first->status, (VolumeStatus{37, false, true}));
    EXPECT_EQ(sound->volumePercent("test_sink"), 37);

    player->send(
        R"({"status":"Playing","metadata":{"xesam:title":["s","Next"],"xesam:artist":["as",["Other"]]}})");
    const auto next = phone->receiveCase<Message::NowPlaying>(10);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->nowPlaying.title, "Next");
    player->quit();
    EXPECT_TRUE(phone->receiveCase<Message::NowPlayingUnavailable>(10));

    EXPECT_EQ(companion->stop(SIGTERM), 0) << text();
}

// Nothing on this desktop listens for media keys: the player and the sound server are told directly.
TEST_F(CompanionMediaTest, ThePhonesMediaKeysReachThePlayerAndTheSoundServer) {
    sound->pactl({"set-sink-volume", "test_sink", "50%"});
    startCompanion();
    auto phone = pairedPhone();
    using TrackpadProtocol::MediaCommand;

    phone->send(Message::MediaCommand{MediaCommand::playPause});
    EXPECT_TRUE(waitFor([&] { return playerProperty("PlaybackStatus") == "Paused"; })) << text();
    phone->send(Message::MediaCommand{MediaCommand::playPause});
    EXPECT_TRUE(waitFor([&] { return playerProperty("PlaybackStatus") == "Playing"; })) << text();
    phone->send(Message::MediaCommand{MediaCommand::next});
    EXPECT_TRUE(waitFor([&] { return playerProperty("LastCommand") == "Next"; })) << text();
    phone->send(Message::MediaCommand{MediaCommand::previous});
    EXPECT_TRUE(waitFor([&] { return playerProperty("LastCommand") == "Previous"; })) << text();

    phone->send(Message::MediaCommand{MediaCommand::volumeUp});
    EXPECT_TRUE(waitFor([&] { return sound->volumePercent("test_sink") == 55; })) << text();
    phone->send(Message::MediaCommand{MediaCommand::volumeDown});
    phone->send(Message::MediaCommand{MediaCommand::volumeDown});
    EXPECT_TRUE(waitFor([&] { return sound->volumePercent("test_sink") == 45; })) << text();
    phone->send(Message::MediaCommand{MediaCommand::mute});
    EXPECT_TRUE(waitFor([&] { return sound->muted("test_sink"); })) << text();

    // Without a player the key goes to the desktop as before, and the player that comes back is found.
    player->quit();
    phone->send(Message::MediaCommand{MediaCommand::playPause});
    player = std::make_unique<testing_support::ScriptedMediaPlayer>(bus->address(), "companion");
    player->send(R"({"status":"Playing"})");
    std::this_thread::sleep_for(200ms);
    phone->send(Message::MediaCommand{MediaCommand::playPause});
    EXPECT_TRUE(waitFor([&] { return playerProperty("PlaybackStatus") == "Paused"; })) << text();
    EXPECT_EQ(companion->stop(SIGTERM), 0) << text();
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

// SIGTERM while a phone's picture, crafted to take its decoder many seconds, is being decoded and the
// player's artwork (large enough to wait for its turn among the decodes) waits: the process ends with
// status 0 long before a wait for its workers would give up (5 s), and never has to.
TEST_F(CompanionMediaTest, ASignalEndsItWhileAPictureDecodesAndArtworkWaits) {
    const auto cover = bus->folder() / "cover.jpg";
    const auto artwork = testing_support::manyScanGreyJPEG(4096, 10, false);
    std::ofstream(cover, std::ios::binary)
        .write(reinterpret_cast<const char*>(artwork.data()), static_cast<std::streamsize>(artwork.size()));
    startCompanion(false);
    auto phone = pairedPhone();

    TrackpadProtocol::PresentationImageFile picture{testing_support::manyScanGreyJPEG(6896, 499, false),
                                                    std::nullopt};
    for (auto& part : TrackpadProtocol::splitIntoParts(1, picture.encoded())) {
        phone->send(Message::PresentationImage{
            TrackpadProtocol::PresentationImage{TrackpadProtocol::PresentationImage::Part{std::move(part)}}});
    }
    // Answered once the companion has taken every part before it.
    phone->send(Message::Probe{1, false});
    ASSERT_TRUE(phone->receiveCase<Message::ProbeReply>(10)) << text();
    player->send(
        R"({"status":"Playing","metadata":{"xesam:title":["s","Cover"],"mpris:artUrl":["s","file://)" +
        cover.string() + R"("]}})");
    std::this_thread::sleep_for(300ms);

    ::kill(companion->pid(), SIGTERM);
    // Killed when it has not ended by the time a wait for its workers would give up.
    if (!testing_support::waitUntil([&] { return !companion->running(); }, 4s)) {
        ::kill(companion->pid(), SIGKILL);
    }
    EXPECT_EQ(companion->stop(0), 0) << text();
    EXPECT_EQ(text().find("Workers still running"), std::string::npos) << text();
}

}  // namespace
