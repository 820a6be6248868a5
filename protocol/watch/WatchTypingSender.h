#pragma once
// On the watch, on the main queue: the object behind the typing screen. It sends a typed text or a special
// key through the input router, counts the answers and publishes the feedback of the latest action, with
// the last text that failed so that the user can send it again. Each action ends exactly once: delivered,
// not delivered, not sent, or unanswered after the time-out.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/Executor.h"
#include "platform/Published.h"
#include "protocol/watch/WatchInputRouter.h"
#include "protocol/watch/WatchTyping.h"

namespace TrackpadProtocol {

class WatchTypingSender : public std::enable_shared_from_this<WatchTypingSender> {
  public:
    static constexpr std::chrono::microseconds standardAnswerTimeout = std::chrono::seconds(8);
    // Seconds of a clock that goes on while the device sleeps.
    using ContinuousClock = std::function<double()>;
    // While an action waits, the time-out is looked at again at least this often: the queue's timers do
    // not count the time the device slept, the time-out does.
    static constexpr double timeoutCheckInterval = 1.0;

    // Bound to the router's input session of this moment, for the sender's whole life. The time-out runs
    // on `continuousClock`, CLOCK_BOOTTIME when none is given.
    static std::shared_ptr<WatchTypingSender> create(
        std::shared_ptr<WatchInputRouter> input, platform::Executor& mainQueue,
        std::chrono::microseconds answerTimeout = standardAnswerTimeout, ContinuousClock continuousClock = {});
    // Pending time-outs end with the sender and finish nothing.
    ~WatchTypingSender();
    WatchTypingSender(const WatchTypingSender&) = delete;
    WatchTypingSender& operator=(const WatchTypingSender&) = delete;

    void send(const std::string& text);
    void send(const std::string& text, std::int64_t session);
    void send(WatchSpecialKey key);
    // Sends the failed text again, unless it is already on its way.
    void retry();

    const std::optional<WatchTypingFeedback>& feedback() const { return feedback_.value(); }
    const std::optional<std::string>& retryText() const { return retryText_.value(); }
    [[nodiscard]] platform::Published<std::optional<WatchTypingFeedback>>::Subscription observeFeedback(
        std::function<void(const std::optional<WatchTypingFeedback>&)> callback) {
        return feedback_.subscribe(std::move(callback));
    }
    [[nodiscard]] platform::Published<std::optional<std::string>>::Subscription observeRetryText(
        std::function<void(const std::optional<std::string>&)> callback) {
        return retryText_.subscribe(std::move(callback));
    }

    // Told of every finished action, the latest or not.
    std::function<void(const WatchTypingFeedback&)> onFinish;

    std::int64_t session() const { return session_; }

  private:
    struct Waiting {
        WatchTypingFeedback::Entry entry;
        std::int64_t unanswered = 0;  // messages still without a positive answer
        std::optional<platform::Executor::TimerID> timeout;
        double deadline = 0;  // on the continuous clock
    };

    WatchTypingSender(std::shared_ptr<WatchInputRouter> input, platform::Executor& mainQueue,
                      std::chrono::microseconds answerTimeout, ContinuousClock continuousClock);
    // Finishes the action as unanswered once its deadline has passed, else looks again later.
    void checkTimeout(std::int64_t number);
    void sendAction(const std::vector<Message>& messages, WatchTypingFeedback::Entry entry,
                    std::int64_t session);
    void answered(std::int64_t number, bool delivered);
    void finish(std::int64_t number, WatchTypingFeedback::Phase phase);

    platform::Published<std::optional<WatchTypingFeedback>> feedback_;
    platform::Published<std::optional<std::string>> retryText_;
    std::shared_ptr<WatchInputRouter> input_;
    platform::Executor& mainQueue_;
    std::int64_t session_;
    std::chrono::microseconds answerTimeout_;
    ContinuousClock continuousClock_;
    std::map<std::int64_t, Waiting> waiting_;
    std::int64_t latest_ = 0;
};

}  // namespace TrackpadProtocol
