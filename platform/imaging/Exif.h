#pragma once
// The EXIF orientation tag, read by our own bounded parser: every offset is checked against the data, so
// garbage yields none rather than a read out of bounds.
#include <cstdint>
#include <optional>
#include <span>

#include "platform/imaging/Bitmap.h"

namespace platform::imaging {

// From EXIF data as it follows "Exif\0\0" (a TIFF header and its first directory); none when the tag is
// absent, out of range or unreadable.
std::optional<Orientation> exifOrientation(std::span<const std::uint8_t> tiff);

// From the first EXIF APP1 segment before a JPEG's image data; up when there is none.
Orientation jpegOrientation(std::span<const std::uint8_t> jpeg);

}  // namespace platform::imaging
