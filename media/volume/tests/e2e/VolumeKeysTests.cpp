// The volume display's key presses on a private Xvfb, seen by a window holding the keyboard focus.
#include <gtest/gtest.h>

#include <thread>

#include "media/volume/SystemVolumeOSD.h"
#include "media/volume/tests/FakeVolume.h"
#include "platform/Executor.h"
#include "testing/XTestWindow.h"
#include "testing/XvfbServer.h"

namespace media {
namespace {

using Kind = testing_support::XTestWindow::Event::Kind;
using fakes::FakeVolumeProvider;

constexpr std::uint32_t raiseVolume = 0x1008FF13;
constexpr std::uint32_t lowerVolume = 0x1008FF11;
constexpr std::uint32_t muteKey = 0x1008FF12;

struct Press {
    Kind kind;
    std::uint32_t keysym;
    friend bool operator==(const Press&, const Press&) = default;
};

class VolumeKeysTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing_support::XvfbServer::isInstalled()) {
            GTEST_SKIP() << "Xvfb is not installed";
        }
        server = std::make_unique<testing_support::XvfbServer>();
        window = std::make_unique<testing_support::XTestWindow>(server->displayName());
    }

    // A display with the real key press, clock and sleep; `reacts` makes the output move after a press.
    std::unique_ptr<SystemVolumeOSD> makeOSD(bool reacts) {
        auto press = SystemVolumeOSD::xTestKeyPresser(server->displayName());
        return std::make_unique<SystemVolumeOSD>(
            [this, press, reacts](SystemVolumeOSD::Key key) {
                press(key);
                if (reacts) {
                    provider.set({0.99, false});
                }
            },
            [] { return platform::monotonicSeconds(); },
            [](double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); });
    }
    void show(SystemVolumeOSD& osd, VolumeReading from, VolumeReading to) {
        provider.set(from);
        osd.showChange(from, to, provider);
    }
    // The key events seen once `count` have arrived (or after a short while), and a little longer.
    std::vector<Press> presses(std::size_t count) {
        std::vector<Press> seen;
        const auto collect = [&] {
            for (const auto& event : window->takeEvents()) {
                if (event.kind == Kind::keyPress || event.kind == Kind::keyRelease) {
                    seen.push_back({event.kind, event.keysym});
                }
            }
        };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds{2};
        while (seen.size() < count && std::chrono::steady_clock::now() < deadline) {
            collect();
            std::this_thread::sleep_for(std::chrono::milliseconds{5});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds{50});
        collect();
        return seen;
    }

    std::unique_ptr<testing_support::XvfbServer> server;
    std::unique_ptr<testing_support::XTestWindow> window;
    FakeVolumeProvider provider;
};

TEST_F(VolumeKeysTest, EachKeyGoesDownAndUpAtMostOncePerSecond) {
    auto osd = makeOSD(true);
    show(*osd, {0.5, false}, {0.6, false});
    show(*osd, {0.5, false}, {0.4, false});  // within the second: no press
    EXPECT_EQ(presses(2),
              (std::vector<Press>{{Kind::keyPress, raiseVolume}, {Kind::keyRelease, raiseVolume}}));

    std::this_thread::sleep_for(std::chrono::milliseconds{1050});
    show(*osd, {0.5, false}, {0.4, false});
    std::this_thread::sleep_for(std::chrono::milliseconds{1050});
    show(*osd, {0.5, false}, {0.5, true});
    EXPECT_EQ(presses(4), (std::vector<Press>{{Kind::keyPress, lowerVolume},
                                              {Kind::keyRelease, lowerVolume},
                                              {Kind::keyPress, muteKey},
                                              {Kind::keyRelease, muteKey}}));
}

TEST_F(VolumeKeysTest, NoKeyDuringThePauseAfterTheOutputIgnoredOne) {
    // Nothing on bare Xvfb turns the keys into volume changes, so the first press is ignored.
    auto osd = makeOSD(false);
    show(*osd, {0.5, false}, {0.6, false});
    EXPECT_EQ(presses(2).size(), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds{1100});
    show(*osd, {0.5, false}, {0.7, false});
    EXPECT_TRUE(presses(0).empty());
}

}  // namespace
}  // namespace media
