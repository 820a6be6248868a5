// The menu, the notices, the pairing panel, the last-unlock texts and the login entry, without a toolkit.
#include <gtest/gtest.h>

#include <fstream>

#include "app/core/AppDelegate.h"
#include "app/core/ConnectionNotices.h"
#include "app/core/LastUnlockText.h"
#include "app/core/LaunchAtLogin.h"
#include "app/core/MenuModel.h"
#include "app/core/PairingPanel.h"
#include "app/core/tests/RuntimeFakes.h"

namespace Shell::testing {
namespace {

using namespace std::chrono_literals;

const Date epoch = Date{} + std::chrono::hours(24 * 365 * 56);
std::string clock(Date) {
    return "10:42";
}

std::vector<std::string> texts(const std::vector<MenuItem>& items) {
    std::vector<std::string> out;
    for (const auto& item : items) {
        out.push_back(item.kind == MenuItem::Kind::separator ? "---" : item.text);
    }
    return out;
}

const MenuItem* find(const std::vector<MenuItem>& items, const std::string& text) {
    for (const auto& item : items) {
        if (item.text == text) {
            return &item;
        }
    }
    return nullptr;
}

TrustedDevice trusted(DeviceID id, std::string name, Date pairedAt) {
    TrustedDevice device;
    device.id = id;
    device.name = std::move(name);
    device.pairedAt = pairedAt;
    return device;
}

PendingPairing pending(std::string digits, int failed = 0) {
    return PendingPairing{
        DeviceID::random(), "Anna's iPhone", *TrackpadProtocol::PairingCode::fromDigits(digits), epoch,
        epoch + 120s,       failed};
}

TEST(MenuModel, QuietStateHasEveryFixedItemInOrder) {
    MenuInputs in;
    in.status = "Available on your local network";
    EXPECT_EQ(texts(deriveMenu(in, clock)),
              (std::vector<std::string>{"Available on your local network", "Not connected", "Paired iPhones",
                                        "Accessibility: Allowed", "---", "Open at Login",
                                        "Notify When iPhone Connects", "Shake Pointer to Highlight",
                                        "Unlock from iPhone", "---", "Protocol v1", "Quit Lumivex"}));
    const auto menu = deriveMenu(in, clock);
    EXPECT_EQ(texts(find(menu, "Paired iPhones")->children), (std::vector<std::string>{"No paired iPhones"}));
    EXPECT_EQ(find(menu, "Paired iPhones")->identifier, "companion.pairedPhones");
    EXPECT_TRUE(find(menu, "Notify When iPhone Connects")->checked);
    EXPECT_FALSE(find(menu, "Unlock from iPhone")->checked);
    EXPECT_EQ(find(menu, "Unlock from iPhone")->action.value, true) << "choosing it turns it on";
    EXPECT_TRUE(find(menu, "Quit Lumivex")->quitShortcut);
}

TEST(MenuModel, PendingPairingWithAccessibilityMissingShowsBoth) {
    MenuInputs in;
    in.status = "Available on your local network";
    in.pendingPairing = pending("012345");
    in.permission = AccessibilityStatus::missing;
    const auto menu = deriveMenu(in, clock);
    EXPECT_EQ(texts(menu)[1], "Pair with Anna's iPhone");
    const MenuItem* code = find(menu, "Pairing code: 012 345");
    ASSERT_TRUE(code);
    EXPECT_TRUE(code->monospaced);
    EXPECT_EQ(code->accessibilityLabel, "Pairing code 0 1 2 3 4 5");
    EXPECT_TRUE(find(menu, "Enter the 6-digit code in Lumivex Remote on your iPhone. Expires at 10:42."));
    EXPECT_TRUE(find(menu, "Show Pairing Code keeps the code on screen while you type."));
    EXPECT_TRUE(find(menu, "Cancel Pairing"));
    EXPECT_TRUE(find(menu, "Accessibility: Not Allowed"));
    EXPECT_TRUE(find(menu, "Open Accessibility Settings\u2026"));
    EXPECT_TRUE(find(menu, "How to Allow Accessibility\u2026"));
}

TEST(MenuModel, PhonesUnlockAndLoginItems) {
    const DeviceID a = DeviceID::random(), b = DeviceID::random();
    MenuInputs in;
    in.trustedDevices = {trusted(a, "Phone", epoch), trusted(b, "Phone", epoch)};
    in.connectedDevices = {b};
    in.openedApp = OpenedAppNotice{"Editor"};
    in.forgetError = "disk full";
    in.allowsUnlockFromIPhone = true;
    in.launchAtLogin = LaunchAtLoginState::needsApproval;
    in.launchAtLoginError = "denied";
    auto menu = deriveMenu(in, clock);
    EXPECT_TRUE(find(menu, "Connected iPhones: 1"));
    EXPECT_TRUE(find(menu, "Lumivex Remote opened Editor"));
    EXPECT_TRUE(find(menu, "Forget failed: disk full"));
    const auto& rows = find(menu, "Paired iPhones")->children;
    ASSERT_EQ(texts(rows), (std::vector<std::string>{"Phone", "Phone \u2014 Connected"}));
    EXPECT_EQ(rows[1].children[0].text, "Forget \u201CPhone\u201D");
    EXPECT_EQ(rows[1].children[0].action.device, b);
    EXPECT_EQ(rows[1].children[0].identifier, "companion.forget." + b.uuidString());
    EXPECT_EQ(rows[1].children[1].text, "It must pair again with a new code to control this Mac.");
    EXPECT_FALSE(find(menu, "Open at Login")->checked);
    EXPECT_TRUE(find(menu, "Allow in Login Items Settings\u2026"));
    EXPECT_TRUE(find(menu, "Open at Login failed: denied"));
    EXPECT_TRUE(find(menu, "Paired iPhones can enter your login password on the lock screen."));
    EXPECT_FALSE(find(menu, "Last Unlock Details\u2026")) << "no last unlock yet";

    in.lastUnlock = LastUnlock{
        UnlockReport{TrackpadProtocol::UnlockResult::Status::stillLocked, "x", std::nullopt}, epoch};
    menu = deriveMenu(in, clock);
    EXPECT_TRUE(find(menu, "Last unlock (10:42): Still locked"));
    EXPECT_EQ(find(menu, "Last Unlock Details\u2026")->identifier, "companion.lastUnlockDetails");
    in.allowsUnlockFromIPhone = false;
    menu = deriveMenu(in, clock);
    EXPECT_FALSE(find(menu, "Last unlock (10:42): Still locked"));
}

TEST(MenuModel, ListProblemsOfferResetOnlyForADamagedList) {
    MenuInputs in;
    in.status = Texts::listDamaged;
    in.canRetry = true;
    in.storeLocation = "/home/u/.local/share/dev.quelmar.trackpad.mac/TrustedDevices.json";
    in.storeProblem = TrustedDeviceStoreError::unreadable("bad JSON");
    in.storeResetError = "read-only";
    auto menu = deriveMenu(in, clock);
    const auto lines = texts(menu);
    EXPECT_EQ(
        std::vector<std::string>(lines.begin(), lines.begin() + 7),
        (std::vector<std::string>{
            Texts::listDamaged, "The paired iPhones list is damaged and can't be read (bad JSON).",
            "Reset keeps a copy of the damaged list. Every iPhone must pair again.",
            "Reset Paired iPhones\u2026", "Show List in Finder", "Reset failed: read-only", "Try Again"}));
    EXPECT_EQ(find(menu, "Show List in Finder")->action.path, *in.storeLocation);

    in.storeProblem = TrustedDeviceStoreError::unsupportedFormat(3);
    in.storeResetError.reset();
    in.storeLocation.reset();
    in.storeBackupURL = "/tmp/copy.json";
    menu = deriveMenu(in, clock);
    EXPECT_TRUE(find(menu, "The paired iPhones list was saved by a newer version of Lumivex (format 3)."));
    EXPECT_TRUE(find(menu, "Install the latest Lumivex for Mac to keep your paired iPhones."));
    EXPECT_FALSE(find(menu, "Reset Paired iPhones\u2026"));
    EXPECT_FALSE(find(menu, "Show List in Finder"));
    EXPECT_EQ(find(menu, "Show Damaged List Copy in Finder")->action.path, "/tmp/copy.json");
}

TEST(LastUnlockText, SummaryAndDetails) {
    using Status = TrackpadProtocol::UnlockResult::Status;
    const LastUnlock typed{UnlockReport{Status::unlocked, "Unlocked.", UnlockEntry::typed}, epoch};
    const auto details = lastUnlockDetails(typed, [](Date) { return "10:42:07"; });
    EXPECT_TRUE(details.informational);
    EXPECT_EQ(details.message, "Last unlock: Unlocked");
    EXPECT_EQ(
        details.informative,
        "Unlocked.\n\nPassword: Typed as characters (Accessibility couldn't fill the field). At 10:42:07.\n\n"
        "Every step is in the Console app: search for subsystem dev.quelmar.trackpad.mac, category unlock. "
        "The password is never logged.");
    const LastUnlock refused{UnlockReport{Status::notAllowed, Texts::unlockTurnedOff, std::nullopt}, epoch};
    const auto refusal = lastUnlockDetails(refused, [](Date) { return "10:42:07"; });
    EXPECT_FALSE(refusal.informational);
    EXPECT_EQ(refusal.informative.find(std::string(Texts::unlockTurnedOff) + "\n\nAt 10:42:07."), 0u);
    EXPECT_EQ(lastUnlockSummary(refused, clock), "Last unlock (10:42): Not allowed");
}

struct RecordingNotices final : ConnectionNoticePresenting {
    void show(const std::vector<ConnectionNotice>& notices) override { shown.push_back(notices); }
    void dismiss() override { ++dismissals; }
    std::vector<std::vector<ConnectionNotice>> shown;
    int dismissals = 0;
};

TEST(ConnectionNotices, QuietPeriodsOrderAndDismissal) {
    TemporaryFolder folder;
    CompanionPreferences preferences(folder.path() / "p.json");
    platform::ManualExecutor executor;
    RecordingNotices presenter;
    Date now = epoch;
    ConnectionNoticeController controller(preferences, presenter, executor, [&] { return now; });
    const DeviceID a = DeviceID::random(), b = DeviceID::random(), stranger = DeviceID::random();
    const std::vector<TrustedDevice> list{trusted(b, "Bea", epoch - 1h), trusted(a, "Al", epoch - 1h),
                                          trusted(a, "Al again", epoch)};

    controller.connectionsChanged({a, b, stranger}, list);
    ASSERT_EQ(presenter.shown.size(), 1u);
    EXPECT_EQ(presenter.shown[0],
              (std::vector<ConnectionNotice>{{b, "Bea"}, {a, "Al"}, {stranger, "iPhone"}}));
    EXPECT_EQ(joinedNames(presenter.shown[0], {}), "Bea, Al and iPhone");
    executor.advance(2.4);
    controller.connectionsChanged({a, b, stranger}, list);  // nothing new: the dismissal stands
    executor.advance(0.1);
    EXPECT_EQ(presenter.dismissals, 1);

    // A leaves; back after 10 s gets nothing, after another 20 s (left again) gets a notice.
    controller.connectionsChanged({b}, list);
    now += 10s;
    controller.connectionsChanged({a, b}, list);
    EXPECT_EQ(presenter.shown.size(), 1u);
    controller.connectionsChanged({b}, list);
    now += 20s;
    controller.connectionsChanged({a, b}, list);
    ASSERT_EQ(presenter.shown.size(), 2u);
    EXPECT_EQ(presenter.shown[1], (std::vector<ConnectionNotice>{{a, "Al"}}));

    // Paired 5 s ago: no notice. Notices off: the tracker still counts the connection.
    const DeviceID fresh = DeviceID::random();
    auto withFresh = list;
    withFresh.push_back(trusted(fresh, "New", now - 5s));
    controller.connectionsChanged({a, b, fresh}, withFresh);
    EXPECT_EQ(presenter.shown.size(), 2u);
    preferences.setShowsConnectionNotice(false);
    const DeviceID other = DeviceID::random();
    controller.connectionsChanged({a, b, fresh, other}, withFresh);
    preferences.setShowsConnectionNotice(true);
    controller.connectionsChanged({a, b, fresh, other}, withFresh);
    EXPECT_EQ(presenter.shown.size(), 2u) << "connections already counted are not replayed";

    controller.reset();
    EXPECT_TRUE(controller.tracker().connected.empty());
    EXPECT_EQ(executor.pendingTimers(), 0u);
}

struct RecordingPanel final : PairingPanelPresenting {
    void show() override {
        ++shows;
        visible = true;
    }
    void hide() override { visible = false; }
    void announce(const std::string& text) override { announcements.push_back(text); }
    int shows = 0;
    bool visible = false;
    std::vector<std::string> announcements;
};

TEST(PairingPanel, ShowsAnnouncesAndDismissesAFinishedPairing) {
    RuntimeHarness h;
    RecordingPanel panel;
    PairingPanelController controller(*h.runtime, panel, h.executor);
    controller.install();
    controller.install();
    h.runtime->start();
    const auto p = pending("123456");
    h.event(PairingEvent::PendingPairingChanged{p});
    EXPECT_EQ(panel.shows, 1);
    EXPECT_EQ(panel.announcements.back(), "Anna's iPhone wants to pair. Pairing code 1 2 3 4 5 6.");

    // The user closes the panel; a wrong code is announced, the panel stays closed.
    panel.hide();
    auto wrong = p;
    wrong.failedAttempts = 2;
    h.event(PairingEvent::PendingPairingChanged{wrong});
    EXPECT_FALSE(panel.visible);
    EXPECT_EQ(panel.announcements.back(), "Wrong code. 1 try left.");

    h.event(PairingEvent::PairingFinished{CompanionNetwork::PairingOutcome::paired("Anna's iPhone")});
    EXPECT_TRUE(panel.visible);
    EXPECT_EQ(panel.announcements.back(), "Paired with Anna's iPhone.");
    // A new code within 1.5 s stays up: the old dismissal does nothing.
    h.executor.advance(1.0);
    const auto next = pending("654321");
    h.event(PairingEvent::PendingPairingChanged{next});
    h.executor.advance(1.0);
    EXPECT_TRUE(panel.visible);
    EXPECT_EQ(h.runtime->pairingProgress.value(), PairingProgress::waiting(next));

    h.event(PairingEvent::PairingFinished{CompanionNetwork::PairingOutcome::expired()});
    EXPECT_EQ(panel.announcements.back(), "Pairing failed. The code expired before it was entered.");
    h.executor.advance(2.999);
    EXPECT_TRUE(panel.visible);
    h.executor.advance(0.001);
    EXPECT_FALSE(panel.visible);
    EXPECT_EQ(h.runtime->pairingProgress.value(), PairingProgress::idle());
    controller.uninstall();
}

TEST(PairingPanel, ContentCountsDownAndTurnsUrgent) {
    auto p = pending("123456", 1);
    auto content = pairingPanelContent(PairingProgress::waiting(p), epoch + 500ms, 3);
    EXPECT_EQ(content.title, "Pair with Anna's iPhone");
    EXPECT_EQ(content.code, "123 456");
    EXPECT_EQ(content.digitsCaption, "6 digits");
    EXPECT_EQ(content.countdown, "Expires in 2:00");
    EXPECT_FALSE(content.countdownUrgent);
    EXPECT_EQ(content.statusLine, "Wrong code. 2 tries left.");
    EXPECT_EQ(content.cancelHint, "Stops pairing with Anna's iPhone");
    content = pairingPanelContent(PairingProgress::waiting(p), epoch + 111s, 3);
    EXPECT_EQ(content.countdown, "Expires in 0:09");
    EXPECT_TRUE(content.countdownUrgent);
    content = pairingPanelContent(PairingProgress::waiting(p), epoch + 200s, 3);
    EXPECT_EQ(content.countdown, "Expires in 0:00");
    EXPECT_EQ(content.countdownAccessibility, "Expires in 0 seconds");
    EXPECT_EQ(wrongCodeMessage(5, 3), "Wrong code. 0 tries left.");
    p.failedAttempts = 0;
    EXPECT_EQ(pairingPanelContent(PairingProgress::waiting(p), epoch, 3).statusLine,
              "Waiting for the code\u2026");
    EXPECT_EQ(pairingPanelContent(PairingProgress::succeeded("Anna"), epoch, 3).message,
              "Anna can now control this Mac.");
}

TEST(LaunchAtLogin, AutostartEntryIsOursAndOfferedOnce) {
    TemporaryFolder folder;
    CompanionPreferences preferences(folder.path() / "p.json");
    XdgAutostartLoginItem item("/usr/bin/lumivex \"two\"$", folder.path() / "autostart");
    EXPECT_EQ(XdgAutostartLoginItem::execValue("/a b/c\"d\\e%f"), "\"/a b/c\\\\\"d\\\\\\\\e%%f\"");

    // Run from a build tree: nothing is offered and the key stays unset.
    LaunchAtLogin fromSource(item, "/proc/self/exe");
    fromSource.offerAtFirstLaunch(preferences);
    EXPECT_EQ(fromSource.state().value(), LaunchAtLoginState::disabled);
    EXPECT_FALSE(preferences.boolValue(LaunchAtLogin::didOfferKey));

    LaunchAtLogin login(item, "/usr/bin/env");
    login.offerAtFirstLaunch(preferences);
    EXPECT_EQ(login.state().value(), LaunchAtLoginState::enabled);
    EXPECT_EQ(preferences.boolValue(LaunchAtLogin::didOfferKey), true);

    login.setEnabled(false, preferences);
    EXPECT_EQ(login.state().value(), LaunchAtLoginState::disabled);
    EXPECT_FALSE(std::filesystem::exists(item.entry()));
    login.offerAtFirstLaunch(preferences);
    EXPECT_EQ(login.state().value(), LaunchAtLoginState::disabled) << "offered once";

    // Someone else's entry of the same name is neither replaced nor removed.
    std::ofstream(item.entry()) << "[Desktop Entry]\nExec=other\nX-GNOME-Autostart-enabled=false\n";
    login.refresh();
    EXPECT_EQ(login.state().value(), LaunchAtLoginState::disabled);
    login.setEnabled(true, preferences);
    EXPECT_TRUE(login.lastError().value());
    login.setEnabled(false, preferences);
    EXPECT_TRUE(std::filesystem::exists(item.entry()));
}

TEST(LaunchAtLogin, ADamagedPreferencesFileOffersNothingAndIsWrittenOnlyByTheUser) {
    TemporaryFolder folder;
    const auto file = folder.path() / "Preferences.json";
    const std::string damaged = "{ \"didOfferLaunchAtLogin\": tr";
    std::ofstream(file) << damaged;
    CompanionPreferences preferences(file);
    EXPECT_TRUE(preferences.isUnreadable());
    XdgAutostartLoginItem item("/usr/bin/lumivex", folder.path() / "autostart");
    LaunchAtLogin login(item, "/usr/bin/env");
    login.offerAtFirstLaunch(preferences);
    EXPECT_EQ(login.state().value(), LaunchAtLoginState::disabled) << "the item the user turned off stays off";
    EXPECT_FALSE(std::filesystem::exists(item.entry()));
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), damaged);

    // The user's own change is written, and the file is readable again.
    preferences.setShowsConnectionNotice(false);
    EXPECT_FALSE(preferences.isUnreadable());
    EXPECT_FALSE(CompanionPreferences(file).isUnreadable());
}

}  // namespace
}  // namespace Shell::testing

namespace Shell::testing {
namespace {

TEST(AppDelegate, LaunchOrderAndTestMode) {
    for (const bool testMode : {false, true}) {
        RuntimeHarness h;
        h.probe.trusted = false;
        std::vector<std::string> steps;
        AppDelegate::Hooks hooks;
        hooks.installPairingPanel = [&] { steps.push_back("panel.install"); };
        hooks.uninstallPairingPanel = [&] { steps.push_back("panel.uninstall"); };
        hooks.offerLaunchAtLogin = [&] { steps.push_back("login.offer"); };
        hooks.showOnboarding = [&] {
            steps.push_back(h.runtime->isRunning() ? "onboarding after start" : "onboarding before start");
        };
        AppDelegate delegate(h.permission, h.runtime, hooks, testMode);
        delegate.didFinishLaunching();
        EXPECT_TRUE(h.permission.isPolling());
        EXPECT_EQ(h.runtime->isRunning(), !testMode);
        delegate.willTerminate();
        delegate.willTerminate();
        EXPECT_FALSE(h.permission.isPolling());
        EXPECT_EQ(h.runtime->status.value(), Texts::stopped);
        if (testMode) {
            EXPECT_EQ(steps, (std::vector<std::string>{"panel.uninstall"}));
        } else {
            EXPECT_EQ(steps, (std::vector<std::string>{"panel.install", "login.offer",
                                                       "onboarding after start", "panel.uninstall"}));
        }
    }
}

}  // namespace
}  // namespace Shell::testing
