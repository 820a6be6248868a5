#pragma once
// The portable vocabulary of keys shared by the gesture engine and the lock-screen unlocker: virtual key
// codes of the Apple keyboard layout (what the phone sends), Core Graphics event-flag bits for the
// modifiers, the key-code sets whose events carry extra flags, and the one table that turns a virtual
// key code into a Linux evdev key code (X key code = evdev + 8). Pure; no system headers.
#include <cstdint>
#include <optional>
#include <string>

#include "protocol/messages/OptionSet.h"

namespace Injector {

// Modifier flags in Core Graphics event-flag bits, the flags of posted events as they stand.
struct Modifiers : TrackpadProtocol::OptionSet<Modifiers, std::uint64_t> {
    using OptionSet::OptionSet;
    static const Modifiers shift, control, option, command, function, all;
    // Keeps only the bits of `all`: Caps Lock, keypad, help and device bits are dropped.
    static constexpr Modifiers fromEventFlags(std::uint64_t flags) { return Modifiers{flags & 0x9e0000}; }
};
inline constexpr Modifiers Modifiers::shift{0x20000};
inline constexpr Modifiers Modifiers::control{0x40000};
inline constexpr Modifiers Modifiers::option{0x80000};
inline constexpr Modifiers Modifiers::command{0x100000};
inline constexpr Modifiers Modifiers::function{0x800000};
inline constexpr Modifiers Modifiers::all{0x9e0000};

// Event-flag bits that are not modifiers of a shortcut.
inline constexpr std::uint64_t keypadEventFlag = 0x200000;
inline constexpr std::uint64_t capsLockEventFlag = 0x10000;

namespace KeyCode {
inline constexpr std::uint16_t a = 0;
inline constexpr std::uint16_t q = 12;
inline constexpr std::uint16_t u = 32;
inline constexpr std::uint16_t returnKey = 36;
inline constexpr std::uint16_t tab = 48;
inline constexpr std::uint16_t space = 49;
inline constexpr std::uint16_t deleteKey = 51;
inline constexpr std::uint16_t escape = 53;
inline constexpr std::uint16_t command = 55;
inline constexpr std::uint16_t shift = 56;
inline constexpr std::uint16_t capsLock = 57;
inline constexpr std::uint16_t option = 58;
inline constexpr std::uint16_t control = 59;
inline constexpr std::uint16_t rightCommand = 54;
inline constexpr std::uint16_t rightShift = 60;
inline constexpr std::uint16_t rightOption = 61;
inline constexpr std::uint16_t rightControl = 62;
inline constexpr std::uint16_t f11 = 103;
inline constexpr std::uint16_t leftArrow = 123;
inline constexpr std::uint16_t rightArrow = 124;
inline constexpr std::uint16_t downArrow = 125;
inline constexpr std::uint16_t upArrow = 126;

bool isArrowKey(std::uint16_t code);
// The function row and the navigation keys (Help, Home, Page Up, Forward Delete, End, Page Down).
bool isFunctionKey(std::uint16_t code);
bool isKeypadKey(std::uint16_t code);
// The flags a key event of this key carries besides its modifiers: 0xa00000 for an arrow key, else
// 0x800000 for a function key, else 0x200000 for a keypad key, else 0.
std::uint64_t eventFlags(std::uint16_t code);
// The evdev key code of a virtual key code; none for a key Linux has no counterpart of (Fn, some JIS
// keys) or a code outside the table.
std::optional<std::uint16_t> evdevKeyCode(std::uint16_t code);
// The modifier flag a modifier key sets (left and right keys alike); none for any other key.
std::optional<Modifiers> modifierOfKey(std::uint16_t code);
}  // namespace KeyCode

// The Unicode scalars of valid UTF-16, in order; a lone surrogate is dropped.
std::u32string scalarsOfUTF16(const std::u16string& text);

}  // namespace Injector
