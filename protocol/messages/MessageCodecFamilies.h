#pragma once
// Internal to the protocol module: the type bytes, and the field layouts of each message family (one .cpp
// file per family) with the pieces the large-payload documents share with them. Only this module's own
// files include this header.
#include <array>
#include <cstdint>
#include <optional>

#include "protocol/messages/Message.h"
#include "protocol/messages/WireFormat.h"

namespace TrackpadProtocol::wire {

namespace type {
// Pairing and sessions
inline constexpr std::uint8_t pairingRequest = 0x01;
inline constexpr std::uint8_t pairingChallenge = 0x02;
inline constexpr std::uint8_t pairingResponse = 0x03;
inline constexpr std::uint8_t pairingAccepted = 0x04;
inline constexpr std::uint8_t pairingRejected = 0x05;
inline constexpr std::uint8_t pairingCancel = 0x06;
inline constexpr std::uint8_t sessionRequest = 0x07;
inline constexpr std::uint8_t sessionAccepted = 0x08;
inline constexpr std::uint8_t probe = 0x09;
inline constexpr std::uint8_t probeReply = 0x0A;
inline constexpr std::uint8_t subscribe = 0x0B;
inline constexpr std::uint8_t unsubscribe = 0x0C;
inline constexpr std::uint8_t controlStatus = 0x0D;
inline constexpr std::uint8_t screenLockStatus = 0x0E;
// Input and overlays
inline constexpr std::uint8_t move = 0x10;
inline constexpr std::uint8_t tap = 0x11;
inline constexpr std::uint8_t drag = 0x12;
inline constexpr std::uint8_t scroll = 0x13;
inline constexpr std::uint8_t rightClick = 0x14;
inline constexpr std::uint8_t positioned = 0x15;
inline constexpr std::uint8_t gesture = 0x16;
inline constexpr std::uint8_t keyCombination = 0x17;
inline constexpr std::uint8_t text = 0x18;
inline constexpr std::uint8_t mediaCommand = 0x19;
inline constexpr std::uint8_t quickAction = 0x1A;
inline constexpr std::uint8_t annotation = 0x20;
inline constexpr std::uint8_t presentationImage = 0x21;
// Screen view and screenshots
inline constexpr std::uint8_t screenDisplaysRequest = 0x30;
inline constexpr std::uint8_t screenDisplays = 0x31;
inline constexpr std::uint8_t screenViewStart = 0x32;
inline constexpr std::uint8_t screenViewSelectDisplay = 0x33;
inline constexpr std::uint8_t screenViewStop = 0x34;
inline constexpr std::uint8_t screenViewStatus = 0x35;
inline constexpr std::uint8_t screenVideo = 0x36;
inline constexpr std::uint8_t screenshotRequest = 0x37;
inline constexpr std::uint8_t screenshot = 0x38;
// Apps
inline constexpr std::uint8_t appsRequest = 0x40;
inline constexpr std::uint8_t runningApps = 0x41;
inline constexpr std::uint8_t installedApps = 0x42;
inline constexpr std::uint8_t appIconRequest = 0x43;
inline constexpr std::uint8_t appIcon = 0x44;
inline constexpr std::uint8_t openApp = 0x45;
inline constexpr std::uint8_t openAppResult = 0x46;
// Volume and now playing
inline constexpr std::uint8_t setVolume = 0x50;
inline constexpr std::uint8_t setMute = 0x51;
inline constexpr std::uint8_t volumeStatusRequest = 0x52;
inline constexpr std::uint8_t volumeStatus = 0x53;
inline constexpr std::uint8_t nowPlaying = 0x58;
inline constexpr std::uint8_t nowPlayingUnavailable = 0x59;
// Unlock
inline constexpr std::uint8_t unlockRequest = 0x60;
inline constexpr std::uint8_t unlockResult = 0x61;
}  // namespace type

// Type bytes in the order of Message::Value's alternatives.
inline constexpr std::array<std::uint8_t, std::variant_size_v<Message::Value>> typeBytes = {
    type::pairingRequest,
    type::pairingChallenge,
    type::pairingResponse,
    type::pairingAccepted,
    type::pairingRejected,
    type::pairingCancel,
    type::sessionRequest,
    type::sessionAccepted,
    type::probe,
    type::probeReply,
    type::subscribe,
    type::unsubscribe,
    type::controlStatus,
    type::screenLockStatus,
    type::move,
    type::tap,
    type::drag,
    type::scroll,
    type::rightClick,
    type::positioned,
    type::gesture,
    type::keyCombination,
    type::text,
    type::mediaCommand,
    type::quickAction,
    type::annotation,
    type::presentationImage,
    type::screenDisplaysRequest,
    type::screenDisplays,
    type::screenViewStart,
    type::screenViewSelectDisplay,
    type::screenViewStop,
    type::screenViewStatus,
    type::screenVideo,
    type::screenshotRequest,
    type::screenshot,
    type::appsRequest,
    type::runningApps,
    type::installedApps,
    type::appIconRequest,
    type::appIcon,
    type::openApp,
    type::openAppResult,
    type::setVolume,
    type::setMute,
    type::volumeStatusRequest,
    type::volumeStatus,
    type::nowPlaying,
    type::nowPlayingUnavailable,
    type::unlockRequest,
    type::unlockResult};

// True for the 51 assigned type bytes.
inline constexpr auto knownTypes = [] {
    std::array<bool, 256> known{};
    for (auto type : typeBytes)
        known[type] = true;
    return known;
}();

// Each family writes the fields of its cases (after the type byte) and reads them back; its decoder is
// called only with one of its own type bytes.
void encodeSessionFields(WireWriter& writer, const Message& message);
Message decodeSessionFields(std::uint8_t type, WireReader& reader);
void encodeInputFields(WireWriter& writer, const Message& message);
Message decodeInputFields(std::uint8_t type, WireReader& reader);
void encodeScreenFields(WireWriter& writer, const Message& message);
Message decodeScreenFields(std::uint8_t type, WireReader& reader);
void encodeAppAndMediaFields(WireWriter& writer, const Message& message);
Message decodeAppAndMediaFields(std::uint8_t type, WireReader& reader);

// ScreenDataPart: u32 transfer, u16 part, u16 partCount, blob of 1...61440 bytes; 1 <= partCount <= 256
// and part < partCount. Shared by screen view, screenshots and presentation images.
void writeScreenDataPart(WireWriter& writer, const ScreenDataPart& part);
ScreenDataPart readScreenDataPart(WireReader& reader);

// PresentationImagePlacement: f32 centre x, centre y, width, height, within the placement's ranges.
void writePlacement(WireWriter& writer, const PresentationImagePlacement& placement);
PresentationImagePlacement readPlacement(WireReader& reader);

// The encoded size of one app in an app-list message, and of the message around the apps.
inline constexpr std::size_t appListHeaderBytes = 1 + 1 + 2 + 2 + 2;  // version, type, part, partCount, count
std::size_t encodedAppBytes(const MacApp& app);

}  // namespace TrackpadProtocol::wire
