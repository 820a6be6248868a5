#include "apps/RunningApps.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <unordered_map>

#include "apps/ExecLine.h"

namespace Apps {

namespace {

class EntryIndex {
  public:
    explicit EntryIndex(const std::vector<InstalledAppScanner::Record>& records) : records_(records) {
        for (std::size_t i = 0; i < records.size(); ++i) {
            const InstalledAppScanner::Record& record = records[i];
            byID_.try_emplace(lowercasedText(record.id), i);
            // The last dotted part of a reverse-domain id ("org.example.Editor" -> "editor").
            if (auto dot = record.id.rfind('.'); dot != std::string::npos && dot + 1 < record.id.size()) {
                byIDTail_.try_emplace(lowercasedText(record.id.substr(dot + 1)), i);
            }
            if (!record.entry.startupWMClass.empty()) {
                byWMClass_.try_emplace(lowercasedText(record.entry.startupWMClass), i);
            }
            if (auto argv = parseExecLine(record.entry.exec, {}); argv && !argv->empty()) {
                byProgram_.try_emplace(
                    lowercasedText(std::filesystem::path(argv->front()).filename().string()), i);
            }
        }
    }

    const InstalledAppScanner::Record* match(const ClientWindow& window) const {
        const auto find = [](const std::unordered_map<std::string, std::size_t>& map,
                             const std::string& key) {
            auto found = key.empty() ? map.end() : map.find(lowercasedText(key));
            return found == map.end() ? std::optional<std::size_t>{}
                                      : std::optional<std::size_t>{found->second};
        };
        std::string desktopFile = std::filesystem::path(window.desktopFile).filename().string();
        if (desktopFile.ends_with(".desktop")) {
            desktopFile.resize(desktopFile.size() - 8);
        }
        for (const std::optional<std::size_t>& index :
             {find(byID_, window.applicationID), find(byID_, desktopFile), find(byWMClass_, window.className),
              find(byWMClass_, window.instanceName), find(byID_, window.className),
              find(byID_, window.instanceName), find(byIDTail_, window.className),
              find(byIDTail_, window.instanceName),
              // X toolkits name the instance after the program (argv[0]).
              find(byProgram_, window.instanceName)}) {
            if (index) {
                return &records_[*index];
            }
        }
        if (window.processID) {
            std::error_code error;
            const std::filesystem::path exe =
                std::filesystem::read_symlink("/proc/" + std::to_string(*window.processID) + "/exe", error);
            if (!error) {
                if (auto found = byProgram_.find(lowercasedText(exe.filename().string()));
                    found != byProgram_.end()) {
                    return &records_[found->second];
                }
            }
        }
        return nullptr;
    }

  private:
    const std::vector<InstalledAppScanner::Record>& records_;
    std::unordered_map<std::string, std::size_t> byID_, byIDTail_, byWMClass_, byProgram_;
};

bool hasEnded(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

}  // namespace

std::vector<RunningApp> runningApps(const std::vector<ClientWindow>& clients,
                                    const std::vector<InstalledAppScanner::Record>& records) {
    const EntryIndex index(records);
    std::vector<RunningApp> apps;
    // One application per process; windows without a process id are grouped by class.
    std::map<std::string, std::size_t> groups;
    std::vector<std::vector<const ClientWindow*>> members;
    for (const ClientWindow& window : clients) {
        if (window.processID && hasEnded(*window.processID)) {
            continue;
        }
        const std::string key = window.processID ? "pid:" + std::to_string(*window.processID)
                                                 : "class:" + window.className + "\n" + window.instanceName;
        auto [found, inserted] = groups.try_emplace(key, members.size());
        if (inserted) {
            members.emplace_back();
        }
        members[found->second].push_back(&window);
    }
    for (const std::vector<const ClientWindow*>& windows : members) {
        RunningApp app;
        const InstalledAppScanner::Record* record = nullptr;
        bool anyNormal = false;
        bool allHidden = true;
        for (const ClientWindow* window : windows) {
            if (record == nullptr) {
                record = index.match(*window);
            }
            app.info.isActive = app.info.isActive || window->isActive;
            if (window->isNormal) {
                anyNormal = true;
                allHidden = allHidden && window->isHidden;
            }
        }
        for (bool normal : {true, false}) {
            for (const ClientWindow* window : windows) {
                if (window->isNormal == normal) {
                    app.windows.push_back(window->window);
                }
            }
        }
        const ClientWindow& first = *windows.front();
        app.info.processID = first.processID.value_or(0);
        app.info.activationPolicy = anyNormal ? RunningAppInfo::ActivationPolicy::regular
                                              : RunningAppInfo::ActivationPolicy::accessory;
        app.info.isHidden = anyNormal && allHidden;
        if (record != nullptr) {
            app.info.bundleID = record->id;
            app.info.name = record->entry.name.empty() ? record->path.stem().string() : record->entry.name;
            app.info.bundleURL = record->path;
        } else if (!first.className.empty()) {
            app.info.name = first.className;
        }
        apps.push_back(std::move(app));
    }
    return apps;
}

}  // namespace Apps
