// The screen view through the companion process itself: a phone test client paired with the code the
// process logs lists the displays, watches one live (the first decoded frame shows a test window's colour
// at its place) and takes a screenshot of it, all on a private X server.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <xcb/xcb.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

#include "ScreenView/tests/PhoneVideoDecoder.h"
#include "TrackpadProtocol/LargePayloads.h"
#include "app/tests/e2e/QtChildSanitizer.h"
#include "platform/imaging/Codecs.h"
#include "testing/PhoneTestClient.h"
#include "testing/Subprocess.h"
#include "testing/XvfbServer.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PhoneTestClient;
using TrackpadProtocol::Message;

// Generous: the sanitizer build starts and runs the process several times slower.
constexpr auto startTimeout = 30s;
constexpr double answerTimeout = 20;

struct TemporaryFolder {
    TemporaryFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "lumivex-screenview-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path = pattern;
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::filesystem::path path;
};

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The first match of `pattern` in the process's log, once written.
std::optional<std::smatch> waitForLine(const std::filesystem::path& log, std::string& text, const std::regex& pattern) {
    std::optional<std::smatch> found;
    testing_support::waitUntil(
        [&] {
            text = readFile(log);
            std::smatch match;
            if (std::regex_search(text, match, pattern)) {
                found = match;
                return true;
            }
            return false;
        },
        startTimeout);
    return found;
}

// An unmanaged red window, shown while the object lives.
class RedWindow {
public:
    RedWindow(const std::string& display, int x, int y, int width, int height)
        : connection_(xcb_connect(display.c_str(), nullptr)) {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        const xcb_window_t window = xcb_generate_id(connection_);
        const std::uint32_t values[] = {0xff0000, 1};
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, screen->root, static_cast<std::int16_t>(x),
                          static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
                          static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(connection_, window);
        std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }
    ~RedWindow() { xcb_disconnect(connection_); }

private:
    xcb_connection_t* connection_;
};

TEST(ScreenViewProcess, APairedPhoneWatchesADisplayLiveAndTakesAScreenshot) {
    if (!testing_support::XvfbServer::isInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh installs it)";
    }
    testing_support::XvfbServer server;
    RedWindow red(server.displayName(), 600, 300, 300, 240);
    TemporaryFolder folder;
    const auto log = folder.path / "companion.log";
    testing_support::Subprocess companion(
        {LUMIVEX_COMPANION_PATH, "--log-to-stderr", "--headless"},
        testing_support::EnvironmentChanges{{"DISPLAY", server.displayName()},
                                            {"XDG_DATA_HOME", (folder.path / "data").string()},
                                            {"XDG_CONFIG_HOME", (folder.path / "config").string()},
                                            {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (folder.path / "no-bus").string()},
                                            {"LUMIVEX_LOG", "info"},
                                            {"ASAN_OPTIONS", companionSanitizerOptions()}},
        log);
    std::string text;
    const auto ready = waitForLine(log, text, std::regex(R"(Listener ready as "[^"]*" on TCP (\d+) and UDP (\d+))"));
    ASSERT_TRUE(ready) << readFile(log);
    PhoneTestClient phone({"127.0.0.1", static_cast<std::uint16_t>(std::stoi((*ready)[1].str())),
                           static_cast<std::uint16_t>(std::stoi((*ready)[2].str()))},
                          "Viewing iPhone");
    phone.connect();
    ASSERT_TRUE(std::holds_alternative<TrackpadProtocol::PhonePairing::CodeNeeded>(phone.requestPairing()));
    const auto code = waitForLine(log, text, std::regex(R"(Pairing code for "Viewing iPhone": (\d{3}) (\d{3}))"));
    ASSERT_TRUE(code) << readFile(log);
    ASSERT_TRUE(std::holds_alternative<TrackpadProtocol::PhonePairing::Succeeded>(
        phone.enterCode((*code)[1].str() + (*code)[2].str())));
    ASSERT_TRUE(std::holds_alternative<TrackpadProtocol::PhoneSession::Accepted>(phone.openSession()));

    phone.send(Message::ScreenDisplaysRequest{});
    const auto displays = phone.receiveCase<Message::ScreenDisplays>(answerTimeout);
    ASSERT_TRUE(displays);
    ASSERT_EQ(displays->displays.size(), 1u);
    const auto display = displays->displays[0];
    EXPECT_EQ(display.pixelWidth, 1920);
    EXPECT_EQ(display.pixelHeight, 1080);

    // Live: 1280x720, the window's centre (750, 420) lands at (500, 280).
    phone.send(Message::ScreenViewStart{{display.id, 1280, 30, TrackpadProtocol::ScreenVideoCodecs::h264}});
    const auto showing = phone.receiveCase<Message::ScreenViewStatus>(answerTimeout);
    ASSERT_TRUE(showing);
    EXPECT_EQ(showing->status,
              (TrackpadProtocol::ScreenViewStatus{TrackpadProtocol::ScreenViewStatus::State::showing, display.id}));
    ScreenView::fakes::PhoneVideoDecoder decoder;
    std::optional<ScreenView::fakes::DecodedPicture> picture;
    testing_support::waitUntil(
        [&] {
            if (auto message = phone.receive(0.5)) {
                picture = decoder.add(*message);
            }
            return picture.has_value();
        },
        std::chrono::seconds(static_cast<int>(answerTimeout)));
    ASSERT_TRUE(picture) << "no decodable frame arrived";
    EXPECT_EQ(picture->width, 1280);
    EXPECT_EQ(picture->height, 720);
    const auto centre = picture->at(500, 280);
    EXPECT_NEAR(centre.y, 63, 6);  // BT.709 limited-range red
    EXPECT_NEAR(centre.u, 102, 6);
    EXPECT_NEAR(centre.v, 240, 6);
    phone.send(Message::ScreenViewStop{});
    const auto stopped = phone.receiveUntil(
        [](const Message& message) { return message.is<Message::ScreenViewStatus>(); }, answerTimeout);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->as<Message::ScreenViewStatus>()->status.state,
              TrackpadProtocol::ScreenViewStatus::State::stopped);

    // A screenshot at 960 wide, the window's colour at its place.
    phone.send(Message::ScreenshotRequest{{77, display.id, 960}});
    TrackpadProtocol::ScreenDataAssembler assembler;
    std::optional<TrackpadProtocol::Data> document;
    testing_support::waitUntil(
        [&] {
            if (auto message = phone.receive(0.5)) {
                if (const auto* part = message->as<Message::Screenshot>()) {
                    EXPECT_EQ(part->part.transfer, 77u);
                    document = assembler.add(part->part);
                }
            }
            return document.has_value();
        },
        std::chrono::seconds(static_cast<int>(answerTimeout)));
    ASSERT_TRUE(document);
    const auto screenshot = TrackpadProtocol::Screenshot::decode(*document);
    ASSERT_EQ(screenshot.status(), TrackpadProtocol::Screenshot::Status::taken);
    platform::imaging::DecodeOptions options;
    options.maxPixels = 1 << 24;
    options.format = platform::imaging::PixelFormat::bgrx;
    const auto image = platform::imaging::decodeJPEG(*screenshot.image(), options);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width(), 960);
    EXPECT_EQ(image->height(), 540);
    const std::uint8_t* pixel = image->pixels() + 210 * image->stride() + 4 * 375;
    EXPECT_LT(pixel[0], 30);
    EXPECT_LT(pixel[1], 30);
    EXPECT_GT(pixel[2], 225);
    phone.disconnect();
}

}  // namespace
