// The message model's rules: which channel each message takes, descriptions (that never show secrets),
// and the small behaviours of the payload types.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "CodecTestSupport.h"
#include "protocol/input/PointerFrameAccumulator.h"
#include "protocol/input/PointerSequencer.h"
#include "testing/SampleMessages.h"

namespace codec_test {
namespace {

constexpr auto datagram = Transport::datagram;
constexpr auto reliable = Transport::reliable;

Message positioned(Message inner, std::uint64_t sequence) {
    return Message::Positioned{std::move(inner), PointerStamp{UUID{}, sequence, 0, 0, 0}};
}
Message pinch(GesturePhase phase) {
    return Message::Gesture{{Gesture::Pinch{phase, 1, std::nullopt}}};
}
Message swipeTracking(GesturePhase phase) {
    return Message::Gesture{{Gesture::SwipeTracking{phase, 3, 1, 1, std::nullopt}}};
}
Message scroll(ScrollPhase phase) {
    return Message::Scroll{0, 1, phase, std::nullopt};
}

TEST(MessageTransport, Rules) {
    struct Case {
        const char* name;
        Message message;
        Transport expected;
    };
    const std::vector<Case> cases = {
        {"move", Message::Move{1, 1}, datagram},
        {"tap", Message::Tap{1}, reliable},
        {"drag began", Message::Drag{DragPhase::began, 0, 0}, reliable},
        {"drag changed", Message::Drag{DragPhase::changed, 0, 0}, datagram},
        {"drag ended", Message::Drag{DragPhase::ended, 0, 0}, reliable},
        {"scroll began", scroll(ScrollPhase::began), datagram},
        {"scroll changed", scroll(ScrollPhase::changed), datagram},
        {"scroll momentum", scroll(ScrollPhase::momentum), datagram},
        {"scroll ended", scroll(ScrollPhase::ended), reliable},
        {"scroll momentum ended", scroll(ScrollPhase::momentumEnded), reliable},
        {"datagram probe", Message::Probe{1, true}, datagram},
        {"reliable probe", Message::Probe{1, false}, reliable},
        {"probe reply", Message::ProbeReply{1, true}, reliable},
        {"annotation update", Message::Annotation{{Annotation::Update{1, 1, {}}}}, datagram},
        {"annotation begin", Message::Annotation{{Annotation::Begin{1, AnnotationTool::pen, {}}}}, reliable},
        {"annotation end", Message::Annotation{{Annotation::End{1, {}}}}, reliable},
        {"pinch began", pinch(GesturePhase::began), reliable},
        {"pinch changed", pinch(GesturePhase::changed), datagram},
        {"pinch ended", pinch(GesturePhase::ended), reliable},
        {"swipe tracking changed", swipeTracking(GesturePhase::changed), datagram},
        {"swipe tracking ended", swipeTracking(GesturePhase::ended), reliable},
        {"swipe", Message::Gesture{{Gesture::Swipe{3, SwipeDirection::left}}}, reliable},
        {"positioned move", positioned(Message::Move{1, 1}, 5), datagram},
        {"positioned drag changed", positioned(Message::Drag{DragPhase::changed, 1, 1}, 5), datagram},
        {"positioned tap", positioned(Message::Tap{1}, 5), reliable},
        {"positioned move with sequence 0", positioned(Message::Move{0, 0}, 0), reliable},
        {"unlock request", Message::UnlockRequest{{1, "pw"}}, reliable},
        {"screen video", Message::ScreenVideo{}, reliable},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.message.transport(), c.expected) << c.name;
}

// A positioned message whose inner message was moved away: every reader must see an inert message, never
// a null one, and never the session-start marker its stamp would make of a move(0, 0).
TEST(MessageModel, MovedFromPositionedMessageIsInert) {
    Message::Positioned source{Message{Message::Move{0, 0}}, PointerStamp{UUID{}, 0, 0, 0, 0}};
    const Message::Positioned taken = std::move(source);
    EXPECT_EQ(*taken.message, (Message{Message::Move{0, 0}}));

    const Message leftover = source;  // NOLINT(bugprone-use-after-move): the point of the test
    EXPECT_EQ(leftover.transport(), reliable);
    EXPECT_EQ(encodingError(leftover), EncodingError::invalidValue());
    EXPECT_FALSE(leftover.description().empty());
    EXPECT_EQ(leftover, Message{source});
    EXPECT_NE(leftover, Message{taken});
    EXPECT_TRUE(PointerSequencer().accept(leftover).empty());
    PointerFrameAccumulator accumulator;
    EXPECT_EQ(accumulator.add(leftover, 1.0), (std::vector<Message>{leftover}));

    source = taken;
    EXPECT_EQ(Message{source}, Message{taken});
}

TEST(MessageDescription, ReadableForms) {
    const UUID id{
        {0xE6, 0x21, 0xE1, 0xF8, 0xC3, 0x6C, 0x49, 0x5A, 0x93, 0xFC, 0x0C, 0x24, 0x7A, 0x3E, 0x6E, 0x5F}};
    struct Case {
        Message message;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {Message::Move{1.5f, -2}, "move(dx: 1.5, dy: -2)"},
        {Message::Tap{2}, "tap(clickCount: 2)"},
        {Message::RightClick{}, "rightClick"},
        {scroll(ScrollPhase::momentumEnded), "scroll(dx: 0, dy: 1, phase: momentumEnded, stamp: nil)"},
        {Message::Positioned{Message{Message::Tap{1}}, PointerStamp{id, 3, 2, 0.5, 4}},
         "positioned(tap(clickCount: 1), stamp: PointerStamp(session: E621E1F8-C36C-495A-93FC-0C247A3E6E5F, "
         "sequence: 3, boundary: 2, x: 0.5, y: 4))"},
        {Message::Gesture{{Gesture::Pinch{GesturePhase::changed, 0.25f, PinchStamp{{4, 5}}}}},
         "gesture(pinch(phase: changed, magnification: 0.25, stamp: PinchStamp(stroke: 4, sequence: 5)))"},
        {Message::KeyCombination{{KeyCombination::Character{"a"},
                                  KeyCombination::Modifiers::command | KeyCombination::Modifiers::shift}},
         "keyCombination(character(\"a\"), modifiers: [command, shift])"},
        {Message::Text{"say \"hi\"\n"}, "text(\"say \\\"hi\\\"\\x0A\")"},
        {Message::SessionAccepted{HostFeatures::apps | HostFeatures::unlock},
         "sessionAccepted(features: [apps, unlock])"},
        {Message::ScreenViewStatus{{ScreenViewStatus::State::stopped, std::nullopt}},
         "screenViewStatus(state: stopped, displayID: nil)"},
        {Message::Screenshot{{42, 0, 2, Data(61440)}},
         "screenshot(ScreenDataPart(transfer: 42, part: 0, partCount: 2, bytes: <61440 bytes>))"},
        {Message::UnlockResult{{9, UnlockResult::Status::cannotType}},
         "unlockResult(number: 9, status: cannotType)"},
        {Message::Subscribe{Subscriptions(0x31)}, "subscribe([nowPlaying, unknown(48)])"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.message.description(), c.expected);
}

TEST(MessageDescription, EveryCaseHasItsOwnName) {
    std::map<std::size_t, std::string> names;
    for (const auto& message : testing_support::sampleMessages()) {
        const auto name = testing_support::caseName(message);
        EXPECT_FALSE(name.empty());
        EXPECT_TRUE(std::islower(static_cast<unsigned char>(name[0]))) << name;
        names[message.value.index()] = name;
    }
    std::set<std::string> distinct;
    for (const auto& [index, name] : names)
        distinct.insert(name);
    EXPECT_EQ(distinct.size(), std::variant_size_v<Message::Value>);
}

TEST(MessageDescription, SecretsNeverAppear) {
    const std::string password = "correct horse battery staple";
    const Message request = Message::UnlockRequest{{7, password}};
    EXPECT_EQ(request.description(), "unlockRequest(number: 7, password: <redacted>)");
    EXPECT_EQ(request.as<Message::UnlockRequest>()->request.description(),
              "UnlockRequest(number: 7, password: <redacted>)");
    for (const auto& message : testing_support::sampleMessages()) {
        const auto text = message.description();
        if (auto unlock = message.as<Message::UnlockRequest>()) {
            EXPECT_EQ(text.find(unlock->request.password), std::string::npos);
        }
        if (message.is<Message::SessionRequest>() || message.is<Message::PairingAccepted>()) {
            EXPECT_NE(text.find("token: <redacted>"), std::string::npos) << text;
        }
    }
}

TEST(PayloadTypes, PercentLevel) {
    struct Case {
        double scalar;
        std::uint8_t level;
    };
    const std::vector<Case> cases = {
        {NAN, 0},  {-INFINITY, 0}, {-0.5, 0},     {0, 0},   {0.004, 0}, {0.005, 1},      {0.125, 13},
        {0.5, 50}, {0.994, 99},    {0.9999, 100}, {1, 100}, {7, 100},   {INFINITY, 100},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VolumeStatus::percentLevel(c.scalar), c.level) << c.scalar;
    EXPECT_EQ(VolumeStatus::unsupported, (VolumeStatus{0, false, false}));
}

TEST(PayloadTypes, SmallBehaviours) {
    EXPECT_EQ(mediaCommandFromRaw(0), MediaCommand::playPause);
    EXPECT_EQ(mediaCommandFromRaw(7), MediaCommand::brightnessDown);
    EXPECT_EQ(mediaCommandFromRaw(8), std::nullopt);
    EXPECT_EQ(mediaCommandFromRaw(255), std::nullopt);
    EXPECT_TRUE(isFinal(ScrollPhase::ended));
    EXPECT_TRUE(isFinal(ScrollPhase::momentumEnded));
    EXPECT_FALSE(isFinal(ScrollPhase::momentum));
    EXPECT_EQ(AppIcon("b", Data{}).image, std::nullopt);
    EXPECT_EQ(NowPlaying("t", "a", Data{}).artwork, std::nullopt);
    EXPECT_EQ(NowPlaying("t", "a", std::nullopt), NowPlaying("t", "a", Data{}));
    EXPECT_NE(NowPlaying("t", "a", Data{1}), NowPlaying("t", "a", Data{2}));
    EXPECT_EQ(AnnotationColor::standard, (AnnotationColor{255, 59, 48}));
    EXPECT_TRUE(ScreenVideoCodecs::h264.contains(ScreenVideoCodec::h264));
    EXPECT_FALSE(ScreenVideoCodecs::h264.contains(ScreenVideoCodec::hevc));
    EXPECT_EQ(version, 1);
}

}  // namespace
}  // namespace codec_test
