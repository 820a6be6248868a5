#include "app/TrayIcon.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFont>
#include <QKeySequence>
#include <QMenu>
#include <QPalette>
#include <QProxyStyle>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOptionMenuItem>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QVariant>
#include <deque>

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

// A menu takes a single "&" as the mark of a mnemonic and hides it: "Tom & Jerry" must keep its "&".
QString menuText(const std::string& text) {
    return q(text).replace(QLatin1Char('&'), QStringLiteral("&&"));
}

// Thread: main. The application's style, except that the parts of a menu item are drawn with one kept
// palette for each set of colours. Styles draw a highlighted submenu item's arrow with a copy of the
// palette given the highlight's text colour, which makes it a palette of its own, and keep what they
// draw in the process's pixmap cache under the palette's identity: every repaint of an open menu whose
// submenu is open (its items change while phones come and go) would add one more picture, which the
// cache lets go only once it is full, some ten megabytes later.
class MenuStyle final : public QProxyStyle {
  public:
    MenuStyle() : QProxyStyle(QStyleFactory::create(QApplication::style()->name())) {}

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
        if (!item) {
            QProxyStyle::drawPrimitive(element, option, painter, widget);
            return;
        }
        QStyleOptionMenuItem kept = *item;
        kept.palette = keptPalette(item->palette);
        kept.palette.setCurrentColorGroup(item->palette.currentColorGroup());
        QProxyStyle::drawPrimitive(element, &kept, painter, widget);
    }

  private:
    // A few sets of colours take turns (plain, highlighted, disabled); a new theme replaces the oldest.
    const QPalette& keptPalette(const QPalette& palette) const {
        for (const QPalette& each : palettes_) {
            if (each == palette) {
                return each;
            }
        }
        if (palettes_.size() == 8) {
            palettes_.pop_front();
        }
        palettes_.push_back(palette);
        return palettes_.back();
    }

    mutable std::deque<QPalette> palettes_;
};

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
      style_(std::make_unique<MenuStyle>()),
      menu_(std::make_unique<QMenu>()),
      icon_(std::make_unique<QSystemTrayIcon>()) {
    menu_->setObjectName(QStringLiteral("companionMenu"));
    menu_->setStyle(style_.get());
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
    choices_.clear();
    update(*menu_, items);
    lastRebuildLatency_ =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - changedAt_);
}

// The menu is brought to the derived list in place: an action whose item is still there (the same
// identifier, or the same kind at the same place for items without one) is kept and changed, so that an
// open menu and its open submenus stay open while phones come and go. Updates run from the event loop,
// never from inside one of these menus' own handlers.
void TrayIcon::update(QMenu& into, const std::vector<MenuItem>& list) {
    const auto kindOf = [](QAction* action) {
        return action->isSeparator() ? MenuItem::Kind::separator
               : action->menu()      ? MenuItem::Kind::submenu
                                     : static_cast<MenuItem::Kind>(action->property("menuKind").toInt());
    };
    const auto remove = [](QAction* action) {
        if (QMenu* submenu = action->menu()) {
            delete submenu;  // its action goes with it
        } else {
            delete action;
        }
    };
    QList<QAction*> old = into.actions();
    qsizetype next = 0;
    for (const MenuItem& item : list) {
        QAction* kept = nullptr;
        if (!item.identifier.empty()) {
            for (qsizetype at = next; at < old.size(); ++at) {
                if (old[at]->objectName() == q(item.identifier) && kindOf(old[at]) == item.kind) {
                    for (; next < at; ++next) {
                        remove(old[next]);
                    }
                    kept = old[next++];
                    break;
                }
            }
        } else if (next < old.size() && old[next]->objectName().isEmpty() && kindOf(old[next]) == item.kind) {
            kept = old[next++];
        }
        QAction* before = next < old.size() ? old[next] : nullptr;
        QAction* action = kept;
        if (!action) {
            if (item.kind == MenuItem::Kind::separator) {
                into.insertSeparator(before);
                continue;
            }
            if (item.kind == MenuItem::Kind::submenu) {
                auto* submenu = new QMenu(&into);
                submenu->setStyle(style_.get());
                action = into.insertMenu(before, submenu);
            } else {
                action = new QAction(&into);
                action->setProperty("menuKind", static_cast<int>(item.kind));
                into.insertAction(before, action);
                QObject::connect(action, &QAction::triggered, menu_.get(), [this, action] {
                    bool known = false;
                    const qulonglong index = action->data().toULongLong(&known);
                    if (!known || index >= choices_.size()) {
                        return;
                    }
                    // The action runs after the menu closed.
                    QTimer::singleShot(0, menu_.get(), [this, chosen = choices_[index]] { perform(chosen); });
                });
            }
        }
        if (item.kind == MenuItem::Kind::separator) {
            continue;
        }
        action->setText(menuText(item.text));
        action->setObjectName(q(item.identifier));
        if (item.kind == MenuItem::Kind::submenu) {
            update(*action->menu(), item.children);
            continue;
        }
        // An action has no accessible name of its own; its tooltip carries the spoken form.
        action->setToolTip(item.accessibilityLabel.empty() ? QString() : q(item.accessibilityLabel));
        QFont font;
        if (item.monospaced) {
            font = QFont(QStringLiteral("monospace"));
            font.setStyleHint(QFont::Monospace);
        }
        action->setFont(font);
        action->setEnabled(item.kind != MenuItem::Kind::text);
        action->setCheckable(item.kind == MenuItem::Kind::toggle);
        action->setChecked(item.kind == MenuItem::Kind::toggle && item.checked);
        action->setShortcut(item.quitShortcut ? QKeySequence(QKeySequence::Quit) : QKeySequence());
        if (item.kind == MenuItem::Kind::text) {
            action->setData(QVariant());
        } else {
            action->setData(QVariant::fromValue<qulonglong>(choices_.size()));
            choices_.push_back(item.action);
        }
    }
    for (; next < old.size(); ++next) {
        remove(old[next]);
    }
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
