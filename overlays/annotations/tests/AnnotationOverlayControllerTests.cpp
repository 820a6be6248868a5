#include <gtest/gtest.h>

#include <map>

#include "overlays/annotations/AnnotationOverlayController.h"
#include "overlays/annotations/PointerHighlightController.h"

namespace Annotations {
namespace {

using TrackpadProtocol::Message;
using TrackpadProtocol::UUID;

UUID phone(std::uint8_t n) {
    UUID id;
    id.bytes[15] = n;
    return id;
}

struct Presenter : AnnotationPresenting {
    int presents = 0;
    int hides = 0;
    AnnotationScene lastScene;
    Rect lastFrame;
    void present(const AnnotationScene& scene, const Rect& frame) override {
        ++presents;
        lastScene = scene;
        lastFrame = frame;
    }
    void hide() override { ++hides; }
};

struct Ticker {
    int running = 0;
    int starts = 0;
    std::function<void()> action;
    StartTicking start() {
        return [this](std::function<void()> a) {
            ++running;
            ++starts;
            action = std::move(a);
            return std::function<void()>([this] {
                --running;
                action = nullptr;
            });
        };
    }
};

const Rect display1{{0, 0}, {1920, 1080}};
const Rect display2{{1920, 0}, {1280, 1024}};

struct Fixture : ::testing::Test {
    double now = 100;
    std::shared_ptr<Presenter> presenter = std::make_shared<Presenter>();
    Ticker ticker;
    std::map<std::uint32_t, Rect> screens{{1, display1}, {2, display2}};
    Rect pointer = display1;
    AnnotationOverlayController controller{AnnotationModel{},
                                           presenter,
                                           [this] { return std::optional<Rect>(pointer); },
                                           [this](std::uint32_t id) -> std::optional<Rect> {
                                               auto s = screens.find(id);
                                               return s == screens.end() ? std::nullopt
                                                                         : std::optional<Rect>(s->second);
                                           },
                                           [this] { return now; },
                                           ticker.start()};

    void draw(const UUID& who, std::uint16_t stroke) {
        controller.handle({Annotation::Begin{stroke, AnnotationTool::pen, {0.1f, 0.1f}}}, who);
        controller.handle({Annotation::End{stroke, {0.2f, 0.2f}}}, who);
    }
    static Message viewing(std::uint32_t display) { return Message::ScreenViewSelectDisplay{display}; }
};

TEST_F(Fixture, OnePhoneOwnsTheDrawingUntilItsMarksArePruned) {
    controller.handle({Annotation::Color{{1, 2, 3}}}, phone(2));  // remembered, nothing drawn
    EXPECT_EQ(presenter->presents, 0);
    draw(phone(1), 1);
    EXPECT_EQ(controller.ownerDeviceID(), phone(1));
    EXPECT_EQ(ticker.running, 1);
    draw(phone(2), 5);  // ignored while phone 1 owns the drawing
    EXPECT_EQ(controller.model().marks().size(), 1u);

    now += 4.6;
    ticker.action();
    EXPECT_EQ(presenter->hides, 1);
    EXPECT_EQ(ticker.running, 0);
    EXPECT_FALSE(controller.ownerDeviceID());

    draw(phone(2), 5);
    EXPECT_EQ(controller.ownerDeviceID(), phone(2));
    EXPECT_EQ(controller.model().marks()[0].color, (AnnotationColor{1, 2, 3}));
}

TEST_F(Fixture, PointsArrivingBetweenTicksArePresentedOnceAtTheNextTick) {
    controller.handle({Annotation::Begin{1, AnnotationTool::pen, {0.0f, 0.0f}}}, phone(1));
    int presents = presenter->presents;
    for (std::uint16_t i = 1; i <= 500; ++i)
        controller.handle({Annotation::Update{1, i, {i / 1000.0f, 0.5f}}}, phone(1));
    controller.handle({Annotation::Update{1, 501, {0.9f, 0.9f}}}, phone(2));  // not the owner
    EXPECT_EQ(presenter->presents, presents);
    ASSERT_EQ(ticker.running, 1);
    ticker.action();
    EXPECT_EQ(presenter->presents, presents + 1);
    ASSERT_EQ(presenter->lastScene.items.size(), 1u);
    auto* line = std::get_if<AnnotationShape::Line>(&presenter->lastScene.items[0].shape.kind);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->points.size(), 501u);
    EXPECT_EQ(ticker.running, 0);  // nothing fades while the stroke is open
    controller.handle({Annotation::End{1, {0.9f, 0.1f}}}, phone(1));
    EXPECT_EQ(presenter->presents, presents + 2);
}

TEST_F(Fixture, HeldDrawingIsNotPresentedAgainAndFadesAreRedrawn) {
    draw(phone(1), 1);
    int presents = presenter->presents;
    now += 1;
    ticker.action();
    EXPECT_EQ(presenter->presents, presents);  // same scene on the same frame
    now += 3.2;
    ticker.action();
    EXPECT_EQ(presenter->presents, presents + 1);
    EXPECT_NEAR(presenter->lastScene.items[0].opacity, 2.0 / 3, 1e-9);
}

TEST_F(Fixture, DrawingFollowsTheOwnersViewedDisplay) {
    controller.observe(viewing(2), phone(1));
    draw(phone(1), 1);
    EXPECT_EQ(controller.screenFrame(), display2);
    EXPECT_EQ(presenter->lastFrame, display2);

    controller.observe(viewing(1), phone(3));  // not the owner: stays
    EXPECT_EQ(controller.screenFrame(), display2);
    controller.observe(viewing(1), phone(1));
    EXPECT_EQ(controller.screenFrame(), display1);
    controller.observe(Message::ScreenViewStop{}, phone(1));  // stops viewing: stays where it is
    EXPECT_EQ(controller.screenFrame(), display1);

    // Unplugging the viewed display moves the drawing to the pointer's screen.
    controller.observe(viewing(2), phone(1));
    screens.erase(2);
    controller.screenParametersChanged();
    EXPECT_EQ(controller.screenFrame(), display1);
}

TEST_F(Fixture, SpotlightAloneRunsNoTick) {
    controller.handle({Annotation::Begin{1, AnnotationTool::spotlight, {0.1f, 0.1f}}}, phone(1));
    controller.handle({Annotation::End{1, {0.5f, 0.5f}}}, phone(1));
    EXPECT_EQ(ticker.running, 0);
    EXPECT_TRUE(presenter->lastScene.spotlight);
    controller.handle({Annotation::Undo{1}}, phone(1));
    EXPECT_EQ(presenter->hides, 1);
}

TEST_F(Fixture, DepartingOwnerResetsOthersOnlyForgetColourAndDisplay) {
    controller.handle({Annotation::Color{{9, 9, 9}}}, phone(2));
    controller.observe(viewing(2), phone(2));
    draw(phone(1), 1);
    controller.removeDevice(phone(2));
    EXPECT_FALSE(controller.displays().viewedDisplay(phone(2)));
    EXPECT_EQ(controller.ownerDeviceID(), phone(1));
    controller.retainDevices({phone(3)});
    EXPECT_FALSE(controller.ownerDeviceID());
    EXPECT_TRUE(controller.model().isEmpty());
    EXPECT_EQ(presenter->hides, 1);
    EXPECT_EQ(ticker.running, 0);
}

TEST(AnnotationDisplayChoice, ObserveAndChoose) {
    AnnotationDisplayChoice choice;
    TrackpadProtocol::ScreenViewRequest request;
    request.displayID = 5;
    EXPECT_TRUE(choice.observe(Message::ScreenViewStart{request}, phone(1)));
    EXPECT_FALSE(choice.observe(Message::ScreenViewStart{request}, phone(1)));
    TrackpadProtocol::ScreenshotRequest shot;
    shot.number = 3;
    shot.displayID = 9;
    EXPECT_TRUE(choice.observe(Message::ScreenshotRequest{shot}, phone(1)));
    EXPECT_EQ(choice.viewedDisplay(phone(1)), 9u);
    EXPECT_FALSE(choice.observe(Message::Move{}, phone(1)));
    EXPECT_FALSE(choice.observe(Message::ScreenViewStop{}, phone(2)));

    auto none = [](std::uint32_t) { return std::optional<Rect>(); };
    auto pointerScreen = [] { return std::optional<Rect>(display2); };
    EXPECT_EQ(choice.chooseFrame(phone(1), display1, none, pointerScreen), display1);
    EXPECT_EQ(choice.chooseFrame(phone(1), std::nullopt, none, pointerScreen), display2);
    auto nine = [](std::uint32_t id) { return id == 9 ? std::optional<Rect>(display1) : std::nullopt; };
    EXPECT_EQ(choice.chooseFrame(std::nullopt, std::nullopt, nine, pointerScreen), display2);
    choice.retainDevices({});
    EXPECT_TRUE(choice.viewedDisplays().empty());
}

struct Glow : PointerHighlightPresenting {
    std::vector<std::string> calls;
    void show(Point) override { calls.push_back("show"); }
    void move(Point) override { calls.push_back("move"); }
    void hide() override { calls.push_back("hide"); }
};

TEST(PointerHighlightController, FollowsThePointerAndHidesAfterStillness) {
    bool enabled = true;
    double now = 0;
    Point mouse{10, 10};
    auto glow = std::make_shared<Glow>();
    Ticker ticker;
    PointerHighlightController highlight([&] { return enabled; }, glow, [&] { return mouse; },
                                         [&] { return now; }, ticker.start());
    highlight.pointerDidShake();
    EXPECT_TRUE(highlight.isVisible());
    now = 2;
    mouse = {11, 10};
    ticker.action();  // moved at 2
    now = 4.9;
    ticker.action();
    EXPECT_TRUE(highlight.isVisible());  // 2.9 s still
    now = 5.0;
    ticker.action();
    EXPECT_FALSE(highlight.isVisible());
    EXPECT_EQ(glow->calls, (std::vector<std::string>{"show", "move", "hide"}));
    EXPECT_EQ(ticker.running, 0);
    highlight.hide();
    EXPECT_EQ(glow->calls.size(), 3u);

    // A shake while visible restarts the stillness count; switching the preference off hides.
    highlight.pointerDidShake();
    now = 7.5;
    highlight.pointerDidShake();
    now = 10.4;
    ticker.action();
    EXPECT_TRUE(highlight.isVisible());
    enabled = false;
    ticker.action();
    EXPECT_FALSE(highlight.isVisible());
    highlight.pointerDidShake();
    EXPECT_FALSE(highlight.isVisible());

    EXPECT_EQ(pointerHighlightOrigin({100.5, 200.5}), (Point{69, 169}));
    EXPECT_EQ(pointerHighlightOrigin({-0.5, 31.5}), (Point{-33, -1}));
}

}  // namespace
}  // namespace Annotations
