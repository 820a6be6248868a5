#include "testing/WatchLoopback.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "protocol/messages/MessageCodec.h"

namespace testing_support {

using namespace TrackpadProtocol;

namespace {

std::chrono::microseconds micros(double seconds) {
    // Rounded up: a timer that fires a fraction of a microsecond early would find nothing due yet.
    return std::chrono::microseconds(static_cast<std::int64_t>(std::ceil(std::max(0.0, seconds) * 1e6)));
}

std::optional<WatchPayload> read(const Data& bytes) {
    try {
        return WatchPayload(bytes);
    } catch (const MessageCodec::DecodingError&) {
        return std::nullopt;
    }
}

}  // namespace

bool LoopbackComputer::receive(const Message& message) {
    if (!accepting)
        return false;
    try {
        received.push_back(MessageCodec::decode(MessageCodec::encode(message)));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// ---- Phone ------------------------------------------------------------------------------------------

bool LoopbackPhone::sendToMac(const Message& message) {
    switch (status_.mac.kind()) {
        case WatchStatus::Mac::Kind::demo:
            return demo_ && demo_->apply(message);
        case WatchStatus::Mac::Kind::connected:
            return computer_(message);
        default:
            return false;
    }
}

void LoopbackPhone::connectTo(const std::string& name, const UUID& id) {
    demo_.reset();
    status_ = WatchStatus(status_.isPhoneAppActive, WatchStatus::Mac::Connected{name}, id,
                          status_.inputSession + 1);
    changed();
}

void LoopbackPhone::disconnect(std::optional<std::string> problem) {
    status_.mac = WatchStatus::Mac::NotConnected{status_.mac.name(), std::move(problem)};
    changed();
}

void LoopbackPhone::enterDemo() {
    demo_ = WatchDemoMac{};
    status_ = WatchStatus(status_.isPhoneAppActive, WatchStatus::Mac::Demo{}, std::nullopt,
                          status_.inputSession + 1);
    changed();
}

void LoopbackPhone::setAppActive(bool active) {
    status_.isPhoneAppActive = active;
    changed();
}

void LoopbackPhone::changed() {
    if (link_)
        link_->push(status_);
}

// ---- Link -------------------------------------------------------------------------------------------

WatchLoopbackLink::WatchLoopbackLink(platform::Executor& executor, std::shared_ptr<LoopbackPhone> phone,
                                     double delay)
    : executor_(executor), phone_(std::move(phone)), relay_(phone_), delay_(micros(delay)) {
    phone_->attach(this);
}

void WatchLoopbackLink::setState(WatchPhoneState state) {
    state_ = std::move(state);
    const auto observers = observers_;
    for (const auto& observer : observers)
        observer(state_);
}

void WatchLoopbackLink::observePhoneState(std::function<void(const WatchPhoneState&)> callback) {
    observers_.push_back(std::move(callback));
}

void WatchLoopbackLink::toPhone(Data bytes, std::function<void(Data)> onReply) {
    ++payloadsToPhone_;
    auto self = shared_from_this();
    executor_.schedule(delay_, [self, bytes = std::move(bytes), onReply = std::move(onReply)]() mutable {
        if (!self->reachable_) {
            onReply({});
            return;
        }
        Data reply = self->relay_.receive(bytes);
        self->executor_.schedule(self->delay_,
                                 [self, reply = std::move(reply), onReply = std::move(onReply)] {
                                     onReply(self->reachable_ ? reply : Data{});
                                 });
    });
}

bool WatchLoopbackLink::send(const Message& message, const std::optional<UUID>& targetMacID,
                             std::int64_t inputSession, std::function<void(bool delivered)> onAnswer) {
    if (!reachable_)
        return false;
    Data bytes;
    try {
        bytes = WatchPayload(WatchPayload::Input{message, targetMacID, inputSession}).encoded();
    } catch (const MessageCodec::EncodingError&) {
        return false;
    }
    toPhone(std::move(bytes), [this, onAnswer = std::move(onAnswer)](Data reply) {
        const auto payload = read(reply);
        if (auto status = sequencer_.receive(payload))
            setState(WatchPhoneState{WatchPhoneState::Answered{*status}});
        if (onAnswer)
            onAnswer(payload && payload->isDelivered());
    });
    return true;
}

void WatchLoopbackLink::refreshPhoneState() {
    if (!reachable_) {
        setState(WatchPhoneState{WatchPhoneState::Unreachable{}});
        return;
    }
    setState(WatchPhoneState{WatchPhoneState::Checking{}});
    const auto ticket = sequencer_.ticket();
    toPhone(WatchPayload(WatchPayload::StatusRequest{}).encoded(), [this, ticket](Data reply) {
        const auto payload = read(reply);
        if (!payload) {
            if (!reachable_)
                return;
            setState(WatchPhoneState{WatchPhoneState::NoAnswer{}});
            return;
        }
        if (auto status = sequencer_.answer(payload, ticket))
            setState(WatchPhoneState{WatchPhoneState::Answered{*status}});
    });
}

void WatchLoopbackLink::push(const WatchStatus& status) {
    Data bytes = WatchPayload(WatchPayload::Status{status}).encoded();
    auto self = shared_from_this();
    executor_.schedule(delay_, [self, bytes = std::move(bytes)] {
        if (!self->reachable_)
            return;
        if (auto received = self->sequencer_.receive(read(bytes)))
            self->setState(WatchPhoneState{WatchPhoneState::Answered{*received}});
    });
}

void WatchLoopbackLink::setReachable(bool reachable) {
    reachable_ = reachable;
    if (!reachable)
        setState(WatchPhoneState{WatchPhoneState::Unreachable{}});
    else
        refreshPhoneState();
}

// ---- Watch ------------------------------------------------------------------------------------------

LoopbackWatch::LoopbackWatch(platform::Executor& executor, std::shared_ptr<WatchLoopbackLink> link)
    : executor_(executor),
      link_(std::move(link)),
      router_(WatchInputRouter::create(link_, executor)),
      typing_(WatchTypingSender::create(router_, executor)) {
    // A typing sender belongs to one input session; a new session gets a new one.
    sessionSubscription_ =
        router_->observeInputSession([this, alive = std::weak_ptr<bool>(alive_)](const std::int64_t&) {
            if (alive.expired())
                return;
            typing_ = WatchTypingSender::create(router_, executor_);
        });
}

LoopbackWatch::~LoopbackWatch() {
    *alive_ = false;
    if (frameTimer_)
        executor_.cancel(*frameTimer_);
    if (deadlineTimer_)
        executor_.cancel(*deadlineTimer_);
}

void LoopbackWatch::touchBegan(double x, double y) {
    touchSession_ = router_->inputSession();
    take(mapper_.touchBegan({x, y}, executor_.now()));
}

void LoopbackWatch::touchMoved(double x, double y) {
    take(mapper_.touchMoved({x, y}, executor_.now()));
}

void LoopbackWatch::touchEnded(double x, double y) {
    take(mapper_.touchEnded({x, y}, executor_.now()));
}

void LoopbackWatch::type(const std::string& text) {
    typing_->send(text);
}

void LoopbackWatch::take(std::vector<Message> messages) {
    const double now = executor_.now();
    std::vector<Message> paced;
    for (const auto& message : messages)
        pacer_.add(message, now, paced);
    if (!paced.empty())
        send(batcher_.enqueue(paced, now));
    armTimers();
}

void LoopbackWatch::send(std::vector<Message> batch) {
    for (const auto& message : batch) {
        std::weak_ptr<bool> alive = alive_;
        const bool accepted = router_->send(message, touchSession_, [this, alive](bool) {
            if (alive.expired())
                return;
            send(batcher_.answerReceived(executor_.now()));
            armTimers();
        });
        if (!accepted) {
            // Input of an older session never reaches the new computer; it no longer waits for an answer.
            ++refused_;
            send(batcher_.answerReceived(executor_.now()));
        }
    }
}

void LoopbackWatch::frame() {
    frameTimer_.reset();
    const double now = executor_.now();
    if (auto share = pacer_.tick(now))
        send(batcher_.enqueue({*share}, now));
    armTimers();
}

void LoopbackWatch::armTimers() {
    std::weak_ptr<bool> alive = alive_;
    if (!pacer_.isIdle() && !frameTimer_) {
        frameTimer_ = executor_.schedule(micros(1.0 / 60), [this, alive] {
            if (!alive.expired())
                frame();
        });
    }
    if (deadlineTimer_)
        executor_.cancel(*deadlineTimer_);
    deadlineTimer_.reset();
    if (auto deadline = batcher_.nextDeadline()) {
        deadlineTimer_ = executor_.schedule(micros(*deadline - executor_.now()), [this, alive] {
            if (alive.expired())
                return;
            deadlineTimer_.reset();
            send(batcher_.expireAnswers(executor_.now()));
            armTimers();
        });
    }
}

}  // namespace testing_support
