#include "gestures/KeyboardLayout.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <xkbcommon/xkbcommon.h>

#include <mutex>
#include <vector>

#include "injector/XkbServerKeymap.h"

namespace Gestures {
namespace {

std::string nfc(const std::string& text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) {
        return text;
    }
    const icu::UnicodeString normalized = normalizer->normalize(icu::UnicodeString::fromUTF8(text), status);
    if (U_FAILURE(status)) {
        return text;
    }
    std::string out;
    normalized.toUTF8String(out);
    return out;
}

std::string utf8(std::uint32_t cp) {
    std::string out;
    icu::UnicodeString(static_cast<UChar32>(cp)).toUTF8String(out);
    return out;
}

// The text a key gives in a group, with or without Shift; empty for none.
std::string keyText(xkb_state* state, xkb_keymap* keymap, std::uint32_t group, bool shift,
                    xkb_keycode_t key) {
    const std::uint32_t cp = Injector::keyCharacter(state, keymap, group, shift, false, key);
    return cp == 0 ? std::string() : utf8(cp);
}

bool searched(std::uint16_t code) {
    return !KeyCode::isKeypadKey(code) && !KeyCode::isFunctionKey(code) && !KeyCode::isArrowKey(code);
}

}  // namespace

std::optional<KeyResult> FixedKeyboardLayout::keyCode(const std::string& character) const {
    const auto found = keys.find(character);
    return found != keys.end() ? std::optional(found->second) : std::nullopt;
}

std::optional<KeyResult> FixedKeyboardLayout::menuKeyEquivalent(const std::string& character,
                                                                Modifiers) const {
    const auto found = menuKeys.find(character);
    return found != menuKeys.end() ? std::optional(found->second) : std::nullopt;
}

const FixedKeyboardLayout& FixedKeyboardLayout::shortcutKeys() {
    static const FixedKeyboardLayout layout({{"=", {24, false}},
                                             {"+", {24, true}},
                                             {"-", {27, false}},
                                             {"_", {27, true}},
                                             {"[", {33, false}},
                                             {"]", {30, false}},
                                             {"0", {29, false}},
                                             {"q", {12, false}}},
                                            {});
    return layout;
}

std::optional<KeyResult> searchKeymap(xkb_keymap* keymap, std::uint32_t group, const std::string& character) {
    if (keymap == nullptr || character.empty()) {
        return std::nullopt;
    }
    const std::string wanted = nfc(character);
    xkb_state* state = xkb_state_new(keymap);
    if (state == nullptr) {
        return std::nullopt;
    }
    std::optional<KeyResult> result;
    for (const bool shift : {false, true}) {
        for (std::uint16_t code = 0; code < 128 && !result; ++code) {
            const std::optional<std::uint16_t> evdev = KeyCode::evdevKeyCode(code);
            if (!evdev || !searched(code)) {
                continue;
            }
            const std::string text = keyText(state, keymap, group, shift, xkb_keycode_t(*evdev + 8));
            if (!text.empty() && nfc(text) == wanted) {
                result = KeyResult{code, shift};
            }
        }
        if (result) {
            break;
        }
    }
    xkb_state_unref(state);
    return result;
}

std::uint32_t asciiCapableGroup(xkb_keymap* keymap, std::uint32_t preferred) {
    const std::uint32_t groups = keymap != nullptr ? xkb_keymap_num_layouts(keymap) : 0;
    if (groups == 0) {
        return 0;
    }
    xkb_state* state = xkb_state_new(keymap);
    const auto typesLatin = [&](std::uint32_t group) {
        for (const std::uint16_t letter :
             {std::uint16_t{0}, std::uint16_t{12}, std::uint16_t{6}}) {  // a, q, z
            const std::string text =
                keyText(state, keymap, group, false, xkb_keycode_t(*KeyCode::evdevKeyCode(letter) + 8));
            if (text.size() != 1 || text[0] < 'a' || text[0] > 'z') {
                return false;
            }
        }
        return true;
    };
    std::uint32_t chosen = preferred < groups ? preferred : 0;
    if (!typesLatin(chosen)) {
        for (std::uint32_t group = 0; group < groups; ++group) {
            if (typesLatin(group)) {
                chosen = group;
                break;
            }
        }
    }
    xkb_state_unref(state);
    return chosen;
}

struct CurrentKeyboardLayout::Impl {
    explicit Impl(const std::string& displayName) : keymap(displayName) {}
    Injector::XkbServerKeymap keymap;
};

CurrentKeyboardLayout::CurrentKeyboardLayout(const std::string& displayName)
    : impl_(std::make_unique<Impl>(displayName)) {}

CurrentKeyboardLayout::~CurrentKeyboardLayout() = default;

std::optional<KeyResult> CurrentKeyboardLayout::keyCode(const std::string& character) const {
    std::optional<KeyResult> result;
    impl_->keymap.with([&](xkb_keymap* keymap, std::uint32_t group) {
        result = searchKeymap(keymap, asciiCapableGroup(keymap, group), character);
    });
    return result;
}

std::optional<KeyResult> CurrentKeyboardLayout::menuKeyEquivalent(const std::string&, Modifiers) const {
    return std::nullopt;
}

}  // namespace Gestures
