#include "protocol/watch/WatchPayload.h"

#include <limits>

#include "protocol/messages/MessageCodec.h"
#include "protocol/messages/Overloaded.h"
#include "protocol/messages/Types.h"
#include "protocol/watch/WatchText.h"

namespace TrackpadProtocol {

using DecodingError = MessageCodec::DecodingError;
using EncodingError = MessageCodec::EncodingError;

bool isWatchInput(const Message& message) {
    return std::visit(Overloaded{
                          [](const Message::Move&) { return true; },
                          [](const Message::Tap&) { return true; },
                          [](const Message::Drag&) { return true; },
                          [](const Message::Scroll&) { return true; },
                          [](const Message::Gesture&) { return true; },
                          [](const Message::KeyCombination&) { return true; },
                          [](const Message::Text&) { return true; },
                          [](const Message::MediaCommand&) { return true; },
                          [](const Message::QuickAction&) { return true; },
                          [](const Message::RightClick&) { return true; },
                          [](const auto&) { return false; },
                      },
                      message.value);
}

std::string englishText(std::string_view english) {
    return std::string(english);
}

// ---- Cursor -----------------------------------------------------------------------------------------

std::uint8_t WatchPayloadCursor::byte() {
    if (remaining() < 1)
        throw DecodingError::truncated();
    return bytes[offset++];
}

bool WatchPayloadCursor::flag(const char* field) {
    const auto value = byte();
    if (value > 1)
        throw DecodingError::invalidValue(field);
    return value == 1;
}

std::uint16_t WatchPayloadCursor::u16() {
    if (remaining() < 2)
        throw DecodingError::truncated();
    const auto value = static_cast<std::uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
    offset += 2;
    return value;
}

std::int64_t WatchPayloadCursor::session(const char* field) {
    if (remaining() < 8)
        throw DecodingError::truncated();
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value = value << 8 | bytes[offset + static_cast<std::size_t>(i)];
    offset += 8;
    // Read unsigned and checked before it becomes signed: a set top bit does not fit a session number.
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        throw DecodingError::invalidValue(field);
    return static_cast<std::int64_t>(value);
}

std::span<const std::uint8_t> WatchPayloadCursor::take(std::size_t count) {
    if (remaining() < count)
        throw DecodingError::truncated();
    auto taken = bytes.subspan(offset, count);
    offset += count;
    return taken;
}

namespace {

void putSession(Data& out, std::int64_t session) {
    const auto value = static_cast<std::uint64_t>(session < 0 ? 0 : session);
    for (int shift = 56; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void putTarget(Data& out, const std::optional<UUID>& target) {
    out.push_back(target ? 1 : 0);
    if (target)
        out.insert(out.end(), target->bytes.begin(), target->bytes.end());
}

std::optional<UUID> readTarget(WatchPayloadCursor& cursor) {
    if (!cursor.flag("target flag"))
        return std::nullopt;
    UUID id;
    const auto bytes = cursor.take(id.bytes.size());
    std::copy(bytes.begin(), bytes.end(), id.bytes.begin());
    return id;
}

// Texts of the platform the watch runs on are always well-formed, so ill-formed bytes are replaced rather
// than written out for the reader to refuse.
void putText(Data& out, const std::string& text) {
    auto put = [&out](std::string_view bytes) {
        out.push_back(static_cast<std::uint8_t>(bytes.size() >> 8));
        out.push_back(static_cast<std::uint8_t>(bytes.size()));
        out.insert(out.end(), bytes.begin(), bytes.end());
    };
    if (text.size() <= WatchStatus::maximumTextBytes && isValidUTF8(text)) {
        put(text);
        return;
    }
    put(watch_text::prefixWithinBytes(watch_text::wellFormed(text), WatchStatus::maximumTextBytes));
}

std::string readText(WatchPayloadCursor& cursor) {
    const auto length = cursor.u16();
    if (length > WatchStatus::maximumTextBytes)
        throw DecodingError::invalidValue("text length");
    const auto bytes = cursor.take(length);
    std::string text(bytes.begin(), bytes.end());
    if (!isValidUTF8(text))
        throw DecodingError::invalidValue("text");
    return text;
}

void putOptionalText(Data& out, const std::optional<std::string>& text) {
    out.push_back(text ? 1 : 0);
    if (text)
        putText(out, *text);
}

std::optional<std::string> readOptionalText(WatchPayloadCursor& cursor, const char* field) {
    if (!cursor.flag(field))
        return std::nullopt;
    return readText(cursor);
}

}  // namespace

// ---- Status -----------------------------------------------------------------------------------------

const WatchStatus WatchStatus::unavailable{false, Mac::NotConnected{}, std::nullopt, 0};

std::optional<WatchStatus::Mac::Kind> WatchStatus::Mac::kindFromRaw(std::uint8_t raw) {
    if (raw > static_cast<std::uint8_t>(Kind::demo))
        return std::nullopt;
    return static_cast<Kind>(raw);
}

WatchStatus::WatchStatus(WatchPayloadCursor& cursor) {
    const auto active = cursor.byte();
    if (active > 1)
        throw DecodingError::invalidValue("phone app active");
    isPhoneAppActive = active == 1;
    const auto kind = Mac::kindFromRaw(cursor.byte());
    if (!kind)
        throw DecodingError::invalidValue("Mac kind");
    switch (*kind) {
        case Mac::Kind::noMacPaired:
            mac = Mac::NoMacPaired{};
            break;
        case Mac::Kind::noMacSelected:
            mac = Mac::NoMacSelected{};
            break;
        case Mac::Kind::pairing:
            mac = Mac::Pairing{};
            break;
        case Mac::Kind::connecting:
            mac = Mac::Connecting{readText(cursor)};
            break;
        case Mac::Kind::connected:
            mac = Mac::Connected{readText(cursor)};
            break;
        case Mac::Kind::needsAccessibility:
            mac = Mac::NeedsAccessibility{readText(cursor)};
            break;
        case Mac::Kind::notConnected: {
            Mac::NotConnected details;
            details.name = readOptionalText(cursor, "name flag");
            details.problem = readOptionalText(cursor, "problem flag");
            mac = std::move(details);
            break;
        }
        case Mac::Kind::demo:
            mac = Mac::Demo{};
            break;
    }
    targetMacID = readTarget(cursor);
    inputSession = cursor.session("input session");
}

void WatchStatus::encode(Data& out) const {
    out.push_back(isPhoneAppActive ? 1 : 0);
    out.push_back(static_cast<std::uint8_t>(mac.kind()));
    std::visit(Overloaded{
                   [&](const Mac::Connecting& m) { putText(out, m.name); },
                   [&](const Mac::Connected& m) { putText(out, m.name); },
                   [&](const Mac::NeedsAccessibility& m) { putText(out, m.name); },
                   [&](const Mac::NotConnected& m) {
                       putOptionalText(out, m.name);
                       putOptionalText(out, m.problem);
                   },
                   [](const auto&) {},
               },
               mac.value);
    putTarget(out, targetMacID);
    putSession(out, inputSession);
}

bool WatchStatus::acceptsInput() const {
    return isPhoneAppActive && (mac.kind() == Mac::Kind::connected || mac.kind() == Mac::Kind::demo);
}

bool WatchStatus::matches(const std::optional<UUID>& target, std::int64_t session) const {
    return targetMacID == target && inputSession == session;
}

WatchPayload WatchStatus::inputPayload(const Message& message) const {
    return WatchPayload::Input{message, targetMacID, inputSession};
}

namespace {

std::string quoted(const std::optional<std::string>& text) {
    return text ? "\"" + *text + "\"" : "nil";
}

std::string macDescription(const WatchStatus::Mac& mac) {
    using Mac = WatchStatus::Mac;
    return std::visit(
        Overloaded{
            [](const Mac::NoMacPaired&) -> std::string { return "noMacPaired"; },
            [](const Mac::NoMacSelected&) -> std::string { return "noMacSelected"; },
            [](const Mac::Pairing&) -> std::string { return "pairing"; },
            [](const Mac::Connecting& m) { return "connecting(" + quoted(m.name) + ")"; },
            [](const Mac::Connected& m) { return "connected(" + quoted(m.name) + ")"; },
            [](const Mac::NeedsAccessibility& m) { return "needsAccessibility(" + quoted(m.name) + ")"; },
            [](const Mac::NotConnected& m) {
                return "notConnected(name: " + quoted(m.name) + ", problem: " + quoted(m.problem) + ")";
            },
            [](const Mac::Demo&) -> std::string { return "demo"; },
        },
        mac.value);
}

std::string targetDescription(const std::optional<UUID>& target) {
    return target ? target->uuidString() : "nil";
}

}  // namespace

std::string WatchStatus::description() const {
    return std::string("WatchStatus(phoneAppActive: ") + (isPhoneAppActive ? "true" : "false") +
           ", mac: " + macDescription(mac) + ", target: " + targetDescription(targetMacID) +
           ", inputSession: " + std::to_string(inputSession) + ")";
}

// ---- Payload ----------------------------------------------------------------------------------------

std::optional<WatchPayload::Kind> WatchPayload::kindFromRaw(std::uint8_t raw) {
    if (raw < 1 || raw > 4)
        return std::nullopt;
    return static_cast<Kind>(raw);
}

WatchPayload::Kind WatchPayload::kind() const {
    return std::visit(Overloaded{
                          [](const Input&) { return Kind::input; },
                          [](const Status&) { return Kind::status; },
                          [](const InputResult&) { return Kind::inputResult; },
                          [](const StatusRequest&) { return Kind::statusRequest; },
                      },
                      value);
}

WatchPayload::WatchPayload(std::span<const std::uint8_t> data) : value(StatusRequest{}) {
    WatchPayloadCursor cursor(data);
    const auto versionByte = cursor.byte();
    if (versionByte != version)
        throw DecodingError::unsupportedVersion(versionByte);
    const auto kindByte = cursor.byte();
    const auto kind = kindFromRaw(kindByte);
    if (!kind)
        throw DecodingError::unknownMessageType(kindByte);
    switch (*kind) {
        case Kind::statusRequest:
            value = StatusRequest{};
            break;
        case Kind::input: {
            Input input;
            input.targetMacID = readTarget(cursor);
            input.inputSession = cursor.session("input session");
            input.message = MessageCodec::decode(cursor.take(cursor.remaining()));
            value = std::move(input);
            break;
        }
        case Kind::status:
            value = Status{WatchStatus(cursor)};
            break;
        case Kind::inputResult: {
            const bool delivered = cursor.flag("delivered");
            value = InputResult{delivered, WatchStatus(cursor)};
            break;
        }
    }
    if (cursor.remaining() != 0)
        throw DecodingError::trailingBytes(cursor.remaining());
}

void WatchPayload::encode(Data& out) const {
    const std::size_t start = out.size();
    try {
        out.push_back(version);
        out.push_back(static_cast<std::uint8_t>(kind()));
        std::visit(Overloaded{
                       [&](const Input& input) {
                           if (input.inputSession < 0)
                               throw EncodingError::invalidValue("input session");
                           putTarget(out, input.targetMacID);
                           putSession(out, input.inputSession);
                           MessageCodec::encode(input.message, out);
                       },
                       [&](const Status& status) { status.status.encode(out); },
                       [&](const InputResult& result) {
                           out.push_back(result.delivered ? 1 : 0);
                           result.status.encode(out);
                       },
                       [](const StatusRequest&) {},
                   },
                   value);
    } catch (...) {
        out.resize(start);
        throw;
    }
}

Data WatchPayload::encoded() const {
    Data out;
    encode(out);
    return out;
}

bool WatchPayload::isDelivered() const {
    const auto* result = std::get_if<InputResult>(&value);
    return result && result->delivered;
}

std::optional<WatchStatus> WatchPayload::carriedStatus() const {
    if (const auto* status = std::get_if<Status>(&value))
        return status->status;
    if (const auto* result = std::get_if<InputResult>(&value))
        return result->status;
    return std::nullopt;
}

std::string WatchPayload::description() const {
    return std::visit(Overloaded{
                          [](const Input& input) {
                              return "input(" + input.message.description() +
                                     ", target: " + targetDescription(input.targetMacID) +
                                     ", inputSession: " + std::to_string(input.inputSession) + ")";
                          },
                          [](const Status& status) { return "status(" + status.status.description() + ")"; },
                          [](const InputResult& result) {
                              return std::string("inputResult(delivered: ") +
                                     (result.delivered ? "true" : "false") + ", " +
                                     result.status.description() + ")";
                          },
                          [](const StatusRequest&) -> std::string { return "statusRequest"; },
                      },
                      value);
}

}  // namespace TrackpadProtocol
