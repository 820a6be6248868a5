#pragma once
// The phone's unlock flow: each request to type the user's password on the computer's lock screen gets
// its own number, and only the unlockResult carrying that number completes it. The computer answers
// every admitted request exactly once; requests still open when the connection closes complete with
// `notReached`. Lives on the connection's thread; not thread-safe.
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "protocol/messages/Message.h"

namespace TrackpadProtocol {

class PhoneUnlockFlow {
  public:
    using Completion = std::function<void(const UnlockResult&)>;

    // The unlock request to send. Throws std::invalid_argument, without the password in its text, when
    // the password is not 1 to 255 bytes of UTF-8 without control characters (the computer would
    // refuse it anyway).
    Message request(std::string password, Completion completion);
    // Completes the pending request an unlockResult answers; true when it did. Other messages and
    // results for unknown numbers change nothing.
    bool receive(const Message& message);
    // The connection closed: completes every pending request with `notReached`.
    void connectionClosed();

    std::size_t pendingCount() const { return pending_.size(); }

  private:
    std::uint32_t nextNumber();

    std::uint32_t lastNumber_ = 0;
    std::map<std::uint32_t, Completion> pending_;
};

}  // namespace TrackpadProtocol
