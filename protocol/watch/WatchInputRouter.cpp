#include "protocol/watch/WatchInputRouter.h"

namespace TrackpadProtocol {

std::shared_ptr<WatchInputRouter> WatchInputRouter::create(std::shared_ptr<WatchInputSink> phone,
                                                           platform::Executor& mainQueue) {
    std::shared_ptr<WatchInputRouter> router(new WatchInputRouter(std::move(phone), mainQueue));
    std::weak_ptr<WatchInputRouter> weak = router;
    router->phone_->observePhoneState([weak](const WatchPhoneState& state) {
        const auto* answered = std::get_if<WatchPhoneState::Answered>(&state.value);
        if (!answered)
            return;
        if (auto live = weak.lock())
            live->applyStatus(answered->status);
    });
    return router;
}

WatchInputRouter::WatchInputRouter(std::shared_ptr<WatchInputSink> phone, platform::Executor& mainQueue)
    : demo_(std::nullopt), inputSession_(0), phone_(std::move(phone)), mainQueue_(mainQueue) {}

void WatchInputRouter::startNewSession() {
    // Wraps rather than overflowing; a session number is only ever compared for equality.
    inputSession_.set(static_cast<std::int64_t>(static_cast<std::uint64_t>(inputSession_.value()) + 1));
}

void WatchInputRouter::bindCurrentSession(SessionTarget target) {
    sessionTargets_.clear();
    sessionTargets_[inputSession_.value()] = target;
}

void WatchInputRouter::applyStatus(const WatchStatus& status) {
    PhoneTarget target{status.targetMacID, status.inputSession, status.mac.name(),
                       status.mac.kind() == WatchStatus::Mac::Kind::demo};
    const auto old = std::exchange(phoneTarget_, target);
    targetMacID_ = status.targetMacID;
    phoneInputSession_ = status.inputSession;
    if (isDemo())
        return;
    if (old && *old != target)
        startNewSession();
    bindCurrentSession({status.targetMacID, status.inputSession});
}

bool WatchInputRouter::send(const Message& message, std::int64_t session,
                            std::function<void(bool delivered)> onAnswer) {
    if (session != inputSession_.value())
        return false;
    if (!isDemo()) {
        SessionTarget target{targetMacID_, phoneInputSession_};
        if (auto it = sessionTargets_.find(session); it != sessionTargets_.end())
            target = it->second;
        return phone_->send(message, target.macID, target.inputSession, std::move(onAnswer));
    }
    if (!WatchDemoMac::accepts(message))
        return false;
    auto updated = *demo_.value();
    updated.apply(message);
    demo_.set(std::move(updated));
    if (onAnswer)
        mainQueue_.post([answer = std::move(onAnswer)] { answer(true); });
    return true;
}

void WatchInputRouter::startDemo() {
    if (isDemo())
        return;
    demo_.set(WatchDemoMac{});
    startNewSession();
}

void WatchInputRouter::stopDemo() {
    if (!isDemo())
        return;
    demo_.set(std::nullopt);
    startNewSession();
    bindCurrentSession({targetMacID_, phoneInputSession_});
}

}  // namespace TrackpadProtocol
