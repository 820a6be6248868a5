#pragma once
// Reads a rectangle of the root window into BGRX memory with the pointer's cursor drawn in: MIT-SHM
// GetImage into a shared segment when the server offers it (no copy through the socket), plain GetImage
// otherwise; the cursor image comes from XFixes. Internal to the module's X11 code.
//
// Thread: the thread that owns the connection.
#include <cstdint>
#include <string>
#include <vector>

#include "ScreenView/ScreenDisplayList.h"
#include "ScreenView/XDisplayConnection.h"

namespace ScreenView {

class XScreenGrabber {
  public:
    enum class Outcome { grabbed, outsideScreen, failed };

    explicit XScreenGrabber(const XDisplayConnection& display);
    ~XScreenGrabber();
    XScreenGrabber(const XScreenGrabber&) = delete;
    XScreenGrabber& operator=(const XScreenGrabber&) = delete;

    // On `grabbed`, pixels() holds rect.width x rect.height BGRX pixels (stride width x 4) until the next
    // grab. `failed` sets `error` to a readable reason.
    Outcome grab(const DisplayBounds& rect, std::string& error);
    const std::uint8_t* pixels() const { return pixels_; }
    int stride() const { return stride_; }
    bool usesSharedMemory() const { return shmSegment_ != 0; }

  private:
    bool ensureSegment(std::size_t bytes);
    void releaseSegment();
    void drawCursor(const DisplayBounds& rect);

    const XDisplayConnection& display_;
    bool hasShm_ = false;
    bool hasXFixes_ = false;
    bool supported_ = false;
    std::uint32_t shmSegment_ = 0;  // the server's id, 0 when none is attached
    int shmID_ = -1;
    std::uint8_t* shmAddress_ = nullptr;
    std::size_t shmBytes_ = 0;
    std::vector<std::uint8_t> plain_;
    std::uint8_t* pixels_ = nullptr;
    int stride_ = 0;
};

}  // namespace ScreenView
