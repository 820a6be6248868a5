#pragma once
// What changed on the screen since the last look: the areas X DAMAGE reports for the root window (all
// windows below it included), whether the cursor's image changed (XFixes cursor notify) and where the
// pointer is. Without DAMAGE every look reports the whole screen. Internal to the module's X11 code.
//
// Thread: the thread that owns the connection (the capture thread).
#include <cstdint>
#include <optional>
#include <vector>

#include "screen-view/ScreenDisplayList.h"
#include "screen-view/XDisplayConnection.h"

namespace ScreenView {

class XScreenChanges {
  public:
    struct Changes {
        bool everything = false;           // no DAMAGE to ask: assume all changed
        std::vector<DisplayBounds> areas;  // in root-window pixels
        bool cursorImageChanged = false;
        std::optional<std::pair<int, int>> pointer;  // root-window position, none when off this screen
    };

    explicit XScreenChanges(const XDisplayConnection& display);
    ~XScreenChanges();
    XScreenChanges(const XScreenChanges&) = delete;
    XScreenChanges& operator=(const XScreenChanges&) = delete;

    bool followsDamage() const { return damage_ != 0; }
    // Everything since the previous call (since construction for the first): one round trip, two when
    // something was drawn.
    Changes collect();

  private:
    const XDisplayConnection& display_;
    std::uint32_t damage_ = 0;
    std::uint32_t region_ = 0;
    std::uint8_t xfixesFirstEvent_ = 0;
    std::uint8_t damageFirstEvent_ = 0;
    // A notification came and its areas were not fetched yet; true at first, for what came before.
    bool damageNotified_ = true;
    bool cursorEvents_ = false;
};

}  // namespace ScreenView
