#pragma once
// The runtime's network over the real pairing coordinator, file store and listener, on the main EventLoop.
#include <optional>
#include <string>

#include "app/core/RuntimeNetwork.h"
#include "platform/EventLoop.h"

namespace Shell {

class SystemRuntimeNetwork final : public RuntimeNetwork {
  public:
    struct Options {
        // Where the list lives; the default is the user's data folder.
        std::optional<std::filesystem::path> dataHome;
        // Listen on 127.0.0.1 only and advertise nothing (tests, tools).
        bool loopbackOnly = false;
    };

    SystemRuntimeNetwork(platform::EventLoop& loop, Options options);

    std::filesystem::path defaultStorePath() override;
    std::shared_ptr<CoordinatorHandle> makeCoordinator(
        const std::filesystem::path& store,
        const CompanionNetwork::PairingCoordinator::Configuration& configuration) override;
    std::shared_ptr<ListenerHandle> makeListener(std::shared_ptr<CoordinatorHandle> coordinator,
                                                 ListenerCallbacks callbacks) override;
    std::optional<std::filesystem::path> quarantine(const std::filesystem::path& store, Date date) override;

  private:
    platform::EventLoop& loop_;
    Options options_;
};

}  // namespace Shell
