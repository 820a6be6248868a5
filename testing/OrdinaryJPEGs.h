#pragma once
// Small JPEGs as cameras, phones and editors write them, for the tests and fuzzers that read JPEG files as
// a decoder does: written by libjpeg over a photograph-like picture with grain (so that their coded data
// holds stuffed FF bytes), baseline and progressive, with restart markers, and with the segments a camera
// writes before the picture (EXIF with a JPEG thumbnail inside, an ICC profile, a comment).
//
// Thread: any; calls share no state.
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct OrdinaryJPEG {
    std::string name;
    std::vector<std::uint8_t> bytes;
};

// Six files of 100 x 75 or less, each a few KB:
// - baseline 4:2:0 with a JFIF header, as libjpeg writes by default;
// - baseline 4:2:0, a restart marker after every row of blocks, and a camera's segments instead of JFIF;
// - progressive 4:2:0 in libjpeg's ten scans, with a camera's segments;
// - progressive 4:4:4 with a restart marker after every two rows of blocks;
// - progressive grey;
// - sequential 4:2:0 in a scan for each component, with restart markers.
std::vector<OrdinaryJPEG> ordinaryJPEGs();

}  // namespace testing_support
