// The phone's presentation pictures on arbitrary bytes: a bounded picture or none, never a crash, never a
// side longer than asked for.
#include <algorithm>

#include "FuzzSupport.h"
#include "overlays/presentation-images/PresentationImageDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr int longestSide = 48;
    const auto picture = PresentationImages::PresentationImageDecoder::decode({data, size}, longestSide);
    if (picture) {
        const auto& image = picture->image;
        fuzz_support::require(image.width() >= 1 && image.height() >= 1, "a picture has pixels");
        fuzz_support::require(std::max(image.width(), image.height()) <= longestSide, "longest side");
    }
    return 0;
}
