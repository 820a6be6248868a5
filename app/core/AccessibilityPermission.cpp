#include "app/core/AccessibilityPermission.h"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <chrono>
#include <cstdlib>

namespace Shell {

struct SystemTrustProbe::Connection {
    xcb_connection_t* connection = nullptr;
    bool hasXTest = false;
    ~Connection() {
        if (connection) {
            xcb_disconnect(connection);
        }
    }
};

SystemTrustProbe::SystemTrustProbe() = default;
SystemTrustProbe::~SystemTrustProbe() = default;

bool SystemTrustProbe::isTrusted() {
    if (connection_ && xcb_connection_has_error(connection_->connection)) {
        connection_.reset();
    }
    if (!connection_) {
        // Without a display, phone input still asks for every message: try a new connection at most twice
        // a second.
        const double now = platform::monotonicSeconds();
        if (lastConnectAttempt_ >= 0 && now - lastConnectAttempt_ < 0.5) {
            return false;
        }
        lastConnectAttempt_ = now;
        auto fresh = std::make_unique<Connection>();
        fresh->connection = xcb_connect(nullptr, nullptr);
        if (!fresh->connection || xcb_connection_has_error(fresh->connection)) {
            return false;
        }
        const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(fresh->connection, &xcb_test_id);
        fresh->hasXTest = xtest && xtest->present;
        connection_ = std::move(fresh);
        return connection_->hasXTest;
    }
    // A broken connection only shows after I/O: reading what the server sent (usually nothing) finds
    // one that went away, without waiting. A round trip would wait behind whatever the server is doing
    // for other clients, and this is asked on the main loop.
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_->connection)) {
        std::free(event);
    }
    if (xcb_connection_has_error(connection_->connection)) {
        connection_.reset();
        return false;
    }
    return connection_->hasXTest;
}

AccessibilityPermission::AccessibilityPermission(platform::Executor& executor, TrustProbe& probe)
    : executor_(executor),
      probe_(probe),
      status_(probe.isTrusted() ? AccessibilityStatus::granted : AccessibilityStatus::missing) {}

AccessibilityPermission::~AccessibilityPermission() {
    stopPolling();
}

void AccessibilityPermission::refresh() {
    status_.set(probe_.isTrusted() ? AccessibilityStatus::granted : AccessibilityStatus::missing);
}

void AccessibilityPermission::startPolling() {
    if (polling_) {
        return;
    }
    polling_ = true;
    refresh();
    if (polling_) {
        schedulePoll();
    }
}

void AccessibilityPermission::schedulePoll() {
    std::weak_ptr<char> alive = alive_;
    pollTimer_ = executor_.schedule(std::chrono::microseconds(static_cast<long long>(pollInterval * 1e6)),
                                    [this, alive] {
                                        if (alive.expired() || !polling_) {
                                            return;
                                        }
                                        pollTimer_ = 0;
                                        refresh();
                                        // A subscriber may have stopped the poll.
                                        if (polling_) {
                                            schedulePoll();
                                        }
                                    });
}

void AccessibilityPermission::stopPolling() {
    polling_ = false;
    if (pollTimer_ != 0) {
        executor_.cancel(pollTimer_);
        pollTimer_ = 0;
    }
}

}  // namespace Shell
