#include "screen-view/XScreenGrabber.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstring>

namespace ScreenView {

namespace {

constexpr std::uint8_t badMatch = 8;

struct RootFormat {
    int bitsPerPixel = 0;
    int scanlinePad = 32;
    bool msbFirst = false;
    std::uint32_t red = 0, green = 0, blue = 0;  // the root visual's masks
};

RootFormat rootFormat(xcb_connection_t* connection, const xcb_screen_t* screen) {
    RootFormat format;
    const xcb_setup_t* setup = xcb_get_setup(connection);
    format.msbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
        if (it.data->depth == screen->root_depth) {
            format.bitsPerPixel = it.data->bits_per_pixel;
            format.scanlinePad = it.data->scanline_pad;
        }
    }
    for (auto depth = xcb_screen_allowed_depths_iterator(screen); depth.rem > 0; xcb_depth_next(&depth)) {
        for (auto visual = xcb_depth_visuals_iterator(depth.data); visual.rem > 0;
             xcb_visualtype_next(&visual)) {
            if (visual.data->visual_id == screen->root_visual &&
                visual.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR) {
                format.red = visual.data->red_mask;
                format.green = visual.data->green_mask;
                format.blue = visual.data->blue_mask;
            }
        }
    }
    return format;
}

// The 8-bit value of the bits `mask` picks out of `pixel`.
std::uint32_t channel(std::uint32_t pixel, std::uint32_t mask) {
    if (mask == 0) {
        return 0;
    }
    const int shift = __builtin_ctz(mask);
    const std::uint32_t top = mask >> shift;
    return (((pixel & mask) >> shift) * 255 + top / 2) / top;
}

}  // namespace

XScreenGrabber::XScreenGrabber(const XDisplayConnection& display) : display_(display) {
    if (!display.usable()) {
        return;
    }
    xcb_connection_t* connection = display.get();
    const RootFormat format = rootFormat(connection, display.screen());
    bitsPerPixel_ = format.bitsPerPixel;
    scanlinePad_ = std::max<int>(format.scanlinePad, 8);
    if (bitsPerPixel_ == 32) {
        supported_ = !format.msbFirst;
    } else if (bitsPerPixel_ == 16 && format.red != 0 && format.green != 0 && format.blue != 0) {
        supported_ = true;
        swapBytes_ = format.msbFirst;
        widenTable_.resize(65536);
        for (std::uint32_t pixel = 0; pixel < 65536; ++pixel) {
            widenTable_[pixel] = channel(pixel, format.blue) | channel(pixel, format.green) << 8 |
                                 channel(pixel, format.red) << 16 | 0xff000000u;
        }
    }
    if (display.has(&xcb_shm_id)) {
        const XReply<xcb_shm_query_version_reply_t> version(
            xcb_shm_query_version_reply(connection, xcb_shm_query_version(connection), nullptr));
        hasShm_ = version != nullptr;
    }
    if (display.has(&xcb_xfixes_id)) {
        const XReply<xcb_xfixes_query_version_reply_t> version(
            xcb_xfixes_query_version_reply(connection, xcb_xfixes_query_version(connection, 4, 0), nullptr));
        hasXFixes_ = version && version->major_version >= 1;
    }
}

XScreenGrabber::~XScreenGrabber() {
    releaseSegment();
}

void XScreenGrabber::releaseSegment() {
    if (shmSegment_ != 0) {
        if (display_.usable()) {
            xcb_shm_detach(display_.get(), shmSegment_);
            xcb_flush(display_.get());
        }
        shmSegment_ = 0;
    }
    if (shmAddress_ != nullptr) {
        shmdt(shmAddress_);
        shmAddress_ = nullptr;
    }
    shmBytes_ = 0;
}

bool XScreenGrabber::ensureSegment(std::size_t bytes) {
    if (shmSegment_ != 0 && shmBytes_ >= bytes) {
        return true;
    }
    releaseSegment();
    shmID_ = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (shmID_ < 0) {
        return false;
    }
    void* address = shmat(shmID_, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        shmctl(shmID_, IPC_RMID, nullptr);
        return false;
    }
    shmAddress_ = static_cast<std::uint8_t*>(address);
    xcb_connection_t* connection = display_.get();
    const std::uint32_t segment = xcb_generate_id(connection);
    xcb_generic_error_t* error = xcb_request_check(
        connection, xcb_shm_attach_checked(connection, segment, static_cast<std::uint32_t>(shmID_), 0));
    // Marked for removal at once: the segment goes away with the last attachment, even if we crash.
    shmctl(shmID_, IPC_RMID, nullptr);
    if (error != nullptr) {
        std::free(error);
        shmdt(shmAddress_);
        shmAddress_ = nullptr;
        return false;
    }
    shmSegment_ = segment;
    shmBytes_ = bytes;
    return true;
}

XScreenGrabber::Outcome XScreenGrabber::grab(const DisplayBounds& rect, std::string& error) {
    const Outcome outcome = grabRows(rect, 0, rect.height, error);
    if (outcome == Outcome::grabbed && readCursor()) {
        drawCursor(rect);
    }
    return outcome;
}

XScreenGrabber::Outcome XScreenGrabber::grabRows(const DisplayBounds& rect, int firstRow, int endRow,
                                                 std::string& error) {
    // The server does nothing else while it copies an image, for any client: a whole large monitor at
    // once would hold up every other program's requests (the companion's own main loop among them) for
    // tens of milliseconds. Read in bands of a few megabytes, it lets them in between.
    const int rowsPerBand = static_cast<int>(std::max<std::size_t>(
        1, maxBytesPerRequest / (static_cast<std::size_t>(std::max(rect.width, 1)) * 4)));
    firstRow = std::clamp(firstRow, 0, std::max(rect.height, 0));
    endRow = std::clamp(endRow, firstRow, std::max(rect.height, 0));
    Outcome outcome = grabBand(rect, firstRow, std::min(endRow, firstRow + rowsPerBand), error);
    for (int top = firstRow + rowsPerBand; top < endRow && outcome == Outcome::grabbed; top += rowsPerBand) {
        outcome = grabBand(rect, top, std::min(endRow, top + rowsPerBand), error);
    }
    return outcome;
}

XScreenGrabber::Outcome XScreenGrabber::grabBand(const DisplayBounds& rect, int firstRow, int endRow,
                                                 std::string& error) {
    if (!display_.usable()) {
        error = "the X display connection is broken";
        return Outcome::failed;
    }
    if (!supported_) {
        error =
            "the X display stores " + std::to_string(bitsPerPixel_) + " bits per pixel, which cannot be read";
        return Outcome::failed;
    }
    if (rect.width < 1 || rect.height < 1) {
        return Outcome::outsideScreen;
    }
    firstRow = std::clamp(firstRow, 0, rect.height);
    endRow = std::clamp(endRow, firstRow, rect.height);
    xcb_connection_t* connection = display_.get();
    // The server's rows: whole pixels, padded to its scanline unit.
    const std::size_t padBytes = static_cast<std::size_t>(scanlinePad_) / 8;
    const std::size_t rowBytes =
        (static_cast<std::size_t>(rect.width) * static_cast<std::size_t>(bitsPerPixel_) / 8 + padBytes - 1) /
        padBytes * padBytes;
    const std::size_t bytes = rowBytes * static_cast<std::size_t>(rect.height);
    stride_ = rect.width * 4;
    if (endRow == firstRow) {
        return Outcome::grabbed;
    }
    const auto x = static_cast<std::int16_t>(rect.x);
    const auto y = static_cast<std::int16_t>(rect.y + firstRow);
    const auto w = static_cast<std::uint16_t>(rect.width);
    const auto h = static_cast<std::uint16_t>(endRow - firstRow);
    const std::size_t offset = rowBytes * static_cast<std::size_t>(firstRow);
    xcb_generic_error_t* xError = nullptr;
    const std::uint8_t* raw = nullptr;
    if (hasShm_ && ensureSegment(bytes)) {
        // Whole rows of the rectangle land at their own place: the image's stride is the rectangle's.
        const XReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
            connection,
            xcb_shm_get_image(connection, display_.root(), x, y, w, h, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                              shmSegment_, static_cast<std::uint32_t>(offset)),
            &xError));
        if (reply) {
            raw = shmAddress_;
        }
    } else {
        const XReply<xcb_get_image_reply_t> reply(xcb_get_image_reply(
            connection,
            xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, display_.root(), x, y, w, h, ~0u), &xError));
        if (reply) {
            plain_.resize(bytes);
            const std::size_t length = static_cast<std::size_t>(xcb_get_image_data_length(reply.get()));
            std::memcpy(plain_.data() + offset, xcb_get_image_data(reply.get()),
                        std::min(length, rowBytes * h));
            raw = plain_.data();
        }
    }
    if (raw != nullptr) {
        if (bitsPerPixel_ == 16) {
            widenRows(raw, rowBytes, rect.width, rect.height, firstRow, endRow);
            pixels_ = widened_.data();
        } else {
            pixels_ = const_cast<std::uint8_t*>(raw);
        }
    }
    if (xError != nullptr) {
        const std::uint8_t code = xError->error_code;
        std::free(xError);
        if (code == badMatch) {
            return Outcome::outsideScreen;
        }
        error = "X error " + std::to_string(code) + " while reading the screen";
        return Outcome::failed;
    }
    if (xcb_connection_has_error(connection) != 0) {
        error = "the X display connection was lost";
        return Outcome::failed;
    }
    return Outcome::grabbed;
}

void XScreenGrabber::widenRows(const std::uint8_t* raw, std::size_t rawStride, int width, int height,
                               int firstRow, int endRow) {
    widened_.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    for (int row = firstRow; row < endRow; ++row) {
        const std::uint8_t* in = raw + rawStride * static_cast<std::size_t>(row);
        std::uint8_t* out =
            widened_.data() + static_cast<std::size_t>(row) * static_cast<std::size_t>(width) * 4;
        for (int column = 0; column < width; ++column) {
            std::uint16_t pixel;
            std::memcpy(&pixel, in + 2 * column, 2);
            if (swapBytes_) {
                pixel = static_cast<std::uint16_t>(pixel << 8 | pixel >> 8);
            }
            std::memcpy(out + 4 * column, &widenTable_[pixel], 4);
        }
    }
}

bool XScreenGrabber::readCursor() {
    cursor_.reset();
    if (!hasXFixes_ || !display_.usable()) {
        return false;
    }
    xcb_connection_t* connection = display_.get();
    const XReply<xcb_xfixes_get_cursor_image_reply_t> reply(
        xcb_xfixes_get_cursor_image_reply(connection, xcb_xfixes_get_cursor_image(connection), nullptr));
    if (!reply || reply->width == 0 || reply->height == 0) {
        return false;
    }
    const std::uint32_t* image = xcb_xfixes_get_cursor_image_cursor_image(reply.get());
    Cursor cursor;
    cursor.left = reply->x - reply->xhot;
    cursor.top = reply->y - reply->yhot;
    cursor.width = reply->width;
    cursor.height = reply->height;
    cursor.argb.assign(image, image + static_cast<std::size_t>(cursor.width) * cursor.height);
    cursor_ = std::move(cursor);
    return true;
}

RowRange XScreenGrabber::cursorRows(const DisplayBounds& rect) const {
    if (!cursor_ || cursor_->left >= rect.x + rect.width || cursor_->left + cursor_->width <= rect.x) {
        return {};
    }
    const int first = std::max(cursor_->top - rect.y, 0);
    const int end = std::min(cursor_->top + cursor_->height - rect.y, rect.height);
    return end > first ? RowRange{first, end} : RowRange{};
}

void XScreenGrabber::drawCursor(const DisplayBounds& rect) {
    if (!cursor_ || pixels_ == nullptr) {
        return;
    }
    const Cursor& cursor = *cursor_;
    const int left = cursor.left - rect.x;
    const int top = cursor.top - rect.y;
    for (int cy = std::max(0, -top); cy < cursor.height && top + cy < rect.height; ++cy) {
        std::uint8_t* row = pixels_ + static_cast<std::size_t>(top + cy) * static_cast<std::size_t>(stride_);
        for (int cx = std::max(0, -left); cx < cursor.width && left + cx < rect.width; ++cx) {
            // Premultiplied ARGB: out = cursor + screen x (1 - alpha).
            const std::uint32_t pixel = cursor.argb[static_cast<std::size_t>(cy) * cursor.width + cx];
            const std::uint32_t alpha = pixel >> 24;
            if (alpha == 0) {
                continue;
            }
            std::uint8_t* target = row + 4 * (left + cx);
            for (int channel = 0; channel < 3; ++channel) {
                const std::uint32_t source = (pixel >> (8 * channel)) & 0xff;
                target[channel] = static_cast<std::uint8_t>(
                    std::min<std::uint32_t>(255, source + (target[channel] * (255 - alpha) + 127) / 255));
            }
        }
    }
}

}  // namespace ScreenView
