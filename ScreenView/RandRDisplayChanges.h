#pragma once
// Tells subscribers when the X display's monitors change (added, removed, moved, resized, primary moved),
// from RandR notifications, and from a look every second for monitor changes that the server does not
// announce (RandR sends no event when a client sets or deletes a monitor).
//
// Thread: subscribe from any thread; handlers run on the notifier's own thread.
#include <functional>
#include <memory>
#include <string>

#include "ScreenView/CaptureSeams.h"

namespace ScreenView {

class RandRDisplayChanges final : public DisplayChangeNotifier {
  public:
    // Empty name: $DISPLAY. The watching thread starts with the first subscription.
    explicit RandRDisplayChanges(std::string displayName = {}, double pollSeconds = 1.0);
    ~RandRDisplayChanges() override;
    RandRDisplayChanges(const RandRDisplayChanges&) = delete;
    RandRDisplayChanges& operator=(const RandRDisplayChanges&) = delete;

    std::unique_ptr<Subscription> subscribe(std::function<void()> handler) override;

  private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace ScreenView
