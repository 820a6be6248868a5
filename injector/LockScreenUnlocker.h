#pragma once
// Enters the user's password into the lock screen's password field and presses Return, for "Unlock from
// iPhone". Nothing is ever entered into a field that the lock screen seam has not verified, every key
// press is preceded by a check that the attempt still stands (not withdrawn, still locked, in time, the
// field still focused), an aborted key sequence lets go of what it pressed, and the attempt gives up in
// time to answer before the phone stops waiting. Every attempt ends in exactly one UnlockReport, handed
// to the completion and logged. The password is kept only by the attempt and wiped when it ends; it is
// never logged or put into a reason.
//
// The keyboard is the attempt's alone from its first key to its last (the poster's exclusive hold), the
// check before a press runs where the poster sends the key out, just before it does, and the phone is
// answered only once the last key has reached the system. A lock screen that reads keys late gets its
// text with no modifier held, and keeps the hold (the key bindings, the user's lifted locks) until the
// wait after Return is over.
//
// Thread: `unlock` on the main queue; everything that reaches the system runs on the unlocker's serial
// queue, except the checks before each key, which run on the poster's thread while the queue waits.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "injector/EventPoster.h"
#include "injector/LockScreen.h"
#include "platform/NoticeBudget.h"
#include "protocol/messages/Types.h"

namespace platform {
class DispatchQueue;
}

namespace Injector {

using UnlockStatus = TrackpadProtocol::UnlockResult::Status;
// The case name of a status: "unlocked", "stillLocked", ...
std::string_view caseName(UnlockStatus status);

enum class UnlockEntry { filled, typed };
std::string_view rawValue(UnlockEntry entry);
// "Filled by Accessibility", "Typed as characters (Accessibility couldn't fill the field)".
std::string_view displayText(UnlockEntry entry);

struct UnlockReport {
    UnlockStatus status = UnlockStatus::notReached;
    std::string reason;
    std::optional<UnlockEntry> entry;
    friend bool operator==(const UnlockReport&, const UnlockReport&) = default;
};

// The password as key chunks: per character (extended grapheme cluster), runs of at most 20 UTF-16
// units split only between scalars. None when the password is empty or holds a control character (or
// is not valid UTF-8).
std::optional<std::vector<std::u16string>> typingChunks(std::string_view password);

class LockScreenUnlocker {
  public:
    // Seconds. The defaults are the values the application passes.
    struct Timing {
        double keyInterval = 0.02;
        double settleDelay = 0.5;
        double wakeTimeout = 3.0;
        double fieldTimeout = 5.0;
        double nudgeInterval = 1.0;
        double unlockTimeout = 6.0;
        double pollInterval = 0.1;
        double attemptTimeLimit = 24.0;
    };
    using Sleep = std::function<void(double seconds)>;
    using Clock = std::function<double()>;
    using Log = std::function<void(const std::string& line)>;
    using IsWithdrawn = std::function<bool()>;
    using Completion = std::function<void(UnlockReport)>;

    // Writes each line to the log under subsystem "dev.quelmar.trackpad.mac", category "unlock".
    static void defaultLog(const std::string& line);

    // The collaborators must outlive the unlocker; the queue must be serial and used by it alone.
    LockScreenUnlocker(LockScreen& lockScreen, UnlockKeyboardLayout& layout, EventPoster& poster,
                       Timing timing, platform::DispatchQueue& queue, Sleep sleep, Clock clock,
                       Log log = defaultLog);
    // Tells the lines the log budget still holds back.
    ~LockScreenUnlocker();
    LockScreenUnlocker(const LockScreenUnlocker&) = delete;
    LockScreenUnlocker& operator=(const LockScreenUnlocker&) = delete;

    // A phone may send requests as fast as it likes, and each one logs: the first `logBurst` lines of
    // every `logWindow` seconds are written, the rest are counted and told in one line.
    static constexpr int logBurst = 40;
    static constexpr double logWindow = 10.0;

    // The completion is called exactly once: synchronously when the request is withdrawn or another one
    // is being checked or run, otherwise on the queue (a refusal of the lock or password checks, or the
    // attempt's end).
    void unlock(std::string password, IsWithdrawn isWithdrawn, Completion completion);
    bool isRunning() const;

  private:
    struct Attempt;
    void attempt(const std::shared_ptr<Attempt>& attempt);
    void finish(const UnlockReport& report, const Completion& completion);
    // Every line goes through the budget.
    void note(const std::string& line);
    void tellHeldBack(std::uint64_t count);

    Timing timing_;
    LockScreen& lockScreen_;
    UnlockKeyboardLayout& layout_;
    EventPoster& poster_;
    platform::DispatchQueue& queue_;
    Sleep sleep_;
    Clock clock_;
    Log log_;
    std::mutex logBudgetMutex_;
    platform::NoticeBudget logBudget_{logBurst, logWindow};
    mutable std::mutex busy_;
    bool isRunning_ = false;
};

}  // namespace Injector
