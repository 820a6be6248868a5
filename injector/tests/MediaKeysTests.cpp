#include <gtest/gtest.h>

#include "injector/MediaKeys.h"
#include "injector/RecordingEventPoster.h"
#include "platform/Executor.h"

namespace Injector {
namespace {

struct MediaCase {
    MediaCommand command;
    std::int64_t keyCode;
};

class MediaKeyEventTest : public ::testing::TestWithParam<MediaCase> {};

TEST_P(MediaKeyEventTest, CommandGivesItsKeyDownAndUpWords) {
    const MediaCase& c = GetParam();
    const std::optional<std::uint8_t> index = mediaKeyIndex(c.command);
    ASSERT_TRUE(index.has_value());
    const std::optional<InputEvent> down = makeMediaKeyEvent(true, injectedEventTag, *index);
    const std::optional<InputEvent> up = makeMediaKeyEvent(false, injectedEventTag, *index);
    ASSERT_TRUE(down && up);
    EXPECT_EQ(down->system.data1, (c.keyCode << 16) | 0x0A00);
    EXPECT_EQ(up->system.data1, (c.keyCode << 16) | 0x0B00);
    for (const InputEvent& event : {*down, *up}) {
        EXPECT_EQ(event.type, EventType::systemDefined);
        EXPECT_EQ(event.system.subtype, 8);
        EXPECT_EQ(event.system.data2, -1);
        EXPECT_EQ(event.system.windowNumber, 0);
        EXPECT_EQ(event.location, (Point{0, 0}));
        EXPECT_EQ(event.integerField(EventField::eventSourceUserData), 0x54524B50);
    }
    EXPECT_EQ(down->flags, 0x0A00u);
    EXPECT_EQ(up->flags, 0x0B00u);
    EXPECT_EQ(mediaKeyStroke(*down), (MediaKeyStroke{std::uint8_t(c.keyCode), true}));
    EXPECT_EQ(mediaKeyStroke(*up), (MediaKeyStroke{std::uint8_t(c.keyCode), false}));
}

INSTANTIATE_TEST_SUITE_P(
    AllCommands, MediaKeyEventTest,
    ::testing::Values(MediaCase{MediaCommand::playPause, 16}, MediaCase{MediaCommand::next, 17},
                      MediaCase{MediaCommand::previous, 18}, MediaCase{MediaCommand::volumeUp, 0},
                      MediaCase{MediaCommand::volumeDown, 1}, MediaCase{MediaCommand::mute, 7},
                      MediaCase{MediaCommand::brightnessUp, 2}, MediaCase{MediaCommand::brightnessDown, 3}));

TEST(MediaKeys, MuteAndPlayPauseWords) {
    EXPECT_EQ(makeMediaKeyEvent(true, injectedEventTag, *mediaKeyIndex(MediaCommand::mute))->system.data1,
              0x00070A00);
    EXPECT_EQ(
        makeMediaKeyEvent(false, injectedEventTag, *mediaKeyIndex(MediaCommand::playPause))->system.data1,
        0x00100B00);
}

TEST(MediaKeys, EventIsStampedWithTheSystemUptime) {
    const double before = platform::monotonicSeconds();
    const std::optional<InputEvent> event = makeMediaKeyEvent(true, injectedEventTag, 0);
    const double after = platform::monotonicSeconds();
    ASSERT_TRUE(event.has_value());
    EXPECT_GE(event->timestamp, before);
    EXPECT_LE(event->timestamp, after);
}

TEST(MediaKeys, OutsideTheTableGivesNothing) {
    EXPECT_FALSE(makeMediaKeyEvent(true, injectedEventTag, 8).has_value());
    EXPECT_FALSE(makeMediaKeyEvent(false, injectedEventTag, 255).has_value());
    EXPECT_FALSE(mediaKeyIndex(static_cast<MediaCommand>(8)).has_value());
}

TEST(MediaKeys, StrokeIgnoresOtherEvents) {
    EXPECT_FALSE(
        mediaKeyStroke(InputEvent::mouse(EventType::leftMouseDown, {}, MouseButton::left)).has_value());
    InputEvent otherSubtype = *makeMediaKeyEvent(true, injectedEventTag, 0);
    otherSubtype.system.subtype = 7;
    EXPECT_FALSE(mediaKeyStroke(otherSubtype).has_value());
    InputEvent repeat = *makeMediaKeyEvent(true, injectedEventTag, 0);
    repeat.system.data1 = 0x00000C00;
    EXPECT_FALSE(mediaKeyStroke(repeat).has_value());
}

// The key pair the injector posts for a command.
void press(EventPoster& poster, MediaCommand command) {
    poster.post(*makeMediaKeyEvent(true, injectedEventTag, *mediaKeyIndex(command)));
    poster.post(*makeMediaKeyEvent(false, injectedEventTag, *mediaKeyIndex(command)));
}

TEST(MediaKeyRouter, AKeyCarriedOutIsNeverPostedAndADeclinedOneIsPostedWhole) {
    RecordingEventPoster system(true);
    std::vector<AuxiliaryKey> asked;
    MediaKeyRouter router(system, [&](AuxiliaryKey key) {
        asked.push_back(key);
        return key == AuxiliaryKey::play || key == AuxiliaryKey::soundUp;
    });
    EXPECT_TRUE(router.pacesMotion());

    press(router, MediaCommand::playPause);
    press(router, MediaCommand::volumeUp);
    EXPECT_EQ(system.count(), 0u);
    EXPECT_EQ(asked, (std::vector<AuxiliaryKey>{AuxiliaryKey::play, AuxiliaryKey::soundUp}));

    press(router, MediaCommand::next);
    const std::vector<InputEvent> posted = system.take();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(mediaKeyStroke(posted[0]), (MediaKeyStroke{17, true}));
    EXPECT_EQ(mediaKeyStroke(posted[1]), (MediaKeyStroke{17, false}));

    // A release whose press was not seen here still reaches the system, so no key is left held.
    router.post(*makeMediaKeyEvent(false, injectedEventTag, *mediaKeyIndex(MediaCommand::playPause)));
    EXPECT_EQ(system.count(), 1u);
    router.post(InputEvent::mouse(EventType::leftMouseDown, {3, 4}, MouseButton::left));
    EXPECT_EQ(system.count(), 2u);
}

}  // namespace
}  // namespace Injector
