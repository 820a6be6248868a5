#pragma once
// Stand-ins of logind and of the desktop's ScreenSaver service on a private bus, for tests of the lock
// screen (testing/session_services.py run by /usr/bin/python3): one logind session "7" whose Active and
// LockedHint the test sets, a ScreenSaver whose GetActive it sets, or either one owning its name and
// never answering. Stopped by PID when the object goes.
//
// Thread: any; one thread at a time.
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "testing/Subprocess.h"

namespace testing_support {

class SessionServices {
  public:
    // Why the stand-ins cannot run here (python3 or its D-Bus binding missing), or none.
    static std::optional<std::string> unavailableReason();

    // The stand-ins' script in the source tree.
    static std::filesystem::path script();

    // `services`: "logind", "logind-silent", "screensaver", "screensaver-silent". Waits until every name
    // is owned; throws std::runtime_error otherwise. `folder` holds the script's output. `scriptCopy`:
    // a copy of script() to run instead, for a user who may not read the source tree.
    SessionServices(const std::string& busAddress, const std::vector<std::string>& services,
                    const std::filesystem::path& folder, const std::filesystem::path& scriptCopy = {});
    ~SessionServices();
    SessionServices(const SessionServices&) = delete;
    SessionServices& operator=(const SessionServices&) = delete;

    // "LockedHint" (announced as logind announces it), "Active", "ScreenSaverActive".
    void set(const std::string& name, bool value);
    // The calls the stand-ins noted, one line each: "Lock 7", "ScreenSaver.Lock".
    std::vector<std::string> calls() const;
    bool waitForCall(const std::string& line, std::chrono::milliseconds timeout) const;

  private:
    std::string busAddress_;
    std::filesystem::path output_;
    std::unique_ptr<Subprocess> process_;
};

}  // namespace testing_support
