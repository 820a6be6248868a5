#pragma once
// One phone connection's screen view: answers the display list, runs at most one live view of one display
// (capture, encoding, frame parts), takes screenshots, reports every change of its view as a
// ScreenViewStatus and follows display changes.
//
// Thread: all state lives on the session's serial queue. handle() and stop() may be called from any
// thread; every callback (frames, capture stop, encoder results, send completions, wakes, display
// changes, screenshots) hops onto the queue holding the session weakly.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Executor.h"
#include "protocol/messages/LargePayloads.h"
#include "protocol/messages/Message.h"
#include "screen-view/CaptureSeams.h"
#include "screen-view/ScreenViewSizing.h"

namespace ScreenView {

class ScreenViewSession : public std::enable_shared_from_this<ScreenViewSession> {
  public:
    struct Configuration {
        // Below 1 counts as 1; a NaN quality counts as 0.1, others are clamped to 0.1...1.0.
        explicit Configuration(int maxFramesInFlight = 2, double screenshotQuality = 0.85);
        int maxFramesInFlight;
        double screenshotQuality;
    };

    // Counted for the life of the session, never reset.
    struct Statistics {
        int framesCaptured = 0;
        int framesSkipped = 0;
        int framesEncoded = 0;
        int framesSent = 0;
        int framesDroppedByEncoder = 0;
        bool operator==(const Statistics&) const = default;
    };

    using Messages = std::vector<TrackpadProtocol::Message>;
    // Sends the messages in order on the phone's connection and calls the completion once the connection
    // has processed them (at once when the connection is gone).
    using Send = std::function<void(Messages, std::function<void()>)>;
    // Encodes a screenshot within the byte budget (ScreenshotImage::jpeg); none when it cannot fit.
    using ScreenshotEncoder = std::function<std::optional<Data>(const BgraImage& image, int maxPixelLength,
                                                                std::size_t maxByteCount, double quality)>;

    struct Seams {
        std::shared_ptr<ScreenCaptureSource> source;
        std::shared_ptr<ScreenVideoEncoderFactory> encoders;
        std::shared_ptr<ScreenRecordingPermission> permission;
        std::shared_ptr<DisplayChangeNotifier> displayChanges;  // may be null: no display changes followed
    };

    // Where the session runs. The defaults (make() with an empty Environment) are two platform::LoopQueues,
    // "dev.quelmar.trackpad.mac.screenview" and "dev.quelmar.trackpad.mac.screenview.images", the queue's
    // monotonic clock and ScreenshotImage::jpeg. Tests pass ManualExecutors and virtual time.
    struct Environment {
        std::shared_ptr<platform::Executor> queue;
        std::shared_ptr<platform::Executor> imageQueue;
        std::function<double()> clock;  // seconds; default: the queue's now()
        ScreenshotEncoder screenshotEncoder;
        std::uint32_t firstFrameNumber = 0;  // transfer number of the first video frame
    };

    // Most screenshots one session has under way at once, so that a phone cannot pile up capture work
    // and full-size images; more wait their turn, as many as there are displays (one thumbnail each),
    // and beyond that are answered `failed`. Of those under way, a large one (ScreenshotImage::
    // isLargeImage) starts only once the session's earlier ones are answered and taken by the connection.
    static constexpr int maxScreenshotsUnderWay = 4;

    static std::shared_ptr<ScreenViewSession> make(Seams seams, Configuration configuration, Send send,
                                                   Environment environment);
    // A session released without being closed removes its display observer and ends its view.
    ~ScreenViewSession();
    ScreenViewSession(const ScreenViewSession&) = delete;
    ScreenViewSession& operator=(const ScreenViewSession&) = delete;

    // Copies the message and returns; it is handled on the session queue unless the session is closed or
    // being stopped by then. Cases other than the screen-view requests are ignored.
    void handle(const TrackpadProtocol::Message& message);
    // Closes the session on its queue. Messages already queued are ignored from now on, and nothing more
    // is sent.
    void stop();

    const Configuration& configuration() const { return configuration_; }
    platform::Executor& queue() const { return *queue_; }
    // Inspection aids; read on the session queue.
    Statistics statistics() const { return stats_; }
    int framesInFlight() const { return view_ ? view_->framesInFlight : 0; }
    bool isShowing() const { return view_.has_value(); }
    bool isClosed() const { return isClosed_; }

  private:
    struct View {
        TrackpadProtocol::ScreenViewRequest request;
        ScreenVideoCodec codec = ScreenVideoCodec::h264;
        int pixelWidth = 0;
        int pixelHeight = 0;
        ScreenDisplay display;
        std::uint64_t generation = 0;
        std::shared_ptr<ScreenCapture> capture;
        std::unique_ptr<ScreenVideoEncoder> encoder;
        bool needsKeyframe = true;
        int framesInFlight = 0;
        std::optional<CapturedFrame> waiting;
        std::optional<CapturedFrame> latest;
        std::optional<double> lastEncodeTime;
        bool wakeScheduled = false;
        platform::Executor::TimerID wakeTimer = 0;
        std::optional<std::uint64_t> lastTimestamp;
    };
    using State = TrackpadProtocol::ScreenViewStatus::State;

    ScreenViewSession(Seams seams, Configuration configuration, Send send, Environment environment);
    void observeDisplays();
    template <class Body>
    void hop(Body body);  // runs body(session) on the queue while the session lives

    // On the session queue.
    void handleNow(const TrackpadProtocol::Message& message);
    void start(const TrackpadProtocol::ScreenViewRequest& request);
    void stopView();
    void selectDisplay(std::uint32_t displayID);
    void sendDisplays(std::vector<ScreenDisplay> displays);
    void displaysChanged();
    void captureStopped(const ScreenCaptureError& error, std::uint64_t generation);
    void close();
    void sendStatus(State state, std::optional<std::uint32_t> displayID);
    void sendMessages(Messages messages, std::function<void()> completion = {});
    bool canSend() const { return !isClosed_ && !stopRequested_.load(); }

    // Frame path (ScreenViewFrames.cpp).
    void frameArrived(CapturedFrame frame, std::uint64_t generation);
    void encodeIfDue();
    void wake(std::uint64_t generation);
    void encoderFinished(EncodeResult result, std::uint64_t timestamp, bool keyframe,
                         std::uint64_t generation);
    void frameDelivered(std::uint64_t generation);
    void releaseSlot();

    // Screenshots (ScreenViewScreenshots.cpp).
    void takeScreenshot(const TrackpadProtocol::ScreenshotRequest& request);
    void startHeldScreenshots();
    void captureScreenshot(const TrackpadProtocol::ScreenshotRequest& request, PixelSize size);
    void screenshotAnswered();
    // `taken`: the answer to a screenshot under way, whose turn ends once the connection has its parts.
    void sendScreenshot(std::uint32_t number, TrackpadProtocol::Screenshot::Status status,
                        std::optional<Data> image, bool taken = false);
    void sendScreenshotParts();

    Configuration configuration_;
    std::shared_ptr<ScreenCaptureSource> source_;
    std::shared_ptr<ScreenVideoEncoderFactory> encoders_;
    std::shared_ptr<ScreenRecordingPermission> permission_;
    std::shared_ptr<DisplayChangeNotifier> displayChanges_;
    Send send_;
    // The queue is declared first so that it is destroyed last: the view's capture and encoder, and the
    // image queue, are ended while the queue still exists.
    std::shared_ptr<platform::Executor> queue_;
    std::shared_ptr<platform::Executor> imageQueue_;
    std::function<double()> clock_;
    ScreenshotEncoder screenshotEncoder_;
    std::unique_ptr<DisplayChangeNotifier::Subscription> displayObserver_;

    std::optional<View> view_;
    std::uint64_t generation_ = 0;
    std::uint32_t nextFrameNumber_ = 0;
    bool isClosed_ = false;
    std::atomic<bool> stopRequested_{false};
    // Under way: held (accepted, in order, not yet handed to the source) or started (with the source,
    // the encoder or the connection).
    int screenshotsUnderWay_ = 0;
    struct HeldScreenshot {
        TrackpadProtocol::ScreenshotRequest request;
        PixelSize size;
    };
    std::deque<HeldScreenshot> screenshotsHeld_;
    std::deque<TrackpadProtocol::ScreenshotRequest> screenshotsWaiting_;
    // Screenshot answers go out a few parts at a time, the next ones once the connection has taken the
    // previous, so that framing and encrypting megabytes never holds up the connection's queue (the
    // main loop) at once; one answer after the other, as the phone assembles one at a time.
    // A screenshot stays under way until the connection has its answer: a phone that does not read gets
    // no more answers queued for it than maxScreenshotsUnderWay. Per queued answer: its parts not yet
    // handed over, and whether it is such a screenshot.
    std::deque<TrackpadProtocol::Message> screenshotParts_;
    std::deque<std::pair<std::size_t, bool>> screenshotAnswerParts_;
    bool sendingScreenshotParts_ = false;
    Statistics stats_;
};

}  // namespace ScreenView
