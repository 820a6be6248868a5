// The x264 encoder's stream, written out as Annex B, read back by ffprobe: size, profile, frame count,
// a forced keyframe that is an IDR, BT.709 signalled.
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include <gtest/gtest.h>

#include "screen-view/H264Encoder.h"
#include "testing/Subprocess.h"

namespace ScreenView {
namespace {

// A moving gradient with a bar, so that the encoder has real work and P frames differ.
std::shared_ptr<VideoFrame> testFrame(int width, int height, int index) {
    auto frame = std::make_shared<VideoFrame>(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool bar = ((x + index * 8) / 64) % 4 == 0;
            frame->dataY()[y * frame->strideY() + x] =
                static_cast<std::uint8_t>(bar ? 220 : 16 + (x + y + index) % 200);
        }
    }
    for (int y = 0; y < height / 2; ++y) {
        for (int x = 0; x < width / 2; ++x) {
            frame->dataU()[y * frame->strideUV() + x] = static_cast<std::uint8_t>(128 + (x % 32) - 16);
            frame->dataV()[y * frame->strideUV() + x] = static_cast<std::uint8_t>(128 + (y % 32) - 16);
        }
    }
    return frame;
}

// Collects results in order, as the session would receive them.
struct Results {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<EncodeResult> results;

    ScreenVideoEncoder::Completion completion() {
        return [this](EncodeResult result) {
            std::lock_guard lock(mutex);
            results.push_back(std::move(result));
            arrived.notify_all();
        };
    }
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, std::chrono::seconds(60), [&] { return results.size() >= count; });
    }
};

void appendAnnexB(std::ofstream& out, const EncodedSample& sample) {
    static const char startCode[4] = {0, 0, 0, 1};
    for (const Data& set : sample.parameterSets) {
        out.write(startCode, 4);
        out.write(reinterpret_cast<const char*>(set.data()), static_cast<std::streamsize>(set.size()));
    }
    for (std::size_t offset = 0; offset + 4 <= sample.sample.size();) {
        const std::size_t length = (std::size_t{sample.sample[offset]} << 24) |
                                   (std::size_t{sample.sample[offset + 1]} << 16) |
                                   (std::size_t{sample.sample[offset + 2]} << 8) | sample.sample[offset + 3];
        out.write(startCode, 4);
        out.write(reinterpret_cast<const char*>(sample.sample.data() + offset + 4),
                  static_cast<std::streamsize>(length));
        offset += 4 + length;
    }
}

TEST(H264Encoder, AStreamOf300FramesReadsBackWithItsSizeProfileAndForcedIDR) {
    if (!testing_support::findExecutable("ffprobe")) {
        GTEST_SKIP() << "ffprobe is not installed (scripts/install-deps.sh installs ffmpeg)";
    }
    constexpr int width = 640, height = 360, frames = 300, forced = 100;
    VideoToolboxEncoderFactory factory;
    auto encoder = factory.makeEncoder(ScreenVideoCodec::h264, width, height, 30);
    Results results;
    for (int i = 0; i < frames; ++i) {
        encoder->encode(testFrame(width, height, i), static_cast<std::uint64_t>(i) * 33333,
                        i == 0 || i == forced, results.completion());
    }
    ASSERT_TRUE(results.waitFor(frames));
    const auto path =
        std::filesystem::temp_directory_path() / ("screenview-" + std::to_string(getpid()) + ".h264");
    {
        std::ofstream out(path, std::ios::binary);
        for (int i = 0; i < frames; ++i) {
            const auto* encoded = std::get_if<EncodeResult::Encoded>(&results.results[i].kind);
            ASSERT_NE(encoded, nullptr) << "frame " << i;
            const EncodedSample& sample = encoded->sample;
            // Keyframes carry SPS and PPS; others none. The forced ones are IDR slices (type 5).
            if (i == 0 || i == forced) {
                ASSERT_EQ(sample.parameterSets.size(), 2u);
                EXPECT_EQ(sample.parameterSets[0][0] & 0x1f, 7);
                EXPECT_EQ(sample.parameterSets[1][0] & 0x1f, 8);
            } else if (sample.isKeyframe()) {
                ADD_FAILURE() << "frame " << i << " is a keyframe without being asked";
            }
            appendAnnexB(out, sample);
        }
    }
    const auto stream = testing_support::runCommand(
        {"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
         "stream=width,height,profile,color_primaries,color_transfer,color_space,color_range", "-of",
         "default=nw=1", path.string()},
        std::chrono::seconds(30));
    EXPECT_NE(stream.output.find("width=640"), std::string::npos) << stream.output;
    EXPECT_NE(stream.output.find("height=360"), std::string::npos);
    EXPECT_NE(stream.output.find("profile=High"), std::string::npos);
    EXPECT_NE(stream.output.find("color_primaries=bt709"), std::string::npos);
    EXPECT_NE(stream.output.find("color_range=tv"), std::string::npos);
    const auto framesOut =
        testing_support::runCommand({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                     "frame=key_frame,pict_type", "-of", "csv=p=0", path.string()},
                                    std::chrono::seconds(60));
    std::vector<std::string> lines;
    std::istringstream in(framesOut.output);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(frames)) << framesOut.errors;
    EXPECT_EQ(lines[0], "1,I");
    EXPECT_EQ(lines[forced], "1,I");
    EXPECT_EQ(lines[forced - 1], "0,P");
    const auto decode = testing_support::runCommand(
        {"ffmpeg", "-v", "error", "-i", path.string(), "-f", "null", "-"}, std::chrono::seconds(60));
    EXPECT_EQ(decode.exitCode, 0);
    EXPECT_EQ(decode.errors, "");
    std::filesystem::remove(path);
}

TEST(H264Encoder, AStreamWithFewFramesStillGetsAKeyframeEvery30SecondsOfTimestamps) {
    // A paced-down stream: a handful of frames over a minute, far fewer than 30 s worth at 30 fps.
    const std::vector<std::uint64_t> seconds10 = {0, 10, 200, 299, 305, 450, 606, 612};
    const std::vector<bool> keyframes = {true, false, false, false, true, false, true, false};
    H264Encoder encoder(320, 240, 30);
    Results results;
    for (std::size_t i = 0; i < seconds10.size(); ++i) {
        encoder.encode(testFrame(320, 240, static_cast<int>(i)), seconds10[i] * 100'000 + 1, false,
                       results.completion());
    }
    ASSERT_TRUE(results.waitFor(seconds10.size()));
    for (std::size_t i = 0; i < seconds10.size(); ++i) {
        const auto* encoded = std::get_if<EncodeResult::Encoded>(&results.results[i].kind);
        ASSERT_NE(encoded, nullptr) << "frame " << i;
        EXPECT_EQ(encoded->sample.isKeyframe(), keyframes[i]) << "frame at " << seconds10[i] / 10.0 << " s";
    }
}

TEST(H264Encoder, InvalidatedEncoderFailsAtOnceAndHEVCIsRefused) {
    VideoToolboxEncoderFactory factory;
    EXPECT_EQ(factory.supportedCodecs(), ScreenVideoCodecs::h264);
    try {
        factory.makeEncoder(ScreenVideoCodec::hevc, 640, 360, 30);
        ADD_FAILURE() << "HEVC was made";
    } catch (const H264Encoder::EncoderError& error) {
        EXPECT_EQ(error.kind(), H264Encoder::EncoderError::Kind::unsupportedCodec);
        EXPECT_EQ(error.codec(), ScreenVideoCodec::hevc);
    }
    auto encoder = factory.makeEncoder(ScreenVideoCodec::h264, 320, 240, 30);
    encoder->invalidate();
    encoder->invalidate();
    Results results;
    encoder->encode(testFrame(320, 240, 0), 1, true, results.completion());
    ASSERT_EQ(results.results.size(), 1u);  // at once, on this thread
    EXPECT_EQ(results.results[0], EncodeResult::failed("The encoder was invalidated"));
}

TEST(H264Encoder, EveryQueuedFrameGetsOneAnswerWhenTheEncoderGoes) {
    Results results;
    {
        H264Encoder encoder(1280, 720, 60);
        for (int i = 0; i < 20; ++i) {
            encoder.encode(testFrame(1280, 720, i), static_cast<std::uint64_t>(i) + 1, i == 0,
                           results.completion());
        }
    }  // destroyed with frames queued
    EXPECT_EQ(results.results.size(), 20u);
}

}  // namespace
}  // namespace ScreenView
