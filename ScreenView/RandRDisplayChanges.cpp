#include "ScreenView/RandRDisplayChanges.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/randr.h>

#include <map>
#include <mutex>
#include <thread>

#include "ScreenView/XMonitors.h"

namespace ScreenView {

struct RandRDisplayChanges::Impl {
    std::string displayName;
    int pollMilliseconds;
    int stopFD = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    std::mutex mutex;  // guards handlers, nextID, started
    std::map<std::uint64_t, std::shared_ptr<std::function<void()>>> handlers;
    std::uint64_t nextID = 1;
    bool started = false;
    // Held while handlers run, so that a subscription's end waits for a running handler.
    std::recursive_mutex calling;
    std::thread thread;

    ~Impl() {
        if (stopFD >= 0) {
            close(stopFD);
        }
    }

    void notify() {
        std::lock_guard callingLock(calling);
        std::vector<std::shared_ptr<std::function<void()>>> current;
        {
            std::lock_guard lock(mutex);
            for (auto& entry : handlers) {
                current.push_back(entry.second);
            }
        }
        for (auto& handler : current) {
            (*handler)();
        }
    }

    bool stopRequested() {
        std::uint64_t value = 0;
        return read(stopFD, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
    }

    void run() {
        pthread_setname_np(pthread_self(), "screenview.rand");
        std::vector<ScreenDisplayList::Description> last;
        bool haveLast = false;
        while (true) {
            XDisplayConnection display(displayName);
            if (!display.usable()) {
                pollfd stop{stopFD, POLLIN, 0};
                if (poll(&stop, 1, 2000) > 0 && stopRequested()) {
                    return;
                }
                continue;
            }
            xcb_connection_t* connection = display.get();
            if (display.has(&xcb_randr_id)) {
                xcb_randr_select_input(connection, display.root(),
                                       XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE |
                                           XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                           XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
                xcb_flush(connection);
            }
            while (xcb_connection_has_error(connection) == 0) {
                const auto monitors = readMonitors(display);
                if (haveLast && monitors != last) {
                    notify();
                }
                last = monitors;
                haveLast = true;
                pollfd fds[2] = {{xcb_get_file_descriptor(connection), POLLIN, 0}, {stopFD, POLLIN, 0}};
                if (poll(fds, 2, pollMilliseconds) > 0 && (fds[1].revents & POLLIN) != 0 && stopRequested()) {
                    return;
                }
                // RandR events only prompt a fresh look; the comparison decides whether anything changed.
                while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
                    std::free(event);
                }
            }
        }
    }
};

namespace {

struct Token final : DisplayChangeNotifier::Subscription {
    explicit Token(std::function<void()> remove) : remove(std::move(remove)) {}
    ~Token() override { remove(); }
    std::function<void()> remove;
};

}  // namespace

RandRDisplayChanges::RandRDisplayChanges(std::string displayName, double pollSeconds)
    : impl_(std::make_shared<Impl>()) {
    impl_->displayName = std::move(displayName);
    impl_->pollMilliseconds = static_cast<int>(pollSeconds * 1000);
}

RandRDisplayChanges::~RandRDisplayChanges() {
    const std::uint64_t one = 1;
    if (write(impl_->stopFD, &one, sizeof one) < 0) {
        // The eventfd cannot be full with a single write; nothing to do.
    }
    if (impl_->thread.joinable()) {
        impl_->thread.join();
    }
}

std::unique_ptr<DisplayChangeNotifier::Subscription> RandRDisplayChanges::subscribe(
    std::function<void()> handler) {
    std::uint64_t id = 0;
    {
        std::lock_guard lock(impl_->mutex);
        id = impl_->nextID++;
        impl_->handlers.emplace(id, std::make_shared<std::function<void()>>(std::move(handler)));
        if (!impl_->started) {
            impl_->started = true;
            impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
        }
    }
    std::weak_ptr<Impl> weak = impl_;
    return std::make_unique<Token>([weak, id] {
        if (auto impl = weak.lock()) {
            // A handler that ends its own subscription holds `calling` already (it is recursive).
            std::lock_guard callingLock(impl->calling);
            std::lock_guard lock(impl->mutex);
            impl->handlers.erase(id);
        }
    });
}

}  // namespace ScreenView
