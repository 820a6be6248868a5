// The overlays through the real process on a private X server: a phone's drawing, its picture and the
// glow around a shaken pointer appear as click-through windows and go away on time.
#include <gtest/gtest.h>
#include <signal.h>
#include <xcb/xcb.h>
#include <xcb/xproto.h>

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "overlays/presentation-images/tests/PictureFiles.h"
#include "platform/imaging/Codecs.h"
#include "protocol/messages/LargePayloads.h"
#include "testing/CompanionProcess.h"
#include "testing/XTestWindow.h"
#include "testing/XvfbServer.h"

namespace {

using namespace std::chrono_literals;
using testing_support::CompanionProcess;
using testing_support::PhoneTestClient;
using TrackpadProtocol::Annotation;
using TrackpadProtocol::Message;
using TrackpadProtocol::PresentationImage;
using Clock = std::chrono::steady_clock;

// What the test sees of the screen, on its own X connection.
class ScreenProbe {
  public:
    explicit ScreenProbe(const std::string& display) : connection_(xcb_connect(display.c_str(), nullptr)) {
        root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    }
    ~ScreenProbe() { xcb_disconnect(connection_); }

    struct Window {
        xcb_window_t id = 0;
        int x = 0, y = 0, width = 0, height = 0;
    };

    // The mapped 32-bit (translucent) top-level windows, bottom first.
    std::vector<Window> overlays() {
        std::vector<Window> found;
        auto* tree = xcb_query_tree_reply(connection_, xcb_query_tree(connection_, root_), nullptr);
        if (!tree)
            return found;
        xcb_window_t* children = xcb_query_tree_children(tree);
        for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
            auto* attributes = xcb_get_window_attributes_reply(
                connection_, xcb_get_window_attributes(connection_, children[i]), nullptr);
            auto* geometry =
                xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, children[i]), nullptr);
            if (attributes && geometry && attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
                geometry->depth == 32) {
                found.push_back({children[i], geometry->x, geometry->y, geometry->width, geometry->height});
            }
            free(attributes);
            free(geometry);
        }
        free(tree);
        return found;
    }

    std::optional<Window> waitForOverlay(int width, int height, std::chrono::milliseconds timeout = 10s) {
        auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            for (const auto& window : overlays()) {
                if (window.width == width && window.height == height)
                    return window;
            }
            std::this_thread::sleep_for(20ms);
        }
        return std::nullopt;
    }

    bool isMapped(xcb_window_t window) {
        auto* attributes = xcb_get_window_attributes_reply(
            connection_, xcb_get_window_attributes(connection_, window), nullptr);
        bool mapped = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        free(attributes);
        return mapped;
    }

    // Blue, green, red and alpha of one pixel of a window's own contents.
    std::array<int, 4> pixel(xcb_window_t window, int x, int y) {
        auto* image = xcb_get_image_reply(
            connection_,
            xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, window, static_cast<std::int16_t>(x),
                          static_cast<std::int16_t>(y), 1, 1, ~0u),
            nullptr);
        std::array<int, 4> bgra{-1, -1, -1, -1};
        if (image && xcb_get_image_data_length(image) >= 4) {
            const std::uint8_t* data = xcb_get_image_data(image);
            bgra = {data[0], data[1], data[2], data[3]};
        }
        free(image);
        return bgra;
    }

    // Moves the pointer and answers the top-level window that the server says lies under it.
    xcb_window_t windowUnderPointerAt(int x, int y) {
        xcb_warp_pointer(connection_, XCB_NONE, root_, 0, 0, 0, 0, static_cast<std::int16_t>(x),
                         static_cast<std::int16_t>(y));
        auto* reply = xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr);
        xcb_window_t child = reply ? reply->child : 0;
        free(reply);
        return child;
    }

  private:
    xcb_connection_t* connection_;
    xcb_window_t root_ = 0;
};

bool near(std::array<int, 4> pixel, std::array<int, 4> expected, int tolerance = 6) {
    for (int i = 0; i < 4; ++i) {
        if (std::abs(pixel[i] - expected[i]) > tolerance)
            return false;
    }
    return true;
}

template <class Condition>
bool waitFor(Condition condition, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

void sendPicture(PhoneTestClient& phone, std::uint32_t transfer, TrackpadProtocol::Data image) {
    TrackpadProtocol::PresentationImageFile file{std::move(image), std::nullopt};
    for (const auto& part : TrackpadProtocol::splitIntoParts(transfer, file.encoded())) {
        phone.send(Message::PresentationImage{PresentationImage{PresentationImage::Part{part}}});
    }
}

class OverlayProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing_support::XvfbServer::isInstalled())
            GTEST_SKIP() << "Xvfb is not installed";
        server = std::make_unique<testing_support::XvfbServer>();
        window = std::make_unique<testing_support::XTestWindow>(server->displayName());
        probe = std::make_unique<ScreenProbe>(server->displayName());
        companion =
            std::make_unique<CompanionProcess>(LUMIVEX_COMPANION_PATH, folder.path, server->displayName());
        phone = companion->pair(companion->waitUntilReady(), "Drawing Phone");
    }
    void TearDown() override {
        if (companion) {
            EXPECT_EQ(companion->stop(SIGTERM), 0) << companion->log();
        }
    }

    void stroke(std::uint16_t number, float y) {
        phone->send(Message::Annotation{
            Annotation{Annotation::Begin{number, TrackpadProtocol::AnnotationTool::pen, {0.25f, y}}}});
        phone->sendDatagram(Message::Annotation{Annotation{Annotation::Update{number, 1, {0.5f, y}}}});
        phone->send(Message::Annotation{Annotation{Annotation::End{number, {0.75f, y}}}});
    }

    testing_support::TemporaryFolder folder;
    std::unique_ptr<testing_support::XvfbServer> server;
    std::unique_ptr<testing_support::XTestWindow> window;
    std::unique_ptr<ScreenProbe> probe;
    std::unique_ptr<CompanionProcess> companion;
    std::unique_ptr<PhoneTestClient> phone;
};

TEST_F(OverlayProcess, ADrawingShowsOverTheScreenLetsClicksThroughAndFades) {
    stroke(1, 0.5f);
    auto ended = Clock::now();
    auto overlay = probe->waitForOverlay(1920, 1080);
    ASSERT_TRUE(overlay) << companion->log();
    EXPECT_TRUE(waitFor(
        [&] {
            return near(probe->pixel(overlay->id, 960, 540), {48, 59, 255, 255});
        },
        5s))
        << "the stroke's colour on the stroke";
    EXPECT_EQ(probe->pixel(overlay->id, 960, 200)[3], 0) << "transparent elsewhere";
    EXPECT_NE(probe->windowUnderPointerAt(960, 540), overlay->id) << "clicks pass through";

    ASSERT_TRUE(waitFor([&] { return !probe->isMapped(overlay->id); }, 10s));
    auto shown = Clock::now() - ended;
    EXPECT_GE(shown, 4s) << "held for the hold time";
}

TEST_F(OverlayProcess, APictureIsShownPlacedAndClosedAndDrawingsStayAboveIt) {
    auto bitmap = *platform::imaging::Bitmap::create(400, 200, platform::imaging::PixelFormat::bgra, 80000);
    for (std::size_t i = 0; i < bitmap.bytes().size(); i += 4) {
        const std::uint8_t blue[] = {220, 40, 20, 255};
        std::copy(blue, blue + 4, bitmap.mutablePixels() + i);
    }
    sendPicture(*phone, 1, *platform::imaging::encodeJPEG(bitmap.view(), 95));
    // 400x200 fitted to 1920x1080: (0, 60, 1920, 960). Nothing composites this server, so the window is
    // the picture's visible frame.
    auto picture = probe->waitForOverlay(1920, 960);
    ASSERT_TRUE(picture) << companion->log();
    EXPECT_EQ(picture->y, 60);
    EXPECT_TRUE(waitFor([&] { return near(probe->pixel(picture->id, 960, 480), {220, 40, 20, 255}); }, 5s));
    EXPECT_TRUE(near(probe->pixel(picture->id, 5, 5), {220, 40, 20, 255}));

    // Placed in the top-left quarter (960x480 at (0, 30)), then back to full screen.
    TrackpadProtocol::PresentationImagePlacement quarter{{0.25f, 0.25f}, 0.5f, 0.5f};
    phone->send(Message::PresentationImage{PresentationImage{PresentationImage::Place{1, quarter}}});
    auto placed = probe->waitForOverlay(960, 480, 5s);
    ASSERT_TRUE(placed);
    EXPECT_EQ(placed->id, picture->id);
    EXPECT_EQ(placed->y, 30);
    EXPECT_TRUE(waitFor([&] { return near(probe->pixel(picture->id, 480, 240), {220, 40, 20, 255}); }, 5s));
    phone->send(Message::PresentationImage{PresentationImage{PresentationImage::Fit{1}}});
    ASSERT_TRUE(probe->waitForOverlay(1920, 960, 5s));
    EXPECT_TRUE(waitFor([&] { return near(probe->pixel(picture->id, 1440, 750), {220, 40, 20, 255}); }, 5s));

    // A drawing meanwhile lies above the picture.
    stroke(1, 0.5f);
    ASSERT_TRUE(waitFor([&] { return probe->overlays().size() == 2; }, 5s));
    auto stack = probe->overlays();
    EXPECT_EQ(stack.front().id, picture->id);

    // A picture of too many pixels changes nothing; close takes the picture away.
    sendPicture(*phone, 2, PresentationImages::testing::pngHeader(10001, 10000));
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(probe->isMapped(picture->id));
    EXPECT_TRUE(near(probe->pixel(picture->id, 1440, 750), {220, 40, 20, 255}));
    phone->send(Message::PresentationImage{PresentationImage{PresentationImage::Close{}}});
    EXPECT_TRUE(waitFor([&] { return !probe->isMapped(picture->id); }, 5s));
}

TEST_F(OverlayProcess, AShakenPointerGlowsFollowsAndGoesWhenStill) {
    // Five quick horizontal strokes of 100 px.
    for (int strokeIndex = 0; strokeIndex < 5; ++strokeIndex) {
        float dx = strokeIndex % 2 == 0 ? 20.0f : -20.0f;
        for (int i = 0; i < 5; ++i) {
            phone->sendDatagram(Message::Move{dx, 0});
            std::this_thread::sleep_for(8ms);
        }
    }
    auto glow = probe->waitForOverlay(64, 64);
    ASSERT_TRUE(glow) << companion->log();
    // Centred on the pointer once the last of the shake's motion has been posted.
    auto centred = [&] {
        auto now = window->queryPointer();
        auto at = probe->waitForOverlay(64, 64, 100ms);
        return at && at->x == now.x - 32 && at->y == now.y - 32;
    };
    EXPECT_TRUE(waitFor(centred, 2s));
    auto pointer = window->queryPointer();

    phone->sendDatagram(Message::Move{0, 100});
    EXPECT_TRUE(waitFor(
        [&] {
            auto moved = probe->waitForOverlay(64, 64, 100ms);
            auto now = window->queryPointer();
            return moved && moved->x == now.x - 32 && moved->y == now.y - 32 && now.y != pointer.y;
        },
        5s));
    auto still = Clock::now();
    ASSERT_TRUE(waitFor([&] { return !probe->isMapped(glow->id); }, 10s)) << companion->log();
    EXPECT_GE(Clock::now() - still, 2500ms) << "stays while the pointer stood still for less than 3 s";
}

}  // namespace
