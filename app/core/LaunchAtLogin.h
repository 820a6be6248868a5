#pragma once
// Starting the companion when the user logs in, as an XDG autostart entry
// ($XDG_CONFIG_HOME/autostart/dev.quelmar.trackpad.mac.desktop), offered once.
//
// Thread: the main queue.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/core/CompanionPreferences.h"
#include "platform/Published.h"

namespace Shell {

enum class LaunchAtLoginState { enabled, disabled, needsApproval };

// The login-item registration. Every call may throw std::exception with a sentence for the user.
class LoginItemService {
  public:
    virtual ~LoginItemService() = default;
    virtual LaunchAtLoginState status() = 0;
    virtual void registerItem() = 0;
    virtual void unregisterItem() = 0;
};

class XdgAutostartLoginItem final : public LoginItemService {
  public:
    // The entry starts `executable`; `autostartFolder` defaults to $XDG_CONFIG_HOME/autostart.
    explicit XdgAutostartLoginItem(std::filesystem::path executable,
                                   std::optional<std::filesystem::path> autostartFolder = std::nullopt);
    LaunchAtLoginState status() override;
    void registerItem() override;
    void unregisterItem() override;
    const std::filesystem::path& entry() const { return entry_; }

    // The Exec value for `path`, quoted as the Desktop Entry rules ask.
    static std::string execValue(const std::string& path);

  private:
    std::filesystem::path executable_;
    std::filesystem::path entry_;
};

class LaunchAtLogin {
  public:
    static constexpr const char* didOfferKey = "didOfferLaunchAtLogin";
    // Only an installed companion offers itself; a build run from its source tree does not.
    static constexpr const char* installPrefix = "/usr/";
    static constexpr const char* loginItemsSettingsURL =
        "x-apple.systempreferences:com.apple.LoginItems-Settings.extension";

    // The service must outlive this object. `appPath` is the running executable.
    LaunchAtLogin(LoginItemService& service, std::filesystem::path appPath);

    platform::Published<LaunchAtLoginState>& state() { return state_; }
    platform::Published<std::optional<std::string>>& lastError() { return lastError_; }

    void refresh();
    void setEnabled(bool enabled, CompanionPreferences& defaults);
    void offerAtFirstLaunch(CompanionPreferences& defaults);

  private:
    LaunchAtLoginState read();

    LoginItemService& service_;
    std::filesystem::path appPath_;
    platform::Published<LaunchAtLoginState> state_;
    platform::Published<std::optional<std::string>> lastError_;
};

}  // namespace Shell
