#include "Gestures/KeyboardLayout.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <xcb/xcb.h>
// xkb.h names a field `explicit`, which C++ reserves.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon.h>

#include <mutex>
#include <vector>

#include "Injector/XConnection.h"

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
std::string keyText(xkb_state* state, xkb_keymap* keymap, std::uint32_t group, bool shift, xkb_keycode_t key) {
    const xkb_mod_index_t shiftIndex = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
    const xkb_mod_mask_t mods = shift && shiftIndex != XKB_MOD_INVALID ? (1u << shiftIndex) : 0;
    xkb_state_update_mask(state, mods, 0, 0, 0, 0, group);
    const std::uint32_t cp = xkb_state_key_get_utf32(state, key);
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

std::optional<KeyResult> FixedKeyboardLayout::menuKeyEquivalent(const std::string& character, Modifiers) const {
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
        for (const std::uint16_t letter : {std::uint16_t{0}, std::uint16_t{12}, std::uint16_t{6}}) {  // a, q, z
            const std::string text = keyText(state, keymap, group, false,
                                              xkb_keycode_t(*KeyCode::evdevKeyCode(letter) + 8));
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
    explicit Impl(const std::string& displayName) : display(displayName) {
        context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    }
    ~Impl() {
        xkb_keymap_unref(keymap);
        xkb_context_unref(context);
    }
    // The rule names of the server's keymap, refreshed; false when they cannot be read.
    bool refresh();
    std::uint32_t currentGroup();

    Injector::XConnection display;
    xkb_context* context = nullptr;
    xkb_keymap* keymap = nullptr;
    std::vector<std::string> names;
    xcb_atom_t namesAtom = XCB_NONE;
    std::optional<bool> xkbReady;
    mutable std::mutex mutex;
};

bool CurrentKeyboardLayout::Impl::refresh() {
    if (!display.usable() || context == nullptr) {
        return false;
    }
    xcb_connection_t* c = display.get();
    if (namesAtom == XCB_NONE) {
        Injector::XReply<xcb_intern_atom_reply_t> atom(
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, 16, "_XKB_RULES_NAMES"), nullptr));
        if (!atom || atom->atom == XCB_NONE) {
            return keymap != nullptr;
        }
        namesAtom = atom->atom;
    }
    Injector::XReply<xcb_get_property_reply_t> property(xcb_get_property_reply(
        c, xcb_get_property(c, 0, display.root(), namesAtom, XCB_ATOM_STRING, 0, 1024), nullptr));
    std::vector<std::string> current;
    if (property && property->format == 8) {
        const char* value = static_cast<const char*>(xcb_get_property_value(property.get()));
        const int length = xcb_get_property_value_length(property.get());
        std::string field;
        for (int i = 0; i < length; ++i) {
            if (value[i] == '\0') {
                current.push_back(field);
                field.clear();
            } else {
                field += value[i];
            }
        }
        if (!field.empty()) {
            current.push_back(field);
        }
    }
    current.resize(5);
    if (keymap != nullptr && current == names) {
        return true;
    }
    const auto orNull = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
    const xkb_rule_names rmlvo{orNull(current[0]), orNull(current[1]), orNull(current[2]), orNull(current[3]),
                               orNull(current[4])};
    xkb_keymap* fresh = xkb_keymap_new_from_names(context, &rmlvo, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (fresh == nullptr) {
        return keymap != nullptr;
    }
    xkb_keymap_unref(keymap);
    keymap = fresh;
    names = current;
    return true;
}

std::uint32_t CurrentKeyboardLayout::Impl::currentGroup() {
    xcb_connection_t* c = display.get();
    if (!xkbReady) {
        Injector::XReply<xcb_xkb_use_extension_reply_t> reply(xcb_xkb_use_extension_reply(
            c, xcb_xkb_use_extension(c, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION), nullptr));
        xkbReady = reply && reply->supported;
    }
    if (!*xkbReady) {
        return 0;
    }
    Injector::XReply<xcb_xkb_get_state_reply_t> state(
        xcb_xkb_get_state_reply(c, xcb_xkb_get_state(c, XCB_XKB_ID_USE_CORE_KBD), nullptr));
    return state ? state->group : 0;
}

CurrentKeyboardLayout::CurrentKeyboardLayout(const std::string& displayName)
    : impl_(std::make_unique<Impl>(displayName)) {}

CurrentKeyboardLayout::~CurrentKeyboardLayout() = default;

std::optional<KeyResult> CurrentKeyboardLayout::keyCode(const std::string& character) const {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->refresh()) {
        return std::nullopt;
    }
    return searchKeymap(impl_->keymap, asciiCapableGroup(impl_->keymap, impl_->currentGroup()), character);
}

std::optional<KeyResult> CurrentKeyboardLayout::menuKeyEquivalent(const std::string&, Modifiers) const {
    return std::nullopt;
}

}  // namespace Gestures
