#include "screen-view/ScreenViewSession.h"

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/Log.h"
#include "platform/LoopQueue.h"
#include "screen-view/ScreenshotImage.h"

namespace ScreenView {

using TrackpadProtocol::Message;
using TrackpadProtocol::ScreenViewRequest;
using TrackpadProtocol::ScreenViewStatus;

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "screenview");

std::optional<ScreenDisplay> findDisplay(const std::vector<ScreenDisplay>& displays, std::uint32_t id) {
    for (const ScreenDisplay& display : displays) {
        if (display.id == id) {
            return display;
        }
    }
    return std::nullopt;
}

std::optional<ScreenVideoCodec> chooseCodec(ScreenVideoCodecs requested, ScreenVideoCodecs supported) {
    for (ScreenVideoCodec codec : {ScreenVideoCodec::h264, ScreenVideoCodec::hevc}) {
        if (requested.contains(codec) && supported.contains(codec)) {
            return codec;
        }
    }
    return std::nullopt;
}

}  // namespace

std::string ScreenCaptureError::description() const {
    if (std::holds_alternative<ScreenRecordingDenied>(kind)) {
        return "screen capture is not allowed";
    }
    if (std::holds_alternative<DisplayUnavailable>(kind)) {
        return "the display is unavailable";
    }
    return std::get<Failed>(kind).reason;
}

ScreenViewSession::Configuration::Configuration(int maxFramesInFlight, double screenshotQuality)
    : maxFramesInFlight(std::max(maxFramesInFlight, 1)),
      screenshotQuality(std::isnan(screenshotQuality) ? 0.1 : std::clamp(screenshotQuality, 0.1, 1.0)) {}

std::shared_ptr<ScreenViewSession> ScreenViewSession::make(Seams seams, Configuration configuration,
                                                           Send send, Environment environment) {
    std::shared_ptr<ScreenViewSession> session(
        new ScreenViewSession(std::move(seams), configuration, std::move(send), std::move(environment)));
    session->observeDisplays();
    return session;
}

ScreenViewSession::ScreenViewSession(Seams seams, Configuration configuration, Send send,
                                     Environment environment)
    : configuration_(configuration),
      source_(std::move(seams.source)),
      encoders_(std::move(seams.encoders)),
      permission_(std::move(seams.permission)),
      displayChanges_(std::move(seams.displayChanges)),
      send_(std::move(send)),
      queue_(environment.queue ? std::move(environment.queue)
                               : std::make_shared<platform::LoopQueue>("dev.quelmar.trackpad.mac.screenview")),
      imageQueue_(environment.imageQueue
                      ? std::move(environment.imageQueue)
                      : std::make_shared<platform::LoopQueue>("dev.quelmar.trackpad.mac.screenview.images")),
      clock_(std::move(environment.clock)),
      screenshotEncoder_(std::move(environment.screenshotEncoder)),
      nextFrameNumber_(environment.firstFrameNumber) {
    if (!clock_) {
        clock_ = [queue = queue_.get()] { return queue->now(); };
    }
    if (!screenshotEncoder_) {
        screenshotEncoder_ = [](const BgraImage& image, int maxPixelLength, std::size_t maxByteCount,
                                double quality) {
            return ScreenshotImage::jpeg(image, maxPixelLength, maxByteCount, quality);
        };
    }
}

ScreenViewSession::~ScreenViewSession() {
    displayObserver_.reset();
    if (view_) {
        if (view_->capture) {
            view_->capture->stop();
        }
        view_->encoder->invalidate();
        view_.reset();
    }
    // The source goes while this session still holds its queues. Joining the source's screenshot
    // thread here must not wait on that thread letting go of the image queue last (it holds it for an
    // instant to post): it would join the image thread, whose task may hold this queue last and join
    // this thread in turn, three threads each waiting for the next.
    source_.reset();
}

void ScreenViewSession::observeDisplays() {
    if (!displayChanges_) {
        return;
    }
    displayObserver_ = displayChanges_->subscribe([weak = weak_from_this(), queue = queue_] {
        queue->post([weak] {
            if (auto self = weak.lock()) {
                self->displaysChanged();
            }
        });
    });
}

template <class Body>
void ScreenViewSession::hop(Body body) {
    // The session is looked up only on its queue, so that its last reference is never dropped on a
    // capture or encoder thread (whose owner would then have to join itself).
    queue_->post([weak = weak_from_this(), body = std::move(body)]() mutable {
        if (auto self = weak.lock()) {
            body(*self);
        }
    });
}

void ScreenViewSession::handle(const Message& message) {
    if (stopRequested_.load()) {
        return;
    }
    hop([message](ScreenViewSession& s) { s.handleNow(message); });
}

void ScreenViewSession::stop() {
    stopRequested_.store(true);
    queue_->post([self = shared_from_this()] { self->close(); });
}

void ScreenViewSession::handleNow(const Message& message) {
    if (!canSend()) {
        return;
    }
    if (const auto* start = message.as<Message::ScreenViewStart>()) {
        this->start(start->request);
    } else if (const auto* select = message.as<Message::ScreenViewSelectDisplay>()) {
        selectDisplay(select->displayID);
    } else if (const auto* screenshot = message.as<Message::ScreenshotRequest>()) {
        takeScreenshot(screenshot->request);
    } else if (message.is<Message::ScreenDisplaysRequest>()) {
        sendDisplays(source_->displays());
    } else if (message.is<Message::ScreenViewStop>()) {
        const std::optional<std::uint32_t> shown =
            view_ ? std::optional<std::uint32_t>(view_->request.displayID) : std::nullopt;
        stopView();
        sendStatus(State::stopped, shown);
    }
}

void ScreenViewSession::start(const ScreenViewRequest& request) {
    stopView();
    const std::optional<ScreenVideoCodec> codec = chooseCodec(request.codecs, encoders_->supportedCodecs());
    if (!codec) {
        sendStatus(State::failed, request.displayID);
        return;
    }
    if (!permission_->isGranted()) {
        permission_->request();
        sendStatus(State::screenRecordingRequired, request.displayID);
        return;
    }
    const std::optional<ScreenDisplay> display = findDisplay(source_->displays(), request.displayID);
    if (!display) {
        sendStatus(State::displayUnavailable, request.displayID);
        return;
    }
    const PixelSize size = ScreenViewSizing::outputSize(*display, request.maxPixelLength, *codec);
    std::unique_ptr<ScreenVideoEncoder> encoder;
    try {
        encoder = encoders_->makeEncoder(*codec, size.width, size.height, request.framesPerSecond);
    } catch (const std::exception&) {
        encoder.reset();
    }
    if (!encoder) {
        sendStatus(State::failed, request.displayID);
        return;
    }
    generation_ += 1;
    const std::uint64_t generation = generation_;
    View view;
    view.request = request;
    view.codec = *codec;
    view.pixelWidth = size.width;
    view.pixelHeight = size.height;
    view.display = *display;
    view.generation = generation;
    view.encoder = std::move(encoder);
    view_.emplace(std::move(view));

    std::weak_ptr<ScreenViewSession> weak = weak_from_this();
    auto onFrame = [weak, queue = queue_, generation](CapturedFrame frame) {
        queue->post([weak, generation, frame = std::move(frame)]() mutable {
            if (auto self = weak.lock()) {
                self->frameArrived(std::move(frame), generation);
            }
        });
    };
    auto onStop = [weak, queue = queue_, generation](ScreenCaptureError error) {
        queue->post([weak, generation, error = std::move(error)] {
            if (auto self = weak.lock()) {
                self->captureStopped(error, generation);
            }
        });
    };
    std::shared_ptr<ScreenCapture> capture = source_->startCapture(
        request.displayID, CaptureConfiguration{size.width, size.height, request.framesPerSecond},
        std::move(onFrame), std::move(onStop));
    if (view_ && view_->generation == generation) {
        view_->capture = std::move(capture);
    } else if (capture) {
        capture->stop();
    }
    sendStatus(State::showing, request.displayID);
}

void ScreenViewSession::stopView() {
    generation_ += 1;
    if (!view_) {
        return;
    }
    std::optional<View> view = std::move(view_);
    view_.reset();
    if (view->wakeScheduled) {
        queue_->cancel(view->wakeTimer);
    }
    if (view->capture) {
        view->capture->stop();
    }
    view->encoder->invalidate();
    // Ending the capture and the encoder here joins their threads and frees their frames, but malloc keeps
    // tens of megabytes of them in its arenas. Trimmed once the frames still queued for this view have
    // been dropped, behind them on the queue.
    view.reset();
    queue_->post([] { ::malloc_trim(0); });
}

void ScreenViewSession::selectDisplay(std::uint32_t displayID) {
    if (!view_) {
        sendStatus(State::stopped, std::nullopt);
        return;
    }
    if (displayID != view_->request.displayID) {
        ScreenViewRequest request = view_->request;
        request.displayID = displayID;
        start(request);
        return;
    }
    view_->needsKeyframe = true;
    if (!view_->waiting) {
        view_->waiting = view_->latest;
    }
    sendStatus(State::showing, displayID);
    encodeIfDue();
}

void ScreenViewSession::sendDisplays(std::vector<ScreenDisplay> displays) {
    if (displays.size() > Message::ScreenDisplays::maxDisplays) {
        displays.resize(Message::ScreenDisplays::maxDisplays);
    }
    sendMessages({Message{Message::ScreenDisplays{std::move(displays)}}});
}

void ScreenViewSession::displaysChanged() {
    if (!canSend() || !view_) {
        return;
    }
    const std::vector<ScreenDisplay> displays = source_->displays();
    sendDisplays(displays);
    const std::optional<ScreenDisplay> viewed = findDisplay(displays, view_->request.displayID);
    if (!viewed) {
        const std::uint32_t id = view_->request.displayID;
        stopView();
        sendStatus(State::displayUnavailable, id);
    } else if (viewed->pixelWidth != view_->display.pixelWidth ||
               viewed->pixelHeight != view_->display.pixelHeight) {
        // A copy: start() ends the view, and with it the request, before it reads the request.
        const ScreenViewRequest request = view_->request;
        start(request);
    }
}

void ScreenViewSession::captureStopped(const ScreenCaptureError& error, std::uint64_t generation) {
    if (!view_ || view_->generation != generation) {
        return;
    }
    const std::uint32_t id = view_->request.displayID;
    stopView();
    State state = State::failed;
    if (std::holds_alternative<ScreenCaptureError::ScreenRecordingDenied>(error.kind)) {
        state = State::screenRecordingRequired;
    } else if (std::holds_alternative<ScreenCaptureError::DisplayUnavailable>(error.kind)) {
        state = State::displayUnavailable;
    } else {
        logger.error("Lumivex screen view: the capture stopped: " + error.description());
        if (!findDisplay(source_->displays(), id)) {
            state = State::displayUnavailable;
        } else if (!permission_->isGranted()) {
            state = State::screenRecordingRequired;
        }
    }
    sendStatus(state, id);
}

void ScreenViewSession::close() {
    isClosed_ = true;
    displayObserver_.reset();
    stopView();
}

void ScreenViewSession::sendStatus(State state, std::optional<std::uint32_t> displayID) {
    sendMessages({Message{Message::ScreenViewStatus{ScreenViewStatus{state, displayID}}}});
}

void ScreenViewSession::sendMessages(Messages messages, std::function<void()> completion) {
    if (!canSend()) {
        return;
    }
    send_(
        std::move(messages), completion ? std::move(completion) : [] {});
}

}  // namespace ScreenView
