// The walk of a JPEG's segments, which the work count reads before anything is decoded, against the
// library's reading of the same bytes: every scan the library begins in a file the walk followed is one the
// walk found, where it found it; a file the library decodes is one the walk followed to the same end; and a
// file the walk refuses because the library fails on it, the library fails on.
#include "FuzzSupport.h"
#include "platform/imaging/Codecs.h"
#include "platform/imaging/JPEGWalk.h"

using namespace platform::imaging;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    DecodeOptions options;
    options.maxPixels = 1 << 20;
    // In proportion to the small pixel limit, so that inputs built to take long are refused quickly.
    options.workBudget = defaultWorkBudget / 16;
    const JPEGWalkCheck check = checkJPEGWalk({data, size}, options);
    using End = WalkedScans::End;
    if (check.walk.end == End::image)
        fuzz_support::require(check.firstScanAstray == 0,
                              "every scan the library begins is one the walk found there");
    if (!check.libraryError && check.walk.end != End::shortLength) {
        fuzz_support::require(check.walk.end == End::image,
                              "a file the library decodes is walked to its end");
        fuzz_support::require(check.libraryScans == check.walk.count, "as many scans as the walk found");
        fuzz_support::require(check.libraryEnd == check.walk.endOffset, "the same end of image");
    }
    if (check.walk.end == End::libraryFails && check.libraryRead)
        fuzz_support::require(check.libraryError.has_value(),
                              "the library fails where the walk says it does");
    return 0;
}
