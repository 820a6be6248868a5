#pragma once
// A hand-over between an owner that makes jobs and a worker that turns them into results, where only the
// newest of each matters: a job not yet begun is replaced by a newer one, and a result the owner has not
// taken yet by a newer one. It says when the worker needs a task and when the owner needs a call, so that
// neither queue ever holds more than one of them whatever the rate of jobs.
//
// What is replaced is handed back to the caller, to be released outside the lock (a picture or a surface
// can take a while to free).
//
// Thread: offer(), collect() and the drops from the owner's thread; take() and deliver() from the
// worker's; busy() from any.
#include <mutex>
#include <optional>
#include <utility>

namespace platform {

template <class Job, class Result>
class NewestHandoff {
  public:
    struct Offered {
        bool schedule = false;  // no task of the worker's will take the job yet: queue one
        std::optional<Job> replaced;
    };
    Offered offer(Job job) {
        std::lock_guard lock(mutex_);
        Offered offered;
        offered.replaced = std::exchange(waiting_, std::move(job));
        offered.schedule = !std::exchange(scheduled_, true);
        return offered;
    }

    // The worker's task: the newest job, none when it was dropped meanwhile. A job taken is delivered.
    std::optional<Job> take() {
        std::lock_guard lock(mutex_);
        scheduled_ = false;
        working_ = waiting_.has_value();
        return std::exchange(waiting_, std::nullopt);
    }

    struct Delivered {
        bool post = false;   // no call of the owner's will take the result yet: post one
        bool again = false;  // a job came while this one was worked on: queue a task for it
        std::optional<Result> overtaken;
    };
    Delivered deliver(Result result) {
        std::lock_guard lock(mutex_);
        Delivered delivered;
        working_ = false;
        delivered.overtaken = std::exchange(result_, std::move(result));
        delivered.post = !std::exchange(posted_, true);
        delivered.again = waiting_ && !std::exchange(scheduled_, true);
        return delivered;
    }

    // The owner's call: the newest result, none when there was none or it was dropped meanwhile.
    std::optional<Result> collect() {
        std::lock_guard lock(mutex_);
        posted_ = false;
        return std::exchange(result_, std::nullopt);
    }

    std::optional<Job> dropWaiting() {
        std::lock_guard lock(mutex_);
        return std::exchange(waiting_, std::nullopt);
    }
    std::optional<Result> dropResult() {
        std::lock_guard lock(mutex_);
        return std::exchange(result_, std::nullopt);
    }

    // A job waits or is being worked on, or a result is on its way to the owner.
    bool busy() const {
        std::lock_guard lock(mutex_);
        return waiting_ || scheduled_ || working_ || result_ || posted_;
    }

  private:
    mutable std::mutex mutex_;
    std::optional<Job> waiting_;
    bool scheduled_ = false;
    bool working_ = false;  // taken and not yet delivered
    std::optional<Result> result_;
    bool posted_ = false;
};

}  // namespace platform
