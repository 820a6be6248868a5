#include "protocol/security/DatagramOpener.h"

#include "protocol/messages/Secrets.h"

namespace TrackpadProtocol {

using Reason = DatagramOpener::Failure::Reason;

const char* toString(Reason reason) {
    switch (reason) {
        case Reason::truncated:
            return "truncated";
        case Reason::unsupportedVersion:
            return "unsupported version";
        case Reason::unknownKey:
            return "unknown key";
        case Reason::hostMismatch:
            return "host mismatch";
        case Reason::badTag:
            return "bad tag";
        case Reason::replayed:
            return "replayed";
        case Reason::tooOld:
            return "too old";
        case Reason::undecodable:
            return "undecodable";
        case Reason::wrongTransport:
            return "wrong transport";
    }
    return "unknown";
}

DatagramOpener::Failure::Failure(Reason reason)
    : std::runtime_error(std::string("datagram refused: ") + toString(reason)), reason_(reason) {}

DatagramOpener::Failure::Failure(const MessageCodec::DecodingError& error)
    : std::runtime_error(std::string("datagram refused: undecodable: ") + error.what()),
      reason_(Reason::undecodable),
      decodingError_(error) {}

void DatagramOpener::install(const DatagramKey& key, std::string host) {
    auto found = entries_.find(key.keyID);
    if (found != entries_.end() && found->second.key == key) {
        found->second.host = std::move(host);
        return;
    }
    if (found != entries_.end()) {
        entries_.erase(found);
    }
    entries_.emplace(key.keyID, Entry{key, std::move(host), KeyedHMAC(key.secret), ReplayWindow()});
}

bool DatagramOpener::remove(std::uint64_t keyID) {
    return entries_.erase(keyID) != 0;
}

std::optional<std::uint64_t> DatagramOpener::peekKeyID(std::span<const std::uint8_t> datagram) {
    if (datagram.size() < DatagramFormat::minimumSize || datagram[0] != DatagramFormat::version) {
        return std::nullopt;
    }
    return DatagramFormat::readU64(datagram.data() + 1);
}

DatagramOpener::Authenticated DatagramOpener::authenticate(std::span<const std::uint8_t> datagram,
                                                           std::string_view host) {
    if (datagram.empty()) {
        throw Failure(Reason::truncated);
    }
    if (datagram[0] != DatagramFormat::version) {
        throw Failure(Reason::unsupportedVersion);
    }
    if (datagram.size() < DatagramFormat::minimumSize) {
        throw Failure(Reason::truncated);
    }
    const std::uint64_t keyID = DatagramFormat::readU64(datagram.data() + 1);
    const auto found = entries_.find(keyID);
    if (found == entries_.end()) {
        throw Failure(Reason::unknownKey);
    }
    Entry& entry = found->second;
    if (entry.host != host) {
        throw Failure(Reason::hostMismatch);
    }
    const std::size_t tagOffset = datagram.size() - DatagramFormat::tagSize;
    const KeyedHMAC::Tag expected = entry.mac.compute(datagram.first(tagOffset));
    if (!constantTimeEqual(expected, datagram.subspan(tagOffset))) {
        throw Failure(Reason::badTag);
    }
    const std::uint64_t counter = DatagramFormat::readU64(datagram.data() + 9);
    switch (entry.window.check(counter)) {
        case ReplayWindow::Verdict::replayed:
            throw Failure(Reason::replayed);
        case ReplayWindow::Verdict::tooOld:
            throw Failure(Reason::tooOld);
        case ReplayWindow::Verdict::fresh:
            break;
    }
    entry.window.accept(counter);
    return {keyID, counter,
            datagram.subspan(DatagramFormat::headerSize, tagOffset - DatagramFormat::headerSize)};
}

DatagramOpener::Opened DatagramOpener::open(std::span<const std::uint8_t> datagram, std::string_view host) {
    const Authenticated authentic = authenticate(datagram, host);
    Opened opened{authentic.keyID, authentic.counter, {}};
    try {
        opened.message = MessageCodec::decode(authentic.payload);
    } catch (const MessageCodec::DecodingError& error) {
        throw Failure(error);
    }
    if (opened.message.transport() != Transport::datagram && !opened.message.is<Message::Scroll>()) {
        throw Failure(Reason::wrongTransport);
    }
    return opened;
}

}  // namespace TrackpadProtocol
