// End-to-end input latency of the companion process: a paired phone test client sends move datagrams
// to lumivex-companion running on a private Xvfb, and an X client of our own sees the pointer move through
// motion events on the root window (no polling). All times are CLOCK_MONOTONIC.
//
// Prints, with one phone connected and then with eight connected and one moving:
//   - single moves sent 30-50 ms apart: send to pointer motion, p50/p90/p99/max, and the same less the
//     8.33 ms frame and the floor's median (what the process itself adds);
//   - a burst of one move a millisecond: mean and max lag of each pointer update behind the move that
//     completed it, updates per second, and whether every pixel arrived;
// and the floor in the same run: an XTest motion request from this driver to the pointer's motion event,
// and how late a one-frame EventLoop timer fires in this process on the machine as it is.
//
//   companion_latency [single-moves [--headless]]   (300 by default; the process with its tray icon by default)
#include <poll.h>
#include <time.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/EventLoop.h"
#include "protocol/messages/Message.h"
#include "testing/CompanionProcess.h"
#include "testing/PhoneTestClient.h"
#include "testing/Subprocess.h"
#include "testing/XvfbServer.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PhoneTestClient;
using TrackpadProtocol::Message;

double now() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void sleepUntil(double at) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(at);
    ts.tv_nsec = static_cast<long>((at - static_cast<double>(ts.tv_sec)) * 1e9);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// Sees the pointer through motion events on the root window, on a thread of its own that sleeps in
// poll() until the server sends something.
class PointerWatcher {
public:
    struct Motion {
        double at;
        int x;
        int y;
    };

    explicit PointerWatcher(const std::string& display) {
        connection_ = xcb_connect(display.c_str(), nullptr);
        if (xcb_connection_has_error(connection_))
            throw std::runtime_error("no X connection for the watcher");
        root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
        const std::uint32_t mask = XCB_EVENT_MASK_POINTER_MOTION;
        std::free(xcb_request_check(connection_,
                                    xcb_change_window_attributes_checked(connection_, root_, XCB_CW_EVENT_MASK, &mask)));
        thread_ = std::thread([this] { run(); });
    }
    ~PointerWatcher() {
        stopping_ = true;
        // Any request wakes the watcher's poll with its reply.
        std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
        thread_.join();
        xcb_disconnect(connection_);
    }

    // The first motion at or after `since` that satisfies `wanted`, waiting up to `timeout` seconds.
    template <class Wanted>
    std::optional<Motion> waitFor(double since, Wanted wanted, double timeout = 2) {
        std::unique_lock lock(mutex_);
        std::optional<Motion> found;
        changed_.wait_for(lock, std::chrono::duration<double>(timeout), [&] {
            for (const auto& motion : motions_)
                if (motion.at >= since && wanted(motion)) {
                    found = motion;
                    return true;
                }
            return false;
        });
        return found;
    }

    std::vector<Motion> since(double at) {
        std::lock_guard lock(mutex_);
        std::vector<Motion> out;
        for (const auto& motion : motions_)
            if (motion.at >= at)
                out.push_back(motion);
        return out;
    }

    void clear() {
        std::lock_guard lock(mutex_);
        motions_.clear();
    }

    // Where the pointer stands now (a round trip; xcb lets this thread ask while the watcher reads).
    std::pair<int, int> pointer() {
        std::unique_ptr<xcb_query_pointer_reply_t, decltype(&std::free)> reply(
            xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr), &std::free);
        if (!reply)
            throw std::runtime_error("the X server went away");
        return {reply->root_x, reply->root_y};
    }

private:
    void run() {
        pollfd fd{xcb_get_file_descriptor(connection_), POLLIN, 0};
        while (!stopping_ && !xcb_connection_has_error(connection_)) {
            ::poll(&fd, 1, 100);
            while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
                const double at = now();
                if ((event->response_type & 0x7F) == XCB_MOTION_NOTIFY) {
                    const auto* motion = reinterpret_cast<xcb_motion_notify_event_t*>(event);
                    std::lock_guard lock(mutex_);
                    motions_.push_back({at, motion->root_x, motion->root_y});
                    changed_.notify_all();
                }
                std::free(event);
            }
        }
    }

    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = XCB_NONE;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Motion> motions_;
    std::thread thread_;
};

// Moves the pointer with XTest requests of its own.
class XTestMover {
public:
    explicit XTestMover(const std::string& display) {
        connection_ = xcb_connect(display.c_str(), nullptr);
        if (xcb_connection_has_error(connection_))
            throw std::runtime_error("no X connection for XTest");
        root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    }
    ~XTestMover() { xcb_disconnect(connection_); }

    void moveTo(int x, int y) {
        xcb_test_fake_input(connection_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_, static_cast<std::int16_t>(x),
                            static_cast<std::int16_t>(y), 0);
        xcb_flush(connection_);
    }

private:
    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = XCB_NONE;
};

// A paired phone whose datagram flow is kept: the listener lets a flow go when no datagram has come over
// it within its handshake time-out, and the measurements before the moves may take longer than that.
std::unique_ptr<PhoneTestClient> pairedPhone(testing_support::CompanionProcess& companion,
                                             const PhoneTestClient::Endpoint& endpoint, const std::string& name) {
    auto phone = companion.pair(endpoint, name);
    phone->sendDatagram(Message::Move{0, 0});
    return phone;
}

constexpr int startX = 400;

void printMilliseconds(const char* what, const std::vector<double>& values) {
    std::printf("  %-34s p50 %.2f ms  p90 %.2f ms  p99 %.2f ms  max %.2f ms  (%zu)\n", what,
                percentile(values, 0.5) * 1e3, percentile(values, 0.9) * 1e3, percentile(values, 0.99) * 1e3,
                values.empty() ? 0.0 : *std::max_element(values.begin(), values.end()) * 1e3, values.size());
}

// On a row of its own (`row`), away from where the companion last placed the pointer: its poster skips
// a motion to the pixel it placed the pointer on last, which a move right after this one could hit.
// Returns the median.
double measureFloor(PointerWatcher& watcher, XTestMover& mover, int count, int row) {
    std::vector<double> lags;
    mover.moveTo(startX, row);
    watcher.waitFor(0, [&](const auto& m) { return m.x == startX && m.y == row; });
    // Paced as the single moves are, so that both meet the machine in the same state.
    std::mt19937 random(21);
    std::uniform_real_distribution<double> pause(0.030, 0.050);
    for (int i = 0; i < count; ++i) {
        const int x = startX + (i % 2 == 0 ? 1 : 0);
        sleepUntil(now() + pause(random));
        const double sent = now();
        mover.moveTo(x, row);
        if (auto seen = watcher.waitFor(sent, [&](const auto& m) { return m.x == x; }))
            lags.push_back(seen->at - sent);
    }
    printMilliseconds("floor, XTest request to motion:", lags);
    return percentile(lags, 0.5);
}

// The machine's own share of a frame's wait: an EventLoop in this process, idle 30-50 ms as the companion's
// is between single moves, then a one-frame timer with the injector's 500 µs leeway; how late it fires.
void measureTimerLateness(int count) {
    platform::EventLoop loop;
    std::mt19937 random(23);
    std::uniform_real_distribution<double> pause(0.030, 0.050);
    std::vector<double> lateness;
    for (int i = 0; i < count; ++i) {
        sleepUntil(now() + pause(random));
        const double deadline = now() + 1.0 / 120.0;
        loop.schedule(
            std::chrono::microseconds(8333),
            [&] {
                lateness.push_back(now() - deadline);
                loop.stop();
            },
            std::chrono::microseconds(500));
        loop.run();
    }
    printMilliseconds("frame timer lateness, this process:", lateness);
}

// From wherever the pointer stands; the companion finds it there after its idle resync.
void measureSingleMoves(PointerWatcher& watcher, PhoneTestClient& phone, int count, double floor) {
    std::this_thread::sleep_for(200ms);
    std::mt19937 random(22);
    std::uniform_real_distribution<double> pause(0.030, 0.050);
    std::vector<double> lags;
    int x = watcher.pointer().first;
    int lost = 0;
    for (int i = 0; i < count; ++i) {
        sleepUntil(now() + pause(random));
        const int dx = i % 2 == 0 ? 1 : -1;
        x += dx;
        const double sent = now();
        phone.sendDatagram(Message::Move{static_cast<float>(dx), 0});
        if (auto seen = watcher.waitFor(sent, [&](const auto& m) { return m.x == x; }, 1.0)) {
            lags.push_back(seen->at - sent);
        } else {
            ++lost;
            x = watcher.pointer().first;
        }
    }
    printMilliseconds("single moves, send to motion:", lags);
    // What the process adds: the frame and the X server's own share (the floor's median) taken away.
    std::vector<double> added;
    for (const double lag : lags)
        added.push_back(lag - 1.0 / 120.0 - floor);
    printMilliseconds("  less the frame and the floor:", added);
    std::sort(lags.rbegin(), lags.rend());
    std::printf("  slowest single moves:");
    for (std::size_t i = 0; i < std::min<std::size_t>(lags.size(), 8); ++i)
        std::printf(" %.2f", lags[i] * 1e3);
    std::printf(" ms; over 9 ms: %zd\n",
                std::count_if(lags.begin(), lags.end(), [](double lag) { return lag > 0.009; }));
    if (lost > 0)
        std::printf("  %d single moves never showed\n", lost);
}

void measureBurst(PointerWatcher& watcher, PhoneTestClient& phone, int moves) {
    std::this_thread::sleep_for(200ms);  // a pause first, as a finger lands after one
    const int startX = watcher.pointer().first;
    std::vector<double> sentAt(static_cast<std::size_t>(moves));
    const double start = now();
    for (int i = 0; i < moves; ++i) {
        sleepUntil(start + i * 0.001);
        sentAt[static_cast<std::size_t>(i)] = now();
        phone.sendDatagram(Message::Move{1, 0});
    }
    watcher.waitFor(start, [&](const auto& m) { return m.x >= startX + moves; }, 2.0);
    std::this_thread::sleep_for(50ms);
    const auto motions = watcher.since(start);
    std::vector<double> lags;
    for (const auto& motion : motions) {
        const int delivered = motion.x - startX;  // moves whose pixels have arrived
        if (delivered >= 1 && delivered <= moves)
            lags.push_back(motion.at - sentAt[static_cast<std::size_t>(delivered - 1)]);
    }
    const int finalX = motions.empty() ? startX : motions.back().x;
    double mean = 0;
    for (double lag : lags)
        mean += lag;
    mean = lags.empty() ? 0 : mean / static_cast<double>(lags.size());
    const double span = motions.size() > 1 ? motions.back().at - motions.front().at : 0;
    std::printf("  burst of %d moves, 1 ms apart:      lag mean %.2f ms  max %.2f ms;  %.1f updates/s;  "
                "%d of %d pixels arrived\n",
                moves, mean * 1e3, lags.empty() ? 0.0 : *std::max_element(lags.begin(), lags.end()) * 1e3,
                span > 0 ? static_cast<double>(motions.size() - 1) / span : 0.0, finalX - startX, moves);
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int singleMoves = argc > 1 ? std::atoi(argv[1]) : 300;
    const bool headless = argc > 2 && std::string(argv[2]) == "--headless";
    try {
        testing_support::XvfbServer server;
        PointerWatcher watcher(server.displayName());
        XTestMover mover(server.displayName());
        testing_support::TemporaryFolder folder;
        testing_support::CompanionProcess companion(LUMIVEX_COMPANION_PATH, folder.path, server.displayName(),
                                                    headless ? std::vector<std::string>{"--headless"}
                                                             : std::vector<std::string>{});
        const auto endpoint = companion.waitUntilReady();

        std::vector<std::unique_ptr<PhoneTestClient>> phones;
        phones.push_back(pairedPhone(companion, endpoint, "Phone 1"));
        std::printf("companion_latency: one phone connected\n");
        const double floor = measureFloor(watcher, mover, singleMoves, 200);
        measureTimerLateness(singleMoves);
        measureSingleMoves(watcher, *phones[0], singleMoves, floor);
        measureBurst(watcher, *phones[0], 1000);

        for (int i = 2; i <= 8; ++i)
            phones.push_back(pairedPhone(companion, endpoint, "Phone " + std::to_string(i)));
        watcher.clear();
        std::printf("companion_latency: eight phones connected, one moving\n");
        const double busyFloor = measureFloor(watcher, mover, singleMoves, 300);
        measureSingleMoves(watcher, *phones[0], singleMoves, busyFloor);
        measureBurst(watcher, *phones[0], 1000);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "companion_latency: %s\n", e.what());
        return 1;
    }
    return 0;
}
