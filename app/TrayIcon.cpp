#include "app/TrayIcon.h"

#include <QAction>
#include <QApplication>
#include <QKeySequence>
#include <QMenu>
#include <QStyle>
#include <QSystemTrayIcon>

#include "app/core/MenuBarIcon.h"

namespace Shell {

TrayIcon::TrayIcon(CompanionRuntime& runtime, AccessibilityPermission& permission)
    : runtime_(runtime),
      permission_(permission),
      menu_(std::make_unique<QMenu>()),
      icon_(std::make_unique<QSystemTrayIcon>()) {
    icon_->setContextMenu(menu_.get());
    pendingSubscription_ = runtime_.pendingPairing.subscribe([this](const auto&) { update(); });
    permissionSubscription_ = permission_.status().subscribe([this](const auto&) { update(); });
    statusSubscription_ = runtime_.status.subscribe([this](const auto&) { update(); });
    update();
    icon_->show();
}

TrayIcon::~TrayIcon() = default;

void TrayIcon::update() {
    const MenuBarIcon state =
        MenuBarIcon::current(runtime_.pendingPairing.value().has_value(), permission_.currentStatus());
    QStyle* style = QApplication::style();
    switch (state.symbol) {
        case MenuBarIcon::Symbol::pairingCode:
            icon_->setIcon(style->standardIcon(QStyle::SP_MessageBoxInformation));
            break;
        case MenuBarIcon::Symbol::warning:
            icon_->setIcon(style->standardIcon(QStyle::SP_MessageBoxWarning));
            break;
        case MenuBarIcon::Symbol::ready:
            icon_->setIcon(style->standardIcon(QStyle::SP_ComputerIcon));
            break;
    }
    icon_->setToolTip(QString::fromStdString(state.accessibilityLabel));

    menu_->clear();
    QAction* status = menu_->addAction(QString::fromStdString(runtime_.status.value()));
    status->setObjectName("companion.status");
    status->setEnabled(false);
    menu_->addSeparator();
    QAction* quit = menu_->addAction(QStringLiteral("Quit Lumivex"), [] { QApplication::quit(); });
    quit->setShortcut(QKeySequence::Quit);
}

}  // namespace Shell
