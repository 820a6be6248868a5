// Field layouts of the screen-view and screenshot messages, and of the parts of large payloads.
#include "protocol/messages/MessageCodecFamilies.h"
#include "protocol/messages/Overloaded.h"

namespace TrackpadProtocol::wire {

namespace {

using EncodingError = MessageCodec::EncodingError;
using DecodingError = MessageCodec::DecodingError;

constexpr std::uint16_t minPixelLength = 64;
constexpr std::uint16_t maxPixelLength = 8192;
constexpr std::uint8_t maxFramesPerSecond = 120;

bool isPixelLength(std::uint16_t length) {
    return length >= minPixelLength && length <= maxPixelLength;
}

void writeRequest(WireWriter& w, const ScreenViewRequest& request) {
    if (!isPixelLength(request.maxPixelLength)) throw EncodingError::invalidValue("max pixel length");
    if (request.framesPerSecond < 1 || request.framesPerSecond > maxFramesPerSecond) {
        throw EncodingError::invalidValue("frames per second");
    }
    if (request.codecs.isEmpty()) throw EncodingError::invalidValue("codecs");
    w.u32(request.displayID);
    w.u16(request.maxPixelLength);
    w.u8(request.framesPerSecond);
    w.u8(checkedOptions(request.codecs, "codecs"));
}

ScreenViewRequest readRequest(WireReader& r) {
    ScreenViewRequest request;
    request.displayID = r.u32();
    request.maxPixelLength = r.u16();
    if (!isPixelLength(request.maxPixelLength)) throw DecodingError::invalidValue("max pixel length");
    request.framesPerSecond = r.u8();
    if (request.framesPerSecond < 1 || request.framesPerSecond > maxFramesPerSecond) {
        throw DecodingError::invalidValue("frames per second");
    }
    request.codecs = r.options<ScreenVideoCodecs>("codecs");
    if (request.codecs.isEmpty()) throw DecodingError::invalidValue("codecs");
    return request;
}

void writeDisplays(WireWriter& w, const std::vector<ScreenDisplay>& displays) {
    if (displays.size() > Message::ScreenDisplays::maxDisplays)
        throw EncodingError::invalidValue("display count");
    w.u8(static_cast<std::uint8_t>(displays.size()));
    for (const auto& display : displays) {
        w.u32(display.id);
        w.string(display.name, "display name");
        w.u16(display.pixelWidth);
        w.u16(display.pixelHeight);
        w.u8(checkedOptions(display.traits, "display traits"));
    }
}

std::vector<ScreenDisplay> readDisplays(WireReader& r) {
    const auto count = r.u8();
    if (count > Message::ScreenDisplays::maxDisplays) throw DecodingError::invalidValue("display count");
    std::vector<ScreenDisplay> displays(count);
    for (auto& display : displays) {
        display.id = r.u32();
        display.name = r.string("display name");
        display.pixelWidth = r.u16();
        display.pixelHeight = r.u16();
        display.traits = r.options<ScreenDisplay::Traits>("display traits");
    }
    return displays;
}

}  // namespace

void writeScreenDataPart(WireWriter& w, const ScreenDataPart& part) {
    if (part.bytes.size() > ScreenDataPart::maxBytes)
        throw EncodingError::screenDataTooLarge(part.bytes.size());
    if (part.bytes.empty()) throw EncodingError::invalidValue("screen data part");
    if (part.partCount < 1 || part.partCount > ScreenDataPart::maxParts || part.part >= part.partCount) {
        throw EncodingError::invalidValue("screen data part index");
    }
    w.reserveMore(10 + part.bytes.size());
    w.u32(part.transfer);
    w.u16(part.part);
    w.u16(part.partCount);
    w.blob(part.bytes);
}

ScreenDataPart readScreenDataPart(WireReader& r) {
    ScreenDataPart part;
    part.transfer = r.u32();
    part.part = r.u16();
    part.partCount = r.u16();
    if (part.partCount < 1 || part.partCount > ScreenDataPart::maxParts || part.part >= part.partCount) {
        throw DecodingError::invalidValue("screen data part index");
    }
    const auto length = r.u16();
    if (length < 1 || length > ScreenDataPart::maxBytes)
        throw DecodingError::invalidValue("screen data part");
    auto bytes = r.bytes(length);
    part.bytes.assign(bytes.begin(), bytes.end());
    return part;
}

void encodeScreenFields(WireWriter& w, const Message& message) {
    std::visit(Overloaded{
                   [&](const Message::ScreenDisplaysRequest&) {},
                   [&](const Message::ScreenDisplays& m) { writeDisplays(w, m.displays); },
                   [&](const Message::ScreenViewStart& m) { writeRequest(w, m.request); },
                   [&](const Message::ScreenViewSelectDisplay& m) { w.u32(m.displayID); },
                   [&](const Message::ScreenViewStop&) {},
                   [&](const Message::ScreenViewStatus& m) {
                       using State = ScreenViewStatus::State;
                       w.u8(checkedEnum(m.status.state, State::failed, "screen view state"));
                       // An absent display id travels as 0, so a present 0 reads back as absent.
                       w.u32(m.status.displayID.value_or(0));
                   },
                   [&](const Message::ScreenVideo& m) { writeScreenDataPart(w, m.part); },
                   [&](const Message::ScreenshotRequest& m) {
                       if (!isPixelLength(m.request.maxPixelLength)) {
                           throw EncodingError::invalidValue("max pixel length");
                       }
                       w.u32(m.request.number);
                       w.u32(m.request.displayID);
                       w.u16(m.request.maxPixelLength);
                   },
                   [&](const Message::Screenshot& m) { writeScreenDataPart(w, m.part); },
                   [](const auto&) {},
               },
               message.value);
}

Message decodeScreenFields(std::uint8_t type, WireReader& r) {
    switch (type) {
        case type::screenDisplaysRequest:
            return Message::ScreenDisplaysRequest{};
        case type::screenDisplays:
            return Message::ScreenDisplays{readDisplays(r)};
        case type::screenViewStart:
            return Message::ScreenViewStart{readRequest(r)};
        case type::screenViewSelectDisplay:
            return Message::ScreenViewSelectDisplay{r.u32()};
        case type::screenViewStop:
            return Message::ScreenViewStop{};
        case type::screenViewStatus: {
            ScreenViewStatus status;
            status.state = r.enumeration(ScreenViewStatus::State::failed, "screen view state");
            if (auto id = r.u32(); id != 0) status.displayID = id;
            return Message::ScreenViewStatus{status};
        }
        case type::screenVideo:
            return Message::ScreenVideo{readScreenDataPart(r)};
        case type::screenshotRequest: {
            ScreenshotRequest request;
            request.number = r.u32();
            request.displayID = r.u32();
            request.maxPixelLength = r.u16();
            if (!isPixelLength(request.maxPixelLength)) throw DecodingError::invalidValue("max pixel length");
            return Message::ScreenshotRequest{request};
        }
        case type::screenshot:
            return Message::Screenshot{readScreenDataPart(r)};
        default:
            throw MessageCodec::DecodingError::unknownMessageType(type);
    }
}

}  // namespace TrackpadProtocol::wire
