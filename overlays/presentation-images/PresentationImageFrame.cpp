#include "overlays/presentation-images/PresentationImageFrame.h"

#include <algorithm>
#include <cmath>

namespace PresentationImages {

namespace {

// Nearest whole number, halves away from zero; NaN becomes 1 as the smallest size does.
double roundedSide(double value) {
    if (std::isnan(value))
        return 1;
    return std::max(std::round(value), 1.0);
}

}  // namespace

Point PresentationImageFrame::placementOrigin(const TrackpadProtocol::PresentationImagePlacement& placement,
                                              Size display) {
    double w = display.width, h = display.height;
    return {w * placement.center.x - w * placement.width * 0.5,
            h * placement.center.y - h * placement.height * 0.5};
}

Rect PresentationImageFrame::fit(Size imageSize, Rect target) {
    double iw = imageSize.width, ih = imageSize.height;
    double w = target.size.width, h = target.size.height;
    if (iw > 0 && ih > 0 && std::isfinite(iw) && std::isfinite(ih)) {
        double sw = target.size.width / iw, sh = target.size.height / ih;
        double s = sh < sw ? sh : sw;  // a tie takes the width ratio
        w = iw * s;
        h = ih * s;
    }
    w = roundedSide(w);
    h = roundedSide(h);
    double x = std::round(target.midX() - w * 0.5);
    double y = std::round(target.midY() - h * 0.5);
    return {{x, y}, {w, h}};
}

PresentationImageFrame::PresentationImageFrame(
    Size imageSize, const std::optional<TrackpadProtocol::PresentationImagePlacement>& placement,
    Size display) {
    Rect target{{0, 0}, display};
    if (placement) {
        target = {placementOrigin(*placement, display),
                  {display.width * placement->width, display.height * placement->height}};
    }
    image = fit(imageSize, target);
    double minX = std::max(image.minX(), 0.0), minY = std::max(image.minY(), 0.0);
    double maxX = std::min(image.maxX(), display.width), maxY = std::min(image.maxY(), display.height);
    if (minX < maxX && minY < maxY) {
        visible = {{minX, minY}, {maxX - minX, maxY - minY}};
    } else {
        visible = {image.origin, {0, 0}};
    }
}

}  // namespace PresentationImages
