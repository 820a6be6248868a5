#pragma once
// Helpers shared by the codec's tests: readable printing, caught errors as values, and a builder for raw
// payload bytes.
#include <bit>
#include <optional>
#include <ostream>

#include "protocol/messages/MessageCodec.h"
#include "protocol/messages/MessageFraming.h"

namespace TrackpadProtocol {

inline void PrintTo(const Message& message, std::ostream* os) {
    *os << message.description();
}
inline void PrintTo(const MessageCodec::EncodingError& error, std::ostream* os) {
    *os << error.what();
}
inline void PrintTo(const MessageCodec::DecodingError& error, std::ostream* os) {
    *os << error.what();
}
inline void PrintTo(const MessageFraming::FramingError& error, std::ostream* os) {
    *os << error.what();
}

}  // namespace TrackpadProtocol

namespace codec_test {

using namespace TrackpadProtocol;
using EncodingError = MessageCodec::EncodingError;
using DecodingError = MessageCodec::DecodingError;

// The error a call throws, or none when it returns.
template <class Error, class Call>
std::optional<Error> errorOf(Call&& call) {
    try {
        call();
    } catch (const Error& error) {
        return error;
    }
    return std::nullopt;
}

inline std::optional<DecodingError> decodingError(const Data& payload) {
    return errorOf<DecodingError>([&] { MessageCodec::decode(payload); });
}

inline std::optional<EncodingError> encodingError(const Message& message) {
    return errorOf<EncodingError>([&] { MessageCodec::encode(message); });
}

// Raw bytes written field by field, big-endian, for payloads the encoder would refuse to make.
class Bytes {
  public:
    Bytes() = default;
    // A payload: version byte 1 and the type byte.
    static Bytes payload(std::uint8_t type) { return Bytes().u8(1).u8(type); }

    Bytes& u8(std::uint8_t v) {
        data_.push_back(v);
        return *this;
    }
    Bytes& u16(std::uint16_t v) {
        return u8(static_cast<std::uint8_t>(v >> 8)).u8(static_cast<std::uint8_t>(v));
    }
    Bytes& u32(std::uint32_t v) {
        return u16(static_cast<std::uint16_t>(v >> 16)).u16(static_cast<std::uint16_t>(v));
    }
    Bytes& u64(std::uint64_t v) {
        return u32(static_cast<std::uint32_t>(v >> 32)).u32(static_cast<std::uint32_t>(v));
    }
    Bytes& f32(float v) { return u32(std::bit_cast<std::uint32_t>(v)); }
    Bytes& f64(double v) { return u64(std::bit_cast<std::uint64_t>(v)); }
    Bytes& str(std::string_view text) {
        u8(static_cast<std::uint8_t>(text.size()));
        data_.insert(data_.end(), text.begin(), text.end());
        return *this;
    }
    Bytes& fill(std::size_t count, std::uint8_t value = 0xAB) {
        data_.insert(data_.end(), count, value);
        return *this;
    }
    operator const Data&() const { return data_; }  // NOLINT(google-explicit-constructor)
    const Data& data() const { return data_; }

  private:
    Data data_;
};

}  // namespace codec_test
