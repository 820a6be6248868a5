#pragma once
// Whether a compositing manager runs on the X screen (the owner of the _NET_WM_CM_S<screen> selection),
// looked up on an X connection of its own and followed while running. Without one, X ignores the alpha
// of the overlays' 32-bit windows and shows their transparent pixels black, so the windows are shaped
// to what they draw instead.
//
// Thread: main thread only (its timer is a Qt timer).
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

namespace OverlayWindows {

class CompositorWatch final {
  public:
    // None when the display cannot be reached (no X, Qt's offscreen platform).
    static std::unique_ptr<CompositorWatch> open(const char* displayName = nullptr);
    ~CompositorWatch();
    CompositorWatch(const CompositorWatch&) = delete;
    CompositorWatch& operator=(const CompositorWatch&) = delete;

    bool isComposited() const { return composited_; }
    // Called with the new state whenever it changes; the lookup repeats every `interval`.
    void follow(std::function<void(bool)> onChange, std::chrono::milliseconds interval);
    // Asks the server now; calls the change handler when the answer differs.
    void check();

    struct Connection;

  private:
    explicit CompositorWatch(std::unique_ptr<Connection> connection);
    std::unique_ptr<Connection> connection_;
    bool composited_ = false;
    std::function<void(bool)> onChange_;
    QTimer timer_;
};

}  // namespace OverlayWindows
