#pragma once
// A provider the tests script: lists and icons as set, calls counted, and optional latches that hold a
// call until the test lets it go (to interleave answers with events).
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "apps/AppCatalogTypes.h"

namespace Apps::testing {

class Latch {
  public:
    void arm() {
        std::lock_guard lock(mutex_);
        armed_ = true;
        entered_ = false;
        released_ = false;
    }
    // Called by the blocked side.
    void pass() {
        std::unique_lock lock(mutex_);
        if (!armed_) {
            return;
        }
        armed_ = false;
        entered_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return released_; });
    }
    void waitEntered() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return entered_; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool armed_ = false;
    bool entered_ = false;
    bool released_ = false;
};

class FakeAppProvider final : public AppCatalogProvider {
  public:
    std::vector<RunningAppInfo> runningApplications() override {
        runningLatch.pass();
        std::lock_guard lock(mutex);
        ++runningCalls;
        return running;
    }
    std::vector<InstalledAppInfo> installedApplications() override {
        std::vector<InstalledAppInfo> snapshot;
        {
            std::lock_guard lock(mutex);
            ++installedCalls;
            snapshot = installed;
        }
        installedLatch.pass();
        return snapshot;
    }
    std::optional<IconBitmap> icon(const std::string& bundleID, int pixelSize) override {
        {
            std::lock_guard lock(mutex);
            ++iconCalls;
            lastIconRequest = {bundleID, pixelSize};
        }
        iconLatch.pass();
        std::lock_guard lock(mutex);
        return image;
    }
    void start(Handler h) override {
        std::lock_guard lock(mutex);
        handler = std::move(h);
        ++starts;
    }
    void stop() override {
        std::lock_guard lock(mutex);
        ++stops;
    }
    void emit(AppCatalogEvent event) {
        Handler h;
        {
            std::lock_guard lock(mutex);
            h = handler;
        }
        if (h) {
            h(event);
        }
    }

    std::mutex mutex;
    std::vector<RunningAppInfo> running;
    std::vector<InstalledAppInfo> installed;
    std::optional<IconBitmap> image;
    Handler handler;
    int runningCalls = 0, installedCalls = 0, iconCalls = 0, starts = 0, stops = 0;
    std::pair<std::string, int> lastIconRequest;
    Latch runningLatch, installedLatch, iconLatch;
};

inline RunningAppInfo runningApp(std::string id, std::string name, bool active = false, bool hidden = false,
                                 std::int32_t pid = 100) {
    RunningAppInfo app;
    app.bundleID = std::move(id);
    app.name = std::move(name);
    app.processID = pid;
    app.isActive = active;
    app.isHidden = hidden;
    return app;
}

// A solid square of premultiplied RGBA.
inline IconBitmap solidImage(int width, int height, std::uint8_t alpha = 255) {
    IconBitmap image;
    image.width = width;
    image.height = height;
    image.pixels.resize(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < image.pixels.size(); i += 4) {
        image.pixels[i] = alpha;
        image.pixels[i + 1] = 0;
        image.pixels[i + 2] = 0;
        image.pixels[i + 3] = alpha;
    }
    return image;
}

}  // namespace Apps::testing
