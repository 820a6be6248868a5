#include "app/core/LaunchAtLogin.h"

#include <exception>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/Files.h"
#include "platform/Log.h"

namespace Shell {

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "login");

// Our own entries carry this key; an entry of the same name made by someone else is never removed.
constexpr const char* ownMarker = "X-Lumivex-Autostart=true";

std::optional<std::string> readEntry(const std::filesystem::path& path) {
    auto bytes = platform::readFile(path);
    if (!bytes) {
        return std::nullopt;
    }
    return std::string(bytes->begin(), bytes->end());
}

// The value of `key` in the [Desktop Entry] group, trimmed.
std::optional<std::string> entryValue(const std::string& text, const std::string& key) {
    std::istringstream lines(text);
    std::string line;
    bool inGroup = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.front() == '[') {
            inGroup = line.rfind("[Desktop Entry]", 0) == 0;
            continue;
        }
        if (!inGroup || line.rfind(key, 0) != 0) {
            continue;
        }
        auto rest = line.substr(key.size());
        const auto start = rest.find_first_not_of(" \t");
        if (start == std::string::npos || rest[start] != '=') {
            continue;
        }
        rest = rest.substr(start + 1);
        const auto first = rest.find_first_not_of(" \t");
        const auto last = rest.find_last_not_of(" \t\r");
        return first == std::string::npos ? std::string() : rest.substr(first, last - first + 1);
    }
    return std::nullopt;
}

}  // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem(std::filesystem::path executable,
                                             std::optional<std::filesystem::path> autostartFolder)
    : executable_(std::move(executable)),
      entry_(autostartFolder.value_or(platform::xdgConfigHome() / "autostart") /
             "dev.quelmar.trackpad.mac.desktop") {}

std::string XdgAutostartLoginItem::execValue(const std::string& path) {
    // Inside a quoted argument ", `, $ and \ take a backslash; the string value then escapes each
    // backslash once more, and % is doubled as a field code would otherwise begin.
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '\\') {
            quoted += "\\\\\\\\";
            continue;
        }
        if (c == '"' || c == '`' || c == '$') {
            quoted += "\\\\";
        }
        if (c == '%') {
            quoted += '%';
        }
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

LaunchAtLoginState XdgAutostartLoginItem::status() {
    const auto text = readEntry(entry_);
    if (!text) {
        return LaunchAtLoginState::disabled;
    }
    if (entryValue(*text, "Hidden") == "true" || entryValue(*text, "X-GNOME-Autostart-enabled") == "false") {
        return LaunchAtLoginState::disabled;
    }
    return LaunchAtLoginState::enabled;
}

void XdgAutostartLoginItem::registerItem() {
    const auto existing = readEntry(entry_);
    if (existing && existing->find(ownMarker) == std::string::npos) {
        throw std::runtime_error("Another program's login entry " + entry_.string() + " is in the way.");
    }
    const std::string text =
        "[Desktop Entry]\nType=Application\nName=Lumivex\nComment=Use your iPhone as a trackpad\n"
        "Exec=" +
        execValue(executable_.string()) + "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n" + ownMarker +
        "\n";
    std::filesystem::create_directories(entry_.parent_path());
    platform::writeFileAtomically(entry_, text);
}

void XdgAutostartLoginItem::unregisterItem() {
    const auto existing = readEntry(entry_);
    if (!existing) {
        return;
    }
    if (existing->find(ownMarker) == std::string::npos) {
        throw std::runtime_error("The login entry " + entry_.string() +
                                 " was not made by Lumivex; it is left as it is.");
    }
    std::filesystem::remove(entry_);
}

LaunchAtLogin::LaunchAtLogin(LoginItemService& service, std::filesystem::path appPath)
    : service_(service), appPath_(std::move(appPath)) {
    state_.set(read());
}

LaunchAtLoginState LaunchAtLogin::read() {
    try {
        return service_.status();
    } catch (const std::exception& error) {
        logger.error(std::string("The login entry cannot be read: ") + error.what());
        return LaunchAtLoginState::disabled;
    }
}

void LaunchAtLogin::refresh() {
    state_.set(read());
}

void LaunchAtLogin::setEnabled(bool enabled, CompanionPreferences& defaults) {
    try {
        if (enabled) {
            service_.registerItem();
        } else {
            defaults.setBool(didOfferKey, true);
            service_.unregisterItem();
        }
        lastError_.set(std::nullopt);
    } catch (const std::exception& error) {
        lastError_.set(std::string(error.what()));
    }
    refresh();
}

void LaunchAtLogin::offerAtFirstLaunch(CompanionPreferences& defaults) {
    // A damaged preferences file may well say the offer was settled (the user turned the item off):
    // nothing is registered or written on the grounds of a key it could not show.
    if (defaults.isUnreadable() || defaults.boolValue(didOfferKey).value_or(false)) {
        return;
    }
    std::error_code error;
    const auto resolved = std::filesystem::canonical(appPath_, error);
    if (error || resolved.string().rfind(installPrefix, 0) != 0) {
        return;
    }
    refresh();
    if (state_.value() != LaunchAtLoginState::disabled) {
        defaults.setBool(didOfferKey, true);
        return;
    }
    try {
        service_.registerItem();
        lastError_.set(std::nullopt);
    } catch (const std::exception& failure) {
        lastError_.set(std::string(failure.what()));
    }
    refresh();
    if (lastError_.value() || state_.value() == LaunchAtLoginState::disabled) {
        return;
    }
    defaults.setBool(didOfferKey, true);
}

}  // namespace Shell
