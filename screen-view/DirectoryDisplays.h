#pragma once
// The displays of a platform::DisplayDirectory, readable from any thread, and its changes as the
// sessions' DisplayChangeNotifier. Screen view lists, captures and restarts on these, so a display has
// the same id here as everywhere else in the process (the overlays draw on the display a phone views).
//
// Thread: displays() and display() from any thread; handlers run on the directory's thread.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/DisplayDirectory.h"
#include "screen-view/CaptureSeams.h"

namespace platform {
class Executor;
class LoopQueue;
}  // namespace platform

namespace ScreenView {

class DirectoryDisplays final : public DisplayChangeNotifier {
  public:
    // Over a directory living on `loop` (the process's), called on that loop's thread. The directory
    // and the loop must outlive the object; it may be destroyed on any thread.
    static std::shared_ptr<DirectoryDisplays> over(platform::DisplayDirectory& directory,
                                                   platform::Executor& loop);
    // No displays, ever: for a process whose X display cannot be reached.
    static std::shared_ptr<DirectoryDisplays> empty();
    // With a directory of its own on a queue of its own that looks again every `refreshInterval` (tests
    // and benchmarks). None when the display cannot be reached.
    static std::shared_ptr<DirectoryDisplays> open(const std::string& displayName,
                                                   std::chrono::milliseconds refreshInterval);
    ~DirectoryDisplays() override;
    DirectoryDisplays(const DirectoryDisplays&) = delete;
    DirectoryDisplays& operator=(const DirectoryDisplays&) = delete;

    // As the directory last published them: main first.
    std::vector<platform::DisplayInfo> displays() const;
    std::optional<platform::DisplayInfo> display(std::uint32_t id) const;

    std::unique_ptr<Subscription> subscribe(std::function<void()> handler) override;

    struct State;

  private:
    DirectoryDisplays();
    void follow(platform::DisplayDirectory& directory);

    std::shared_ptr<State> state_;
    platform::Executor* loop_ = nullptr;
    std::unique_ptr<platform::LoopQueue> ownQueue_;
    std::unique_ptr<platform::DisplayDirectory> ownDirectory_;
    std::shared_ptr<platform::Published<std::vector<platform::DisplayInfo>>::Subscription> subscription_;
};

}  // namespace ScreenView
