#pragma once
// The phone's side of a live view, for tests and benchmarks: reassembles screenVideo parts into frames and
// decodes them with libavcodec (low delay, slice threads), so a test can look at the pixels the phone shows.
extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstdint>
#include <optional>
#include <vector>

#include "protocol/messages/LargePayloads.h"
#include "protocol/messages/Message.h"

namespace ScreenView::fakes {

struct DecodedPicture {
    int width = 0;
    int height = 0;
    std::uint64_t timestamp = 0;        // the frame's capture time, microseconds
    std::vector<std::uint8_t> y, u, v;  // tightly packed planes
    struct YUV {
        int y, u, v;
    };
    YUV at(int x, int yy) const {
        return {y[static_cast<std::size_t>(yy * width + x)],
                u[static_cast<std::size_t>((yy / 2) * (width / 2) + x / 2)],
                v[static_cast<std::size_t>((yy / 2) * (width / 2) + x / 2)]};
    }
};

class PhoneVideoDecoder {
  public:
    PhoneVideoDecoder() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        context_ = avcodec_alloc_context3(codec);
        // Slice threads only: frame threads would hold pictures back. The stream has one slice per encoder
        // thread, so this is about as fast as a phone's hardware decoder without adding delay.
        context_->thread_count = 4;
        context_->thread_type = FF_THREAD_SLICE;
        context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        avcodec_open2(context_, codec, nullptr);
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
    }
    ~PhoneVideoDecoder() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&context_);
    }
    PhoneVideoDecoder(const PhoneVideoDecoder&) = delete;
    PhoneVideoDecoder& operator=(const PhoneVideoDecoder&) = delete;

    // A part of the stream; the decoded picture once a whole frame has arrived and decodes.
    std::optional<DecodedPicture> add(const TrackpadProtocol::Message& message) {
        const auto* video = message.as<TrackpadProtocol::Message::ScreenVideo>();
        if (video == nullptr) {
            return std::nullopt;
        }
        auto document = assembler_.add(video->part);
        if (!document) {
            return std::nullopt;
        }
        return decode(TrackpadProtocol::ScreenVideoFrame::decode(*document));
    }

    std::optional<DecodedPicture> decode(const TrackpadProtocol::ScreenVideoFrame& frame) {
        std::vector<std::uint8_t> annexB;
        const std::uint8_t startCode[4] = {0, 0, 0, 1};
        for (const auto& set : frame.parameterSets) {
            annexB.insert(annexB.end(), startCode, startCode + 4);
            annexB.insert(annexB.end(), set.begin(), set.end());
        }
        const auto& sample = frame.sample;
        for (std::size_t offset = 0; offset + 4 <= sample.size();) {
            const std::size_t length = (std::size_t{sample[offset]} << 24) |
                                       (std::size_t{sample[offset + 1]} << 16) |
                                       (std::size_t{sample[offset + 2]} << 8) | sample[offset + 3];
            if (length > sample.size() - offset - 4) {
                return std::nullopt;
            }
            annexB.insert(annexB.end(), startCode, startCode + 4);
            annexB.insert(annexB.end(), sample.begin() + static_cast<std::ptrdiff_t>(offset + 4),
                          sample.begin() + static_cast<std::ptrdiff_t>(offset + 4 + length));
            offset += 4 + length;
        }
        if (av_new_packet(packet_, static_cast<int>(annexB.size())) < 0) {
            return std::nullopt;
        }
        std::copy(annexB.begin(), annexB.end(), packet_->data);
        const int sent = avcodec_send_packet(context_, packet_);
        av_packet_unref(packet_);
        if (sent < 0 || avcodec_receive_frame(context_, frame_) < 0) {
            return std::nullopt;
        }
        DecodedPicture picture;
        picture.timestamp = frame.timestamp;
        picture.width = frame_->width;
        picture.height = frame_->height;
        auto copyPlane = [&](int plane, int width, int height, std::vector<std::uint8_t>& out) {
            out.resize(static_cast<std::size_t>(width * height));
            for (int row = 0; row < height; ++row) {
                std::copy_n(frame_->data[plane] + row * frame_->linesize[plane], width,
                            out.begin() + static_cast<std::ptrdiff_t>(row * width));
            }
        };
        copyPlane(0, picture.width, picture.height, picture.y);
        copyPlane(1, picture.width / 2, picture.height / 2, picture.u);
        copyPlane(2, picture.width / 2, picture.height / 2, picture.v);
        av_frame_unref(frame_);
        return picture;
    }

  private:
    TrackpadProtocol::ScreenDataAssembler assembler_;
    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
};

}  // namespace ScreenView::fakes
