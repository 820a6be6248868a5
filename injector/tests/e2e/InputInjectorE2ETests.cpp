// The injector on a real event loop and a private Xvfb: paced motion, buttons after a reset, and the
// hand-off between phones, as the X server sees them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "injector/HIDEventPoster.h"
#include "injector/InputInjector.h"
#include "injector/SystemScreenGeometry.h"
#include "platform/EventLoop.h"
#include "platform/ManualExecutor.h"
#include "testing/XTestWindow.h"
#include "testing/XvfbServer.h"

namespace Injector {
namespace {

using testing_support::XTestWindow;
using testing_support::XvfbServer;
using TrackpadProtocol::Message;
using Kind = XTestWindow::Event::Kind;

constexpr std::uint16_t button1Mask = 1 << 8;

class InjectorOnXvfbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!XvfbServer::isInstalled()) {
            GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh brings it)";
        }
        server = std::make_unique<XvfbServer>();
        poster = std::make_unique<HIDEventPoster>(server->displayName());
        geometry = std::make_unique<SystemScreenGeometry>(server->displayName());
        window = std::make_unique<XTestWindow>(server->displayName());
        ASSERT_TRUE(poster->isAvailable());
        // Start from a known place.
        poster->post(InputEvent::mouse(EventType::mouseMoved, {500, 500}, MouseButton::left));
        poster->sync();
        window->takeEvents();
    }

    std::unique_ptr<XvfbServer> server;
    std::unique_ptr<HIDEventPoster> poster;
    std::unique_ptr<SystemScreenGeometry> geometry;
    std::unique_ptr<XTestWindow> window;
};

// A phone sending a delta every millisecond for half a second: the pointer ends exactly where the
// deltas add up to, moved about once per 1/120 s frame. The frame figures depend on the machine's
// load, so only what pacing guarantees whatever the load is asserted; the measured figures are printed.
TEST_F(InjectorOnXvfbTest, PacedMotionEndsExactlyWhereTheDeltasSum) {
    platform::EventLoop loop;
    InputInjector injector(*poster, *geometry, loop, {}, [&loop] { return loop.now(); });
    ASSERT_TRUE(injector.pacesFrames());
    int sent = 0;
    const double start = loop.now();
    std::function<void()> feed = [&] {
        injector.handle(Message::Move{0.25f, 0.125f});
        if (++sent < 500) {
            loop.schedule(std::chrono::milliseconds(1), feed);
        } else {
            loop.schedule(std::chrono::milliseconds(100), [&loop] { loop.stop(); });
        }
    };
    loop.post(feed);
    loop.run();
    const double elapsed = loop.now() - start - 0.1;
    poster->sync();

    EXPECT_EQ(window->queryPointer().x, 625);
    EXPECT_EQ(window->queryPointer().y, 562);
    std::vector<std::uint32_t> times;
    for (const auto& event : window->takeEvents()) {
        if (event.kind == Kind::motion) {
            times.push_back(event.time);
        }
    }
    ASSERT_FALSE(times.empty());
    std::uint32_t maxGap = 0;
    for (std::size_t i = 1; i < times.size(); ++i) {
        maxGap = std::max(maxGap, times[i] - times[i - 1]);
    }
    std::printf("paced motion: %zu motion events in %.0f ms of input, longest gap %u ms\n", times.size(),
                elapsed * 1000, maxGap);
    // Frames are never shorter than 1/120 s, so there cannot be more of them than that allows.
    EXPECT_LE(times.size(), std::size_t(elapsed * 120) + 3);
    EXPECT_GE(times.size(), 2u);
}

TEST_F(InjectorOnXvfbTest, TapsRightClickAndDragArriveAsButtons) {
    platform::ManualExecutor executor;
    InputInjector injector(*poster, *geometry, executor, {}, [&] { return executor.now(); });
    injector.handle(Message::Tap{1});
    injector.handle(Message::Tap{2});
    injector.handle(Message::RightClick{});
    injector.handle(Message::Drag{DragPhase::began, 0, 0});
    injector.handle(Message::Drag{DragPhase::changed, 30, 0});
    executor.advance(0.02);
    injector.handle(Message::Drag{DragPhase::ended, 0, 0});
    poster->sync();
    std::vector<std::pair<Kind, int>> buttons;
    bool draggedWithButton = false;
    for (const auto& event : window->takeEvents()) {
        if (event.kind == Kind::motion) {
            draggedWithButton = draggedWithButton || (event.state & button1Mask) != 0;
        } else {
            buttons.emplace_back(event.kind, event.detail);
        }
    }
    EXPECT_EQ(buttons, (std::vector<std::pair<Kind, int>>{{Kind::buttonPress, 1},
                                                          {Kind::buttonRelease, 1},
                                                          {Kind::buttonPress, 1},
                                                          {Kind::buttonRelease, 1},
                                                          {Kind::buttonPress, 3},
                                                          {Kind::buttonRelease, 3},
                                                          {Kind::buttonPress, 1},
                                                          {Kind::buttonRelease, 1}}));
    EXPECT_TRUE(draggedWithButton);
    EXPECT_EQ(window->queryPointer().x, 530);
}

TEST_F(InjectorOnXvfbTest, ResetDuringADragLeavesNoButtonDown) {
    platform::ManualExecutor executor;
    InputInjector injector(*poster, *geometry, executor, {}, [&] { return executor.now(); });
    injector.handle(Message::Drag{DragPhase::began, 0, 0});
    injector.handle(Message::Drag{DragPhase::changed, 10, 10});
    poster->sync();
    ASSERT_EQ(window->queryPointer().mask & button1Mask, button1Mask);
    injector.reset();
    poster->sync();
    EXPECT_EQ(window->queryPointer().mask, 0);
    EXPECT_EQ(window->queryPointer().x, 510) << "the pending motion went out first";
}

TEST_F(InjectorOnXvfbTest, PhoneThatLostControlCannotMoveThePointerWithinTheGrace) {
    platform::ManualExecutor executor;
    InputInjector injector(*poster, *geometry, executor, {}, [&] { return executor.now(); });
    TrackpadProtocol::UUID a;
    TrackpadProtocol::UUID b;
    a.bytes[0] = 1;
    b.bytes[0] = 2;
    // The application's routing: sequence, take control, then handle.
    const auto route = [&](const Message& message, const TrackpadProtocol::UUID& phone) {
        const std::vector<Message> messages = injector.sequence(message, phone);
        if (!messages.empty() && injector.inputController() != phone) {
            injector.setInputController(phone);
            injector.reset();
        }
        for (const Message& m : messages) {
            injector.handle(m);
        }
        executor.advance(0.02);
        poster->sync();
    };
    route(Message::Move{10, 0}, a);
    route(Message::Move{0, 10}, b);
    EXPECT_EQ(window->queryPointer().x, 510);
    EXPECT_EQ(window->queryPointer().y, 510);
    executor.advance(0.16);
    route(Message::Move{50, 0}, a);
    EXPECT_EQ(window->queryPointer().x, 510) << "0.2 s after b took control";
    executor.advance(0.38);
    route(Message::Move{50, 0}, a);
    EXPECT_EQ(window->queryPointer().x, 560) << "0.6 s after";
}

}  // namespace
}  // namespace Injector
