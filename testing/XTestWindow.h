#pragma once
// A window for end-to-end input tests: an override-redirect window covering the screen, holding the
// keyboard focus, that records the pointer buttons, motion and keys the X server delivers to it.
//
// Thread: the creating thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

class XTestWindow {
  public:
    struct Event {
        enum class Kind { buttonPress, buttonRelease, keyPress, keyRelease, motion };
        Kind kind = Kind::motion;
        // The button for button events, the key code for key events, 0 for motion.
        int detail = 0;
        // The key's symbol without modifiers (key events only).
        std::uint32_t keysym = 0;
        int x = 0;
        int y = 0;
        // Buttons and modifiers held just before the event.
        std::uint16_t state = 0;
        // The server's time of the event, in milliseconds.
        std::uint32_t time = 0;
    };

    // Throws std::runtime_error when the display cannot be reached.
    explicit XTestWindow(const std::string& displayName);
    ~XTestWindow();
    XTestWindow(const XTestWindow&) = delete;
    XTestWindow& operator=(const XTestWindow&) = delete;

    // Everything delivered so far that has not been taken yet. Makes one round trip first, so that
    // once another client's requests are known to be carried out (its own round trip), every event
    // they caused is included.
    std::vector<Event> takeEvents();

    struct Pointer {
        int x = 0;
        int y = 0;
        // Button and modifier mask; 0 when nothing is held.
        std::uint16_t mask = 0;
    };
    Pointer queryPointer();

    // The server's keyboard mapping, for tests of keymap changes. `bindKey` gives a key code one
    // symbol (0 removes its symbols); the others look at the first level of the first layout.
    void bindKey(int keycode, std::uint32_t keysym);
    std::optional<int> keycodeOf(std::uint32_t keysym) const;
    std::optional<int> unusedKeycode() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace testing_support
