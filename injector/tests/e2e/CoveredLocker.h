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

// `count` override-redirect windows over everything, of one client, mapped `after` from construction,
// raised again every 50 ms unless `once`, for `duration`, then destroyed; full-screen, the size of a
// notification in the top right corner, or a pixel just off the screen that no one sees. They draw
// nothing and take no input.
class Cover {
  public:
    enum class Size { fullScreen, notification, outOfSight };

    Cover(const std::string& display, Size size, std::chrono::milliseconds after,
          std::chrono::milliseconds duration, bool once = false, int count = 1)
        : thread_([this, display, size, after, duration, once, count] {
              run(display, size, after, duration, once, count);
          }) {}
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
             std::chrono::milliseconds duration, bool once, int count) {
        xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
        if (xcb_connection_has_error(c) == 0) {
            xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
            std::int16_t x = 0;
            std::int16_t y = 0;
            std::uint16_t width = screen->width_in_pixels;
            std::uint16_t height = screen->height_in_pixels;
            if (size == Size::notification) {
                width = 320;
                height = 90;
                x = std::int16_t(screen->width_in_pixels - width - 16);
                y = 16;
            } else if (size == Size::outOfSight) {
                width = height = 1;
                x = y = -10;
            }
            const std::uint32_t values[] = {screen->black_pixel, 1};
            std::vector<xcb_window_t> windows(std::size_t(std::max(count, 1)));
            for (xcb_window_t& window : windows) {
                window = xcb_generate_id(c);
                xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, x, y, width, height, 0,
                                  XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                                  XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
            }
            sleepUnlessQuit(after);
            for (const xcb_window_t window : windows) {
                xcb_map_window(c, window);
            }
            const auto until = std::chrono::steady_clock::now() + duration;
            for (bool first = true; !quit_ && std::chrono::steady_clock::now() < until; first = false) {
                if (first || !once) {
                    const std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
                    for (const xcb_window_t window : windows) {
                        xcb_configure_window(c, window, XCB_CONFIG_WINDOW_STACK_MODE, above);
                    }
                    xcb_flush(c);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            for (const xcb_window_t window : windows) {
                xcb_destroy_window(c, window);
            }
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

// One unlock with a window, or several, over the locker.
struct CoveredRun {
    const char* name;
    Cover::Size size;
    std::chrono::milliseconds after;  // from the request on
    std::chrono::milliseconds duration;
    bool once;   // shown once, not raised again
    bool right;  // the right password
    int windows = 1;
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

// More windows than the top-most few, each a pixel off the screen, so no one sees them and nothing raises
// the locker over them: appearing while a wrong password goes in; up from before the request for longer
// than the wait for the password field (2.5 s, which the runs are made for); and up from before the
// request but gone well within that wait.
inline std::vector<CoveredRun> floodRuns() {
    using namespace std::chrono_literals;
    return {{"floodWhileTyped", Cover::Size::outOfSight, 600ms, 1500ms, true, false, 70},
            {"floodBefore", Cover::Size::outOfSight, 0ms, 5000ms, true, true, 65},
            {"floodGoneInTime", Cover::Size::outOfSight, 0ms, 1000ms, true, true, 70}};
}

// The screen-lock monitor as the phones hear it, reading the lock every 50 ms; the state it starts with and
// each change it reports are set against the locker's own word. That first state and a "locked" are judged
// when told. A locker lets the screen go (its window, its keyboard) a moment before its process has ended,
// so an "unlocked" is judged when the pushes are read: it was wrong if the locker still holds the screen
// then, or a later push said "locked" again. The last state told must be the locker's then, too: a change
// never told is as wrong as a false one.
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
        const bool locker = lockerSaysLocked_();
        std::lock_guard lock(mutex_);
        firstLocker_ = locker;
    }
    ~LockStatusPushes() {
        loop_.call([&] {
            monitor_.reset();
            return 0;
        });
    }
    LockStatusPushes(const LockStatusPushes&) = delete;
    LockStatusPushes& operator=(const LockStatusPushes&) = delete;

    // "locked unlocked(wrong) ...": the state when it started, then each change; "(untold)" after the
    // last when the locker's state differs from it now.
    std::string said() {
        const Judgement judged = judge();
        std::lock_guard lock(mutex_);
        std::string text = std::string(first_ ? "locked" : "unlocked") + (judged.first ? "(wrong)" : "");
        for (std::size_t i = 0; i < judged.pushes.size(); ++i) {
            text += std::string(pushes_[i].locked ? " locked" : " unlocked") +
                    (judged.pushes[i] ? "(wrong)" : "");
        }
        return text + (judged.untold ? "(untold)" : "");
    }
    // Some state told was the opposite of the locker's own, or the last told is not the locker's now.
    bool wrong() {
        const Judgement judged = judge();
        return judged.first || judged.untold ||
               std::find(judged.pushes.begin(), judged.pushes.end(), true) != judged.pushes.end();
    }

  private:
    struct Push {
        bool locked;
        // The locker's word when the push was told.
        bool locker;
    };
    struct Judgement {
        bool first = false;
        std::vector<bool> pushes;
        bool untold = false;
    };
    Judgement judge() {
        const bool lockerNow = lockerSaysLocked_();
        std::lock_guard lock(mutex_);
        Judgement judged;
        judged.first = first_ != firstLocker_;
        for (std::size_t i = 0; i < pushes_.size(); ++i) {
            const bool lockedLater = std::any_of(pushes_.begin() + std::ptrdiff_t(i) + 1, pushes_.end(),
                                                 [](const Push& push) { return push.locked; });
            judged.pushes.push_back(pushes_[i].locked ? !pushes_[i].locker : lockerNow || lockedLater);
        }
        judged.untold = (pushes_.empty() ? first_ : pushes_.back().locked) != lockerNow;
        return judged;
    }

    std::function<bool()> lockerSaysLocked_;
    testing_support::LoopThread loop_;
    std::unique_ptr<ScreenLockMonitor> monitor_;
    bool first_ = false;
    bool firstLocker_ = false;
    std::mutex mutex_;
    std::vector<Push> pushes_;
};

}  // namespace Injector::testing_fakes
