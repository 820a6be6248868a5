#include "platform/LoopQueue.h"

#include <pthread.h>

#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <future>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/Log.h"

namespace platform {
namespace {

const Logger logger("dev.quelmar.trackpad.mac", "queues");

// The queue's boundary, as the main loop's: an exception escaping a task is logged and the loop goes on
// with its other work instead of ending the process. True when `pass` ran to its end.
template <class Pass>
bool runGuarded(const std::string& label, Pass&& pass) {
    try {
        pass();
        return true;
    } catch (const std::exception& error) {
        logger.error("a task of " + label + " failed: " + error.what());
    } catch (...) {
        logger.error("a task of " + label + " failed");
    }
    return false;
}

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

// Every queue of the process, and the threads of those released by one of their own tasks until they
// are joined. Never destroyed: a thread may still be ending when the process exits after all.
struct Queues {
    struct Released {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> ended;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t alive = 0;
    std::vector<Released> released;

    static Queues& shared() {
        static auto* queues = new Queues;
        return *queues;
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

    void made() {
        std::lock_guard lock(mutex);
        ++alive;
    }

    void gone(std::optional<Released> thread) {
        std::vector<Released> ended;
        {
            std::lock_guard lock(mutex);
            --alive;
            // Those that ended are joined now, so that the list stays as short as the queues still ending.
            for (auto it = released.begin(); it != released.end();) {
                if (it->ended->load()) {
                    ended.push_back(std::move(*it));
                    it = released.erase(it);
                } else {
                    ++it;
                }
            }
            if (thread) {
                released.push_back(std::move(*thread));
            }
        }
        if (thread) {
            // A process that exits without joinAll() still joins them, before its static objects (the
            // loggers among them, made before any queue) are destroyed.
            static std::once_flag registered;
            std::call_once(registered, [] { std::atexit([] { Queues::shared().joinReleased(); }); });
        }
        changed.notify_all();
        for (Released& entry : ended) {
            entry.thread.join();
        }
    }
};

}  // namespace

LoopQueue::LoopQueue(std::string label)
    : label_(std::move(label)),
      loop_(std::make_shared<EventLoop>()),
      ended_(std::make_shared<std::atomic<bool>>(false)) {
    std::promise<void> started;
    std::future<void> running = started.get_future();
    // The thread keeps the loop alive on its own, so that a queue destroyed by one of its tasks does not
    // pull the loop out from under the running task.
    thread_ = std::thread([loop = loop_, label = label_, ended = ended_, &started]() mutable {
        // The loop belongs to the thread that runs it: run() makes this thread the loop's own, and the
        // first task tells the constructor that isCurrent() now answers for this thread.
        loop->post([&started] { started.set_value(); });
        // A task that threw leaves the stop request in place, so run() is simply entered again.
        while (!runGuarded(label, [&] { loop->run(); })) {
        }
        // What is still posted runs; a task that throws here puts the rest of its batch back first.
        while (!runGuarded(label, [&] { loop->runOnce(); })) {
        }
        loop.reset();
        ended->store(true);
    });
    pthread_setname_np(thread_.native_handle(), threadName(label_).c_str());
    Queues::shared().made();
    running.wait();
}

LoopQueue::~LoopQueue() {
    loop_->stop();
    if (isCurrent()) {
        Queues::shared().gone(Queues::Released{std::move(thread_), ended_});
    } else {
        thread_.join();
        Queues::shared().gone(std::nullopt);
    }
}

bool LoopQueue::joinAll(std::chrono::milliseconds timeout) {
    Queues& queues = Queues::shared();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        queues.joinReleased();
        std::unique_lock lock(queues.mutex);
        if (queues.alive == 0) {
            return true;
        }
        // Woken when a queue goes; past the deadline only what was released by then is still joined.
        if (!queues.changed.wait_until(lock, deadline,
                                       [&] { return queues.alive == 0 || !queues.released.empty(); })) {
            return false;
        }
    }
}

void LoopQueue::sync(const std::function<void()>& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::packaged_task<void()> work([&task] { task(); });
    std::future<void> done = work.get_future();
    post([&work] { work(); });
    done.get();
}

}  // namespace platform
