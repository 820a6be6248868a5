#include "platform/LoopQueue.h"

#include <exception>
#include <future>

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

}  // namespace

LoopQueue::LoopQueue(std::string label) : label_(std::move(label)), loop_(std::make_shared<EventLoop>()) {
    std::promise<void> started;
    std::future<void> running = started.get_future();
    // The thread keeps the loop alive on its own, so that a queue destroyed by one of its tasks does not
    // pull the loop out from under the running task.
    thread_ = WorkerThread(label_, [loop = loop_, label = label_, &started]() mutable {
        // The loop belongs to the thread that runs it: run() makes this thread the loop's own, and the
        // first task tells the constructor that isCurrent() now answers for this thread.
        loop->post([&started] { started.set_value(); });
        // A task that threw leaves the stop request in place, so run() is simply entered again.
        while (!runGuarded(label, [&] { loop->run(); })) {
        }
        // What is still posted runs; a task that throws here puts the rest of its batch back first.
        while (!runGuarded(label, [&] { loop->runOnce(); })) {
        }
    });
    running.wait();
}

LoopQueue::~LoopQueue() {
    loop_->stop();
    thread_.join();
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
