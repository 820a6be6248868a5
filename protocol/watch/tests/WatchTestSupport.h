#pragma once
// Printing and error capture shared by the watch relay's tests.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>

#include "protocol/messages/MessageCodec.h"
#include "protocol/watch/WatchPayload.h"

namespace TrackpadProtocol {

inline void PrintTo(const Message& message, std::ostream* os) {
    *os << message.description();
}
inline void PrintTo(const WatchPayload& payload, std::ostream* os) {
    *os << payload.description();
}
inline void PrintTo(const WatchStatus& status, std::ostream* os) {
    *os << status.description();
}
inline void PrintTo(const MessageCodec::DecodingError& error, std::ostream* os) {
    *os << error.what();
}
inline void PrintTo(const MessageCodec::EncodingError& error, std::ostream* os) {
    *os << error.what();
}

}  // namespace TrackpadProtocol

namespace watch_test {

using namespace TrackpadProtocol;
using DecodingError = MessageCodec::DecodingError;
using EncodingError = MessageCodec::EncodingError;

inline std::optional<DecodingError> readError(const Data& bytes) {
    try {
        (void)WatchPayload(bytes);
    } catch (const DecodingError& error) {
        return error;
    }
    return std::nullopt;
}

inline std::optional<EncodingError> writeError(const WatchPayload& payload) {
    try {
        (void)payload.encoded();
    } catch (const EncodingError& error) {
        return error;
    }
    return std::nullopt;
}

inline UUID uuid(std::uint8_t fill) {
    UUID id;
    id.bytes.fill(fill);
    return id;
}

inline WatchStatus connected(const std::string& name, std::optional<UUID> target, std::int64_t session) {
    return WatchStatus(true, WatchStatus::Mac::Connected{name}, target, session);
}

inline Message move(float dx, float dy) {
    return Message::Move{dx, dy};
}

inline Message scroll(float dx, float dy, ScrollPhase phase = ScrollPhase::changed,
                      std::optional<ScrollStamp> stamp = std::nullopt) {
    return Message::Scroll{dx, dy, phase, stamp};
}

}  // namespace watch_test
