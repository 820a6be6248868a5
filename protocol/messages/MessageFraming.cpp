#include "protocol/messages/MessageFraming.h"

#include <algorithm>

#include "protocol/messages/Secrets.h"

namespace TrackpadProtocol {

using FramingError = MessageFraming::FramingError;

FramingError FramingError::payloadTooLarge(std::size_t byteCount) {
    return {Kind::payloadTooLarge, byteCount,
            "payload too large for a frame (" + std::to_string(byteCount) + " bytes, at most 65535)"};
}

FramingError FramingError::emptyFrame() {
    return {Kind::emptyFrame, 0, "empty frame"};
}

void MessageFraming::appendFrame(const Message& message, Data& output) {
    const auto start = output.size();
    output.push_back(0);
    output.push_back(0);
    try {
        MessageCodec::encode(message, output);
    } catch (...) {
        output.resize(start);
        throw;
    }
    const auto length = output.size() - start - headerBytes;
    if (length > maxPayloadBytes) {
        output.resize(start);
        throw FramingError::payloadTooLarge(length);
    }
    output[start] = static_cast<std::uint8_t>(length >> 8);
    output[start + 1] = static_cast<std::uint8_t>(length);
}

Data MessageFraming::frame(const Message& message) {
    Data output;
    output.reserve(64);
    appendFrame(message, output);
    return output;
}

Data MessageFraming::frame(std::span<const std::uint8_t> payload) {
    if (payload.empty())
        throw FramingError::emptyFrame();
    if (payload.size() > maxPayloadBytes)
        throw FramingError::payloadTooLarge(payload.size());
    Data output;
    output.reserve(headerBytes + payload.size());
    output.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    output.push_back(static_cast<std::uint8_t>(payload.size()));
    output.insert(output.end(), payload.begin(), payload.end());
    return output;
}

void FrameDecoder::close() {
    closed_ = true;
    wipe(partial_);  // a frame cut short may hold a token or a password
    partial_.clear();
    partial_.shrink_to_fit();
    partialHandedOut_ = false;
    pending_ = {};
}

// Keeps the unread rest of the current read (less than one frame) for the next read.
void FrameDecoder::keepRest() {
    partial_.insert(partial_.end(), pending_.begin(), pending_.end());
    pending_ = {};
}

FrameDecoder::Step FrameDecoder::next(std::span<const std::uint8_t>& payload) {
    if (partialHandedOut_) {
        partial_.clear();
        partialHandedOut_ = false;
    }
    if (!partial_.empty()) {
        // Complete the frame begun in an earlier read: first its header, then its payload.
        if (partial_.size() < MessageFraming::headerBytes) {
            const auto take = std::min(MessageFraming::headerBytes - partial_.size(), pending_.size());
            partial_.insert(partial_.end(), pending_.begin(),
                            pending_.begin() + static_cast<std::ptrdiff_t>(take));
            pending_ = pending_.subspan(take);
            if (partial_.size() < MessageFraming::headerBytes)
                return Step::needMore;
        }
        const std::size_t length = std::size_t{partial_[0]} << 8 | partial_[1];
        if (length == 0) {
            partial_.clear();
            return Step::emptyFrame;
        }
        const auto frameBytes = MessageFraming::headerBytes + length;
        partial_.reserve(frameBytes);
        const auto take = std::min(frameBytes - partial_.size(), pending_.size());
        partial_.insert(partial_.end(), pending_.begin(),
                        pending_.begin() + static_cast<std::ptrdiff_t>(take));
        pending_ = pending_.subspan(take);
        if (partial_.size() < frameBytes)
            return Step::needMore;
        payload = std::span<const std::uint8_t>(partial_).subspan(MessageFraming::headerBytes, length);
        partialHandedOut_ = true;
        return Step::payload;
    }
    if (pending_.size() < MessageFraming::headerBytes) {
        keepRest();
        return Step::needMore;
    }
    const std::size_t length = std::size_t{pending_[0]} << 8 | pending_[1];
    if (length == 0) {
        pending_ = pending_.subspan(MessageFraming::headerBytes);
        return Step::emptyFrame;
    }
    if (pending_.size() < MessageFraming::headerBytes + length) {
        partial_.reserve(MessageFraming::headerBytes + length);
        keepRest();
        return Step::needMore;
    }
    payload = pending_.subspan(MessageFraming::headerBytes, length);
    pending_ = pending_.subspan(MessageFraming::headerBytes + length);
    return Step::payload;
}

FrameDecoder::BadFrame FrameDecoder::badFrame(const MessageCodec::DecodingError& error) {
    const bool closes = ++badFramesInARow_ >= maxConsecutiveBadFrames;
    if (closes)
        close();
    return BadFrame{error, closes};
}

}  // namespace TrackpadProtocol
