#pragma once
// The tray menu as a list of items derived from published state only: an item whose condition fails is
// absent, never disabled. The toolkit draws the list and hands chosen actions back.
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/core/AccessibilityPermission.h"
#include "app/core/CompanionRuntime.h"
#include "app/core/LastUnlockText.h"
#include "app/core/LaunchAtLogin.h"

namespace Shell {

struct MenuAction {
    enum class Kind {
        none,
        retry,
        revealFile,  // path
        showPairingCode,
        cancelPairing,
        forget,  // device
        openAccessibilitySettings,
        showOnboarding,
        setLaunchAtLogin,  // value
        openLoginItemsSettings,
        setShowsConnectionNotice,     // value
        setHighlightsPointerOnShake,  // value
        setAllowsUnlockFromIPhone,    // value
        showLastUnlockDetails,
        confirmResetTrustedDevices,
        quit,
    };
    Kind kind = Kind::none;
    std::filesystem::path path;
    std::optional<DeviceID> device;
    bool value = false;
    bool operator==(const MenuAction&) const = default;
};

struct MenuItem {
    enum class Kind { text, button, toggle, submenu, separator };
    Kind kind = Kind::text;
    std::string text;
    bool checked = false;
    std::string identifier;          // accessibility identifier, "companion.…"
    std::string accessibilityLabel;  // when it differs from the text
    bool monospaced = false;
    bool quitShortcut = false;
    // Run every time the item is shown (the login item's state is read again).
    bool refreshesLaunchAtLogin = false;
    MenuAction action;
    std::vector<MenuItem> children;
    bool operator==(const MenuItem&) const = default;
};

// Everything the menu reads.
struct MenuInputs {
    std::string status;
    std::optional<TrustedDeviceStoreError> storeProblem;
    bool canRetry = false;
    std::optional<std::filesystem::path> storeBackupURL;
    std::optional<std::string> storeResetError;
    // Where the list lives, worked out without creating anything; none when it cannot be.
    std::optional<std::filesystem::path> storeLocation;
    std::optional<PendingPairing> pendingPairing;
    std::set<DeviceID> connectedDevices;
    std::vector<TrustedDevice> trustedDevices;
    std::optional<OpenedAppNotice> openedApp;
    std::optional<std::string> forgetError;
    std::optional<LastUnlock> lastUnlock;
    AccessibilityStatus permission = AccessibilityStatus::granted;
    LaunchAtLoginState launchAtLogin = LaunchAtLoginState::disabled;
    std::optional<std::string> launchAtLoginError;
    bool showsConnectionNotice = true;
    bool highlightsPointerOnShake = true;
    bool allowsUnlockFromIPhone = false;

    static MenuInputs read(CompanionRuntime& runtime, AccessibilityPermission& permission,
                           LaunchAtLogin& login, CompanionPreferences& preferences,
                           std::optional<std::filesystem::path> storeLocation);
};

struct PairedPhoneRow {
    DeviceID id;
    std::string name;
    bool isConnected = false;
    bool operator==(const PairedPhoneRow&) const = default;
};
std::vector<PairedPhoneRow> pairedPhoneRows(const std::vector<TrustedDevice>& trusted,
                                            const std::set<DeviceID>& connected);

std::vector<MenuItem> deriveMenu(const MenuInputs& inputs, const TimeFormatter& shortTime);

}  // namespace Shell
