#pragma once
// What the screen-view sessions reach the system through: a capture source that lists displays, starts
// live captures and takes still images, the running capture, the screen-capture permission, an encoder
// factory and an encoder, with the values they exchange. The X11 and libx264 implementations live beside
// these seams; tests use scripted fakes.
//
// Every completion (a screenshot's, an encode's) runs exactly once, on any thread. A capture's onStop runs
// at most once, only when the capture ends by itself, and never after stop(). Receivers take no lock in a
// callback and hop onto their own queue.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "protocol/messages/Types.h"
#include "screen-view/PixelBuffers.h"

namespace ScreenView {

using TrackpadProtocol::Data;
using TrackpadProtocol::ScreenDisplay;
using TrackpadProtocol::ScreenVideoCodec;
using TrackpadProtocol::ScreenVideoCodecs;

// One captured video frame, held by reference: capture, session and encoder share the same planes.
struct CapturedFrame {
    std::shared_ptr<const VideoFrame> pixelBuffer;
    std::uint64_t timestamp = 0;  // presentation time in microseconds; 0 when the capture has none
};

// One still image of a display.
struct CapturedImage {
    std::shared_ptr<const BgraImage> image;
};

struct CaptureConfiguration {
    int pixelWidth = 0;
    int pixelHeight = 0;
    int framesPerSecond = 0;
    bool operator==(const CaptureConfiguration&) const = default;
};

struct ScreenCaptureError {
    struct ScreenRecordingDenied {
        bool operator==(const ScreenRecordingDenied&) const = default;
    };
    struct DisplayUnavailable {
        bool operator==(const DisplayUnavailable&) const = default;
    };
    struct Failed {
        std::string reason;
        bool operator==(const Failed&) const = default;
    };
    std::variant<ScreenRecordingDenied, DisplayUnavailable, Failed> kind;
    bool operator==(const ScreenCaptureError&) const = default;

    static ScreenCaptureError screenRecordingDenied() { return {ScreenRecordingDenied{}}; }
    static ScreenCaptureError displayUnavailable() { return {DisplayUnavailable{}}; }
    static ScreenCaptureError failed(std::string reason) { return {Failed{std::move(reason)}}; }
    std::string description() const;
};

struct EncodedSample {
    // The codec's parameter sets in the order the encoder reports them (SPS, PPS), without start codes;
    // present on keyframes only.
    std::vector<Data> parameterSets;
    // The frame's NAL units, each preceded by its length as a 4-byte big-endian integer.
    Data sample;
    bool isKeyframe() const { return !parameterSets.empty(); }
    bool operator==(const EncodedSample&) const = default;
};

struct EncodeResult {
    struct Encoded {
        EncodedSample sample;
        bool operator==(const Encoded&) const = default;
    };
    // The encoder cannot go on; the reason is logged.
    struct Failed {
        std::string reason;
        bool operator==(const Failed&) const = default;
    };
    // This one frame gave no output; the encoder goes on.
    struct Dropped {
        bool operator==(const Dropped&) const = default;
    };
    std::variant<Encoded, Failed, Dropped> kind;
    bool operator==(const EncodeResult&) const = default;

    static EncodeResult encoded(EncodedSample sample) { return {Encoded{std::move(sample)}}; }
    static EncodeResult failed(std::string reason) { return {Failed{std::move(reason)}}; }
    static EncodeResult dropped() { return {Dropped{}}; }
};

// A running capture.
class ScreenCapture {
  public:
    virtual ~ScreenCapture() = default;
    // Ends the capture; idempotent. After it, onStop is not called (frames may still arrive shortly).
    virtual void stop() = 0;
};

class ScreenCaptureSource {
  public:
    using FrameHandler = std::function<void(CapturedFrame)>;
    using StopHandler = std::function<void(ScreenCaptureError)>;
    using ScreenshotResult = std::variant<CapturedImage, ScreenCaptureError>;
    using ScreenshotCompletion = std::function<void(ScreenshotResult)>;
    // Whether someone still waits for the screenshot; asked from any thread.
    using ScreenshotWanted = std::function<bool()>;

    virtual ~ScreenCaptureSource() = default;
    // The displays that can be viewed now, with their pixel size as currently shown. Synchronous.
    virtual std::vector<ScreenDisplay> displays() = 0;
    // Starts capturing at the configured size and rate and returns at once; never throws. A capture that
    // cannot start reports through onStop.
    virtual std::shared_ptr<ScreenCapture> startCapture(std::uint32_t displayID,
                                                        const CaptureConfiguration& configuration,
                                                        FrameHandler onFrame, StopHandler onStop) = 0;
    // One image of the display at the given size; the completion runs exactly once. One no longer
    // `wanted` when its turn comes (or, read in parts, between them) is not taken and completes as failed.
    virtual void screenshot(std::uint32_t displayID, int pixelWidth, int pixelHeight, ScreenshotWanted wanted,
                            ScreenshotCompletion completion) = 0;
};

class ScreenRecordingPermission {
  public:
    virtual ~ScreenRecordingPermission() = default;
    // Whether the process may capture the screen now.
    virtual bool isGranted() const = 0;
    // Asks the user for the permission and returns at once; the implementation decides whether to ask
    // again.
    virtual void request() = 0;
};

class ScreenVideoEncoder {
  public:
    using Completion = std::function<void(EncodeResult)>;
    virtual ~ScreenVideoEncoder() = default;
    // Encodes one frame; timestamps (microseconds) strictly increase from call to call. With
    // forceKeyframe the output is a keyframe carrying its parameter sets. The completion runs exactly
    // once, on any thread, possibly before encode returns.
    virtual void encode(std::shared_ptr<const VideoFrame> pixelBuffer, std::uint64_t timestamp,
                        bool forceKeyframe, Completion completion) = 0;
    // Releases the encoder; idempotent. Later encode calls complete with `failed`.
    virtual void invalidate() = 0;
};

class ScreenVideoEncoderFactory {
  public:
    virtual ~ScreenVideoEncoderFactory() = default;
    virtual ScreenVideoCodecs supportedCodecs() const = 0;
    // An encoder for frames of exactly this size (even, at least 16 per side). Throws when the codec is
    // not supported or the encoder cannot be made.
    virtual std::unique_ptr<ScreenVideoEncoder> makeEncoder(ScreenVideoCodec codec, int pixelWidth,
                                                            int pixelHeight, int framesPerSecond) = 0;
};

// Tells its subscribers that the display configuration changed (a monitor added, removed or resized).
// Handlers run on the notifier's own thread, never inside subscribe().
class DisplayChangeNotifier {
  public:
    class Subscription {
      public:
        virtual ~Subscription() = default;
    };
    virtual ~DisplayChangeNotifier() = default;
    // The handler runs for every change until the returned subscription is destroyed; once the
    // destructor returns, the handler is not running and will not run again.
    virtual std::unique_ptr<Subscription> subscribe(std::function<void()> handler) = 0;
};

}  // namespace ScreenView
