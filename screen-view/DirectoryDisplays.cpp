#include "screen-view/DirectoryDisplays.h"

#include <map>
#include <mutex>

#include "platform/LoopQueue.h"

namespace ScreenView {

struct DirectoryDisplays::State {
    mutable std::mutex mutex;  // guards displays, handlers, nextID
    std::vector<platform::DisplayInfo> displays;
    std::map<std::uint64_t, std::shared_ptr<std::function<void()>>> handlers;
    std::uint64_t nextID = 1;
    // Held while handlers run, so that a subscription's end waits for a running handler.
    std::recursive_mutex calling;

    void update(const std::vector<platform::DisplayInfo>& list) {
        std::lock_guard callingLock(calling);
        std::vector<std::shared_ptr<std::function<void()>>> current;
        {
            std::lock_guard lock(mutex);
            displays = list;
            for (auto& entry : handlers) {
                current.push_back(entry.second);
            }
        }
        for (auto& handler : current) {
            (*handler)();
        }
    }
};

namespace {

struct Token final : DisplayChangeNotifier::Subscription {
    explicit Token(std::function<void()> remove) : remove(std::move(remove)) {}
    ~Token() override { remove(); }
    std::function<void()> remove;
};

}  // namespace

DirectoryDisplays::DirectoryDisplays() : state_(std::make_shared<State>()) {}

void DirectoryDisplays::follow(platform::DisplayDirectory& directory) {
    {
        std::lock_guard lock(state_->mutex);
        state_->displays = directory.displays().value();
    }
    subscription_ = std::make_shared<platform::Published<std::vector<platform::DisplayInfo>>::Subscription>(
        directory.displays().subscribe([weak = std::weak_ptr<State>(state_)](const auto& list) {
            if (auto state = weak.lock()) {
                state->update(list);
            }
        }));
}

std::shared_ptr<DirectoryDisplays> DirectoryDisplays::over(platform::DisplayDirectory& directory,
                                                           platform::Executor& loop) {
    std::shared_ptr<DirectoryDisplays> displays(new DirectoryDisplays());
    displays->loop_ = &loop;
    displays->follow(directory);
    return displays;
}

std::shared_ptr<DirectoryDisplays> DirectoryDisplays::empty() {
    return std::shared_ptr<DirectoryDisplays>(new DirectoryDisplays());
}

std::shared_ptr<DirectoryDisplays> DirectoryDisplays::open(const std::string& displayName,
                                                           std::chrono::milliseconds refreshInterval) {
    std::shared_ptr<DirectoryDisplays> displays(new DirectoryDisplays());
    displays->ownQueue_ = std::make_unique<platform::LoopQueue>("dev.quelmar.trackpad.mac.screenview.displays");
    platform::LoopQueue& queue = *displays->ownQueue_;
    displays->loop_ = &queue;
    bool opened = false;
    queue.sync([&] {
        displays->ownDirectory_ = platform::DisplayDirectory::open(queue.loop(), displayName);
        if (displays->ownDirectory_) {
            displays->ownDirectory_->refreshEvery(refreshInterval);
            displays->follow(*displays->ownDirectory_);
            opened = true;
        }
    });
    if (!opened) {
        return nullptr;
    }
    return displays;
}

DirectoryDisplays::~DirectoryDisplays() {
    if (ownQueue_) {
        ownQueue_->sync([this] {
            subscription_.reset();
            ownDirectory_.reset();
        });
    } else if (loop_ != nullptr && subscription_) {
        // The subscription belongs to the directory's thread.
        if (loop_->isCurrent()) {
            subscription_->reset();
        } else {
            loop_->post([subscription = std::move(subscription_)] { subscription->reset(); });
        }
    }
}

std::vector<platform::DisplayInfo> DirectoryDisplays::displays() const {
    std::lock_guard lock(state_->mutex);
    return state_->displays;
}

std::optional<platform::DisplayInfo> DirectoryDisplays::display(std::uint32_t id) const {
    std::lock_guard lock(state_->mutex);
    for (const auto& display : state_->displays) {
        if (display.id == id) {
            return display;
        }
    }
    return std::nullopt;
}

std::unique_ptr<DisplayChangeNotifier::Subscription> DirectoryDisplays::subscribe(
    std::function<void()> handler) {
    std::uint64_t id = 0;
    {
        std::lock_guard lock(state_->mutex);
        id = state_->nextID++;
        state_->handlers.emplace(id, std::make_shared<std::function<void()>>(std::move(handler)));
    }
    std::weak_ptr<State> weak = state_;
    return std::make_unique<Token>([weak, id] {
        if (auto state = weak.lock()) {
            // A handler that ends its own subscription holds `calling` already (it is recursive).
            std::lock_guard callingLock(state->calling);
            std::lock_guard lock(state->mutex);
            state->handlers.erase(id);
        }
    });
}

}  // namespace ScreenView
