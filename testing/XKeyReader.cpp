#include "testing/XKeyReader.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <poll.h>
#include <xkbcommon/xkbcommon.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace testing_support {
namespace {

bool isModifierKeysym(KeySym keysym) {
    return IsModifierKey(keysym) || keysym == XK_Caps_Lock;
}

void appendUTF8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

}  // namespace

struct XKeyReader::Impl {
    Display* display = nullptr;
    Window window = 0;
    std::thread thread;
    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    mutable std::condition_variable arrived;
    std::vector<Key> keys;

    void run();
};

void XKeyReader::Impl::run() {
    const int fd = ConnectionNumber(display);
    while (!stopping) {
        if (XPending(display) == 0) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 20);
            continue;
        }
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
            continue;
        }

        if (event.type != KeyPress && event.type != KeyRelease) {
            continue;
        }
        KeySym keysym = NoSymbol;
        char buffer[32];
        XLookupString(&event.xkey, buffer, sizeof buffer, &keysym, nullptr);
        std::lock_guard lock(mutex);
        keys.push_back({std::uint32_t(keysym), std::uint16_t(event.xkey.state), event.type == KeyPress});
        arrived.notify_all();
    }
}

XKeyReader::XKeyReader(const std::string& displayName) : XKeyReader(displayName, Options{}) {}

XKeyReader::XKeyReader(const std::string& displayName, Options options) : impl_(std::make_unique<Impl>()) {
    impl_->display = XOpenDisplay(displayName.c_str());
    if (impl_->display == nullptr) {
        throw std::runtime_error("cannot open display " + displayName);
    }
    Display* d = impl_->display;
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = KeyPressMask | KeyReleaseMask | ExposureMask;
    impl_->window = XCreateWindow(d, DefaultRootWindow(d), 0, 0, 200, 200, 0, CopyFromParent, InputOutput,
                                  CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(d, impl_->window);
    XSync(d, False);
    XSetInputFocus(d, impl_->window, RevertToPointerRoot, CurrentTime);
    if (options.grabKeyboard) {
        if (XGrabKeyboard(d, impl_->window, False, GrabModeAsync, GrabModeAsync, CurrentTime) !=
            GrabSuccess) {
            throw std::runtime_error("cannot grab the keyboard");
        }
    }
    // Xlib sets up its keyboard description, and asks to hear of changes to it, on the first key it
    // looks up; an application has long done that when text arrives, so the reader does it now.
    XKeysymToKeycode(d, XK_a);
    XSync(d, False);
    impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

XKeyReader::~XKeyReader() {
    impl_->stopping = true;
    impl_->thread.join();
    XCloseDisplay(impl_->display);
}

unsigned long XKeyReader::window() const {
    return impl_->window;
}

std::vector<XKeyReader::Key> XKeyReader::keys() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->keys;
}

std::string XKeyReader::text() const {
    std::string out;
    for (const Key& key : keys()) {
        if (!key.press || isModifierKeysym(key.keysym)) {
            continue;
        }
        if (key.keysym == XK_Return) {
            out += '\n';
        } else if (key.keysym == XK_Tab) {
            out += '\t';
        } else if (const std::uint32_t cp = xkb_keysym_to_utf32(key.keysym); cp != 0) {
            appendUTF8(out, cp);
        } else {
            out += "<" + std::to_string(key.keysym) + ">";
        }
    }
    return out;
}

bool XKeyReader::waitForPresses(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->arrived.wait_for(lock, timeout, [&] {
        std::size_t presses = 0;
        for (const Key& key : impl_->keys) {
            presses += key.press && !isModifierKeysym(key.keysym) ? 1 : 0;
        }
        return presses >= count;
    });
}

bool XKeyReader::waitForKeys(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->arrived.wait_for(lock, timeout, [&] { return impl_->keys.size() >= count; });
}

std::vector<std::uint32_t> XKeyReader::keyboardMapping() const {
    // A connection of its own: the reader thread owns the other one.
    Display* d = XOpenDisplay(DisplayString(impl_->display));
    if (d == nullptr) {
        return {};
    }
    int minKeycode = 0;
    int maxKeycode = 0;
    XDisplayKeycodes(d, &minKeycode, &maxKeycode);
    int perKeycode = 0;
    KeySym* syms = XGetKeyboardMapping(d, KeyCode(minKeycode), maxKeycode - minKeycode + 1, &perKeycode);
    std::vector<std::uint32_t> mapping;
    for (int i = 0; syms != nullptr && i < (maxKeycode - minKeycode + 1) * perKeycode; ++i) {
        mapping.push_back(std::uint32_t(syms[i]));
    }
    XFree(syms);
    XCloseDisplay(d);
    return mapping;
}

void XKeyReader::setCapsLock(bool locked) {
    Display* d = XOpenDisplay(DisplayString(impl_->display));
    if (d == nullptr) {
        return;
    }
    XkbLockModifiers(d, XkbUseCoreKbd, LockMask, locked ? LockMask : 0);
    XSync(d, False);
    XCloseDisplay(d);
}

bool XKeyReader::capsLocked() const {
    return (lockedModifiers() & LockMask) != 0;
}

}  // namespace testing_support

namespace testing_support {

namespace {

// The keyboard's state as the server has it now, read on a connection of its own.
XkbStateRec keyboardState(Display* display) {
    XkbStateRec state{};
    Display* d = XOpenDisplay(DisplayString(display));
    if (d != nullptr) {
        XkbGetState(d, XkbUseCoreKbd, &state);
        XCloseDisplay(d);
    }
    return state;
}

// Changes the keyboard's state on a connection of its own and waits until the server has done it.
void changeKeyboardState(Display* display, const std::function<void(Display*)>& change) {
    Display* d = XOpenDisplay(DisplayString(display));
    if (d == nullptr) {
        return;
    }
    change(d);
    XSync(d, False);
    XCloseDisplay(d);
}

}  // namespace

void XKeyReader::lockGroup(unsigned group) {
    changeKeyboardState(impl_->display, [group](Display* d) { XkbLockGroup(d, XkbUseCoreKbd, group); });
}

void XKeyReader::tapKey(std::uint32_t keysym) {
    changeKeyboardState(impl_->display, [keysym](Display* d) {
        const KeyCode code = XKeysymToKeycode(d, keysym);
        XTestFakeKeyEvent(d, code, True, CurrentTime);
        XTestFakeKeyEvent(d, code, False, CurrentTime);
    });
}

unsigned XKeyReader::lockedGroup() const {
    return keyboardState(impl_->display).locked_group;
}

void XKeyReader::lockModifiers(unsigned mask, unsigned values) {
    changeKeyboardState(impl_->display,
                        [mask, values](Display* d) { XkbLockModifiers(d, XkbUseCoreKbd, mask, values); });
}

void XKeyReader::latchModifiers(unsigned mask, unsigned values) {
    changeKeyboardState(impl_->display,
                        [mask, values](Display* d) { XkbLatchModifiers(d, XkbUseCoreKbd, mask, values); });
}

unsigned XKeyReader::lockedModifiers() const {
    return keyboardState(impl_->display).locked_mods;
}

unsigned XKeyReader::latchedModifiers() const {
    return keyboardState(impl_->display).latched_mods;
}

}  // namespace testing_support
