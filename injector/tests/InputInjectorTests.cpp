#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "injector/InputInjector.h"
#include "injector/tests/InjectorTestMessages.h"
#include "platform/InputArrival.h"
#include "platform/LogCapture.h"
#include "platform/ManualExecutor.h"

namespace Injector {
namespace {

using ::testing::ElementsAre;
using namespace Injector::test;

class FakeScreen final : public ScreenGeometry {
  public:
    std::optional<Point> cursorLocation() override {
        ++reads;
        if (onRead) {
            onRead();
        }
        return cursor;
    }
    std::function<void()> onRead;
    std::vector<Rect> displays() override { return screens; }

    std::optional<Point> cursor = Point{500, 500};
    std::vector<Rect> screens = {{0, 0, 1920, 1080}};
    int reads = 0;
};

// Keeps each event with the virtual time it was posted at.
class TimedPoster final : public EventPoster {
  public:
    TimedPoster(const platform::Executor& executor, bool paces) : executor_(executor), paces_(paces) {}
    void post(const InputEvent& event) override { posted.push_back({executor_.now(), event}); }
    bool pacesMotion() const override { return paces_; }

    std::vector<EventType> types() const {
        std::vector<EventType> result;
        for (const auto& [time, event] : posted) {
            result.push_back(event.type);
        }
        return result;
    }
    std::vector<std::pair<double, InputEvent>> posted;

  private:
    const platform::Executor& executor_;
    bool paces_;
};

class InputInjectorTest : public ::testing::Test {
  protected:
    explicit InputInjectorTest(bool paces = true) : poster(executor, paces) {}

    InputInjector& injector(InputInjector::Configuration configuration = {}) {
        injector_ = std::make_unique<InputInjector>(poster, screen, executor, configuration,
                                                    [this] { return executor.now(); });
        return *injector_;
    }

    platform::ManualExecutor executor;
    FakeScreen screen;
    TimedPoster poster;
    std::unique_ptr<InputInjector> injector_;
};

class UnpacedInjectorTest : public InputInjectorTest {
  protected:
    UnpacedInjectorTest() : InputInjectorTest(false) {}
};

TEST_F(InputInjectorTest, DeclinesMessagesItDoesNotOwn) {
    InputInjector& injector = this->injector();
    using namespace TrackpadProtocol;
    const Message others[] = {
        Message::KeyCombination{KeyCombination{KeyCombination::Code{4}, {}}},
        Message::Text{"hello"},
        Message::Gesture{Gesture{Gesture::Tap{3}}},
        Message::QuickAction{},
        Message::Annotation{Annotation{Annotation::Clear{}}},
        Message::SetVolume{40},
    };
    for (const Message& other : others) {
        EXPECT_FALSE(injector.handle(other)) << "case " << other.value.index();
    }
    executor.advance(1.0);
    EXPECT_TRUE(poster.posted.empty());
    EXPECT_EQ(screen.reads, 0) << "nothing resynchronised either";
}

TEST_F(UnpacedInjectorTest, MotionGoesOutWithinHandle) {
    InputInjector& injector = this->injector();
    EXPECT_FALSE(injector.pacesFrames());
    ASSERT_TRUE(injector.handle(move(3, 4)));
    ASSERT_EQ(poster.posted.size(), 1u);
    EXPECT_EQ(poster.posted[0].second.location, (Point{503, 504}));
    EXPECT_EQ(executor.pendingTimers(), 0u);
}

TEST_F(InputInjectorTest, PacedMotionGoesOutWithTheFrameTimer) {
    InputInjector& injector = this->injector();
    EXPECT_TRUE(injector.pacesFrames());
    injector.handle(move(3, 4));
    EXPECT_TRUE(poster.posted.empty());
    EXPECT_EQ(executor.pendingTimers(), 1u);
    executor.advance(1.0 / 60.0);
    ASSERT_EQ(poster.posted.size(), 1u);
    EXPECT_EQ(poster.posted[0].second.location, (Point{503, 504}));
    EXPECT_EQ(executor.pendingTimers(), 0u) << "an idle injector has no timer armed";
}

// A move that waited 5 ms to be handled after its datagram arrived is held only for the rest of its
// frame; a stamp from another clock is not trusted and the frame counts from the handling.
TEST_F(InputInjectorTest, PacedMotionCountsItsFrameFromWhenItArrived) {
    InputInjector& injector = this->injector();
    executor.advance(10.0);
    {
        const platform::InputArrivalScope arrived(executor.now() - 0.005);
        injector.handle(move(3, 4));
    }
    executor.advance(1.0 / 120.0 - 0.005 - 1e-4);
    EXPECT_TRUE(poster.posted.empty());
    executor.advance(2e-4);
    ASSERT_EQ(poster.posted.size(), 1u);

    for (const double offset : {0.004, -3600.0}) {
        poster.posted.clear();
        executor.advance(1.0);
        {
            const platform::InputArrivalScope arrived(executor.now() + offset);
            injector.handle(move(1, 0));
        }
        executor.advance(1.0 / 120.0 - 1e-4);
        EXPECT_TRUE(poster.posted.empty()) << offset;
        executor.advance(2e-4);
        EXPECT_EQ(poster.posted.size(), 1u) << offset;
    }
}

// Reading the pointer back from a slow X server takes time before the frame timer is armed; the timer
// still goes off when the frame is due, not that much later.
TEST_F(InputInjectorTest, TheFrameTimerIsArmedForTheDueTimeAfterASlowResync) {
    double spent = 0;
    injector_ = std::make_unique<InputInjector>(poster, screen, executor, InputInjector::Configuration{},
                                                [&] { return executor.now() + spent; });
    screen.onRead = [&] { spent += 0.002; };
    injector_->handle(move(3, 4));
    executor.advance(1.0 / 120.0 - 0.002 + 1e-4);
    EXPECT_EQ(poster.posted.size(), 1u);
}

TEST_F(InputInjectorTest, ZeroFrameIntervalTurnsPacingOff) {
    InputInjector::Configuration configuration;
    configuration.frameInterval = 0;
    InputInjector& injector = this->injector(configuration);
    EXPECT_FALSE(injector.pacesFrames());
    injector.handle(move(1, 0));
    EXPECT_EQ(poster.posted.size(), 1u);
}

// A phone sending a delta every millisecond: one move per frame, none held longer than the maximum
// delay, and the pointer ends exactly where the deltas add up to.
TEST_F(InputInjectorTest, PacesASteadyStreamIntoFrames) {
    InputInjector& injector = this->injector();
    const double start = executor.now();
    for (int i = 0; i < 500; ++i) {
        injector.handle(move(0.25, 0.125));
        executor.advance(0.001);
    }
    executor.advance(0.05);
    ASSERT_GE(poster.posted.size(), 59u);
    EXPECT_LE(poster.posted.size(), 61u);
    double previous = start;
    for (const auto& [time, event] : poster.posted) {
        EXPECT_EQ(event.type, EventType::mouseMoved);
        EXPECT_LE(time - previous, 1.0 / 60.0 + 1e-6);
        if (previous != start) {
            EXPECT_GE(time - previous, 1.0 / 120.0 - 1e-6);
        }
        previous = time;
    }
    EXPECT_EQ(injector.pointer().location, (Point{625, 562.5}));
    EXPECT_EQ(executor.pendingTimers(), 0u);
}

TEST_F(InputInjectorTest, OtherPointerMessagesFlushPendingMotionFirst) {
    InputInjector& injector = this->injector();
    injector.handle(move(1, 0));
    injector.handle(move(2, 0));
    injector.handle(tap(1));
    EXPECT_THAT(poster.types(),
                ElementsAre(EventType::mouseMoved, EventType::leftMouseDown, EventType::leftMouseUp));
    EXPECT_EQ(poster.posted[0].second.location, (Point{503, 500}));
    EXPECT_EQ(executor.pendingTimers(), 0u);
}

TEST_F(InputInjectorTest, ZeroTapCountsAsTheFirstTap) {
    InputInjector& injector = this->injector();
    injector.handle(tap(0));
    executor.advance(0.2);
    injector.handle(tap(2));
    ASSERT_EQ(poster.posted.size(), 4u);
    EXPECT_EQ(poster.posted[0].second.integerField(EventField::mouseEventClickState), 1);
    EXPECT_EQ(poster.posted[2].second.integerField(EventField::mouseEventClickState), 2);
}

TEST_F(InputInjectorTest, MediaCommandPostsKeyDownThenUpAndLeavesMotionPending) {
    InputInjector& injector = this->injector();
    injector.handle(move(5, 0));
    const int readsBefore = screen.reads;
    ASSERT_TRUE(injector.handle(Message::MediaCommand{TrackpadProtocol::MediaCommand::volumeUp}));
    ASSERT_EQ(poster.posted.size(), 2u);
    EXPECT_EQ(poster.posted[0].second.system.data1, 0x00000A00);
    EXPECT_EQ(poster.posted[1].second.system.data1, 0x00000B00);
    for (const auto& [time, event] : poster.posted) {
        EXPECT_EQ(event.integerField(EventField::eventSourceUserData), 0x54524B50);
    }
    EXPECT_EQ(screen.reads, readsBefore);
    executor.advance(0.02);
    EXPECT_EQ(poster.posted.size(), 3u) << "the move still comes with its frame";
}

TEST_F(InputInjectorTest, InvalidMediaCommandPostsNothingButIsOwned) {
    InputInjector& injector = this->injector();
    EXPECT_TRUE(injector.handle(Message::MediaCommand{static_cast<TrackpadProtocol::MediaCommand>(9)}));
    EXPECT_TRUE(poster.posted.empty());
}

TEST_F(InputInjectorTest, DragChangesArePacedAndItsEndsFlush) {
    InputInjector& injector = this->injector();
    injector.handle(drag(DragPhase::began, 0, 0));
    EXPECT_THAT(poster.types(), ElementsAre(EventType::leftMouseDown));
    injector.handle(drag(DragPhase::changed, 4, 0));
    injector.handle(drag(DragPhase::changed, 4, 0));
    executor.advance(0.02);
    injector.handle(drag(DragPhase::changed, 2, 0));
    injector.handle(drag(DragPhase::ended, 0, 0));
    EXPECT_THAT(poster.types(), ElementsAre(EventType::leftMouseDown, EventType::leftMouseDragged,
                                            EventType::leftMouseDragged, EventType::leftMouseUp));
    EXPECT_EQ(poster.posted[1].second.location, (Point{508, 500}));
    EXPECT_EQ(poster.posted[3].second.location, (Point{510, 500}));
}

TEST_F(InputInjectorTest, ResynchronisesOnlyAfterIdleTime) {
    InputInjector& injector = this->injector();
    injector.handle(move(1, 0));
    EXPECT_EQ(screen.reads, 1);
    screen.cursor = Point{100, 100};  // the user moves the mouse
    executor.advance(0.05);
    injector.handle(move(1, 0));
    EXPECT_EQ(screen.reads, 1) << "within a burst the injector keeps its own position";
    executor.advance(0.15);
    injector.handle(move(1, 0));
    EXPECT_EQ(screen.reads, 2);
    executor.advance(0.02);
    EXPECT_EQ(poster.posted.back().second.location, (Point{101, 100}));
}

TEST_F(InputInjectorTest, KeepsTheLastLocationWhenTheSystemHasNone) {
    screen.cursor.reset();
    InputInjector& injector = this->injector();
    injector.handle(tap(1));
    EXPECT_EQ(poster.posted[0].second.location, (Point{0, 0}));
    injector.handle(drag(DragPhase::ended, 7, 0));
    executor.advance(1.0);
    injector.handle(tap(1));
    EXPECT_EQ(poster.posted.back().second.location, (Point{7, 0}));
}

TEST_F(UnpacedInjectorTest, CursorLocationThatIsNotANumberCountsAsNone) {
    screen.cursor = Point{std::nan(""), 5};
    InputInjector& injector = this->injector();
    injector.handle(move(3, 4));
    ASSERT_EQ(poster.posted.size(), 1u);
    EXPECT_EQ(poster.posted[0].second.location, (Point{3, 4}));
    screen.cursor = Point{std::numeric_limits<double>::infinity(), 5};
    executor.advance(1.0);
    injector.handle(move(1, 0));
    ASSERT_EQ(poster.posted.size(), 2u);
    EXPECT_EQ(poster.posted[1].second.location, (Point{4, 4})) << "the last known location stays";
}

TEST_F(InputInjectorTest, ShakeCallsTheHandlerOnce) {
    InputInjector& injector = this->injector();
    int shakes = 0;
    injector.onShake = [&] { ++shakes; };
    for (int stroke = 0; stroke < 4; ++stroke) {
        for (int i = 0; i < 3; ++i) {
            injector.handle(move(stroke % 2 == 0 ? 30.0f : -30.0f, 0));
            executor.advance(0.01);
        }
    }
    EXPECT_EQ(shakes, 1);
}

TEST_F(InputInjectorTest, NoShakeWhileDraggingOrAcrossOtherMessages) {
    InputInjector& injector = this->injector();
    int shakes = 0;
    injector.onShake = [&] { ++shakes; };
    injector.handle(drag(DragPhase::began, 0, 0));
    for (int stroke = 0; stroke < 4; ++stroke) {
        for (int i = 0; i < 3; ++i) {
            injector.handle(move(stroke % 2 == 0 ? 30.0f : -30.0f, 0));
            executor.advance(0.01);
        }
    }
    injector.handle(drag(DragPhase::ended, 0, 0));
    for (int stroke = 0; stroke < 4; ++stroke) {
        for (int i = 0; i < 3; ++i) {
            injector.handle(move(stroke % 2 == 0 ? 30.0f : -30.0f, 0));
            executor.advance(0.01);
        }
        injector.handle(scroll(ScrollPhase::changed, 0, 1));
    }
    EXPECT_EQ(shakes, 0);
}

TEST_F(InputInjectorTest, ResetPostsPendingMotionReleasesTheButtonAndEndsTheScroll) {
    InputInjector& injector = this->injector();
    injector.handle(drag(DragPhase::began, 0, 0));
    injector.handle(scroll(ScrollPhase::began, 0, 3));
    injector.handle(move(6, 0));
    poster.posted.clear();
    injector.reset();
    ASSERT_THAT(poster.types(),
                ElementsAre(EventType::leftMouseDragged, EventType::leftMouseUp, EventType::scrollWheel));
    EXPECT_EQ(poster.posted[2].second.integerField(EventField::scrollWheelEventScrollPhase), 4);
    EXPECT_FALSE(injector.pointer().leftButtonHeld);
    EXPECT_EQ(injector.pointer().scrollState, ScrollState::idle);
    EXPECT_EQ(executor.pendingTimers(), 0u);
    executor.advance(1.0);
    EXPECT_EQ(poster.posted.size(), 3u);
}

TEST_F(InputInjectorTest, ResetStartsTheNextClickSequenceAndDeltaFractionsAfresh) {
    InputInjector& injector = this->injector();
    injector.handle(tap(1));
    injector.handle(move(0.75, 0));
    injector.reset();
    injector.handle(tap(2));
    EXPECT_EQ(poster.posted.back().second.integerField(EventField::mouseEventClickState), 1);
    injector.handle(move(0.5, 0));
    executor.advance(0.02);
    EXPECT_EQ(poster.posted.back().second.integerField(EventField::mouseEventDeltaX), 0);
}

TEST_F(InputInjectorTest, DestructionCancelsTheFrameTimer) {
    injector().handle(move(1, 1));
    ASSERT_EQ(executor.pendingTimers(), 1u);
    injector_.reset();
    EXPECT_EQ(executor.pendingTimers(), 0u);
    executor.advance(1.0);
    EXPECT_TRUE(poster.posted.empty());
}

TEST_F(InputInjectorTest, ResetInsideTheShakeHandlerIsSafe) {
    InputInjector& injector = this->injector();
    injector.onShake = [&] { injector.reset(); };
    for (int stroke = 0; stroke < 4; ++stroke) {
        for (int i = 0; i < 3; ++i) {
            injector.handle(move(stroke % 2 == 0 ? 30.0f : -30.0f, 0));
            executor.advance(0.01);
        }
    }
    EXPECT_EQ(executor.pendingTimers(), 0u);
}

TEST_F(InputInjectorTest, TimingLogReportsArrivalsAndPostsOnlyWhenEnabled) {
    platform::LogCapture log;
    InputInjector& injector = this->injector();
    for (int i = 0; i < 300; ++i) {
        injector.handle(move(1, 0));
        executor.advance(0.005);
    }
    EXPECT_TRUE(log.entries().empty());
    injector.debugTimingEnabled = true;
    for (int i = 0; i < 300; ++i) {
        injector.handle(move(1, 0));
        executor.advance(0.005);
    }
    ASSERT_TRUE(log.contains("pointer arrival samples="));
    ASSERT_TRUE(log.contains("pointer post samples="));
    for (const auto& entry : log.entries()) {
        EXPECT_EQ(entry.subsystem, "com.obun.Zentrova");
        EXPECT_EQ(entry.category, "PointerTiming");
        EXPECT_EQ(entry.level, platform::LogLevel::info);
    }
}

TEST_F(UnpacedInjectorTest, PositionedMessagesAreAppliedInTheirOrder) {
    InputInjector& injector = this->injector();
    const auto s = uuid(1);
    EXPECT_TRUE(injector.handle(positioned(move(0, 0), s, 0, 0, 0, 0)));
    EXPECT_TRUE(poster.posted.empty()) << "the session start releases no button that is not held";
    // The move waits for the tap sent before it.
    EXPECT_TRUE(injector.handle(positioned(move(5, 0), s, 2, 1, 10, 0)));
    EXPECT_TRUE(poster.posted.empty());
    EXPECT_TRUE(injector.handle(positioned(tap(1), s, 1, 0, 5, 0)));
    EXPECT_THAT(poster.types(), ElementsAre(EventType::mouseMoved, EventType::leftMouseDown,
                                            EventType::leftMouseUp, EventType::mouseMoved));
    EXPECT_EQ(poster.posted[1].second.location, (Point{505, 500}));
    EXPECT_EQ(poster.posted[3].second.location, (Point{510, 500}));
}

TEST_F(UnpacedInjectorTest, ResetRenewsTheSequencerOfDirectlyHandledMessages) {
    InputInjector& injector = this->injector();
    const auto s = uuid(1);
    injector.handle(positioned(move(0, 0), s, 0, 0, 0, 0));
    injector.handle(positioned(move(5, 0), s, 1, 0, 5, 0));
    injector.reset();
    injector.handle(positioned(move(5, 0), s, 2, 0, 10, 0));
    EXPECT_EQ(poster.posted.size(), 1u) << "without its session's start the message has no origin";
    injector.handle(positioned(move(0, 0), s, 0, 0, 0, 0));
    injector.handle(positioned(move(3, 0), s, 1, 0, 3, 0));
    EXPECT_EQ(poster.posted.size(), 2u);
}

TEST(InputInjectorConfiguration, HandoffGraceIsNeverNegativeOrInvalid) {
    EXPECT_EQ(InputInjector::Configuration(0.4, 2, 0.1, 1.0 / 120, 1.0 / 60, false, -1).handoffGrace, 0);
    EXPECT_EQ(
        InputInjector::Configuration(0.4, 2, 0.1, 1.0 / 120, 1.0 / 60, false, std::nan("")).handoffGrace,
        0.5);
    EXPECT_EQ(InputInjector::Configuration(-1, -2, -3, -4, -5).frameInterval, -4)
        << "the rest is kept as given";
}

}  // namespace
}  // namespace Injector
