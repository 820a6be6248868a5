#pragma once
// Documents too large for one message travel as numbered ScreenDataParts of at most 61440 bytes, at most
// 256 parts per transfer: video frames and screenshots from the computer, presentation images from the
// phone. This header holds the documents' formats, the splitting and the reassembly.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "protocol/messages/Message.h"
#include "protocol/messages/MessageCodec.h"

namespace TrackpadProtocol {

// Cuts a document into parts of at most 61440 bytes numbered from 0, all carrying `transfer`. Throws
// MessageCodec::EncodingError::screenDataTooLarge above 15728640 bytes (256 parts) and invalidValue for
// an empty document.
std::vector<ScreenDataPart> splitIntoParts(std::uint32_t transfer, std::span<const std::uint8_t> document);

// Gathers the parts of one transfer back into its document.
class ScreenDataAssembler {
  public:
    // The whole document once its last part is accepted, otherwise none. A part with index 0 first
    // restarts the assembly for its transfer. A part is refused when its count is above 256, its index is
    // not below its count, its bytes are empty or longer than 61440, nothing is expected, or its
    // transfer, index or count differ from the expected ones; a refusal drops what was gathered.
    std::optional<Data> add(const ScreenDataPart& part);

    // True while the assembler expects a next part.
    bool isExpecting() const { return expected_.has_value(); }
    std::size_t gatheredBytes() const { return data_.size(); }

  private:
    struct Expected {
        std::uint32_t transfer;
        std::uint16_t part;
        std::uint16_t partCount;
    };
    void reset();

    Data data_;
    std::optional<Expected> expected_;
};

// One encoded video frame with its parameter sets (SPS/PPS for H.264).
struct ScreenVideoFrame {
    static constexpr std::size_t maxParameterSets = 255;
    static constexpr std::size_t maxParameterSetBytes = 65535;
    // codec, display id, width, height, timestamp, parameter-set count
    static constexpr std::size_t headerBytes = 1 + 4 + 2 + 2 + 8 + 1;

    ScreenVideoCodec codec = ScreenVideoCodec::h264;
    std::uint32_t displayID = 0;
    std::uint16_t pixelWidth = 0;
    std::uint16_t pixelHeight = 0;
    std::uint64_t timestamp = 0;  // microseconds
    std::vector<Data> parameterSets;
    Data sample;
    bool operator==(const ScreenVideoFrame&) const = default;

    // The fixed header, each parameter set as a 16-bit length and its bytes, and the sample as a 32-bit
    // length and its bytes. Throws MessageCodec::EncodingError: invalidValue for more than 255
    // parameter sets or an unknown codec, screenDataTooLarge for a parameter set above 65535 bytes or an
    // encoding above 15728640 bytes.
    Data encoded() const;
    // The encoding as screenVideo messages carrying `transfer`.
    std::vector<Message> messages(std::uint32_t transfer) const;
    // Reads an assembled frame (the phone's side). Throws MessageCodec::DecodingError.
    static ScreenVideoFrame decode(std::span<const std::uint8_t> document);
};

// The answer to a screenshot request: a status, and the JPEG exactly when the status is `taken`.
class Screenshot {
  public:
    enum class Status : std::uint8_t { taken, screenRecordingRequired, displayUnavailable, failed };
    static constexpr std::size_t headerBytes = 1 + 4;  // status, image length
    static constexpr std::size_t maxImageBytes = ScreenDataPart::maxDocumentBytes - headerBytes;  // 15728635

    // The image is kept (as a copy of its own) only when the status is `taken`.
    explicit Screenshot(Status status, Data image = {});

    Status status() const { return status_; }
    const std::optional<Data>& image() const { return image_; }
    bool operator==(const Screenshot&) const = default;

    // A status byte, a 32-bit image length and the image. Throws MessageCodec::EncodingError:
    // screenDataTooLarge above 15728640 bytes, invalidValue for an unknown status.
    Data encoded() const;
    // The encoding as screenshot messages carrying `transfer`.
    std::vector<Message> messages(std::uint32_t transfer) const;
    // Reads an assembled screenshot (the phone's side). Throws MessageCodec::DecodingError.
    static Screenshot decode(std::span<const std::uint8_t> document);

  private:
    Status status_;
    std::optional<Data> image_;
};

// A picture the phone presents on the computer, with an optional placement; assembled from the parts of
// presentationImage messages.
struct PresentationImageFile {
    static constexpr std::size_t maxImageBytes = 8388608;

    Data image;
    std::optional<PresentationImagePlacement> placement;
    bool operator==(const PresentationImageFile&) const = default;

    // A presence byte for the placement (0 none, 1 present), the placement (f32 centre x, y, width,
    // height), a 32-bit image length from 1 to 8388608, the image, and nothing after it. Throws
    // MessageCodec::DecodingError.
    static PresentationImageFile decode(std::span<const std::uint8_t> document);
    // The phone's side. Throws MessageCodec::EncodingError: presentationImageTooLarge above 8388608
    // bytes, invalidValue for an empty image or an invalid placement, nonFiniteValue for a non-finite one.
    Data encoded() const;
};

}  // namespace TrackpadProtocol
