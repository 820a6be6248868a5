#include "apps/SystemAppLaunchSystem.h"

#include <cstdlib>

#include "apps/ExecLine.h"
#include "apps/ProcessLauncher.h"
#include "platform/Files.h"
#include "platform/Log.h"

namespace Apps {

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "apps");

std::string displayOrEnvironment(std::string name) {
    if (name.empty()) {
        if (const char* display = std::getenv("DISPLAY")) {
            name = display;
        }
    }
    return name;
}

}  // namespace

std::optional<std::string> terminalProgram() {
    if (const char* chosen = std::getenv("TERMINAL"); chosen != nullptr && programExists(chosen)) {
        return std::string(chosen);
    }
    if (programExists("x-terminal-emulator")) {
        return std::string("x-terminal-emulator");
    }
    return std::nullopt;
}

SystemAppLaunchSystem::SystemAppLaunchSystem(std::shared_ptr<SystemAppCatalogProvider> provider,
                                             InstalledAppScanner scanner, std::string displayName)
    : provider_(std::move(provider)),
      scanner_(std::move(scanner)),
      windows_(displayOrEnvironment(std::move(displayName))) {}

std::vector<RunningAppInfo> SystemAppLaunchSystem::runningApplications(const std::string& bundleID) {
    std::vector<RunningAppInfo> out;
    if (!provider_ || !InstalledAppScanner::isPlausibleID(bundleID)) {
        return out;
    }
    const std::string key = lowercasedText(bundleID);
    for (RunningApp& app : provider_->runningAppsWithWindows()) {
        if (app.info.bundleID && lowercasedText(*app.info.bundleID) == key) {
            out.push_back(std::move(app.info));
        }
    }
    return out;
}

std::optional<std::filesystem::path> SystemAppLaunchSystem::applicationURL(const std::string& bundleID) {
    if (!InstalledAppScanner::isPlausibleID(bundleID)) {
        return std::nullopt;
    }
    const std::vector<InstalledAppScanner::Record> records = scanner_.records();
    for (const InstalledAppScanner::Record& record : records) {
        if (record.id == bundleID) {
            return record.path;
        }
    }
    const std::string key = lowercasedText(bundleID);
    for (const InstalledAppScanner::Record& record : records) {
        if (lowercasedText(record.id) == key) {
            return record.path;
        }
    }
    return std::nullopt;
}

void SystemAppLaunchSystem::activate(const RunningAppInfo& app, Completion completion) {
    // Looked up again by process: the record may be stale by now.
    std::vector<std::uint32_t> windows;
    if (provider_) {
        for (const RunningApp& running : provider_->runningAppsWithWindows()) {
            if (running.info.processID == app.processID && running.info.bundleID == app.bundleID) {
                windows = running.windows;
                break;
            }
        }
    }
    completion(!windows.empty() && windows_.activate(windows));
}

void SystemAppLaunchSystem::open(const std::filesystem::path& url, Completion completion) {
    std::optional<std::vector<std::uint8_t>> bytes;
    try {
        bytes = platform::readFile(url);
    } catch (const std::exception&) {
    }
    std::optional<DesktopEntry> entry;
    if (bytes && bytes->size() <= maxDesktopFileBytes) {
        entry = parseDesktopEntry(
            std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), messageLocales());
    }
    if (!entry || entry->type != "Application" ||
        (!entry->tryExec.empty() && !programExists(entry->tryExec))) {
        completion(false);
        return;
    }
    std::optional<std::vector<std::string>> argv =
        parseExecLine(entry->exec, ExecContext{entry->icon, entry->name, url.string()});
    if (!argv) {
        logger.notice("The Exec line of " + url.string() + " cannot be read; nothing was started");
        completion(false);
        return;
    }
    if (entry->terminal) {
        const std::optional<std::string> terminal = terminalProgram();
        if (!terminal) {
            logger.notice(url.string() + " runs in a terminal, and no terminal program was found");
            completion(false);
            return;
        }
        argv->insert(argv->begin(), {*terminal, "-e"});
    }
    const LaunchOutcome outcome = launchDetached(*argv, entry->path);
    if (!outcome.started) {
        logger.notice("Could not start " + url.string() + ": error " + std::to_string(outcome.error));
    }
    completion(outcome.started);
}

}  // namespace Apps
