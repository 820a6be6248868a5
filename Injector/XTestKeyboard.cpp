#include "Injector/XTestKeyboard.h"

#include <xcb/xcb.h>
// xkb.h names a field `explicit`, which C++ reserves.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "Injector/KeyVocabulary.h"
#include "Injector/XConnection.h"

namespace Injector {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint8_t lockMask = XCB_MOD_MASK_LOCK;

xcb_keysym_t modifierKeysym(Modifiers modifier) {
    if (modifier == Modifiers::shift) {
        return XKB_KEY_Shift_L;
    }
    if (modifier == Modifiers::control) {
        return XKB_KEY_Control_L;
    }
    if (modifier == Modifiers::option) {
        return XKB_KEY_Alt_L;
    }
    return XKB_KEY_Super_L;
}

}  // namespace

struct XTestKeyboard::Impl {
    Impl(XConnection& display, Options options) : display(display), options(options) {
        const xcb_setup_t* setup = xcb_get_setup(display.get());
        minKeycode = setup->min_keycode;
        maxKeycode = setup->max_keycode;
    }

    xcb_connection_t* connection() const { return display.get(); }
    void fake(bool down, xcb_keycode_t code) {
        xcb_test_fake_input(connection(), down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, code, XCB_CURRENT_TIME,
                            XCB_NONE, 0, 0, 0);
        if (down) {
            held.insert(code);
        } else {
            held.erase(code);
        }
    }
    void roundTrip() {
        XReply<xcb_get_input_focus_reply_t> reply(
            xcb_get_input_focus_reply(connection(), xcb_get_input_focus(connection()), nullptr));
    }
    bool loadMapping();
    xcb_keysym_t symbolAt(xcb_keycode_t code, int column) const {
        const std::size_t index = std::size_t(code - minKeycode) * perKeycode + std::size_t(column);
        return column < perKeycode && code >= minKeycode && index < symbols.size() ? symbols[index] : 0;
    }
    // A key that types the symbol on the first group: (code, needs Shift). Spare codes are left out.
    std::optional<std::pair<xcb_keycode_t, bool>> keyTyping(xcb_keysym_t keysym);
    std::optional<xcb_keycode_t> keycodeOf(xcb_keysym_t keysym);
    std::optional<xcb_keycode_t> spareFor(xcb_keysym_t keysym);
    // Binds the missing symbols of the scalars from `from` on, as many as spare codes are free
    // without waiting, so that the server announces them together ahead of their keys (a client
    // that reads a change re-reads the mapping before it looks up the next key).
    void prepareBindings(const std::u32string& scalars, std::size_t from);
    bool isBound(xcb_keysym_t keysym) const {
        return std::any_of(spares.begin(), spares.end(), [&](const Spare& s) { return s.bound == keysym; });
    }
    void bind(xcb_keycode_t code, xcb_keysym_t keysym);
    bool capsLocked();
    void setCapsLock(bool locked) {
        xcb_xkb_latch_lock_state(connection(), XCB_XKB_ID_USE_CORE_KBD, lockMask, locked ? lockMask : 0, 0, 0,
                                 0, 0, 0);
    }

    XConnection& display;
    Options options;
    int minKeycode = 8;
    int maxKeycode = 255;
    bool mappingLoaded = false;
    int perKeycode = 0;
    std::vector<xcb_keysym_t> symbols;
    std::set<xcb_keycode_t> held;
    std::optional<bool> xkbReady;

    struct Spare {
        xcb_keycode_t code = 0;
        xcb_keysym_t bound = 0;  // 0: not bound
        Clock::time_point released{};
        std::uint64_t lastUse = 0;
    };
    std::vector<Spare> spares;
    bool sparesFound = false;
    std::uint64_t uses = 0;
    // Mapping changes of our own whose notification has not come back yet.
    std::multiset<xcb_keycode_t> ownChanges;
};

bool XTestKeyboard::Impl::loadMapping() {
    if (mappingLoaded) {
        return true;
    }
    const int count = maxKeycode - minKeycode + 1;
    XReply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
        connection(), xcb_get_keyboard_mapping(connection(), xcb_keycode_t(minKeycode), std::uint8_t(count)),
        nullptr));
    if (!reply) {
        return false;
    }
    perKeycode = reply->keysyms_per_keycode;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
    symbols.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(reply.get()));
    mappingLoaded = perKeycode > 0;
    if (!sparesFound && mappingLoaded) {
        sparesFound = true;
        for (int code = minKeycode; code <= maxKeycode; ++code) {
            bool empty = true;
            for (int column = 0; column < perKeycode && empty; ++column) {
                empty = symbolAt(xcb_keycode_t(code), column) == 0;
            }
            if (empty) {
                spares.push_back({xcb_keycode_t(code)});
            }
        }
    }
    return mappingLoaded;
}

std::optional<std::pair<xcb_keycode_t, bool>> XTestKeyboard::Impl::keyTyping(xcb_keysym_t keysym) {
    if (!loadMapping()) {
        return std::nullopt;
    }
    for (int column = 0; column < 2; ++column) {
        for (int code = minKeycode; code <= maxKeycode; ++code) {
            const bool spare =
                std::any_of(spares.begin(), spares.end(), [&](const Spare& s) { return s.code == code; });
            if (!spare && symbolAt(xcb_keycode_t(code), column) == keysym) {
                return std::make_pair(xcb_keycode_t(code), column == 1);
            }
        }
    }
    return std::nullopt;
}

std::optional<xcb_keycode_t> XTestKeyboard::Impl::keycodeOf(xcb_keysym_t keysym) {
    if (auto found = keyTyping(keysym); found && !found->second) {
        return found->first;
    }
    return std::nullopt;
}

void XTestKeyboard::Impl::bind(xcb_keycode_t code, xcb_keysym_t keysym) {
    const xcb_keysym_t syms[2] = {keysym, keysym};
    xcb_change_keyboard_mapping(connection(), 1, code, 2, syms);
    ownChanges.insert(code);
    if (mappingLoaded && code >= minKeycode) {
        for (int column = 0; column < perKeycode; ++column) {
            symbols[std::size_t(code - minKeycode) * perKeycode + std::size_t(column)] =
                column < 2 ? keysym : 0;
        }
    }
}

std::optional<xcb_keycode_t> XTestKeyboard::Impl::spareFor(xcb_keysym_t keysym) {
    if (!loadMapping() || spares.empty()) {
        return std::nullopt;
    }
    for (Spare& spare : spares) {
        if (spare.bound == keysym) {
            spare.lastUse = ++uses;
            return spare.code;
        }
    }
    // Never-bound codes first, then the one used longest ago.
    auto choice = std::min_element(spares.begin(), spares.end(), [](const Spare& a, const Spare& b) {
        if ((a.bound == 0) != (b.bound == 0)) {
            return a.bound == 0;
        }
        return a.lastUse < b.lastUse;
    });
    if (choice->bound != 0) {
        // The clients must have read the old binding before it changes: the server must have passed
        // the key on (a round trip), and they need a moment to look the key up.
        roundTrip();
        const auto ready = choice->released + options.bindingSettle;
        if (Clock::now() < ready) {
            std::this_thread::sleep_until(ready);
        }
    }
    bind(choice->code, keysym);
    choice->bound = keysym;
    choice->lastUse = ++uses;
    return choice->code;
}

void XTestKeyboard::Impl::prepareBindings(const std::u32string& scalars, std::size_t from) {
    std::set<xcb_keysym_t> pending;
    for (std::size_t i = from; i < scalars.size(); ++i) {
        const xcb_keysym_t keysym = xkb_utf32_to_keysym(scalars[i]);
        if (keysym == XKB_KEY_NoSymbol || isBound(keysym) || pending.contains(keysym) || keyTyping(keysym)) {
            continue;
        }
        // Only codes that are free now: never bound, or settled and not needed by this batch.
        const auto now = Clock::now();
        const bool free = std::any_of(spares.begin(), spares.end(), [&](const Spare& s) {
            return s.bound == 0 || (s.released + options.bindingSettle <= now && !pending.contains(s.bound));
        });
        if (!free || pending.size() >= spares.size()) {
            break;
        }
        pending.insert(keysym);
        spareFor(keysym);
    }
}

bool XTestKeyboard::Impl::capsLocked() {
    if (!xkbReady) {
        XReply<xcb_xkb_use_extension_reply_t> reply(xcb_xkb_use_extension_reply(
            connection(), xcb_xkb_use_extension(connection(), XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION),
            nullptr));
        xkbReady = reply && reply->supported;
    }
    if (!*xkbReady) {
        return false;
    }
    XReply<xcb_xkb_get_state_reply_t> state(xcb_xkb_get_state_reply(
        connection(), xcb_xkb_get_state(connection(), XCB_XKB_ID_USE_CORE_KBD), nullptr));
    return state && (state->lockedMods & lockMask) != 0;
}

XTestKeyboard::XTestKeyboard(XConnection& display) : XTestKeyboard(display, Options{}) {}

XTestKeyboard::XTestKeyboard(XConnection& display, Options options)
    : impl_(std::make_unique<Impl>(display, options)) {}

XTestKeyboard::~XTestKeyboard() {
    if (!impl_->display.usable()) {
        return;
    }
    releaseAll();
    restoreBindings(true);
    xcb_flush(impl_->connection());
}

void XTestKeyboard::key(std::uint16_t virtualKeyCode, bool down) {
    std::optional<xcb_keycode_t> code;
    if (const std::optional<Modifiers> modifier = KeyCode::modifierOfKey(virtualKeyCode)) {
        code = impl_->keycodeOf(modifierKeysym(*modifier));
    }
    if (!code) {
        const std::optional<std::uint16_t> evdev = KeyCode::evdevKeyCode(virtualKeyCode);
        if (!evdev || *evdev + 8 > impl_->maxKeycode) {
            return;
        }
        code = xcb_keycode_t(*evdev + 8);
    }
    if (!down && !impl_->held.contains(*code)) {
        return;
    }
    impl_->fake(down, *code);
}

std::size_t XTestKeyboard::type(const std::u32string& scalars) {
    Impl& d = *impl_;
    std::size_t typed = 0;
    const bool capsLock = d.capsLocked();
    if (capsLock) {
        d.setCapsLock(false);
    }
    const std::optional<xcb_keycode_t> shift = d.keycodeOf(XKB_KEY_Shift_L);
    for (std::size_t i = 0; i < scalars.size(); ++i) {
        const xcb_keysym_t keysym = xkb_utf32_to_keysym(scalars[i]);
        if (keysym == XKB_KEY_NoSymbol) {
            continue;
        }
        auto key = d.keyTyping(keysym);
        if (key && key->second && !shift) {
            key.reset();
        }
        if (key) {
            if (key->second) {
                d.fake(true, *shift);
            }
            d.fake(true, key->first);
            d.fake(false, key->first);
            if (key->second) {
                d.fake(false, *shift);
            }
            ++typed;
            continue;
        }
        if (!d.isBound(keysym)) {
            d.prepareBindings(scalars, i);
        }
        const std::optional<xcb_keycode_t> spare = d.spareFor(keysym);
        if (!spare) {
            continue;
        }
        d.fake(true, *spare);
        d.fake(false, *spare);
        for (Impl::Spare& s : d.spares) {
            if (s.code == *spare) {
                s.released = Clock::now();
            }
        }
        ++typed;
    }
    if (capsLock) {
        d.setCapsLock(true);
    }
    xcb_flush(d.connection());
    return typed;
}

void XTestKeyboard::releaseAll() {
    const std::set<xcb_keycode_t> held = impl_->held;
    for (const xcb_keycode_t code : held) {
        impl_->fake(false, code);
    }
    xcb_flush(impl_->connection());
}

void XTestKeyboard::restoreBindings(bool waitForAll) {
    Impl& d = *impl_;
    if (!hasBindings()) {
        return;
    }
    d.roundTrip();
    for (Impl::Spare& spare : d.spares) {
        if (spare.bound == 0) {
            continue;
        }
        const auto ready = spare.released + d.options.restoreSettle;
        if (Clock::now() < ready) {
            if (!waitForAll) {
                continue;
            }
            std::this_thread::sleep_until(ready);
        }
        d.bind(spare.code, 0);
        spare.bound = 0;
    }
    xcb_flush(d.connection());
}

bool XTestKeyboard::hasBindings() const {
    return std::any_of(impl_->spares.begin(), impl_->spares.end(),
                       [](const Impl::Spare& s) { return s.bound != 0; });
}

bool XTestKeyboard::isHolding() const {
    return !impl_->held.empty();
}

void XTestKeyboard::mappingNotified(std::uint8_t request, std::uint8_t firstKeycode, std::uint8_t count) {
    Impl& d = *impl_;
    if (request != XCB_MAPPING_KEYBOARD) {
        return;
    }
    if (count == 1) {
        if (auto own = d.ownChanges.find(firstKeycode); own != d.ownChanges.end()) {
            d.ownChanges.erase(own);
            return;
        }
    }
    // Someone else changed the mapping: read it again before the next look-up.
    d.mappingLoaded = false;
}

}  // namespace Injector
