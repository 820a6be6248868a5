#include "testing/KeymapUser.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <poll.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace testing_support {

struct KeymapUser::Impl {
    Display* tool = nullptr;
    Display* watch = nullptr;
    std::thread thread;
    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    mutable std::condition_variable arrived;
    std::vector<Press> presses;

    void run() {
        const int fd = ConnectionNumber(watch);
        while (!stopping) {
            if (XPending(watch) == 0) {
                pollfd p{fd, POLLIN, 0};
                poll(&p, 1, 5);
                continue;
            }
            XEvent event;
            XNextEvent(watch, &event);
            if (event.type == KeyPress) {
                std::lock_guard lock(mutex);
                presses.push_back({std::uint8_t(event.xkey.keycode), std::chrono::steady_clock::now()});
                arrived.notify_all();
            }
        }
    }
};

KeymapUser::KeymapUser(const std::string& displayName, unsigned long window)
    : impl_(std::make_unique<Impl>()) {
    impl_->tool = XOpenDisplay(displayName.c_str());
    impl_->watch = XOpenDisplay(displayName.c_str());
    if (impl_->tool == nullptr || impl_->watch == nullptr) {
        if (impl_->tool != nullptr) {
            XCloseDisplay(impl_->tool);
        }
        if (impl_->watch != nullptr) {
            XCloseDisplay(impl_->watch);
        }
        throw std::runtime_error("cannot open display " + displayName);
    }
    // Every client that asks gets the window's key presses, in the order the server sends them.
    XSelectInput(impl_->watch, Window(window), KeyPressMask);
    XSync(impl_->watch, False);
    marker_ = std::uint8_t(XKeysymToKeycode(impl_->tool, XK_space));
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

KeymapUser::~KeymapUser() {
    impl_->stopping = true;
    impl_->thread.join();
    XUngrabServer(impl_->tool);
    XCloseDisplay(impl_->tool);
    XCloseDisplay(impl_->watch);
}

std::vector<KeymapUser::Press> KeymapUser::presses() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->presses;
}

bool KeymapUser::waitForPresses(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->arrived.wait_for(lock, timeout, [&] { return impl_->presses.size() >= count; });
}

void KeymapUser::holdServer() {
    XGrabServer(impl_->tool);
    XSync(impl_->tool, False);
}

void KeymapUser::releaseServer() {
    XUngrabServer(impl_->tool);
    XSync(impl_->tool, False);
}

std::optional<std::vector<KeymapUser::Press>> KeymapUser::mark(std::chrono::milliseconds timeout) {
    std::size_t before = 0;
    {
        std::lock_guard lock(impl_->mutex);
        for (const Press& press : impl_->presses) {
            before += press.code == marker_ ? 1 : 0;
        }
    }
    XTestFakeKeyEvent(impl_->tool, marker_, True, CurrentTime);
    XTestFakeKeyEvent(impl_->tool, marker_, False, CurrentTime);
    XSync(impl_->tool, False);
    std::unique_lock lock(impl_->mutex);
    std::optional<std::vector<Press>> seen;
    impl_->arrived.wait_for(lock, timeout, [&] {
        std::size_t markers = 0;
        for (std::size_t i = 0; i < impl_->presses.size(); ++i) {
            markers += impl_->presses[i].code == marker_ ? 1 : 0;
            if (markers > before) {
                seen.emplace(impl_->presses.begin(), impl_->presses.begin() + std::ptrdiff_t(i));
                return true;
            }
        }
        return false;
    });
    return seen;
}

std::vector<std::uint32_t> KeymapUser::keyboardMapping(std::size_t& perKeycode) {
    int minKeycode = 0;
    int maxKeycode = 0;
    XDisplayKeycodes(impl_->tool, &minKeycode, &maxKeycode);
    int width = 0;
    KeySym* syms = XGetKeyboardMapping(impl_->tool, KeyCode(minKeycode), maxKeycode - minKeycode + 1, &width);
    std::vector<std::uint32_t> mapping(std::size_t(minKeycode) * std::size_t(width), 0);
    for (int i = 0; syms != nullptr && i < (maxKeycode - minKeycode + 1) * width; ++i) {
        mapping.push_back(std::uint32_t(syms[i]));
    }
    XFree(syms);
    perKeycode = std::size_t(width);
    return mapping;
}

void KeymapUser::mapKey(std::uint8_t code, std::uint32_t keysym) {
    KeySym sym = keysym;
    XChangeKeyboardMapping(impl_->tool, code, 1, &sym, 1);
    XSync(impl_->tool, False);
}

std::uint8_t KeymapUser::keycodeOf(std::uint32_t keysym) {
    return std::uint8_t(XKeysymToKeycode(impl_->tool, keysym));
}

}  // namespace testing_support
