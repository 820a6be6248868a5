#pragma once
// A client that reads keys the way ordinary X clients do: its own window holds the keyboard focus (or
// a keyboard grab, as a screen locker does), and a thread of its own decodes each KeyPress as it
// arrives with XLookupString against the keyboard mapping as it stands then, re-reading the mapping on
// every MappingNotify. What a test reads is what an application would have seen, races included.
//
// Thread: any; the reader thread runs until the object goes.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

class XKeyReader {
  public:
    struct Key {
        std::uint32_t keysym = 0;
        // Modifier state of the event (Shift 1, Lock 2, Control 4, Mod1 8, Mod4 64).
        std::uint16_t state = 0;
        bool press = true;
    };
    struct Options {
        // Take the whole keyboard with XGrabKeyboard, as a screen locker does.
        bool grabKeyboard = false;
    };

    // Throws std::runtime_error when the display cannot be reached.
    explicit XKeyReader(const std::string& displayName);
    XKeyReader(const std::string& displayName, Options options);
    ~XKeyReader();
    XKeyReader(const XKeyReader&) = delete;
    XKeyReader& operator=(const XKeyReader&) = delete;

    // The reader's window, which has the focus.
    unsigned long window() const;
    std::vector<Key> keys() const;
    // The characters of the key presses in order: symbols with a Unicode value, Return as "\n", Tab as
    // "\t"; modifier and other keys are left out. UTF-8.
    std::string text() const;
    // Waits until `count` presses of non-modifier keys have arrived; false on time-out.
    bool waitForPresses(std::size_t count, std::chrono::milliseconds timeout) const;
    // Waits until `count` key events (presses and releases of any key) have arrived.
    bool waitForKeys(std::size_t count, std::chrono::milliseconds timeout) const;
    // The server's core keyboard mapping, every key code and column, for comparing before and after.
    std::vector<std::uint32_t> keyboardMapping() const;
    // Locks or unlocks Caps Lock on the core keyboard.
    void setCapsLock(bool locked);
    bool capsLocked() const;
    // Locks or latches the core keyboard's real modifiers of `mask` (Shift 1, Lock 2, Mod5 0x80...) to
    // `values`, as a Shift Lock key, sticky keys or a Level 3 lock do; and reads them back.
    void lockModifiers(unsigned mask, unsigned values);
    void latchModifiers(unsigned mask, unsigned values);
    unsigned lockedModifiers() const;
    unsigned latchedModifiers() const;
    // Presses and releases the key of `keysym` in the keyboard's current group, as the user at the
    // keyboard would (through XTEST, on a connection of its own).
    void tapKey(std::uint32_t keysym);
    // Locks the core keyboard's layout group (0 the first), as a layout switcher does.
    void lockGroup(unsigned group);
    unsigned lockedGroup() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace testing_support
