#include "ScreenView/FrameConverter.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace ScreenView {

struct FrameConverter::Impl {
    SwsContext* context = nullptr;
    int sourceWidth = 0, sourceHeight = 0, targetWidth = 0, targetHeight = 0;

    ~Impl() { sws_freeContext(context); }

    bool prepare(int width, int height, int outWidth, int outHeight) {
        if (context != nullptr && width == sourceWidth && height == sourceHeight && outWidth == targetWidth &&
            outHeight == targetHeight) {
            return true;
        }
        sws_freeContext(context);
        // Area averaging when shrinking keeps text legible; bilinear is enough at the same size or larger.
        const int flags = (outWidth < width || outHeight < height) ? SWS_AREA : SWS_BILINEAR;
        context = sws_getContext(width, height, AV_PIX_FMT_BGR0, outWidth, outHeight, AV_PIX_FMT_YUV420P, flags,
                                 nullptr, nullptr, nullptr);
        if (context == nullptr) {
            return false;
        }
        // Full-range RGB in, BT.709 limited-range YUV out, as the stream signals.
        const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
        sws_setColorspaceDetails(context, sws_getCoefficients(SWS_CS_DEFAULT), 1, bt709, 0, 0, 1 << 16, 1 << 16);
        sourceWidth = width, sourceHeight = height, targetWidth = outWidth, targetHeight = outHeight;
        return true;
    }
};

FrameConverter::FrameConverter() : impl_(std::make_unique<Impl>()) {}
FrameConverter::~FrameConverter() = default;

bool FrameConverter::convert(const std::uint8_t* bgrx, int stride, int width, int height, VideoFrame& out) {
    if (!impl_->prepare(width, height, out.width(), out.height())) {
        return false;
    }
    const std::uint8_t* source[4] = {bgrx, nullptr, nullptr, nullptr};
    const int sourceStride[4] = {stride, 0, 0, 0};
    std::uint8_t* target[4] = {out.dataY(), out.dataU(), out.dataV(), nullptr};
    const int targetStride[4] = {out.strideY(), out.strideUV(), out.strideUV(), 0};
    return sws_scale(impl_->context, source, sourceStride, 0, height, target, targetStride) == out.height();
}

}  // namespace ScreenView
