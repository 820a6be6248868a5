// The decoder refuses every payload that is not exactly one valid message, with the stated error, and
// accepts the values at the very edges of each stated range.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "CodecTestSupport.h"
#include "testing/SampleMessages.h"

namespace codec_test {
namespace {

const auto invalid = DecodingError::invalidValue();
const auto truncated = DecodingError::truncated();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

float above(float v) {
    return std::nextafter(v, inf);
}
float below(float v) {
    return std::nextafter(v, -inf);
}

struct Case {
    const char* name;
    Data bytes;
    std::optional<DecodingError> error;  // none: accepted
};

void check(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decodingError(c.bytes), c.error);
        // What is accepted is canonical: encoding it again gives the same bytes.
        if (!c.error) {
            EXPECT_EQ(MessageCodec::encode(MessageCodec::decode(c.bytes)), c.bytes);
        }
    }
}

Bytes viewStart(std::uint16_t pixels, std::uint8_t fps, std::uint8_t codecs) {
    return Bytes::payload(0x32).u32(1).u16(pixels).u8(fps).u8(codecs);
}
Bytes dataPart(std::uint8_t type, std::uint16_t part, std::uint16_t count, std::uint16_t length) {
    return Bytes::payload(type).u32(1).u16(part).u16(count).u16(length).fill(length);
}
Bytes place(float cx, float cy, float w, float h) {
    return Bytes::payload(0x21).u8(1).u32(1).f32(cx).f32(cy).f32(w).f32(h);
}
Bytes displays(std::uint8_t count, std::uint8_t traits = 0) {
    auto bytes = Bytes::payload(0x31).u8(count);
    for (int i = 0; i < count; ++i)
        bytes.u32(1).str("d").u16(1).u16(1).u8(traits);
    return bytes;
}
Bytes appList(std::uint16_t part, std::uint16_t count, std::uint8_t state = 0) {
    return Bytes::payload(0x41).u16(part).u16(count).u16(1).str("b").str("n").u8(state);
}
Bytes icon(std::uint8_t presence, std::uint16_t length) {
    return Bytes::payload(0x44).str("b").u8(presence).u16(length).fill(length);
}
Bytes artwork(std::uint8_t presence, std::uint16_t length) {
    return Bytes::payload(0x58).str("t").str("a").u8(presence).u16(length).fill(length);
}

TEST(MessageDecoding, EnvelopeErrors) {
    check({
        {"empty", Bytes(), truncated},
        {"version only", Bytes().u8(1), truncated},
        {"version 0", Bytes().u8(0).u8(0x10), DecodingError::unsupportedVersion(0)},
        {"version 2", Bytes().u8(2).u8(0x10), DecodingError::unsupportedVersion(2)},
        {"version 255 alone", Bytes().u8(255), DecodingError::unsupportedVersion(255)},
        {"type 0x00", Bytes::payload(0x00), DecodingError::unknownMessageType(0x00)},
        {"type 0x0F", Bytes::payload(0x0F).u8(0), DecodingError::unknownMessageType(0x0F)},
        {"type 0xFF", Bytes::payload(0xFF), DecodingError::unknownMessageType(0xFF)},
        {"trailing byte", Bytes::payload(0x14).u8(0), DecodingError::trailingBytes(1)},
        {"trailing bytes", Bytes::payload(0x11).u8(1).fill(300), DecodingError::trailingBytes(300)},
    });
}

TEST(MessageDecoding, EveryUnassignedTypeByteIsUnknown) {
    std::set<std::uint8_t> known;
    for (const auto& m : testing_support::sampleMessages())
        known.insert(MessageCodec::typeByte(m));
    for (int type = 0; type < 256; ++type) {
        auto error = decodingError(Bytes::payload(static_cast<std::uint8_t>(type)));
        if (known.count(static_cast<std::uint8_t>(type))) {
            EXPECT_NE(error, DecodingError::unknownMessageType(static_cast<std::uint8_t>(type)));
        } else {
            EXPECT_EQ(error, DecodingError::unknownMessageType(static_cast<std::uint8_t>(type)));
        }
    }
}

// Cutting a valid payload anywhere gives `truncated`; one byte more gives `trailingBytes(1)`.
TEST(MessageDecoding, EveryPrefixIsTruncatedAndEveryExtensionTrails) {
    for (const auto& message : testing_support::smallSampleMessages()) {
        SCOPED_TRACE(message.description());
        auto payload = MessageCodec::encode(message);
        for (std::size_t length = 0; length < payload.size(); ++length) {
            ASSERT_EQ(decodingError(Data(payload.begin(), payload.begin() + static_cast<long>(length))),
                      truncated)
                << "length " << length;
        }
        payload.push_back(0);
        EXPECT_EQ(decodingError(payload), DecodingError::trailingBytes(1));
    }
}

TEST(MessageDecoding, EnumerationsAndOptionSets) {
    check({
        {"pairing rejection 6", Bytes::payload(0x05).u8(6), std::nullopt},
        {"pairing rejection 7", Bytes::payload(0x05).u8(7), invalid},
        {"wants features 2", Bytes::payload(0x07).fill(16).fill(32).u8(2), invalid},
        {"features presence 2", Bytes::payload(0x08).u8(2).u32(1), invalid},
        {"probe via datagram 2", Bytes::payload(0x09).u32(1).u8(2), invalid},
        {"subscriptions 0x0F", Bytes::payload(0x0B).u8(0x0F), std::nullopt},
        {"subscriptions 0x10", Bytes::payload(0x0C).u8(0x10), invalid},
        {"control status 1", Bytes::payload(0x0D).u8(1), std::nullopt},
        {"control status 2", Bytes::payload(0x0D).u8(2), invalid},
        {"screen lock status 2", Bytes::payload(0x0E).u8(2), invalid},
        {"drag phase 2", Bytes::payload(0x12).u8(2).f32(0).f32(0), std::nullopt},
        {"drag phase 3", Bytes::payload(0x12).u8(3).f32(0).f32(0), invalid},
        {"scroll phase 4", Bytes::payload(0x13).f32(0).f32(0).u8(4).u8(0), std::nullopt},
        {"scroll phase 5", Bytes::payload(0x13).f32(0).f32(0).u8(5).u8(0), invalid},
        {"scroll stamp presence 2", Bytes::payload(0x13).f32(0).f32(0).u8(0).u8(2), invalid},
        {"positioned scroll", Bytes::payload(0x15).u8(0x13).f32(0).f32(0).u8(0).u8(0).fill(48, 0), invalid},
        {"positioned positioned", Bytes::payload(0x15).u8(0x15).u8(0x14).fill(48, 0), invalid},
        {"positioned text", Bytes::payload(0x15).u8(0x18).str("").fill(48, 0), invalid},
        {"positioned right click", Bytes::payload(0x15).u8(0x14).fill(48, 0), std::nullopt},
        {"gesture kind 4", Bytes::payload(0x16).u8(4).u8(1), invalid},
        {"swipe direction 3", Bytes::payload(0x16).u8(0).u8(3).u8(3), std::nullopt},
        {"swipe direction 4", Bytes::payload(0x16).u8(0).u8(3).u8(4), invalid},
        {"pinch phase 3", Bytes::payload(0x16).u8(1).u8(3).f32(1).u8(0), invalid},
        {"pinch stamp presence 2", Bytes::payload(0x16).u8(1).u8(0).f32(1).u8(2), invalid},
        {"swipe tracking phase 3", Bytes::payload(0x16).u8(2).u8(3).u8(3).f32(0).f32(0).u8(0), invalid},
        {"key kind 2", Bytes::payload(0x17).u8(2).u16(1).u8(0), invalid},
        {"key character empty", Bytes::payload(0x17).u8(1).str("").u8(0), invalid},
        {"modifiers 0x0F", Bytes::payload(0x17).u8(0).u16(1).u8(0x0F), std::nullopt},
        {"modifiers 0x10", Bytes::payload(0x17).u8(0).u16(1).u8(0x10), invalid},
        {"media command 7", Bytes::payload(0x19).u8(7), std::nullopt},
        {"media command 8", Bytes::payload(0x19).u8(8), invalid},
        {"quick action 2", Bytes::payload(0x1A).u8(2), std::nullopt},
        {"quick action 3", Bytes::payload(0x1A).u8(3), invalid},
        {"annotation kind 6", Bytes::payload(0x20).u8(6), invalid},
        {"annotation tool 3", Bytes::payload(0x20).u8(0).u16(1).u8(3).f32(0).f32(0), std::nullopt},
        {"annotation tool 4", Bytes::payload(0x20).u8(0).u16(1).u8(4).f32(0).f32(0), invalid},
        {"presentation kind 4", Bytes::payload(0x21).u8(4), invalid},
        {"display traits 7", displays(1, 7), std::nullopt},
        {"display traits 8", displays(1, 8), invalid},
        {"screen view state 4", Bytes::payload(0x35).u8(4).u32(1), std::nullopt},
        {"screen view state 5", Bytes::payload(0x35).u8(5).u32(1), invalid},
        {"app list kind 2", Bytes::payload(0x40).u8(2), invalid},
        {"app state 3", appList(0, 1, 3), std::nullopt},
        {"app state 4", appList(0, 1, 4), invalid},
        {"open app status 3", Bytes::payload(0x46).str("b").u8(3), invalid},
        {"muted 2", Bytes::payload(0x51).u8(2), invalid},
        {"unlock status 7", Bytes::payload(0x61).u32(1).u8(7), std::nullopt},
        {"unlock status 8", Bytes::payload(0x61).u32(1).u8(8), invalid},
    });
}

TEST(MessageDecoding, NumericRanges) {
    check({
        {"pixels 63", viewStart(63, 30, 1), invalid},
        {"pixels 64", viewStart(64, 30, 1), std::nullopt},
        {"pixels 8192", viewStart(8192, 30, 1), std::nullopt},
        {"pixels 8193", viewStart(8193, 30, 1), invalid},
        {"fps 0", viewStart(100, 0, 1), invalid},
        {"fps 1", viewStart(100, 1, 1), std::nullopt},
        {"fps 120", viewStart(100, 120, 1), std::nullopt},
        {"fps 121", viewStart(100, 121, 1), invalid},
        {"codecs empty", viewStart(100, 30, 0), invalid},
        {"codecs both", viewStart(100, 30, 3), std::nullopt},
        {"codecs unknown", viewStart(100, 30, 4), invalid},
        {"screenshot pixels 63", Bytes::payload(0x37).u32(1).u32(1).u16(63), invalid},
        {"screenshot pixels 64", Bytes::payload(0x37).u32(1).u32(1).u16(64), std::nullopt},
        {"screenshot pixels 8192", Bytes::payload(0x37).u32(1).u32(1).u16(8192), std::nullopt},
        {"screenshot pixels 8193", Bytes::payload(0x37).u32(1).u32(1).u16(8193), invalid},
        {"32 displays", displays(32), std::nullopt},
        {"33 displays", displays(33), invalid},
        {"volume 100", Bytes::payload(0x53).u8(100).u8(0).u8(1), std::nullopt},
        {"volume 101", Bytes::payload(0x53).u8(101).u8(0).u8(1), invalid},
        {"set volume 255", Bytes::payload(0x50).u8(255), std::nullopt},
        {"app part 0 of 0", appList(0, 0), invalid},
        {"app part 65534 of 65535", appList(65534, 65535), std::nullopt},
        {"app part 1 of 1", appList(1, 1), invalid},
        {"app count beyond bytes", Bytes::payload(0x41).u16(0).u16(1).u16(65535).str("b").str("n").u8(0),
         truncated},
    });
}

TEST(MessageDecoding, ScreenDataParts) {
    const std::uint16_t max = ScreenDataPart::maxBytes;
    for (std::uint8_t type : {0x36, 0x38}) {
        check({
            {"part count 0", dataPart(type, 0, 0, 1), invalid},
            {"part count 1", dataPart(type, 0, 1, 1), std::nullopt},
            {"part count 256", dataPart(type, 255, 256, 1), std::nullopt},
            {"part count 257", dataPart(type, 0, 257, 1), invalid},
            {"index equals count", dataPart(type, 3, 3, 1), invalid},
            {"no bytes", dataPart(type, 0, 1, 0), invalid},
            {"61440 bytes", dataPart(type, 0, 1, max), std::nullopt},
            {"61441 bytes", dataPart(type, 0, 1, max + 1), invalid},
            {"length beyond bytes", Bytes::payload(type).u32(1).u16(0).u16(1).u16(10).fill(9), truncated},
        });
    }
    check({
        {"presentation part 61440", Bytes::payload(0x21).u8(0).u32(1).u16(0).u16(1).u16(max).fill(max),
         std::nullopt},
        {"presentation part 61441",
         Bytes::payload(0x21).u8(0).u32(1).u16(0).u16(1).u16(max + 1).fill(max + 1), invalid},
        {"presentation part count 257", Bytes::payload(0x21).u8(0).u32(1).u16(0).u16(257).u16(1).fill(1),
         invalid},
    });
}

TEST(MessageDecoding, Images) {
    const std::uint16_t max = ScreenDataPart::maxBytes;
    check({
        {"icon absent", Bytes::payload(0x44).str("b").u8(0), std::nullopt},
        {"icon presence 2", icon(2, 1), invalid},
        {"icon empty", icon(1, 0), invalid},
        {"icon 61440", icon(1, max), std::nullopt},
        {"icon 61441", icon(1, max + 1), invalid},
        {"artwork empty", artwork(1, 0), invalid},
        {"artwork 61440", artwork(1, max), std::nullopt},
        {"artwork 61441", artwork(1, max + 1), invalid},
    });
}

TEST(MessageDecoding, FloatsAndPlacements) {
    check({
        {"move NaN", Bytes::payload(0x10).f32(nan).f32(0), invalid},
        {"move -inf", Bytes::payload(0x10).f32(0).f32(-inf), invalid},
        {"move largest", Bytes::payload(0x10).f32(3.4028235e38f).f32(-3.4028235e38f), std::nullopt},
        {"drag inf", Bytes::payload(0x12).u8(1).f32(inf).f32(0), invalid},
        {"scroll NaN", Bytes::payload(0x13).f32(0).f32(nan).u8(1).u8(0), invalid},
        {"pinch NaN", Bytes::payload(0x16).u8(1).u8(1).f32(nan).u8(0), invalid},
        {"swipe tracking inf", Bytes::payload(0x16).u8(2).u8(1).u8(3).f32(inf).f32(0).u8(0), invalid},
        {"annotation point NaN", Bytes::payload(0x20).u8(2).u16(1).f32(nan).f32(0), invalid},
        {"annotation point outside 0...1", Bytes::payload(0x20).u8(1).u16(1).u16(1).f32(-5).f32(7),
         std::nullopt},
        {"pointer stamp NaN", Bytes::payload(0x15).u8(0x14).fill(16).u64(1).u64(0).f64(std::nan("")).f64(0),
         invalid},
        {"pointer stamp inf", Bytes::payload(0x15).u8(0x14).fill(16).u64(1).u64(0).f64(0).f64(-HUGE_VAL),
         invalid},
        {"placement corners", place(0, 1, 0.01f, 4.0f), std::nullopt},
        {"placement centre below 0", place(below(0), 0.5f, 1, 1), invalid},
        {"placement centre above 1", place(0.5f, above(1), 1, 1), invalid},
        {"placement width below 0.01", place(0.5f, 0.5f, below(0.01f), 1), invalid},
        {"placement height above 4", place(0.5f, 0.5f, 1, above(4.0f)), invalid},
        {"placement NaN", place(nan, 0.5f, 1, 1), invalid},
        {"placement inf", place(0.5f, 0.5f, inf, 1), invalid},
    });
}

TEST(MessageDecoding, Strings) {
    check({
        {"255 bytes", Bytes::payload(0x18).str(std::string(255, 'a')), std::nullopt},
        {"length beyond bytes", Bytes::payload(0x18).u8(10).fill(9, 'a'), truncated},
        {"overlong", Bytes::payload(0x18).str("\xC0\x80"), invalid},
        {"surrogate", Bytes::payload(0x18).str("\xED\xA0\x80"), invalid},
        {"above U+10FFFF", Bytes::payload(0x18).str("\xF4\x90\x80\x80"), invalid},
        {"lone continuation", Bytes::payload(0x45).str("a\x80"), invalid},
        {"cut sequence", Bytes::payload(0x01).fill(16).str("\xF0\x9F\x98"), invalid},
        {"four-byte character", Bytes::payload(0x18).str("\xF0\x9F\x98\x80"), std::nullopt},
        {"password 255 bytes", Bytes::payload(0x60).u32(1).str(std::string(255, 'p')), std::nullopt},
        {"password empty", Bytes::payload(0x60).u32(1).str(""), invalid},
        {"password with tab", Bytes::payload(0x60).u32(1).str("pass\tword"), invalid},
        {"password with DEL", Bytes::payload(0x60).u32(1).str("pass\x7Fword"), invalid},
        {"password with U+0085", Bytes::payload(0x60).u32(1).str("pass\xC2\x85"), invalid},
        {"password with NUL", Bytes::payload(0x60).u32(1).str(std::string("a\0b", 3)), invalid},
        {"password with U+00A0", Bytes::payload(0x60).u32(1).str("pass\xC2\xA0word"), std::nullopt},
    });
}

// A refused password is never echoed by the error.
TEST(MessageDecoding, PasswordErrorsDoNotShowThePassword) {
    auto error = decodingError(Bytes::payload(0x60).u32(1).str("hunter2\n"));
    ASSERT_TRUE(error);
    EXPECT_EQ(std::string(error->what()).find("hunter2"), std::string::npos);
}

}  // namespace
}  // namespace codec_test
