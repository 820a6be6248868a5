#pragma once
// The screen view as the application shell drives it: the host keyed by the listener's connections,
// built over the X11 capture source, the x264 encoder factory, the X permission and the process's display
// directory.
//
// Thread: the shell calls it on the main loop; sessions run on their own queues.
#include <memory>
#include <string>

#include "network/PairingTypes.h"
#include "platform/Executor.h"
#include "screen-view/ScreenViewHost.h"
#include "services/ScreenViewService.h"

namespace platform {
class DisplayDirectory;
class EventLoop;
}  // namespace platform

namespace ScreenView {

class ScreenViewShellService final : public Shell::ScreenViewService {
  public:
    using Host = ScreenViewHost<CompanionNetwork::ConnectionID>;

    explicit ScreenViewShellService(std::unique_ptr<Host> host) : host_(std::move(host)) {}

    void handle(const TrackpadProtocol::Message& message, const CompanionNetwork::ScreenViewLink& link,
                CompanionNetwork::ScreenViewLink::Send send) override {
        host_->handle(message, link.connection, std::move(send));
    }
    void endSession(CompanionNetwork::ConnectionID connection) override { host_->endSession(connection); }
    void stopAll() override { host_->stopAll(); }

    Host& host() { return *host_; }

  private:
    std::unique_ptr<Host> host_;
};

// The process's screen view over the X display (empty name: $DISPLAY), with at most 2 frames in flight and
// screenshots starting at JPEG quality 0.85. Displays, their ids and their changes come from the process's
// `directory` (none: the display cannot be reached), which lives on `main`; the permission's one-time
// notice is logged there. Both must outlive the service (the process's main loop and its directory).
std::shared_ptr<ScreenViewShellService> makeScreenViewService(platform::EventLoop& main,
                                                              platform::DisplayDirectory* directory,
                                                              std::string displayName = {});

}  // namespace ScreenView
