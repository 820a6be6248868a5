#pragma once
// Frames on the reliable channel: a 16-bit big-endian payload length, then the payload (one encoded
// message). FrameDecoder cuts a byte stream back into messages.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <variant>

#include "protocol/messages/Message.h"
#include "protocol/messages/MessageCodec.h"

namespace TrackpadProtocol {

class MessageFraming {
  public:
    static constexpr std::size_t headerBytes = 2;
    static constexpr std::size_t maxPayloadBytes = 65535;

    class FramingError : public std::runtime_error {
      public:
        enum class Kind : std::uint8_t { payloadTooLarge, emptyFrame };

        static FramingError payloadTooLarge(std::size_t byteCount);
        static FramingError emptyFrame();

        Kind kind() const { return kind_; }
        // The payload size that did not fit, for payloadTooLarge.
        std::size_t byteCount() const { return byteCount_; }

        friend bool operator==(const FramingError& a, const FramingError& b) {
            return a.kind_ == b.kind_ && a.byteCount_ == b.byteCount_;
        }

      private:
        FramingError(Kind kind, std::size_t byteCount, const std::string& text)
            : std::runtime_error(text), kind_(kind), byteCount_(byteCount) {}
        Kind kind_;
        std::size_t byteCount_;
    };

    // The frame of one message. Throws MessageCodec::EncodingError or FramingError.
    static Data frame(const Message& message);
    // The frame of payload bytes. Throws FramingError for an empty payload or one above 65535 bytes.
    static Data frame(std::span<const std::uint8_t> payload);
    // Appends the frame of one message, so that several frames can go out in one write; `output` is left
    // as it was when the message cannot be framed.
    static void appendFrame(const Message& message, Data& output);
};

// Cuts the reliable channel's byte stream into payloads and messages. Reads of any size and any split
// of the stream give the same messages; a whole frame inside a read is handed on without a copy, and at
// most one partial frame (less than 2 + 65535 bytes) is kept between reads.
//
// A frame whose payload does not decode drops that message only: the stream stays aligned. A zero-length
// frame cannot come from a sound peer and leaves nothing to resynchronise on, so it closes the stream, as
// does the third undecodable frame in a row. Once closed, the decoder ignores further input.
//
// Lives on the thread of its connection; the callbacks must not destroy the decoder (they may close()).
class FrameDecoder {
  public:
    // Bytes taken from the connection per read.
    static constexpr std::size_t readSize = 16384;
    static constexpr int maxConsecutiveBadFrames = 3;

    struct BadFrame {
        std::variant<MessageCodec::DecodingError, MessageFraming::FramingError> error;
        // True when the connection must be closed; otherwise only this message is dropped.
        bool closesConnection = false;
        const char* what() const {
            return std::visit([](const auto& e) { return e.what(); }, error);
        }
    };

    // Feeds one read and calls onMessage(Message&&) for each whole message and onBadFrame(const
    // BadFrame&) for each frame that cannot be used, in stream order.
    template <class OnMessage, class OnBadFrame>
    void feed(std::span<const std::uint8_t> read, OnMessage&& onMessage, OnBadFrame&& onBadFrame) {
        feedPayloads(
            read,
            [&](std::span<const std::uint8_t> payload) {
                std::optional<Message> message;
                try {
                    message.emplace(MessageCodec::decode(payload));
                } catch (const MessageCodec::DecodingError& error) {
                    onBadFrame(badFrame(error));
                    return;
                }
                badFramesInARow_ = 0;
                onMessage(std::move(*message));
            },
            onBadFrame);
    }

    // As feed, without decoding: onPayload(std::span<const uint8_t>) gets each whole payload, valid
    // during the call only.
    template <class OnPayload, class OnBadFrame>
    void feedPayloads(std::span<const std::uint8_t> read, OnPayload&& onPayload, OnBadFrame&& onBadFrame) {
        if (closed_) return;
        pending_ = read;
        std::span<const std::uint8_t> payload;
        while (!closed_) {
            const auto step = next(payload);
            if (step == Step::needMore) break;
            if (step == Step::emptyFrame) {
                close();
                onBadFrame(BadFrame{MessageFraming::FramingError::emptyFrame(), true});
                break;
            }
            onPayload(payload);
        }
        pending_ = {};
    }

    // Stops the stream: the partial frame is dropped and later input is ignored.
    void close();
    bool isClosed() const { return closed_; }
    // Bytes of the partial frame kept for the next read.
    std::size_t bufferedBytes() const { return partial_.size(); }

  private:
    enum class Step : std::uint8_t { payload, emptyFrame, needMore };
    Step next(std::span<const std::uint8_t>& payload);
    void keepRest();
    // Counts an undecodable frame; the third in a row closes the stream.
    BadFrame badFrame(const MessageCodec::DecodingError& error);

    std::span<const std::uint8_t> pending_;  // the unread rest of the current read
    Data partial_;                           // a frame begun in an earlier read
    bool partialHandedOut_ = false;
    bool closed_ = false;
    int badFramesInARow_ = 0;
};

}  // namespace TrackpadProtocol
