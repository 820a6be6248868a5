#include "protocol/security/DatagramSealer.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "protocol/messages/MessageCodec.h"

namespace TrackpadProtocol {

DatagramSealer::DatagramSealer(const DatagramKey& key) : mac_(key.secret), keyID_(key.keyID) {}

std::vector<std::uint8_t> DatagramSealer::seal(std::span<const std::uint8_t> payload) {
    if (nextCounter_ == std::numeric_limits<std::uint64_t>::max()) {
        throw std::length_error("datagram counter exhausted");
    }
    std::vector<std::uint8_t> datagram(DatagramFormat::headerSize + payload.size() + DatagramFormat::tagSize);
    datagram[0] = DatagramFormat::version;
    DatagramFormat::writeU64(datagram.data() + 1, keyID_);
    DatagramFormat::writeU64(datagram.data() + 9, nextCounter_);
    std::copy(payload.begin(), payload.end(), datagram.begin() + DatagramFormat::headerSize);
    const std::size_t tagOffset = DatagramFormat::headerSize + payload.size();
    const KeyedHMAC::Tag tag = mac_.compute(std::span<const std::uint8_t>(datagram.data(), tagOffset));
    std::copy(tag.begin(), tag.end(), datagram.begin() + static_cast<std::ptrdiff_t>(tagOffset));
    ++nextCounter_;
    return datagram;
}

std::vector<std::uint8_t> DatagramSealer::seal(const Message& message) {
    return seal(MessageCodec::encode(message));
}

}  // namespace TrackpadProtocol
