#include "protocol/messages/MessageCodec.h"

#include "protocol/messages/MessageCodecFamilies.h"
#include "protocol/messages/WireFormat.h"

namespace TrackpadProtocol {

namespace {

std::string sized(const char* what, std::size_t byteCount, std::size_t limit) {
    return std::string(what) + " (" + std::to_string(byteCount) + " bytes, at most " + std::to_string(limit) +
           ")";
}

std::string inField(const char* what, const char* field) {
    std::string text = what;
    if (field) text += std::string(" in ") + field;
    return text;
}

std::string hexByte(std::uint8_t byte) {
    static constexpr char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[byte >> 4] + digits[byte & 0x0F];
}

}  // namespace

using EncodingError = MessageCodec::EncodingError;
using DecodingError = MessageCodec::DecodingError;

EncodingError EncodingError::stringTooLong(std::size_t byteCount) {
    return {Kind::stringTooLong, byteCount, sized("string too long", byteCount, maxWireStringBytes)};
}
EncodingError EncodingError::artworkTooLarge(std::size_t byteCount) {
    return {Kind::artworkTooLarge, byteCount,
            sized("artwork too large", byteCount, ScreenDataPart::maxBytes)};
}
EncodingError EncodingError::iconTooLarge(std::size_t byteCount) {
    return {Kind::iconTooLarge, byteCount, sized("icon too large", byteCount, ScreenDataPart::maxBytes)};
}
EncodingError EncodingError::appListTooLarge(std::size_t byteCount) {
    return {
        Kind::appListTooLarge, byteCount,
        "app list too large (" + std::to_string(byteCount) + " bytes do not fit the parts of an app list)"};
}
EncodingError EncodingError::screenDataTooLarge(std::size_t byteCount) {
    return {Kind::screenDataTooLarge, byteCount,
            "screen data too large (" + std::to_string(byteCount) + " bytes do not fit its wire form)"};
}
EncodingError EncodingError::presentationImageTooLarge(std::size_t byteCount) {
    return {Kind::presentationImageTooLarge, byteCount,
            sized("presentation image too large", byteCount, 8388608)};
}
EncodingError EncodingError::nonFiniteValue(const char* field) {
    return {Kind::nonFiniteValue, 0, inField("non-finite value", field)};
}
EncodingError EncodingError::invalidValue(const char* field) {
    return {Kind::invalidValue, 0, inField("invalid value", field)};
}

DecodingError DecodingError::unsupportedVersion(std::uint8_t version) {
    return {Kind::unsupportedVersion, version, "unsupported protocol version " + std::to_string(version)};
}
DecodingError DecodingError::unknownMessageType(std::uint8_t type) {
    return {Kind::unknownMessageType, type, "unknown message type " + hexByte(type)};
}
DecodingError DecodingError::trailingBytes(std::size_t count) {
    return {Kind::trailingBytes, count, std::to_string(count) + " bytes after the end of the message"};
}
DecodingError DecodingError::truncated() {
    return {Kind::truncated, 0, "message truncated"};
}
DecodingError DecodingError::invalidValue(const char* field) {
    return {Kind::invalidValue, 0, inField("invalid value", field)};
}

void WireWriter::string(std::string_view text, const char* field) {
    if (text.size() > maxWireStringBytes) throw EncodingError::stringTooLong(text.size());
    if (!isValidUTF8(text)) throw EncodingError::invalidValue(field);
    u8(static_cast<std::uint8_t>(text.size()));
    append(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::string WireReader::string(const char* field) {
    auto raw = bytes(u8());
    std::string_view text(reinterpret_cast<const char*>(raw.data()), raw.size());
    if (!isValidUTF8(text)) throw DecodingError::invalidValue(field);
    return std::string(text);
}

std::uint8_t MessageCodec::typeByte(const Message& message) {
    return wire::typeBytes[message.value.index()];
}

void MessageCodec::encode(const Message& message, Data& output) {
    const auto start = output.size();
    try {
        WireWriter writer(output);
        writer.u8(static_cast<std::uint8_t>(version));
        const auto type = typeByte(message);
        writer.u8(type);
        if (type < wire::type::move) {
            wire::encodeSessionFields(writer, message);
        } else if (type < wire::type::screenDisplaysRequest) {
            wire::encodeInputFields(writer, message);
        } else if (type < wire::type::appsRequest) {
            wire::encodeScreenFields(writer, message);
        } else {
            wire::encodeAppAndMediaFields(writer, message);
        }
    } catch (...) {
        output.resize(start);
        throw;
    }
}

Data MessageCodec::encode(const Message& message) {
    Data output;
    output.reserve(64);
    encode(message, output);
    return output;
}

namespace {

Message decodeFields(std::uint8_t type, WireReader& reader) {
    if (!wire::knownTypes[type]) throw DecodingError::unknownMessageType(type);
    if (type < wire::type::move) return wire::decodeSessionFields(type, reader);
    if (type < wire::type::screenDisplaysRequest) return wire::decodeInputFields(type, reader);
    if (type < wire::type::appsRequest) return wire::decodeScreenFields(type, reader);
    return wire::decodeAppAndMediaFields(type, reader);
}

}  // namespace

Message MessageCodec::decode(std::span<const std::uint8_t> payload) {
    WireReader reader(payload);
    const auto versionByte = reader.u8();
    if (versionByte != version) throw DecodingError::unsupportedVersion(versionByte);
    Message message = decodeFields(reader.u8(), reader);
    reader.expectEnd();
    return message;
}

}  // namespace TrackpadProtocol
