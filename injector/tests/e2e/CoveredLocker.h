#pragma once
// What the end-to-end tests of a covered lock screen share: a window drawn over the locker the way a
// notification or an on-screen display appears, and the lock status the phones are told, each change
// set against what the locker itself said at that moment.
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "injector/ScreenLockMonitor.h"
#include "testing/LoopThread.h"

namespace Injector::testing_fakes {

// An override-redirect window over everything, mapped `after` from construction, raised again every
// 50 ms unless `once`, for `duration`, then destroyed; full-screen or the size of a notification in the
// top right corner. It draws nothing and takes no input.
class Cover {
  public:
    enum class Size { fullScreen, notification };

    Cover(const std::string& display, Size size, std::chrono::milliseconds after,
          std::chrono::milliseconds duration, bool once = false)
        : thread_(
              [this, display, size, after, duration, once] { run(display, size, after, duration, once); }) {}
    ~Cover() {
        quit_ = true;
        thread_.join();
    }
    Cover(const Cover&) = delete;
    Cover& operator=(const Cover&) = delete;

    // It was mapped and has gone again.
    bool done() const { return done_; }

  private:
    void run(const std::string& display, Size size, std::chrono::milliseconds after,
             std::chrono::milliseconds duration, bool once) {
        xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
        if (xcb_connection_has_error(c) == 0) {
            xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
            const bool full = size == Size::fullScreen;
            const std::uint16_t width = full ? screen->width_in_pixels : 320;
            const std::uint16_t height = full ? screen->height_in_pixels : 90;
            const std::int16_t x = full ? 0 : std::int16_t(screen->width_in_pixels - width - 16);
            const std::uint32_t values[] = {screen->black_pixel, 1};
            const xcb_window_t window = xcb_generate_id(c);
            xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, x, full ? 0 : 16, width, height,
                              0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                              XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
            sleepUnlessQuit(after);
            xcb_map_window(c, window);
            const auto until = std::chrono::steady_clock::now() + duration;
            for (bool first = true; !quit_ && std::chrono::steady_clock::now() < until; first = false) {
                if (first || !once) {
                    const std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
                    xcb_configure_window(c, window, XCB_CONFIG_WINDOW_STACK_MODE, above);
                    xcb_flush(c);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            xcb_destroy_window(c, window);
            sync(c);
        }
        xcb_disconnect(c);
        done_ = true;
    }
    void sleepUnlessQuit(std::chrono::milliseconds duration) {
        const auto until = std::chrono::steady_clock::now() + duration;
        while (!quit_ && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    // Every request sent has been carried out.
    static void sync(xcb_connection_t* c) {
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    }

    std::atomic<bool> quit_{false};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// One unlock with a window over the locker.
struct CoveredRun {
    const char* name;
    Cover::Size size;
    std::chrono::milliseconds after;  // from the request on
    std::chrono::milliseconds duration;
    bool once;   // shown once, not raised again
    bool right;  // the right password
};

// First the notice the companion shows when a phone comes back after a quiet spell, shown as its request
// arrives and gone when the notice goes; then windows that come while the password goes in, raised
// again and again, with the right and a wrong password.
inline std::vector<CoveredRun> coveredRuns() {
    using namespace std::chrono_literals;
    return {{"notice", Cover::Size::notification, 0ms, 2850ms, true, true},
            {"fullRight", Cover::Size::fullScreen, 600ms, 1000ms, false, true},
            {"notificationRight", Cover::Size::notification, 600ms, 1000ms, false, true},
            {"fullWrong", Cover::Size::fullScreen, 600ms, 1000ms, false, false},
            {"notificationWrong", Cover::Size::notification, 600ms, 1000ms, false, false}};
}

// The screen-lock monitor as the phones hear it, reading the lock every 50 ms; each change it reports is
// set against the locker's own word. A "locked" is judged when it is told. A locker lets the screen go
// (its window, its keyboard) a moment before its process has ended, so an "unlocked" is judged when the
// pushes are read: it was wrong if the locker still holds the screen then, or a later push said "locked"
// again.
class LockStatusPushes {
  public:
    LockStatusPushes(std::function<bool()> isLocked, std::function<bool()> lockerSaysLocked)
        : lockerSaysLocked_(std::move(lockerSaysLocked)) {
        loop_.call([&] {
            monitor_ = std::make_unique<ScreenLockMonitor>(loop_.loop(), std::move(isLocked),
                                                           ScreenLockMonitor::Subscribe{}, 0.05,
                                                           std::vector<double>{});
            first_ = monitor_->start([this](bool locked) {
                const bool locker = lockerSaysLocked_();
                std::lock_guard lock(mutex_);
                pushes_.push_back({locked, locker});
            });
            return 0;
        });
    }
    ~LockStatusPushes() {
        loop_.call([&] {
            monitor_.reset();
            return 0;
        });
    }
    LockStatusPushes(const LockStatusPushes&) = delete;
    LockStatusPushes& operator=(const LockStatusPushes&) = delete;

    // "locked unlocked(wrong) ...": the state when it started, then each change.
    std::string said() {
        const std::vector<bool> wrong = judged();
        std::lock_guard lock(mutex_);
        std::string text = first_ ? "locked" : "unlocked";
        for (std::size_t i = 0; i < wrong.size(); ++i) {
            text += std::string(pushes_[i].locked ? " locked" : " unlocked") + (wrong[i] ? "(wrong)" : "");
        }
        return text;
    }
    // Some change told the opposite of the locker's own state.
    bool wrong() {
        const std::vector<bool> wrong = judged();
        return std::find(wrong.begin(), wrong.end(), true) != wrong.end();
    }

  private:
    struct Push {
        bool locked;
        // The locker's word when the push was told.
        bool locker;
    };
    std::vector<bool> judged() {
        const bool lockerNow = lockerSaysLocked_();
        std::lock_guard lock(mutex_);
        std::vector<bool> wrong;
        for (std::size_t i = 0; i < pushes_.size(); ++i) {
            const bool lockedLater = std::any_of(pushes_.begin() + std::ptrdiff_t(i) + 1, pushes_.end(),
                                                 [](const Push& push) { return push.locked; });
            wrong.push_back(pushes_[i].locked ? !pushes_[i].locker : lockerNow || lockedLater);
        }
        return wrong;
    }

    std::function<bool()> lockerSaysLocked_;
    testing_support::LoopThread loop_;
    std::unique_ptr<ScreenLockMonitor> monitor_;
    bool first_ = false;
    std::mutex mutex_;
    std::vector<Push> pushes_;
};

}  // namespace Injector::testing_fakes
