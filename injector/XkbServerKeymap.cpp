#include "injector/XkbServerKeymap.h"

// xkb.h names a field `explicit`, which C++ reserves.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdlib>

#include "injector/XConnection.h"

#if defined(LUMIVEX_ADDRESS_SANITIZER)
// xkbcommon-x11 copies atom names with strndup() from replies that hold no terminator. strndup reads
// no further than its bound, but AddressSanitizer's strict string checks measure the whole string.
extern "C" const char* __asan_default_suppressions() {
    return "interceptor_via_lib:libxkbcommon-x11.so\n";
}
#endif

namespace Injector {

XkbKeymapTracker::XkbKeymapTracker(xcb_connection_t* connection, bool followsGroup)
    : connection_(connection), context_(xkb_context_new(XKB_CONTEXT_NO_FLAGS)), followsGroup_(followsGroup) {}

XkbKeymapTracker::~XkbKeymapTracker() {
    xkb_keymap_unref(keymap_);
    xkb_context_unref(context_);
}

bool XkbKeymapTracker::ready() {
    if (setUp_) {
        return supported_;
    }
    setUp_ = true;
    if (connection_ == nullptr || context_ == nullptr || xcb_connection_has_error(connection_) != 0) {
        return false;
    }
    std::uint16_t major = 0;
    std::uint16_t minor = 0;
    std::uint8_t errorBase = 0;
    if (xkb_x11_setup_xkb_extension(connection_, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                    XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, &major, &minor, &eventBase_,
                                    &errorBase) == 0) {
        return false;
    }
    device_ = xkb_x11_get_core_keyboard_device_id(connection_);
    if (device_ < 0) {
        return false;
    }
    // Asked before the keymap is first read, so no change between the two goes unseen.
    std::uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
    if (followsGroup_) {
        events |= XCB_XKB_EVENT_TYPE_STATE_NOTIFY;
    }
    constexpr std::uint16_t mapParts = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS |
                                       XCB_XKB_MAP_PART_MODIFIER_MAP | XCB_XKB_MAP_PART_EXPLICIT_COMPONENTS |
                                       XCB_XKB_MAP_PART_KEY_ACTIONS | XCB_XKB_MAP_PART_VIRTUAL_MODS |
                                       XCB_XKB_MAP_PART_VIRTUAL_MOD_MAP;
    xcb_xkb_select_events_details_t details{};
    details.affectNewKeyboard = XCB_XKB_NKN_DETAIL_KEYCODES;
    details.newKeyboardDetails = XCB_XKB_NKN_DETAIL_KEYCODES;
    // Of the state, only the group: modifiers change with every key press.
    details.affectState = XCB_XKB_STATE_PART_GROUP_STATE;
    details.stateDetails = XCB_XKB_STATE_PART_GROUP_STATE;
    const XReply<xcb_generic_error_t> error(xcb_request_check(
        connection_, xcb_xkb_select_events_aux_checked(connection_, std::uint16_t(device_), events, 0, 0,
                                                       mapParts, mapParts, &details)));
    supported_ = !error;
    return supported_;
}

bool XkbKeymapTracker::announcesChange(const xcb_generic_event_t* event) const {
    const std::uint8_t type = event->response_type & 0x7F;
    // Every XKB event shares the extension's one event code; the second byte tells which it is.
    const std::uint8_t xkbType = event->pad0;
    return (supported_ && type == eventBase_ &&
            (xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY || xkbType == XCB_XKB_MAP_NOTIFY)) ||
           type == XCB_MAPPING_NOTIFY;
}

bool XkbKeymapTracker::followGroupChange(const xcb_generic_event_t* event) {
    if (!supported_ || (event->response_type & 0x7F) != eventBase_ || event->pad0 != XCB_XKB_STATE_NOTIFY) {
        return false;
    }
    group_ = reinterpret_cast<const xcb_xkb_state_notify_event_t*>(event)->group;
    groupKnown_ = followsGroup_;
    return true;
}

xkb_keymap* XkbKeymapTracker::keymap() {
    if (!ready()) {
        return nullptr;
    }
    if (stale_ || keymap_ == nullptr) {
        if (xkb_keymap* fresh =
                xkb_x11_keymap_new_from_device(context_, connection_, device_, XKB_KEYMAP_COMPILE_NO_FLAGS)) {
            xkb_keymap_unref(keymap_);
            keymap_ = fresh;
            stale_ = false;
        }
    }
    return keymap_;
}

bool XkbKeymapTracker::readState(LockState& state) {
    if (!ready()) {
        return false;
    }
    const XReply<xcb_xkb_get_state_reply_t> reply(xcb_xkb_get_state_reply(
        connection_, xcb_xkb_get_state(connection_, std::uint16_t(device_)), nullptr));
    if (!reply) {
        return false;
    }
    state.lockedMods = reply->lockedMods;
    state.latchedMods = reply->latchedMods;
    state.lockedGroup = reply->lockedGroup;
    state.baseGroup = reply->baseGroup;
    state.latchedGroup = reply->latchedGroup;
    state.group = reply->group;
    return true;
}

std::uint32_t XkbKeymapTracker::group() {
    if (followsGroup_ && groupKnown_) {
        return group_;
    }
    LockState state;
    if (!readState(state)) {
        return 0;
    }
    // Changes announced before this answer and read after it end in the same group.
    group_ = state.group;
    groupKnown_ = followsGroup_;
    return group_;
}

struct XkbServerKeymap::Impl {
    explicit Impl(const std::string& displayName) : display(displayName), tracker(display.get(), true) {}

    XConnection display;
    XkbKeymapTracker tracker;
};

XkbServerKeymap::XkbServerKeymap(const std::string& displayName)
    : impl_(std::make_unique<Impl>(displayName)) {}

XkbServerKeymap::~XkbServerKeymap() = default;

xkb_keymap* XkbServerKeymap::refresh() {
    Impl& d = *impl_;
    if (!d.display.usable()) {
        return nullptr;
    }
    if (d.tracker.ready()) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(d.display.get())) {
            if (d.tracker.announcesChange(event)) {
                d.tracker.markStale();
            } else {
                d.tracker.followGroupChange(event);
            }
            std::free(event);
        }
    }
    return d.tracker.keymap();
}

std::uint32_t XkbServerKeymap::currentGroup() {
    return impl_->display.usable() ? impl_->tracker.group() : 0;
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
