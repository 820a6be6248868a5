#include "ScreenView/SerialQueue.h"

#include <pthread.h>

namespace ScreenView {

SerialQueue::SerialQueue(std::string label) : loop_(std::make_shared<platform::EventLoop>()) {
    // The thread keeps the loop alive on its own, so that a queue destroyed by one of its tasks does not
    // pull the loop out from under the running task.
    thread_ = std::thread([loop = loop_, name = label.substr(0, 15)] {
        pthread_setname_np(pthread_self(), name.c_str());
        loop->run();
        loop->runOnce();
    });
}

SerialQueue::~SerialQueue() {
    loop_->stop();
    if (isCurrent()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

}  // namespace ScreenView
