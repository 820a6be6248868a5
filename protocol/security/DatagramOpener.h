#pragma once
// The computer's half of datagram authentication: one table of the datagram keys of all open sessions,
// each with the address its TLS connection came from and its own replay window. Opening checks, in
// order: the format, the key id, the sender's address, the tag (in constant time), the replay window
// (updated only once the tag verifies), then decodes the message and applies the transport rule: only
// messages that travel by datagram, and scrolls of any phase (the listener's scroll sequencer takes them
// all), come through. Lives on the listener's queue; not thread-safe.
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

#include "protocol/messages/Message.h"
#include "protocol/messages/MessageCodec.h"
#include "protocol/security/DatagramFormat.h"
#include "protocol/security/DatagramKey.h"
#include "protocol/security/ReplayWindow.h"

namespace TrackpadProtocol {

class DatagramOpener {
  public:
    class Failure : public std::runtime_error {
      public:
        enum class Reason {
            truncated,           // shorter than header and tag
            unsupportedVersion,  // first byte is not 1
            unknownKey,          // no session holds this key id
            hostMismatch,        // the key's session is on another address
            badTag,              // forged, corrupted or sealed under another key
            replayed,            // this counter was accepted before
            tooOld,              // below the window (or counter 0)
            undecodable,         // authentic, but not a message (see decodingError)
            wrongTransport,      // authentic, but a message that travels only over TLS
        };

        explicit Failure(Reason reason);
        explicit Failure(const MessageCodec::DecodingError& error);
        Reason reason() const { return reason_; }
        // Why the payload did not decode, for `undecodable`.
        const std::optional<MessageCodec::DecodingError>& decodingError() const { return decodingError_; }

      private:
        Reason reason_;
        std::optional<MessageCodec::DecodingError> decodingError_;
    };

    // A datagram whose tag verified and whose counter was fresh (and is now recorded).
    struct Authenticated {
        std::uint64_t keyID = 0;
        std::uint64_t counter = 0;
        std::span<const std::uint8_t> payload;  // points into the opened datagram
    };

    // Adds a session's key, accepted from `host` only. Installing a key id that is already present with
    // the same secret only moves it to the new host and keeps its window, so a session that is opened
    // again on the same TLS connection cannot make old datagrams fresh again.
    void install(const DatagramKey& key, std::string host);
    // False when the key id was not installed.
    bool remove(std::uint64_t keyID);
    bool contains(std::uint64_t keyID) const { return entries_.count(keyID) != 0; }
    std::size_t size() const { return entries_.size(); }

    // The key id of a datagram of the right version and length, without checking anything else.
    static std::optional<std::uint64_t> peekKeyID(std::span<const std::uint8_t> datagram);

    struct Opened {
        std::uint64_t keyID = 0;
        std::uint64_t counter = 0;
        Message message;
    };

    // Checks format, key, host, tag and window; throws Failure.
    Authenticated authenticate(std::span<const std::uint8_t> datagram, std::string_view host);
    // authenticate, then decode and the transport rule; throws Failure.
    Opened open(std::span<const std::uint8_t> datagram, std::string_view host);

  private:
    struct Entry {
        DatagramKey key;
        std::string host;
        KeyedHMAC mac;
        ReplayWindow window;
    };

    std::unordered_map<std::uint64_t, Entry> entries_;
};

const char* toString(DatagramOpener::Failure::Reason reason);

}  // namespace TrackpadProtocol
