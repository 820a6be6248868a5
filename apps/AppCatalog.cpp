#include "apps/AppCatalog.h"

#include <algorithm>
#include <numeric>
#include <utility>

#include "apps/AppOrder.h"

namespace Apps {

using TrackpadProtocol::AppListKind;
using TrackpadProtocol::AppListPart;
using TrackpadProtocol::MacApp;
using TrackpadProtocol::Message;

namespace {

std::unordered_set<std::string> lowercasedSet(const std::vector<std::string>& ids) {
    std::unordered_set<std::string> set;
    for (const std::string& id : ids) {
        set.insert(lowercasedText(id));
    }
    return set;
}

// A bundle id as the lists keep it: trimmed, 1 to 255 bytes.
std::optional<std::string> listableID(std::string_view id) {
    std::string trimmed = trimmedText(id);
    if (trimmed.empty() || trimmed.size() > AppCatalog::maxBundleIDBytes) {
        return std::nullopt;
    }
    return trimmed;
}

}  // namespace

std::size_t AppCatalog::IconKeyHash::operator()(const IconKey& key) const {
    return std::hash<std::string>{}(key.bundleID) * 31 + static_cast<std::size_t>(key.pixelSize);
}

std::shared_ptr<AppCatalog> AppCatalog::make(std::shared_ptr<AppCatalogProvider> provider,
                                             const std::vector<std::string>& excludedBundleIDs,
                                             std::optional<std::int32_t> excludedProcessID,
                                             AppIconScaler iconScaler, OnChange onChange) {
    return std::make_shared<AppCatalog>(std::move(provider), excludedBundleIDs, excludedProcessID, iconScaler,
                                        std::move(onChange));
}

AppCatalog::AppCatalog(std::shared_ptr<AppCatalogProvider> provider,
                       const std::vector<std::string>& excludedBundleIDs,
                       std::optional<std::int32_t> excludedProcessID, AppIconScaler iconScaler,
                       OnChange onChange)
    : provider_(std::move(provider)),
      excludedBundleIDs_(lowercasedSet(excludedBundleIDs)),
      excludedProcessID_(excludedProcessID),
      iconScaler_(iconScaler),
      onChange_(std::move(onChange)) {}

// ---- Lists ----------------------------------------------------------------------------------------

std::vector<MacApp> AppCatalog::runningList(const std::vector<RunningAppInfo>& records) const {
    std::vector<MacApp> list;
    std::unordered_map<std::string, std::size_t> positions;
    bool seenActive = false;
    for (const RunningAppInfo& record : records) {
        if (record.activationPolicy != RunningAppInfo::ActivationPolicy::regular) {
            continue;
        }
        if (excludedProcessID_ && *excludedProcessID_ == record.processID) {
            continue;
        }
        if (!record.bundleID) {
            continue;
        }
        std::optional<std::string> id = listableID(*record.bundleID);
        if (!id) {
            continue;
        }
        std::string key = lowercasedText(*id);
        if (excludedBundleIDs_.contains(key)) {
            continue;
        }
        const bool firstActive = record.isActive && !seenActive;
        seenActive = seenActive || record.isActive;
        std::string name = TrackpadProtocol::truncatedForWire(trimmedText(record.name.value_or("")));
        if (auto found = positions.find(key); found != positions.end()) {
            MacApp& earlier = list[found->second];
            if (firstActive) {
                earlier.state.insert(MacApp::State::active);
            }
            if (!record.isHidden) {
                earlier.state.remove(MacApp::State::hidden);
            }
            if (earlier.name.empty()) {
                earlier.name = std::move(name);
            }
            continue;
        }
        MacApp app{std::move(*id), std::move(name), {}};
        if (firstActive) {
            app.state.insert(MacApp::State::active);
        }
        if (record.isHidden) {
            app.state.insert(MacApp::State::hidden);
        }
        positions.emplace(std::move(key), list.size());
        list.push_back(std::move(app));
    }
    return list;
}

std::vector<MacApp> AppCatalog::installedList(const std::vector<InstalledAppInfo>& records) const {
    std::vector<MacApp> list;
    std::unordered_set<std::string> taken;
    for (const InstalledAppInfo& record : records) {
        std::optional<std::string> id = listableID(record.bundleID);
        if (!id) {
            continue;
        }
        std::string key = lowercasedText(*id);
        if (excludedBundleIDs_.contains(key) || !taken.insert(std::move(key)).second) {
            continue;
        }
        list.push_back(
            MacApp{std::move(*id), TrackpadProtocol::truncatedForWire(trimmedText(record.name)), {}});
    }
    // Sort keys are computed once per name; equal names fall back to the bundle id's byte order and
    // equal ids keep their order.
    static const AppOrder order;
    std::vector<std::string> keys;
    keys.reserve(list.size());
    for (const MacApp& app : list) {
        keys.push_back(order.sortKey(app.name));
    }
    std::vector<std::size_t> indices(list.size());
    std::iota(indices.begin(), indices.end(), 0);
    std::stable_sort(indices.begin(), indices.end(), [&](std::size_t a, std::size_t b) {
        if (int byName = keys[a].compare(keys[b]); byName != 0) {
            return byName < 0;
        }
        return list[a].bundleID < list[b].bundleID;
    });
    std::vector<MacApp> sorted;
    sorted.reserve(list.size());
    for (std::size_t index : indices) {
        sorted.push_back(std::move(list[index]));
    }
    return sorted;
}

std::vector<MacApp> AppCatalog::runningApps() {
    return runningList(provider_->runningApplications());
}

std::vector<MacApp> AppCatalog::installedApps() {
    std::int64_t epoch = 0;
    {
        std::lock_guard lock(mutex_);
        if (state_.installed) {
            return *state_.installed;
        }
        epoch = state_.installedEpoch;
    }
    std::vector<MacApp> list = installedList(provider_->installedApplications());
    std::lock_guard lock(mutex_);
    if (state_.installedEpoch == epoch) {
        state_.installed = list;
    }
    return list;
}

std::vector<MacApp> AppCatalog::apps(AppListKind kind) {
    return kind == AppListKind::running ? runningApps() : installedApps();
}

// ---- Icons ----------------------------------------------------------------------------------------

TrackpadProtocol::AppIcon AppCatalog::icon(const std::string& bundleID, std::uint16_t pixelSize) {
    const int side = std::clamp<int>(pixelSize, 16, 256);
    if (bundleID.empty() || bundleID.size() > maxBundleIDBytes) {
        return TrackpadProtocol::AppIcon(bundleID, std::nullopt);
    }
    IconKey key{lowercasedText(bundleID), side};
    std::int64_t epoch = 0;
    {
        std::lock_guard lock(mutex_);
        epoch = state_.installedEpoch;
        if (auto found = state_.icons.find(key); found != state_.icons.end()) {
            return TrackpadProtocol::AppIcon(bundleID, found->second);
        }
    }
    std::optional<std::vector<std::uint8_t>> png;
    if (std::optional<IconBitmap> image = provider_->icon(bundleID, side)) {
        png = iconScaler_.pngData(*image, side);
    }
    if (png && (png->empty() || png->size() > static_cast<std::size_t>(AppIconScaler::largestByteCount))) {
        png.reset();
    }
    {
        std::lock_guard lock(mutex_);
        if (state_.installedEpoch == epoch) {
            if (state_.icons.size() >= iconCacheLimit) {
                state_.icons.clear();
            }
            state_.icons[std::move(key)] = png;
        }
    }
    return TrackpadProtocol::AppIcon(bundleID, std::move(png));
}

// ---- Answers --------------------------------------------------------------------------------------

std::optional<std::vector<Message>> AppCatalog::answer(const Message& message) {
    if (const auto* request = message.as<Message::AppIconRequest>()) {
        return std::vector<Message>{
            Message{Message::AppIcon{icon(request->request.bundleID, request->request.pixelSize)}}};
    }
    const auto* request = message.as<Message::AppsRequest>();
    if (request == nullptr) {
        return std::nullopt;
    }
    std::vector<AppListPart> parts;
    try {
        parts = AppListPart::split(apps(request->kind), answerBudget);
    } catch (...) {
        parts = {AppListPart{{}, 0, 1}};
    }
    std::vector<Message> replies;
    replies.reserve(parts.size());
    for (AppListPart& part : parts) {
        if (request->kind == AppListKind::running) {
            replies.push_back(Message{Message::RunningApps{std::move(part)}});
        } else {
            replies.push_back(Message{Message::InstalledApps{std::move(part)}});
        }
    }
    return replies;
}

// ---- Lifecycle and events -------------------------------------------------------------------------

void AppCatalog::start() {
    std::int64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        generation = ++state_.generation;
        state_.isRunning = true;
        state_.running.reset();
    }
    std::weak_ptr<AppCatalog> weak = weak_from_this();
    provider_->start([weak, generation](AppCatalogEvent event) { handleEvent(weak, generation, event); });
    std::vector<MacApp> list = runningApps();
    std::lock_guard lock(mutex_);
    if (state_.generation == generation && !state_.running) {
        state_.running = std::move(list);
    }
}

void AppCatalog::stop() {
    {
        std::lock_guard lock(mutex_);
        ++state_.generation;
        state_.isRunning = false;
    }
    provider_->stop();
}

bool AppCatalog::isLive(std::int64_t startGeneration) const {
    return state_.isRunning && state_.generation == startGeneration;
}

void AppCatalog::handleEvent(const std::weak_ptr<AppCatalog>& weak, std::int64_t startGeneration,
                             AppCatalogEvent event) {
    std::shared_ptr<AppCatalog> catalog = weak.lock();
    if (!catalog) {
        return;
    }
    {
        std::lock_guard lock(catalog->mutex_);
        if (!catalog->isLive(startGeneration)) {
            return;
        }
    }
    if (event == AppCatalogEvent::runningAppsChanged) {
        catalog->runningChanged(startGeneration);
    } else {
        catalog->installedChanged(startGeneration);
    }
}

void AppCatalog::runningChanged(std::int64_t startGeneration) {
    std::vector<MacApp> list = runningApps();
    {
        std::lock_guard lock(mutex_);
        if (!isLive(startGeneration) || (state_.running && *state_.running == list)) {
            return;
        }
        state_.running = list;
    }
    if (onChange_) {
        onChange_(AppCatalogUpdate{AppCatalogUpdate::Running{std::move(list)}});
    }
}

void AppCatalog::installedChanged(std::int64_t startGeneration) {
    std::optional<std::vector<MacApp>> old;
    {
        std::lock_guard lock(mutex_);
        ++state_.installedEpoch;
        state_.icons.clear();
        old = std::move(state_.installed);
        state_.installed.reset();
    }
    if (!old) {
        return;
    }
    std::vector<MacApp> list = installedApps();
    if (list == *old) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (!isLive(startGeneration)) {
            return;
        }
    }
    if (onChange_) {
        onChange_(AppCatalogUpdate{AppCatalogUpdate::Installed{std::move(list)}});
    }
}

}  // namespace Apps
