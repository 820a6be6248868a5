#pragma once
// Reads a rectangle of the root window into BGRX memory with the pointer's cursor drawn in: MIT-SHM
// GetImage into a shared segment when the server offers it (no copy through the socket), plain GetImage
// otherwise; the cursor image comes from XFixes. Screens of 32 bits per pixel are read as they are; those
// of 16 (some VNC servers) are widened to BGRX as they are read. Internal to the module's X11 code.
//
// Thread: the thread that owns the connection.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "screen-view/RowRanges.h"
#include "screen-view/ScreenDisplayList.h"
#include "screen-view/XDisplayConnection.h"

namespace ScreenView {

class XScreenGrabber {
  public:
    enum class Outcome { grabbed, outsideScreen, failed };

    explicit XScreenGrabber(const XDisplayConnection& display);
    ~XScreenGrabber();
    XScreenGrabber(const XScreenGrabber&) = delete;
    XScreenGrabber& operator=(const XScreenGrabber&) = delete;

    // On `grabbed`, pixels() holds rect.width x rect.height BGRX pixels (stride width x 4) with the cursor
    // drawn in, until the next grab. `failed` sets `error` to a readable reason.
    Outcome grab(const DisplayBounds& rect, std::string& error);
    // Reads only rows [firstRow, endRow) of `rect` into the same rows of pixels(); the other rows keep what
    // earlier grabs of the same rectangle left there (undefined after a grab of another size). Draws no
    // cursor.
    Outcome grabRows(const DisplayBounds& rect, int firstRow, int endRow, std::string& error);
    const std::uint8_t* pixels() const { return pixels_; }
    int stride() const { return stride_; }
    bool usesSharedMemory() const { return shmSegment_ != 0; }

    // Reads the cursor's image and place (XFixes); false when there is none to draw.
    bool readCursor();
    // The rows of `rect` the cursor read last covers, clipped; empty when it lies outside.
    RowRange cursorRows(const DisplayBounds& rect) const;
    // Draws the cursor read last over pixels() (over rows grabbed since, or it is drawn twice).
    void drawCursor(const DisplayBounds& rect);

    // The most one request to the server reads; larger rectangles are read in bands of whole rows.
    static constexpr std::size_t maxBytesPerRequest = std::size_t{4} << 20;

  private:
    Outcome grabBand(const DisplayBounds& rect, int firstRow, int endRow, std::string& error);
    bool ensureSegment(std::size_t bytes);
    void releaseSegment();
    // Widens rows [firstRow, endRow) of 16-bit pixels at `raw` into the same rows of widened_.
    void widenRows(const std::uint8_t* raw, std::size_t rawStride, int width, int height, int firstRow,
                   int endRow);

    const XDisplayConnection& display_;
    bool hasShm_ = false;
    bool hasXFixes_ = false;
    bool supported_ = false;
    std::uint32_t shmSegment_ = 0;  // the server's id, 0 when none is attached
    int shmID_ = -1;
    std::uint8_t* shmAddress_ = nullptr;
    std::size_t shmBytes_ = 0;
    std::vector<std::uint8_t> plain_;
    int bitsPerPixel_ = 32;
    int scanlinePad_ = 32;
    bool swapBytes_ = false;
    std::vector<std::uint32_t> widenTable_;  // 16-bit pixel -> BGRX
    std::vector<std::uint8_t> widened_;
    std::uint8_t* pixels_ = nullptr;
    int stride_ = 0;
    struct Cursor {
        int left = 0, top = 0, width = 0, height = 0;  // root-window pixels
        std::vector<std::uint32_t> argb;               // premultiplied
    };
    std::optional<Cursor> cursor_;
};

}  // namespace ScreenView
