#pragma once
// Lets the runtime or the listener withdraw an unlock that is waiting or running. Shared (through a
// shared_ptr) between the listener, the runtime and the unlocker's queue; every access takes its lock.
#include <mutex>

namespace CompanionNetwork {

class UnlockCancellation {
  public:
    bool isCancelled() const {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }
    void cancel() {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
    }

  private:
    mutable std::mutex mutex_;
    bool cancelled_ = false;
};

}  // namespace CompanionNetwork
