// FrameDecoder on an arbitrary byte stream: fed whole, byte by byte, or in reads of varying sizes, it
// yields the same messages and bad frames in the same order, and never keeps more than one partial frame.
#include <string>
#include <variant>
#include <vector>

#include "FuzzSupport.h"
#include "protocol/messages/MessageFraming.h"

using namespace TrackpadProtocol;

namespace {

using Event = std::variant<Message, std::pair<std::string, bool>>;

std::vector<Event> run(std::span<const std::uint8_t> stream, std::size_t (*nextRead)(std::size_t&)) {
    FrameDecoder decoder;
    std::vector<Event> events;
    std::size_t state = stream.empty() ? 0 : stream[0];
    for (std::size_t offset = 0; offset < stream.size();) {
        const auto size = std::min(nextRead(state), stream.size() - offset);
        decoder.feed(
            stream.subspan(offset, size), [&](Message&& m) { events.emplace_back(std::move(m)); },
            [&](const FrameDecoder::BadFrame& bad) {
                events.emplace_back(std::pair<std::string, bool>(bad.what(), bad.closesConnection));
            });
        offset += size;
        fuzz_support::require(
            decoder.bufferedBytes() <= MessageFraming::headerBytes + MessageFraming::maxPayloadBytes,
            "at most one partial frame is buffered");
        fuzz_support::require(!decoder.isClosed() || decoder.bufferedBytes() == 0,
                              "a closed decoder keeps nothing");
    }
    return events;
}

std::size_t whole(std::size_t&) {
    return SIZE_MAX;
}
std::size_t oneByte(std::size_t&) {
    return 1;
}
std::size_t varying(std::size_t& state) {
    state = state * 1103515245 + 12345;
    return 1 + (state >> 16) % FrameDecoder::readSize;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> stream(data, size);
    const auto reference = run(stream, whole);
    fuzz_support::require(run(stream, varying) == reference, "reads of varying sizes give the same events");
    if (size <= 4096)
        fuzz_support::require(run(stream, oneByte) == reference, "single bytes give the same events");
    return 0;
}
