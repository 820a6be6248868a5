#include "services/AbsentServices.h"

#include <algorithm>
#include <utility>

#include "platform/Executor.h"
#include "platform/Log.h"
#include "protocol/messages/LargePayloads.h"

namespace Shell {

using TrackpadProtocol::Message;

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "services");

void logAbsent(const char* what) {
    logger.notice(what);
}

}  // namespace

const char* displayText(UnlockEntry entry) {
    switch (entry) {
        case UnlockEntry::filled:
            return "Filled by Accessibility";
        case UnlockEntry::typed:
            return "Typed as characters (Accessibility couldn't fill the field)";
    }
    return "";
}

AbsentInputService::AbsentInputService() {
    logAbsent("Pointer input is not available; phone input is dropped");
}

AbsentGestureService::AbsentGestureService() {
    logAbsent("Gestures are not available; gestures, key combinations, text and quick actions are dropped");
}

bool AbsentGestureService::handle(const Message&, const DeviceID&) {
    return false;
}

AbsentUnlockService::AbsentUnlockService() {
    logAbsent("Lock-screen unlock is not available; unlock requests end without entering anything");
}

void AbsentUnlockService::unlock(std::string password, IsWithdrawn, Completion completion) {
    std::fill(password.begin(), password.end(), '\0');
    completion(UnlockReport{TrackpadProtocol::UnlockResult::Status::notReached,
                            "Lumivex can't reach the lock screen on this computer. Nothing was entered.",
                            std::nullopt});
}

AbsentScreenLockService::AbsentScreenLockService() {
    logAbsent("The screen-lock state is not available; phones are not told of locks");
}

AbsentScreenViewService::AbsentScreenViewService() {
    logAbsent("Screen view is not available; phones are told that no display can be shown");
}

void AbsentScreenViewService::handle(const Message& message, const CompanionNetwork::ScreenViewLink&,
                                     CompanionNetwork::ScreenViewLink::Send send) {
    using Status = TrackpadProtocol::ScreenViewStatus;
    std::vector<Message> answer;
    if (message.is<Message::ScreenDisplaysRequest>()) {
        answer.push_back(Message{Message::ScreenDisplays{}});
    } else if (auto start = message.as<Message::ScreenViewStart>()) {
        answer.push_back(Message{
            Message::ScreenViewStatus{Status{Status::State::displayUnavailable, start->request.displayID}}});
    } else if (auto select = message.as<Message::ScreenViewSelectDisplay>()) {
        answer.push_back(
            Message{Message::ScreenViewStatus{Status{Status::State::displayUnavailable, select->displayID}}});
    } else if (message.is<Message::ScreenViewStop>()) {
        answer.push_back(Message{Message::ScreenViewStatus{Status{Status::State::stopped, std::nullopt}}});
    } else if (auto shot = message.as<Message::ScreenshotRequest>()) {
        answer = TrackpadProtocol::Screenshot(TrackpadProtocol::Screenshot::Status::displayUnavailable)
                     .messages(shot->request.number);
    }
    if (!answer.empty() && send) {
        send(std::move(answer), [] {});
    }
}

AbsentAppCatalogService::AbsentAppCatalogService() {
    logAbsent("The app catalog is not available; phones get empty app lists");
}

std::optional<std::vector<Message>> AbsentAppCatalogService::answer(const Message& message) {
    if (auto request = message.as<Message::AppsRequest>()) {
        if (request->kind == TrackpadProtocol::AppListKind::running) {
            return std::vector<Message>{Message{Message::RunningApps{}}};
        }
        return std::vector<Message>{Message{Message::InstalledApps{}}};
    }
    if (auto icon = message.as<Message::AppIconRequest>()) {
        return std::vector<Message>{
            Message{Message::AppIcon{TrackpadProtocol::AppIcon(icon->request.bundleID, std::nullopt)}}};
    }
    return std::nullopt;
}

AbsentAppLaunchService::AbsentAppLaunchService() {
    logAbsent("Opening apps is not available; phones are told the app is not installed");
}

void AbsentAppLaunchService::open(const std::string& bundleID, Completion done) {
    const auto first = bundleID.find_first_not_of(" \t\r\n");
    const auto last = bundleID.find_last_not_of(" \t\r\n");
    std::string trimmed =
        first == std::string::npos ? std::string() : bundleID.substr(first, last - first + 1);
    done(TrackpadProtocol::OpenAppResult{std::move(trimmed),
                                         TrackpadProtocol::OpenAppResult::Status::notInstalled});
}

AbsentNowPlayingService::AbsentNowPlayingService() {
    logAbsent("Now playing is not available; phones are told nothing plays");
}

AbsentVolumeService::AbsentVolumeService() {
    logAbsent("Volume control is not available; phones are told volume is unsupported");
}

AbsentOverlayDisplays::AbsentOverlayDisplays() {}

AbsentAnnotationService::AbsentAnnotationService() {
    logAbsent("Annotations are not available; drawings from phones are not shown");
}

double AbsentAnnotationService::now() {
    return platform::monotonicSeconds();
}

AbsentPresentationImageService::AbsentPresentationImageService() {
    logAbsent("Presentation pictures are not available; pictures from phones are not shown");
}

AbsentPointerHighlightService::AbsentPointerHighlightService() {
    logAbsent("The pointer highlight is not available; a shaken pointer does not glow");
}

void CompanionServices::completeWithAbsentServices() {
    if (!input) {
        input = std::make_shared<AbsentInputService>();
    }
    if (!gestures) {
        gestures = std::make_shared<AbsentGestureService>();
    }
    if (!unlocker) {
        unlocker = std::make_shared<AbsentUnlockService>();
    }
    if (!screenLock) {
        screenLock = std::make_shared<AbsentScreenLockService>();
    }
    if (!screenViews) {
        screenViews = std::make_shared<AbsentScreenViewService>();
    }
    if (!makeAppCatalog) {
        makeAppCatalog = [](AppCatalogService::Options) {
            return std::make_shared<AbsentAppCatalogService>();
        };
    }
    if (!appLauncher) {
        appLauncher = std::make_shared<AbsentAppLaunchService>();
    }
    if (!makeNowPlayingFeed) {
        makeNowPlayingFeed = [](NowPlayingService::Options) {
            return std::make_shared<AbsentNowPlayingService>();
        };
    }
    if (!volume) {
        volume = std::make_shared<AbsentVolumeService>();
    }
    if (!displays) {
        displays = std::make_shared<AbsentOverlayDisplays>();
    }
    if (!annotations) {
        annotations = std::make_shared<AbsentAnnotationService>();
    }
    if (!presentationImages) {
        presentationImages = std::make_shared<AbsentPresentationImageService>();
    }
    if (!pointerHighlight) {
        pointerHighlight = std::make_shared<AbsentPointerHighlightService>();
    }
}

}  // namespace Shell
