// The companion under a paired phone that floods it with requests it never reads, while an honest phone
// asks for an icon and the volume: the honest phone is answered after at most one of the flood's
// requests, and a stop signal ends the process at once instead of working through the backlog.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/imaging/Bitmap.h"
#include "platform/imaging/Codecs.h"
#include "testing/CompanionProcess.h"
#include "testing/PhoneTestClient.h"
#include "testing/XvfbServer.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PhoneTestClient;
using TrackpadProtocol::Message;
using Clock = std::chrono::steady_clock;

constexpr int appCount = 4;
constexpr int floodRequests = 300;

class CompanionLoad : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing_support::XvfbServer::isInstalled()) {
            GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh brings it)";
        }
        server = std::make_unique<testing_support::XvfbServer>();
        // Icons that take a while to decode: large pictures of noise (within the 8 MiB an icon file may have),
        // one per application.
        const auto applications = folder.path / "data" / "applications";
        std::filesystem::create_directories(applications);
        std::mt19937 random(7);
        for (int app = 0; app < appCount; ++app) {
            auto bitmap = platform::imaging::Bitmap::create(1400, 1400, platform::imaging::PixelFormat::rgba,
                                                            std::uint64_t{1400} * 1400);
            ASSERT_TRUE(bitmap);
            for (std::size_t i = 0; i < bitmap->stride() * 1400; ++i) {
                bitmap->mutablePixels()[i] = static_cast<std::uint8_t>(random());
            }
            const auto png = platform::imaging::encodePNG(bitmap->view(), 1);
            ASSERT_TRUE(png);
            const auto icon = folder.path / ("icon-" + std::to_string(app) + ".png");
            std::ofstream(icon, std::ios::binary).write(reinterpret_cast<const char*>(png->data()),
                                                        static_cast<std::streamsize>(png->size()));
            std::ofstream(applications / ("load-" + std::to_string(app) + ".desktop"))
                << "[Desktop Entry]\nType=Application\nName=Load " << app << "\nExec=true\nIcon=" << icon.string()
                << "\n";
        }
        companion = std::make_unique<testing_support::CompanionProcess>(
            LUMIVEX_COMPANION_PATH, folder.path, server->displayName(), std::vector<std::string>{},
            testing_support::EnvironmentChanges{{"XDG_DATA_DIRS", (folder.path / "none").string()}});
        endpoint = companion->waitUntilReady();
        flood = companion->pair(endpoint, "Flood");
        honest = companion->pair(endpoint, "Honest");
        flood->send(Message::AppsRequest{TrackpadProtocol::AppListKind::installed});
        const auto installed = flood->receiveCase<Message::InstalledApps>(10);
        ASSERT_TRUE(installed) << companion->log();
        for (const auto& app : installed->part.apps) {
            bundleIDs.push_back(app.bundleID);
        }
        ASSERT_EQ(bundleIDs.size(), static_cast<std::size_t>(appCount));
    }

    // Icons of every size, so that no answer can be a copy of an earlier one. Returns once the companion
    // has taken every request in (its answer to a probe sent after them has come), having read the
    // answers sent so far only when `readAnswers` says so.
    void sendFlood(bool readAnswers) {
        for (int i = 0; i < floodRequests; ++i) {
            flood->send(Message::AppIconRequest{
                {bundleIDs[static_cast<std::size_t>(i) % bundleIDs.size()], static_cast<std::uint16_t>(200 + i)}});
        }
        if (readAnswers) {
            flood->send(Message::Probe{++probes, false});
            ASSERT_TRUE(flood->receiveCase<Message::ProbeReply>(30)) << companion->log();
        } else {
            // The honest phone's probe comes after the flood's requests have been read as often as not;
            // a moment more makes sure.
            honest->send(Message::Probe{++probes, false});
            ASSERT_TRUE(honest->receiveCase<Message::ProbeReply>(30)) << companion->log();
            std::this_thread::sleep_for(300ms);
        }
    }

    testing_support::TemporaryFolder folder;
    std::unique_ptr<testing_support::XvfbServer> server;
    std::unique_ptr<testing_support::CompanionProcess> companion;
    PhoneTestClient::Endpoint endpoint;
    std::unique_ptr<PhoneTestClient> flood;
    std::unique_ptr<PhoneTestClient> honest;
    std::vector<std::string> bundleIDs;
    std::uint32_t probes = 0;
};

// Each of the flood's icons takes tens of milliseconds: served in arrival order, the honest phone's
// answers would come only after the whole backlog, many seconds later.
TEST_F(CompanionLoad, AnHonestPhoneIsAnsweredBetweenTheFloodsRequestsAndAStopDropsTheBacklog) {
    sendFlood(true);
    const auto asked = Clock::now();
    honest->send(Message::AppIconRequest{{bundleIDs[0], 64}});
    const auto icon = honest->receiveCase<Message::AppIcon>(30);
    ASSERT_TRUE(icon) << companion->log();
    EXPECT_TRUE(icon->icon.image.has_value());
    honest->send(Message::VolumeStatusRequest{});
    EXPECT_TRUE(honest->receiveCase<Message::VolumeStatus>(30));
    const double waited = std::chrono::duration<double>(Clock::now() - asked).count();
    EXPECT_LT(waited, 2.0) << "the honest phone waited behind the flood";

    // A fresh backlog, taken in by the companion before the signal comes, its answers unread.
    sendFlood(false);
    const auto stopped = Clock::now();
    EXPECT_EQ(companion->stop(SIGTERM), 0) << companion->log();
    const double stopping = std::chrono::duration<double>(Clock::now() - stopped).count();
    EXPECT_LT(stopping, 1.5) << "the stop worked through the backlog";
    RecordProperty("honest_wait_ms", static_cast<int>(waited * 1000));
    RecordProperty("stop_ms", static_cast<int>(stopping * 1000));
    std::printf("honest phone answered after %.3f s; stopped after %.3f s\n", waited, stopping);
}

}  // namespace
