#pragma once
// The X server's keymap as xkbcommon sees it, read from the server itself through xkbcommon-x11: a
// keymap loaded with xkbcomp or edited with xmodmap is the one used, not one compiled again from the
// rule names. The keymap is read again after every change the server announces (a new keyboard from
// setxkbmap, a changed map, a core MappingNotify), with the keyboard's current layout group. Shared by
// the gesture side's keyboard layout, the unlocker's and the XTEST keyboard. Included only by .cpp files.
#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

struct xkb_context;
struct xkb_keymap;
struct xkb_state;

namespace Injector {

// Follows the keymap of the core keyboard on a connection the owner reads events from.
//
// Thread: the thread that owns the connection.
class XkbKeymapTracker {
  public:
    // `followsGroup`: the layout group is taken from the server's announcements of group changes, which
    // the owner hands to followGroupChange, so that group() costs no round trip once it is known.
    explicit XkbKeymapTracker(xcb_connection_t* connection, bool followsGroup = false);
    ~XkbKeymapTracker();
    XkbKeymapTracker(const XkbKeymapTracker&) = delete;
    XkbKeymapTracker& operator=(const XkbKeymapTracker&) = delete;

    // The XKB extension is set up on the connection and the keyboard's changes are asked for.
    bool ready();
    // The event announces a change of the keymap (an XKB event of those asked for, or a core
    // MappingNotify).
    bool announcesChange(const xcb_generic_event_t* event) const;
    // The next keymap() reads the keymap again, and a followed group is asked for again: a new keyboard
    // may bring other groups without announcing a group change.
    void markStale() {
        stale_ = true;
        groupKnown_ = false;
    }
    // Takes in the group the event announces; false when it announces no group change.
    bool followGroupChange(const xcb_generic_event_t* event);
    // The current keymap, read again first when a change was announced; null when there is none.
    xkb_keymap* keymap();
    // The effective layout group of the core keyboard (0 without XKB).
    std::uint32_t group();
    // The state's locked and latched modifiers, locked group and latched group, for putting them back.
    struct LockState {
        std::uint8_t lockedMods = 0;
        std::uint8_t latchedMods = 0;
        std::int16_t lockedGroup = 0;
        std::int16_t baseGroup = 0;
        std::int16_t latchedGroup = 0;
        std::uint8_t group = 0;
    };
    bool readState(LockState& state);
    std::int32_t deviceID() const { return device_; }

  private:
    xcb_connection_t* connection_;
    xkb_context* context_;
    xkb_keymap* keymap_ = nullptr;
    std::int32_t device_ = -1;
    std::uint8_t eventBase_ = 0;
    bool setUp_ = false;
    bool supported_ = false;
    bool stale_ = true;
    bool followsGroup_ = false;
    bool groupKnown_ = false;
    std::uint32_t group_ = 0;
};

// A connection of its own with a tracker, for callers on any thread.
//
// Thread: any; calls are serialised.
class XkbServerKeymap {
  public:
    explicit XkbServerKeymap(const std::string& displayName);
    ~XkbServerKeymap();
    XkbServerKeymap(const XkbServerKeymap&) = delete;
    XkbServerKeymap& operator=(const XkbServerKeymap&) = delete;

    // Runs `use` with the current keymap (refreshed first) and group, under the lock; false without a
    // keymap (no display, no XKB).
    template <typename Use>
    bool with(Use&& use) {
        std::lock_guard lock(mutex_);
        // Changes are taken from the announcements that have arrived, without a round trip of their own:
        // a lookup on the main loop should not wait on the server.
        xkb_keymap* keymap = refresh();
        if (keymap == nullptr) {
            return false;
        }
        use(keymap, currentGroup());
        return true;
    }

  private:
    xkb_keymap* refresh();
    std::uint32_t currentGroup();

    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::mutex mutex_;
};

// The UTF-32 character a key gives in a group with the given modifiers (xkbcommon mod names such as
// "Shift" and "Mod5"); 0 for none.
std::uint32_t keyCharacter(xkb_state* state, xkb_keymap* keymap, std::uint32_t group, bool shift,
                           bool levelThree, std::uint32_t xkbKeycode);

}  // namespace Injector
