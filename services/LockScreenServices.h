#pragma once
// The lock-screen services: the unlocker that enters the user's password on the lock screen, and the
// monitor that tells whether the screen is locked.
#include <functional>
#include <optional>
#include <string>

#include "protocol/messages/Types.h"

namespace Shell {

// How the password went in.
enum class UnlockEntry { filled, typed };
// "Filled by Accessibility", "Typed as characters (Accessibility couldn't fill the field)".
const char* displayText(UnlockEntry entry);

// How one unlock attempt ended: a status of the shared set, a sentence for the user and, when the
// password went in, how.
struct UnlockReport {
    TrackpadProtocol::UnlockResult::Status status = TrackpadProtocol::UnlockResult::Status::notReached;
    std::string reason;
    std::optional<UnlockEntry> entry;
    bool operator==(const UnlockReport&) const = default;
};

class UnlockService {
  public:
    using IsWithdrawn = std::function<bool()>;
    using Completion = std::function<void(UnlockReport)>;

    virtual ~UnlockService() = default;

    // Called on the main queue for each admitted request. The password is moved in; the implementation
    // keeps it in no log or lasting field and wipes its copy when done. `isWithdrawn` may be read from any
    // thread. `completion` is called exactly once: synchronously when a check that needs no system
    // refuses the request, otherwise on the unlocker's own thread.
    virtual void unlock(std::string password, IsWithdrawn isWithdrawn, Completion completion) = 0;
};

// Whether the screen is locked. Thread: every call and every change report on the main queue.
class ScreenLockService {
  public:
    using ChangeHandler = std::function<void(bool locked)>;

    virtual ~ScreenLockService() = default;

    // Starts watching and returns the state read now; none when it cannot be known. `onChange` is called
    // only when the reported state changes. Calling it again replaces the handler.
    virtual std::optional<bool> start(ChangeHandler onChange) = 0;
    virtual void stop() = 0;
    // The last state reported or read by start; none before start or when unknown.
    virtual std::optional<bool> status() const = 0;
};

}  // namespace Shell
