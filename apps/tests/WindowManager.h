#pragma once
// openbox on a test's X server, ready once it manages windows: its check window appears early in its
// start-up, but map requests wait until it has finished starting (seconds on a loaded machine), so a
// probe window is mapped and waited for in the manager's client list.
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "testing/Subprocess.h"

namespace Apps::testing {

class WindowManager {
  public:
    explicit WindowManager(const std::string& display)
        : process_(std::make_unique<testing_support::Subprocess>(
              std::vector<std::string>{"openbox"},
              testing_support::EnvironmentChanges{{"DISPLAY", display}})) {
        xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
        if (xcb_connection_has_error(c) == 0) {
            const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
            const xcb_window_t probe = xcb_generate_id(c);
            xcb_create_window(c, XCB_COPY_FROM_PARENT, probe, screen->root, 0, 0, 10, 10, 0,
                              XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
            xcb_map_window(c, probe);
            xcb_flush(c);
            const char* name = "_NET_CLIENT_LIST";
            xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
                c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
            const xcb_atom_t list = atom != nullptr ? atom->atom : 0;
            std::free(atom);
            ready_ = testing_support::waitUntil(
                [&] {
                    xcb_get_property_reply_t* reply = xcb_get_property_reply(
                        c, xcb_get_property(c, 0, screen->root, list, XCB_ATOM_WINDOW, 0, 1024), nullptr);
                    bool managed = false;
                    if (reply != nullptr) {
                        const auto* windows = static_cast<const xcb_window_t*>(xcb_get_property_value(reply));
                        const int count = xcb_get_property_value_length(reply) / 4;
                        managed = std::find(windows, windows + count, probe) != windows + count;
                        std::free(reply);
                    }
                    return managed;
                },
                std::chrono::seconds(60));
            xcb_destroy_window(c, probe);
            xcb_flush(c);
            // Wait until the manager has let the probe go, so that it is not in the lists a test reads.
            xcb_get_input_focus_reply_t* sync = xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr);
            std::free(sync);
        }
        xcb_disconnect(c);
    }

    bool ready() const { return ready_; }
    bool running() { return process_->running(); }

  private:
    std::unique_ptr<testing_support::Subprocess> process_;
    bool ready_ = false;
};

}  // namespace Apps::testing
