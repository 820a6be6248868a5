#pragma once
// The binary form of a Message: version byte 1, the message type byte, then the case's fields; no length
// prefix (MessageFraming adds it). Integers are big-endian, floats IEEE-754 big-endian, strings a length
// byte and UTF-8, blobs a 16-bit length and bytes, optionals a presence byte (0 or 1) and the value.
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

#include "protocol/messages/Message.h"

namespace TrackpadProtocol {

class MessageCodec {
  public:
    // A field that does not fit its wire form.
    class EncodingError : public std::runtime_error {
      public:
        enum class Kind : std::uint8_t {
            stringTooLong,
            artworkTooLarge,
            iconTooLarge,
            appListTooLarge,
            screenDataTooLarge,
            presentationImageTooLarge,
            nonFiniteValue,
            invalidValue,
        };

        static EncodingError stringTooLong(std::size_t byteCount);
        static EncodingError artworkTooLarge(std::size_t byteCount);
        static EncodingError iconTooLarge(std::size_t byteCount);
        static EncodingError appListTooLarge(std::size_t byteCount);
        static EncodingError screenDataTooLarge(std::size_t byteCount);
        static EncodingError presentationImageTooLarge(std::size_t byteCount);
        // `field` names the offending field in what(); it takes no part in equality.
        static EncodingError nonFiniteValue(const char* field = nullptr);
        static EncodingError invalidValue(const char* field = nullptr);

        Kind kind() const { return kind_; }
        // The size that did not fit; 0 for nonFiniteValue and invalidValue.
        std::size_t byteCount() const { return byteCount_; }

        friend bool operator==(const EncodingError& a, const EncodingError& b) {
            return a.kind_ == b.kind_ && a.byteCount_ == b.byteCount_;
        }

      private:
        EncodingError(Kind kind, std::size_t byteCount, const std::string& text)
            : std::runtime_error(text), kind_(kind), byteCount_(byteCount) {}
        Kind kind_;
        std::size_t byteCount_;
    };

    // Bytes that are not the encoding of exactly one message.
    class DecodingError : public std::runtime_error {
      public:
        enum class Kind : std::uint8_t {
            unsupportedVersion,
            unknownMessageType,
            trailingBytes,
            truncated,
            invalidValue
        };

        static DecodingError unsupportedVersion(std::uint8_t version);
        static DecodingError unknownMessageType(std::uint8_t type);
        static DecodingError trailingBytes(std::size_t count);
        static DecodingError truncated();
        // `field` names the offending field in what(); it takes no part in equality.
        static DecodingError invalidValue(const char* field = nullptr);

        Kind kind() const { return kind_; }
        // The version byte of unsupportedVersion, the type byte of unknownMessageType.
        std::uint8_t byte() const { return static_cast<std::uint8_t>(value_); }
        // The number of bytes left over, for trailingBytes.
        std::size_t count() const { return value_; }

        friend bool operator==(const DecodingError& a, const DecodingError& b) {
            return a.kind_ == b.kind_ && a.value_ == b.value_;
        }

      private:
        DecodingError(Kind kind, std::size_t value, const std::string& text)
            : std::runtime_error(text), kind_(kind), value_(value) {}
        Kind kind_;
        std::size_t value_;
    };

    // The payload bytes of one message. Throws EncodingError.
    static Data encode(const Message& message);
    // Appends the payload bytes to `output` (which is left as it was when the message cannot be encoded).
    static void encode(const Message& message, Data& output);
    // Takes payload bytes that hold exactly one message. Throws DecodingError.
    static Message decode(std::span<const std::uint8_t> payload);
    // The type byte a message travels under.
    static std::uint8_t typeByte(const Message& message);
};

}  // namespace TrackpadProtocol
