#pragma once
// H.264 encoding with libx264 for the live view: zero latency, no B-frames, one result per frame, keyframes
// on request (IDR) and at least every 30 s, samples as NAL units with 4-byte big-endian lengths, and the
// stream's SPS and PPS copied onto every keyframe. BT.709 limited range is signalled in the VUI.
// HEVC is not offered.
//
// Thread: encode() and invalidate() from the session's queue; frames are encoded in order on the encoder's
// own worker, where the completions run.
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "screen-view/CaptureSeams.h"

namespace ScreenView {

class H264Encoder final : public ScreenVideoEncoder {
  public:
    class EncoderError : public std::runtime_error {
      public:
        enum class Kind { unsupportedCodec, sessionNotCreated };
        EncoderError(Kind kind, ScreenVideoCodec codec, int status);
        Kind kind() const { return kind_; }
        ScreenVideoCodec codec() const { return codec_; }
        int status() const { return status_; }
        bool operator==(const EncoderError& other) const {
            return kind_ == other.kind_ &&
                   (kind_ == Kind::unsupportedCodec ? codec_ == other.codec_ : status_ == other.status_);
        }

      private:
        Kind kind_;
        ScreenVideoCodec codec_;
        int status_;
    };

    // The x264 preset: "superfast" keeps the High profile (ultrafast falls back to Constrained Baseline)
    // at a cost a 1080p60 stream affords on one or two cores.
    static constexpr const char* preset = "superfast";

    // A frame whose timestamp lies this far (microseconds) after the last keyframe's is made a keyframe,
    // however few frames came in between.
    static constexpr std::uint64_t maxKeyframeInterval = 30'000'000;

    // Throws EncoderError::sessionNotCreated when x264 refuses the settings (the status is -1).
    H264Encoder(int pixelWidth, int pixelHeight, int framesPerSecond);
    // Frames still queued complete with `failed`; then the worker is joined.
    ~H264Encoder() override;

    void encode(std::shared_ptr<const VideoFrame> pixelBuffer, std::uint64_t timestamp, bool forceKeyframe,
                Completion completion) override;
    void invalidate() override;

    int pixelWidth() const { return pixelWidth_; }
    int pixelHeight() const { return pixelHeight_; }
    // x264's threads per encoder: half the processors, 1 to 4.
    static int threadCount();
    // 0.1 bit per pixel per frame, within 1.5 to 24 Mbit/s.
    static long bitRate(int width, int height, int framesPerSecond);

  private:
    struct Impl;
    int pixelWidth_;
    int pixelHeight_;
    std::shared_ptr<Impl> impl_;
};

// Keeps the name of the encoder factory the application builds; it makes x264 encoders.
class VideoToolboxEncoderFactory final : public ScreenVideoEncoderFactory {
  public:
    ScreenVideoCodecs supportedCodecs() const override { return ScreenVideoCodecs::h264; }
    // Throws H264Encoder::EncoderError: unsupportedCodec for HEVC, sessionNotCreated when x264 refuses.
    std::unique_ptr<ScreenVideoEncoder> makeEncoder(ScreenVideoCodec codec, int pixelWidth, int pixelHeight,
                                                    int framesPerSecond) override;
};

namespace NalUnits {
// Rewrites NAL units that carry `headerLength`-byte big-endian lengths (1, 2 or 4) with 4-byte lengths;
// none for any other header length, an empty input, a zero-length unit or one that runs past the end.
std::optional<Data> withFourByteLengths(const Data& data, int headerLength);
}  // namespace NalUnits

}  // namespace ScreenView
