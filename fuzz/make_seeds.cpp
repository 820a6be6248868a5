// make_seeds <fuzzer-name> <dir>: writes valid inputs of the named fuzzer into dir, one file each, so that
// fuzzing starts from every message case and document form rather than from nothing.
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "FuzzSupport.h"
#include "gestures/GestureMapping.h"
#include "gestures/SystemActions.h"
#include "network/TrustedDeviceFile.h"
#include "platform/imaging/Codecs.h"
#include "protocol/messages/LargePayloads.h"
#include "protocol/messages/MessageCodec.h"
#include "protocol/messages/MessageFraming.h"
#include "protocol/watch/WatchPayload.h"
#include "testing/OrdinaryJPEGs.h"
#include "testing/SampleMessages.h"

using namespace TrackpadProtocol;

namespace {

using Seeds = std::vector<Data>;

Seeds messagePayloads() {
    Seeds seeds;
    for (const auto& message : testing_support::sampleMessages())
        seeds.push_back(MessageCodec::encode(message));
    for (const auto& message : testing_support::smallSampleMessages())
        seeds.push_back(MessageCodec::encode(message));
    return seeds;
}

Seeds frameStreams() {
    Seeds seeds;
    Data all;
    for (const auto& message : testing_support::smallSampleMessages()) {
        seeds.push_back(MessageFraming::frame(message));
        MessageFraming::appendFrame(message, all);
    }
    seeds.push_back(all);
    Data moves;
    while (moves.size() < FrameDecoder::readSize)
        MessageFraming::appendFrame(Message::Move{1.5f, -2}, moves);
    seeds.push_back(moves);
    return seeds;
}

Data presentationFile(std::size_t imageBytes, bool placed) {
    PresentationImageFile file;
    file.image = Data(imageBytes, 0x5A);
    if (placed) file.placement = PresentationImagePlacement{{0.5f, 0.5f}, 0.5f, 0.25f};
    return file.encoded();
}

Seeds documents() {
    ScreenVideoFrame frame{ScreenVideoCodec::h264, 1, 1280, 720, 1000, {Data(12, 0x67), Data(4, 0x68)},
                           Data(70000, 1)};
    return {
        frame.encoded(),
        Screenshot(Screenshot::Status::taken, Data(1000, 0xFF)).encoded(),
        Screenshot(Screenshot::Status::screenRecordingRequired).encoded(),
        presentationFile(100, true),
        presentationFile(130000, false),
    };
}

Seeds partSequences() {
    Seeds seeds;
    std::uint32_t transfer = 0;
    for (const auto& document : documents()) {
        Data seed;
        for (const auto& part : splitIntoParts(transfer++ % 4, document))
            fuzz_support::writePart(seed, part);
        seeds.push_back(seed);
    }
    return seeds;
}

Seeds presentationFiles() {
    return {presentationFile(1, false), presentationFile(100, true), presentationFile(70000, true)};
}

Data textBytes(const std::string& text) { return Data(text.begin(), text.end()); }

Seeds trustedDeviceFiles() {
    using namespace CompanionNetwork;
    TrustedDeviceList list;
    list.hostID = *UUID::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    list.tlsPrivateKey = Data(138, 0x30);
    Seeds seeds{textBytes(TrustedDeviceFile::encode(list))};
    using namespace std::chrono;
    Date paired = sys_days(year{2024} / May / 1) + hours(9) + milliseconds(250);
    list.devices.push_back({*UUID::parse("00000000-0000-4000-8000-000000000001"), "Ana's iPhone", paired, paired,
                            TokenDigest{}});
    list.devices.push_back({*UUID::parse("00000000-0000-4000-8000-000000000002"), "Second", paired, std::nullopt,
                            TokenDigest{}});
    seeds.push_back(textBytes(TrustedDeviceFile::encode(list)));
    seeds.push_back(textBytes(R"({"format": 2, "devices": []})"));
    return seeds;
}

// Records of [control 1 = seal][length][counter u64][payload] for every small datagram message: the message
// once, again (a replay), far ahead, and far behind (too old).
Seeds sealedDatagrams() {
    Seeds seeds;
    for (const auto& message : testing_support::smallSampleMessages()) {
        if (message.transport() != Transport::datagram) continue;
        const Data payload = MessageCodec::encode(message);
        if (payload.size() > 255 - 8) continue;
        Data seed;
        for (std::uint64_t counter : {1, 1, 100, 2}) {
            seed.push_back(1);
            seed.push_back(static_cast<std::uint8_t>(8 + payload.size()));
            for (int shift = 56; shift >= 0; shift -= 8) seed.push_back(static_cast<std::uint8_t>(counter >> shift));
            seed.insert(seed.end(), payload.begin(), payload.end());
        }
        seeds.push_back(seed);
    }
    return seeds;
}

// Desktop files: plain, localized, with quoting and field codes in Exec, and with later groups.
Seeds desktopEntries() {
    Seeds seeds;
    seeds.push_back(textBytes("[Desktop Entry]\nType=Application\nName=Editor\nName[de]=Bearbeiter\n"
                              "Exec=editor --new-window %U\nIcon=editor\nOnlyShowIn=GNOME;KDE\\;X;\n"));
    seeds.push_back(textBytes("# comment\n[Desktop Entry]\nType=Application\nName=A\\sB\n"
                              "Exec=\"/opt/My App/run\" \"a \\\"q\\\" \\$x\" %i %c %k 100%%\nTryExec=run\n"
                              "[Desktop Action New]\nExec=editor --new\n"));
    return seeds;
}

// Small JPEG and PNG images: opaque and with alpha, and a JPEG with an EXIF orientation.
Seeds images() {
    using namespace platform::imaging;
    auto bitmap = Bitmap::create(40, 30, PixelFormat::bgra, 1 << 20);
    std::uint8_t* pixels = bitmap->mutablePixels();
    for (std::size_t i = 0; i < bitmap->bytes().size(); ++i)
        pixels[i] = static_cast<std::uint8_t>(i * 7 + (i % 4 == 3 ? 0 : i / 160));
    Seeds seeds;
    seeds.push_back(encodePNG(bitmap->view(), 6).value());
    seeds.push_back(encodeJPEG(bitmap->view(), 75).value());
    Data rotated = seeds.back();
    const Data exif{0xFF, 0xE1, 0, 34, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0,
                    0x12, 0x01, 3, 0, 1, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0};
    rotated.insert(rotated.begin() + 2, exif.begin(), exif.end());
    seeds.push_back(rotated);
    for (std::size_t i = 3; i < bitmap->bytes().size(); i += 4)
        pixels[i] = 0xFF;
    seeds.push_back(encodePNG(bitmap->view(), 9).value());
    return seeds;
}

// JPEGs as encoders write them, baseline and progressive, with restart markers and a camera's segments.
Seeds ordinaryJPEGs() {
    Seeds seeds;
    for (auto& jpeg : testing_support::ordinaryJPEGs())
        seeds.push_back(std::move(jpeg.bytes));
    return seeds;
}

// Every payload kind and every computer state, with and without targets, and an input of every small
// watch-input message.
Seeds watchPayloads() {
    using Mac = WatchStatus::Mac;
    UUID target;
    target.bytes.fill(0x42);
    const std::vector<Mac> macs = {Mac::NoMacPaired{},       Mac::NoMacSelected{},       Mac::Pairing{},
                                   Mac::Connecting{"Desk"},  Mac::Connected{"Büro 🖥"},  Mac::NeedsAccessibility{"A"},
                                   Mac::NotConnected{},      Mac::NotConnected{"Desk", "Asleep"}, Mac::Demo{}};
    Seeds seeds{WatchPayload(WatchPayload::StatusRequest{}).encoded()};
    for (const auto& mac : macs) {
        const WatchStatus status(true, mac, target, 7);
        seeds.push_back(WatchPayload(WatchPayload::Status{status}).encoded());
        seeds.push_back(WatchPayload(WatchPayload::InputResult{true, WatchStatus(false, mac, std::nullopt, 0)}).encoded());
    }
    for (const auto& message : testing_support::smallSampleMessages()) {
        if (!isWatchInput(message)) continue;
        seeds.push_back(WatchPayload(WatchPayload::Input{message, target, 3}).encoded());
        seeds.push_back(WatchPayload(WatchPayload::Input{message, std::nullopt, 0}).encoded());
    }
    return seeds;
}

// The default mapping, one of each gesture action, and the hot-key file with the Linux bindings.
Seeds gestureFiles() {
    const auto bytes = [](const std::string& text) { return Data(text.begin(), text.end()); };
    Seeds seeds{bytes(Gestures::encode(Gestures::GestureMapping::defaultMapping()))};
    Gestures::GestureMapping mapping = Gestures::GestureMapping::defaultMapping();
    mapping.threeFingerSwipes.left = Gestures::GestureAction::navigationSwipe(Gestures::NavigationDirection::back);
    mapping.threeFingerSwipes.right = Gestures::GestureAction::shortcut(Gestures::Shortcut::back);
    mapping.fourFingerSwipes.up = Gestures::GestureAction::none();
    mapping.pinch = {Gestures::PinchAction::Magnify{}};
    mapping.followsFingers = false;
    seeds.push_back(bytes(Gestures::encode(mapping)));
    seeds.push_back(bytes("{\"AppleSymbolicHotKeys\": " + Gestures::SymbolicHotKeys::linuxDefaults()->dump() + "}"));
    return seeds;
}

// What the now-playing helper prints, one output of several lines each.
Seeds helperLines() {
    Seeds seeds;
    for (const std::string& text : {
             std::string("{\"title\":\"Song\",\"artist\":\"Band\",\"artwork\":\"AQID\"}\n\n{}\n"),
             std::string("{\"unsupported\":true}\n"),
             std::string("{\"title\":\"T\",\"artwork\":\"AQ==\"}\n{\"unsupported\":false,\"artist\":\"A\"}\n"),
             std::string("[1,2]\nnot json\n{\"title\":5}\n{\"tit"),
         }) {
        seeds.emplace_back(text.begin(), text.end());
    }
    return seeds;
}

const std::map<std::string, std::function<Seeds()>> seedsByFuzzer = {
    {"fuzz_gesture_files", gestureFiles},
    {"fuzz_now_playing_lines", helperLines},
    {"fuzz_desktop_entry", desktopEntries},
    {"fuzz_image_decode", images},
    {"fuzz_jpeg_walk", ordinaryJPEGs},
    {"fuzz_presentation_picture", images},
    {"fuzz_watch_payload", watchPayloads},
    {"fuzz_message_decode", messagePayloads},
    {"fuzz_frame_decoder", frameStreams},
    {"fuzz_screen_data_assembler", partSequences},
    {"fuzz_presentation_image_file", presentationFiles},
    {"fuzz_trusted_device_file", trustedDeviceFiles},
    {"fuzz_datagram_opener", sealedDatagrams},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_seeds <fuzzer-name> <dir>\n");
        return 2;
    }
    auto found = seedsByFuzzer.find(argv[1]);
    if (found == seedsByFuzzer.end()) {
        std::fprintf(stderr, "make_seeds: no seeds for %s\n", argv[1]);
        return 1;
    }
    const auto seeds = found->second();
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        const auto path = std::string(argv[2]) + "/seed-" + std::to_string(i);
        std::ofstream file(path, std::ios::binary);
        file.write(reinterpret_cast<const char*>(seeds[i].data()),
                   static_cast<std::streamsize>(seeds[i].size()));
        if (!file) {
            std::fprintf(stderr, "make_seeds: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
