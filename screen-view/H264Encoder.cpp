#include "screen-view/H264Encoder.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <optional>
#include <thread>

extern "C" {
#include <x264.h>
}

#include "platform/DispatchQueue.h"

namespace ScreenView {

namespace {

constexpr const char* invalidatedText = "The encoder was invalidated";

// x264's NAL payloads carry their 4-byte big-endian length in front when Annex B is off.
Data withoutLength(const x264_nal_t& nal) {
    const std::uint8_t* begin = nal.p_payload + 4;
    const std::uint8_t* end = nal.p_payload + nal.i_payload;
    return Data(begin, end);
}

}  // namespace

H264Encoder::EncoderError::EncoderError(Kind kind, ScreenVideoCodec codec, int status)
    : std::runtime_error(kind == Kind::unsupportedCodec ? "the codec is not supported"
                                                        : "x264 refused the settings"),
      kind_(kind),
      codec_(codec),
      status_(status) {}

int H264Encoder::threadCount() {
    return std::clamp(static_cast<int>(std::thread::hardware_concurrency()) / 2, 1, 4);
}

long H264Encoder::bitRate(int width, int height, int framesPerSecond) {
    const double x = 0.1 * width * height * std::max(framesPerSecond, 1);
    if (x < 1'500'000) {
        return 1'500'000;
    }
    return static_cast<long>(std::min(x, 24'000'000.0));
}

struct H264Encoder::Impl {
    x264_t* encoder = nullptr;
    std::vector<Data> parameterSets;  // SPS, PPS
    std::atomic<bool> isInvalidated{false};
    // The timestamp of the last keyframe put out; x264 counts its keyframe interval in frames, which a
    // stream paced down by a slow link or a still screen stretches far beyond 30 s.
    std::optional<std::uint64_t> lastKeyframe;
    // Declared last: destroyed first, so queued frames finish while the encoder still exists.
    std::unique_ptr<platform::DispatchQueue> worker;

    ~Impl() {
        worker.reset();
        if (encoder != nullptr) {
            x264_encoder_close(encoder);
        }
    }

    EncodeResult encodeNow(const VideoFrame& frame, std::uint64_t timestamp, bool forceKeyframe) {
        x264_picture_t in;
        x264_picture_init(&in);
        in.img.i_csp = X264_CSP_I420;
        in.img.i_plane = 3;
        // x264 copies the planes into its own buffers while encoding, so the capture's frame is read once
        // and never copied by us.
        in.img.plane[0] = const_cast<std::uint8_t*>(frame.dataY());
        in.img.plane[1] = const_cast<std::uint8_t*>(frame.dataU());
        in.img.plane[2] = const_cast<std::uint8_t*>(frame.dataV());
        in.img.i_stride[0] = frame.strideY();
        in.img.i_stride[1] = frame.strideUV();
        in.img.i_stride[2] = frame.strideUV();
        in.i_pts = static_cast<std::int64_t>(std::min<std::uint64_t>(timestamp, INT64_MAX));
        const bool keyframeDue = !lastKeyframe || timestamp < *lastKeyframe ||
                                 timestamp - *lastKeyframe >= H264Encoder::maxKeyframeInterval;
        in.i_type = forceKeyframe || keyframeDue ? X264_TYPE_IDR : X264_TYPE_AUTO;
        x264_picture_t out;
        x264_nal_t* nals = nullptr;
        int count = 0;
        const int size = x264_encoder_encode(encoder, &nals, &count, &in, &out);
        if (size < 0) {
            return EncodeResult::failed("x264 encoding failed: " + std::to_string(size));
        }
        if (size == 0 || count == 0) {
            return EncodeResult::dropped();
        }
        EncodedSample sample;
        sample.sample.reserve(static_cast<std::size_t>(size));
        for (int i = 0; i < count; ++i) {
            sample.sample.insert(sample.sample.end(), nals[i].p_payload,
                                 nals[i].p_payload + nals[i].i_payload);
        }
        if (out.b_keyframe != 0) {
            sample.parameterSets = parameterSets;
            lastKeyframe = timestamp;
        }
        return EncodeResult::encoded(std::move(sample));
    }
};

H264Encoder::H264Encoder(int pixelWidth, int pixelHeight, int framesPerSecond)
    : pixelWidth_(pixelWidth), pixelHeight_(pixelHeight), impl_(std::make_shared<Impl>()) {
    // x264 and the capture allocate tens of megabytes of frames per view.
    keepLargeBlocksInPagesOfTheirOwn();
    const int fps = std::max(framesPerSecond, 1);
    x264_param_t param;
    if (x264_param_default_preset(&param, preset, "zerolatency") != 0) {
        throw EncoderError(EncoderError::Kind::sessionNotCreated, ScreenVideoCodec::h264, -1);
    }
    param.i_width = pixelWidth;
    param.i_height = pixelHeight;
    param.i_csp = X264_CSP_I420;
    param.i_fps_num = static_cast<std::uint32_t>(fps);
    param.i_fps_den = 1;
    param.i_timebase_num = 1;
    param.i_timebase_den = 1'000'000;
    // With variable-rate input x264 holds the first frame back; constant rate gives one output per call.
    param.b_vfr_input = 0;
    param.i_bframe = 0;
    param.i_keyint_max = 30 * fps;
    param.b_annexb = 0;
    param.b_repeat_headers = 0;
    param.i_threads = threadCount();
    param.i_log_level = X264_LOG_NONE;
    const long rate = bitRate(pixelWidth, pixelHeight, fps) / 1000;
    param.rc.i_rc_method = X264_RC_ABR;
    param.rc.i_bitrate = static_cast<int>(rate);
    param.rc.i_vbv_max_bitrate = static_cast<int>(rate);
    // A quarter of a second of buffer: tight enough that no frame floods the link, loose enough that a
    // sudden change (a window opening) is coded at once rather than over the next frames.
    param.rc.i_vbv_buffer_size = static_cast<int>(std::max(rate / 4, 1L));
    param.vui.i_colorprim = 1;  // BT.709
    param.vui.i_transfer = 1;
    param.vui.i_colmatrix = 1;
    param.vui.b_fullrange = 0;
    if (x264_param_apply_profile(&param, "high") != 0) {
        throw EncoderError(EncoderError::Kind::sessionNotCreated, ScreenVideoCodec::h264, -1);
    }
    impl_->encoder = x264_encoder_open(&param);
    if (impl_->encoder == nullptr) {
        throw EncoderError(EncoderError::Kind::sessionNotCreated, ScreenVideoCodec::h264, -1);
    }
    x264_nal_t* headers = nullptr;
    int count = 0;
    if (x264_encoder_headers(impl_->encoder, &headers, &count) < 0) {
        throw EncoderError(EncoderError::Kind::sessionNotCreated, ScreenVideoCodec::h264, -1);
    }
    // Copied at once: x264 reuses the headers' memory on the next call.
    for (int i = 0; i < count; ++i) {
        if (headers[i].i_type == NAL_SPS || headers[i].i_type == NAL_PPS) {
            impl_->parameterSets.push_back(withoutLength(headers[i]));
        }
    }
    impl_->worker = std::make_unique<platform::DispatchQueue>("dev.quelmar.trackpad.mac.screenview.encoder");
}

H264Encoder::~H264Encoder() {
    invalidate();
    // Joined here, on the owner's thread: the worker's tasks share the state and must never be the ones
    // to end the worker.
    impl_->worker.reset();
}

void H264Encoder::encode(std::shared_ptr<const VideoFrame> pixelBuffer, std::uint64_t timestamp,
                         bool forceKeyframe, Completion completion) {
    if (impl_->isInvalidated.load()) {
        completion(EncodeResult::failed(invalidatedText));
        return;
    }
    if (!pixelBuffer || pixelBuffer->width() != pixelWidth_ || pixelBuffer->height() != pixelHeight_) {
        completion(EncodeResult::dropped());
        return;
    }
    impl_->worker->async([impl = impl_, frame = std::move(pixelBuffer), timestamp, forceKeyframe,
                          completion = std::move(completion)] {
        if (impl->isInvalidated.load()) {
            completion(EncodeResult::failed(invalidatedText));
            return;
        }
        completion(impl->encodeNow(*frame, timestamp, forceKeyframe));
    });
}

void H264Encoder::invalidate() {
    impl_->isInvalidated.store(true);
}

std::unique_ptr<ScreenVideoEncoder> VideoToolboxEncoderFactory::makeEncoder(ScreenVideoCodec codec,
                                                                            int pixelWidth, int pixelHeight,
                                                                            int framesPerSecond) {
    if (codec != ScreenVideoCodec::h264) {
        throw H264Encoder::EncoderError(H264Encoder::EncoderError::Kind::unsupportedCodec, codec, 0);
    }
    return std::make_unique<H264Encoder>(pixelWidth, pixelHeight, framesPerSecond);
}

namespace NalUnits {

std::optional<Data> withFourByteLengths(const Data& data, int headerLength) {
    if ((headerLength != 1 && headerLength != 2 && headerLength != 4) || data.empty()) {
        return std::nullopt;
    }
    const auto length = static_cast<std::size_t>(headerLength);
    std::vector<std::pair<std::size_t, std::size_t>> units;  // offset, size
    std::size_t offset = 0;
    while (offset < data.size()) {
        if (data.size() - offset < length) {
            return std::nullopt;
        }
        std::size_t size = 0;
        for (std::size_t i = 0; i < length; ++i) {
            size = (size << 8) | data[offset + i];
        }
        offset += length;
        if (size < 1 || size > data.size() - offset) {
            return std::nullopt;
        }
        units.emplace_back(offset, size);
        offset += size;
    }
    if (headerLength == 4) {
        return data;
    }
    Data result;
    result.reserve(data.size() + units.size() * (4 - length));
    for (auto [start, size] : units) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            result.push_back(static_cast<std::uint8_t>(size >> shift));
        }
        result.insert(result.end(), data.begin() + static_cast<std::ptrdiff_t>(start),
                      data.begin() + static_cast<std::ptrdiff_t>(start + size));
    }
    return result;
}

}  // namespace NalUnits
}  // namespace ScreenView
