// The display directory against a private Xvfb split into RandR monitors, changed while the directory runs.
#include "platform/DisplayDirectory.h"

#include <signal.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/EventLoop.h"
#include "testing/Subprocess.h"
#include "testing/XvfbServer.h"

namespace platform {
namespace {

using namespace std::chrono_literals;
using testing_support::XvfbServer;

template <class Condition>
bool runUntil(EventLoop& loop, Condition done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        loop.runFor(0.02);
    return done();
}

class DisplayDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!XvfbServer::isInstalled())
            GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh installs it)";
        XvfbServer::Options options;
        options.width = 3200;
        options.height = 1440;
        options.monitors = {{"DP-1", 0, 0, 1920, 1080, false}, {"eDP-1", 1920, 0, 1280, 800, true}};
        xvfb_ = std::make_unique<XvfbServer>(options);
        directory_ = DisplayDirectory::open(loop_, xvfb_->displayName());
        ASSERT_NE(directory_, nullptr);
    }

    void run(const std::vector<std::string>& command) {
        const auto result = testing_support::runCommand(command, 10s, {{"DISPLAY", xvfb_->displayName()}});
        ASSERT_EQ(result.exitCode, 0) << command[0] << ": " << result.errors;
    }

    const DisplayInfo* named(const std::string& name) {
        for (const auto& display : directory_->displays().value())
            if (display.name == name)
                return &display;
        return nullptr;
    }

    EventLoop loop_;
    std::unique_ptr<XvfbServer> xvfb_;
    std::unique_ptr<DisplayDirectory> directory_;
};

TEST_F(DisplayDirectoryTest, ListsMonitorsWithTheirFramesAndTraitsMainFirst) {
    const auto& list = directory_->displays().value();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "eDP-1");
    EXPECT_TRUE(list[0].isMain);
    EXPECT_TRUE(list[0].isBuiltIn);
    EXPECT_EQ(list[0].frame, (DisplayFrame{1920, 0, 1280, 800}));
    EXPECT_EQ(list[1].name, "DP-1");
    EXPECT_FALSE(list[1].isMain);
    EXPECT_FALSE(list[1].isBuiltIn);
    EXPECT_EQ(list[1].frame, (DisplayFrame{0, 0, 1920, 1080}));
    EXPECT_NE(list[0].id, list[1].id);
    EXPECT_NE(list[0].id, 0u);
    EXPECT_EQ(directory_->mainDisplay()->id, list[0].id);
    EXPECT_EQ(directory_->display(list[1].id)->name, "DP-1");
}

TEST_F(DisplayDirectoryTest, ChangesArriveOnTheLoopAndIdsLastWhileAMonitorLives) {
    const std::uint32_t laptop = named("eDP-1")->id;
    const std::uint32_t external = named("DP-1")->id;
    int notifications = 0;
    auto subscription = directory_->displays().subscribe([&](const std::vector<DisplayInfo>&) {
        EXPECT_TRUE(loop_.isCurrent());
        ++notifications;
    });
    // Xvfb sends no RandR event when its monitors are edited; making its output primary sends the output
    // change a real display being plugged in or out would.
    bool primary = false;
    auto announce = [&] {
        primary = !primary;
        run(primary ? std::vector<std::string>{"xrandr", "--output", "screen", "--primary"}
                    : std::vector<std::string>{"xrandr", "--noprimary"});
    };

    xvfb_->setMonitors({{"HDMI-2", 0, 1080, 1280, 360, false}});
    announce();
    ASSERT_TRUE(runUntil(loop_, [&] { return named("HDMI-2") != nullptr; }));
    EXPECT_EQ(notifications, 1);
    EXPECT_EQ(named("HDMI-2")->frame, (DisplayFrame{0, 1080, 1280, 360}));
    EXPECT_EQ(named("eDP-1")->id, laptop);
    EXPECT_EQ(named("DP-1")->id, external);
    const std::uint32_t added = named("HDMI-2")->id;
    EXPECT_NE(added, laptop);
    EXPECT_NE(added, external);

    // A resized monitor keeps its id.
    xvfb_->setMonitors({{"HDMI-2", 0, 1080, 1000, 300, false}});
    announce();
    ASSERT_TRUE(runUntil(loop_, [&] { return named("HDMI-2")->frame.width == 1000; }));
    EXPECT_EQ(named("HDMI-2")->id, added);

    xvfb_->deleteMonitor("HDMI-2");
    announce();
    ASSERT_TRUE(runUntil(loop_, [&] { return named("HDMI-2") == nullptr; }));
    EXPECT_EQ(directory_->displays().value().size(), 2u);

    // Back again, it is a new display with a new id.
    xvfb_->setMonitors({{"HDMI-2", 0, 1080, 1280, 360, false}});
    announce();
    ASSERT_TRUE(runUntil(loop_, [&] { return named("HDMI-2") != nullptr; }));
    EXPECT_NE(named("HDMI-2")->id, added);
    EXPECT_EQ(named("eDP-1")->id, laptop);

    // An event that changes nothing notifies no one.
    const int before = notifications;
    announce();
    loop_.runFor(0.3);
    EXPECT_EQ(notifications, before);
}

TEST_F(DisplayDirectoryTest, MonitorsSetWithoutAnEventAreSeenOnRefreshAndByLookingAgain) {
    int notifications = 0;
    auto subscription =
        directory_->displays().subscribe([&](const std::vector<DisplayInfo>&) { ++notifications; });
    // No RandR event follows: only a fresh look finds the monitor.
    xvfb_->setMonitors({{"HDMI-2", 0, 1080, 1280, 360, false}});
    loop_.runFor(0.3);
    EXPECT_EQ(named("HDMI-2"), nullptr);
    directory_->refresh();
    ASSERT_NE(named("HDMI-2"), nullptr);
    EXPECT_EQ(notifications, 1);
    directory_->refresh();
    EXPECT_EQ(notifications, 1);

    directory_->refreshEvery(100ms);
    xvfb_->deleteMonitor("HDMI-2");
    ASSERT_TRUE(runUntil(loop_, [&] { return named("HDMI-2") == nullptr; }));
    EXPECT_EQ(notifications, 2);
    directory_->refreshEvery(0ms);
    xvfb_->setMonitors({{"HDMI-2", 0, 1080, 1280, 360, false}});
    loop_.runFor(0.4);
    EXPECT_EQ(named("HDMI-2"), nullptr);
}

TEST_F(DisplayDirectoryTest, LooksAtABusyServerHoldUpNothingOnTheLoop) {
    directory_->refreshEvery(50ms);
    // The server answers nothing for a while, as one busy copying a large screen for another client.
    ASSERT_EQ(::kill(xvfb_->pid(), SIGSTOP), 0);
    std::atomic<bool> answering{false};
    std::thread resume([&] {
        std::this_thread::sleep_for(1500ms);
        answering = true;
        ::kill(xvfb_->pid(), SIGCONT);
    });
    int servedMeanwhile = 0;
    for (int i = 1; i <= 10; ++i)
        loop_.schedule(std::chrono::milliseconds(30 * i), [&] { servedMeanwhile += answering ? 0 : 1; });
    loop_.runFor(0.5);
    resume.join();
    EXPECT_EQ(servedMeanwhile, 10) << "the loop waited for the server";
    // Once it answers again, the looks catch up.
    xvfb_->setMonitors({{"HDMI-2", 0, 1080, 1280, 360, false}});
    EXPECT_TRUE(runUntil(loop_, [&] { return named("HDMI-2") != nullptr; }));
}

TEST_F(DisplayDirectoryTest, ANameInLatin1ComesOutAsUtf8) {
    // X names are ISO-8859-1: "\xe9cran" is "écran", which is "\xc3\xa9cran" in UTF-8.
    xvfb_->setMonitors({{"\xe9" "cran", 0, 1080, 1280, 360, false}});
    directory_->refresh();
    EXPECT_NE(named("\xc3\xa9" "cran"), nullptr);
    EXPECT_EQ(named("\xe9" "cran"), nullptr);
}

TEST_F(DisplayDirectoryTest, FindsThePointersDisplayAndSurvivesTheServerGoing) {
    run({"xdotool", "mousemove", "2000", "500"});
    EXPECT_EQ(directory_->pointerDisplay()->name, "eDP-1");
    run({"xdotool", "mousemove", "100", "100"});
    const auto location = directory_->pointerLocation();
    ASSERT_TRUE(location);
    EXPECT_EQ(location->x, 100);
    EXPECT_EQ(directory_->pointerDisplay()->name, "DP-1");
    // Below the laptop panel lies no monitor: the nearest one is the pointer's.
    run({"xdotool", "mousemove", "2500", "1300"});
    EXPECT_EQ(directory_->pointerDisplay()->name, "eDP-1");

    const auto before = directory_->displays().value();
    xvfb_.reset();
    ASSERT_TRUE(runUntil(loop_, [&] { return !directory_->connected(); }));
    EXPECT_FALSE(directory_->pointerDisplay());
    EXPECT_EQ(directory_->displays().value(), before);
    loop_.runFor(0.05);  // a hung-up descriptor does not spin the loop or crash it
}

}  // namespace
}  // namespace platform
