#pragma once
// Which newly connected phones deserve a brief notice, and the controller that shows and later dismisses
// it. A phone back within 15 s of leaving, or paired less than 30 s ago, gets none.
//
// Thread: the main queue.
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/core/CompanionRuntime.h"

namespace Shell {

struct ConnectionNotice {
    DeviceID deviceID;
    std::string deviceName;
    bool operator==(const ConnectionNotice&) const = default;
};

struct ConnectionNoticeTracker {
    double reconnectQuietPeriod = 15;
    double pairingQuietPeriod = 30;
    std::set<DeviceID> connected;
    std::map<DeviceID, Date> disconnectedAt;

    std::vector<ConnectionNotice> update(const std::set<DeviceID>& now,
                                         const std::vector<TrustedDevice>& trusted, Date date);
};

class ConnectionNoticePresenting {
  public:
    virtual ~ConnectionNoticePresenting() = default;
    virtual void show(const std::vector<ConnectionNotice>& notices) = 0;
    virtual void dismiss() = 0;
};

// The names in order, joined as a list of the user's language ("A and B", "A, B and C").
using ListJoiner = std::function<std::string(const std::vector<std::string>&)>;
std::string joinedNames(const std::vector<ConnectionNotice>& notices, const ListJoiner& join);
// English list joining, for processes without a locale of their own.
std::string joinEnglishList(const std::vector<std::string>& items);

class ConnectionNoticeController final : public ConnectionNotices {
  public:
    static constexpr double dismissDelay = 2.5;

    // The presenter, executor and preferences must outlive the controller.
    ConnectionNoticeController(CompanionPreferences& preferences, ConnectionNoticePresenting& presenter,
                               platform::Executor& executor, std::function<Date()> now);
    ~ConnectionNoticeController() override;

    void connectionsChanged(const std::set<DeviceID>& connected,
                            const std::vector<TrustedDevice>& trusted) override;
    void reset() override;
    const ConnectionNoticeTracker& tracker() const { return tracker_; }

  private:
    void cancelDismissal();

    CompanionPreferences& preferences_;
    ConnectionNoticePresenting& presenter_;
    platform::Executor& executor_;
    std::function<Date()> now_;
    ConnectionNoticeTracker tracker_;
    platform::Executor::TimerID dismissTimer_ = 0;
    std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace Shell
