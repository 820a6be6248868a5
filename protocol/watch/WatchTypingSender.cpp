#include "protocol/watch/WatchTypingSender.h"

#include <time.h>

#include <algorithm>
#include <cmath>

namespace TrackpadProtocol {

using Phase = WatchTypingFeedback::Phase;

namespace {

double bootTimeSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

std::shared_ptr<WatchTypingSender> WatchTypingSender::create(std::shared_ptr<WatchInputRouter> input,
                                                             platform::Executor& mainQueue,
                                                             std::chrono::microseconds answerTimeout,
                                                             ContinuousClock continuousClock) {
    return std::shared_ptr<WatchTypingSender>(
        new WatchTypingSender(std::move(input), mainQueue, answerTimeout, std::move(continuousClock)));
}

WatchTypingSender::WatchTypingSender(std::shared_ptr<WatchInputRouter> input, platform::Executor& mainQueue,
                                     std::chrono::microseconds answerTimeout, ContinuousClock continuousClock)
    : feedback_(std::nullopt),
      retryText_(std::nullopt),
      input_(std::move(input)),
      mainQueue_(mainQueue),
      session_(input_->inputSession()),
      answerTimeout_(answerTimeout),
      continuousClock_(continuousClock ? std::move(continuousClock) : ContinuousClock(bootTimeSeconds)) {}

WatchTypingSender::~WatchTypingSender() {
    for (const auto& [number, waiting] : waiting_)
        if (waiting.timeout)
            mainQueue_.cancel(*waiting.timeout);
}

void WatchTypingSender::send(const std::string& text) {
    send(text, session_);
}

void WatchTypingSender::send(const std::string& text, std::int64_t session) {
    sendAction(WatchTyping::messages(text), WatchTypingFeedback::Entry::text(text), session);
}

void WatchTypingSender::send(WatchSpecialKey key) {
    sendAction(messages(key), WatchTypingFeedback::Entry::key(key), session_);
}

void WatchTypingSender::retry() {
    const auto text = retryText_.value();
    if (!text)
        return;
    const auto& current = feedback_.value();
    if (current && current->phase == Phase::sending &&
        current->entry == WatchTypingFeedback::Entry::text(*text))
        return;
    send(*text, session_);
}

void WatchTypingSender::sendAction(const std::vector<Message>& messages, WatchTypingFeedback::Entry entry,
                                   std::int64_t session) {
    if (messages.empty())
        return;
    const auto number = ++latest_;
    waiting_[number] = Waiting{entry, static_cast<std::int64_t>(messages.size()), std::nullopt};
    feedback_.set(WatchTypingFeedback::sending(entry));
    if (session != session_ || session != input_->inputSession()) {
        finish(number, Phase::notSent);
        return;
    }
    std::weak_ptr<WatchTypingSender> weak = weak_from_this();
    for (const auto& message : messages) {
        // A piece the computer did not take ends the action; typing the rest after the gap would
        // produce a different text than the user's.
        if (!waiting_.count(number))
            return;
        const bool accepted = input_->send(message, session, [weak, number](bool delivered) {
            if (auto live = weak.lock())
                live->answered(number, delivered);
        });
        if (!accepted) {
            finish(number, Phase::notSent);
            return;
        }
    }
    auto it = waiting_.find(number);
    if (it == waiting_.end())
        return;
    it->second.deadline = continuousClock_() + std::chrono::duration<double>(answerTimeout_).count();
    checkTimeout(number);
}

void WatchTypingSender::checkTimeout(std::int64_t number) {
    auto it = waiting_.find(number);
    if (it == waiting_.end())
        return;
    it->second.timeout.reset();
    // Less than a microsecond left counts as due: the queue's timers have no finer grain, and a check
    // that came a hair early must not look again at once.
    const double left = it->second.deadline - continuousClock_();
    if (!(left >= 1e-6)) {
        finish(number, Phase::unanswered);
        return;
    }
    const double wait = std::min(left, timeoutCheckInterval);
    std::weak_ptr<WatchTypingSender> weak = weak_from_this();
    it->second.timeout = mainQueue_.schedule(
        std::chrono::microseconds(static_cast<std::int64_t>(std::ceil(wait * 1e6))), [weak, number] {
            if (auto live = weak.lock())
                live->checkTimeout(number);
        });
}

void WatchTypingSender::answered(std::int64_t number, bool delivered) {
    auto it = waiting_.find(number);
    if (it == waiting_.end())
        return;
    if (!delivered || input_->inputSession() != session_) {
        finish(number, Phase::notDelivered);
        return;
    }
    if (--it->second.unanswered == 0)
        finish(number, Phase::delivered);
}

void WatchTypingSender::finish(std::int64_t number, Phase phase) {
    auto it = waiting_.find(number);
    if (it == waiting_.end())
        return;
    const Waiting waiting = std::move(it->second);
    waiting_.erase(it);
    if (waiting.timeout)
        mainQueue_.cancel(*waiting.timeout);
    const WatchTypingFeedback outcome{phase, waiting.entry};
    if (const auto* text = std::get_if<std::string>(&waiting.entry.value)) {
        if (phase == Phase::delivered) {
            if (retryText_.value() == *text)
                retryText_.set(std::nullopt);
        } else {
            retryText_.set(*text);
        }
    }
    if (number == latest_)
        feedback_.set(outcome);
    if (onFinish)
        onFinish(outcome);
}

}  // namespace TrackpadProtocol
