#include "app/TrayIcon.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFont>
#include <QKeySequence>
#include <QMenu>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

#include "app/ShellWindows.h"
#include "app/core/MenuBarIcon.h"
#include "network/LogText.h"
#include "platform/Files.h"
#include "platform/Log.h"

namespace Shell {

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "interface");

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

// The file manager has no common way to select a file; its folder is opened instead.
void revealFile(const std::filesystem::path& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(q(path.parent_path().string())));
}

}  // namespace

TrayIcon::TrayIcon(CompanionRuntime& runtime, AccessibilityPermission& permission, LaunchAtLogin& login,
                   CompanionPreferences& preferences, TrayHooks hooks)
    : runtime_(runtime),
      permission_(permission),
      login_(login),
      preferences_(preferences),
      hooks_(std::move(hooks)),
      menu_(std::make_unique<QMenu>()),
      icon_(std::make_unique<QSystemTrayIcon>()) {
    menu_->setObjectName(QStringLiteral("companionMenu"));
    icon_->setContextMenu(menu_.get());
    // "Open at Login" reads the login item again every time it is shown.
    QObject::connect(menu_.get(), &QMenu::aboutToShow, [this] {
        login_.refresh();
        // What the menu shows, for the record (phone names are quoted, as in every log line).
        std::string shown;
        for (QAction* action : menu_->actions()) {
            shown += (shown.empty() ? "" : " | ") +
                     (action->isSeparator() ? std::string("---") : action->text().toStdString());
        }
        logger.debug("Menu shown: " + CompanionNetwork::quotedForLog(shown));
    });
    QObject::connect(icon_.get(), &QSystemTrayIcon::activated,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger) {
                             menu_->popup(QCursor::pos());
                         }
                     });
    watch_ = std::make_unique<StateWatch>(runtime_, permission_, login_, preferences_,
                                          [this] { scheduleRebuild(); });
    changedAt_ = std::chrono::steady_clock::now();
    rebuild();
    icon_->show();
}

TrayIcon::~TrayIcon() = default;

void TrayIcon::scheduleRebuild() {
    if (rebuildPending_) {
        return;
    }
    rebuildPending_ = true;
    changedAt_ = std::chrono::steady_clock::now();
    // Several changes in one turn of the loop give one rebuild; an open menu is rebuilt in place.
    QTimer::singleShot(0, menu_.get(), [this] { rebuild(); });
}

void TrayIcon::rebuild() {
    rebuildPending_ = false;
    const MenuBarIcon state =
        MenuBarIcon::current(runtime_.pendingPairing.value().has_value(), permission_.currentStatus());
    QStyle* style = QApplication::style();
    icon_->setIcon(style->standardIcon(
        state.symbol == MenuBarIcon::Symbol::pairingCode ? QStyle::SP_MessageBoxInformation
        : state.symbol == MenuBarIcon::Symbol::warning   ? QStyle::SP_MessageBoxWarning
                                                         : QStyle::SP_ComputerIcon));
    icon_->setToolTip(q(state.accessibilityLabel));

    const auto items =
        deriveMenu(MenuInputs::read(runtime_, permission_, login_, preferences_,
                                    hooks_.storeLocation ? hooks_.storeLocation() : std::nullopt),
                   shortTimeOfDay);
    std::function<void(QMenu&, const std::vector<MenuItem>&)> fill = [&](QMenu& into,
                                                                         const std::vector<MenuItem>& list) {
        // clear() takes the actions away but leaves the submenus addMenu() made as the menu's children:
        // without this every rebuild (one per session that opens or ends) would keep the old ones for good.
        const QList<QMenu*> submenus = into.findChildren<QMenu*>(Qt::FindDirectChildrenOnly);
        into.clear();
        for (QMenu* old : submenus) {
            old->hide();
            old->setParent(nullptr);
            old->deleteLater();
        }
        for (const MenuItem& item : list) {
            if (item.kind == MenuItem::Kind::separator) {
                into.addSeparator();
                continue;
            }
            if (item.kind == MenuItem::Kind::submenu) {
                QMenu* submenu = into.addMenu(q(item.text));
                submenu->menuAction()->setObjectName(q(item.identifier));
                fill(*submenu, item.children);
                continue;
            }
            QAction* action = into.addAction(q(item.text));
            action->setObjectName(q(item.identifier));
            if (!item.accessibilityLabel.empty()) {
                // An action has no accessible name of its own; its tooltip carries the spoken form.
                action->setToolTip(q(item.accessibilityLabel));
            }
            if (item.monospaced) {
                QFont font(QStringLiteral("monospace"));
                font.setStyleHint(QFont::Monospace);
                action->setFont(font);
            }
            if (item.kind == MenuItem::Kind::text) {
                action->setEnabled(false);
                continue;
            }
            if (item.kind == MenuItem::Kind::toggle) {
                action->setCheckable(true);
                action->setChecked(item.checked);
            }
            if (item.quitShortcut) {
                action->setShortcut(QKeySequence::Quit);
            }
            QObject::connect(action, &QAction::triggered, [this, chosen = item.action] {
                // The menu is cleared when it is rebuilt; the action runs after the menu closed.
                QTimer::singleShot(0, menu_.get(), [this, chosen] { perform(chosen); });
            });
        }
    };
    fill(*menu_, items);
    lastRebuildLatency_ =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - changedAt_);
}

void TrayIcon::perform(const MenuAction& action) {
    using Kind = MenuAction::Kind;
    switch (action.kind) {
        case Kind::none:
            break;
        case Kind::retry:
            runtime_.retry();
            break;
        case Kind::revealFile:
            revealFile(action.path);
            break;
        case Kind::showPairingCode:
            if (hooks_.showPairingCode) {
                hooks_.showPairingCode();
            }
            break;
        case Kind::cancelPairing:
            runtime_.cancelPairing();
            break;
        case Kind::forget:
            if (action.device) {
                runtime_.forget(*action.device);
            }
            break;
        case Kind::openAccessibilitySettings:
            // No settings pane grants this on X11: look again, and explain when it is still missing.
            permission_.refresh();
            if (permission_.currentStatus() == AccessibilityStatus::missing && hooks_.showOnboarding) {
                hooks_.showOnboarding();
            }
            break;
        case Kind::showOnboarding:
            if (hooks_.showOnboarding) {
                hooks_.showOnboarding();
            }
            break;
        case Kind::setLaunchAtLogin:
            login_.setEnabled(action.value, preferences_);
            break;
        case Kind::openLoginItemsSettings:
            QDesktopServices::openUrl(
                QUrl::fromLocalFile(q((platform::xdgConfigHome() / "autostart").string())));
            break;
        case Kind::setShowsConnectionNotice:
            preferences_.setShowsConnectionNotice(action.value);
            break;
        case Kind::setHighlightsPointerOnShake:
            preferences_.setHighlightsPointerOnShake(action.value);
            break;
        case Kind::setAllowsUnlockFromIPhone:
            preferences_.setAllowsUnlockFromIPhone(action.value);
            break;
        case Kind::showLastUnlockDetails:
            if (const auto& last = runtime_.lastUnlock.value()) {
                showLastUnlockDetails(*last);
            }
            break;
        case Kind::confirmResetTrustedDevices:
            if (confirmResetTrustedDevices()) {
                runtime_.resetTrustedDevices();
            }
            break;
        case Kind::quit:
            QApplication::quit();
            break;
    }
}

}  // namespace Shell
