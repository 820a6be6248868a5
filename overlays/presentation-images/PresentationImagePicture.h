#pragma once
// A decoded presentation picture: an immutable bitmap whose pixels are shared between the decode queue,
// the model and the window. Two pictures are the same when they hold the same pixels, not equal ones.
#include "overlays/annotations/Geometry.h"
#include "platform/imaging/Bitmap.h"

namespace PresentationImages {

struct PresentationImagePicture {
    platform::imaging::Bitmap image;  // BGRA, straight alpha
    bool isOpaque = true;

    Annotations::Size size() const {
        return {static_cast<double>(image.width()), static_cast<double>(image.height())};
    }
    bool operator==(const PresentationImagePicture& other) const {
        return image.pixels() == other.image.pixels();
    }
};

}  // namespace PresentationImages
