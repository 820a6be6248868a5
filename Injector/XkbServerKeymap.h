#pragma once
// The X server's keymap as xkbcommon sees it: built from the XKB rule names the server publishes on its
// root window (_XKB_RULES_NAMES, as setxkbmap sets them), read again at every call and rebuilt when they
// change, with the keyboard's current layout group. Shared by the gesture side's keyboard layout and the
// unlocker's. Included only by .cpp files.
//
// Thread: any; calls are serialised.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

struct xkb_keymap;
struct xkb_state;

namespace Injector {

class XkbServerKeymap {
  public:
    explicit XkbServerKeymap(const std::string& displayName);
    ~XkbServerKeymap();
    XkbServerKeymap(const XkbServerKeymap&) = delete;
    XkbServerKeymap& operator=(const XkbServerKeymap&) = delete;

    // Runs `use` with the current keymap (refreshed first) and group, under the lock; false without a
    // keymap (no display, no rule names that compile).
    template <typename Use>
    bool with(Use&& use) {
        std::lock_guard lock(mutex_);
        if (!refresh()) {
            return false;
        }
        use(keymap_, currentGroup());
        return true;
    }

  private:
    bool refresh();
    std::uint32_t currentGroup();

    struct Impl;
    std::unique_ptr<Impl> impl_;
    xkb_keymap* keymap_ = nullptr;
    std::mutex mutex_;
};

// The UTF-32 character a key gives in a group with the given modifiers (xkbcommon mod names such as
// "Shift" and "Mod5"); 0 for none.
std::uint32_t keyCharacter(xkb_state* state, xkb_keymap* keymap, std::uint32_t group, bool shift,
                           bool levelThree, std::uint32_t xkbKeycode);

}  // namespace Injector
