#include "screen-view/SystemScreenRecordingPermission.h"

namespace ScreenView {

SystemScreenRecordingPermission::SystemScreenRecordingPermission(Preflight preflight, Prompt prompt,
                                                                 std::shared_ptr<platform::Executor> main)
    : preflight_(std::move(preflight)), prompt_(std::move(prompt)), main_(std::move(main)) {}

void SystemScreenRecordingPermission::request() {
    if (preflight_()) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (asked_) {
            return;
        }
        asked_ = true;
    }
    main_->post([prompt = prompt_] { prompt(); });
}

bool SystemScreenRecordingPermission::asked() const {
    std::lock_guard lock(mutex_);
    return asked_;
}

}  // namespace ScreenView
