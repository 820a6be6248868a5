#pragma once
// Turns the phone's gesture, key-combination, text and quick-action messages into posted system events:
// dock swipes, magnify events, zoom shortcuts, navigation swipes, key strokes, typed characters and
// sleep. The application passes each phone message through `sequence`, then hands every resulting
// message to `handle`.
//
// Thread: the main thread; the scheduler runs its work there too. The collaborators passed by
// reference must outlive the engine.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "gestures/GestureMapping.h"
#include "gestures/KeyboardLayout.h"
#include "gestures/SystemActions.h"
#include "gestures/SystemGestureEvents.h"
#include "protocol/input/StrokeSequencers.h"
#include "protocol/messages/Message.h"
#include "protocol/messages/Uuid.h"

namespace platform {
class Executor;
}

namespace Gestures {

using TrackpadProtocol::Message;

class GestureScheduler {
  public:
    virtual ~GestureScheduler() = default;
    // Runs the work once after `delay` seconds, on the engine's thread.
    virtual void schedule(double delay, std::function<void()> work) = 0;
};

// The application's scheduler: the work runs on the main queue (the executor) after the delay.
class MainQueueGestureScheduler final : public GestureScheduler {
  public:
    explicit MainQueueGestureScheduler(platform::Executor& executor) : executor_(executor) {}
    void schedule(double delay, std::function<void()> work) override;

  private:
    platform::Executor& executor_;
};

class GestureEngine {
  public:
    using DeviceID = TrackpadProtocol::UUID;

    // The defaults are the values the application passes.
    struct Configuration {
        double latePinchFrameWindow = 0.25;
        int maximumZoomStepsPerFrame = 2;
        double swipeTrackingDistance = 300;
        double swipeAxisLockDistance = 10;
        double discreteSwipeDistance = 30;
        double swipeCompletionProgress = 0.5;
        double swipeFlickVelocity = 1.5;
        double swipeVelocityWindow = 0.1;
        std::vector<double> dockSwipeResendDelays = {0.2, 0.5};
        friend bool operator==(const Configuration&, const Configuration&) = default;
    };

    struct Pinch {
        PinchAction action;
        double pending = 0;
        bool hasBegan = false;
    };

    struct TrackedSwipe {
        struct Sample {
            double time = 0;
            double travel = 0;
        };
        std::uint8_t fingers = 0;
        double x = 0;
        double y = 0;
        std::optional<SwipeDirection> direction;
        std::optional<TrackedSwipeStyle> style;
        bool mirrored = false;
        double scale = 1.0;
        bool dockBegan = false;
        double postedProgress = 0;
        bool performed = false;
        std::vector<Sample> samples;
    };

    struct DeviceSequences {
        TrackpadProtocol::PinchSequencer pinch;
        TrackpadProtocol::SwipeSequencer swipe;
    };

    GestureEngine(GestureMapping mapping, Configuration configuration, GestureEventPoster& poster,
                  const SystemShortcutSource& systemShortcuts, const KeyboardLayout& keyboardLayout,
                  std::function<std::optional<Point>()> cursorLocation, std::function<double()> clock,
                  DockSwipeRecipe dockSwipeRecipe,
                  std::function<double(std::optional<Point>)> spaceSwipeOffset,
                  std::function<bool(SystemAction)> dockGestureEnabled, GestureScheduler& scheduler,
                  SystemPower& power);
    GestureEngine(const GestureEngine&) = delete;
    GestureEngine& operator=(const GestureEngine&) = delete;

    std::vector<Message> sequence(const Message& message, const DeviceID& device);
    // True when the message belongs to the engine (gestures, key combinations, text, quick actions).
    bool handle(const Message& message);
    // True when at least one event was made and posted.
    bool perform(const GestureAction& action);
    void reset(const std::optional<DeviceID>& device);
    void retainDevices(const std::unordered_set<DeviceID>& devices);
    void forgetDevice(const DeviceID& device);

    const std::optional<Pinch>& pinch() const { return pinch_; }
    const std::optional<TrackedSwipe>& trackedSwipe() const { return trackedSwipe_; }
    std::optional<double> lastPinchEnd() const { return lastPinchEnd_; }
    int dockSwipeGeneration() const { return dockSwipeGeneration_; }

    // A character shortcut's key: the layout's menu key equivalent, else its typing key, else the
    // fallback table of ANSI keys; Shift added when the key needs it. None when unresolved. Command with a
    // character key and without Control becomes Control, as Linux applications bind their shortcuts.
    std::optional<KeyStroke> resolve(const Shortcut& shortcut) const;

  private:
    void post(const EventList& events, EventTap tap);
    Point pointer() const;
    void handlePinch(const TrackpadProtocol::Gesture::Pinch& pinch, double now);
    void openPinch(bool hasBegan);
    void applyMagnification(double magnification);
    void endPinch(double magnification, double now);
    void handleSwipe(const TrackpadProtocol::Gesture::SwipeTracking& swipe, double now);
    void applySwipeChange(double dx, double dy, double now);
    void releaseSwipe(double now, bool withVelocity);
    TrackedSwipeStyle styleFor(std::uint8_t fingers, SwipeDirection direction) const;
    double progress(double travel, bool mirrored) const;
    double releaseVelocity(const TrackedSwipe& swipe, double now) const;
    EventList dockEvents(GesturePhaseValue phase, bool vertical, double progress, double velocity) const;
    void postDockSwipe(GesturePhaseValue phase, bool vertical, double progress, double velocity, bool resend);

    GestureMapping mapping_;
    Configuration configuration_;
    DockSwipeRecipe dockSwipeRecipe_;
    GestureEventPoster& poster_;
    const SystemShortcutSource& systemShortcuts_;
    const KeyboardLayout& keyboardLayout_;
    std::function<std::optional<Point>()> cursorLocation_;
    std::function<double()> clock_;
    std::function<double(std::optional<Point>)> spaceSwipeOffset_;
    std::function<bool(SystemAction)> dockGestureEnabled_;
    GestureScheduler& scheduler_;
    SystemPower& power_;
    std::optional<Pinch> pinch_;
    std::optional<double> lastPinchEnd_;
    TrackpadProtocol::PinchSequencer pinchSequencer_;
    TrackpadProtocol::SwipeSequencer swipeSequencer_;
    std::unordered_map<DeviceID, DeviceSequences> deviceSequences_;
    std::optional<TrackedSwipe> trackedSwipe_;
    int dockSwipeGeneration_ = 0;
    // Scheduled resends hold this weakly: they do nothing once the engine is gone.
    std::shared_ptr<GestureEngine*> self_;
};

}  // namespace Gestures
