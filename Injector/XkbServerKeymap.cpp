#include "Injector/XkbServerKeymap.h"

#include <xcb/xcb.h>
// xkb.h names a field `explicit`, which C++ reserves.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon.h>

#include <optional>
#include <vector>

#include "Injector/XConnection.h"

namespace Injector {

struct XkbServerKeymap::Impl {
    explicit Impl(const std::string& displayName)
        : display(displayName), context(xkb_context_new(XKB_CONTEXT_NO_FLAGS)) {}
    ~Impl() { xkb_context_unref(context); }

    XConnection display;
    xkb_context* context;
    std::vector<std::string> names;
    xcb_atom_t namesAtom = XCB_NONE;
    std::optional<bool> xkbReady;
};

XkbServerKeymap::XkbServerKeymap(const std::string& displayName)
    : impl_(std::make_unique<Impl>(displayName)) {}

XkbServerKeymap::~XkbServerKeymap() {
    xkb_keymap_unref(keymap_);
}

bool XkbServerKeymap::refresh() {
    Impl& d = *impl_;
    if (!d.display.usable() || d.context == nullptr) {
        return keymap_ != nullptr;
    }
    xcb_connection_t* c = d.display.get();
    if (d.namesAtom == XCB_NONE) {
        XReply<xcb_intern_atom_reply_t> atom(
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, 16, "_XKB_RULES_NAMES"), nullptr));
        if (!atom || atom->atom == XCB_NONE) {
            return keymap_ != nullptr;
        }
        d.namesAtom = atom->atom;
    }
    XReply<xcb_get_property_reply_t> property(xcb_get_property_reply(
        c, xcb_get_property(c, 0, d.display.root(), d.namesAtom, XCB_ATOM_STRING, 0, 1024), nullptr));
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
    if (keymap_ != nullptr && current == d.names) {
        return true;
    }
    const auto orNull = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
    const xkb_rule_names rmlvo{orNull(current[0]), orNull(current[1]), orNull(current[2]), orNull(current[3]),
                               orNull(current[4])};
    xkb_keymap* fresh = xkb_keymap_new_from_names(d.context, &rmlvo, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (fresh == nullptr) {
        return keymap_ != nullptr;
    }
    xkb_keymap_unref(keymap_);
    keymap_ = fresh;
    d.names = current;
    return true;
}

std::uint32_t XkbServerKeymap::currentGroup() {
    Impl& d = *impl_;
    if (!d.display.usable()) {
        return 0;
    }
    xcb_connection_t* c = d.display.get();
    if (!d.xkbReady) {
        XReply<xcb_xkb_use_extension_reply_t> reply(xcb_xkb_use_extension_reply(
            c, xcb_xkb_use_extension(c, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION), nullptr));
        d.xkbReady = reply && reply->supported;
    }
    if (!*d.xkbReady) {
        return 0;
    }
    XReply<xcb_xkb_get_state_reply_t> state(
        xcb_xkb_get_state_reply(c, xcb_xkb_get_state(c, XCB_XKB_ID_USE_CORE_KBD), nullptr));
    return state ? state->group : 0;
}

std::uint32_t keyCharacter(xkb_state* state, xkb_keymap* keymap, std::uint32_t group, bool shift,
                           bool levelThree, std::uint32_t xkbKeycode) {
    xkb_mod_mask_t mods = 0;
    if (shift) {
        if (const xkb_mod_index_t index = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
            index != XKB_MOD_INVALID) {
            mods |= 1u << index;
        }
    }
    if (levelThree) {
        if (const xkb_mod_index_t index = xkb_keymap_mod_get_index(keymap, "Mod5");
            index != XKB_MOD_INVALID) {
            mods |= 1u << index;
        }
    }
    xkb_state_update_mask(state, mods, 0, 0, 0, 0, group);
    return xkb_state_key_get_utf32(state, xkbKeycode);
}

}  // namespace Injector
