// The gesture engine with a fixed layout, a recording poster, a fake clock and a manual scheduler.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "gestures/GestureEngine.h"
#include "gestures/tests/GestureTestSupport.h"

namespace Gestures {
namespace {

using namespace Gestures::testing;
using TrackpadProtocol::Gesture;
using TrackpadProtocol::GesturePhase;
using TrackpadProtocol::KeyCombination;

Message pinch(GesturePhase phase, float magnification) {
    return Message::Gesture{Gesture{Gesture::Pinch{phase, magnification, std::nullopt}}};
}
Message swipe(GesturePhase phase, std::uint8_t fingers, float dx, float dy) {
    return Message::Gesture{Gesture{Gesture::SwipeTracking{phase, fingers, dx, dy, std::nullopt}}};
}

class GestureEngineTest : public ::testing::Test {
  protected:
    GestureEngine& engine(DockSwipeRecipe recipe = DockSwipeRecipe::legacyFields,
                          GestureMapping mapping = GestureMapping::defaultMapping()) {
        engine_ = std::make_unique<GestureEngine>(
            std::move(mapping), GestureEngine::Configuration{}, poster, shortcuts, layout,
            [] {
                return std::optional<Point>(Point{100, 200});
            },
            [this] { return now; }, recipe, [](std::optional<Point>) { return 2.0; },
            [this](SystemAction a) { return !dockOff.contains(a); }, scheduler, power);
        return *engine_;
    }
    std::vector<InputEvent> dockEvents() const {
        std::vector<InputEvent> result;
        for (const Posted& p : poster.posted) {
            if (p.event.type == EventType::dockControl) {
                EXPECT_EQ(p.tap, EventTap::session);
                result.push_back(p.event);
            }
        }
        return result;
    }
    static std::int64_t phaseOf(const InputEvent& e) { return e.integerField(Injector::EventField(132)); }
    static double progressOf(const InputEvent& e) { return e.doubleField(Injector::EventField(124)); }

    double now = 1000;
    RecordingGesturePoster poster;
    FixedShortcuts shortcuts;
    FixedKeyboardLayout layout{
        {{"=", {24, false}}, {"+", {24, true}}, {"-", {27, false}}, {"a", {0, false}}, {"q", {12, false}}},
        {}};
    ManualScheduler scheduler{now};
    RecordingPower power;
    std::set<SystemAction> dockOff;
    std::unique_ptr<GestureEngine> engine_;
};

TEST_F(GestureEngineTest, SequenceDropsNonFiniteAmountsAndPassesOtherMessages) {
    GestureEngine& e = engine();
    const TrackpadProtocol::UUID device{};
    EXPECT_TRUE(e.sequence(pinch(GesturePhase::changed, NAN), device).empty());
    EXPECT_TRUE(e.sequence(swipe(GesturePhase::changed, 3, INFINITY, 0), device).empty());
    const Message move = Message::Move{1, 2};
    EXPECT_EQ(e.sequence(move, device), std::vector<Message>{move});
    const Message tap = Message::Gesture{Gesture{Gesture::Tap{3}}};
    EXPECT_EQ(e.sequence(tap, device), std::vector<Message>{tap});
    EXPECT_TRUE(e.handle(tap));
    EXPECT_TRUE(poster.posted.empty());
    EXPECT_FALSE(e.handle(Message::MediaCommand{}));
    EXPECT_FALSE(e.perform(GestureAction::none()));
}

TEST_F(GestureEngineTest, KeyCombinationsResolveThroughTheLayoutThenTheFallbackTable) {
    GestureEngine& e = engine();
    KeyCombination arrow{KeyCombination::Code{123},
                         KeyCombination::Modifiers::command | KeyCombination::Modifiers::shift};
    EXPECT_TRUE(e.handle(Message::KeyCombination{arrow}));
    EXPECT_EQ(keyDowns(poster.events()), (std::vector<KeyDown>{{123, 0x120000 | 0xa00000}}));
    poster.posted.clear();
    EXPECT_TRUE(e.handle(Message::KeyCombination{
        KeyCombination{KeyCombination::Character{"a"}, KeyCombination::Modifiers::control}}));
    EXPECT_EQ(keyDowns(poster.events()), (std::vector<KeyDown>{{0, 0x40000}}));
    poster.posted.clear();
    EXPECT_TRUE(e.perform(GestureAction::shortcut(Shortcut{Shortcut::Character{"?"}, {}})));
    EXPECT_EQ(keyDowns(poster.events()), (std::vector<KeyDown>{{44, 0x20000}}));
    poster.posted.clear();
    EXPECT_TRUE(e.handle(Message::KeyCombination{KeyCombination{KeyCombination::Character{"€"}, {}}}));
    EXPECT_TRUE(poster.posted.empty());
    for (const Posted& p : poster.posted) {
        EXPECT_EQ(p.tap, EventTap::hid);
    }
}

// Command with a character key is an application's shortcut, posted with Control; Command with other
// keys, or together with Control, stays on Super for the desktop.
TEST_F(GestureEngineTest, CommandWithACharacterKeyIsControlOnLinux) {
    GestureEngine& e = engine();
    const auto combination = [&](std::variant<KeyCombination::Code, KeyCombination::Character> key,
                                 KeyCombination::Modifiers modifiers) {
        poster.posted.clear();
        EXPECT_TRUE(e.handle(Message::KeyCombination{KeyCombination{key, modifiers}}));
        return keyDowns(poster.events());
    };
    using M = KeyCombination::Modifiers;
    EXPECT_EQ(combination(KeyCombination::Character{"a"}, M::command), (std::vector<KeyDown>{{0, 0x40000}}));
    EXPECT_EQ(combination(KeyCombination::Code{12}, M::command | M::shift),
              (std::vector<KeyDown>{{12, 0x60000}}));
    EXPECT_EQ(combination(KeyCombination::Character{"q"}, M::command | M::control),
              (std::vector<KeyDown>{{12, 0x140000}}));
    EXPECT_EQ(combination(KeyCombination::Code{48}, M::command), (std::vector<KeyDown>{{48, 0x100000}}));
    EXPECT_EQ(combination(KeyCombination::Code{49}, M::command), (std::vector<KeyDown>{{49, 0x100000}}));
    EXPECT_EQ(combination(KeyCombination::Code{36}, M::command), (std::vector<KeyDown>{{36, 0x100000}}));
}

TEST_F(GestureEngineTest, TextAndQuickActions) {
    GestureEngine& e = engine();
    EXPECT_TRUE(e.handle(Message::Text{"a\nb"}));
    ASSERT_EQ(poster.posted.size(), 6u);
    EXPECT_EQ(poster.posted[2].event.keyCode, 36);
    poster.posted.clear();
    EXPECT_TRUE(e.handle(Message::Text{""}));
    EXPECT_TRUE(e.handle(Message::Text{"a\xFF"}));
    EXPECT_TRUE(poster.posted.empty());

    // "Lock Screen" asks the session to lock; no shortcut is pressed.
    EXPECT_TRUE(e.handle(Message::QuickAction{TrackpadProtocol::QuickAction::lockScreen}));
    EXPECT_TRUE(poster.posted.empty());
    EXPECT_EQ(power.locks, 1);
    shortcuts.disabled.insert(SystemAction::spotlight);
    EXPECT_TRUE(e.handle(Message::QuickAction{TrackpadProtocol::QuickAction::spotlight}));
    EXPECT_TRUE(poster.posted.empty());
    EXPECT_TRUE(e.handle(Message::QuickAction{TrackpadProtocol::QuickAction::sleep}));
    EXPECT_EQ(power.sleeps, 1);
}

TEST_F(GestureEngineTest, PinchZoomStepsAreCappedPerMessageAndTheExcessDropped) {
    GestureMapping mapping = GestureMapping::defaultMapping();
    mapping.pinch = {PinchAction::Shortcuts{Shortcut::zoomIn, Shortcut::zoomOut, 0.1}};
    GestureEngine& e = engine(DockSwipeRecipe::legacyFields, mapping);
    e.handle(pinch(GesturePhase::began, 0));
    e.handle(pinch(GesturePhase::changed, 0.35f));
    // Zoom in is Control+plus: Shift and the equal key where the layout has plus only shifted.
    EXPECT_EQ(keyDowns(poster.events()), (std::vector<KeyDown>{{24, 0x60000}, {24, 0x60000}}));
    EXPECT_NEAR(e.pinch()->pending, 0.05, 1e-6);
    poster.posted.clear();
    e.handle(pinch(GesturePhase::changed, -0.30f));
    EXPECT_EQ(keyDowns(poster.events()), (std::vector<KeyDown>{{27, 0x40000}, {27, 0x40000}}));
    EXPECT_NEAR(e.pinch()->pending, -0.05, 1e-6);
    e.handle(pinch(GesturePhase::ended, 0));
    EXPECT_FALSE(e.pinch());

    // A change after the end opens a new pinch (the sequencer supplies its began).
    poster.posted.clear();
    now += 0.3;
    e.handle(pinch(GesturePhase::changed, 0.5f));
    ASSERT_TRUE(e.pinch());
    EXPECT_EQ(keyDowns(poster.events()).size(), 2u);
    e.handle(pinch(GesturePhase::changed, NAN));
    EXPECT_EQ(keyDowns(poster.events()).size(), 2u);
}

// The sequencers supply a began before a change that finds the stroke closed: a late frame 0.2 s after
// the end must still be dropped, whether the engine's own sequencer or the phone's supplies it.
TEST_F(GestureEngineTest, ALateFrameAfterAPinchIsDroppedThoughASequencerSuppliesItsBegan) {
    GestureEngine& e = engine();
    const TrackpadProtocol::UUID phone{};
    const auto deliver = [&](const Message& message) {
        for (const Message& item : e.sequence(message, phone)) {
            e.handle(item);
        }
    };
    for (const auto& send :
         std::vector<std::function<void(const Message&)>>{[&](const Message& m) { e.handle(m); }, deliver}) {
        poster.posted.clear();
        send(pinch(GesturePhase::began, 0));
        send(pinch(GesturePhase::ended, 0));
        now += 0.2;
        send(pinch(GesturePhase::changed, 0.6f));
        EXPECT_TRUE(poster.posted.empty());
        EXPECT_FALSE(e.pinch());
        send(pinch(GesturePhase::ended, 0));
        // Past the window a change opens a new pinch.
        now += 0.3;
        send(pinch(GesturePhase::changed, 0.6f));
        EXPECT_EQ(keyDowns(poster.events()).size(), 2u);
        send(pinch(GesturePhase::ended, 0));
        // A began that carries an amount is the phone's own: a new pinch, inside the window too.
        poster.posted.clear();
        now += 0.1;
        send(pinch(GesturePhase::began, 0.6f));
        EXPECT_EQ(keyDowns(poster.events()).size(), 2u);
        send(pinch(GesturePhase::ended, 0));
        now += 1;
    }
}

TEST_F(GestureEngineTest, PinchWithAZeroOrNonFiniteStepPostsNothingAndMagnifyPostsPhases) {
    GestureMapping mapping = GestureMapping::defaultMapping();
    mapping.pinch = {PinchAction::Shortcuts{Shortcut::zoomIn, Shortcut::zoomOut, 0}};
    GestureEngine& zero = engine(DockSwipeRecipe::legacyFields, mapping);
    zero.handle(pinch(GesturePhase::began, 0.7f));
    EXPECT_TRUE(poster.posted.empty());
    EXPECT_EQ(zero.pinch()->pending, 0);

    mapping.pinch = {PinchAction::Magnify{}};
    GestureEngine& magnify = engine(DockSwipeRecipe::legacyFields, mapping);
    magnify.handle(pinch(GesturePhase::began, 0));
    magnify.handle(pinch(GesturePhase::ended, 0.2f));
    ASSERT_EQ(poster.posted.size(), 3u);
    EXPECT_EQ(phaseOf(poster.posted[0].event), 1);
    EXPECT_EQ(phaseOf(poster.posted[1].event), 2);
    EXPECT_NEAR(poster.posted[1].event.doubleField(Injector::EventField(113)), 0.2, 1e-6);
    EXPECT_EQ(phaseOf(poster.posted[2].event), 4);
    EXPECT_EQ(poster.posted[2].tap, EventTap::session);
}

TEST_F(GestureEngineTest, TrackedSwipeLocksItsAxisAndDrivesTheDockGesture) {
    GestureEngine& e = engine();
    e.handle(swipe(GesturePhase::began, 3, 6, 7));
    EXPECT_FALSE(e.trackedSwipe()->direction);
    e.handle(swipe(GesturePhase::changed, 3, 0, 4));
    EXPECT_EQ(e.trackedSwipe()->direction, SwipeDirection::down);
    ASSERT_EQ(dockEvents().size(), 1u);
    EXPECT_EQ(phaseOf(dockEvents()[0]), 1);
    EXPECT_TRUE(e.trackedSwipe()->mirrored);
    // Down is application windows, driven with sign -1: 11 units of 300 give progress -11/300.
    EXPECT_NEAR(progressOf(dockEvents()[0]), -11.0 / 300, 1e-9);
    e.handle(swipe(GesturePhase::changed, 3, 0, 0));
    EXPECT_EQ(dockEvents().size(), 1u);
    now += 0.05;
    e.handle(swipe(GesturePhase::ended, 3, 0, 160));
    ASSERT_EQ(dockEvents().size(), 3u);  // the final change, then the end
    EXPECT_EQ(phaseOf(dockEvents()[1]), 2);
    EXPECT_EQ(phaseOf(dockEvents()[2]), 4);  // completed: progress 171/300 > 0.5
    scheduler.advance(0.2);
    EXPECT_EQ(dockEvents().size(), 4u);
    scheduler.advance(0.3);
    EXPECT_EQ(dockEvents().size(), 5u);
    EXPECT_EQ(dockEvents()[4], dockEvents()[2]);
    EXPECT_EQ(scheduler.pending(), 0u);
}

TEST_F(GestureEngineTest, FlicksCompleteOrCancelAndANewSwipeStopsTheResends) {
    GestureEngine& e = engine();
    // Left: moves right a Space, horizontal, scaled by 2.
    // Times in sixteenths of a second stay exact, so the 0.1 s velocity window cuts where it should.
    e.handle(swipe(GesturePhase::began, 3, -20, 0));
    now += 0.0625;
    e.handle(swipe(GesturePhase::changed, 3, -25, 0));  // travel 45
    now += 0.0625;
    e.handle(swipe(GesturePhase::changed, 3, -60, 0));  // travel 105: progress 0.35, 3.2 progress/s
    e.handle(swipe(GesturePhase::ended, 3, 0, 0));
    const std::vector<InputEvent> ended = dockEvents();
    EXPECT_EQ(phaseOf(ended.back()), 4);
    EXPECT_NEAR(progressOf(ended.back()), 2 * -0.35, 1e-9);
    EXPECT_EQ(scheduler.pending(), 2u);
    // A new dock swipe within 0.2 s suppresses both pending resends.
    now += 0.125;
    e.handle(swipe(GesturePhase::began, 3, 0, -210));
    now += 0.0625;
    e.handle(swipe(GesturePhase::changed, 3, 0, 60));  // progress 0.5, back by 3.2 progress/s
    const std::size_t before = dockEvents().size();
    e.handle(swipe(GesturePhase::ended, 3, 0, 0));
    EXPECT_EQ(phaseOf(dockEvents().back()), 8);  // progress 0.5 but flicked back: not completed
    scheduler.advance(1);
    EXPECT_EQ(dockEvents().size(), before + 3);
}

TEST_F(GestureEngineTest, WithoutDockSwipesTheMappedActionIsPerformedOnceAfterTheDistance) {
    GestureEngine& e = engine(DockSwipeRecipe::unavailable);
    e.handle(swipe(GesturePhase::began, 3, 0, -20));
    EXPECT_TRUE(poster.posted.empty());
    e.handle(swipe(GesturePhase::changed, 3, 0, -10));
    EXPECT_EQ(keyDowns(poster.events()), (std::vector<KeyDown>{{126, 0x840000 | 0xa00000}}));
    e.handle(swipe(GesturePhase::changed, 3, 0, -100));
    e.handle(swipe(GesturePhase::ended, 3, 0, 0));
    EXPECT_EQ(keyDowns(poster.events()).size(), 1u);
    EXPECT_TRUE(dockEvents().empty());

    // The same with dock swipes available but the Dock's gesture off.
    poster.posted.clear();
    dockOff.insert(SystemAction::missionControl);
    GestureEngine& off = engine(DockSwipeRecipe::legacyFields);
    off.handle(swipe(GesturePhase::began, 3, 0, -40));
    EXPECT_EQ(keyDowns(poster.events()).size(), 1u);
    EXPECT_TRUE(dockEvents().empty());
}

TEST_F(GestureEngineTest, NavigationSwipesNavigateOnlyWhenCompleted) {
    GestureMapping mapping = GestureMapping::defaultMapping();
    mapping.threeFingerSwipes.right = GestureAction::navigationSwipe(NavigationDirection::back);
    GestureEngine& e = engine(DockSwipeRecipe::legacyFields, mapping);
    e.handle(swipe(GesturePhase::began, 3, 120, 0));
    now += 0.5;
    e.handle(swipe(GesturePhase::ended, 3, 0, 0));
    EXPECT_TRUE(poster.posted.empty());
    e.handle(swipe(GesturePhase::began, 3, 180, 0));
    now += 0.5;
    e.handle(swipe(GesturePhase::ended, 3, 0, 0));
    ASSERT_EQ(poster.posted.size(), 2u);
    EXPECT_EQ(poster.posted[0].event.integerField(Injector::EventField(115)), 4);
    EXPECT_EQ(poster.posted[0].event.location.x, 100);
    EXPECT_EQ(poster.posted[0].tap, EventTap::session);
}

TEST_F(GestureEngineTest, ResetEndsTheOpenSwipeAndPinchAndCancelsResends) {
    GestureEngine& e = engine();
    e.handle(swipe(GesturePhase::began, 3, 0, -200));  // progress 2/3 up
    e.handle(pinch(GesturePhase::began, 0));
    const double resetTime = now;
    e.reset(std::nullopt);
    ASSERT_EQ(dockEvents().size(), 2u);
    EXPECT_EQ(phaseOf(dockEvents()[1]), 4);
    EXPECT_FALSE(e.trackedSwipe());
    EXPECT_FALSE(e.pinch());
    scheduler.advance(1);
    EXPECT_EQ(dockEvents().size(), 2u);
    EXPECT_EQ(e.lastPinchEnd(), resetTime);

    e.handle(swipe(GesturePhase::began, 3, 0, -30));  // progress 0.1: not completed
    e.reset(std::nullopt);
    EXPECT_EQ(phaseOf(dockEvents().back()), 8);
}

TEST_F(GestureEngineTest, ResendsDoNothingOnceTheEngineIsGone) {
    GestureEngine& e = engine();
    e.handle(swipe(GesturePhase::began, 3, 0, -200));
    e.handle(swipe(GesturePhase::ended, 3, 0, 0));
    const std::size_t posted = dockEvents().size();
    engine_.reset();
    scheduler.advance(1);
    EXPECT_EQ(dockEvents().size(), posted);
}

}  // namespace
}  // namespace Gestures
