// Fuzzes the computer's datagram opener with a mix of raw datagrams and datagrams sealed under the
// installed key (so that inputs get past the tag to the replay window, the decoder and the transport
// rule), and checks the window against a simple model: an authentic datagram from the right host gets
// through authentication exactly when its counter is non-zero, not seen before, and within 64 of the
// highest counter accepted so far. What opens is a datagram message (or a scroll) that encodes to the
// sealed payload.
//
// Input: records of [control][length][bytes]. Control bit 0: seal the bytes (first 8 = counter, rest =
// payload) instead of sending them raw; bit 1: send from another host.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <span>
#include <vector>

#include "FuzzSupport.h"
#include "protocol/security/DatagramOpener.h"

using namespace TrackpadProtocol;
using Reason = DatagramOpener::Failure::Reason;

namespace {

std::vector<std::uint8_t> sealWithCounter(const DatagramKey& key, KeyedHMAC& mac, std::uint64_t counter,
                                          std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> datagram(DatagramFormat::headerSize);
    datagram[0] = DatagramFormat::version;
    DatagramFormat::writeU64(datagram.data() + 1, key.keyID);
    DatagramFormat::writeU64(datagram.data() + 9, counter);
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    const KeyedHMAC::Tag tag = mac.compute(datagram);
    datagram.insert(datagram.end(), tag.begin(), tag.end());
    return datagram;
}

struct WindowModel {
    std::uint64_t highest = 0;
    std::set<std::uint64_t> seen;

    bool wouldAccept(std::uint64_t counter) const {
        if (counter == 0 || seen.count(counter)) {
            return false;
        }
        return counter > highest || highest - counter < 64;
    }
    void accept(std::uint64_t counter) {
        seen.insert(counter);
        highest = std::max(counter, highest);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::array<std::uint8_t, 32> secret{};
    secret.fill(0xA5);
    const DatagramKey key(secret, 0x0102030405060708ULL);
    KeyedHMAC mac(key.secret);
    DatagramOpener opener;
    opener.install(key, "127.0.0.1");
    WindowModel model;

    std::span<const std::uint8_t> input(data, size);
    while (input.size() >= 2) {
        const std::uint8_t control = input[0];
        const std::size_t length = std::min<std::size_t>(input[1], input.size() - 2);
        const std::span<const std::uint8_t> bytes = input.subspan(2, length);
        input = input.subspan(2 + length);

        const bool sealed = (control & 1) != 0 && bytes.size() >= 8;
        const bool sameHost = (control & 2) == 0;
        std::vector<std::uint8_t> datagram(bytes.begin(), bytes.end());
        std::uint64_t counter = 0;
        if (sealed) {
            counter = DatagramFormat::readU64(bytes.data());
            datagram = sealWithCounter(key, mac, counter, bytes.subspan(8));
        }
        const bool expected = sealed && sameHost && model.wouldAccept(counter);
        bool authentic = false;
        try {
            const DatagramOpener::Opened opened = opener.open(datagram, sameHost ? "127.0.0.1" : "10.0.0.1");
            authentic = true;
            fuzz_support::require(opened.keyID == key.keyID, "opened under the installed key");
            fuzz_support::require(
                opened.message.transport() == Transport::datagram || opened.message.is<Message::Scroll>(),
                "only datagram messages and scrolls open");
            const Data again = MessageCodec::encode(opened.message);
            fuzz_support::require(
                std::equal(again.begin(), again.end(), datagram.begin() + DatagramFormat::headerSize,
                           datagram.end() - DatagramFormat::tagSize),
                "opened message is the sealed payload");
            model.accept(opened.counter);
        } catch (const DatagramOpener::Failure& failure) {
            // These two come after the tag and the window: the counter is spent.
            if (failure.reason() == Reason::undecodable || failure.reason() == Reason::wrongTransport) {
                authentic = true;
                model.accept(DatagramFormat::readU64(datagram.data() + 9));
            }
            fuzz_support::require(
                failure.decodingError().has_value() == (failure.reason() == Reason::undecodable),
                "a decoding error exactly for undecodable");
        }
        if (sealed) {
            fuzz_support::require(authentic == expected, "replay window agrees with the model");
        }
    }
    return 0;
}
