#include "network/MessageRoutes.h"

namespace CompanionNetwork {

namespace {

using TrackpadProtocol::HostFeatures;
using M = TrackpadProtocol::Message;
using R = MessageRoute;

// One overload per case, with no catch-all: a new message case does not compile until it is routed.
struct Router {
    R operator()(const M::PairingRequest&) const { return R::pairing; }
    R operator()(const M::PairingChallenge&) const { return R::computerOnly; }
    R operator()(const M::PairingResponse&) const { return R::pairing; }
    R operator()(const M::PairingAccepted&) const { return R::computerOnly; }
    R operator()(const M::PairingRejected&) const { return R::computerOnly; }
    R operator()(const M::PairingCancel&) const { return R::pairing; }
    R operator()(const M::SessionRequest&) const { return R::session; }
    R operator()(const M::SessionAccepted&) const { return R::computerOnly; }
    R operator()(const M::Probe&) const { return R::probe; }
    R operator()(const M::ProbeReply&) const { return R::computerOnly; }
    R operator()(const M::Subscribe&) const { return R::subscribe; }
    R operator()(const M::Unsubscribe&) const { return R::unsubscribe; }
    R operator()(const M::ControlStatus&) const { return R::computerOnly; }
    R operator()(const M::ScreenLockStatus&) const { return R::computerOnly; }

    R operator()(const M::Move&) const { return R::deliver; }
    R operator()(const M::Tap&) const { return R::deliver; }
    R operator()(const M::Drag&) const { return R::deliver; }
    R operator()(const M::Scroll&) const { return R::deliver; }
    R operator()(const M::RightClick&) const { return R::deliver; }
    R operator()(const M::Positioned&) const { return R::deliver; }
    R operator()(const M::Gesture&) const { return R::deliver; }
    R operator()(const M::KeyCombination&) const { return R::deliver; }
    R operator()(const M::Text&) const { return R::deliver; }
    R operator()(const M::MediaCommand&) const { return R::deliver; }
    R operator()(const M::QuickAction&) const { return R::deliver; }
    R operator()(const M::Annotation&) const { return R::deliver; }
    R operator()(const M::PresentationImage&) const { return R::deliver; }

    R operator()(const M::ScreenDisplaysRequest&) const { return R::screenView; }
    R operator()(const M::ScreenDisplays&) const { return R::computerOnly; }
    R operator()(const M::ScreenViewStart&) const { return R::screenView; }
    R operator()(const M::ScreenViewSelectDisplay&) const { return R::screenView; }
    R operator()(const M::ScreenViewStop&) const { return R::screenView; }
    R operator()(const M::ScreenViewStatus&) const { return R::computerOnly; }
    R operator()(const M::ScreenVideo&) const { return R::computerOnly; }
    R operator()(const M::ScreenshotRequest&) const { return R::screenView; }
    R operator()(const M::Screenshot&) const { return R::computerOnly; }

    R operator()(const M::AppsRequest&) const { return R::answer; }
    R operator()(const M::RunningApps&) const { return R::computerOnly; }
    R operator()(const M::InstalledApps&) const { return R::computerOnly; }
    R operator()(const M::AppIconRequest&) const { return R::answer; }
    R operator()(const M::AppIcon&) const { return R::computerOnly; }
    R operator()(const M::OpenApp&) const { return R::answer; }
    R operator()(const M::OpenAppResult&) const { return R::computerOnly; }

    R operator()(const M::SetVolume&) const { return R::volume; }
    R operator()(const M::SetMute&) const { return R::volume; }
    R operator()(const M::VolumeStatusRequest&) const { return R::volume; }
    R operator()(const M::VolumeStatus&) const { return R::computerOnly; }
    R operator()(const M::NowPlaying&) const { return R::computerOnly; }
    R operator()(const M::NowPlayingUnavailable&) const { return R::computerOnly; }

    R operator()(const M::UnlockRequest&) const { return R::unlock; }
    R operator()(const M::UnlockResult&) const { return R::computerOnly; }
};

std::optional<HostFeatures> annotationFeature(const TrackpadProtocol::Annotation& annotation) {
    using A = TrackpadProtocol::Annotation;
    if (std::holds_alternative<A::Undo>(annotation.kind))
        return HostFeatures::annotationUndo;
    if (std::holds_alternative<A::Color>(annotation.kind))
        return HostFeatures::annotationColors;
    return HostFeatures::annotations;
}

}  // namespace

MessageRoute routeOf(const M& message) {
    return std::visit(Router{}, message.value);
}

std::optional<HostFeatures> requiredFeature(const M& message) {
    if (const auto* annotation = message.as<M::Annotation>())
        return annotationFeature(annotation->annotation);
    if (message.is<M::PresentationImage>())
        return HostFeatures::presentationImages;
    switch (routeOf(message)) {
        case R::screenView:
            return HostFeatures::screenView;
        case R::answer:
            return HostFeatures::apps;
        case R::volume:
            return HostFeatures::volume;
        case R::unlock:
            return HostFeatures::unlock;
        default:
            return std::nullopt;
    }
}

TrackpadProtocol::Subscriptions allowedSubscriptions(HostFeatures features) {
    using TrackpadProtocol::Subscriptions;
    Subscriptions allowed = Subscriptions::nowPlaying;
    if (features.contains(HostFeatures::apps))
        allowed.insert(Subscriptions::apps);
    if (features.contains(HostFeatures::volume))
        allowed.insert(Subscriptions::volume);
    if (features.contains(HostFeatures::screenLock))
        allowed.insert(Subscriptions::screenLock);
    return allowed;
}

}  // namespace CompanionNetwork
