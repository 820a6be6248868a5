#include "platform/WorkerThread.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace platform {
namespace {

// Linux allows 15 bytes plus the terminator; cut at a character boundary so the name stays valid UTF-8.
std::string threadName(const std::string& label) {
    constexpr std::size_t limit = 15;
    if (label.size() <= limit) {
        return label;
    }
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(label[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return label.substr(0, cut);
}

// Every worker of the process, and the threads of those let go of on their own thread until they are
// joined. Never destroyed: a thread may still be ending when the process exits after all.
struct Workers {
    struct Released {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> ended;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t alive = 0;
    std::vector<Released> released;

    static Workers& shared() {
        static auto* workers = new Workers;
        return *workers;
    }

    // Joins the threads released so far, and those they release on their way out; not the calling
    // thread's own, which cannot join itself.
    void joinReleased() {
        std::unique_lock lock(mutex);
        for (;;) {
            std::vector<Released> taken;
            for (auto it = released.begin(); it != released.end();) {
                if (it->thread.get_id() != std::this_thread::get_id()) {
                    taken.push_back(std::move(*it));
                    it = released.erase(it);
                } else {
                    ++it;
                }
            }
            if (taken.empty()) {
                return;
            }
            lock.unlock();
            for (Released& entry : taken) {
                entry.thread.join();
            }
            lock.lock();
        }
    }

    // The released threads, besides the calling one, that have ended; with mutex held.
    std::vector<Released> takeEnded() {
        std::vector<Released> taken;
        for (auto it = released.begin(); it != released.end();) {
            if (it->ended->load() && it->thread.get_id() != std::this_thread::get_id()) {
                taken.push_back(std::move(*it));
                it = released.erase(it);
            } else {
                ++it;
            }
        }
        return taken;
    }

    // With mutex held.
    bool anyEnded() const {
        return std::any_of(released.begin(), released.end(), [](const Released& entry) {
            return entry.ended->load() && entry.thread.get_id() != std::this_thread::get_id();
        });
    }
    bool noneLeft() const {
        return alive == 0 && std::none_of(released.begin(), released.end(), [](const Released& entry) {
                   return entry.thread.get_id() != std::this_thread::get_id();
               });
    }

    void made() {
        std::lock_guard lock(mutex);
        ++alive;
    }

    // A thread's last step: joinAll() waits for released threads to get here.
    void ended() {
        std::lock_guard lock(mutex);
        changed.notify_all();
    }

    void gone(std::optional<Released> thread) {
        std::vector<Released> ended;
        {
            std::lock_guard lock(mutex);
            --alive;
            // Those that ended are joined now, so that the list stays as short as the workers still ending.
            ended = takeEnded();
            if (thread) {
                released.push_back(std::move(*thread));
            }
        }
        if (thread) {
            // A process that exits without joinAll() still joins them, before its static objects (the
            // loggers among them, made before any worker) are destroyed.
            static std::once_flag registered;
            std::call_once(registered, [] { std::atexit([] { Workers::shared().joinReleased(); }); });
        }
        changed.notify_all();
        for (Released& entry : ended) {
            entry.thread.join();
        }
    }
};

}  // namespace

WorkerThread::WorkerThread(const std::string& name, std::function<void()> body)
    : ended_(std::make_shared<std::atomic<bool>>(false)) {
    thread_ = std::thread([body = std::move(body), ended = ended_]() mutable {
        body();
        // What the body holds goes on this thread, before the thread counts as ended.
        body = nullptr;
        ended->store(true);
        Workers::shared().ended();
    });
    id_ = thread_.get_id();
    pthread_setname_np(thread_.native_handle(), threadName(name).c_str());
    Workers::shared().made();
}

WorkerThread::~WorkerThread() {
    join();
}

WorkerThread::WorkerThread(WorkerThread&& other) noexcept
    : thread_(std::move(other.thread_)), id_(std::exchange(other.id_, {})), ended_(std::move(other.ended_)) {}

WorkerThread& WorkerThread::operator=(WorkerThread&& other) noexcept {
    if (this != &other) {
        join();
        thread_ = std::move(other.thread_);
        id_ = std::exchange(other.id_, {});
        ended_ = std::move(other.ended_);
    }
    return *this;
}

void WorkerThread::join() {
    if (!thread_.joinable()) {
        return;
    }
    if (isCurrent()) {
        Workers::shared().gone(Workers::Released{std::move(thread_), std::move(ended_)});
    } else {
        thread_.join();
        Workers::shared().gone(std::nullopt);
    }
}

bool WorkerThread::joinAll(std::chrono::milliseconds timeout) {
    Workers& workers = Workers::shared();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(workers.mutex);
    for (;;) {
        // A released thread is joined once it has ended, never while it still runs: one that does not end
        // in time must not hold the caller past the deadline.
        std::vector<Workers::Released> ended = workers.takeEnded();
        if (!ended.empty()) {
            lock.unlock();
            for (Workers::Released& entry : ended) {
                entry.thread.join();
            }
            lock.lock();
            continue;
        }
        if (workers.noneLeft()) {
            return true;
        }
        // Woken when a worker goes or a released one ends.
        if (!workers.changed.wait_until(lock, deadline,
                                        [&] { return workers.noneLeft() || workers.anyEnded(); })) {
            return false;
        }
    }
}

}  // namespace platform
