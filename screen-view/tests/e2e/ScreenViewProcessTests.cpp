// The screen view through the companion process itself: a phone test client paired with the code the
// process logs lists the displays, watches one live (the first decoded frame shows a test window's colour
// at its place) and takes a screenshot of it, all on a private X server; and two phones, one of which
// reads nothing of the screenshots it asks for.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <xcb/xcb.h>

#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "platform/imaging/Codecs.h"
#include "protocol/messages/LargePayloads.h"
#include "screen-view/tests/PhoneVideoDecoder.h"
#include "testing/CompanionProcess.h"
#include "testing/NoisyScreen.h"
#include "testing/PhoneTestClient.h"
#include "testing/Subprocess.h"
#include "testing/XvfbServer.h"

namespace {

using testing_support::PhoneTestClient;
using TrackpadProtocol::Message;

// Generous: the sanitizer build runs the process several times slower.
constexpr double answerTimeout = 20;

// An unmanaged red window, shown while the object lives.
class RedWindow {
  public:
    RedWindow(const std::string& display, int x, int y, int width, int height)
        : connection_(xcb_connect(display.c_str(), nullptr)) {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        const xcb_window_t window = xcb_generate_id(connection_);
        const std::uint32_t values[] = {0xff0000, 1};
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, screen->root,
                          static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                          static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
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
    testing_support::TemporaryFolder folder;
    testing_support::CompanionProcess companion(
        LUMIVEX_COMPANION_PATH, folder.path, server.displayName(), {"--headless"},
        {{"ASAN_OPTIONS", testing_support::companionSanitizerOptions()}});
    auto paired = companion.pair(companion.waitUntilReady(), "Viewing iPhone");
    PhoneTestClient& phone = *paired;

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
    EXPECT_EQ(showing->status, (TrackpadProtocol::ScreenViewStatus{
                                   TrackpadProtocol::ScreenViewStatus::State::showing, display.id}));
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

// The screenshots one phone asks for and leaves unread are its own to wait for: another phone's comes
// all the same, and the one that does not read is let go once it has taken nothing for a while.
TEST(ScreenViewProcess, APhoneThatStopsReadingHoldsUpNoOtherPhonesScreenshot) {
    if (!testing_support::XvfbServer::isInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh installs it)";
    }
    testing_support::XvfbServer server;
    // Busy, so that each answer is megabytes: more than the sockets hold for a phone that does not read.
    testing_support::NoisyScreen noise(server.displayName());
    testing_support::TemporaryFolder folder;
    testing_support::CompanionProcess companion(
        LUMIVEX_COMPANION_PATH, folder.path, server.displayName(), {"--headless"},
        {{"ASAN_OPTIONS", testing_support::companionSanitizerOptions()}});
    const PhoneTestClient::Endpoint endpoint = companion.waitUntilReady();
    auto from = [&endpoint](const std::string& host) {
        PhoneTestClient::Endpoint source = endpoint;
        source.source = host;
        return source;
    };
    auto stalled = companion.pair(from("127.0.0.2"), "Stalled iPhone");
    auto reading = companion.pair(from("127.0.0.3"), "Reading iPhone");
    reading->send(Message::ScreenDisplaysRequest{});
    const auto displays = reading->receiveCase<Message::ScreenDisplays>(answerTimeout);
    ASSERT_TRUE(displays && !displays->displays.empty());
    const std::uint32_t display = displays->displays[0].id;

    for (std::uint32_t number = 1; number <= 8; ++number) {
        stalled->send(Message::ScreenshotRequest{{number, display, 8192}});
    }
    // Time for the first answers to fill what the sockets hold.
    std::this_thread::sleep_for(std::chrono::seconds(5));
    reading->send(Message::ScreenshotRequest{{900, display, 1024}});
    // Well before the phone that does not read is let go, which would free anything it held.
    const auto last = reading->receiveUntil(
        [](const Message& message) {
            const auto* shot = message.as<Message::Screenshot>();
            return shot != nullptr && shot->part.transfer == 900 &&
                   shot->part.part + 1 >= shot->part.partCount;
        },
        answerTimeout);
    ASSERT_TRUE(last) << "the reading phone's screenshot waited for the phone that does not read";

    EXPECT_TRUE(
        companion.waitForLine(std::regex("from 127\\.0\\.0\\.2 closed: the phone does not take its data"),
                              std::chrono::seconds(120)))
        << companion.log();
    EXPECT_TRUE(stalled->waitForClose(answerTimeout));
}

}  // namespace
