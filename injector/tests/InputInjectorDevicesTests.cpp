#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "injector/InputInjector.h"
#include "injector/RecordingEventPoster.h"
#include "injector/tests/InjectorTestMessages.h"
#include "platform/ManualExecutor.h"

namespace Injector {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace Injector::test;

class NoScreen final : public ScreenGeometry {
  public:
    std::optional<Point> cursorLocation() override { return Point{100, 100}; }
    std::vector<Rect> displays() override { return {}; }
};

class DeviceSequencingTest : public ::testing::Test {
  protected:
    platform::ManualExecutor executor;
    RecordingEventPoster poster;
    NoScreen screen;
    InputInjector injector{poster, screen, executor, {}, [this] { return executor.now(); }};
    const UUID a = uuid(1);
    const UUID b = uuid(2);
    const UUID c = uuid(3);
};

TEST_F(DeviceSequencingTest, PhoneThatLostControlHasItsDatagramsDroppedWithinTheGrace) {
    injector.setInputController(a);
    EXPECT_THAT(injector.sequence(move(1, 0), b), ElementsAre(move(1, 0)));
    injector.setInputController(b);
    executor.advance(0.2);
    EXPECT_THAT(injector.sequence(move(1, 0), a), IsEmpty());
    EXPECT_THAT(injector.sequence(drag(DragPhase::changed, 1, 0), a), IsEmpty());
    EXPECT_THAT(injector.sequence(Message::Tap{1}, a), ElementsAre(Message::Tap{1})) << "reliable";
    executor.advance(0.4);
    EXPECT_THAT(injector.sequence(move(1, 0), a), ElementsAre(move(1, 0)));
}

TEST_F(DeviceSequencingTest, TheGraceEndsExactlyHalfASecondAfterTheHandoff) {
    injector.setInputController(a);
    injector.setInputController(b);
    executor.advance(0.499);
    EXPECT_THAT(injector.sequence(move(1, 0), a), IsEmpty());
    executor.advance(0.001);
    EXPECT_THAT(injector.sequence(move(1, 0), a), ElementsAre(move(1, 0))) << "0.5 s after: no longer held";
}

TEST_F(DeviceSequencingTest, ControlBackStopsTheGrace) {
    injector.setInputController(a);
    injector.setInputController(b);
    injector.setInputController(a);
    EXPECT_THAT(injector.sequence(move(1, 0), a), ElementsAre(move(1, 0)));
    executor.advance(0.1);
    EXPECT_THAT(injector.sequence(move(1, 0), b), IsEmpty()) << "b lost control 0.1 s ago";
}

TEST_F(DeviceSequencingTest, EndsFromAPhoneWithoutControlAreDropped) {
    EXPECT_THAT(injector.sequence(drag(DragPhase::ended, 0, 0), a), IsEmpty()) << "no controller at all";
    EXPECT_THAT(injector.sequence(scroll(ScrollPhase::ended), a), IsEmpty());
    EXPECT_THAT(injector.sequence(scroll(ScrollPhase::momentumEnded), a), IsEmpty());
    injector.setInputController(a);
    EXPECT_THAT(injector.sequence(drag(DragPhase::ended, 0, 0), a),
                ElementsAre(drag(DragPhase::ended, 0, 0)));
    EXPECT_THAT(injector.sequence(scroll(ScrollPhase::ended), a), ElementsAre(scroll(ScrollPhase::ended)));
    EXPECT_THAT(injector.sequence(drag(DragPhase::ended, 5, 0), b), IsEmpty());
    EXPECT_THAT(injector.sequence(drag(DragPhase::began, 0, 0), b),
                ElementsAre(drag(DragPhase::began, 0, 0)));
    EXPECT_THAT(injector.sequence(scroll(ScrollPhase::changed), c),
                ElementsAre(scroll(ScrollPhase::changed)));
}

TEST_F(DeviceSequencingTest, ForgettingTheControllerLeavesNoControllerAndNoGrace) {
    injector.setInputController(a);
    injector.forgetDevice(a);
    EXPECT_FALSE(injector.inputController().has_value());
    injector.setInputController(b);
    EXPECT_THAT(injector.sequence(move(1, 0), a), ElementsAre(move(1, 0)));
}

TEST_F(DeviceSequencingTest, SameControllerAgainRecordsNoHandoffAndPrunesOldOnes) {
    injector.setInputController(a);
    injector.setInputController(b);
    injector.setInputController(b);
    EXPECT_THAT(injector.sequence(move(1, 0), a), IsEmpty()) << "a's hand-off is still recent";
    executor.advance(0.6);
    injector.setInputController(b);
    injector.setInputController(c);
    EXPECT_THAT(injector.sequence(move(1, 0), a), ElementsAre(move(1, 0)));
    EXPECT_THAT(injector.sequence(move(1, 0), b), IsEmpty());
}

TEST_F(DeviceSequencingTest, RetainKeepsOnlyTheGivenPhones) {
    injector.setInputController(a);
    injector.setInputController(b);
    injector.retainDevices({a});
    EXPECT_FALSE(injector.inputController().has_value());
    injector.retainDevices({});
    injector.setInputController(c);
    EXPECT_THAT(injector.sequence(move(1, 0), a), ElementsAre(move(1, 0))) << "a's hand-off time went";
}

TEST_F(DeviceSequencingTest, EachPhoneHasItsOwnSequencer) {
    const UUID sessionA = uuid(11);
    const UUID sessionB = uuid(12);
    injector.setInputController(a);
    EXPECT_THAT(injector.sequence(positioned(move(0, 0), sessionA, 0, 0, 0), a),
                ElementsAre(drag(DragPhase::ended, 0, 0)));
    // Another phone's session start would release the controller's button: dropped, but its
    // sequencer still takes up the session.
    EXPECT_THAT(injector.sequence(positioned(move(0, 0), sessionB, 0, 0, 0), b), IsEmpty());
    EXPECT_THAT(injector.sequence(positioned(Message::Tap{1}, sessionB, 1, 0, 4), b),
                ElementsAre(move(4, 0), Message::Tap{1}));
    // Held back until the reliable message before it arrives; then both come out.
    EXPECT_THAT(injector.sequence(positioned(move(1, 0), sessionA, 2, 1, 3), a), IsEmpty());
    EXPECT_THAT(injector.sequence(positioned(drag(DragPhase::began, 0, 0), sessionA, 1, 0, 2), a),
                ElementsAre(drag(DragPhase::began, 2, 0), move(1, 0)));
}

TEST_F(DeviceSequencingTest, PositionedDatagramsFollowTheGraceAndStartMarkersDoNot) {
    const UUID sessionA = uuid(11);
    injector.setInputController(a);
    injector.sequence(positioned(move(0, 0), sessionA, 0, 0, 0), a);
    injector.setInputController(b);
    EXPECT_THAT(injector.sequence(positioned(move(2, 0), sessionA, 1, 0, 2), a), IsEmpty());
    EXPECT_THAT(injector.sequence(positioned(Message::Tap{1}, sessionA, 2, 0, 2), a),
                ElementsAre(Message::Tap{1}));
}

TEST_F(DeviceSequencingTest, ResetKeepsControllerAndHandoffs) {
    injector.setInputController(a);
    injector.setInputController(b);
    injector.reset();
    EXPECT_EQ(injector.inputController(), b);
    EXPECT_THAT(injector.sequence(move(1, 0), a), IsEmpty());
}

}  // namespace
}  // namespace Injector
