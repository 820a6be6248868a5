#pragma once
// The user's own keymap tool, which holds the server while it looks and maps keys, so that a test can
// change the keymap at a known point of what another client types: with the server held no other
// client's request is carried out, and the key presses sent so far are counted by a marker key.
// The presses are watched on a connection of their own that looks nothing up, so a held server
// never holds the watch up, and they come in the order the server sent them.
//
// Thread: the tool's calls from one thread; the watch runs on a thread of its own.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

class KeymapUser {
  public:
    struct Press {
        std::uint8_t code = 0;
        std::chrono::steady_clock::time_point arrived;
    };

    // Watches the key presses delivered to `window` (the focus). Throws std::runtime_error when the
    // display cannot be reached.
    KeymapUser(const std::string& displayName, unsigned long window);
    ~KeymapUser();
    KeymapUser(const KeymapUser&) = delete;
    KeymapUser& operator=(const KeymapUser&) = delete;

    std::vector<Press> presses() const;
    // Waits until `count` presses have been seen; false on time-out.
    bool waitForPresses(std::size_t count, std::chrono::milliseconds timeout) const;
    // The server carries out only this tool's requests until release.
    void holdServer();
    void releaseServer();
    // Presses and releases the marker key (space) and waits for the watch to see it: the presses before
    // it, the marker's earlier ones included. Nullopt on time-out.
    std::optional<std::vector<Press>> mark(std::chrono::milliseconds timeout);
    std::uint8_t markerCode() const { return marker_; }
    // The core keyboard mapping as the server has it now, indexed by key code (those below the first
    // are empty): `perKeycode` columns each.
    std::vector<std::uint32_t> keyboardMapping(std::size_t& perKeycode);
    // Gives the code a single symbol, as `xmodmap -e "keycode N = sym"` does.
    void mapKey(std::uint8_t code, std::uint32_t keysym);
    std::uint8_t keycodeOf(std::uint32_t keysym);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::uint8_t marker_ = 0;
};

}  // namespace testing_support
