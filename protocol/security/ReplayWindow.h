#pragma once
// The 64-wide sliding replay window of one datagram key: the highest counter accepted so far and a
// bitmap of which of the 64 counters up to it have been seen. Counters start at 1; 0 is never valid.
#include <cstdint>

namespace TrackpadProtocol {

class ReplayWindow {
  public:
    static constexpr std::uint64_t width = 64;
    enum class Verdict { fresh, replayed, tooOld };

    Verdict check(std::uint64_t counter) const {
        if (counter == 0) {
            return Verdict::tooOld;
        }
        if (counter > highest_) {
            return Verdict::fresh;
        }
        const std::uint64_t distance = highest_ - counter;
        if (distance >= width) {
            return Verdict::tooOld;
        }
        return (seen_ >> distance) & 1 ? Verdict::replayed : Verdict::fresh;
    }

    // Records a counter that check() called fresh; call it only once the datagram is authentic.
    void accept(std::uint64_t counter) {
        if (counter > highest_) {
            const std::uint64_t shift = counter - highest_;
            seen_ = shift >= width ? 0 : seen_ << shift;
            seen_ |= 1;
            highest_ = counter;
        } else {
            seen_ |= std::uint64_t{1} << (highest_ - counter);
        }
    }

    std::uint64_t highest() const { return highest_; }

  private:
    std::uint64_t highest_ = 0;
    std::uint64_t seen_ = 0;  // bit i: counter highest_ - i was accepted
};

}  // namespace TrackpadProtocol
