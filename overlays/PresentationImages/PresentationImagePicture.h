#pragma once
// A decoded presentation picture: an immutable bitmap shared between the decode queue, the model and
// the window. Two pictures are the same when they hold the same bitmap, not equal pixels.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "overlays/Annotations/Geometry.h"

namespace PresentationImages {

struct PictureBitmap {
    int width = 0;
    int height = 0;
    std::size_t stride = 0;  // bytes per row
    bool isOpaque = true;
    // 32-bit pixels, B G R A in memory, alpha premultiplied.
    std::vector<std::uint8_t> pixels;
};

struct PresentationImagePicture {
    std::shared_ptr<const PictureBitmap> image;

    Annotations::Size size() const {
        return {static_cast<double>(image->width), static_cast<double>(image->height)};
    }
    bool isOpaque() const { return image->isOpaque; }
    bool operator==(const PresentationImagePicture& other) const { return image == other.image; }
};

}  // namespace PresentationImages
