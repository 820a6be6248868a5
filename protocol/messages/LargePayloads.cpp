#include "protocol/messages/LargePayloads.h"

#include <algorithm>

#include "protocol/messages/MessageCodecFamilies.h"
#include "protocol/messages/WireFormat.h"

namespace TrackpadProtocol {

using EncodingError = MessageCodec::EncodingError;
using DecodingError = MessageCodec::DecodingError;

std::vector<ScreenDataPart> splitIntoParts(std::uint32_t transfer, std::span<const std::uint8_t> document) {
    if (document.size() > ScreenDataPart::maxDocumentBytes)
        throw EncodingError::screenDataTooLarge(document.size());
    if (document.empty()) throw EncodingError::invalidValue("document");
    const auto count = (document.size() + ScreenDataPart::maxBytes - 1) / ScreenDataPart::maxBytes;
    std::vector<ScreenDataPart> parts;
    parts.reserve(count);
    for (std::size_t index = 0; index < count; ++index) {
        auto bytes = document.subspan(
            index * ScreenDataPart::maxBytes,
            std::min(ScreenDataPart::maxBytes, document.size() - index * ScreenDataPart::maxBytes));
        parts.push_back(ScreenDataPart{transfer, static_cast<std::uint16_t>(index),
                                       static_cast<std::uint16_t>(count), Data(bytes.begin(), bytes.end())});
    }
    return parts;
}

// ---- ScreenDataAssembler -------------------------------------------------------------------------------

void ScreenDataAssembler::reset() {
    data_.clear();
    data_.shrink_to_fit();
    expected_.reset();
}

std::optional<Data> ScreenDataAssembler::add(const ScreenDataPart& part) {
    if (part.part == 0) {
        data_.clear();
        expected_ = Expected{part.transfer, 0, part.partCount};
    }
    const bool refused = part.partCount > ScreenDataPart::maxParts || part.part >= part.partCount ||
                         part.bytes.empty() || part.bytes.size() > ScreenDataPart::maxBytes || !expected_ ||
                         part.transfer != expected_->transfer || part.part != expected_->part ||
                         part.partCount != expected_->partCount;
    if (refused) {
        reset();
        return std::nullopt;
    }
    data_.insert(data_.end(), part.bytes.begin(), part.bytes.end());
    if (part.part == part.partCount - 1) {
        Data document = std::move(data_);
        data_ = Data();
        expected_.reset();
        return document;
    }
    expected_->part = static_cast<std::uint16_t>(part.part + 1);
    return std::nullopt;
}

// ---- ScreenVideoFrame --------------------------------------------------------------------------------

Data ScreenVideoFrame::encoded() const {
    if (parameterSets.size() > maxParameterSets) throw EncodingError::invalidValue("parameter set count");
    std::size_t total = headerBytes + 4 + sample.size();
    for (const auto& set : parameterSets) {
        if (set.size() > maxParameterSetBytes) throw EncodingError::screenDataTooLarge(set.size());
        total += 2 + set.size();
    }
    if (total > ScreenDataPart::maxDocumentBytes) throw EncodingError::screenDataTooLarge(total);
    Data document;
    document.reserve(total);
    WireWriter w(document);
    w.u8(checkedEnum(codec, ScreenVideoCodec::hevc, "video codec"));
    w.u32(displayID);
    w.u16(pixelWidth);
    w.u16(pixelHeight);
    w.u64(timestamp);
    w.u8(static_cast<std::uint8_t>(parameterSets.size()));
    for (const auto& set : parameterSets)
        w.blob(set);
    w.u32(static_cast<std::uint32_t>(sample.size()));
    w.append(sample.data(), sample.size());
    return document;
}

namespace {

// The parts of a document, each in a message of case `Case`.
template <class Case>
std::vector<Message> partMessages(std::uint32_t transfer, const Data& document) {
    auto parts = splitIntoParts(transfer, document);
    std::vector<Message> messages;
    messages.reserve(parts.size());
    for (auto& part : parts)
        messages.emplace_back(Case{std::move(part)});
    return messages;
}

}  // namespace

std::vector<Message> ScreenVideoFrame::messages(std::uint32_t transfer) const {
    return partMessages<Message::ScreenVideo>(transfer, encoded());
}

ScreenVideoFrame ScreenVideoFrame::decode(std::span<const std::uint8_t> document) {
    if (document.size() > ScreenDataPart::maxDocumentBytes)
        throw DecodingError::invalidValue("video frame size");
    WireReader r(document);
    ScreenVideoFrame frame;
    frame.codec = r.enumeration(ScreenVideoCodec::hevc, "video codec");
    frame.displayID = r.u32();
    frame.pixelWidth = r.u16();
    frame.pixelHeight = r.u16();
    frame.timestamp = r.u64();
    const auto count = r.u8();
    frame.parameterSets.reserve(std::min<std::size_t>(count, r.remaining() / 2));
    for (std::size_t i = 0; i < count; ++i) {
        auto set = r.blob();
        frame.parameterSets.emplace_back(set.begin(), set.end());
    }
    auto sample = r.bytes(r.u32());
    frame.sample.assign(sample.begin(), sample.end());
    r.expectEnd();
    return frame;
}

// ---- Screenshot ------------------------------------------------------------------------------------------

Screenshot::Screenshot(Status status, Data image) : status_(status) {
    if (status == Status::taken) image_ = std::move(image);
}

Data Screenshot::encoded() const {
    const auto imageBytes = image_ ? image_->size() : 0;
    if (headerBytes + imageBytes > ScreenDataPart::maxDocumentBytes) {
        throw EncodingError::screenDataTooLarge(headerBytes + imageBytes);
    }
    Data document;
    document.reserve(headerBytes + imageBytes);
    WireWriter w(document);
    w.u8(checkedEnum(status_, Status::failed, "screenshot status"));
    w.u32(static_cast<std::uint32_t>(imageBytes));
    if (image_) w.append(image_->data(), image_->size());
    return document;
}

std::vector<Message> Screenshot::messages(std::uint32_t transfer) const {
    return partMessages<Message::Screenshot>(transfer, encoded());
}

Screenshot Screenshot::decode(std::span<const std::uint8_t> document) {
    WireReader r(document);
    const auto status = r.enumeration(Status::failed, "screenshot status");
    const auto length = r.u32();
    if (length > maxImageBytes) throw DecodingError::invalidValue("screenshot image length");
    if (status != Status::taken && length != 0) throw DecodingError::invalidValue("screenshot image length");
    auto image = r.bytes(length);
    r.expectEnd();
    return Screenshot(status, Data(image.begin(), image.end()));
}

// ---- AppListPart --------------------------------------------------------------------------------------

std::vector<AppListPart> AppListPart::split(const std::vector<MacApp>& apps, std::size_t budget) {
    constexpr std::size_t maxBudget = 65535;
    constexpr std::size_t maxPartCount = 65535;
    budget = std::min(budget, maxBudget);
    std::vector<AppListPart> parts(1);
    std::size_t partBytes = wire::appListHeaderBytes;
    for (const auto& app : apps) {
        // Everything the encoder would refuse is refused here, so that every part returned can be sent.
        if (app.bundleID.size() > maxWireStringBytes) throw EncodingError::stringTooLong(app.bundleID.size());
        if (app.name.size() > maxWireStringBytes) throw EncodingError::stringTooLong(app.name.size());
        if (!isValidUTF8(app.bundleID)) throw EncodingError::invalidValue("bundle id");
        if (!isValidUTF8(app.name)) throw EncodingError::invalidValue("app name");
        checkedOptions(app.state, "app state");
        const auto appBytes = wire::encodedAppBytes(app);
        if (wire::appListHeaderBytes + appBytes > budget) {
            throw EncodingError::appListTooLarge(wire::appListHeaderBytes + appBytes);
        }
        if (partBytes + appBytes > budget) {
            if (parts.size() == maxPartCount) throw EncodingError::appListTooLarge(partBytes + appBytes);
            parts.emplace_back();
            partBytes = wire::appListHeaderBytes;
        }
        parts.back().apps.push_back(app);
        partBytes += appBytes;
    }
    const auto count = static_cast<std::uint16_t>(parts.size());
    for (std::size_t index = 0; index < parts.size(); ++index) {
        parts[index].part = static_cast<std::uint16_t>(index);
        parts[index].partCount = count;
    }
    return parts;
}

}  // namespace TrackpadProtocol
