#include "app/core/ConnectionNotices.h"

#include <algorithm>
#include <chrono>

namespace Shell {

namespace {

double secondsBetween(Date earlier, Date later) {
    return std::chrono::duration<double>(later - earlier).count();
}

}  // namespace

std::vector<ConnectionNotice> ConnectionNoticeTracker::update(const std::set<DeviceID>& now,
                                                              const std::vector<TrustedDevice>& trusted,
                                                              Date date) {
    for (const DeviceID& id : connected) {
        if (!now.contains(id)) {
            disconnectedAt[id] = date;
        }
    }
    std::erase_if(disconnectedAt, [&](const auto& entry) {
        return !(secondsBetween(entry.second, date) < reconnectQuietPeriod);
    });
    std::set<DeviceID> arrived;
    std::set_difference(now.begin(), now.end(), connected.begin(), connected.end(),
                        std::inserter(arrived, arrived.end()));
    connected = now;
    if (arrived.empty()) {
        return {};
    }
    std::map<DeviceID, const TrustedDevice*> byID;
    std::vector<DeviceID> order;
    for (const TrustedDevice& device : trusted) {
        if (byID.emplace(device.id, &device).second) {
            order.push_back(device.id);
        }
    }
    std::vector<DeviceID> strangers;
    for (const DeviceID& id : arrived) {
        if (!byID.contains(id)) {
            strangers.push_back(id);
        }
    }
    std::sort(strangers.begin(), strangers.end(),
              [](const DeviceID& a, const DeviceID& b) { return a.uuidString() < b.uuidString(); });
    order.insert(order.end(), strangers.begin(), strangers.end());

    std::vector<ConnectionNotice> notices;
    for (const DeviceID& id : order) {
        if (!arrived.contains(id) || disconnectedAt.contains(id)) {
            continue;
        }
        auto found = byID.find(id);
        if (found != byID.end() && secondsBetween(found->second->pairedAt, date) < pairingQuietPeriod) {
            continue;
        }
        notices.push_back(
            ConnectionNotice{id, found != byID.end() ? found->second->name : std::string("iPhone")});
    }
    return notices;
}

std::string joinEnglishList(const std::vector<std::string>& items) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            out += i + 1 == items.size() ? " and " : ", ";
        }
        out += items[i];
    }
    return out;
}

std::string joinedNames(const std::vector<ConnectionNotice>& notices, const ListJoiner& join) {
    std::vector<std::string> names;
    for (const auto& notice : notices) {
        names.push_back(notice.deviceName);
    }
    return join ? join(names) : joinEnglishList(names);
}

ConnectionNoticeController::ConnectionNoticeController(CompanionPreferences& preferences,
                                                       ConnectionNoticePresenting& presenter,
                                                       platform::Executor& executor,
                                                       std::function<Date()> now)
    : preferences_(preferences), presenter_(presenter), executor_(executor), now_(std::move(now)) {}

ConnectionNoticeController::~ConnectionNoticeController() {
    cancelDismissal();
}

void ConnectionNoticeController::cancelDismissal() {
    if (dismissTimer_ != 0) {
        executor_.cancel(dismissTimer_);
        dismissTimer_ = 0;
    }
}

void ConnectionNoticeController::connectionsChanged(const std::set<DeviceID>& connected,
                                                    const std::vector<TrustedDevice>& trusted) {
    const auto notices = tracker_.update(connected, trusted, now_());
    if (!preferences_.showsConnectionNotice().value() || notices.empty()) {
        return;
    }
    presenter_.show(notices);
    cancelDismissal();
    std::weak_ptr<char> alive = alive_;
    dismissTimer_ = executor_.schedule(std::chrono::microseconds(static_cast<long long>(dismissDelay * 1e6)),
                                       [this, alive] {
                                           if (alive.expired()) {
                                               return;
                                           }
                                           dismissTimer_ = 0;
                                           presenter_.dismiss();
                                       });
}

void ConnectionNoticeController::reset() {
    cancelDismissal();
    tracker_ = ConnectionNoticeTracker{};
    presenter_.dismiss();
}

}  // namespace Shell
