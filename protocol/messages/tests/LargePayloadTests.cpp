// Splitting, reassembly and the documents carried in parts: every refusal rule and limit at its edge.
#include <gtest/gtest.h>

#include <cmath>

#include "CodecTestSupport.h"
#include "protocol/messages/LargePayloads.h"

namespace codec_test {
namespace {

constexpr std::size_t partBytes = ScreenDataPart::maxBytes;
constexpr std::size_t documentLimit = ScreenDataPart::maxDocumentBytes;

Data bytes(std::size_t count, std::uint8_t seed = 1) {
    Data data(count);
    for (std::size_t i = 0; i < count; ++i)
        data[i] = static_cast<std::uint8_t>(seed + i * 7);
    return data;
}

ScreenDataPart part(std::uint32_t transfer, std::uint16_t index, std::uint16_t count, Data data = {0xAA}) {
    return ScreenDataPart{transfer, index, count, std::move(data)};
}

// Parts carried by messages, as a phone would assemble them after decoding.
template <class Case>
std::optional<Data> assemble(const std::vector<Message>& messages) {
    ScreenDataAssembler assembler;
    std::optional<Data> document;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        auto decoded = MessageCodec::decode(MessageCodec::encode(messages[i]));
        document = assembler.add(decoded.as<Case>()->part);
        if (i + 1 < messages.size()) {
            EXPECT_FALSE(document);
        }
    }
    return document;
}

TEST(SplitIntoParts, Limits) {
    EXPECT_EQ(splitIntoParts(5, bytes(1)).size(), 1u);
    EXPECT_EQ(splitIntoParts(5, bytes(partBytes)).size(), 1u);
    const auto two = splitIntoParts(5, bytes(partBytes + 1));
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[1].bytes.size(), 1u);
    EXPECT_EQ(two[1].part, 1);
    EXPECT_EQ(two[1].partCount, 2);
    EXPECT_EQ(two[1].transfer, 5u);
    EXPECT_EQ(splitIntoParts(5, bytes(documentLimit)).size(), 256u);
    EXPECT_EQ(errorOf<EncodingError>([] { splitIntoParts(5, bytes(documentLimit + 1)); }),
              EncodingError::screenDataTooLarge(documentLimit + 1));
    EXPECT_EQ(errorOf<EncodingError>([] { splitIntoParts(5, Data{}); }), EncodingError::invalidValue());
}

TEST(ScreenDataAssembler, RefusalRules) {
    struct Step {
        ScreenDataPart part;
        std::optional<Data> result;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const Data a{1}, b{2}, c{3};
    const std::vector<Case> cases = {
        {"one part", {{part(1, 0, 1, a), a}}},
        {"three parts in order",
         {{part(1, 0, 3, a), {}}, {part(1, 1, 3, b), {}}, {part(1, 2, 3, c), Data{1, 2, 3}}}},
        {"nothing expected", {{part(1, 1, 3, a), {}}, {part(1, 2, 3, a), {}}}},
        {"count above 256, then its next part", {{part(1, 0, 257, a), {}}, {part(1, 1, 257, b), {}}}},
        {"count 0", {{part(1, 0, 0, a), {}}, {part(1, 0, 1, b), b}}},
        {"index equals count", {{part(1, 0, 2, a), {}}, {part(1, 2, 2, b), {}}, {part(1, 1, 2, b), {}}}},
        {"empty bytes", {{part(1, 0, 2, a), {}}, {part(1, 1, 2, Data{}), {}}}},
        {"61440 bytes accepted", {{part(1, 0, 1, bytes(partBytes)), bytes(partBytes)}}},
        {"61441 bytes", {{part(1, 0, 1, bytes(partBytes + 1)), {}}}},
        {"other transfer drops the gathered data",
         {{part(1, 0, 3, a), {}}, {part(2, 1, 3, b), {}}, {part(1, 1, 3, b), {}}, {part(1, 2, 3, c), {}}}},
        {"skipped index", {{part(1, 0, 3, a), {}}, {part(1, 2, 3, c), {}}}},
        {"repeated index",
         {{part(1, 0, 3, a), {}}, {part(1, 1, 3, b), {}}, {part(1, 1, 3, b), {}}, {part(1, 2, 3, c), {}}}},
        {"other count", {{part(1, 0, 3, a), {}}, {part(1, 1, 4, b), {}}, {part(1, 2, 3, c), {}}}},
        {"index 0 restarts",
         {{part(1, 0, 2, a), {}}, {part(2, 0, 2, b), {}}, {part(2, 1, 2, c), Data{2, 3}}}},
        {"restart of the same transfer",
         {{part(1, 0, 2, a), {}}, {part(1, 0, 2, b), {}}, {part(1, 1, 2, c), Data{2, 3}}}},
        {"nothing expected after completion", {{part(1, 0, 1, a), a}, {part(1, 1, 2, b), {}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScreenDataAssembler assembler;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            EXPECT_EQ(assembler.add(c.steps[i].part), c.steps[i].result) << "step " << i;
        }
    }
}

TEST(ScreenDataAssembler, Accepts256Parts) {
    ScreenDataAssembler assembler;
    for (std::uint16_t index = 0; index < 255; ++index)
        ASSERT_FALSE(assembler.add(part(9, index, 256, Data{1})));
    EXPECT_EQ(assembler.add(part(9, 255, 256, Data{1})), Data(256, 1));
}

TEST(ScreenDataAssembler, RefusalEmptiesAndExpectsNothing) {
    ScreenDataAssembler assembler;
    assembler.add(part(1, 0, 3, bytes(100)));
    EXPECT_TRUE(assembler.isExpecting());
    EXPECT_EQ(assembler.gatheredBytes(), 100u);
    assembler.add(part(1, 2, 3));
    EXPECT_FALSE(assembler.isExpecting());
    EXPECT_EQ(assembler.gatheredBytes(), 0u);
}

TEST(ScreenVideoFrame, RoundTripThroughMessages) {
    ScreenVideoFrame frame{ScreenVideoCodec::hevc, 7, 1920, 1080, 123456789, {bytes(20), bytes(4, 9)},
                           bytes(200000)};
    const auto messages = frame.messages(33);
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0].as<Message::ScreenVideo>()->part.transfer, 33u);
    auto document = assemble<Message::ScreenVideo>(messages);
    ASSERT_TRUE(document);
    EXPECT_EQ(ScreenVideoFrame::decode(*document), frame);
    // codec, display, width, height, timestamp, parameter-set count, then the first set's length
    const Data head = Bytes().u8(1).u32(7).u16(1920).u16(1080).u64(123456789).u8(2).u16(20);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), document->begin()));
}

TEST(ScreenVideoFrame, Limits) {
    auto error = [](const ScreenVideoFrame& frame) {
        return errorOf<EncodingError>([&] { frame.messages(1); });
    };
    ScreenVideoFrame frame;
    frame.parameterSets.assign(255, Data{1});
    EXPECT_EQ(error(frame), std::nullopt);
    frame.parameterSets.assign(256, Data{1});
    EXPECT_EQ(error(frame), EncodingError::invalidValue());
    frame.parameterSets = {Data(65535)};
    EXPECT_EQ(error(frame), std::nullopt);
    frame.parameterSets = {Data(65536)};
    EXPECT_EQ(error(frame), EncodingError::screenDataTooLarge(65536));

    frame.parameterSets = {Data(10)};
    frame.sample = Data(documentLimit - ScreenVideoFrame::headerBytes - 12 - 4);
    EXPECT_EQ(frame.messages(1).size(), 256u);
    frame.sample.push_back(0);
    EXPECT_EQ(error(frame), EncodingError::screenDataTooLarge(documentLimit + 1));
}

TEST(ScreenVideoFrame, DecodeRefusesMalformedDocuments) {
    const Data header = Bytes().u8(0).u32(1).u16(2).u16(3).u64(4);
    auto error = [&](const Data& rest) {
        Data document = header;
        document.insert(document.end(), rest.begin(), rest.end());
        return errorOf<DecodingError>([&] { ScreenVideoFrame::decode(document); });
    };
    EXPECT_EQ(error(Bytes().u8(0).u32(1).u8(9)), std::nullopt);
    EXPECT_EQ(error(Bytes().u8(1).u16(5).fill(4).u32(0)), DecodingError::truncated());
    EXPECT_EQ(error(Bytes().u8(0).u32(0xFFFFFFFF)), DecodingError::truncated());
    EXPECT_EQ(error(Bytes().u8(0).u32(0).u8(0)), DecodingError::trailingBytes(1));
    EXPECT_EQ(errorOf<DecodingError>([] { ScreenVideoFrame::decode(Bytes().u8(2).fill(21, 0).data()); }),
              DecodingError::invalidValue());
}

TEST(Screenshot, ImageIsPresentExactlyWhenTaken) {
    EXPECT_EQ(Screenshot(Screenshot::Status::taken, bytes(3)).image(), bytes(3));
    EXPECT_EQ(Screenshot(Screenshot::Status::taken).image(), Data{});
    EXPECT_EQ(Screenshot(Screenshot::Status::failed, bytes(3)).image(), std::nullopt);
    EXPECT_EQ(Screenshot(Screenshot::Status::screenRecordingRequired).image(), std::nullopt);
}

TEST(Screenshot, RoundTripAndLimits) {
    for (const auto& shot : {Screenshot(Screenshot::Status::taken, bytes(70000)),
                             Screenshot(Screenshot::Status::displayUnavailable)}) {
        auto document = assemble<Message::Screenshot>(shot.messages(42));
        ASSERT_TRUE(document);
        EXPECT_EQ(Screenshot::decode(*document), shot);
    }
    EXPECT_EQ(Screenshot(Screenshot::Status::failed).encoded(), (Data{3, 0, 0, 0, 0}));
    EXPECT_EQ(Screenshot(Screenshot::Status::taken, Data(Screenshot::maxImageBytes)).messages(1).size(),
              256u);
    EXPECT_EQ(
        errorOf<EncodingError>([] { Screenshot(Screenshot::Status::taken, Data(15728636)).messages(1); }),
        EncodingError::screenDataTooLarge(documentLimit + 1));
}

TEST(Screenshot, DecodeRefusesMalformedDocuments) {
    auto error = [](const Data& document) {
        return errorOf<DecodingError>([&] { Screenshot::decode(document); });
    };
    EXPECT_EQ(error(Bytes().u8(1).u32(1).u8(0)), DecodingError::invalidValue()) << "image without taken";
    EXPECT_EQ(error(Bytes().u8(4).u32(0)), DecodingError::invalidValue());
    EXPECT_EQ(error(Bytes().u8(0).u32(15728636)), DecodingError::invalidValue());
    EXPECT_EQ(error(Bytes().u8(0).u32(3).u8(1)), DecodingError::truncated());
    EXPECT_EQ(error(Bytes().u8(0).u32(1).u8(1).u8(2)), DecodingError::trailingBytes(1));
}

TEST(PresentationImageFile, Decode) {
    const auto placement = [] { return Bytes().u8(1).f32(0.5f).f32(0.5f).f32(1).f32(2); };
    struct Case {
        const char* name;
        Data document;
        std::optional<DecodingError> error;
    };
    const std::vector<Case> cases = {
        {"no placement", Bytes().u8(0).u32(1).u8(9), std::nullopt},
        {"placement", placement().u32(2).u8(9).u8(8), std::nullopt},
        {"largest image", Bytes().u8(0).u32(8388608).fill(8388608), std::nullopt},
        {"presence 2", Bytes().u8(2).u32(1).u8(9), DecodingError::invalidValue()},
        {"invalid placement", Bytes().u8(1).f32(1.5f).f32(0.5f).f32(1).f32(1).u32(1).u8(9),
         DecodingError::invalidValue()},
        {"NaN placement", Bytes().u8(1).f32(0.5f).f32(NAN).f32(1).f32(1).u32(1).u8(9),
         DecodingError::invalidValue()},
        {"empty image", Bytes().u8(0).u32(0), DecodingError::invalidValue()},
        {"image above 8388608", Bytes().u8(0).u32(8388609).fill(8388609), DecodingError::invalidValue()},
        {"short image", Bytes().u8(0).u32(5).fill(4), DecodingError::truncated()},
        {"short placement", Bytes().u8(1).f32(0.5f), DecodingError::truncated()},
        {"nothing", Bytes(), DecodingError::truncated()},
        {"bytes after the image", Bytes().u8(0).u32(1).u8(9).fill(3), DecodingError::trailingBytes(3)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(errorOf<DecodingError>([&] { PresentationImageFile::decode(c.document); }), c.error);
        if (!c.error) {
            EXPECT_EQ(PresentationImageFile::decode(c.document).encoded(), c.document);
        }
    }
}

TEST(PresentationImageFile, PhoneSideEncoding) {
    PresentationImageFile file{bytes(100), PresentationImagePlacement{{0.25f, 0.75f}, 0.5f, 0.5f}};
    EXPECT_EQ(PresentationImageFile::decode(file.encoded()), file);
    file.image = Data(8388609);
    EXPECT_EQ(errorOf<EncodingError>([&] { file.encoded(); }),
              EncodingError::presentationImageTooLarge(8388609));
    file.image = Data{};
    EXPECT_EQ(errorOf<EncodingError>([&] { file.encoded(); }), EncodingError::invalidValue());
    file.image = Data{1};
    file.placement->width = 5;
    EXPECT_EQ(errorOf<EncodingError>([&] { file.encoded(); }), EncodingError::invalidValue());
}

}  // namespace
}  // namespace codec_test
