#pragma once
// Where a picture goes on a display: the rectangle that keeps its aspect ratio inside the placement the
// phone chose (or the whole display), on whole points, and the part of it that lies on the display.
// Display points, origin top-left, y down.
#include <optional>

#include "overlays/annotations/Geometry.h"
#include "protocol/messages/Types.h"

namespace PresentationImages {

using Annotations::Point;
using Annotations::Rect;
using Annotations::Size;

struct PresentationImageFrame {
    Rect image;
    Rect visible;

    PresentationImageFrame(Size imageSize,
                           const std::optional<TrackpadProtocol::PresentationImagePlacement>& placement,
                           Size displaySize);

    // The image fitted into the target, centred, never smaller than 1 by 1.
    static Rect fit(Size imageSize, Rect target);
    static Point placementOrigin(const TrackpadProtocol::PresentationImagePlacement& placement,
                                 Size displaySize);

    bool operator==(const PresentationImageFrame&) const = default;
};

}  // namespace PresentationImages
