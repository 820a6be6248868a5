#pragma once
// Shared by the fuzzers and make_seeds: invariant checks, and the input format of the assembler fuzzer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>

#include "protocol/messages/Types.h"

namespace fuzz_support {

// A broken invariant is a finding: stop so that libFuzzer keeps the input.
inline void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// The assembler fuzzer reads a sequence of parts, each [u8 transfer][u16 part][u16 count][u16 length]
// followed by up to `length` bytes (fewer when the input ends), so that every refusal rule is reachable.
class PartReader {
  public:
    explicit PartReader(std::span<const std::uint8_t> input) : input_(input) {}

    std::optional<TrackpadProtocol::ScreenDataPart> next() {
        if (input_.size() < 7) return std::nullopt;
        TrackpadProtocol::ScreenDataPart part;
        part.transfer = input_[0];
        part.part = static_cast<std::uint16_t>(input_[1] << 8 | input_[2]);
        part.partCount = static_cast<std::uint16_t>(input_[3] << 8 | input_[4]);
        const std::size_t length =
            std::min<std::size_t>(static_cast<std::size_t>(input_[5] << 8 | input_[6]), input_.size() - 7);
        part.bytes.assign(input_.begin() + 7, input_.begin() + 7 + static_cast<std::ptrdiff_t>(length));
        input_ = input_.subspan(7 + length);
        return part;
    }

  private:
    std::span<const std::uint8_t> input_;
};

inline void writePart(TrackpadProtocol::Data& out, const TrackpadProtocol::ScreenDataPart& part) {
    out.push_back(static_cast<std::uint8_t>(part.transfer));
    for (std::uint16_t v : {part.part, part.partCount, static_cast<std::uint16_t>(part.bytes.size())}) {
        out.push_back(static_cast<std::uint8_t>(v >> 8));
        out.push_back(static_cast<std::uint8_t>(v));
    }
    out.insert(out.end(), part.bytes.begin(), part.bytes.end());
}

}  // namespace fuzz_support
