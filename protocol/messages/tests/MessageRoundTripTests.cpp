// Every case survives encode, frame, any split of the stream, and decode; the wire layout is pinned by a
// few exact encodings.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "CodecTestSupport.h"
#include "testing/SampleMessages.h"

namespace codec_test {
namespace {

using testing_support::sampleMessages;
using testing_support::smallSampleMessages;

Data streamOf(const std::vector<Message>& messages) {
    Data stream;
    for (const auto& message : messages)
        MessageFraming::appendFrame(message, stream);
    return stream;
}

// Feeds the stream in the given chunk sizes (cycled) and returns what came out.
std::vector<Message> decodeInChunks(const Data& stream, const std::vector<std::size_t>& chunkSizes) {
    FrameDecoder decoder;
    std::vector<Message> out;
    std::size_t offset = 0;
    for (std::size_t i = 0; offset < stream.size(); ++i) {
        const auto size = std::min(chunkSizes[i % chunkSizes.size()], stream.size() - offset);
        decoder.feed(
            std::span(stream).subspan(offset, size), [&](Message&& m) { out.push_back(std::move(m)); },
            [](const FrameDecoder::BadFrame& bad) { ADD_FAILURE() << bad.what(); });
        offset += size;
        EXPECT_LT(decoder.bufferedBytes(), MessageFraming::headerBytes + MessageFraming::maxPayloadBytes);
    }
    EXPECT_EQ(decoder.bufferedBytes(), 0u);
    return out;
}

TEST(MessageRoundTrip, SamplesCoverEveryCase) {
    std::set<std::size_t> cases;
    for (const auto& message : sampleMessages())
        cases.insert(message.value.index());
    EXPECT_EQ(cases.size(), std::variant_size_v<Message::Value>);
}

TEST(MessageRoundTrip, EveryCaseDecodesToAnEqualMessage) {
    for (const auto& message : sampleMessages()) {
        SCOPED_TRACE(message.description());
        const auto payload = MessageCodec::encode(message);
        EXPECT_EQ(payload[0], version);
        EXPECT_EQ(payload[1], MessageCodec::typeByte(message));
        EXPECT_EQ(MessageCodec::decode(payload), message);
        const auto frame = MessageFraming::frame(message);
        ASSERT_EQ(frame.size(), payload.size() + 2);
        EXPECT_EQ(frame[0] << 8 | frame[1], static_cast<int>(payload.size()));
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), frame.begin() + 2));
    }
}

TEST(MessageRoundTrip, TypeBytesAreDistinct) {
    std::set<std::uint8_t> bytes;
    for (const auto& message : sampleMessages())
        bytes.insert(MessageCodec::typeByte(message));
    EXPECT_EQ(bytes.size(), std::variant_size_v<Message::Value>);
}

TEST(MessageRoundTrip, StreamSurvivesWholeByteByByteAndRandomSplits) {
    const auto messages = sampleMessages();
    const auto stream = streamOf(messages);
    EXPECT_EQ(decodeInChunks(stream, {stream.size()}), messages);
    EXPECT_EQ(decodeInChunks(stream, {1}), messages);
    EXPECT_EQ(decodeInChunks(stream, {FrameDecoder::readSize}), messages);
    EXPECT_EQ(decodeInChunks(stream, {2, 3, 1, 65537, 7}), messages);
    std::mt19937 random(20240611);
    for (int round = 0; round < 8; ++round) {
        std::uniform_int_distribution<std::size_t> size(1, round % 2 ? 16 : FrameDecoder::readSize);
        std::vector<std::size_t> chunks(97);
        for (auto& chunk : chunks)
            chunk = size(random);
        EXPECT_EQ(decodeInChunks(stream, chunks), messages) << "round " << round;
    }
}

// One message of each case, cut in two at every offset of the stream.
TEST(MessageRoundTrip, StreamSurvivesASplitAtEveryOffset) {
    std::vector<Message> messages;
    std::set<std::size_t> cases;
    for (auto& message : smallSampleMessages()) {
        if (cases.insert(message.value.index()).second) messages.push_back(std::move(message));
    }
    const auto stream = streamOf(messages);
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        FrameDecoder decoder;
        std::vector<Message> out;
        auto keep = [&](Message&& m) { out.push_back(std::move(m)); };
        auto fail = [&](const FrameDecoder::BadFrame& bad) { ADD_FAILURE() << bad.what(); };
        decoder.feed(std::span(stream).first(cut), keep, fail);
        decoder.feed(std::span(stream).subspan(cut), keep, fail);
        ASSERT_EQ(out, messages) << "cut at " << cut;
    }
}

// The layout other implementations must match, byte for byte.
TEST(MessageRoundTrip, ExactEncodings) {
    struct Case {
        Message message;
        Data bytes;
    };
    const UUID session{{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}};
    const std::vector<Case> cases = {
        {Message::Move{1.5f, -2.0f}, Bytes::payload(0x10).u32(0x3FC00000).u32(0xC0000000)},
        {Message::Tap{2}, Bytes::payload(0x11).u8(2)},
        {Message::Scroll{0, 1, ScrollPhase::changed, ScrollStamp{{7, 8}}},
         Bytes::payload(0x13).f32(0).f32(1).u8(1).u8(1).u32(7).u32(8)},
        {Message::Positioned{Message{Message::Tap{3}}, PointerStamp{session, 1, 2, 0.5, -1}},
         Bytes::payload(0x15)
             .u8(0x11)
             .u8(3)
             .u32(0x00010203)
             .u32(0x04050607)
             .u32(0x08090A0B)
             .u32(0x0C0D0E0F)
             .u64(1)
             .u64(2)
             .u64(0x3FE0000000000000)
             .u64(0xBFF0000000000000)},
        {Message::Gesture{{Gesture::Pinch{GesturePhase::changed, 0.5f, std::nullopt}}},
         Bytes::payload(0x16).u8(1).u8(1).f32(0.5f).u8(0)},
        {Message::KeyCombination{{KeyCombination::Character{"a"}, KeyCombination::Modifiers::shift}},
         Bytes::payload(0x17).u8(1).str("a").u8(0x02)},
        {Message::ScreenViewStatus{{ScreenViewStatus::State::stopped, std::nullopt}},
         Bytes::payload(0x35).u8(1).u32(0)},
        {Message::Screenshot{{9, 0, 1, {0xFF, 0xD8}}},
         Bytes::payload(0x38).u32(9).u16(0).u16(1).u16(2).u8(0xFF).u8(0xD8)},
        {Message::SessionAccepted{HostFeatures::all}, Bytes::payload(0x08).u8(1).u32(0x1FF)},
        {Message::UnlockRequest{{5, "pw"}}, Bytes::payload(0x60).u32(5).str("pw")},
        {Message::NowPlaying{NowPlaying("T", "A", std::nullopt)},
         Bytes::payload(0x58).str("T").str("A").u8(0)},
        {Message::RunningApps{{{{"b", "n", MacApp::State::active}}, 0, 1}},
         Bytes::payload(0x41).u16(0).u16(1).u16(1).str("b").str("n").u8(1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message.description());
        EXPECT_EQ(MessageCodec::encode(c.message), c.bytes);
        EXPECT_EQ(MessageCodec::decode(c.bytes), c.message);
    }
    EXPECT_EQ(MessageFraming::frame(Message::Tap{2}), (Data{0x00, 0x03, 0x01, 0x11, 0x02}));
}

// A display id of 0 is what an absent one travels as.
TEST(MessageRoundTrip, PresentDisplayZeroReadsBackAsAbsent) {
    auto decoded = MessageCodec::decode(
        MessageCodec::encode(Message::ScreenViewStatus{{ScreenViewStatus::State::showing, 0u}}));
    EXPECT_EQ(decoded, (Message::ScreenViewStatus{{ScreenViewStatus::State::showing, std::nullopt}}));
}

// Feature bits this side does not know are kept, not refused: a newer computer may offer more.
TEST(MessageRoundTrip, UnknownFeatureBitsAreKept) {
    auto decoded = MessageCodec::decode(Bytes::payload(0x08).u8(1).u32(0x80000001).data());
    EXPECT_EQ(decoded, (Message::SessionAccepted{HostFeatures(0x80000001u)}));
}

}  // namespace
}  // namespace codec_test
