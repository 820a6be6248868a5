#include "screen-view/FrameConverter.h"

#include "screen-view/Bt709Converter.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <thread>

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
        context = sws_alloc_context();
        if (context == nullptr) {
            return false;
        }
        av_opt_set_int(context, "srcw", width, 0);
        av_opt_set_int(context, "srch", height, 0);
        av_opt_set_int(context, "src_format", AV_PIX_FMT_BGR0, 0);
        av_opt_set_int(context, "dstw", outWidth, 0);
        av_opt_set_int(context, "dsth", outHeight, 0);
        av_opt_set_int(context, "dst_format", AV_PIX_FMT_YUV420P, 0);
        av_opt_set_int(context, "sws_flags", flags, 0);
        // Slices on a few threads: the conversion sits between grab and encoder on every frame, so its
        // time is latency the phone sees.
        av_opt_set_int(context, "threads",
                       std::clamp(static_cast<int>(std::thread::hardware_concurrency()) / 2, 1, 4), 0);
        if (sws_init_context(context, nullptr, nullptr) < 0) {
            sws_freeContext(context);
            context = nullptr;
            return false;
        }
        // Full-range RGB in, BT.709 limited-range YUV out, as the stream signals.
        const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
        sws_setColorspaceDetails(context, sws_getCoefficients(SWS_CS_DEFAULT), 1, bt709, 0, 0, 1 << 16,
                                 1 << 16);
        sourceWidth = width, sourceHeight = height, targetWidth = outWidth, targetHeight = outHeight;
        return true;
    }
};

FrameConverter::FrameConverter() : impl_(std::make_unique<Impl>()) {}
FrameConverter::~FrameConverter() = default;

void FrameConverter::release() {
    sws_freeContext(impl_->context);
    impl_->context = nullptr;
}

bool FrameConverter::convertRows(const std::uint8_t* bgrx, int stride, int width, int height, VideoFrame& out,
                                 int firstRow, int endRow) {
    if (width != out.width() || height != out.height()) {
        return false;
    }
    Bt709Converter::convertRows(bgrx, stride, out, firstRow, endRow);
    return true;
}

bool FrameConverter::convert(const std::uint8_t* bgrx, int stride, int width, int height, VideoFrame& out) {
    if (width == out.width() && height == out.height()) {
        Bt709Converter::convertRows(bgrx, stride, out, 0, height);
        return true;
    }
    if (!impl_->prepare(width, height, out.width(), out.height())) {
        return false;
    }
    // The frame API is the one that runs the scaler's slice threads; it wants reference-counted buffers,
    // so our memory is wrapped in buffers that free nothing.
    auto keep = [](void*, std::uint8_t*) {};
    AVFrame* source = av_frame_alloc();
    AVFrame* target = av_frame_alloc();
    bool converted = false;
    if (source != nullptr && target != nullptr) {
        source->format = AV_PIX_FMT_BGR0;
        source->width = width;
        source->height = height;
        source->data[0] = const_cast<std::uint8_t*>(bgrx);
        source->linesize[0] = stride;
        source->buf[0] =
            av_buffer_create(const_cast<std::uint8_t*>(bgrx), static_cast<std::size_t>(stride) * height, keep,
                             nullptr, AV_BUFFER_FLAG_READONLY);
        target->format = AV_PIX_FMT_YUV420P;
        target->width = out.width();
        target->height = out.height();
        target->data[0] = out.dataY();
        target->data[1] = out.dataU();
        target->data[2] = out.dataV();
        target->linesize[0] = out.strideY();
        target->linesize[1] = out.strideUV();
        target->linesize[2] = out.strideUV();
        const std::size_t bytes =
            static_cast<std::size_t>(out.dataV() - out.dataY()) +
            static_cast<std::size_t>(out.strideUV()) * static_cast<std::size_t>(out.height() / 2);
        target->buf[0] = av_buffer_create(out.dataY(), bytes, keep, nullptr, 0);
        converted = source->buf[0] != nullptr && target->buf[0] != nullptr &&
                    sws_scale_frame(impl_->context, target, source) >= 0;
    }
    av_frame_free(&source);
    av_frame_free(&target);
    return converted;
}

}  // namespace ScreenView
