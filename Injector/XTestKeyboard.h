#pragma once
// Keyboard input through XTEST on an existing X connection, shared by every poster that types: virtual
// key codes become X key codes through the evdev table, the four modifiers become Super_L, Alt_L,
// Control_L and Shift_L, and text is typed character by character. A character the keymap has is typed
// on its own key (with Shift when it sits on the shifted level); any other character is bound to a spare
// key code (one without symbols), which keeps the binding until the receiving clients have had time to
// read the new mapping: clients look a key up in the mapping as it is when they process the event, so a
// binding restored at once would make them read nothing or a neighbour. Spare codes are used round-robin,
// a code is rebound only a settle time after its key went up, and every binding is restored (to no
// symbols, as before) by restoreBindings or when the keyboard goes. Caps Lock is lifted while text is
// typed and locked again afterwards, so it never flips typed letters.
//
// Thread: the thread of the owning poster. Included only by .cpp files (the connection is xcb's).
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace Injector {

class XConnection;

class XTestKeyboard {
  public:
    struct Options {
        // Least time between a bound key going up and its spare code being bound to something else.
        std::chrono::milliseconds bindingSettle{100};
        // Least time between a bound key going up and its binding being restored. Longer, as nothing
        // is waiting for it and a busy client may read its events late.
        std::chrono::milliseconds restoreSettle{400};
    };

    // The connection must outlive the keyboard and offer XTEST.
    explicit XTestKeyboard(XConnection& display);
    XTestKeyboard(XConnection& display, Options options);
    // Releases every key still held and restores every binding, waiting for their settle time.
    ~XTestKeyboard();
    XTestKeyboard(const XTestKeyboard&) = delete;
    XTestKeyboard& operator=(const XTestKeyboard&) = delete;

    // Presses or releases the key of a virtual key code. Modifier keys press their left modifier by
    // symbol; a code without a Linux key does nothing.
    void key(std::uint16_t virtualKeyCode, bool down);
    // Types the characters in order (a press and a release each). Scalars without a keyboard symbol
    // are left out. Returns the number of scalars typed.
    std::size_t type(const std::u32string& scalars);
    // Releases every key this keyboard pressed and has not released.
    void releaseAll();
    // Restores the spare codes whose settle time has passed; with `waitForAll`, waits for the others
    // and restores them too, after a round trip.
    void restoreBindings(bool waitForAll);
    bool hasBindings() const;
    bool isHolding() const;
    // Called by the owner for each MappingNotify event read from the connection.
    void mappingNotified(std::uint8_t request, std::uint8_t firstKeycode, std::uint8_t count);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Injector
