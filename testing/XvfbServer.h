#pragma once
// A private X server for tests: Xvfb on a display number it picks itself (-displayfd), never a fixed
// one, optionally split into RandR monitors, and stopped by its PID when the object goes.
//
// Thread: the creating thread; the server is also ended when that thread ends, so that a test that
// crashes leaves no server behind.
#include <sys/types.h>

#include <string>
#include <vector>

namespace testing_support {

class XvfbServer {
  public:
    struct Monitor {
        std::string name;
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
        bool primary = false;
    };

    struct Options {
        int width = 1920;
        int height = 1080;
        int depth = 24;  // bits per pixel of the screen: 24 (stored in 32) or 16
        // Empty: the server's own single monitor. Otherwise these monitors replace it; the first one
        // takes over the screen's output.
        std::vector<Monitor> monitors;
    };

    // Starts the server and waits until it accepts clients. Throws std::runtime_error with the
    // server's own output when it cannot start.
    XvfbServer();
    explicit XvfbServer(Options options);
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // ":N"
    const std::string& displayName() const { return displayName_; }
    pid_t pid() const { return pid_; }

    // Whether the Xvfb program is installed, for tests that must say why they skip.
    static bool isInstalled();

    // Adds monitors without an output of their own, or replaces those of the same names, and removes one
    // by name, as a display being plugged in, resized or unplugged. The server sends no RandR event for
    // either. Throws std::runtime_error when the server refuses.
    void setMonitors(const std::vector<Monitor>& monitors) { addMonitors(monitors, false); }
    void deleteMonitor(const std::string& name);

  private:
    void stop();
    void addMonitors(const std::vector<Monitor>& monitors, bool firstTakesOutput = true);

    pid_t pid_ = -1;
    std::string displayName_;
    int logFD_ = -1;
};

}  // namespace testing_support
