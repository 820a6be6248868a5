#pragma once
// A session on virtual time with every seam faked, and readers for what it sent.
#include <memory>
#include <vector>

#include "platform/ManualExecutor.h"
#include "protocol/messages/LargePayloads.h"
#include "screen-view/ScreenViewSession.h"
#include "screen-view/tests/ScreenViewFakes.h"

namespace ScreenView::fakes {

using TrackpadProtocol::Message;
using State = TrackpadProtocol::ScreenViewStatus::State;

struct SessionRig {
    explicit SessionRig(
        ScreenViewSession::Configuration configuration = ScreenViewSession::Configuration(2, 0.85),
        ScreenViewSession::Environment environment = {}) {
        source->setDisplays({display(1, 1920, 1080), display(2, 5120, 2880)});
        environment.queue = queue;
        environment.imageQueue = queue;
        session = ScreenViewSession::make({source, encoders, permission, displayChanges}, configuration,
                                          link.send(), std::move(environment));
    }

    void handle(Message message) {
        session->handle(message);
        queue->drain();
    }
    void start(std::uint32_t displayID = 1, int fps = 30, int maxPixelLength = 8192,
               TrackpadProtocol::ScreenVideoCodecs codecs = TrackpadProtocol::ScreenVideoCodecs::h264) {
        handle(Message::ScreenViewStart{TrackpadProtocol::ScreenViewRequest{
            displayID, static_cast<std::uint16_t>(maxPixelLength), static_cast<std::uint8_t>(fps), codecs}});
    }
    std::vector<TrackpadProtocol::ScreenViewStatus> statuses() {
        std::vector<TrackpadProtocol::ScreenViewStatus> result;
        for (const Message& message : link.take()) {
            if (const auto* status = message.as<Message::ScreenViewStatus>()) {
                result.push_back(status->status);
            }
        }
        return result;
    }
    // Delivers a frame from the capture and lets the session handle it.
    void frame(std::uint64_t timestamp) {
        source->lastCapture()->deliver(timestamp);
        queue->drain();
    }
    std::shared_ptr<FakeEncoder> encoder() const { return encoders->last(); }

    std::shared_ptr<platform::ManualExecutor> queue = std::make_shared<platform::ManualExecutor>();
    std::shared_ptr<FakeCaptureSource> source = std::make_shared<FakeCaptureSource>();
    std::shared_ptr<FakeEncoderFactory> encoders = std::make_shared<FakeEncoderFactory>();
    std::shared_ptr<FakePermission> permission = std::make_shared<FakePermission>();
    std::shared_ptr<ManualDisplayChanges> displayChanges = std::make_shared<ManualDisplayChanges>();
    RecordingLink link;
    std::shared_ptr<ScreenViewSession> session;
};

inline TrackpadProtocol::ScreenViewStatus status(State state, std::optional<std::uint32_t> id) {
    return TrackpadProtocol::ScreenViewStatus{state, id};
}

// The video frames among the messages, reassembled.
inline std::vector<std::pair<std::uint32_t, TrackpadProtocol::ScreenVideoFrame>> videoFrames(
    const std::vector<Message>& messages) {
    std::vector<std::pair<std::uint32_t, TrackpadProtocol::ScreenVideoFrame>> frames;
    TrackpadProtocol::ScreenDataAssembler assembler;
    for (const Message& message : messages) {
        if (const auto* video = message.as<Message::ScreenVideo>()) {
            if (auto document = assembler.add(video->part)) {
                frames.emplace_back(video->part.transfer,
                                    TrackpadProtocol::ScreenVideoFrame::decode(*document));
            }
        }
    }
    return frames;
}

}  // namespace ScreenView::fakes
