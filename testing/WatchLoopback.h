#pragma once
// A whole watch session in memory, on one executor with virtual time: a watch (touch mapper, pointer
// pacer, input batcher, input router, typing), its link to the phone that carries payload bytes with a
// delay, a phone application around the protocol's WatchRelay, and the computer the phone controls:
// either one that takes messages as they arrive from the wire, or the phone's own demo computer.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Executor.h"
#include "protocol/watch/WatchInputBatcher.h"
#include "protocol/watch/WatchInputRouter.h"
#include "protocol/watch/WatchPointerPacer.h"
#include "protocol/watch/WatchRelay.h"
#include "protocol/watch/WatchTouchMapper.h"
#include "protocol/watch/WatchTypingSender.h"

namespace testing_support {

// A computer reached through the protocol: each message is framed and decoded again as if it crossed
// the wire, and kept.
class LoopbackComputer {
  public:
    bool accepting = true;
    std::vector<TrackpadProtocol::Message> received;
    bool receive(const TrackpadProtocol::Message& message);
};

class WatchLoopbackLink;

// The phone application: it relays the watch's input to its computer (or its demo computer) and pushes
// its status to the watch whenever it changes.
class LoopbackPhone : public TrackpadProtocol::WatchRelayTarget {
  public:
    // `computer` hands a message to the computer the phone controls; true when it was taken.
    explicit LoopbackPhone(std::function<bool(const TrackpadProtocol::Message&)> computer)
        : computer_(std::move(computer)) {}
    explicit LoopbackPhone(std::shared_ptr<LoopbackComputer> computer)
        : LoopbackPhone([computer](const TrackpadProtocol::Message& m) { return computer->receive(m); }) {}

    bool sendToMac(const TrackpadProtocol::Message& message) override;
    TrackpadProtocol::WatchStatus watchStatus() const override { return status_; }

    // Each change of target starts a new input session of the phone, and is pushed to the watch.
    void connectTo(const std::string& name, const TrackpadProtocol::UUID& id);
    void disconnect(std::optional<std::string> problem);
    void enterDemo();
    void setAppActive(bool active);

    void attach(WatchLoopbackLink* link) { link_ = link; }
    const std::optional<TrackpadProtocol::WatchDemoMac>& demo() const { return demo_; }

  private:
    void changed();

    TrackpadProtocol::WatchStatus status_{true, TrackpadProtocol::WatchStatus::Mac::NoMacSelected{},
                                          std::nullopt, 0};
    std::function<bool(const TrackpadProtocol::Message&)> computer_;
    std::optional<TrackpadProtocol::WatchDemoMac> demo_;
    WatchLoopbackLink* link_ = nullptr;
};

// The watch's end of the device link: payloads travel as bytes, each way after `delay` seconds, and the
// phone answers through its WatchRelay. Statuses are applied through a WatchStatusSequencer, so a
// requested answer never overwrites a newer pushed status.
class WatchLoopbackLink : public TrackpadProtocol::WatchInputSink,
                          public std::enable_shared_from_this<WatchLoopbackLink> {
  public:
    WatchLoopbackLink(platform::Executor& executor, std::shared_ptr<LoopbackPhone> phone,
                      double delay = 0.005);

    void refreshPhoneState() override;
    bool send(const TrackpadProtocol::Message& message,
              const std::optional<TrackpadProtocol::UUID>& targetMacID, std::int64_t inputSession,
              std::function<void(bool delivered)> onAnswer) override;
    void observePhoneState(std::function<void(const TrackpadProtocol::WatchPhoneState&)> callback) override;

    // The phone pushes its status.
    void push(const TrackpadProtocol::WatchStatus& status);
    // Out of range: sends are refused, and what is under way is answered as not delivered.
    void setReachable(bool reachable);

    const TrackpadProtocol::WatchPhoneState& phoneState() const { return state_; }
    std::size_t payloadsToPhone() const { return payloadsToPhone_; }

  private:
    void toPhone(TrackpadProtocol::Data bytes, std::function<void(TrackpadProtocol::Data)> onReply);
    void setState(TrackpadProtocol::WatchPhoneState state);

    platform::Executor& executor_;
    std::shared_ptr<LoopbackPhone> phone_;
    TrackpadProtocol::WatchRelay relay_;
    std::chrono::microseconds delay_;
    bool reachable_ = true;
    TrackpadProtocol::WatchStatusSequencer sequencer_;
    TrackpadProtocol::WatchPhoneState state_{TrackpadProtocol::WatchPhoneState::Checking{}};
    std::vector<std::function<void(const TrackpadProtocol::WatchPhoneState&)>> observers_;
    std::size_t payloadsToPhone_ = 0;
};

// The watch application: touches become paced, batched moves sent through the router, with a 60 Hz
// frame timer while anything is paced and the batcher's deadline timer; typing goes through a
// WatchTypingSender.
class LoopbackWatch {
  public:
    LoopbackWatch(platform::Executor& executor, std::shared_ptr<WatchLoopbackLink> link);
    ~LoopbackWatch();

    void touchBegan(double x, double y);
    void touchMoved(double x, double y);
    void touchEnded(double x, double y);
    void type(const std::string& text);

    TrackpadProtocol::WatchInputRouter& router() { return *router_; }
    TrackpadProtocol::WatchTypingSender& typing() { return *typing_; }
    // Messages the router refused (for example after a session change).
    std::size_t refused() const { return refused_; }

  private:
    void take(std::vector<TrackpadProtocol::Message> messages);
    void send(std::vector<TrackpadProtocol::Message> batch);
    void frame();
    void armTimers();

    platform::Executor& executor_;
    std::shared_ptr<WatchLoopbackLink> link_;
    std::shared_ptr<TrackpadProtocol::WatchInputRouter> router_;
    std::shared_ptr<TrackpadProtocol::WatchTypingSender> typing_;
    TrackpadProtocol::WatchTouchMapper mapper_;
    TrackpadProtocol::WatchPointerPacer pacer_;
    TrackpadProtocol::WatchInputBatcher batcher_;
    std::optional<platform::Executor::TimerID> frameTimer_;
    std::optional<platform::Executor::TimerID> deadlineTimer_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    platform::Published<std::int64_t>::Subscription sessionSubscription_;
    std::int64_t touchSession_ = 0;
    std::size_t refused_ = 0;
};

}  // namespace testing_support
