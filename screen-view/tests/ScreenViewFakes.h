#pragma once
// Scripted stand-ins for the capture source, the encoder, the permission, display changes and the
// connection's send, for running sessions without a display. Thread-safe where the real ones are used
// from several threads, so frames and results can come from other threads too.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "screen-view/CaptureSeams.h"
#include "screen-view/ScreenViewSession.h"

namespace ScreenView::fakes {

inline std::shared_ptr<const VideoFrame> blankFrame(int width = 16, int height = 16) {
    return std::make_shared<const VideoFrame>(width, height);
}

inline ScreenDisplay display(std::uint32_t id, int width, int height) {
    return ScreenDisplay{id,
                         "Display " + std::to_string(id),
                         static_cast<std::uint16_t>(width),
                         static_cast<std::uint16_t>(height),
                         {}};
}

class FakeCapture final : public ScreenCapture {
  public:
    FakeCapture(std::uint32_t displayID, CaptureConfiguration configuration,
                ScreenCaptureSource::FrameHandler onFrame, ScreenCaptureSource::StopHandler onStop)
        : displayID(displayID),
          configuration(configuration),
          onFrame_(std::move(onFrame)),
          onStop_(std::move(onStop)) {}

    void stop() override {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    bool stopped() const {
        std::lock_guard lock(mutex_);
        return stopped_;
    }
    // A frame as the capture delivers it (also after stop(), as real captures may).
    void deliver(std::uint64_t timestamp, std::shared_ptr<const VideoFrame> frame = blankFrame()) {
        onFrame_(CapturedFrame{std::move(frame), timestamp});
    }
    // The capture ends by itself; ignored after stop() or a first end, as the contract says.
    void end(ScreenCaptureError error) {
        {
            std::lock_guard lock(mutex_);
            if (stopped_ || ended_) {
                return;
            }
            ended_ = true;
        }
        onStop_(std::move(error));
    }

    const std::uint32_t displayID;
    const CaptureConfiguration configuration;

  private:
    ScreenCaptureSource::FrameHandler onFrame_;
    ScreenCaptureSource::StopHandler onStop_;
    mutable std::mutex mutex_;
    bool stopped_ = false;
    bool ended_ = false;
};

class FakeCaptureSource final : public ScreenCaptureSource {
  public:
    struct ScreenshotCall {
        std::uint32_t displayID;
        int pixelWidth;
        int pixelHeight;
        ScreenshotWanted wanted;
        ScreenshotCompletion completion;
    };

    void setDisplays(std::vector<ScreenDisplay> displays) {
        std::lock_guard lock(mutex_);
        displays_ = std::move(displays);
    }
    std::vector<ScreenDisplay> displays() override {
        std::lock_guard lock(mutex_);
        return displays_;
    }
    std::shared_ptr<ScreenCapture> startCapture(std::uint32_t displayID,
                                                const CaptureConfiguration& configuration,
                                                FrameHandler onFrame, StopHandler onStop) override {
        auto capture =
            std::make_shared<FakeCapture>(displayID, configuration, std::move(onFrame), std::move(onStop));
        std::lock_guard lock(mutex_);
        captures_.push_back(capture);
        return capture;
    }
    void screenshot(std::uint32_t displayID, int pixelWidth, int pixelHeight, ScreenshotWanted wanted,
                    ScreenshotCompletion completion) override {
        std::lock_guard lock(mutex_);
        screenshots_.push_back(
            {displayID, pixelWidth, pixelHeight, std::move(wanted), std::move(completion)});
    }

    std::vector<std::shared_ptr<FakeCapture>> captures() const {
        std::lock_guard lock(mutex_);
        return captures_;
    }
    std::shared_ptr<FakeCapture> lastCapture() const {
        std::lock_guard lock(mutex_);
        return captures_.empty() ? nullptr : captures_.back();
    }
    std::vector<ScreenshotCall> takeScreenshotCalls() {
        std::lock_guard lock(mutex_);
        return std::exchange(screenshots_, {});
    }

  private:
    mutable std::mutex mutex_;
    std::vector<ScreenDisplay> displays_;
    std::vector<std::shared_ptr<FakeCapture>> captures_;
    std::vector<ScreenshotCall> screenshots_;
};

// Records every encode call; answers at once with `autoResult` when set, otherwise the test completes the
// calls itself.
class FakeEncoder final : public ScreenVideoEncoder {
  public:
    struct Call {
        std::uint64_t timestamp;
        bool forceKeyframe;
        Completion completion;
    };

    void encode(std::shared_ptr<const VideoFrame>, std::uint64_t timestamp, bool forceKeyframe,
                Completion completion) override {
        std::unique_lock lock(mutex_);
        if (invalidated_) {
            lock.unlock();
            completion(EncodeResult::failed("invalidated"));
            return;
        }
        timestamps_.push_back(timestamp);
        keyframes_.push_back(forceKeyframe);
        if (autoAnswer) {
            lock.unlock();
            completion(EncodeResult::encoded(sampleFor(forceKeyframe)));
            return;
        }
        pending_.push_back({timestamp, forceKeyframe, std::move(completion)});
    }
    void invalidate() override {
        std::lock_guard lock(mutex_);
        invalidated_ = true;
    }

    static EncodedSample sampleFor(bool keyframe) {
        EncodedSample sample;
        if (keyframe) {
            sample.parameterSets = {{0x67, 0x42}, {0x68, 0xce}};
        }
        sample.sample = {0, 0, 0, 2, static_cast<std::uint8_t>(keyframe ? 0x65 : 0x41), 0x88};
        return sample;
    }
    // Completes the oldest pending call.
    void complete(EncodeResult result) {
        Completion completion;
        {
            std::lock_guard lock(mutex_);
            if (pending_.empty()) {
                throw std::logic_error("no encode call is pending");
            }
            completion = std::move(pending_.front().completion);
            pending_.erase(pending_.begin());
        }
        completion(std::move(result));
    }
    // Completes the oldest pending call as the encoder would: a keyframe when one was asked for.
    void completeEncoded() {
        bool keyframe = false;
        {
            std::lock_guard lock(mutex_);
            if (pending_.empty()) {
                throw std::logic_error("no encode call is pending");
            }
            keyframe = pending_.front().forceKeyframe;
        }
        complete(EncodeResult::encoded(sampleFor(keyframe)));
    }
    std::size_t pendingCount() const {
        std::lock_guard lock(mutex_);
        return pending_.size();
    }
    std::vector<std::uint64_t> timestamps() const {
        std::lock_guard lock(mutex_);
        return timestamps_;
    }
    std::vector<bool> keyframes() const {
        std::lock_guard lock(mutex_);
        return keyframes_;
    }
    bool invalidated() const {
        std::lock_guard lock(mutex_);
        return invalidated_;
    }

    bool autoAnswer = false;

  private:
    mutable std::mutex mutex_;
    bool invalidated_ = false;
    std::vector<Call> pending_;
    std::vector<std::uint64_t> timestamps_;
    std::vector<bool> keyframes_;
};

class FakeEncoderFactory final : public ScreenVideoEncoderFactory {
  public:
    struct Made {
        ScreenVideoCodec codec;
        int pixelWidth, pixelHeight, framesPerSecond;
        std::shared_ptr<FakeEncoder> encoder;
    };

    ScreenVideoCodecs supportedCodecs() const override { return codecs; }
    std::unique_ptr<ScreenVideoEncoder> makeEncoder(ScreenVideoCodec codec, int pixelWidth, int pixelHeight,
                                                    int framesPerSecond) override {
        if (refuse) {
            throw std::runtime_error("no encoder");
        }
        auto encoder = std::make_shared<FakeEncoder>();
        encoder->autoAnswer = autoAnswer;
        made.push_back({codec, pixelWidth, pixelHeight, framesPerSecond, encoder});
        return std::make_unique<Forwarder>(encoder);
    }
    std::shared_ptr<FakeEncoder> last() const { return made.empty() ? nullptr : made.back().encoder; }

    ScreenVideoCodecs codecs = ScreenVideoCodecs::h264;
    bool refuse = false;
    bool autoAnswer = false;
    std::vector<Made> made;

  private:
    // The session owns its encoder; the test keeps a view of it after the session let it go.
    struct Forwarder final : ScreenVideoEncoder {
        explicit Forwarder(std::shared_ptr<FakeEncoder> encoder) : encoder(std::move(encoder)) {}
        void encode(std::shared_ptr<const VideoFrame> frame, std::uint64_t timestamp, bool forceKeyframe,
                    Completion completion) override {
            encoder->encode(std::move(frame), timestamp, forceKeyframe, std::move(completion));
        }
        void invalidate() override { encoder->invalidate(); }
        std::shared_ptr<FakeEncoder> encoder;
    };
};

class FakePermission final : public ScreenRecordingPermission {
  public:
    bool isGranted() const override { return granted; }
    void request() override { requests += 1; }
    bool granted = true;
    int requests = 0;
};

class ManualDisplayChanges final : public DisplayChangeNotifier {
  public:
    std::unique_ptr<Subscription> subscribe(std::function<void()> handler) override {
        auto shared = std::make_shared<std::function<void()>>(std::move(handler));
        handlers_.push_back(shared);
        return std::make_unique<Token>(shared);
    }
    void post() {
        for (auto& weak : handlers_) {
            if (auto handler = weak.lock()) {
                (*handler)();
            }
        }
    }
    std::size_t liveSubscriptions() const {
        std::size_t count = 0;
        for (auto& weak : handlers_) {
            count += weak.expired() ? 0 : 1;
        }
        return count;
    }

  private:
    struct Token final : Subscription {
        explicit Token(std::shared_ptr<std::function<void()>> handler) : handler(std::move(handler)) {}
        std::shared_ptr<std::function<void()>> handler;
    };
    std::vector<std::weak_ptr<std::function<void()>>> handlers_;
};

// The connection: records what was sent; completions run at once unless `holdCompletions`.
class RecordingLink {
  public:
    ScreenViewSession::Send send() {
        return [this](ScreenViewSession::Messages messages, std::function<void()> completion) {
            std::unique_lock lock(mutex_);
            for (auto& message : messages) {
                sent_.push_back(std::move(message));
            }
            if (holdCompletions) {
                held_.push_back(std::move(completion));
                return;
            }
            lock.unlock();
            completion();
        };
    }
    std::vector<TrackpadProtocol::Message> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(sent_, {});
    }
    // Runs the oldest held completion; false when none is held.
    bool completeOne() {
        std::function<void()> completion;
        {
            std::lock_guard lock(mutex_);
            if (held_.empty()) {
                return false;
            }
            completion = std::move(held_.front());
            held_.erase(held_.begin());
        }
        completion();
        return true;
    }
    std::size_t heldCount() const {
        std::lock_guard lock(mutex_);
        return held_.size();
    }

    bool holdCompletions = false;

  private:
    mutable std::mutex mutex_;
    std::vector<TrackpadProtocol::Message> sent_;
    std::vector<std::function<void()>> held_;
};

}  // namespace ScreenView::fakes
