// What the user sees of the overlays on the whole screen (the root window's pixels), with an application
// window below them: with and without a compositing manager, the screen outside the picture and the
// marks stays as it was; on a scaled desktop (Xft.dpi 192) the drawing covers its monitor exactly.
#include <gtest/gtest.h>
#include <signal.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "platform/imaging/Codecs.h"
#include "protocol/messages/LargePayloads.h"
#include "testing/CompanionProcess.h"
#include "testing/Subprocess.h"
#include "testing/XvfbServer.h"

namespace {

using namespace std::chrono_literals;
using testing_support::CompanionProcess;
using testing_support::PhoneTestClient;
using TrackpadProtocol::Annotation;
using TrackpadProtocol::Message;
using TrackpadProtocol::PresentationImage;

constexpr int screenWidth = 1920;
constexpr int screenHeight = 1080;

// The screen as the test sees it, on its own X connection.
class Screen {
  public:
    explicit Screen(const std::string& display) : connection_(xcb_connect(display.c_str(), &screenNumber_)) {
        auto* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        root_ = screen->root;
        white_ = screen->white_pixel;
    }
    ~Screen() { xcb_disconnect(connection_); }

    // An application's white window over the whole screen, below every overlay.
    void showWhiteWindow() {
        xcb_window_t window = xcb_generate_id(connection_);
        const std::uint32_t values[] = {white_, 1};
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, root_, 0, 0, screenWidth, screenHeight,
                          0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(connection_, window);
        xcb_aux_sync();
    }

    bool compositorRuns() {
        const std::string name = "_NET_WM_CM_S" + std::to_string(screenNumber_);
        auto* atom = xcb_intern_atom_reply(
            connection_,
            xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr);
        if (!atom)
            return false;
        auto* owner = xcb_get_selection_owner_reply(
            connection_, xcb_get_selection_owner(connection_, atom->atom), nullptr);
        const bool runs = owner && owner->owner != XCB_NONE;
        free(atom);
        free(owner);
        return runs;
    }

    // The root window's pixels, 0x00RRGGBB, row by row.
    std::vector<std::uint32_t> capture() {
        std::vector<std::uint32_t> pixels;
        auto* image = xcb_get_image_reply(connection_,
                                          xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, 0, 0,
                                                        screenWidth, screenHeight, ~0u),
                                          nullptr);
        if (image && xcb_get_image_data_length(image) >= screenWidth * screenHeight * 4) {
            const auto* data = reinterpret_cast<const std::uint32_t*>(xcb_get_image_data(image));
            pixels.assign(data, data + screenWidth * screenHeight);
            for (auto& pixel : pixels)
                pixel &= 0xffffff;
        }
        free(image);
        return pixels;
    }

    struct Window {
        int x = 0, y = 0, width = 0, height = 0;
        bool operator==(const Window&) const = default;
    };
    // The mapped 32-bit (overlay) top-level windows, or with `anyDepth` every mapped one.
    std::vector<Window> overlays(bool anyDepth = false) {
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
                (anyDepth || geometry->depth == 32))
                found.push_back({geometry->x, geometry->y, geometry->width, geometry->height});
            free(attributes);
            free(geometry);
        }
        free(tree);
        return found;
    }

  private:
    void xcb_aux_sync() {
        free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }

    int screenNumber_ = 0;
    xcb_connection_t* connection_;
    xcb_window_t root_ = 0;
    std::uint32_t white_ = 0xffffff;
};

std::uint32_t at(const std::vector<std::uint32_t>& pixels, int x, int y) {
    return pixels[static_cast<std::size_t>(y) * screenWidth + static_cast<std::size_t>(x)];
}

bool near(std::uint32_t pixel, std::uint32_t rgb, int tolerance = 24) {
    for (int shift : {0, 8, 16}) {
        if (std::abs(static_cast<int>((pixel >> shift) & 0xff) - static_cast<int>((rgb >> shift) & 0xff)) >
            tolerance)
            return false;
    }
    return true;
}

struct Area {
    int left, top, right, bottom;  // inclusive left/top, exclusive right/bottom
    bool contains(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
};

// Pixels within `reach` of the polyline through `points`.
struct Strokes {
    std::vector<std::vector<std::pair<double, double>>> lines;
    double reach = 0;
    bool near(int x, int y) const {
        const double px = x + 0.5, py = y + 0.5;
        for (const auto& line : lines) {
            for (std::size_t i = 1; i < line.size(); ++i) {
                const auto [ax, ay] = line[i - 1];
                const auto [bx, by] = line[i];
                const double dx = bx - ax, dy = by - ay;
                const double t =
                    std::clamp(((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
                if (std::hypot(px - (ax + t * dx), py - (ay + t * dy)) <= reach)
                    return true;
            }
        }
        return false;
    }
};

class ScreenFixture : public ::testing::Test {
  protected:
    void start(const std::string& resources = {}, testing_support::EnvironmentChanges environment = {}) {
        if (!testing_support::XvfbServer::isInstalled())
            GTEST_SKIP() << "Xvfb is not installed";
        server = std::make_unique<testing_support::XvfbServer>();
        screen = std::make_unique<Screen>(server->displayName());
        if (!resources.empty()) {
            const auto file = folder.path / "resources";
            std::ofstream(file) << resources << "\n";
            auto merged = testing_support::runCommand({"xrdb", "-merge", file.string()}, 10s,
                                                      {{"DISPLAY", server->displayName()}});
            ASSERT_EQ(merged.exitCode, 0) << merged.errors;
        }
        screen->showWhiteWindow();
        companion =
            std::make_unique<CompanionProcess>(LUMIVEX_COMPANION_PATH, folder.path, server->displayName(),
                                               std::vector<std::string>{}, std::move(environment));
        phone = companion->pair(companion->waitUntilReady(), "Drawing Phone");
        // The pairing panel (320x380) fades out after the pairing: the screen is compared once it is gone.
        ASSERT_TRUE(testing_support::waitUntil(
            [&] {
                const auto windows = screen->overlays(true);
                return std::none_of(windows.begin(), windows.end(), [](const Screen::Window& window) {
                    return window.width == 320 && window.height == 380;
                });
            },
            10s));
    }

    void startCompositor() {
        ASSERT_TRUE(testing_support::findExecutable("xcompmgr")) << "xcompmgr is not installed";
        compositor = std::make_unique<testing_support::Subprocess>(
            std::vector<std::string>{"xcompmgr"},
            testing_support::EnvironmentChanges{{"DISPLAY", server->displayName()}});
        ASSERT_TRUE(testing_support::waitUntil([&] { return screen->compositorRuns(); }, 10s));
        // Until it has painted the screen once, the root shows black.
        ASSERT_TRUE(testing_support::waitUntil(
            [&] {
                auto pixels = screen->capture();
                return !pixels.empty() && at(pixels, 10, 10) == 0xffffff;
            },
            10s));
    }

    // A blue picture centred at (0.2, 0.2), a fifth of the display each way: 400x200 fits as (192, 120,
    // 384, 192).
    void sendBluePicture() {
        auto bitmap =
            *platform::imaging::Bitmap::create(400, 200, platform::imaging::PixelFormat::bgra, 80000);
        for (std::size_t i = 0; i < bitmap.bytes().size(); i += 4) {
            const std::uint8_t blue[] = {220, 40, 20, 255};
            std::copy(blue, blue + 4, bitmap.mutablePixels() + i);
        }
        TrackpadProtocol::PresentationImageFile file{
            *platform::imaging::encodeJPEG(bitmap.view(), 95),
            TrackpadProtocol::PresentationImagePlacement{{0.2f, 0.2f}, 0.2f, 0.2f}};
        for (const auto& part : TrackpadProtocol::splitIntoParts(1, file.encoded()))
            phone->send(Message::PresentationImage{PresentationImage{PresentationImage::Part{part}}});
    }
    // The picture with its shadow.
    static constexpr Area bluePicture{192 - 12, 120 - 12, 192 + 384 + 12, 120 + 192 + 16};

    // A box from (0.25, 0.25) to (0.75, 0.75) and a slanted pen stroke below it, once they show.
    Strokes drawMarks() {
        phone->send(Message::Annotation{
            Annotation{Annotation::Begin{1, TrackpadProtocol::AnnotationTool::box, {0.25f, 0.25f}}}});
        phone->send(Message::Annotation{Annotation{Annotation::End{1, {0.75f, 0.75f}}}});
        phone->send(Message::Annotation{
            Annotation{Annotation::Begin{2, TrackpadProtocol::AnnotationTool::pen, {0.1f, 0.8f}}}});
        phone->send(Message::Annotation{Annotation{Annotation::Update{2, 1, {0.5f, 0.95f}}}});
        phone->send(Message::Annotation{Annotation{Annotation::Update{2, 2, {0.9f, 0.85f}}}});
        phone->send(Message::Annotation{Annotation{Annotation::End{2, {0.9f, 0.85f}}}});
        EXPECT_TRUE(testing_support::waitUntil(
            [&] {
                const auto pixels = screen->capture();
                return !pixels.empty() && near(at(pixels, 480, 600), 0xff3b30) &&
                       near(at(pixels, 1000, 270), 0xff3b30) && near(at(pixels, 960, 1026), 0xff3b30);
            },
            10s))
            << "the box's left and top edges at x = 480 and y = 270, the stroke's lowest point\n"
            << companion->log();
        // A burst of changes reshapes the window at the next turn of the companion's loop.
        std::this_thread::sleep_for(300ms);
        return {{{{480, 270}, {1440, 270}, {1440, 810}, {480, 810}, {480, 270}},
                 {{192, 864}, {960, 1026}, {1728, 918}}},
                6 / 2.0 + 1};
    }

    enum Place : std::uint8_t { ownWindow, nearMarks, beyondMarks };
    // Where each pixel is: beyond `marks`, near them, or in one of the companion's own windows (the
    // pairing panel, the connection notice).
    std::vector<Place> places(const Strokes& marks, std::vector<Area> others = {}) {
        for (const auto& other : screen->overlays(true)) {
            if (other.width != screenWidth || other.height != screenHeight)
                others.push_back({other.x, other.y, other.x + other.width, other.y + other.height});
        }
        std::vector<Place> found(static_cast<std::size_t>(screenWidth * screenHeight));
        for (int y = 0; y < screenHeight; ++y) {
            for (int x = 0; x < screenWidth; ++x) {
                const bool own = std::any_of(others.begin(), others.end(),
                                             [&](const Area& area) { return area.contains(x, y); });
                found[static_cast<std::size_t>(y * screenWidth + x)] = own                ? ownWindow
                                                                       : marks.near(x, y) ? nearMarks
                                                                                          : beyondMarks;
            }
        }
        return found;
    }

    // The pixels beyond the marks that differ from `before`, and the black pixels (of the white window
    // and the red marks, none should be).
    static std::pair<long, long> changes(const std::vector<std::uint32_t>& pixels,
                                         const std::vector<std::uint32_t>& before,
                                         const std::vector<Place>& places) {
        long changed = 0, black = 0;
        for (std::size_t i = 0; i < places.size(); ++i) {
            changed += places[i] == beyondMarks && pixels[i] != before[i] ? 1 : 0;
            black += places[i] != ownWindow && pixels[i] == 0 ? 1 : 0;
        }
        return {changed, black};
    }

    void TearDown() override {
        if (companion) {
            EXPECT_EQ(companion->stop(SIGTERM), 0) << companion->log();
        }
    }

    testing_support::TemporaryFolder folder;
    std::unique_ptr<testing_support::XvfbServer> server;
    std::unique_ptr<Screen> screen;
    std::unique_ptr<testing_support::Subprocess> compositor;
    std::unique_ptr<CompanionProcess> companion;
    std::unique_ptr<PhoneTestClient> phone;
};

class OverlayScreen : public ScreenFixture, public ::testing::WithParamInterface<bool> {
  protected:
    // What a wait for the picture and the stroke saw last: their pixels, and the mapped windows.
    std::string seen(const std::vector<std::uint32_t>& pixels) {
        char line[160] = "no capture";
        if (!pixels.empty())
            std::snprintf(line, sizeof line, "the picture's pixel %06x, the stroke's %06x, its start %06x",
                          at(pixels, 384, 216), at(pixels, 1200, 540), at(pixels, 480, 540));
        std::string text = std::string(line) + "; windows:";
        for (const auto& window : screen->overlays(true))
            text += " " + std::to_string(window.width) + "x" + std::to_string(window.height) + "+" +
                    std::to_string(window.x) + "+" + std::to_string(window.y);
        return text + "\n";
    }
};

// A picture in the top-left corner and a horizontal stroke across the middle leave every other pixel of
// the application's window as it was, with a compositing manager and without one.
TEST_P(OverlayScreen, APictureAndADrawingChangeNoPixelOutsideThem) {
    start();
    if (GetParam())
        startCompositor();
    const auto before = screen->capture();
    ASSERT_EQ(before.size(), static_cast<std::size_t>(screenWidth * screenHeight));

    sendBluePicture();
    phone->send(Message::Annotation{
        Annotation{Annotation::Begin{1, TrackpadProtocol::AnnotationTool::pen, {0.25f, 0.5f}}}});

    std::vector<std::uint32_t> after;
    ASSERT_TRUE(testing_support::waitUntil(
        [&] {
            // The stroke's points go as datagrams, which a busy companion may read before the stroke's
            // beginning and drop, as it drops any of a stroke it does not know: sent again until drawn
            // (a point it has is not taken twice).
            phone->sendDatagram(Message::Annotation{Annotation{Annotation::Update{1, 1, {0.5f, 0.5f}}}});
            phone->sendDatagram(Message::Annotation{Annotation{Annotation::Update{1, 2, {0.75f, 0.5f}}}});
            after = screen->capture();
            return !after.empty() && near(at(after, 384, 216), 0x1428dc) &&
                   near(at(after, 1200, 540), 0xff3b30);
        },
        10s))
        << seen(after) << companion->log();
    // The picture, its shadow (with a compositor) and the stroke with its round ends.
    const Area picture = bluePicture;
    const Area stroke{480 - 8, 540 - 8, 1440 + 8, 540 + 8};
    long outside = 0, unchanged = 0;
    for (int y = 0; y < screenHeight; ++y) {
        for (int x = 0; x < screenWidth; ++x) {
            if (picture.contains(x, y) || stroke.contains(x, y))
                continue;
            ++outside;
            unchanged += at(after, x, y) == at(before, x, y) ? 1 : 0;
        }
    }
    std::printf("%s compositor: %ld of %ld pixels outside the picture and the stroke unchanged\n",
                GetParam() ? "with a" : "without a", unchanged, outside);
    EXPECT_EQ(unchanged, outside);
    EXPECT_TRUE(near(at(after, 200, 130), 0x1428dc)) << "the picture's corner";
    EXPECT_TRUE(near(at(after, 490, 540), 0xff3b30)) << "the stroke's start";
}

INSTANTIATE_TEST_SUITE_P(Compositing, OverlayScreen, ::testing::Values(false, true), [](const auto& info) {
    return info.param ? "WithCompositor" : "WithoutCompositor";
});

// When the compositing manager is killed, the drawing's and the picture's windows are shaped already: no
// capture of the screen from the kill on shows a pixel beyond the marks and the picture changed, or a
// black one. When one starts, the companion
// knows at once, and the screen beyond the marks stays as it was.
TEST_F(ScreenFixture, NothingTurnsBlackWhenTheCompositorExitsAndTheDrawingFollowsOneThatStarts) {
    start();
    startCompositor();
    const auto before = screen->capture();
    ASSERT_EQ(before.size(), static_cast<std::size_t>(screenWidth * screenHeight));
    sendBluePicture();
    const Strokes marks = drawMarks();
    ASSERT_TRUE(near(at(screen->capture(), 384, 216), 0x1428dc)) << "the picture";
    const auto where = places(marks, {bluePicture});
    std::this_thread::sleep_for(700ms);

    ASSERT_EQ(kill(compositor->pid(), SIGTERM), 0);
    long worstChanged = 0, worstBlack = 0;
    int captures = 0;
    for (auto end = std::chrono::steady_clock::now() + 1500ms; std::chrono::steady_clock::now() < end;) {
        const auto pixels = screen->capture();
        if (pixels.size() != before.size())
            continue;
        const auto [changed, black] = changes(pixels, before, where);
        worstChanged = std::max(worstChanged, changed);
        worstBlack = std::max(worstBlack, black);
        ++captures;
    }
    std::printf(
        "compositor killed: at worst %ld pixels changed beyond the marks and %ld black, in %d captures "
        "over 1.5 s\n",
        worstChanged, worstBlack, captures);
    EXPECT_FALSE(screen->compositorRuns());
    // A capture of the screen takes tens of milliseconds, more under a sanitizer on a busy machine; a
    // few are enough to see a black period of the length this guards against (hundreds of milliseconds).
    EXPECT_GE(captures, 5);
    EXPECT_EQ(worstChanged, 0);
    EXPECT_EQ(worstBlack, 0);

    const std::string translucent = "A compositing manager runs";
    auto told = [&] {
        const std::string log = companion->log();
        int count = 0;
        for (auto at = log.find(translucent); at != std::string::npos; at = log.find(translucent, at + 1))
            ++count;
        return count;
    };
    ASSERT_EQ(told(), 1) << companion->log();
    compositor = std::make_unique<testing_support::Subprocess>(
        std::vector<std::string>{"xcompmgr"},
        testing_support::EnvironmentChanges{{"DISPLAY", server->displayName()}});
    ASSERT_TRUE(testing_support::waitUntil([&] { return screen->compositorRuns(); }, 10s));
    const auto owned = std::chrono::steady_clock::now();
    EXPECT_TRUE(testing_support::waitUntil([&] { return told() == 2; }, 3s)) << companion->log();
    const auto latency =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - owned);
    std::printf("compositor started: the companion followed it after %lld ms\n",
                static_cast<long long>(latency.count()));
    EXPECT_LT(latency, 100ms);
    std::this_thread::sleep_for(300ms);
    const auto pixels = screen->capture();
    ASSERT_EQ(pixels.size(), before.size());
    EXPECT_EQ(changes(pixels, before, where), std::make_pair(0L, 0L));
}

// Without a compositor the connection notice shows its rounded frame, and nothing black at its corners.
TEST_F(ScreenFixture, TheConnectionNoticeIsCutToItsRoundedFrame) {
    start();
    ASSERT_EQ(companion->stop(SIGTERM), 0);
    // Paired long ago, so that the phone is announced when it comes back.
    {
        const auto list = folder.path / "data" / "dev.quelmar.trackpad.mac" / "TrustedDevices.json";
        std::ifstream in(list);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        text = std::regex_replace(text, std::regex(R"("pairedAt": "[^"]*")"),
                                  R"("pairedAt": "2026-01-01T00:00:00Z")");
        std::ofstream(list) << text;
    }
    companion =
        std::make_unique<CompanionProcess>(LUMIVEX_COMPANION_PATH, folder.path, server->displayName());
    PhoneTestClient returning(companion->waitUntilReady(), "Drawing Phone", phone->deviceID());
    returning.setPairing(phone->pairing());
    returning.connect();
    ASSERT_TRUE(
        std::holds_alternative<TrackpadProtocol::PhoneSession::Accepted>(returning.openSession(true)));
    std::optional<Screen::Window> notice;
    ASSERT_TRUE(testing_support::waitUntil(
        [&] {
            for (const auto& window : screen->overlays()) {
                if (window.width < screenWidth)
                    notice = window;
            }
            return notice.has_value();
        },
        10s))
        << companion->log();
    std::this_thread::sleep_for(300ms);
    const auto pixels = screen->capture();
    ASSERT_FALSE(pixels.empty());
    long black = 0;
    for (int y = notice->y; y < notice->y + notice->height; ++y) {
        for (int x = notice->x; x < notice->x + notice->width; ++x)
            black += at(pixels, x, y) == 0 ? 1 : 0;
    }
    std::printf("the connection notice (%dx%d+%d+%d) shows %ld black pixels\n", notice->width, notice->height,
                notice->x, notice->y, black);
    EXPECT_EQ(black, 0);
    EXPECT_TRUE(near(at(pixels, notice->x, notice->y), 0xffffff))
        << "its top-left corner shows the window below";
    EXPECT_TRUE(near(at(pixels, notice->x + notice->width / 2, notice->y + 2), 0x222222, 16)) << "its frame";
}

// On a desktop scaled by Xft.dpi or by Qt's scale factor, without a compositing manager, the drawing's
// window still covers its RandR monitor pixel for pixel, and its marks change no pixel beyond their pen:
// the window's shape and its painted pixels agree.
enum class Scaling { none, dpi192, qtScaleFactor2 };
class ScaledDesktop : public ScreenFixture, public ::testing::WithParamInterface<Scaling> {};

TEST_P(ScaledDesktop, TheDrawingCoversItsMonitorAndChangesNothingAroundItsMarks) {
    const Scaling scaling = GetParam();
    testing_support::EnvironmentChanges environment;
    if (scaling == Scaling::qtScaleFactor2)
        environment["QT_SCALE_FACTOR"] = "2";
    start(scaling == Scaling::dpi192 ? "Xft.dpi: 192" : "Xft.dpi: 96", environment);
    const auto before = screen->capture();
    ASSERT_EQ(before.size(), static_cast<std::size_t>(screenWidth * screenHeight));
    const Strokes marks = drawMarks();
    ASSERT_FALSE(screen->overlays().empty());
    const auto window = screen->overlays().front();
    EXPECT_EQ(window, (Screen::Window{0, 0, screenWidth, screenHeight}));
    const auto pixels = screen->capture();
    ASSERT_EQ(pixels.size(), before.size());
    const auto [changed, black] = changes(pixels, before, places(marks));
    std::printf(
        "%s, no compositor: the drawing's window is %dx%d+%d+%d; %ld pixels changed beyond the marks, "
        "%ld black\n",
        scaling == Scaling::none     ? "ratio 1"
        : scaling == Scaling::dpi192 ? "Xft.dpi 192"
                                     : "QT_SCALE_FACTOR 2",
        window.width, window.height, window.x, window.y, changed, black);
    EXPECT_EQ(changed, 0);
    EXPECT_EQ(black, 0);
}

INSTANTIATE_TEST_SUITE_P(Dpi, ScaledDesktop,
                         ::testing::Values(Scaling::none, Scaling::dpi192, Scaling::qtScaleFactor2),
                         [](const auto& info) {
                             return info.param == Scaling::none     ? "Dpi96"
                                    : info.param == Scaling::dpi192 ? "Dpi192"
                                                                    : "QtScaleFactor2";
                         });

}  // namespace
