#pragma once
// The screen view's entry for the application shell: one ScreenViewSession per connection key, created
// by the first screen-view message of that connection and ended when the connection ends.
//
// Thread: any (the application calls it on the main loop). The session table sits behind a mutex that is
// never held across a call into a session other than its creation.
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "screen-view/ScreenViewSession.h"

namespace ScreenView {

template <class Key, class Hash = std::hash<Key>>
class ScreenViewHost {
  public:
    using Send = ScreenViewSession::Send;
    // Makes the environment (queues, clock) of each new session; tests pass virtual-time queues.
    using EnvironmentFactory = std::function<ScreenViewSession::Environment()>;

    ScreenViewHost(std::shared_ptr<ScreenCaptureSource> source,
                   std::shared_ptr<ScreenVideoEncoderFactory> encoders,
                   std::shared_ptr<ScreenRecordingPermission> permission,
                   ScreenViewSession::Configuration configuration,
                   std::shared_ptr<DisplayChangeNotifier> displayChanges = nullptr,
                   EnvironmentFactory environment = {})
        : seams_{std::move(source), std::move(encoders), std::move(permission), std::move(displayChanges)},
          configuration_(configuration),
          environment_(std::move(environment)) {}

    ~ScreenViewHost() { stopAll(); }
    ScreenViewHost(const ScreenViewHost&) = delete;
    ScreenViewHost& operator=(const ScreenViewHost&) = delete;

    // Hands the message to the key's session, creating it with this `send` when there is none. A session
    // keeps the send it was created with.
    void handle(const TrackpadProtocol::Message& message, const Key& key, Send send) {
        std::shared_ptr<ScreenViewSession> session;
        {
            std::lock_guard lock(mutex_);
            auto found = sessions_.find(key);
            if (found == sessions_.end()) {
                found =
                    sessions_
                        .emplace(key, ScreenViewSession::make(
                                          seams_, configuration_, std::move(send),
                                          environment_ ? environment_() : ScreenViewSession::Environment{}))
                        .first;
            }
            session = found->second;
        }
        session->handle(message);
    }

    // The connection ended: its session closes, and nothing more is sent for it.
    void endSession(const Key& key) {
        std::shared_ptr<ScreenViewSession> session;
        {
            std::lock_guard lock(mutex_);
            auto found = sessions_.find(key);
            if (found == sessions_.end()) {
                return;
            }
            session = std::move(found->second);
            sessions_.erase(found);
        }
        session->stop();
        // The last reference goes on the session's own queue, behind its close, so that its end (the
        // view's capture and encoder joined, an encoding under way finished) never holds up the caller,
        // the main loop.
        platform::Executor& queue = session->queue();
        queue.post([session = std::move(session)] {});
    }

    // Closes every session, each on its own queue.
    void stopAll() {
        std::unordered_map<Key, std::shared_ptr<ScreenViewSession>, Hash> sessions;
        {
            std::lock_guard lock(mutex_);
            sessions.swap(sessions_);
        }
        for (auto& entry : sessions) {
            entry.second->stop();
        }
    }

    std::unordered_set<Key, Hash> activeKeys() const {
        std::lock_guard lock(mutex_);
        std::unordered_set<Key, Hash> keys;
        for (const auto& entry : sessions_) {
            keys.insert(entry.first);
        }
        return keys;
    }

    std::shared_ptr<ScreenViewSession> session(const Key& key) const {
        std::lock_guard lock(mutex_);
        auto found = sessions_.find(key);
        return found == sessions_.end() ? nullptr : found->second;
    }

  private:
    ScreenViewSession::Seams seams_;
    ScreenViewSession::Configuration configuration_;
    EnvironmentFactory environment_;
    mutable std::mutex mutex_;
    std::unordered_map<Key, std::shared_ptr<ScreenViewSession>, Hash> sessions_;
};

}  // namespace ScreenView
