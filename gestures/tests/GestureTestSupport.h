#pragma once
// A recording gesture poster, a fake clock and a manual scheduler for the engine's tests.
#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "gestures/GestureEngine.h"

namespace Gestures::testing {

using Injector::EventType;

struct Posted {
    InputEvent event;
    EventTap tap;
};

class RecordingGesturePoster final : public GestureEventPoster {
  public:
    void post(const InputEvent& event, EventTap tap) override { posted.push_back({event, tap}); }
    std::vector<InputEvent> events() const {
        std::vector<InputEvent> result;
        for (const Posted& p : posted) {
            result.push_back(p.event);
        }
        return result;
    }
    std::vector<Posted> posted;
};

class ManualScheduler final : public GestureScheduler {
  public:
    explicit ManualScheduler(double& now) : now_(now) {}
    void schedule(double delay, std::function<void()> work) override {
        pending_.emplace(std::make_pair(now_ + delay, ++order_), std::move(work));
    }
    void advance(double seconds) {
        const double end = now_ + seconds;
        while (!pending_.empty() && pending_.begin()->first.first <= end) {
            auto node = pending_.extract(pending_.begin());
            now_ = std::max(now_, node.key().first);
            node.mapped()();
        }
        now_ = end;
    }
    std::size_t pending() const { return pending_.size(); }

  private:
    double& now_;
    std::map<std::pair<double, int>, std::function<void()>> pending_;
    int order_ = 0;
};

class RecordingPower final : public SystemPower {
  public:
    bool sleep() override {
        ++sleeps;
        return true;
    }
    bool lockSession() override {
        ++locks;
        return true;
    }
    int sleeps = 0;
    int locks = 0;
};

class FixedShortcuts final : public SystemShortcutSource {
  public:
    std::optional<KeyStroke> keyStroke(SystemAction action) const override {
        if (disabled.contains(action)) {
            return std::nullopt;
        }
        return defaultKeyStroke(action);
    }
    std::set<SystemAction> disabled;
};

// Key code and flags of each key-down event, in order.
struct KeyDown {
    std::uint16_t keyCode;
    std::uint64_t flags;
    friend bool operator==(const KeyDown&, const KeyDown&) = default;
};
inline std::vector<KeyDown> keyDowns(const std::vector<InputEvent>& events) {
    std::vector<KeyDown> result;
    for (const InputEvent& event : events) {
        if (event.type == EventType::keyDown) {
            result.push_back({event.keyCode, event.flags});
        }
    }
    return result;
}

}  // namespace Gestures::testing
