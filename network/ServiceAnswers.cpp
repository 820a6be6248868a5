#include "network/ServiceAnswers.h"

#include "protocol/messages/LargePayloads.h"

namespace CompanionNetwork {

using namespace TrackpadProtocol;

std::vector<Message> unservedAnswer(const Message& request, ServiceFault fault) {
    const bool failed = fault == ServiceFault::failed;
    if (const auto* apps = request.as<Message::AppsRequest>()) {
        if (apps->kind == AppListKind::installed)
            return {Message::InstalledApps{AppListPart{}}};
        return {Message::RunningApps{AppListPart{}}};
    }
    if (const auto* icon = request.as<Message::AppIconRequest>())
        return {Message::AppIcon{AppIcon(icon->request.bundleID, std::nullopt)}};
    if (const auto* open = request.as<Message::OpenApp>())
        return {Message::OpenAppResult{{open->bundleID, OpenAppResult::Status::failed}}};
    if (request.is<Message::ScreenDisplaysRequest>())
        return {Message::ScreenDisplays{}};
    if (const auto* start = request.as<Message::ScreenViewStart>()) {
        const auto state =
            failed ? ScreenViewStatus::State::failed : ScreenViewStatus::State::displayUnavailable;
        return {Message::ScreenViewStatus{{state, start->request.displayID}}};
    }
    if (request.is<Message::ScreenViewSelectDisplay>() || request.is<Message::ScreenViewStop>())
        return {Message::ScreenViewStatus{{ScreenViewStatus::State::stopped, std::nullopt}}};
    if (const auto* shot = request.as<Message::ScreenshotRequest>()) {
        const auto status = failed ? Screenshot::Status::failed : Screenshot::Status::displayUnavailable;
        return Screenshot(status).messages(shot->request.number);
    }
    if (request.is<Message::SetVolume>() || request.is<Message::SetMute>() ||
        request.is<Message::VolumeStatusRequest>())
        return {Message::VolumeStatus{VolumeStatus::unsupported}};
    if (const auto* unlock = request.as<Message::UnlockRequest>())
        return {Message::UnlockResult{{unlock->request.number, UnlockResult::Status::notAllowed}}};
    return {};
}

}  // namespace CompanionNetwork
