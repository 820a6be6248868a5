// The JPEG and PNG decoders on arbitrary bytes, with a small pixel limit and work budget: an image or an
// error, never a crash, and never more pixels than allowed.
#include <algorithm>

#include "FuzzSupport.h"
#include "platform/imaging/Codecs.h"

using namespace platform::imaging;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    constexpr std::uint64_t maxPixels = 1 << 20;
    const auto info = readImageInfo(input);
    for (int longestSide : {0, 24}) {
        DecodeOptions options;
        options.maxPixels = maxPixels;
        options.longestSide = longestSide;
        // In proportion to the small pixel limit, so that inputs built to take long are refused quickly.
        options.workBudget = defaultWorkBudget / 16;
        const auto decoded = decodeImage(input, options);
        if (!decoded)
            continue;
        fuzz_support::require(info.ok(), "a decodable image has a readable header");
        fuzz_support::require(static_cast<std::uint64_t>(decoded->width()) * decoded->height() <= maxPixels,
                              "pixel limit");
        if (longestSide == 0)
            fuzz_support::require(info->uprightSize() == (Size{decoded->width(), decoded->height()}),
                                  "decoded size matches the header");
        else
            fuzz_support::require(std::max(decoded->width(), decoded->height()) <= longestSide, "longest side");
    }
    return 0;
}
