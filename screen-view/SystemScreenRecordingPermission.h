#pragma once
// Whether the process may capture the screen, and asking for it at most once per run. On X11 there is no
// capture permission to grant: capture is possible when the display is reachable and lets us read its
// pixels, and "asking" can only tell the user why it is not (logged once).
//
// Thread: any; the prompt runs on the executor given (the main loop in the process).
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Executor.h"
#include "screen-view/CaptureSeams.h"

namespace ScreenView {

class SystemScreenRecordingPermission final : public ScreenRecordingPermission {
  public:
    using Preflight = std::function<bool()>;
    using Prompt = std::function<void()>;

    // `prompt` runs on `main`, at most once for the life of the object.
    SystemScreenRecordingPermission(Preflight preflight, Prompt prompt,
                                    std::shared_ptr<platform::Executor> main);

    // The permission over the X display (empty name: $DISPLAY): granted while the display can be opened and
    // its root window read; the prompt logs why capture is not possible. The application makes one and
    // hands it to the host, so that its single prompt holds across every session.
    static std::shared_ptr<SystemScreenRecordingPermission> system(std::shared_ptr<platform::Executor> main,
                                                                   std::string displayName = {});

    bool isGranted() const override { return preflight_(); }
    void request() override;
    bool asked() const;

  private:
    Preflight preflight_;
    Prompt prompt_;
    std::shared_ptr<platform::Executor> main_;
    mutable std::mutex mutex_;
    bool asked_ = false;
};

}  // namespace ScreenView
