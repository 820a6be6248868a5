// The touch mapper, the swipe detector and the settings that tune them.
#include <gtest/gtest.h>

#include <cmath>

#include "WatchTestSupport.h"
#include "protocol/messages/FloatNarrowing.h"
#include "protocol/watch/WatchSettings.h"
#include "protocol/watch/WatchTouchMapper.h"

namespace watch_test {
namespace {

using Messages = std::vector<Message>;
using V = WatchTouchMapper::Vector;

Message tap(std::uint8_t count) {
    return Message::Tap{count};
}

float gained(double distance, double speed) {
    return narrowToFloat(distance * WatchTouchMapper::Acceleration::standard.gain(speed));
}

TEST(WatchTouchMapperTest, AccelerationCurve) {
    const auto& curve = WatchTouchMapper::Acceleration::standard;
    EXPECT_EQ(curve.gain(0), 2);
    EXPECT_EQ(curve.gain(40), 2);
    EXPECT_EQ(curve.gain(270), 4);
    EXPECT_EQ(curve.gain(500), 6);
    EXPECT_EQ(curve.gain(1e9), 6);
    EXPECT_EQ(curve.gain(NAN), 6);
    EXPECT_EQ((WatchTouchMapper::Acceleration{1, 3, 50, 50}.gain(50)), 1);  // a step without a ramp
    EXPECT_EQ((WatchTouchMapper::Acceleration{1, 3, 50, 50}.gain(51)), 3);
}

TEST(WatchTouchMapperTest, TapsAndTheirChain) {
    WatchTouchMapper mapper;
    auto shortTouch = [&](double start) {
        mapper.touchBegan({0, 0}, start);
        Messages out = mapper.touchMoved({5, 0}, start + 0.1);
        auto end = mapper.touchEnded({5, 0}, start + 0.2);
        out.insert(out.end(), end.begin(), end.end());
        return out;
    };
    EXPECT_EQ(shortTouch(0), Messages{tap(1)});
    EXPECT_EQ(shortTouch(0.5), Messages{tap(2)});  // starts 0.3 s after the lift
    EXPECT_EQ(shortTouch(1.1), Messages{tap(1)});  // starts 0.4 s after the lift
    // A still touch of 0.5 s is no tap and breaks the chain.
    mapper.touchBegan({0, 0}, 2);
    EXPECT_EQ(mapper.touchEnded({0, 0}, 2.5), Messages{});
    EXPECT_EQ(mapper.lastTap.has_value(), false);
    // The count stops at 255.
    mapper.lastTap = WatchTouchMapper::TapChain{3, 255};
    EXPECT_EQ(shortTouch(3.1), Messages{tap(255)});
    // A secondary click forgets the chain.
    EXPECT_EQ(mapper.secondaryClick(), Messages{Message::RightClick{}});
    EXPECT_EQ(shortTouch(3.4), Messages{tap(1)});
}

TEST(WatchTouchMapperTest, HeldBackMovementIsReleasedAtOnce) {
    WatchTouchMapper mapper;
    mapper.touchBegan({0, 0}, 0);
    EXPECT_EQ(mapper.touchMoved({3, 0}, 0.05), Messages{});  // speed 60
    // At 7 points the whole offset goes out, at the larger of the smoothed speed (70) and 7 / 0.1 s.
    EXPECT_EQ(mapper.touchMoved({7, 0}, 0.1), Messages{move(gained(7, 70), 0)});
    // Later steps are ordinary, smoothed over the previous speed: (100 + 70) / 2.
    EXPECT_EQ(mapper.touchMoved({8, 0}, 0.11), Messages{move(gained(1, 85), 0)});
    // A lift after moving sends no tap.
    EXPECT_EQ(mapper.touchEnded({8, 0}, 0.12), Messages{});

    // Two positions 1/1000 s apart count as 1/240 s apart: 2400 points per second, full gain.
    mapper.touchBegan({0, 0}, 1);
    EXPECT_EQ(mapper.touchMoved({10, 0}, 1.001), Messages{move(60, 0)});
    // A touch held longer than a tap releases what it held back at its next step.
    mapper.touchBegan({0, 0}, 2);
    EXPECT_EQ(mapper.touchMoved({1, 0}, 2.4).size(), 1u);
    // Steps that are not numbers are not measured; pointer speed scales every step.
    EXPECT_EQ(mapper.touchMoved({NAN, 0}, 2.5), Messages{});
    mapper.configuration.pointerSpeed = 0;
    EXPECT_EQ(mapper.touchMoved({3, 0}, 2.6), Messages{});
    // A touch cannot begin at a point that is not a number.
    WatchTouchMapper fresh;
    fresh.touchBegan({NAN, 1}, 0);
    EXPECT_FALSE(fresh.isTouching());
}

TEST(WatchTouchMapperTest, CrownScrolling) {
    WatchTouchMapper mapper;
    EXPECT_EQ(mapper.crownRotated(0, 1), Messages{});
    EXPECT_FALSE(mapper.isCrownScrolling());
    EXPECT_EQ(mapper.crownRotated(NAN, 1), Messages{});
    EXPECT_EQ(mapper.crownRotated(0.5, 1), Messages{scroll(0, -6, ScrollPhase::began)});
    EXPECT_EQ(mapper.crownRotated(-0.25, 1.1), Messages{scroll(0, 3, ScrollPhase::changed)});
    EXPECT_EQ(mapper.crownIdle(1.3), Messages{});
    EXPECT_EQ(mapper.crownIdle(1.35), Messages{scroll(0, 0, ScrollPhase::ended)});
    EXPECT_EQ(mapper.crownIdle(2), Messages{});
    mapper.crownRotated(1, 3);
    EXPECT_EQ(mapper.secondaryClick(), (Messages{scroll(0, 0, ScrollPhase::ended), Message::RightClick{}}));
    mapper.crownRotated(1, 4);
    mapper.touchBegan({0, 0}, 4);
    EXPECT_EQ(mapper.reset(), Messages{scroll(0, 0, ScrollPhase::ended)});
    EXPECT_FALSE(mapper.isTouching());
    EXPECT_EQ(mapper.crownEnded(), Messages{});
}

TEST(WatchSwipeDetectorTest, OneSwipePerStroke) {
    auto swipe = [](SwipeDirection direction) {
        return Messages{Message::Gesture{Gesture{Gesture::Swipe{3, direction}}}};
    };
    WatchSwipeDetector detector;
    detector.touchBegan({0, 0});
    EXPECT_EQ(detector.touchMoved({23, 0}), Messages{});
    EXPECT_EQ(detector.touchMoved({24, 0}), swipe(SwipeDirection::right));
    EXPECT_TRUE(detector.didSwipe());
    EXPECT_EQ(detector.touchMoved({0, 100}), Messages{});
    EXPECT_EQ(detector.touchEnded({0, 100}), Messages{});
    EXPECT_FALSE(detector.isTracking());

    // Recognised at the end when the last move fell short.
    detector.touchBegan({0, 0});
    detector.touchMoved({0, -10});
    EXPECT_EQ(detector.touchEnded({0, -30}), swipe(SwipeDirection::up));

    EXPECT_EQ(WatchSwipeDetector::direction({0, 0}, {-24, 24}, 24), SwipeDirection::left);  // a tie
    EXPECT_EQ(WatchSwipeDetector::direction({0, 0}, {30, 30}, 24), SwipeDirection::right);
    EXPECT_EQ(WatchSwipeDetector::direction({0, 0}, {0, 0}, 0), std::nullopt);
    EXPECT_EQ(WatchSwipeDetector::direction({0, 0}, {1, 25}, 24), SwipeDirection::down);
    EXPECT_EQ(WatchSwipeDetector::direction({0, 0}, {INFINITY, 0}, 24), std::nullopt);
}

// ---- Settings --------------------------------------------------------------------------------------

std::optional<WatchSettings> read(const std::string& json) {
    return WatchSettings::fromJSONData(Data(json.begin(), json.end()));
}

TEST(WatchSettingsTest, ValuesAreClamped) {
    WatchSettings s = WatchSettings::standard;
    s.setPointerSensitivity(10);
    EXPECT_EQ(s.pointerSensitivity(), 4.0);
    s.setPointerSensitivity(0.1);
    EXPECT_EQ(s.pointerSensitivity(), 0.25);
    s.setPointerSensitivity(NAN);
    EXPECT_EQ(s.pointerSensitivity(), 1.0);
    s.setPointerAcceleration(-1);
    EXPECT_EQ(s.pointerAcceleration(), 0.0);
    s.setPointerAcceleration(3);
    EXPECT_EQ(s.pointerAcceleration(), 2.0);
    EXPECT_EQ(WatchSettings(INFINITY, 1, 9, false), WatchSettings(1, 1, 4, false));
}

TEST(WatchSettingsTest, TheDocumentIsWrittenCompactlyAndReadLeniently) {
    const auto json = WatchSettings(0.5, 2.0, 1.25, false).jsonData();
    EXPECT_EQ(std::string(json.begin(), json.end()),
              R"({"naturalScrolling":false,"pointerAcceleration":2.0,"pointerSensitivity":0.5,)"
              R"("scrollSensitivity":1.25,"version":1})");
    EXPECT_EQ(WatchSettings::fromJSONData(json), WatchSettings(0.5, 2.0, 1.25, false));
    EXPECT_EQ(WatchSettings::fromJSONData(WatchSettings::standard.jsonData()), WatchSettings::standard);

    EXPECT_EQ(read(R"({"version":2})"), std::nullopt);
    EXPECT_EQ(read(R"({"version":1e400})"), std::nullopt);
    EXPECT_EQ(read(R"({"version":1.0})"), WatchSettings::standard);
    EXPECT_EQ(read(R"({"version":0})"), WatchSettings::standard);
    EXPECT_EQ(read(R"({"version":"2"})"), WatchSettings::standard);
    EXPECT_EQ(read(R"({"naturalScrolling":false})"), WatchSettings(1, 1, 1, false));
    EXPECT_EQ(read("{}"), WatchSettings::standard);
    EXPECT_EQ(read(R"({"pointerSensitivity":true,"naturalScrolling":0})"), WatchSettings::standard);
    EXPECT_EQ(read(R"({"pointerSensitivity":3,"scrollSensitivity":-5})"), WatchSettings(3, 1, 0.25, true));
    EXPECT_EQ(read("[]"), std::nullopt);
    EXPECT_EQ(read("{"), std::nullopt);
    EXPECT_EQ(read(""), std::nullopt);

    EXPECT_EQ(WatchSettings::fromMessage(WatchSettings::standard.message()), WatchSettings::standard);
    EXPECT_EQ(WatchSettings::fromMessage({}), std::nullopt);
    EXPECT_EQ(WatchSettings::fromMessage({{"watchSettings", std::string("{}")}}), std::nullopt);
}

TEST(WatchSettingsTest, AppliedToTheMapper) {
    const auto base = WatchTouchMapper::Configuration::standard;
    const auto tuned = WatchSettings(2, 0, 0.5, false).applied(base);
    EXPECT_EQ(tuned.pointerSpeed, 2);
    EXPECT_EQ(tuned.acceleration.fastGain, tuned.acceleration.slowGain);
    EXPECT_EQ(tuned.crownScrollSpeed, -6);
    EXPECT_EQ(tuned.tapMaximumTravel, base.tapMaximumTravel);
    EXPECT_EQ(WatchSettings(1, 2, 1, true).applied(base).acceleration.fastGain, 10);
    EXPECT_EQ(WatchSettings::standard.applied(base), base);
}

TEST(WatchSettingsTest, TheSenderSendsEachValueOnceWhileReachable) {
    std::vector<WatchSettings> delivered;
    bool transportWorks = true;
    WatchSettingsSender sender([&](const WatchMessageDictionary& message) {
        if (!transportWorks)
            return false;
        delivered.push_back(*WatchSettings::fromMessage(message));
        return true;
    });
    const WatchSettings a(2, 1, 1, true);
    sender.update(a);
    EXPECT_TRUE(delivered.empty());
    sender.setCanSend(true);
    EXPECT_EQ(delivered, std::vector<WatchSettings>{a});
    sender.update(a);
    EXPECT_EQ(delivered.size(), 1u);
    sender.setCanSend(true);  // reachable again: resent once
    EXPECT_EQ(delivered.size(), 2u);

    transportWorks = false;
    const WatchSettings b(3, 1, 1, true);
    sender.update(b);
    EXPECT_EQ(sender.sent(), a);
    transportWorks = true;
    sender.update(b);
    EXPECT_EQ(delivered.back(), b);
    sender.setCanSend(false);
    sender.update(a);
    EXPECT_EQ(delivered.size(), 3u);
    EXPECT_EQ(sender.settings(), a);
}

}  // namespace
}  // namespace watch_test
