#include "protocol/messages/LargePayloads.h"
#include "protocol/messages/MessageCodecFamilies.h"
#include "protocol/messages/WireFormat.h"

namespace TrackpadProtocol {

PresentationImageFile PresentationImageFile::decode(std::span<const std::uint8_t> document) {
    WireReader r(document);
    PresentationImageFile file;
    if (r.presence("placement presence")) file.placement = wire::readPlacement(r);
    const auto length = r.u32();
    if (length < 1 || length > maxImageBytes) throw MessageCodec::DecodingError::invalidValue("image length");
    auto image = r.bytes(length);
    file.image.assign(image.begin(), image.end());
    r.expectEnd();
    return file;
}

Data PresentationImageFile::encoded() const {
    if (image.size() > maxImageBytes)
        throw MessageCodec::EncodingError::presentationImageTooLarge(image.size());
    if (image.empty()) throw MessageCodec::EncodingError::invalidValue("image");
    Data document;
    document.reserve(1 + 16 + 4 + image.size());
    WireWriter w(document);
    w.boolean(placement.has_value());
    if (placement) wire::writePlacement(w, *placement);
    w.u32(static_cast<std::uint32_t>(image.size()));
    w.append(image.data(), image.size());
    return document;
}

}  // namespace TrackpadProtocol
