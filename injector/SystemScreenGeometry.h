#pragma once
// The system ScreenGeometry: the RandR monitors of the X screen and the pointer's place on its root
// window, read over a connection of its own.
//
// Thread: one thread at a time.
#include <memory>
#include <string>

#include "injector/ScreenGeometry.h"

namespace Injector {

class SystemScreenGeometry final : public ScreenGeometry {
  public:
    // Connects to the named display (empty: $DISPLAY). Without a display, the pointer location is
    // none and the display list empty.
    explicit SystemScreenGeometry(const std::string& displayName = {});
    ~SystemScreenGeometry() override;
    SystemScreenGeometry(const SystemScreenGeometry&) = delete;
    SystemScreenGeometry& operator=(const SystemScreenGeometry&) = delete;

    std::optional<Point> cursorLocation() override;
    // The active monitors, the primary one first and the others in the server's order. A server
    // without RandR monitors has the whole screen as its one display.
    std::vector<Rect> displays() override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Injector
