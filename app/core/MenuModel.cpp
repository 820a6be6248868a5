#include "app/core/MenuModel.h"

#include "app/core/PairingPanel.h"
#include "protocol/messages/Message.h"

namespace Shell {

namespace {

MenuItem makeItem(MenuItem::Kind kind, std::string value = {}) {
    MenuItem made;
    made.kind = kind;
    made.text = std::move(value);
    return made;
}

MenuAction act(MenuAction::Kind kind, std::filesystem::path path = {}, std::optional<DeviceID> device = {},
               bool value = false) {
    MenuAction action;
    action.kind = kind;
    action.path = std::move(path);
    action.device = device;
    action.value = value;
    return action;
}

MenuItem text(std::string value) {
    return makeItem(MenuItem::Kind::text, std::move(value));
}

MenuItem button(std::string value, MenuAction action, std::string identifier = {}) {
    MenuItem item = makeItem(MenuItem::Kind::button, std::move(value));
    item.action = std::move(action);
    item.identifier = std::move(identifier);
    return item;
}

MenuItem toggle(std::string value, bool on, MenuAction::Kind kind, std::string identifier = {}) {
    MenuItem item = makeItem(MenuItem::Kind::toggle, std::move(value));
    item.checked = on;
    item.action = act(kind, {}, std::nullopt, !on);
    item.identifier = std::move(identifier);
    return item;
}

MenuItem separator() {
    return makeItem(MenuItem::Kind::separator);
}

// The items that tell what is wrong with the paired-iPhones list and what can be done.
void appendStoreProblemItems(const MenuInputs& in, std::vector<MenuItem>& menu) {
    const auto& problem = *in.storeProblem;
    const bool unreadable = problem.kind() == TrustedDeviceStoreError::Kind::unreadable;
    menu.push_back(text(problem.description()));
    if (unreadable) {
        menu.push_back(text("Reset keeps a copy of the damaged list. Every iPhone must pair again."));
        menu.push_back(button("Reset Paired iPhones\u2026", act(MenuAction::Kind::confirmResetTrustedDevices),
                              "companion.resetTrustedDevices"));
    } else {
        menu.push_back(text("Install the latest Lumivex for Mac to keep your paired iPhones."));
    }
    if (in.storeLocation) {
        menu.push_back(button("Show List in Finder", act(MenuAction::Kind::revealFile, *in.storeLocation)));
    }
    if (in.storeResetError) {
        menu.push_back(text("Reset failed: " + *in.storeResetError));
    }
}

}  // namespace

MenuInputs MenuInputs::read(CompanionRuntime& runtime, AccessibilityPermission& permission,
                            LaunchAtLogin& login, CompanionPreferences& preferences,
                            std::optional<std::filesystem::path> storeLocation) {
    MenuInputs in;
    in.status = runtime.status.value();
    in.storeProblem = runtime.storeProblem.value();
    in.canRetry = runtime.canRetry.value();
    in.storeBackupURL = runtime.storeBackupURL.value();
    in.storeResetError = runtime.storeResetError.value();
    in.storeLocation = std::move(storeLocation);
    in.pendingPairing = runtime.pendingPairing.value();
    in.connectedDevices = runtime.connectedDevices.value();
    in.trustedDevices = runtime.trustedDevices.value();
    in.openedApp = runtime.openedApp.value();
    in.forgetError = runtime.forgetError.value();
    in.lastUnlock = runtime.lastUnlock.value();
    in.permission = permission.currentStatus();
    in.launchAtLogin = login.state().value();
    in.launchAtLoginError = login.lastError().value();
    in.showsConnectionNotice = preferences.showsConnectionNotice().value();
    in.highlightsPointerOnShake = preferences.highlightsPointerOnShake().value();
    in.allowsUnlockFromIPhone = preferences.allowsUnlockFromIPhone().value();
    return in;
}

std::vector<PairedPhoneRow> pairedPhoneRows(const std::vector<TrustedDevice>& trusted,
                                            const std::set<DeviceID>& connected) {
    std::vector<PairedPhoneRow> rows;
    for (const auto& device : trusted) {
        rows.push_back(PairedPhoneRow{device.id, device.name, connected.contains(device.id)});
    }
    return rows;
}

std::vector<MenuItem> deriveMenu(const MenuInputs& in, const TimeFormatter& shortTime) {
    std::vector<MenuItem> menu;
    menu.push_back(text(in.status));
    if (in.storeProblem) {
        appendStoreProblemItems(in, menu);
    }
    if (in.canRetry) {
        menu.push_back(button("Try Again", act(MenuAction::Kind::retry), "companion.retry"));
    }
    if (in.storeBackupURL) {
        menu.push_back(button("Show Damaged List Copy in Finder",
                              act(MenuAction::Kind::revealFile, *in.storeBackupURL)));
    }
    if (const auto& p = in.pendingPairing) {
        menu.push_back(text("Pair with " + p->deviceName));
        MenuItem code = text("Pairing code: " + p->code.description());
        code.monospaced = true;
        code.accessibilityLabel = "Pairing code " + spokenDigits(p->code);
        menu.push_back(std::move(code));
        menu.push_back(text("Enter the " + std::to_string(TrackpadProtocol::PairingCode::digitCount) +
                            "-digit code in Lumivex Remote on your iPhone. Expires at " +
                            shortTime(p->expiresAt) + "."));
        menu.push_back(text("Show Pairing Code keeps the code on screen while you type."));
        menu.push_back(button("Show Pairing Code", act(MenuAction::Kind::showPairingCode)));
        menu.push_back(button("Cancel Pairing", act(MenuAction::Kind::cancelPairing)));
        menu.push_back(separator());
    }
    menu.push_back(text(in.connectedDevices.empty()
                            ? std::string("Not connected")
                            : "Connected iPhones: " + std::to_string(in.connectedDevices.size())));
    if (in.openedApp) {
        menu.push_back(text("Lumivex Remote opened " + in.openedApp->appName));
    }

    MenuItem paired = makeItem(MenuItem::Kind::submenu, "Paired iPhones");
    paired.identifier = "companion.pairedPhones";
    const auto rows = pairedPhoneRows(in.trustedDevices, in.connectedDevices);
    if (rows.empty()) {
        paired.children.push_back(text("No paired iPhones"));
    }
    for (const auto& row : rows) {
        MenuItem phone =
            makeItem(MenuItem::Kind::submenu, row.name + (row.isConnected ? " \u2014 Connected" : ""));
        phone.children.push_back(button("Forget \u201C" + row.name + "\u201D",
                                        act(MenuAction::Kind::forget, {}, row.id),
                                        "companion.forget." + row.id.uuidString()));
        phone.children.push_back(text("It must pair again with a new code to control this Mac."));
        paired.children.push_back(std::move(phone));
    }
    menu.push_back(std::move(paired));
    if (in.forgetError) {
        menu.push_back(text("Forget failed: " + *in.forgetError));
    }

    const bool missing = in.permission == AccessibilityStatus::missing;
    menu.push_back(text(missing ? "Accessibility: Not Allowed" : "Accessibility: Allowed"));
    if (missing) {
        menu.push_back(
            button("Open Accessibility Settings\u2026", act(MenuAction::Kind::openAccessibilitySettings)));
        menu.push_back(button("How to Allow Accessibility\u2026", act(MenuAction::Kind::showOnboarding)));
    }
    menu.push_back(separator());

    MenuItem login = toggle("Open at Login", in.launchAtLogin == LaunchAtLoginState::enabled,
                            MenuAction::Kind::setLaunchAtLogin);
    login.refreshesLaunchAtLogin = true;
    menu.push_back(std::move(login));
    if (in.launchAtLogin == LaunchAtLoginState::needsApproval) {
        menu.push_back(
            button("Allow in Login Items Settings\u2026", act(MenuAction::Kind::openLoginItemsSettings)));
    }
    if (in.launchAtLoginError) {
        menu.push_back(text("Open at Login failed: " + *in.launchAtLoginError));
    }
    menu.push_back(toggle("Notify When iPhone Connects", in.showsConnectionNotice,
                          MenuAction::Kind::setShowsConnectionNotice, "companion.connectionNotice"));
    menu.push_back(toggle("Shake Pointer to Highlight", in.highlightsPointerOnShake,
                          MenuAction::Kind::setHighlightsPointerOnShake, "companion.pointerHighlight"));
    menu.push_back(toggle("Unlock from iPhone", in.allowsUnlockFromIPhone,
                          MenuAction::Kind::setAllowsUnlockFromIPhone, "companion.unlockFromIPhone"));
    if (in.allowsUnlockFromIPhone) {
        menu.push_back(text("Paired iPhones can enter your login password on the lock screen."));
        if (in.lastUnlock) {
            menu.push_back(text(lastUnlockSummary(*in.lastUnlock, shortTime)));
            menu.push_back(button("Last Unlock Details\u2026", act(MenuAction::Kind::showLastUnlockDetails),
                                  "companion.lastUnlockDetails"));
        }
    }
    menu.push_back(separator());
    menu.push_back(text("Protocol v" + std::to_string(TrackpadProtocol::version)));
    MenuItem quit = button("Quit Lumivex", act(MenuAction::Kind::quit));
    quit.quitShortcut = true;
    menu.push_back(std::move(quit));
    return menu;
}

}  // namespace Shell
