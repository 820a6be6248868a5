// Now playing from a scripted player on a private bus: read in this process, and through the helper
// program.
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>

#include "media/now-playing/MprisPlayerControl.h"
#include "media/now-playing/NowPlayingFeed.h"
#include "media/now-playing/SystemNowPlayingProvider.h"
#include "platform/LogCapture.h"
#include "platform/imaging/Codecs.h"
#include "testing/CraftedImages.h"
#include "testing/LoopThread.h"
#include "testing/PrivateBus.h"
#include "testing/ScriptedMediaPlayer.h"
#include "testing/Subprocess.h"

namespace media {
namespace {

using ScriptedPlayer = testing_support::ScriptedMediaPlayer;
using testing_support::eventually;

std::string playing(const std::string& title, const std::string& artists, const std::string& extra = "") {
    return R"({"status":"Playing","metadata":{"mpris:trackid":["o","/track/1"],"xesam:title":["s",")" +
           title + R"("],"xesam:artist":["as",)" + artists + "]" + extra + "}}";
}

class NowPlayingBusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (auto reason = testing_support::PrivateBus::unavailableReason()) {
            GTEST_SKIP() << *reason;
        }
        if (!testing_support::ScriptedMediaPlayer::isAvailable()) {
            GTEST_SKIP() << "/usr/bin/python3 is not installed";
        }
        bus = std::make_unique<testing_support::PrivateBus>();
    }
    void startFeed(std::unique_ptr<NowPlayingProvider> provider) {
        feed = std::make_shared<NowPlayingFeed>(std::move(provider), ArtworkScaler(360, 61440),
                                                [this](std::optional<NowPlaying> value) {
                                                    std::lock_guard lock(mutex);
                                                    values.push_back(std::move(value));
                                                });
        feed->start();
    }
    std::unique_ptr<NowPlayingProvider> inProcess() {
        SystemNowPlayingProvider::Options options;
        options.busAddress = bus->address();
        auto provider = SystemNowPlayingProvider::inProcess(options);
        EXPECT_TRUE(provider->isAvailable());
        return provider;
    }
    std::vector<std::optional<NowPlaying>> seen() {
        std::lock_guard lock(mutex);
        return values;
    }
    bool waitFor(const std::optional<NowPlaying>& value, double timeout = 5) {
        return eventually([&] { return !seen().empty() && seen().back() == value; }, timeout);
    }
    void TearDown() override { feed.reset(); }

    std::unique_ptr<testing_support::PrivateBus> bus;
    std::shared_ptr<NowPlayingFeed> feed;
    std::mutex mutex;
    std::vector<std::optional<NowPlaying>> values;
};

TEST_F(NowPlayingBusTest, InProcessReadsTheTrackOncePerChangeAndUnavailableWhenThePlayerQuits) {
    ScriptedPlayer player(bus->address(), "first");
    player.send(playing("Song", R"(["A","B"])"));
    startFeed(inProcess());
    ASSERT_TRUE(waitFor(NowPlaying("Song", "A, B", std::nullopt))) << seen().size();
    player.send(playing("Next", R"(["C"])"));
    ASSERT_TRUE(waitFor(NowPlaying("Next", "C", std::nullopt)));
    // The same metadata again changes nothing.
    player.send(playing("Next", R"(["C"])"));
    std::this_thread::sleep_for(std::chrono::milliseconds{300});
    EXPECT_EQ(seen().size(), 2u);
    player.quit();
    ASSERT_TRUE(waitFor(std::nullopt));
    EXPECT_EQ(seen().size(), 3u);
}

TEST_F(NowPlayingBusTest, ABusThatAppearsAfterStartIsFollowed) {
    ScriptedPlayer player(bus->address(), "late");
    player.send(playing("Late", R"(["A"])"));
    // The provider is given an address where nothing listens yet; the bus appears there later.
    const std::filesystem::path later = bus->folder() / "later";
    SystemNowPlayingProvider::Options options;
    options.busAddress = "unix:path=" + later.string();
    options.pollInterval = 0.2;
    startFeed(SystemNowPlayingProvider::inProcess(options));
    ASSERT_TRUE(waitFor(std::nullopt));
    const std::string socket = bus->address().substr(std::string_view("unix:path=").size());
    std::filesystem::create_symlink(socket, later);
    EXPECT_TRUE(waitFor(NowPlaying("Late", "A", std::nullopt)));
}

// A 2000 x 1000 JPEG with detail everywhere, written into the bus's folder; its file URL.
std::string writeCover(const std::filesystem::path& folder) {
    namespace imaging = platform::imaging;
    imaging::Bitmap bitmap = *imaging::Bitmap::create(2000, 1000, imaging::PixelFormat::rgba, 1u << 24);
    std::uint8_t* pixels = bitmap.mutablePixels();
    std::uint32_t noise = 7;
    for (std::size_t i = 0; i < bitmap.bytes().size(); ++i) {
        noise = noise * 1103515245 + 12345;
        pixels[i] = (i % 4 == 3) ? 255 : static_cast<std::uint8_t>(noise >> 24);
    }
    const auto bytes = *imaging::encodeJPEG(bitmap.view(), 90);
    const auto path = folder / "cover art.jpg";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return "file://" + (folder / "cover%20art.jpg").string();
}

void expectSmallJpeg(const std::optional<NowPlaying>& value) {
    ASSERT_TRUE(value && value->artwork);
    const auto info = platform::imaging::readImageInfo(*value->artwork);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->format, platform::imaging::ImageFormat::jpeg);
    EXPECT_EQ(info->width, 360);
    EXPECT_EQ(info->height, 180);
    EXPECT_LE(value->artwork->size(), 61440u);
}

TEST_F(NowPlayingBusTest, FileArtworkArrivesAsASmallJpeg) {
    const std::string cover = writeCover(bus->folder());
    ScriptedPlayer player(bus->address(), "art");
    player.send(playing("Art", R"(["A"])", R"(,"mpris:artUrl":["s",")" + cover + R"("])"));
    startFeed(inProcess());
    ASSERT_TRUE(eventually([&] { return !seen().empty() && seen().back() && seen().back()->artwork; }));
    expectSmallJpeg(seen().back());
    EXPECT_EQ(seen().size(), 1u);
}

// 14 MB of arithmetic-coded scans that took its decoder many seconds, while the title waited for it:
// refused from its header, with a line in the log, and the title comes without it.
TEST_F(NowPlayingBusTest, ArithmeticCodedArtworkIsRefusedAndTheTitleComesWithoutIt) {
    const auto cover = bus->folder() / "coded.jpg";
    const auto bytes = testing_support::zeroRunACScanJPEG(1024, 3416);
    std::ofstream(cover, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    platform::LogCapture capture;
    ScriptedPlayer player(bus->address(), "coded");
    player.send(playing("Coded", R"(["A"])", R"(,"mpris:artUrl":["s","file://)" + cover.string() + R"("])"));
    startFeed(inProcess());
    ASSERT_TRUE(waitFor(NowPlaying("Coded", "A", std::nullopt)));
    EXPECT_TRUE(
        capture.contains("Artwork was not shown: it is an arithmetic-coded JPEG, which is not decoded"));
}

TEST_F(NowPlayingBusTest, APlayingPlayerWinsAndAHungPlayerCostsOneTimeOut) {
    ScriptedPlayer paused(bus->address(), "paused");
    paused.send(R"({"status":"Paused","metadata":{"xesam:title":["s","Paused"]}})");
    ScriptedPlayer hung(bus->address(), "hung");
    hung.send(playing("Hung", R"(["H"])"));
    hung.send(R"({"hang":true})");
    startFeed(inProcess());
    // The hung player is left out after its time-out; the paused one is what remains.
    ASSERT_TRUE(waitFor(NowPlaying("Paused", "", std::nullopt), 4));
    // Signals arriving faster than the hung player's time-out still lead to readings.
    for (int i = 0; i < 12; ++i) {
        paused.send(R"({"status":"Paused","metadata":{"xesam:title":["s","Paused )" + std::to_string(i) +
                    R"("]}})");
        std::this_thread::sleep_for(std::chrono::milliseconds{200});
    }
    const std::size_t duringTheSignals = seen().size();
    ASSERT_TRUE(waitFor(NowPlaying("Paused 11", "", std::nullopt), 4));
    EXPECT_GE(duringTheSignals, 2u) << "no reading while the signals kept coming";

    ScriptedPlayer active(bus->address(), "active");
    active.send(playing("Active", R"(["X"])"));
    ASSERT_TRUE(waitFor(NowPlaying("Active", "X", std::nullopt), 4));
}

TEST_F(NowPlayingBusTest, MetadataOfTheWrongTypesCountsAsMissing) {
    ScriptedPlayer player(bus->address(), "odd");
    player.send(
        R"({"status":"Playing","metadata":{"xesam:title":["i",5],"xesam:artist":["s","Solo"],"mpris:artUrl":["x",3]}})");
    startFeed(inProcess());
    ASSERT_TRUE(waitFor(std::nullopt));
    player.send(
        R"({"status":"Playing","metadata":{"xesam:title":["s","Fine"],"xesam:artist":["as",[]],"mpris:artUrl":["s","http://example.invalid/a.jpg"]}})");
    ASSERT_TRUE(waitFor(NowPlaying("Fine", "", std::nullopt)));
}

TEST_F(NowPlayingBusTest, HelperReadsThePlayerAndIsRelaunchedAfterItIsKilled) {
    const std::string cover = writeCover(bus->folder());
    ScriptedPlayer player(bus->address(), "helped");
    player.send(playing("Helped", R"(["Band"])", R"(,"mpris:artUrl":["s",")" + cover + R"("])"));
    testing_support::ScopedEnvironment environment({{"DBUS_SESSION_BUS_ADDRESS", bus->address()}});
    auto helper = NowPlayingHelper::make(LUMIVEX_NOW_PLAYING_HELPER, 360, 0.2, 5.0);
    ASSERT_NE(helper, nullptr);
    startFeed(SystemNowPlayingProvider::withHelper(helper));
    ASSERT_TRUE(eventually([&] { return !seen().empty() && seen().back() && seen().back()->artwork; }));
    EXPECT_EQ(seen().back()->title, "Helped");
    expectSmallJpeg(seen().back());
    player.send(playing("Again", R"(["Band"])"));
    ASSERT_TRUE(waitFor(NowPlaying("Again", "Band", std::nullopt)));

    const auto findChild = [] {
        const auto result = testing_support::runCommand(
            {"pgrep", "-P", std::to_string(::getpid()), "-f", "lumivex-now-playing"},
            std::chrono::seconds{2});
        return result.output.empty() ? 0 : std::stoi(result.output);
    };
    const int child = findChild();
    ASSERT_GT(child, 0);
    const auto killed = std::chrono::steady_clock::now();
    ::kill(child, SIGKILL);
    ASSERT_TRUE(waitFor(std::nullopt));
    ASSERT_TRUE(waitFor(NowPlaying("Again", "Band", std::nullopt), 10));
    const double relaunchedAfter =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
    EXPECT_GT(relaunchedAfter, 4.5);
    EXPECT_LT(relaunchedAfter, 8);
}

TEST_F(NowPlayingBusTest, HelperWithoutABusSaysUnsupportedAndIsNotRelaunched) {
    testing_support::ScopedEnvironment environment(
        {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (bus->folder() / "nothing-here").string()}});
    const auto direct =
        testing_support::runCommand({LUMIVEX_NOW_PLAYING_HELPER, "1.0", "360"}, std::chrono::seconds{5});
    EXPECT_EQ(direct.output, "{\"unsupported\":true}\n");

    auto helper = std::make_shared<NowPlayingHelper>(
        std::vector<std::string>{LUMIVEX_NOW_PLAYING_HELPER, "1.0", "360"}, 0.2);
    startFeed(SystemNowPlayingProvider::withHelper(helper));
    ASSERT_TRUE(waitFor(std::nullopt));
    std::this_thread::sleep_for(std::chrono::milliseconds{800});
    EXPECT_EQ(seen().size(), 1u);
    EXPECT_TRUE(
        testing_support::runCommand({"pgrep", "-P", std::to_string(::getpid()), "-f", "lumivex-now-playing"},
                                    std::chrono::seconds{2})
            .output.empty());
}

TEST_F(NowPlayingBusTest, APlayerThatRefusesEveryCommandCostsTheLogAFewLinesPerWindow) {
    ScriptedPlayer player(bus->address(), "refusing");
    player.send(R"({"refuse":true})");
    // The player now playing shows, as the reader names it: each command goes to it at once.
    auto shown = std::make_shared<ShownPlayer>();
    shown->set("org.mpris.MediaPlayer2.refusing");
    auto control = std::make_unique<MprisPlayerControl>(MprisPlayerControl::Options{bus->address()}, shown);
    ASSERT_TRUE(eventually([&] { return control->hasPlayer(); }));
    platform::LogCapture capture;
    const auto refusals = [&] {
        std::size_t count = 0;
        for (const auto& entry : capture.entries()) {
            count += entry.message.find("refused") != std::string::npos ? 1 : 0;
        }
        return count;
    };
    for (int i = 0; i < 300; ++i) {
        control->send(MprisPlayerControl::Command::playPause);
    }
    // Every refusal has come back once the log stays still.
    std::size_t seen = 0;
    for (int quiet = 0, rounds = 0; quiet < 5 && rounds < 100; ++rounds) {
        std::this_thread::sleep_for(std::chrono::milliseconds{200});
        const std::size_t now = refusals();
        quiet = now == seen && now > 0 ? quiet + 1 : 0;
        seen = now;
    }
    EXPECT_GE(seen, 1u);
    EXPECT_LE(seen, 25u);
    // What was held back is told in one line when the control goes.
    control.reset();
    EXPECT_TRUE(capture.contains("more refused media commands were not logged"));
}

}  // namespace
}  // namespace media
