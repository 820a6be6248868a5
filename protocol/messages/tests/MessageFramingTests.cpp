// Frames and the stream decoder: limits, bad frames, and the bound on what is buffered.
#include <gtest/gtest.h>

#include "CodecTestSupport.h"

namespace codec_test {
namespace {

using FramingError = MessageFraming::FramingError;

// What a decoder made of the reads given so far.
struct Recorder {
    FrameDecoder decoder;
    std::vector<Message> messages;
    std::vector<FrameDecoder::BadFrame> bad;

    void feed(const Data& bytes) {
        decoder.feed(
            bytes, [&](Message&& m) { messages.push_back(std::move(m)); },
            [&](const FrameDecoder::BadFrame& b) { bad.push_back(b); });
    }
    void feedByteByByte(const Data& bytes) {
        for (auto byte : bytes)
            feed(Data{byte});
    }
};

Data frames(std::initializer_list<Data> parts) {
    Data stream;
    for (const auto& part : parts)
        stream.insert(stream.end(), part.begin(), part.end());
    return stream;
}

Data frameOf(const Message& message) {
    return MessageFraming::frame(message);
}

// A frame around bytes that are not a message (an unknown type).
Data badFrame() {
    return MessageFraming::frame(Bytes::payload(0xEE).data());
}

const Data zeroLengthFrame{0x00, 0x00};

TEST(MessageFraming, PayloadLimits) {
    EXPECT_EQ(errorOf<FramingError>([] { MessageFraming::frame(Data{}); }), FramingError::emptyFrame());
    EXPECT_EQ(errorOf<FramingError>([] { MessageFraming::frame(Data(65536)); }),
              FramingError::payloadTooLarge(65536));
    const auto largest = MessageFraming::frame(Data(65535, 7));
    ASSERT_EQ(largest.size(), 65537u);
    EXPECT_EQ(largest[0], 0xFF);
    EXPECT_EQ(largest[1], 0xFF);
    EXPECT_EQ(MessageFraming::frame(Data{9}), (Data{0x00, 0x01, 0x09}));
}

TEST(FrameDecoder, UndecodableFrameDropsOnlyItsMessage) {
    for (bool byteByByte : {false, true}) {
        Recorder r;
        const auto stream = frames({frameOf(Message::Tap{1}), badFrame(), frameOf(Message::Tap{2})});
        byteByByte ? r.feedByteByByte(stream) : r.feed(stream);
        EXPECT_EQ(r.messages, (std::vector<Message>{Message::Tap{1}, Message::Tap{2}}));
        ASSERT_EQ(r.bad.size(), 1u);
        EXPECT_FALSE(r.bad[0].closesConnection);
        EXPECT_EQ(std::get<DecodingError>(r.bad[0].error), DecodingError::unknownMessageType(0xEE));
        EXPECT_FALSE(r.decoder.isClosed());
    }
}

TEST(FrameDecoder, ThirdBadFrameInARowClosesTheStream) {
    Recorder r;
    r.feed(frames({badFrame(), badFrame(), frameOf(Message::Tap{1}), badFrame(), badFrame()}));
    EXPECT_FALSE(r.decoder.isClosed()) << "a good message in between starts the count again";
    r.feed(frames({badFrame(), frameOf(Message::Tap{2})}));
    EXPECT_TRUE(r.decoder.isClosed());
    ASSERT_EQ(r.bad.size(), 5u);
    EXPECT_TRUE(r.bad.back().closesConnection);
    EXPECT_EQ(r.messages, (std::vector<Message>{Message::Tap{1}}));
    r.feed(frameOf(Message::Tap{3}));
    EXPECT_EQ(r.messages.size(), 1u) << "a closed decoder ignores input";
}

TEST(FrameDecoder, ZeroLengthFrameClosesTheStream) {
    for (bool byteByByte : {false, true}) {
        Recorder r;
        const auto stream = frames({frameOf(Message::Tap{1}), zeroLengthFrame, frameOf(Message::Tap{2})});
        byteByByte ? r.feedByteByByte(stream) : r.feed(stream);
        EXPECT_EQ(r.messages, (std::vector<Message>{Message::Tap{1}}));
        ASSERT_EQ(r.bad.size(), 1u);
        EXPECT_TRUE(r.bad[0].closesConnection);
        EXPECT_EQ(std::get<FramingError>(r.bad[0].error), FramingError::emptyFrame());
        EXPECT_TRUE(r.decoder.isClosed());
        EXPECT_EQ(r.decoder.bufferedBytes(), 0u);
    }
}

TEST(FrameDecoder, CallbackMayCloseTheStream) {
    FrameDecoder decoder;
    int delivered = 0;
    decoder.feed(
        frames({frameOf(Message::Tap{1}), frameOf(Message::Tap{2})}),
        [&](Message&&) {
            ++delivered;
            decoder.close();
        },
        [](const FrameDecoder::BadFrame&) {});
    EXPECT_EQ(delivered, 1);
}

// At most one partial frame is kept, however the stream is cut.
TEST(FrameDecoder, BuffersAtMostOnePartialFrame) {
    Recorder r;
    const auto largest = MessageFraming::frame(Data(65535, 7));
    const auto stream = frames({largest, frameOf(Message::Tap{1})});
    std::size_t mostBuffered = 0;
    for (std::size_t offset = 0; offset < stream.size(); offset += 1000) {
        r.feed(Data(stream.begin() + static_cast<long>(offset),
                    stream.begin() + static_cast<long>(std::min(stream.size(), offset + 1000))));
        mostBuffered = std::max(mostBuffered, r.decoder.bufferedBytes());
    }
    EXPECT_LT(mostBuffered, largest.size());
    EXPECT_EQ(r.decoder.bufferedBytes(), 0u);
    EXPECT_EQ(r.bad.size(), 1u) << "65535 bytes of 7 are no message";
    EXPECT_EQ(r.messages, (std::vector<Message>{Message::Tap{1}}));

    // A full read of back-to-back frames leaves only the cut frame's head behind.
    Recorder moves;
    Data read;
    while (read.size() < FrameDecoder::readSize)
        MessageFraming::appendFrame(Message::Move{1, 2}, read);
    read.resize(FrameDecoder::readSize);
    moves.feed(read);
    EXPECT_EQ(moves.messages.size(), FrameDecoder::readSize / 12);
    EXPECT_EQ(moves.decoder.bufferedBytes(), FrameDecoder::readSize % 12);
}

}  // namespace
}  // namespace codec_test
