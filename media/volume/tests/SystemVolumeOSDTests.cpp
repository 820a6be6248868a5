#include "media/volume/SystemVolumeOSD.h"

#include <gtest/gtest.h>

#include "injector/MediaKeys.h"
#include "injector/RecordingEventPoster.h"
#include "media/volume/tests/FakeVolume.h"

namespace media {
namespace {

using Key = SystemVolumeOSD::Key;
using fakes::FakeVolumeProvider;

// A virtual clock: waiting moves it, and the provider may change at a set time.
struct Harness {
    Harness() {
        osd = std::make_unique<SystemVolumeOSD>(
            [this](Key key) {
                presses.push_back({key, clock});
            },
            [this] { return clock; },
            [this](double seconds) {
                clock += seconds;
                ++waits;
                if (reactAt && clock >= *reactAt) {
                    provider.set(reaction);
                    reactAt.reset();
                }
            });
    }
    void show(VolumeReading from, VolumeReading to) {
        provider.set(from);
        osd->showChange(from, to, provider);
    }

    struct Press {
        Key key;
        double at;
    };
    double clock = 100;
    int waits = 0;
    std::optional<double> reactAt;
    VolumeReading reaction;
    FakeVolumeProvider provider;
    std::vector<Press> presses;
    std::unique_ptr<SystemVolumeOSD> osd;
};

TEST(SystemVolumeOSDTest, KeyChoice) {
    const auto key = [](VolumeReading from, VolumeReading to) { return SystemVolumeOSD::key(from, to); };
    EXPECT_EQ(key({0.5, false}, {0.6, false}), Key::soundUp);
    EXPECT_EQ(key({0.5, false}, {0.4, std::nullopt}), Key::soundDown);
    EXPECT_EQ(key({0.5, false}, {0.5, true}), Key::mute);
    EXPECT_EQ(key({0.5, std::nullopt}, {0.5, true}), Key::mute);
    EXPECT_EQ(key({0.2, true}, {0.9, true}), std::nullopt);
    EXPECT_EQ(key({0.2, true}, {0.2, std::nullopt}), Key::mute);
    EXPECT_EQ(key({0.502, false}, {0.504, false}), std::nullopt);
    EXPECT_EQ(key({std::nullopt, false}, {0.5, true}), std::nullopt);
    EXPECT_EQ(key({0.5, false}, {std::nullopt, true}), std::nullopt);
}

TEST(SystemVolumeOSDTest, AtMostOnePressPerSecond) {
    Harness h;
    h.reaction = {0.9, false};
    h.reactAt = h.clock + 0.01;
    h.show({0.5, false}, {0.6, false});
    ASSERT_EQ(h.presses.size(), 1u);
    // Polling stopped once the output moved, and no pause was set.
    EXPECT_LE(h.waits, 5);

    h.clock = 100.5;
    h.show({0.5, false}, {0.6, false});
    EXPECT_EQ(h.presses.size(), 1u);

    h.clock = 101.2;
    h.reactAt = h.clock + 0.01;
    h.show({0.5, false}, {0.4, false});
    ASSERT_EQ(h.presses.size(), 2u);
    EXPECT_EQ(h.presses[1].key, Key::soundDown);
}

TEST(SystemVolumeOSDTest, AnOutputThatDoesNotReactPausesTheKeysForTenSeconds) {
    Harness h;
    h.show({0.5, false}, {0.6, false});
    ASSERT_EQ(h.presses.size(), 1u);
    // Polled for 0.3 s.
    EXPECT_GE(h.clock - 100, 0.3);
    EXPECT_LT(h.clock - 100, 0.31);

    h.clock = 109.9;
    h.show({0.5, false}, {0.6, false});
    EXPECT_EQ(h.presses.size(), 1u);

    // The first change after the pause presses at once: the last press was forgotten.
    h.clock = 110.0;
    h.show({0.5, false}, {0.6, false});
    EXPECT_EQ(h.presses.size(), 2u);
}

TEST(SystemVolumeOSDTest, DefaultKeyPressPostsDownThenUpTagged) {
    Injector::RecordingEventPoster poster;
    SystemVolumeOSD::postKey(poster, Key::mute);
    const auto events = poster.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(Injector::mediaKeyStroke(events[0]), (Injector::MediaKeyStroke{7, true}));
    EXPECT_EQ(Injector::mediaKeyStroke(events[1]), (Injector::MediaKeyStroke{7, false}));
    EXPECT_EQ(events[0].system.data1, (7 << 16) | 0xA00);
    EXPECT_EQ(events[1].flags, 0xB00u);
    EXPECT_EQ(events[0].integerField(Injector::EventField::eventSourceUserData), Injector::injectedEventTag);
}

}  // namespace
}  // namespace media
