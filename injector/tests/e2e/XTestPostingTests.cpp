// The X11 poster and geometry against a private Xvfb: what the builders produce must arrive at a real
// window as the right pointer motion, buttons, wheel clicks and keys.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <chrono>
#include <limits>
#include <memory>
#include <thread>

#include "injector/HIDEventPoster.h"
#include "injector/MediaKeys.h"
#include "injector/PointerEvents.h"
#include "injector/SystemScreenGeometry.h"
#include "testing/XTestWindow.h"
#include "testing/XvfbServer.h"

namespace Injector {
namespace {

using testing_support::XTestWindow;
using testing_support::XvfbServer;
using Kind = XTestWindow::Event::Kind;

constexpr std::uint16_t button1Mask = 1 << 8;

struct Press {
    Kind kind;
    int detail;
    friend bool operator==(const Press&, const Press&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Press& p) {
        return out << "{" << int(p.kind) << ", " << p.detail << "}";
    }
};

// Buttons and keys only, without the motion between them.
std::vector<Press> presses(const std::vector<XTestWindow::Event>& events) {
    std::vector<Press> result;
    for (const auto& event : events) {
        if (event.kind != Kind::motion) {
            result.push_back({event.kind, event.kind == Kind::keyPress || event.kind == Kind::keyRelease
                                              ? int(event.keysym)
                                              : event.detail});
        }
    }
    return result;
}

std::vector<Press> wheelClicks(int button, int count) {
    std::vector<Press> result;
    for (int i = 0; i < count; ++i) {
        result.push_back({Kind::buttonPress, button});
        result.push_back({Kind::buttonRelease, button});
    }
    return result;
}

class XTestPostingTest : public ::testing::Test {
  protected:
    void start(XvfbServer::Options options = {}) {
        if (!XvfbServer::isInstalled()) {
            GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh brings it)";
        }
        server = std::make_unique<XvfbServer>(options);
        poster = std::make_unique<HIDEventPoster>(server->displayName());
        geometry = std::make_unique<SystemScreenGeometry>(server->displayName());
        window = std::make_unique<XTestWindow>(server->displayName());
        ASSERT_TRUE(poster->isAvailable());
        builder.displays = geometry->displays();
        builder.location = geometry->cursorLocation();
    }
    void SetUp() override { start(); }

    // Posts the events and returns what the window received because of them.
    std::vector<XTestWindow::Event> post(const EventList& events) {
        for (const InputEvent& event : events) {
            poster->post(event);
        }
        poster->sync();
        return window->takeEvents();
    }
    void moveTo(Point point) {
        builder.location = point;
        post(builder.move(0.0001, 0));
    }
    std::pair<int, int> pointer() {
        const XTestWindow::Pointer p = window->queryPointer();
        return {p.x, p.y};
    }

    std::unique_ptr<XvfbServer> server;
    std::unique_ptr<HIDEventPoster> poster;
    std::unique_ptr<SystemScreenGeometry> geometry;
    std::unique_ptr<XTestWindow> window;
    PointerEventBuilder builder{0.4, 2.0};
};

TEST_F(XTestPostingTest, MovesFarOffScreenStopAtTheEdges) {
    EXPECT_EQ(builder.displays, (std::vector<Rect>{{0, 0, 1920, 1080}}));
    post(builder.move(-1e4, -1e4));
    EXPECT_EQ(pointer(), std::make_pair(0, 0));
    EXPECT_EQ(geometry->cursorLocation(), (Point{0, 0}));
    post(builder.move(1e4, 1e4));
    EXPECT_EQ(pointer(), std::make_pair(1919, 1079));
}

TEST_F(XTestPostingTest, SubPixelMotionMovesWholePixelsAtTheFloor) {
    moveTo({500, 500});
    for (int k = 1; k <= 16; ++k) {
        post(builder.move(0.25, -0.125));
        ASSERT_EQ(pointer(), std::make_pair(500 + k / 4, int(std::floor(500.0001 - 0.125 * k)))) << k;
    }
    EXPECT_EQ(pointer(), std::make_pair(504, 498));
}

TEST_F(XTestPostingTest, TapsAndRightClickArriveAsButtonPressesAtThePointer) {
    moveTo({300, 200});
    auto events = post(builder.click(1, 0));
    EventList second = builder.click(2, 0.2);
    ASSERT_EQ(second[0].integerField(EventField::mouseEventClickState), 2) << "kept in the record only";
    auto more = post(second);
    events.insert(events.end(), more.begin(), more.end());
    more = post(builder.rightClick());
    events.insert(events.end(), more.begin(), more.end());
    EXPECT_EQ(presses(events), (std::vector<Press>{{Kind::buttonPress, 1},
                                                   {Kind::buttonRelease, 1},
                                                   {Kind::buttonPress, 1},
                                                   {Kind::buttonRelease, 1},
                                                   {Kind::buttonPress, 3},
                                                   {Kind::buttonRelease, 3}}));
    for (const auto& event : events) {
        if (event.kind != Kind::motion) {
            EXPECT_EQ(event.x, 300);
            EXPECT_EQ(event.y, 200);
        }
    }
}

TEST_F(XTestPostingTest, AClickLandsAtItsLocationAfterTheUserMovedThePointer) {
    moveTo({300, 200});
    // The user's mouse (another client here) takes the pointer elsewhere; the phone then taps in place.
    HIDEventPoster mouse(server->displayName());
    mouse.post(InputEvent::mouse(EventType::mouseMoved, {900, 700}, MouseButton::left));
    mouse.sync();
    ASSERT_EQ(pointer(), std::make_pair(900, 700));
    const auto events = post(builder.click(1, 0));
    ASSERT_EQ(presses(events), (std::vector<Press>{{Kind::buttonPress, 1}, {Kind::buttonRelease, 1}}));
    for (const auto& event : events) {
        if (event.kind != Kind::motion) {
            EXPECT_EQ(std::make_pair(event.x, event.y), std::make_pair(300, 200));
        }
    }
}

// After a pause, the phone moves the pointer back to the pixel it left it on, which the user's mouse has
// moved it away from meanwhile: the motion must not be taken for one that changes nothing.
TEST_F(XTestPostingTest, AMoveBackToTheLastPixelAfterTheUserMovedThePointerArrives) {
    moveTo({300, 200});
    HIDEventPoster mouse(server->displayName());
    mouse.post(InputEvent::mouse(EventType::mouseMoved, {301, 200}, MouseButton::left));
    mouse.sync();
    ASSERT_EQ(pointer(), std::make_pair(301, 200));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    moveTo({300, 200});
    EXPECT_EQ(pointer(), std::make_pair(300, 200));
}

TEST_F(XTestPostingTest, DragHoldsButtonOneWhileMoving) {
    moveTo({100, 100});
    auto events = post(builder.drag(DragPhase::began, 0, 0));
    for (int i = 0; i < 10; ++i) {
        auto more = post(builder.drag(DragPhase::changed, 10, 5));
        events.insert(events.end(), more.begin(), more.end());
    }
    EXPECT_EQ(window->queryPointer().mask & button1Mask, button1Mask);
    auto more = post(builder.drag(DragPhase::ended, 0.5, 0));
    events.insert(events.end(), more.begin(), more.end());

    EXPECT_EQ(presses(events), (std::vector<Press>{{Kind::buttonPress, 1}, {Kind::buttonRelease, 1}}));
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().x, 100);
    EXPECT_EQ(events.back().kind, Kind::buttonRelease);
    EXPECT_EQ(events.back().x, 200);
    EXPECT_EQ(events.back().y, 150);
    int draggedMotions = 0;
    for (const auto& event : events) {
        draggedMotions += event.kind == Kind::motion && (event.state & button1Mask) ? 1 : 0;
    }
    EXPECT_EQ(draggedMotions, 10);
    EXPECT_EQ(window->queryPointer().mask & button1Mask, 0);
}

TEST_F(XTestPostingTest, ScrollGivesWheelClicksOfItsDirection) {
    // Positive vertical amounts scroll up (button 4), positive horizontal ones left (button 6); 50
    // pixels make a click, and fractions of a click carry over within one scroll.
    EXPECT_EQ(presses(post(builder.scroll(ScrollPhase::began, 0, 100))), wheelClicks(4, 2));
    EXPECT_EQ(presses(post(builder.scroll(ScrollPhase::changed, 0, -130))), wheelClicks(5, 2));
    EXPECT_EQ(presses(post(builder.scroll(ScrollPhase::changed, 0, -20))), wheelClicks(5, 1));
    EXPECT_EQ(presses(post(builder.scroll(ScrollPhase::changed, 120, 0))), wheelClicks(6, 2));
    EXPECT_EQ(presses(post(builder.scroll(ScrollPhase::changed, -170, 0))), wheelClicks(7, 3));
    EXPECT_TRUE(post(builder.scroll(ScrollPhase::ended, 0, 0)).empty());
    EXPECT_TRUE(post(builder.scroll(ScrollPhase::momentum, 0, 20)).empty());
    EXPECT_EQ(presses(post(builder.scroll(ScrollPhase::momentum, 0, 30))), wheelClicks(4, 1));
    EXPECT_TRUE(post(builder.scroll(ScrollPhase::momentumEnded, 0, 0)).empty());
}

TEST_F(XTestPostingTest, HugeScrollAmountIsCapped) {
    EXPECT_EQ(presses(post(builder.scroll(ScrollPhase::began, 0, -1e12))), wheelClicks(5, 64));
}

TEST_F(XTestPostingTest, TinyClickSizeStillGivesCappedClicks) {
    HIDEventPoster::Options options;
    options.pixelsPerWheelClick = 1e-310;
    options.maximumWheelClicksPerEvent = 3;
    poster = std::make_unique<HIDEventPoster>(server->displayName(), options);
    EXPECT_EQ(presses(post(builder.scroll(ScrollPhase::began, 0, 2e9))), wheelClicks(4, 3));
    EXPECT_EQ(presses(post(builder.scroll(ScrollPhase::changed, 0, -2e9))), wheelClicks(5, 3));
    EXPECT_EQ(presses(post(builder.scroll(ScrollPhase::changed, 0, 1))), wheelClicks(4, 3));
}

TEST_F(XTestPostingTest, MediaCommandsGiveTheirKeysyms) {
    const std::pair<MediaCommand, std::uint32_t> cases[] = {
        {MediaCommand::playPause, XKB_KEY_XF86AudioPlay},
        {MediaCommand::next, XKB_KEY_XF86AudioNext},
        {MediaCommand::previous, XKB_KEY_XF86AudioPrev},
        {MediaCommand::volumeUp, XKB_KEY_XF86AudioRaiseVolume},
        {MediaCommand::volumeDown, XKB_KEY_XF86AudioLowerVolume},
        {MediaCommand::mute, XKB_KEY_XF86AudioMute},
        {MediaCommand::brightnessUp, XKB_KEY_XF86MonBrightnessUp},
        {MediaCommand::brightnessDown, XKB_KEY_XF86MonBrightnessDown},
    };
    for (const auto& [command, keysym] : cases) {
        const std::uint8_t index = *mediaKeyIndex(command);
        const auto events = post({*makeMediaKeyEvent(true, injectedEventTag, index),
                                  *makeMediaKeyEvent(false, injectedEventTag, index)});
        EXPECT_EQ(presses(events),
                  (std::vector<Press>{{Kind::keyPress, int(keysym)}, {Kind::keyRelease, int(keysym)}}))
            << "command " << int(command);
    }
}

TEST_F(XTestPostingTest, MediaKeysFollowKeymapChanges) {
    const std::optional<int> original = window->keycodeOf(XKB_KEY_XF86AudioPlay);
    const std::optional<int> spare = window->unusedKeycode();
    ASSERT_TRUE(original && spare);
    const std::uint8_t index = *mediaKeyIndex(MediaCommand::playPause);
    const EventList playPause = {*makeMediaKeyEvent(true, injectedEventTag, index),
                                 *makeMediaKeyEvent(false, injectedEventTag, index)};
    auto events = post(playPause);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].detail, *original);

    // The default keymap gives the keysym to more than one key.
    while (const std::optional<int> bound = window->keycodeOf(XKB_KEY_XF86AudioPlay)) {
        window->bindKey(*bound, 0);
    }
    poster->sync();  // the poster hears of the change before it posts again
    EXPECT_TRUE(post(playPause).empty()) << "no key gives the keysym: nothing is posted";

    window->bindKey(*spare, XKB_KEY_XF86AudioPlay);
    poster->sync();
    events = post(playPause);
    EXPECT_EQ(presses(events), (std::vector<Press>{{Kind::keyPress, int(XKB_KEY_XF86AudioPlay)},
                                                   {Kind::keyRelease, int(XKB_KEY_XF86AudioPlay)}}));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].detail, *spare);
}

TEST_F(XTestPostingTest, LostDisplayIsSurvived) {
    window.reset();
    server.reset();
    for (int i = 0; i < 3; ++i) {
        poster->post(builder.move(1, 1).front());
        poster->post(*makeMediaKeyEvent(true, injectedEventTag, 5));
    }
    poster->sync();
    EXPECT_FALSE(poster->isAvailable());
    EXPECT_FALSE(geometry->cursorLocation().has_value());
    EXPECT_TRUE(geometry->displays().empty());
}

TEST(XTestPosting, UnreachableDisplayGivesAQuietPoster) {
    HIDEventPoster poster(":65000");
    EXPECT_FALSE(poster.isAvailable());
    poster.post(InputEvent::mouse(EventType::leftMouseDown, {1, 1}, MouseButton::left));
    poster.sync();
    SystemScreenGeometry geometry(":65000");
    EXPECT_FALSE(geometry.cursorLocation().has_value());
    EXPECT_TRUE(geometry.displays().empty());
}

class TwoMonitorTest : public XTestPostingTest {
  protected:
    void SetUp() override {
        XvfbServer::Options options;
        options.width = 3200;
        options.height = 1080;
        options.monitors = {{"DP-1", 0, 0, 1920, 1080, false}, {"DP-2", 1920, 0, 1280, 720, true}};
        start(options);
    }
};

TEST_F(TwoMonitorTest, ListsMonitorsPrimaryFirst) {
    EXPECT_EQ(builder.displays, (std::vector<Rect>{{1920, 0, 1280, 720}, {0, 0, 1920, 1080}}));
}

TEST_F(TwoMonitorTest, MotionBelowTheSmallerMonitorStopsAtItsBottomEdge) {
    moveTo({1000, 500});
    post(builder.move(1500, 500));
    EXPECT_EQ(pointer(), std::make_pair(2500, 719));
    // Across to the larger monitor, down to its bottom edge.
    post(builder.move(-1000, 1e4));
    EXPECT_EQ(pointer(), std::make_pair(1500, 1079));
}

}  // namespace
}  // namespace Injector
