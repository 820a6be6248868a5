#include "testing/NoisyScreen.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <vector>

namespace testing_support {

struct NoisyScreen::Impl {
    xcb_connection_t* connection = nullptr;
    xcb_window_t window = 0;
    int step = 0;
};

NoisyScreen::NoisyScreen(const std::string& displayName, int blockSize) : impl_(std::make_unique<Impl>()) {
    const int side = std::max(1, blockSize);
    xcb_connection_t* connection = xcb_connect(displayName.c_str(), nullptr);
    impl_->connection = connection;
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        throw std::runtime_error("no X display to draw on");
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const int width = screen->width_in_pixels;
    const int height = screen->height_in_pixels;
    const xcb_pixmap_t pixmap = xcb_generate_id(connection);
    xcb_create_pixmap(connection, screen->root_depth, pixmap, screen->root, static_cast<std::uint16_t>(width),
                      static_cast<std::uint16_t>(height));
    const xcb_gcontext_t gc = xcb_generate_id(connection);
    xcb_create_gc(connection, gc, pixmap, 0, nullptr);
    std::mt19937 random(11);
    std::vector<std::uint32_t> blocks(static_cast<std::size_t>((width + side - 1) / side));
    const int rowsPerRequest = std::max(1, 200000 / (width * 4));
    std::vector<std::uint32_t> band(static_cast<std::size_t>(width) *
                                    static_cast<std::size_t>(rowsPerRequest));
    for (int top = 0; top < height; top += rowsPerRequest) {
        const int rows = std::min(rowsPerRequest, height - top);
        for (int y = 0; y < rows; ++y) {
            if ((top + y) % side == 0) {
                for (auto& block : blocks) {
                    block = static_cast<std::uint32_t>(random()) & 0xffffffu;
                }
            }
            for (int x = 0; x < width; ++x) {
                band[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                     static_cast<std::size_t>(x)] = blocks[static_cast<std::size_t>(x / side)];
            }
        }
        xcb_put_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, static_cast<std::uint16_t>(width),
                      static_cast<std::uint16_t>(rows), 0, static_cast<std::int16_t>(top), 0,
                      screen->root_depth, static_cast<std::uint32_t>(rows * width * 4),
                      reinterpret_cast<const std::uint8_t*>(band.data()));
    }
    impl_->window = xcb_generate_id(connection);
    const std::uint32_t values[] = {pixmap, 1};
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, impl_->window, screen->root, 0, 0,
                      static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(connection, impl_->window);
    xcb_free_pixmap(connection, pixmap);
    xcb_free_gc(connection, gc);
    // Shown once the server has carried out every request above.
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
}

NoisyScreen::~NoisyScreen() {
    xcb_disconnect(impl_->connection);
}

void NoisyScreen::change() {
    impl_->step = (impl_->step + 1) % 4;
    const std::uint32_t position[] = {static_cast<std::uint32_t>(impl_->step * 3),
                                      static_cast<std::uint32_t>((impl_->step % 2) * 5)};
    xcb_configure_window(impl_->connection, impl_->window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y,
                         position);
    std::free(xcb_get_input_focus_reply(impl_->connection, xcb_get_input_focus(impl_->connection), nullptr));
}

}  // namespace testing_support
