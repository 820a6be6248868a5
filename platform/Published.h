#pragma once
// An observed value. Lives on one thread (the main EventLoop's): value(), set() and subscribe() are called
// there, and subscribers are called there, synchronously from set().
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace platform {

template <class T>
class Published {
    // Declared before Subscription names it: clang, unlike GCC, does not look ahead for it.
    struct State;

public:
    using Callback = std::function<void(const T&)>;

    // Unsubscribes when destroyed or reset. May outlive the Published it came from.
    class Subscription {
    public:
        Subscription() = default;
        Subscription(Subscription&& other) noexcept
            : state_(std::move(other.state_)), id_(std::exchange(other.id_, 0)) {}
        Subscription& operator=(Subscription&& other) noexcept {
            if (this != &other) {
                reset();
                state_ = std::move(other.state_);
                id_ = std::exchange(other.id_, 0);
            }
            return *this;
        }
        Subscription(const Subscription&) = delete;
        Subscription& operator=(const Subscription&) = delete;
        ~Subscription() { reset(); }

        void reset() {
            if (auto state = state_.lock())
                state->subscribers.erase(id_);
            state_.reset();
            id_ = 0;
        }
        bool active() const {
            auto state = state_.lock();
            return state && state->subscribers.count(id_) != 0;
        }

    private:
        friend class Published;
        Subscription(std::weak_ptr<typename Published::State> state, std::uint64_t id)
            : state_(std::move(state)), id_(id) {}
        std::weak_ptr<typename Published::State> state_;
        std::uint64_t id_ = 0;
    };

    Published() : state_(std::make_shared<State>()) {}
    explicit Published(T initial) : state_(std::make_shared<State>()) { state_->value = std::move(initial); }
    // Subscribers are dropped: a notification under way ends, and the tokens become inactive.
    ~Published() { state_->subscribers.clear(); }
    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& value() const { return state_->value; }

    // Stores the value and, when it differs from the old one, calls every subscriber with it. Returns whether
    // it changed. A subscriber may subscribe, unsubscribe (itself or others), set the value again or destroy
    // this Published. A set() from inside a subscriber notifies everyone of the newer value at once, and the
    // older notification then stops, so nobody sees the older value after the newer one. A subscriber
    // added during a notification is first called on the next change.
    bool set(T newValue) {
        if (state_->value == newValue)
            return false;
        state_->value = std::move(newValue);
        notify();
        return true;
    }

    // The callback is not called with the current value; read value() for that. Const, so that an owner
    // can hand out a read-only reference that observers subscribe to.
    [[nodiscard]] Subscription subscribe(Callback callback) const {
        const auto id = state_->nextID++;
        state_->subscribers.emplace(id, std::make_shared<Callback>(std::move(callback)));
        return Subscription(state_, id);
    }

    std::size_t subscriberCount() const { return state_->subscribers.size(); }

private:
    struct State {
        T value{};
        std::map<std::uint64_t, std::shared_ptr<Callback>> subscribers;  // by id, so in subscription order
        std::uint64_t nextID = 1;
        std::uint64_t generation = 0;
    };

    void notify() {
        // Holding the state keeps it alive should a subscriber destroy this Published.
        const std::shared_ptr<State> state = state_;
        const auto generation = ++state->generation;
        const auto end = state->nextID;
        std::uint64_t next = 0;
        while (true) {
            auto it = state->subscribers.lower_bound(next);
            if (it == state->subscribers.end() || it->first >= end)
                return;
            next = it->first + 1;
            // The callback object stays alive while it runs even if it unsubscribes itself.
            const std::shared_ptr<Callback> callback = it->second;
            (*callback)(state->value);
            if (state->generation != generation)
                return;
        }
    }

    std::shared_ptr<State> state_;
};

}  // namespace platform
