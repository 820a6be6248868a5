#include <chrono>
#include <cstdint>
#include <set>
#include <thread>

#include "platform/imaging/Codecs.h"

namespace platform::imaging {
namespace {

// The one turn of the process, given in the order it was asked for. The turn is a plain mutex held by
// the decode's lock; those waiting for it each hold a ticket and poll, so that a raised stop flag ends
// a wait within a poll, and only the first in line tries the mutex, so that a decode that ends and
// asks again at once cannot pass the others.
// Thread: any.
class TurnQueue {
  public:
    std::optional<std::unique_lock<std::mutex>> take(const std::atomic<bool>* stop) {
        std::uint64_t ticket = 0;
        {
            const std::lock_guard lock(state_);
            ticket = nextTicket_++;
        }
        std::unique_lock turn(turn_, std::defer_lock);
        while (true) {
            {
                const std::lock_guard lock(state_);
                if (stop && stop->load()) {
                    leave(ticket);
                    return std::nullopt;
                }
                if (ticket == serving_ && turn.try_lock()) {
                    advance();
                    return turn;
                }
            }
            std::this_thread::sleep_for(poll);
        }
    }

  private:
    static constexpr std::chrono::milliseconds poll{1};

    // With state_ held.
    void advance() {
        ++serving_;
        while (abandoned_.erase(serving_) != 0)
            ++serving_;
    }

    // With state_ held.
    void leave(std::uint64_t ticket) {
        if (ticket == serving_)
            advance();
        else
            abandoned_.insert(ticket);
    }

    std::mutex turn_;
    std::mutex state_;
    std::uint64_t nextTicket_ = 0;
    std::uint64_t serving_ = 0;          // the ticket that may take the turn next
    std::set<std::uint64_t> abandoned_;  // tickets after it whose holders stopped waiting
};

}  // namespace

std::optional<std::unique_lock<std::mutex>> takeDecodeTurn(std::uint64_t workingBytes,
                                                           const std::atomic<bool>* stop) {
    // Never destroyed: a decode left running when the process exits may still ask for its turn.
    static TurnQueue& turns = *new TurnQueue;
    if (stop && stop->load())
        return std::nullopt;
    if (workingBytes <= largeDecodeBytes)
        return std::unique_lock<std::mutex>();
    return turns.take(stop);
}

ImageResult<ImageInfo> readImageInfo(std::span<const std::uint8_t> data, const std::atomic<bool>* stop) {
    switch (detectFormat(data).value_or(ImageFormat::jpeg)) {
        case ImageFormat::jpeg:
            return readJPEGInfo(data, stop);
        case ImageFormat::png:
            return readPNGInfo(data, stop);
    }
    return ImageError::unknownFormat;
}

ImageResult<Bitmap> decodeImage(std::span<const std::uint8_t> data, const DecodeOptions& options) {
    const auto format = detectFormat(data);
    if (!format)
        return ImageError::unknownFormat;
    return *format == ImageFormat::jpeg ? decodeJPEG(data, options) : decodePNG(data, options);
}

}  // namespace platform::imaging
