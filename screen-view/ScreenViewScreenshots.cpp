// Screenshots: examined on the session queue, captured by the source on any thread, encoded as JPEG on
// the image queue, answered from the session queue.
#include <exception>
#include <string>
#include <utility>

#include "platform/Log.h"
#include "protocol/messages/LargePayloads.h"
#include "screen-view/ScreenViewSession.h"
#include "screen-view/ScreenshotImage.h"

namespace ScreenView {

using TrackpadProtocol::Message;
using TrackpadProtocol::Screenshot;

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "screenview");

std::optional<ScreenDisplay> displayWithID(const std::vector<ScreenDisplay>& displays, std::uint32_t id) {
    for (const ScreenDisplay& display : displays) {
        if (display.id == id) {
            return display;
        }
    }
    return std::nullopt;
}

}  // namespace

void ScreenViewSession::takeScreenshot(const TrackpadProtocol::ScreenshotRequest& request) {
    if (!permission_->isGranted()) {
        permission_->request();
        sendScreenshot(request.number, Screenshot::Status::screenRecordingRequired, std::nullopt);
        return;
    }
    const std::vector<ScreenDisplay> displays = source_->displays();
    const std::optional<ScreenDisplay> display = displayWithID(displays, request.displayID);
    if (!display) {
        sendScreenshot(request.number, Screenshot::Status::displayUnavailable, std::nullopt);
        return;
    }
    if (screenshotsUnderWay_ >= maxScreenshotsUnderWay) {
        // A phone asking for a thumbnail of every display is served in turn; only more than that fails.
        if (screenshotsWaiting_.size() < displays.size()) {
            screenshotsWaiting_.push_back(request);
        } else {
            sendScreenshot(request.number, Screenshot::Status::failed, std::nullopt);
        }
        return;
    }
    // A screenshot and its encodings are tens of megabytes.
    keepLargeBlocksInPagesOfTheirOwn();
    screenshotsUnderWay_ += 1;
    screenshotsHeld_.push_back(
        {request, ScreenViewSizing::fit(display->pixelWidth, display->pixelHeight, request.maxPixelLength)});
    startHeldScreenshots();
}

void ScreenViewSession::startHeldScreenshots() {
    while (!screenshotsHeld_.empty() && !isClosed_) {
        const HeldScreenshot& next = screenshotsHeld_.front();
        // A large screenshot is taken only once this session's other screenshots are answered and their
        // answers taken by the connection: a phone gets no second image of tens of megabytes captured, nor
        // a second answer of megabytes encoded, before it has read the first. The others keep their order
        // behind it.
        const auto started = static_cast<std::size_t>(screenshotsUnderWay_) - screenshotsHeld_.size();
        if (started > 0 && ScreenshotImage::isLargeImage(next.size.width, next.size.height)) {
            return;
        }
        const HeldScreenshot held = next;
        screenshotsHeld_.pop_front();
        captureScreenshot(held.request, held.size);
    }
}

void ScreenViewSession::captureScreenshot(const TrackpadProtocol::ScreenshotRequest& request,
                                          PixelSize size) {
    const std::uint32_t number = request.number;
    const int maxPixelLength = request.maxPixelLength;
    // What waits in the source's line holds the session and its queues weakly: a session that ended is
    // not kept, nor its threads, by screenshots it asked for, and those are dropped when their turn comes.
    std::weak_ptr<ScreenViewSession> weak = weak_from_this();
    source_->screenshot(
        request.displayID, size.width, size.height, [weak] { return !weak.expired(); },
        [weak, queue = std::weak_ptr<platform::Executor>(queue_),
         imageQueue = std::weak_ptr<platform::Executor>(imageQueue_), encoder = screenshotEncoder_, number,
         maxPixelLength,
         quality = configuration_.screenshotQuality](ScreenCaptureSource::ScreenshotResult result) {
            const std::shared_ptr<platform::Executor> images = imageQueue.lock();
            if (weak.expired() || !images) {
                return;
            }
            images->post([weak, queue, encoder, number, maxPixelLength, quality,
                          result = std::move(result)]() mutable {
                // A session released meanwhile (the phone left, the companion stops) is answered
                // nothing: its encodings, seconds each for a large display, are not done.
                if (weak.expired()) {
                    return;
                }
                Screenshot::Status status = Screenshot::Status::failed;
                std::optional<Data> jpeg;
                if (const auto* captured = std::get_if<CapturedImage>(&result)) {
                    // An encoder fault (memory, a size it refuses) is this request's failure; the phone
                    // is still answered and the queue goes on.
                    try {
                        if (captured->image) {
                            jpeg = encoder(*captured->image, maxPixelLength, ScreenshotImage::maxByteCount,
                                           quality);
                        }
                    } catch (const std::exception& error) {
                        logger.error(std::string("Lumivex screenshot failed: ") + error.what());
                        jpeg.reset();
                    }
                    if (jpeg) {
                        status = Screenshot::Status::taken;
                    }
                } else {
                    const auto& error = std::get<ScreenCaptureError>(result);
                    if (std::holds_alternative<ScreenCaptureError::ScreenRecordingDenied>(error.kind)) {
                        status = Screenshot::Status::screenRecordingRequired;
                    } else if (std::holds_alternative<ScreenCaptureError::DisplayUnavailable>(error.kind)) {
                        status = Screenshot::Status::displayUnavailable;
                    } else {
                        logger.error("Lumivex screenshot failed: " + error.description());
                    }
                }
                // The full-size image is released here, on the image queue, before the hop.
                result = ScreenCaptureError::failed({});
                if (const auto answerQueue = queue.lock()) {
                    answerQueue->post([weak, number, status, jpeg = std::move(jpeg)]() mutable {
                        if (auto self = weak.lock()) {
                            self->sendScreenshot(number, status, std::move(jpeg), true);
                        }
                    });
                }
            });
        });
}

void ScreenViewSession::screenshotAnswered() {
    screenshotsUnderWay_ -= 1;
    if (isClosed_) {
        screenshotsUnderWay_ -= static_cast<int>(screenshotsHeld_.size());
        screenshotsHeld_.clear();
        screenshotsWaiting_.clear();
        return;
    }
    startHeldScreenshots();
    if (!screenshotsWaiting_.empty()) {
        const TrackpadProtocol::ScreenshotRequest next = screenshotsWaiting_.front();
        screenshotsWaiting_.pop_front();
        takeScreenshot(next);
    }
}

void ScreenViewSession::sendScreenshot(std::uint32_t number, Screenshot::Status status,
                                       std::optional<Data> image, bool taken) {
    Messages messages;
    try {
        messages = Screenshot(status, image ? std::move(*image) : Data{}).messages(number);
    } catch (const std::exception&) {
        try {
            messages = Screenshot(Screenshot::Status::failed).messages(number);
        } catch (const std::exception&) {
            messages.clear();
        }
    }
    if (!canSend() || messages.empty()) {
        if (taken) {
            screenshotAnswered();
        }
        return;
    }
    screenshotAnswerParts_.emplace_back(messages.size(), taken);
    for (Message& message : messages) {
        screenshotParts_.push_back(std::move(message));
    }
    if (!sendingScreenshotParts_) {
        sendScreenshotParts();
    }
}

void ScreenViewSession::sendScreenshotParts() {
    // About a megabyte a turn.
    constexpr std::size_t partsPerSend = 16;
    constexpr std::size_t largeBatchBytes = 512 * 1024;
    if (!canSend() || screenshotParts_.empty()) {
        int unsent = 0;
        for (const auto& answer : screenshotAnswerParts_) {
            unsent += answer.second ? 1 : 0;
        }
        screenshotParts_.clear();
        screenshotAnswerParts_.clear();
        sendingScreenshotParts_ = false;
        for (; unsent > 0; --unsent) {
            screenshotAnswered();
        }
        return;
    }
    Messages batch;
    int handedOver = 0;
    std::size_t batchBytes = 0;
    while (!screenshotParts_.empty() && batch.size() < partsPerSend) {
        if (const auto* part = screenshotParts_.front().as<Message::Screenshot>()) {
            batchBytes += part->part.bytes.size();
        }
        batch.push_back(std::move(screenshotParts_.front()));
        screenshotParts_.pop_front();
        if (--screenshotAnswerParts_.front().first == 0) {
            handedOver += screenshotAnswerParts_.front().second ? 1 : 0;
            screenshotAnswerParts_.pop_front();
        }
    }
    sendingScreenshotParts_ = true;
    // The parts of a large answer, freed once the connection has them, would keep their pages: a phone
    // that stops reading would leave the process holding what it already took.
    const bool givePagesBack = batchBytes >= largeBatchBytes;
    sendMessages(std::move(batch),
                 [weak = weak_from_this(), queue = std::weak_ptr<platform::Executor>(queue_), handedOver,
                  givePagesBack] {
                     if (const auto next = queue.lock()) {
                         next->post([weak, handedOver, givePagesBack] {
                             if (givePagesBack) {
                                 giveFreedPagesBack();
                             }
                             if (auto self = weak.lock()) {
                                 for (int i = 0; i < handedOver; ++i) {
                                     self->screenshotAnswered();
                                 }
                                 self->sendScreenshotParts();
                             }
                         });
                     }
                 });
}

}  // namespace ScreenView
