// The encoder refuses every value its wire form cannot carry (so it never makes bytes the decoder would
// refuse), with the stated error and byte count, and accepts the values at the edges.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "CodecTestSupport.h"

namespace codec_test {
namespace {

const auto invalid = EncodingError::invalidValue();
const auto nonFinite = EncodingError::nonFiniteValue();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

struct Case {
    const char* name;
    Message message;
    std::optional<EncodingError> error;  // none: encodes and decodes back to an equal message
};

void check(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(encodingError(c.message), c.error);
        if (!c.error) {
            EXPECT_EQ(MessageCodec::decode(MessageCodec::encode(c.message)), c.message);
        }
    }
}

std::string text(std::size_t bytes) {
    return std::string(bytes, 't');
}
Data image(std::size_t bytes) {
    return Data(bytes, 0x42);
}
template <class E>
E bad(int raw) {
    return static_cast<E>(raw);
}
Message part(std::size_t bytes, std::uint16_t index = 0, std::uint16_t count = 1) {
    return Message::ScreenVideo{{1, index, count, image(bytes)}};
}
Message unlock(std::string password) {
    return Message::UnlockRequest{{1, std::move(password)}};
}
Message placed(float cx, float cy, float w, float h) {
    return Message::PresentationImage{{PresentationImage::Place{1, {{cx, cy}, w, h}}}};
}
// An app list whose payload is exactly `bytes` long (a few thousand or more).
Message appListOf(std::size_t bytes) {
    std::vector<MacApp> apps;
    std::size_t total = 8;
    while (bytes - total > 513) {
        apps.push_back({text(255), text(255), {}});
        total += 513;
    }
    const auto rest = bytes - total - 3;
    apps.push_back(
        {text(std::min<std::size_t>(rest, 255)), text(rest - std::min<std::size_t>(rest, 255)), {}});
    return Message::RunningApps{{apps, 0, 1}};
}

TEST(MessageEncoding, StringLengths) {
    check({
        {"text 255", Message::Text{text(255)}, std::nullopt},
        {"text 256", Message::Text{text(256)}, EncodingError::stringTooLong(256)},
        {"text of multi-byte characters, 256 bytes", Message::Text{text(254) + "é"},
         EncodingError::stringTooLong(256)},
        {"device name 300", Message::PairingRequest{{}, text(300)}, EncodingError::stringTooLong(300)},
        {"host name 256", Message::PairingChallenge{{}, text(256), {}, {}, 0},
         EncodingError::stringTooLong(256)},
        {"display name 256", Message::ScreenDisplays{{{1, text(256), 1, 1, {}}}},
         EncodingError::stringTooLong(256)},
        {"bundle id 256", Message::OpenApp{text(256)}, EncodingError::stringTooLong(256)},
        {"icon request 256", Message::AppIconRequest{{text(256), 1}}, EncodingError::stringTooLong(256)},
        {"title 256", Message::NowPlaying{NowPlaying(text(256), "", std::nullopt)},
         EncodingError::stringTooLong(256)},
        {"artist 255", Message::NowPlaying{NowPlaying("", text(255), std::nullopt)}, std::nullopt},
        {"key character 256", Message::KeyCombination{{KeyCombination::Character{text(256)}, {}}},
         EncodingError::stringTooLong(256)},
        {"key character empty", Message::KeyCombination{{KeyCombination::Character{""}, {}}}, invalid},
        {"text not UTF-8", Message::Text{"\xFF"}, invalid},
        {"app name 256", Message::InstalledApps{{{{"b", text(256), {}}}, 0, 1}},
         EncodingError::stringTooLong(256)},
    });
}

TEST(MessageEncoding, Passwords) {
    check({
        {"1 byte", unlock("p"), std::nullopt},
        {"255 bytes", unlock(text(255)), std::nullopt},
        {"256 bytes", unlock(text(256)), EncodingError::stringTooLong(256)},
        {"empty", unlock(""), invalid},
        {"newline", unlock("secret\n"), invalid},
        {"U+009F", unlock("secret\xC2\x9F"), invalid},
        {"not UTF-8", unlock("secret\xC3"), invalid},
    });
    auto error = encodingError(unlock("hunter2\n"));
    ASSERT_TRUE(error);
    EXPECT_EQ(std::string(error->what()).find("hunter2"), std::string::npos);
}

TEST(MessageEncoding, ImagesAndParts) {
    check({
        {"artwork 61440", Message::NowPlaying{NowPlaying("t", "a", image(61440))}, std::nullopt},
        {"artwork 61441", Message::NowPlaying{NowPlaying("t", "a", image(61441))},
         EncodingError::artworkTooLarge(61441)},
        {"icon 61440", Message::AppIcon{AppIcon("b", image(61440))}, std::nullopt},
        {"icon 61441", Message::AppIcon{AppIcon("b", image(61441))}, EncodingError::iconTooLarge(61441)},
        {"part 1 byte", part(1), std::nullopt},
        {"part 61440", part(61440), std::nullopt},
        {"part 61441", part(61441), EncodingError::screenDataTooLarge(61441)},
        {"part empty", part(0), invalid},
        {"part 255 of 256", part(1, 255, 256), std::nullopt},
        {"part count 257", part(1, 0, 257), invalid},
        {"part count 0", part(1, 0, 0), invalid},
        {"part index = count", part(1, 2, 2), invalid},
        {"screenshot part 61441", Message::Screenshot{{1, 0, 1, image(61441)}},
         EncodingError::screenDataTooLarge(61441)},
        {"presentation part 61441",
         Message::PresentationImage{{PresentationImage::Part{{1, 0, 1, image(61441)}}}},
         EncodingError::screenDataTooLarge(61441)},
    });
    // An empty image set directly on the record travels as absent, as the constructors store it.
    Message::AppIcon empty;
    empty.icon.bundleID = "b";
    empty.icon.image = Data{};
    EXPECT_EQ(MessageCodec::decode(MessageCodec::encode(empty)),
              Message(Message::AppIcon{AppIcon("b", std::nullopt)}));
}

TEST(MessageEncoding, AppListsFitOneFrame) {
    check({
        {"65535 bytes", appListOf(65535), std::nullopt},
        {"65536 bytes", appListOf(65536), EncodingError::appListTooLarge(65536)},
        {"part index = count", Message::RunningApps{{{}, 1, 1}}, invalid},
        {"unknown state bit", Message::RunningApps{{{{"b", "n", MacApp::State(4)}}, 0, 1}}, invalid},
    });
    EXPECT_EQ(MessageCodec::encode(appListOf(65535)).size(), 65535u);
}

TEST(MessageEncoding, NonFiniteNumbers) {
    const UUID session;
    check({
        {"move NaN", Message::Move{nan, 0}, nonFinite},
        {"move inf", Message::Move{0, -inf}, nonFinite},
        {"drag", Message::Drag{DragPhase::changed, inf, 0}, nonFinite},
        {"scroll", Message::Scroll{0, nan, ScrollPhase::began, std::nullopt}, nonFinite},
        {"pinch", Message::Gesture{{Gesture::Pinch{GesturePhase::changed, nan, std::nullopt}}}, nonFinite},
        {"swipe tracking",
         Message::Gesture{{Gesture::SwipeTracking{GesturePhase::changed, 3, 0, inf, std::nullopt}}},
         nonFinite},
        {"annotation point", Message::Annotation{{Annotation::Update{1, 1, {nan, 0}}}}, nonFinite},
        {"placement", placed(0.5f, 0.5f, nan, 1), nonFinite},
        {"pointer stamp x", Message::Positioned{Message{Message::Move{1, 1}}, {session, 1, 0, HUGE_VAL, 0}},
         nonFinite},
        {"inner move of positioned",
         Message::Positioned{Message{Message::Move{nan, 1}}, {session, 1, 0, 0, 0}}, nonFinite},
    });
}

TEST(MessageEncoding, RangesEnumerationsAndOptionSets) {
    check({
        {"drag phase 3", Message::Drag{bad<DragPhase>(3), 0, 0}, invalid},
        {"scroll phase 5", Message::Scroll{0, 0, bad<ScrollPhase>(5), std::nullopt}, invalid},
        {"gesture phase 3", Message::Gesture{{Gesture::Pinch{bad<GesturePhase>(3), 1, std::nullopt}}},
         invalid},
        {"swipe direction 4", Message::Gesture{{Gesture::Swipe{3, bad<SwipeDirection>(4)}}}, invalid},
        {"media command 8", Message::MediaCommand{bad<MediaCommand>(8)}, invalid},
        {"quick action 3", Message::QuickAction{bad<QuickAction>(3)}, invalid},
        {"annotation tool 4", Message::Annotation{{Annotation::Begin{1, bad<AnnotationTool>(4), {}}}},
         invalid},
        {"rejection 7", Message::PairingRejected{bad<PairingRejection>(7)}, invalid},
        {"control status 2", Message::ControlStatus{bad<ControlStatus>(2)}, invalid},
        {"screen lock status 2", Message::ScreenLockStatus{bad<ScreenLockStatus>(2)}, invalid},
        {"view state 5", Message::ScreenViewStatus{{bad<ScreenViewStatus::State>(5), std::nullopt}}, invalid},
        {"app list kind 2", Message::AppsRequest{bad<AppListKind>(2)}, invalid},
        {"open status 3", Message::OpenAppResult{{"b", bad<OpenAppResult::Status>(3)}}, invalid},
        {"unlock status 8", Message::UnlockResult{{1, bad<UnlockResult::Status>(8)}}, invalid},
        {"subscriptions 0x10", Message::Subscribe{Subscriptions(0x10)}, invalid},
        {"modifiers 0x10",
         Message::KeyCombination{{KeyCombination::Code{1}, KeyCombination::Modifiers(0x10)}}, invalid},
        {"display traits 8", Message::ScreenDisplays{{{1, "d", 1, 1, ScreenDisplay::Traits(8)}}}, invalid},
        {"33 displays", Message::ScreenDisplays{std::vector<ScreenDisplay>(33)}, invalid},
        {"32 displays", Message::ScreenDisplays{std::vector<ScreenDisplay>(32)}, std::nullopt},
        {"pixels 63", Message::ScreenViewStart{{1, 63, 30, ScreenVideoCodecs::h264}}, invalid},
        {"pixels 8193", Message::ScreenshotRequest{{1, 1, 8193}}, invalid},
        {"fps 0", Message::ScreenViewStart{{1, 64, 0, ScreenVideoCodecs::h264}}, invalid},
        {"fps 121", Message::ScreenViewStart{{1, 64, 121, ScreenVideoCodecs::h264}}, invalid},
        {"no codecs", Message::ScreenViewStart{{1, 64, 30, {}}}, invalid},
        {"unknown codec bit", Message::ScreenViewStart{{1, 64, 30, ScreenVideoCodecs(4)}}, invalid},
        {"volume 101", Message::VolumeStatus{{101, false, true}}, invalid},
        {"placement width 4.0000005", placed(0.5f, 0.5f, std::nextafter(4.0f, 5.0f), 1), invalid},
        {"placement centre -0.0000001", placed(-1e-7f, 0.5f, 1, 1), invalid},
        {"positioned scroll", Message::Positioned{Message{Message::Scroll{}}, {}}, invalid},
        {"positioned positioned",
         Message::Positioned{Message{Message::Positioned{Message{Message::Tap{}}, {}}}, {}}, invalid},
    });
}

TEST(MessageEncoding, FailedEncodingLeavesTheOutputAsItWas) {
    Data output{1, 2, 3};
    EXPECT_THROW(MessageCodec::encode(Message::Move{1, nan}, output), EncodingError);
    EXPECT_EQ(output, (Data{1, 2, 3}));
    EXPECT_THROW(MessageFraming::appendFrame(Message::Text{text(300)}, output), EncodingError);
    EXPECT_EQ(output, (Data{1, 2, 3}));
}

TEST(MessageEncoding, ErrorsSayWhatDidNotFit) {
    EXPECT_STREQ(EncodingError::stringTooLong(300).what(), "string too long (300 bytes, at most 255)");
    EXPECT_EQ(EncodingError::artworkTooLarge(70000).byteCount(), 70000u);
    EXPECT_EQ(EncodingError::invalidValue("codecs").kind(), EncodingError::Kind::invalidValue);
    EXPECT_STREQ(EncodingError::invalidValue("codecs").what(), "invalid value in codecs");
    EXPECT_STREQ(DecodingError::unknownMessageType(0xAB).what(), "unknown message type 0xAB");
    EXPECT_EQ(DecodingError::unsupportedVersion(2).byte(), 2);
    EXPECT_EQ(DecodingError::trailingBytes(9).count(), 9u);
    EXPECT_NE(DecodingError::trailingBytes(9), DecodingError::trailingBytes(8));
}

}  // namespace
}  // namespace codec_test
