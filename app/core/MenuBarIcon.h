#pragma once
// Which symbol and label the tray icon shows; the first rule that matches wins.
#include <string>

#include "app/core/AccessibilityPermission.h"

namespace Shell {

struct MenuBarIcon {
    enum class Symbol { pairingCode, warning, ready };
    Symbol symbol;
    std::string accessibilityLabel;
    bool operator==(const MenuBarIcon&) const = default;

    static MenuBarIcon current(bool pairingPending, AccessibilityStatus permission) {
        if (pairingPending) {
            return {Symbol::pairingCode, "Lumivex, pairing code available"};
        }
        if (permission == AccessibilityStatus::missing) {
            return {Symbol::warning, "Lumivex, Accessibility: Not Allowed"};
        }
        return {Symbol::ready, "Lumivex, Accessibility: Allowed"};
    }
};

}  // namespace Shell
