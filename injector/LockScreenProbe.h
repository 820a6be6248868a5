#pragma once
// The decision logic of lock-screen access, kept apart from the system: `ProbedLockScreen` examines the
// focus (candidates, facts, reasons, secure input) exactly as the seam's rules say, asking a
// `LockScreenProbe` only for raw readings. Tests drive it with a fake probe; the system lock screen
// gives it the Linux probe.
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "injector/LockScreen.h"

namespace Injector {

struct LockScreenSession {
    bool locked = false;
    bool onConsole = false;
    std::optional<uid_t> userID;
    std::optional<pid_t> secureInputPID;
    // Why the process named as the holder is not known to hold the keyboard itself; the holder then
    // does not count.
    std::optional<std::string> secureInputDoubt;
};

struct ProbedProcess {
    std::string name;
    uid_t userID = 0;
    // The name is that of a lock screen program ("loginwindow" where the system has one).
    bool isLoginWindow = false;
    // The process passed the check that it is the system's own lock screen program.
    bool isSystemLoginWindow = false;
    // Why a lock screen program fails that check, where the probe can tell.
    std::optional<std::string> doubt;
    // How the lock screen program empties its password field.
    LockScreenFieldClearing fieldClearing = LockScreenFieldClearing::selectAllThenDelete;
    // It looks each key up only when it gets to it (see LockScreenField).
    bool readsKeysLate = false;
};

class LockScreenProbe {
  public:
    struct Element {
        std::uint64_t element = 0;
        std::optional<pid_t> processID;
    };
    // The focused element of a candidate, an error code, or nothing focused.
    using Focus = std::variant<std::monostate, Element, int>;
    struct SetValueResult {
        std::optional<int> error;      // none: the value was set
        std::optional<bool> settable;  // none: the settable query failed
    };

    virtual ~LockScreenProbe() = default;
    // Whether the session is locked; the session reading's `locked` unless the probe has a cheaper way.
    virtual bool isLocked() { return session().locked; }
    virtual bool displayIsAsleep() = 0;
    virtual void wake() = 0;
    virtual bool accessibilityTrusted() = 0;
    virtual LockScreenSession session() = 0;
    virtual uid_t currentUserID() = 0;
    // This user's lock screen process, having passed the system check; none when there is none.
    virtual std::optional<pid_t> loginWindowProcess(uid_t user) = 0;
    virtual std::optional<ProbedProcess> processInfo(pid_t process) = 0;
    // The focus of a lock screen application (its process), or of the whole system (none).
    virtual Focus focusedElement(std::optional<pid_t> application) = 0;
    virtual std::optional<std::string> stringAttribute(std::uint64_t element, std::string_view name) = 0;
    virtual std::optional<int> characterCount(std::uint64_t element) = 0;
    virtual bool secureInputEnabled() = 0;
    virtual SetValueResult setValue(std::uint64_t element, std::string_view password) = 0;
    virtual void pause(double seconds) = 0;
};

class ProbedLockScreen : public LockScreen {
  public:
    explicit ProbedLockScreen(std::unique_ptr<LockScreenProbe> probe) : probe_(std::move(probe)) {}

    bool isLocked() override { return probe_->isLocked(); }
    bool displayIsAsleep() override { return probe_->displayIsAsleep(); }
    void wake() override { probe_->wake(); }
    LockScreenFocus examine() override { return examination().focus; }
    bool isFocused(const LockScreenField& field) override;
    LockScreenFill fill(const LockScreenField& field, std::string_view password) override;

    LockScreenProbe& probe() { return *probe_; }

  private:
    struct Examination {
        LockScreenFocus focus;
        bool namedOtherElement = false;
    };
    Examination examination();

    std::unique_ptr<LockScreenProbe> probe_;
};

}  // namespace Injector
