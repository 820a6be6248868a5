#pragma once
// On the watch, on the main queue: every input the user makes ends here. It goes to the phone, which relays
// it to the chosen computer, or in demo mode to a simulated computer. Input sessions keep input from
// reaching the wrong computer: each is bound to the phone's target (computer id and the phone's own input
// session) of its time, a new one starts whenever that target changes or demo mode is entered or left,
// and input sent under an older session number is refused.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "platform/Executor.h"
#include "platform/Published.h"
#include "protocol/watch/WatchDemoMac.h"
#include "protocol/watch/WatchRelay.h"

namespace TrackpadProtocol {

class WatchInputRouter : public std::enable_shared_from_this<WatchInputRouter> {
  public:
    // Registers with the sink for the phone's state; the registration holds the router weakly.
    static std::shared_ptr<WatchInputRouter> create(std::shared_ptr<WatchInputSink> phone,
                                                    platform::Executor& mainQueue);

    // Sends under the session the caller read when the user began; false when that session is no longer
    // the current one (the callback is then never called), when the phone cannot take the message, or in
    // demo mode when the message is not watch input. The demo computer answers asynchronously, never from
    // inside send.
    bool send(const Message& message, std::int64_t inputSession,
              std::function<void(bool delivered)> onAnswer = {});
    void startDemo();
    void stopDemo();
    bool isDemo() const { return demo_.value().has_value(); }

    const std::optional<WatchDemoMac>& demo() const { return demo_.value(); }
    std::int64_t inputSession() const { return inputSession_.value(); }
    const std::optional<UUID>& targetMacID() const { return targetMacID_; }
    std::int64_t phoneInputSession() const { return phoneInputSession_; }

    [[nodiscard]] platform::Published<std::optional<WatchDemoMac>>::Subscription observeDemo(
        std::function<void(const std::optional<WatchDemoMac>&)> callback) {
        return demo_.subscribe(std::move(callback));
    }
    [[nodiscard]] platform::Published<std::int64_t>::Subscription observeInputSession(
        std::function<void(const std::int64_t&)> callback) {
        return inputSession_.subscribe(std::move(callback));
    }

  private:
    struct PhoneTarget {
        std::optional<UUID> macID;
        std::int64_t inputSession = 0;
        std::optional<std::string> macName;
        bool isDemo = false;
        bool operator==(const PhoneTarget&) const = default;
    };
    struct SessionTarget {
        std::optional<UUID> macID;
        std::int64_t inputSession = 0;
    };

    WatchInputRouter(std::shared_ptr<WatchInputSink> phone, platform::Executor& mainQueue);
    void applyStatus(const WatchStatus& status);
    void startNewSession();
    void bindCurrentSession(SessionTarget target);

    platform::Published<std::optional<WatchDemoMac>> demo_;
    platform::Published<std::int64_t> inputSession_;
    std::optional<UUID> targetMacID_;
    std::int64_t phoneInputSession_ = 0;
    std::shared_ptr<WatchInputSink> phone_;
    platform::Executor& mainQueue_;
    std::optional<PhoneTarget> phoneTarget_;
    // Only the current session can send, so older entries are dropped as a new one is bound.
    std::map<std::int64_t, SessionTarget> sessionTargets_{{0, SessionTarget{}}};
};

}  // namespace TrackpadProtocol
