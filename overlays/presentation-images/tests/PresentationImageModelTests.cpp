#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>

#include "overlays/presentation-images/PresentationImageController.h"

namespace PresentationImages {
namespace {

using Model = PresentationImageModel;
using TrackpadProtocol::Data;
using TrackpadProtocol::Message;
using TrackpadProtocol::PresentationImageFile;
using TrackpadProtocol::ScreenDataPart;

UUID phone(std::uint8_t n) {
    UUID id;
    id.bytes[0] = n;
    return id;
}

PresentationImagePlacement placement(float cx, float cy, float w, float h) {
    return {{cx, cy}, w, h};
}

// The document of a picture, sent as one part.
PresentationImage part(std::uint32_t transfer, std::optional<PresentationImagePlacement> where = std::nullopt,
                       Data image = {1, 2, 3}) {
    PresentationImageFile file{std::move(image), where};
    Data document;
    if (where && !where->isValid()) {
        // An out-of-range placement, written by hand since the encoder refuses it.
        document = {1};
        auto put = [&](float v) {
            std::uint32_t bits;
            std::memcpy(&bits, &v, 4);
            for (int s = 24; s >= 0; s -= 8)
                document.push_back(static_cast<std::uint8_t>(bits >> s));
        };
        put(where->center.x), put(where->center.y), put(where->width), put(where->height);
        document.insert(document.end(), {0, 0, 0, 3, 1, 2, 3});
    } else {
        document = file.encoded();
    }
    return {PresentationImage::Part{ScreenDataPart{transfer, 0, 1, document}}};
}

PresentationImagePicture picture(int w, int h) {
    return {*platform::imaging::Bitmap::create(w, h, platform::imaging::PixelFormat::bgra, 1 << 24), true};
}

Model::Delivery open(Model::Outcome outcome) {
    auto* delivery = std::get_if<Model::Delivery>(&outcome);
    EXPECT_TRUE(delivery);
    return delivery ? *delivery : Model::Delivery{};
}

bool changed(Model::Outcome outcome) {
    return std::holds_alternative<Model::Changed>(outcome);
}
bool unchanged(Model::Outcome outcome) {
    return std::holds_alternative<Model::Unchanged>(outcome);
}

TEST(PresentationImageModel, TicketsSupersedeAndOnlyFinishShows) {
    Model model;
    auto first = open(model.receive(part(7), phone(1)));
    EXPECT_EQ(first.ticket.value, 1u);
    EXPECT_EQ(first.image, (Data{1, 2, 3}));
    auto second = open(model.receive(part(8), phone(2)));
    EXPECT_EQ(second.ticket.value, 2u);
    EXPECT_FALSE(model.finish(first.ticket, picture(4, 4)));
    EXPECT_TRUE(model.isEmpty());
    EXPECT_TRUE(model.finish(second.ticket, picture(4, 4)));
    EXPECT_EQ(model.shown()->owner, phone(2));

    // Phone 1's next document leaves phone 2's picture up until its own decode ends.
    auto third = open(model.receive(part(9), phone(1)));
    EXPECT_EQ(model.shown()->owner, phone(2));
    model.fail(third.ticket);
    EXPECT_FALSE(model.isOpening());
    EXPECT_EQ(model.shown()->owner, phone(2));
}

TEST(PresentationImageModel, PlaceAndFitBeforeAndAfterTheDecode) {
    Model model;
    auto delivery = open(model.receive(part(3), phone(1)));
    auto where = placement(0.5f, 0.5f, 0.5f, 0.5f);
    EXPECT_TRUE(unchanged(model.receive({PresentationImage::Place{3, where}}, phone(1))));
    model.finish(delivery.ticket, picture(10, 10));
    EXPECT_EQ(model.shown()->placement, where);

    EXPECT_TRUE(unchanged(model.receive({PresentationImage::Place{3, where}}, phone(1))));  // same placement
    for (auto bad :
         {placement(0.5f, 0.5f, 0.005f, 0.5f), placement(0.5f, 0.5f, 4.5f, 1), placement(NAN, 0.5f, 1, 1)}) {
        EXPECT_TRUE(unchanged(model.receive({PresentationImage::Place{3, bad}}, phone(1))));
    }
    EXPECT_EQ(model.shown()->placement, where);
    EXPECT_TRUE(unchanged(model.receive({PresentationImage::Fit{3}}, phone(2))));  // another phone
    EXPECT_TRUE(changed(model.receive({PresentationImage::Fit{3}}, phone(1))));
    EXPECT_TRUE(unchanged(model.receive({PresentationImage::Fit{3}}, phone(1))));
}

TEST(PresentationImageModel, InvalidDocumentsHandOutNoTicket) {
    Model model;
    EXPECT_TRUE(unchanged(model.receive(part(1, placement(2, 0.5f, 1, 1)), phone(1))));
    EXPECT_TRUE(unchanged(model.receive({PresentationImage::Part{ScreenDataPart{1, 0, 1, {9}}}}, phone(1))));
    // Parts out of order only reset that phone's assembly.
    EXPECT_TRUE(unchanged(model.receive({PresentationImage::Part{ScreenDataPart{2, 1, 2, {9}}}}, phone(1))));
    EXPECT_EQ(model.lastTicket(), 0u);
    EXPECT_FALSE(model.isOpening());
}

TEST(PresentationImageModel, CloseRemoveRetainAndReset) {
    Model model;
    auto delivery = open(model.receive(part(1), phone(1)));
    EXPECT_TRUE(unchanged(model.receive({PresentationImage::Close{}}, phone(1))));
    EXPECT_FALSE(model.finish(delivery.ticket, picture(1, 1)));

    delivery = open(model.receive(part(2), phone(1)));
    EXPECT_FALSE(model.remove(phone(1)));
    EXPECT_FALSE(model.finish(delivery.ticket, picture(1, 1)));

    delivery = open(model.receive(part(3), phone(1)));
    model.finish(delivery.ticket, picture(1, 1));
    EXPECT_TRUE(model.retain({}));
    EXPECT_TRUE(model.isEmpty());
    EXPECT_EQ(model.assemblerCount(), 0u);
    EXPECT_EQ(model.lastTicket(), 3u);

    open(model.receive(part(4), phone(1)));
    EXPECT_FALSE(model.reset());
    EXPECT_FALSE(model.isOpening());
    EXPECT_FALSE(model.frame({100, 100}));
}

TEST(PresentationImageFrame, FitsKeepsAspectAndClipsToTheDisplay) {
    PresentationImageFrame full({400, 200}, std::nullopt, {1000, 800});
    EXPECT_EQ(full.image, (Rect{{0, 150}, {1000, 500}}));
    EXPECT_EQ(full.visible, full.image);

    PresentationImageFrame placed({400, 200}, placement(0.5f, 0.5f, 0.5f, 0.5f), {1000, 800});
    EXPECT_EQ(placed.image, (Rect{{250, 275}, {500, 250}}));

    PresentationImageFrame edge({1000, 800}, placement(1.0f, 0.5f, 1, 1), {1000, 800});
    EXPECT_EQ(edge.image, (Rect{{500, 0}, {1000, 800}}));
    EXPECT_EQ(edge.visible, (Rect{{500, 0}, {500, 800}}));

    EXPECT_EQ(PresentationImageFrame::fit({0, 0}, {{10, 20}, {30, 40}}), (Rect{{10, 20}, {30, 40}}));
    EXPECT_EQ(PresentationImageFrame::fit({NAN, 5}, {{0, 0}, {30, 40}}), (Rect{{0, 0}, {30, 40}}));
    EXPECT_EQ(PresentationImageFrame::fit({1000, 1}, {{0, 0}, {10, 10}}).size, (Size{10, 1}));

    PresentationImageFrame outside({10, 10}, std::nullopt, {0, 0});
    EXPECT_EQ(outside.visible.size, (Size{0, 0}));
}

struct Presenter : PresentationImagePresenting {
    int shows = 0, hides = 0;
    Rect screen;
    PresentationImageFrame frame{{1, 1}, std::nullopt, {1, 1}};
    void show(const PresentationImagePicture&, const PresentationImageFrame& f, const Rect& s) override {
        ++shows;
        frame = f;
        screen = s;
    }
    void hide() override { ++hides; }
};

struct ControllerFixture : ::testing::Test {
    std::shared_ptr<Presenter> presenter = std::make_shared<Presenter>();
    std::vector<PresentationImageController::Completion> pending;
    std::map<std::uint32_t, Rect> screens{{1, {{0, 0}, {1000, 800}}}, {2, {{1000, 0}, {1920, 1080}}}};
    std::uint32_t pointer = 1;
    PresentationImageController controller{
        presenter, [this](const UUID&, Data, PresentationImageController::Completion done) { pending.push_back(done); },
        [this](std::uint32_t id) -> std::optional<Rect> {
            auto s = screens.find(id);
            return s == screens.end() ? std::nullopt : std::optional<Rect>(s->second);
        },
        [this] { return std::optional<std::uint32_t>(pointer); }};

    void show(std::uint32_t transfer, const UUID& owner, int w = 400, int h = 200) {
        controller.handle(part(transfer), owner);
        ASSERT_FALSE(pending.empty());
        auto done = pending.back();
        pending.pop_back();
        done(picture(w, h));
    }
};

TEST_F(ControllerFixture, PictureFollowsItsOwnersViewedDisplay) {
    TrackpadProtocol::ScreenViewRequest request;
    request.displayID = 2;
    controller.observe(Message::ScreenViewStart{request}, phone(1));
    show(1, phone(1));
    EXPECT_EQ(controller.displayID(), 2u);
    EXPECT_EQ(presenter->screen, screens[2]);
    controller.observe(Message::ScreenViewSelectDisplay{1}, phone(2));  // another phone
    EXPECT_EQ(controller.displayID(), 2u);
    controller.observe(Message::ScreenViewSelectDisplay{1}, phone(1));
    EXPECT_EQ(controller.displayID(), 1u);
    EXPECT_EQ(presenter->shows, 2);

    // Moving it needs no decode; the same placement again leaves the window alone.
    controller.handle({PresentationImage::Place{1, placement(0.5f, 0.5f, 0.5f, 0.5f)}}, phone(1));
    controller.handle({PresentationImage::Place{1, placement(0.5f, 0.5f, 0.5f, 0.5f)}}, phone(1));
    EXPECT_TRUE(pending.empty());
    EXPECT_EQ(presenter->shows, 3);
    controller.refresh();
    EXPECT_EQ(presenter->shows, 3);

    // The display in use goes away: the pointer's display takes it.
    controller.observe(Message::ScreenViewStop{}, phone(1));
    screens.erase(1);
    pointer = 2;
    controller.screenParametersDidChange();
    EXPECT_EQ(controller.displayID(), 2u);

    controller.handle({PresentationImage::Close{}}, phone(1));
    EXPECT_EQ(presenter->hides, 1);
    EXPECT_FALSE(controller.displayID());
    EXPECT_FALSE(controller.screenFrame());
}

TEST_F(ControllerFixture, FailedOrLateDecodesLeaveTheScreenAlone) {
    show(1, phone(1));
    controller.handle(part(2), phone(1));
    pending.back()(std::nullopt);
    pending.clear();
    EXPECT_EQ(presenter->shows, 1);
    EXPECT_EQ(presenter->hides, 0);

    controller.handle(part(3), phone(1));
    auto late = pending.back();
    {
        PresentationImageController gone(
            presenter, [&](const UUID&, Data, auto done) { late = done; }, nullptr, nullptr);
        gone.handle(part(4), phone(1));
    }
    late(picture(1, 1));  // the controller it belonged to is gone: dropped
    EXPECT_EQ(presenter->shows, 1);
}

}  // namespace
}  // namespace PresentationImages
