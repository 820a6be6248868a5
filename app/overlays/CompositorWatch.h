#pragma once
// Whether a compositing manager runs on the X screen (the owner of the _NET_WM_CM_S<screen> selection),
// looked up on an X connection of its own and followed by the server's selection events (XFixes), so a
// change is known as soon as the server has made it. Without one, X ignores the alpha of the overlays'
// 32-bit windows and shows their transparent pixels black, so the windows are shaped to what they draw
// instead.
//
// Thread: main thread only (its connection is read by a Qt socket notifier).
#include <functional>
#include <memory>

class QSocketNotifier;

namespace OverlayWindows {

class CompositorWatch final {
  public:
    // None when the display cannot be reached (no X, Qt's offscreen platform) or lacks XFixes.
    static std::unique_ptr<CompositorWatch> open(const char* displayName = nullptr);
    ~CompositorWatch();
    CompositorWatch(const CompositorWatch&) = delete;
    CompositorWatch& operator=(const CompositorWatch&) = delete;

    bool isComposited() const { return composited_; }
    // Called with the new state whenever it changes.
    void follow(std::function<void(bool)> onChange);
    // Asks the server now; calls the change handler when the answer differs.
    void check();

    struct Connection;

  private:
    explicit CompositorWatch(std::unique_ptr<Connection> connection);
    void readEvents();
    // Reads the queued events; whether one told of a change of owner.
    bool drainEvents();
    void update(bool composited);

    std::unique_ptr<Connection> connection_;
    bool composited_ = false;
    std::function<void(bool)> onChange_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace OverlayWindows
