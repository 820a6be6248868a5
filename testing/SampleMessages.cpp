#include "testing/SampleMessages.h"

#include <cstdint>

namespace testing_support {

using namespace TrackpadProtocol;

namespace {

Data pattern(std::size_t count, std::uint8_t seed) {
    Data bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(seed + i * 31);
    return bytes;
}

template <std::size_t N>
std::array<std::uint8_t, N> filled(std::uint8_t seed) {
    std::array<std::uint8_t, N> bytes{};
    for (std::size_t i = 0; i < N; ++i)
        bytes[i] = static_cast<std::uint8_t>(seed + i);
    return bytes;
}

UUID uuid(std::uint8_t seed) {
    return UUID{filled<16>(seed)};
}

// 255 bytes of UTF-8 mixing one-, two-, three- and four-byte characters.
std::string longText() {
    std::string text = "Ä ☕ 🎹 ";  // 2+1+3+1+4+1 = 12 bytes
    while (text.size() + 1 <= 255)
        text += 'x';
    return text;
}

std::vector<Message> samples(bool large) {
    const std::size_t partBytes = large ? ScreenDataPart::maxBytes : 5;
    std::vector<Message> m;
    // Pairing and sessions
    m.push_back(Message::PairingRequest{uuid(1), "Ada’s iPhone"});
    m.push_back(Message::PairingRequest{uuid(2), ""});
    m.push_back(Message::PairingChallenge{uuid(3), longText(), filled<16>(4), filled<32>(5), 3});
    m.push_back(Message::PairingResponse{filled<32>(6), filled<32>(7)});
    m.push_back(Message::PairingAccepted{filled<32>(8), filled<32>(9)});
    m.push_back(Message::PairingRejected{PairingRejection::notPaired});
    m.push_back(Message::PairingRejected{PairingRejection::failed});
    m.push_back(Message::PairingCancel{});
    m.push_back(Message::SessionRequest{uuid(10), filled<32>(11), true});
    m.push_back(Message::SessionAccepted{HostFeatures::all});
    m.push_back(Message::SessionAccepted{std::nullopt});
    m.push_back(Message::SessionAccepted{HostFeatures(0xFFFFFFFFu)});
    m.push_back(Message::Probe{0xFFFFFFFFu, true});
    m.push_back(Message::ProbeReply{7, false});
    m.push_back(Message::Subscribe{Subscriptions::nowPlaying | Subscriptions::apps | Subscriptions::volume |
                                   Subscriptions::screenLock});
    m.push_back(Message::Unsubscribe{Subscriptions::volume});
    m.push_back(Message::ControlStatus{ControlStatus::accessibilityRequired});
    m.push_back(Message::ScreenLockStatus{ScreenLockStatus::locked});

    // Input
    m.push_back(Message::Move{1.5f, -2.0f});
    m.push_back(Message::Move{-0.0f, 3.4028235e38f});
    m.push_back(Message::Tap{0});
    m.push_back(Message::Tap{255});
    m.push_back(Message::Drag{DragPhase::changed, 0.25f, -1e-38f});
    m.push_back(Message::Scroll{-3.5f, 12.0f, ScrollPhase::momentum, ScrollStamp{{0xFFFFFFFFu, 1}}});
    m.push_back(Message::Scroll{0, 1, ScrollPhase::momentumEnded, std::nullopt});
    m.push_back(Message::RightClick{});
    m.push_back(Message::Positioned{Message{Message::Move{0, 0}}, PointerStamp{uuid(12), 0, 0, 0, 0}});
    m.push_back(Message::Positioned{Message{Message::Tap{2}},
                                    PointerStamp{uuid(13), UINT64_MAX, UINT64_MAX - 1, -1e300, 1e300}});
    m.push_back(Message::Positioned{Message{Message::Drag{DragPhase::ended, 1, 2}},
                                    PointerStamp{uuid(14), 5, 4, 10.5, -3}});
    m.push_back(
        Message::Positioned{Message{Message::RightClick{}}, PointerStamp{uuid(15), 9, 9, 0.125, 0.5}});
    m.push_back(Message::Gesture{{Gesture::Swipe{3, SwipeDirection::down}}});
    m.push_back(Message::Gesture{{Gesture::Pinch{GesturePhase::changed, -0.125f, PinchStamp{{1, 2}}}}});
    m.push_back(Message::Gesture{{Gesture::Pinch{GesturePhase::ended, 0, std::nullopt}}});
    m.push_back(
        Message::Gesture{{Gesture::SwipeTracking{GesturePhase::began, 4, 10, -20, SwipeStamp{{3, 1}}}}});
    m.push_back(Message::Gesture{{Gesture::Tap{2}}});
    m.push_back(Message::KeyCombination{{KeyCombination::Code{0xFFFF}, KeyCombination::Modifiers{0x0F}}});
    m.push_back(
        Message::KeyCombination{{KeyCombination::Character{"é"}, KeyCombination::Modifiers::command}});
    m.push_back(Message::Text{"Hello, 世界 👋"});
    m.push_back(Message::Text{""});
    m.push_back(Message::Text{longText()});
    m.push_back(Message::MediaCommand{MediaCommand::brightnessDown});
    m.push_back(Message::QuickAction{QuickAction::sleep});

    // Overlays
    m.push_back(Message::Annotation{{Annotation::Begin{1, AnnotationTool::spotlight, {0, 1}}}});
    m.push_back(Message::Annotation{{Annotation::Update{1, 65535, {0.5f, 0.25f}}}});
    m.push_back(Message::Annotation{{Annotation::End{1, {-0.5f, 2}}}});
    m.push_back(Message::Annotation{{Annotation::Undo{65535}}});
    m.push_back(Message::Annotation{{Annotation::Color{AnnotationColor::standard}}});
    m.push_back(Message::Annotation{{Annotation::Clear{}}});
    m.push_back(Message::PresentationImage{{PresentationImage::Part{{77, 255, 256, pattern(partBytes, 1)}}}});
    m.push_back(Message::PresentationImage{{PresentationImage::Place{77, {{0, 1}, 0.01f, 4.0f}}}});
    m.push_back(Message::PresentationImage{{PresentationImage::Fit{78}}});
    m.push_back(Message::PresentationImage{{PresentationImage::Close{}}});

    // Screen view and screenshots
    m.push_back(Message::ScreenDisplaysRequest{});
    std::vector<ScreenDisplay> displays;
    const std::size_t displayCount = large ? Message::ScreenDisplays::maxDisplays : 2;
    for (std::size_t i = 0; i < displayCount; ++i) {
        displays.push_back(ScreenDisplay{static_cast<std::uint32_t>(i + 1), i == 0 ? longText() : "Display",
                                         static_cast<std::uint16_t>(1920 + i), 1080,
                                         ScreenDisplay::Traits(static_cast<std::uint8_t>(i % 8))});
    }
    m.push_back(Message::ScreenDisplays{displays});
    m.push_back(Message::ScreenDisplays{{}});
    m.push_back(Message::ScreenViewStart{{1, 64, 1, ScreenVideoCodecs::h264}});
    m.push_back(Message::ScreenViewStart{
        {0xFFFFFFFFu, 8192, 120, ScreenVideoCodecs::h264 | ScreenVideoCodecs::hevc}});
    m.push_back(Message::ScreenViewSelectDisplay{2});
    m.push_back(Message::ScreenViewStop{});
    m.push_back(Message::ScreenViewStatus{{ScreenViewStatus::State::showing, 5}});
    m.push_back(Message::ScreenViewStatus{{ScreenViewStatus::State::failed, std::nullopt}});
    m.push_back(Message::ScreenVideo{{9, 0, 1, pattern(partBytes, 2)}});
    m.push_back(Message::ScreenshotRequest{{42, 1, 8192}});
    m.push_back(Message::Screenshot{{42, 3, 4, pattern(1, 3)}});

    // Apps
    m.push_back(Message::AppsRequest{AppListKind::installed});
    m.push_back(Message::RunningApps{{{{"com.example.mail", "Mail", MacApp::State::active},
                                       {"org.example.term", "Terminal", MacApp::State::hidden}},
                                      0,
                                      1}});
    m.push_back(Message::InstalledApps{{{{longText(), longText(), MacApp::State{}}}, 65534, 65535}});
    m.push_back(Message::InstalledApps{{{}, 0, 1}});
    m.push_back(Message::AppIconRequest{{"com.example.mail", 256}});
    m.push_back(Message::AppIcon{AppIcon("com.example.mail", pattern(partBytes, 4))});
    m.push_back(Message::AppIcon{AppIcon("com.example.none", std::nullopt)});
    m.push_back(Message::OpenApp{"com.example.mail"});
    m.push_back(Message::OpenAppResult{{"com.example.mail", OpenAppResult::Status::notInstalled}});

    // Volume and now playing
    m.push_back(Message::SetVolume{255});
    m.push_back(Message::SetMute{true});
    m.push_back(Message::VolumeStatusRequest{});
    m.push_back(Message::VolumeStatus{{100, true, true}});
    m.push_back(Message::VolumeStatus{VolumeStatus::unsupported});
    m.push_back(Message::NowPlaying{NowPlaying(longText(), "Artist", pattern(partBytes, 5))});
    m.push_back(Message::NowPlaying{NowPlaying("", "", std::nullopt)});
    m.push_back(Message::NowPlayingUnavailable{});

    // Unlock
    m.push_back(Message::UnlockRequest{{1, "correct horse battery staple"}});
    m.push_back(Message::UnlockRequest{{0xFFFFFFFFu, std::string(255, 'p')}});
    m.push_back(Message::UnlockResult{{1, UnlockResult::Status::notReached}});
    return m;
}

}  // namespace

std::vector<Message> sampleMessages() {
    return samples(true);
}

std::vector<Message> smallSampleMessages() {
    return samples(false);
}

std::string caseName(const Message& message) {
    auto text = message.description();
    return text.substr(0, text.find('('));
}

}  // namespace testing_support
