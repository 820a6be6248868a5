// Field layouts of the app, volume, now-playing and unlock messages.
#include "protocol/messages/MessageCodecFamilies.h"
#include "protocol/messages/Overloaded.h"

namespace TrackpadProtocol::wire {

namespace {

using EncodingError = MessageCodec::EncodingError;
using DecodingError = MessageCodec::DecodingError;

constexpr std::size_t maxPayloadBytes = 65535;
constexpr std::uint8_t maxVolumeLevel = 100;

void writeAppList(WireWriter& w, const AppListPart& list) {
    std::size_t total = appListHeaderBytes;
    for (const auto& app : list.apps)
        total += encodedAppBytes(app);
    // The whole payload must fit one frame; this also keeps the app count within 16 bits.
    if (total > maxPayloadBytes) throw EncodingError::appListTooLarge(total);
    if (list.part >= list.partCount) throw EncodingError::invalidValue("app list part index");
    w.reserveMore(total);
    w.u16(list.part);
    w.u16(list.partCount);
    w.u16(static_cast<std::uint16_t>(list.apps.size()));
    for (const auto& app : list.apps) {
        w.string(app.bundleID, "bundle id");
        w.string(app.name, "app name");
        w.u8(checkedOptions(app.state, "app state"));
    }
}

AppListPart readAppList(WireReader& r) {
    AppListPart list;
    list.part = r.u16();
    list.partCount = r.u16();
    if (list.part >= list.partCount) throw DecodingError::invalidValue("app list part index");
    const auto count = r.u16();
    // Each app takes at least three bytes; reserve no more than the bytes present can hold.
    list.apps.reserve(std::min<std::size_t>(count, r.remaining() / 3));
    for (std::size_t i = 0; i < count; ++i) {
        MacApp app;
        app.bundleID = r.string("bundle id");
        app.name = r.string("app name");
        app.state = r.options<MacApp::State>("app state");
        list.apps.push_back(std::move(app));
    }
    return list;
}

// An optional image of at most 61440 bytes; an empty one travels as absent.
void writeImage(WireWriter& w, const std::optional<Data>& image, EncodingError (*tooLarge)(std::size_t)) {
    const bool present = image && !image->empty();
    if (present && image->size() > ScreenDataPart::maxBytes) throw tooLarge(image->size());
    w.boolean(present);
    if (present) {
        w.reserveMore(2 + image->size());
        w.blob(*image);
    }
}

std::optional<Data> readImage(WireReader& r, const char* field) {
    if (!r.presence(field)) return std::nullopt;
    const auto length = r.u16();
    if (length < 1 || length > ScreenDataPart::maxBytes) throw DecodingError::invalidValue(field);
    auto bytes = r.bytes(length);
    return Data(bytes.begin(), bytes.end());
}

}  // namespace

std::size_t encodedAppBytes(const MacApp& app) {
    return 1 + app.bundleID.size() + 1 + app.name.size() + 1;
}

void encodeAppAndMediaFields(WireWriter& w, const Message& message) {
    std::visit(Overloaded{
                   [&](const Message::AppsRequest& m) {
                       w.u8(checkedEnum(m.kind, AppListKind::installed, "app list kind"));
                   },
                   [&](const Message::RunningApps& m) { writeAppList(w, m.part); },
                   [&](const Message::InstalledApps& m) { writeAppList(w, m.part); },
                   [&](const Message::AppIconRequest& m) {
                       w.string(m.request.bundleID, "bundle id");
                       w.u16(m.request.pixelSize);
                   },
                   [&](const Message::AppIcon& m) {
                       w.string(m.icon.bundleID, "bundle id");
                       writeImage(w, m.icon.image, &EncodingError::iconTooLarge);
                   },
                   [&](const Message::OpenApp& m) { w.string(m.bundleID, "bundle id"); },
                   [&](const Message::OpenAppResult& m) {
                       w.string(m.result.bundleID, "bundle id");
                       w.u8(checkedEnum(m.result.status, OpenAppResult::Status::failed, "open app status"));
                   },
                   [&](const Message::SetVolume& m) { w.u8(m.level); },
                   [&](const Message::SetMute& m) { w.boolean(m.muted); },
                   [&](const Message::VolumeStatusRequest&) {},
                   [&](const Message::VolumeStatus& m) {
                       if (m.status.level > maxVolumeLevel) throw EncodingError::invalidValue("volume level");
                       w.u8(m.status.level);
                       w.boolean(m.status.isMuted);
                       w.boolean(m.status.isSupported);
                   },
                   [&](const Message::NowPlaying& m) {
                       w.string(m.nowPlaying.title, "title");
                       w.string(m.nowPlaying.artist, "artist");
                       writeImage(w, m.nowPlaying.artwork, &EncodingError::artworkTooLarge);
                   },
                   [&](const Message::NowPlayingUnavailable&) {},
                   [&](const Message::UnlockRequest& m) {
                       const auto& password = m.request.password;
                       if (password.size() > UnlockRequest::maxPasswordBytes) {
                           throw EncodingError::stringTooLong(password.size());
                       }
                       if (!m.request.hasValidPassword()) throw EncodingError::invalidValue("password");
                       w.u32(m.request.number);
                       w.string(password, "password");
                   },
                   [&](const Message::UnlockResult& m) {
                       w.u32(m.result.number);
                       w.u8(checkedEnum(m.result.status, UnlockResult::Status::notReached, "unlock status"));
                   },
                   [](const auto&) {},
               },
               message.value);
}

Message decodeAppAndMediaFields(std::uint8_t type, WireReader& r) {
    switch (type) {
        case type::appsRequest:
            return Message::AppsRequest{r.enumeration(AppListKind::installed, "app list kind")};
        case type::runningApps:
            return Message::RunningApps{readAppList(r)};
        case type::installedApps:
            return Message::InstalledApps{readAppList(r)};
        case type::appIconRequest: {
            AppIconRequest request;
            request.bundleID = r.string("bundle id");
            request.pixelSize = r.u16();
            return Message::AppIconRequest{std::move(request)};
        }
        case type::appIcon: {
            auto bundleID = r.string("bundle id");
            return Message::AppIcon{AppIcon(std::move(bundleID), readImage(r, "icon"))};
        }
        case type::openApp:
            return Message::OpenApp{r.string("bundle id")};
        case type::openAppResult: {
            OpenAppResult result;
            result.bundleID = r.string("bundle id");
            result.status = r.enumeration(OpenAppResult::Status::failed, "open app status");
            return Message::OpenAppResult{std::move(result)};
        }
        case type::setVolume:
            return Message::SetVolume{r.u8()};
        case type::setMute:
            return Message::SetMute{r.boolean("muted")};
        case type::volumeStatusRequest:
            return Message::VolumeStatusRequest{};
        case type::volumeStatus: {
            VolumeStatus status;
            status.level = r.u8();
            if (status.level > maxVolumeLevel) throw DecodingError::invalidValue("volume level");
            status.isMuted = r.boolean("muted");
            status.isSupported = r.boolean("supported");
            return Message::VolumeStatus{status};
        }
        case type::nowPlaying: {
            auto title = r.string("title");
            auto artist = r.string("artist");
            return Message::NowPlaying{
                NowPlaying(std::move(title), std::move(artist), readImage(r, "artwork"))};
        }
        case type::nowPlayingUnavailable:
            return Message::NowPlayingUnavailable{};
        case type::unlockRequest: {
            UnlockRequest request;
            request.number = r.u32();
            request.password = r.string("password");
            if (!request.hasValidPassword()) throw DecodingError::invalidValue("password");
            return Message::UnlockRequest{std::move(request)};
        }
        case type::unlockResult: {
            UnlockResult result;
            result.number = r.u32();
            result.status = r.enumeration(UnlockResult::Status::notReached, "unlock status");
            return Message::UnlockResult{result};
        }
        default:
            throw MessageCodec::DecodingError::unknownMessageType(type);
    }
}

}  // namespace TrackpadProtocol::wire
