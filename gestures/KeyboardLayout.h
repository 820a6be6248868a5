#pragma once
// The seam through which the gesture engine learns which key types a character, on the user's layout.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "gestures/Shortcuts.h"

struct xkb_keymap;

namespace Gestures {

struct KeyResult {
    std::uint16_t keyCode = 0;
    // Shift must be added to the event flags to produce the character.
    bool shift = false;
    friend bool operator==(const KeyResult&, const KeyResult&) = default;
};

class KeyboardLayout {
  public:
    virtual ~KeyboardLayout() = default;
    // The key (and whether Shift is needed) that types the character.
    virtual std::optional<KeyResult> keyCode(const std::string& character) const = 0;
    // The key that triggers a menu item whose key equivalent is the character with these modifiers.
    virtual std::optional<KeyResult> menuKeyEquivalent(const std::string& character,
                                                       Modifiers modifiers) const = 0;
};

struct FixedKeyboardLayout final : KeyboardLayout {
    std::map<std::string, KeyResult> keys;
    std::map<std::string, KeyResult> menuKeys;

    FixedKeyboardLayout() = default;
    FixedKeyboardLayout(std::map<std::string, KeyResult> k, std::map<std::string, KeyResult> m)
        : keys(std::move(k)), menuKeys(std::move(m)) {}
    std::optional<KeyResult> keyCode(const std::string& character) const override;
    std::optional<KeyResult> menuKeyEquivalent(const std::string& character,
                                               Modifiers modifiers) const override;

    static const FixedKeyboardLayout& shortcutKeys();
};

// The typing search over an xkbcommon keymap: virtual key codes 0 to 127 in order, leaving out the
// keypad, function and arrow keys, first without Shift and then with it, in the given layout group; the
// first key whose text is canonically equal to the character wins.
std::optional<KeyResult> searchKeymap(xkb_keymap* keymap, std::uint32_t group, const std::string& character);
// The first group, from `preferred` on and then from 0, whose keys type the Latin letters a to z.
std::uint32_t asciiCapableGroup(xkb_keymap* keymap, std::uint32_t preferred);

// The layout of an X display: the server's own keymap and group, followed through the changes the
// server announces, in the current group when it types Latin letters, else the first group that does. Linux
// has no counterpart of the menu key-equivalent probe (toolkits match shortcuts by keysym, which the typing
// search already gives), so menuKeyEquivalent answers none and the engine goes on to the typing search.
//
// Thread: the calling thread; one at a time.
class CurrentKeyboardLayout final : public KeyboardLayout {
  public:
    explicit CurrentKeyboardLayout(const std::string& displayName = {});
    ~CurrentKeyboardLayout() override;
    std::optional<KeyResult> keyCode(const std::string& character) const override;
    std::optional<KeyResult> menuKeyEquivalent(const std::string& character,
                                               Modifiers modifiers) const override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Gestures
