#include "gestures/Shortcuts.h"

namespace Gestures {

// Zoom in is Command and plus, whatever key types plus (Shift and equal on a us layout): toolkits match
// Control+plus (Qt's and GTK's standard zoom in, browsers too), while Control+equal only some browsers.
const Shortcut Shortcut::zoomIn{Shortcut::Character{"+"}, Modifiers::command};
const Shortcut Shortcut::zoomOut{Shortcut::Character{"-"}, Modifiers::command};
const Shortcut Shortcut::back{Shortcut::Character{"["}, Modifiers::command};
const Shortcut Shortcut::forward{Shortcut::Character{"]"}, Modifiers::command};
const Shortcut Shortcut::lockScreen{Shortcut::Character{"q"}, Modifiers::command | Modifiers::control};

std::string KeyStroke::description() const {
    std::string text;
    if (modifiers.contains(Modifiers::control)) {
        text += "\u2303";
    }
    if (modifiers.contains(Modifiers::option)) {
        text += "\u2325";
    }
    if (modifiers.contains(Modifiers::shift)) {
        text += "\u21E7";
    }
    if (modifiers.contains(Modifiers::command)) {
        text += "\u2318";
    }
    if (modifiers.contains(Modifiers::function)) {
        text += "fn";
    }
    return text + "key " + std::to_string(keyCode);
}

}  // namespace Gestures
