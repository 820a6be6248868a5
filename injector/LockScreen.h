#pragma once
// The lock-screen seam: whether the session is locked, the display's sleep, waking it, and above all
// whether the focused element is the password field of this user's genuine lock screen, which is the
// only place a password may ever be entered. With the records it reports in, and the keyboard-layout
// seam that says which key types a character.
//
// Thread: the unlocker calls every operation on its own queue; the screen-lock monitor reads isLocked on
// the main queue. Operations may block briefly (bus and display round trips) and never throw.
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace Injector {

// What names a field: an element the accessibility layer named, or the process holding the keyboard
// the way a lock screen does (secure input).
struct AXElementKey {
    std::uint64_t element = 0;
    friend bool operator==(const AXElementKey&, const AXElementKey&) = default;
};
struct SecureInputKey {
    pid_t processID = 0;
    friend bool operator==(const SecureInputKey&, const SecureInputKey&) = default;
};
struct LockScreenFieldID {
    std::variant<AXElementKey, SecureInputKey> value;
    friend bool operator==(const LockScreenFieldID&, const LockScreenFieldID&) = default;
};

enum class LockScreenFieldCheck { accessibility, secureInput };
std::string_view rawValue(LockScreenFieldCheck check);

// The keys that empty a field whose characters can't be counted, as its lock screen reads them. Lock
// screens differ: in the common toolkits' text fields Control+A selects everything and Delete removes
// it, but a locker that takes Control+A as a character deletes only that, and then Return submits the
// characters left before the password as a failed try.
enum class LockScreenFieldClearing {
    selectAllThenDelete,
    controlU,  // kills the line
    escape,    // empties the field without closing the prompt
};

struct LockScreenField {
    LockScreenFieldID id;
    std::optional<int> characterCount;
    std::optional<pid_t> loginWindowProcessID;
    LockScreenFieldCheck check = LockScreenFieldCheck::accessibility;
    LockScreenFieldClearing clearing = LockScreenFieldClearing::selectAllThenDelete;
    // The lock screen looks each key up only when it gets to it, with the modifiers held and the keymap
    // as they are then: a key whose modifiers are let go, or whose binding changes, before it gets there
    // reads as another character. Such a field is typed without modifiers, on bindings that stay until
    // the attempt ends.
    bool readsKeysLate = false;
    friend bool operator==(const LockScreenField&, const LockScreenField&) = default;
};

struct LockScreenFocus {
    struct PasswordField {
        LockScreenField field;
        friend bool operator==(const PasswordField&, const PasswordField&) = default;
    };
    struct Unverified {
        std::string reason;
        friend bool operator==(const Unverified&, const Unverified&) = default;
    };
    struct AccessibilityDenied {
        friend bool operator==(const AccessibilityDenied&, const AccessibilityDenied&) = default;
    };
    std::variant<PasswordField, Unverified, AccessibilityDenied> value;
    friend bool operator==(const LockScreenFocus&, const LockScreenFocus&) = default;
};

struct LockScreenFill {
    struct Failed {
        std::string reason;
        friend bool operator==(const Failed&, const Failed&) = default;
    };
    struct Filled {
        friend bool operator==(const Filled&, const Filled&) = default;
    };
    std::variant<Failed, Filled> value;
    friend bool operator==(const LockScreenFill&, const LockScreenFill&) = default;
};

// What was learnt about one focused element and the session.
struct LockScreenFieldFacts {
    std::optional<std::string> role;
    std::optional<std::string> subrole;
    std::optional<std::string> ownerProcessName;
    std::optional<uid_t> ownerUserID;
    bool ownerIsSystemLoginWindow = false;
    std::optional<uid_t> sessionUserID;
    bool sessionOnConsole = false;
    bool sessionLocked = false;
    uid_t currentUserID = 0;
    friend bool operator==(const LockScreenFieldFacts&, const LockScreenFieldFacts&) = default;

    // "AXTextField/AXSecureTextField of loginwindow (this user); session locked yes, on console yes,
    // this user's yes"
    std::string description() const;
    bool isLockScreenPasswordField() const;
};

// The key and modifiers that produce one character.
struct UnlockKey {
    std::uint16_t keyCode = 0;
    bool shift = false;
    bool option = false;
    friend bool operator==(const UnlockKey&, const UnlockKey&) = default;
};

class LockScreen {
  public:
    virtual ~LockScreen() = default;
    virtual bool isLocked() = 0;
    virtual bool displayIsAsleep() = 0;
    virtual void wake() = 0;
    virtual LockScreenFocus examine() = 0;
    // The given field still has the focus.
    virtual bool isFocused(const LockScreenField& field) = 0;
    virtual LockScreenFill fill(const LockScreenField& field, std::string_view password) = 0;
};

class UnlockKeyboardLayout {
  public:
    virtual ~UnlockKeyboardLayout() = default;
    // `character` is one character, UTF-8.
    virtual std::optional<UnlockKey> key(std::string_view character) = 0;
};

}  // namespace Injector
