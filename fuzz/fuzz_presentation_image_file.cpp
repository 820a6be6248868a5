// PresentationImageFile::decode on arbitrary bytes: a file or DecodingError; what it accepts is canonical.
#include "FuzzSupport.h"
#include "protocol/messages/LargePayloads.h"

using namespace TrackpadProtocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    PresentationImageFile file;
    try {
        file = PresentationImageFile::decode(input);
    } catch (const MessageCodec::DecodingError&) {
        return 0;
    }
    fuzz_support::require(!file.image.empty() && file.image.size() <= PresentationImageFile::maxImageBytes,
                          "image size");
    fuzz_support::require(!file.placement || file.placement->isValid(), "placement");
    const auto again = file.encoded();
    fuzz_support::require(std::equal(again.begin(), again.end(), input.begin(), input.end()),
                          "decoded file encodes to the same bytes");
    return 0;
}
