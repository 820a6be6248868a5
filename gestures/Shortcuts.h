#pragma once
// The names the gesture side gives keys: modifiers in Core Graphics event-flag bits, shortcuts given by
// virtual key code or by character, resolved key strokes, and the named key codes with their sets
// (shared with the unlocker through injector/KeyVocabulary.h).
#include <cstdint>
#include <string>
#include <variant>

#include "injector/KeyVocabulary.h"

namespace Gestures {

using Injector::Modifiers;
namespace KeyCode = Injector::KeyCode;

// Defined outside Shortcut: a nested type's member initializers are not usable before the enclosing
// type is complete, which would leave the key variant without a default constructor.
struct ShortcutKeyCode {
    std::uint16_t code = 0;
    friend bool operator==(const ShortcutKeyCode&, const ShortcutKeyCode&) = default;
};

struct Shortcut {
    using Code = ShortcutKeyCode;
    struct Character {
        std::string character;
        friend bool operator==(const Character&, const Character&) = default;
    };
    // A virtual key code used as it is, or a character resolved through the keyboard layout.
    using Key = std::variant<Code, Character>;

    Key key;
    Modifiers modifiers;
    friend bool operator==(const Shortcut&, const Shortcut&) = default;

    static const Shortcut zoomIn;
    static const Shortcut zoomOut;
    static const Shortcut back;
    static const Shortcut forward;
    static const Shortcut lockScreen;
};

struct KeyStroke {
    std::uint16_t keyCode = 0;
    Modifiers modifiers;
    friend bool operator==(const KeyStroke&, const KeyStroke&) = default;
    // "⌃⌥⇧⌘fn" for the modifiers present, then "key " and the code: "⌃fnkey 126".
    std::string description() const;
};

}  // namespace Gestures
