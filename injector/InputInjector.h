#pragma once
// Turns the phone's pointer messages into posted input events: pointer motion paced into frames with
// its fractions kept, clicks with their click state, drags, scrolls with their phases and media keys;
// orders each phone's positioned messages and keeps a phone that lost control from disturbing the
// one that has it; notices a shaken pointer.
//
// Thread: the executor's thread (the main queue); the frame timer runs there too.
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "injector/EventPoster.h"
#include "injector/PointerEvents.h"
#include "injector/PointerShakeDetector.h"
#include "injector/ScreenGeometry.h"
#include "platform/Executor.h"
#include "platform/Log.h"
#include "protocol/input/PointerFrameAccumulator.h"
#include "protocol/input/PointerSequencer.h"
#include "protocol/input/PointerTimingRecorder.h"
#include "protocol/messages/Message.h"

namespace Injector {

class InputInjector {
  public:
    struct Configuration {
        // The defaults are the values the application passes, except the double-click interval, which
        // the application takes from the desktop's settings.
        Configuration(double doubleClickInterval = 0.4, double tapSequenceTimeout = 2.0,
                      double resyncInterval = 0.1, double frameInterval = 1.0 / 120.0,
                      double maxMoveDelay = 1.0 / 60.0, bool debugTimingEnabled = false,
                      double handoffGrace = 0.5, PointerShakeDetector::Configuration shake = {});

        double doubleClickInterval;
        double tapSequenceTimeout;
        // Idle time after which the displays and the pointer location are read again.
        double resyncInterval;
        double frameInterval;
        double maxMoveDelay;
        bool debugTimingEnabled;
        // How long datagrams of a phone that lost control are still dropped; never negative.
        double handoffGrace;
        PointerShakeDetector::Configuration shake;
        friend bool operator==(const Configuration&, const Configuration&) = default;
    };

    using ScrollState = Injector::ScrollState;
    using Message = TrackpadProtocol::Message;
    using DeviceID = TrackpadProtocol::UUID;
    using Clock = std::function<double()>;

    // `clock` gives seconds of system uptime. The poster, geometry and executor must outlive the
    // injector.
    InputInjector(EventPoster& poster, ScreenGeometry& screen, platform::Executor& executor,
                  Configuration configuration, Clock clock);
    ~InputInjector();
    InputInjector(const InputInjector&) = delete;
    InputInjector& operator=(const InputInjector&) = delete;

    // Applies one message: true for the pointer and media cases it owns (move, tap, drag, scroll,
    // right click, media command, positioned), false, with no effect, for every other case.
    bool handle(const Message& message);
    // Posts pending motion, releases a held button, ends a running scroll and forgets the click
    // sequence, the shake and the timing statistics. Per-device state survives.
    void reset();

    // The messages of this phone to apply now, in order; possibly none.
    std::vector<Message> sequence(const Message& message, const DeviceID& device);
    void setInputController(const DeviceID& device);
    void forgetDevice(const DeviceID& device);
    void retainDevices(const std::unordered_set<DeviceID>& devices);

    // Switches the timing log.
    bool debugTimingEnabled;
    // Called after a message whose move completed a shake.
    std::function<void()> onShake;

    const Configuration& configuration() const { return configuration_; }
    bool pacesFrames() const { return pacesFrames_; }
    const std::optional<DeviceID>& inputController() const { return inputController_; }
    // The pointer state: location, displays, held button, click sequence, scroll state.
    const PointerEventBuilder& pointer() const { return pointer_; }

  private:
    void recordArrival(float dx, float dy, double now);
    void resyncIfNeeded(double now);
    // The events of one item released by the frame accumulator.
    EventList build(const Message& item, double now);
    void post(const EventList& events);
    void scheduleFrame();
    void frameTimerFired(double due);
    void cancelFrameTimer();
    void logTiming(const char* prefix, const TrackpadProtocol::PointerTimingRecorder::Report& report);

    Configuration configuration_;
    EventPoster& poster_;
    ScreenGeometry& screen_;
    platform::Executor& executor_;
    Clock clock_;
    bool pacesFrames_;
    TrackpadProtocol::PointerSequencer pointerSequencer_;
    std::unordered_map<DeviceID, TrackpadProtocol::PointerSequencer> devicePointerSequencers_;
    std::optional<DeviceID> inputController_;
    std::unordered_map<DeviceID, double> handoffTimes_;
    TrackpadProtocol::PointerFrameAccumulator frameAccumulator_;
    std::optional<platform::Executor::TimerID> frameTimer_;
    TrackpadProtocol::PointerTimingRecorder arrivalTimingRecorder_;
    TrackpadProtocol::PointerTimingRecorder postTimingRecorder_;
    std::optional<double> lastActivity_;
    PointerEventBuilder pointer_;
    PointerShakeDetector shakeDetector_;
    std::optional<platform::Logger> pointerTimingLog_;
    // A timer callback already on its way when the injector goes finds this expired.
    std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace Injector
