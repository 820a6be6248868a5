#include "injector/InputInjector.h"

#include <chrono>
#include <cmath>
#include <string>

#include "injector/MediaKeys.h"
#include "platform/InputArrival.h"

namespace Injector {
namespace {

using TrackpadProtocol::Message;

constexpr double timingReportInterval = 1.0;
constexpr double timingLongGap = 0.025;
constexpr auto frameTimerLeeway = std::chrono::microseconds(500);

double sanitizedGrace(double grace) {
    if (!std::isfinite(grace)) {
        return 0.5;
    }
    return grace < 0 ? 0 : grace;
}

}  // namespace

InputInjector::Configuration::Configuration(double doubleClickInterval, double tapSequenceTimeout,
                                            double resyncInterval, double frameInterval, double maxMoveDelay,
                                            bool debugTimingEnabled, double handoffGrace,
                                            PointerShakeDetector::Configuration shake)
    : doubleClickInterval(doubleClickInterval),
      tapSequenceTimeout(tapSequenceTimeout),
      resyncInterval(resyncInterval),
      frameInterval(frameInterval),
      maxMoveDelay(maxMoveDelay),
      debugTimingEnabled(debugTimingEnabled),
      handoffGrace(sanitizedGrace(handoffGrace)),
      shake(shake) {}

InputInjector::InputInjector(EventPoster& poster, ScreenGeometry& screen, platform::Executor& executor,
                             Configuration configuration, Clock clock)
    : debugTimingEnabled(configuration.debugTimingEnabled),
      configuration_(configuration),
      poster_(poster),
      screen_(screen),
      executor_(executor),
      clock_(std::move(clock)),
      // Only the system poster needs pacing; a test poster may ask for it to exercise it.
      pacesFrames_(configuration.frameInterval > 0 && poster.pacesMotion()),
      frameAccumulator_(configuration.frameInterval, configuration.maxMoveDelay),
      arrivalTimingRecorder_(timingReportInterval, timingLongGap, clock_),
      postTimingRecorder_(timingReportInterval, timingLongGap, clock_),
      pointer_(configuration.doubleClickInterval, configuration.tapSequenceTimeout),
      shakeDetector_(configuration.shake) {}

InputInjector::~InputInjector() {
    cancelFrameTimer();
}

bool InputInjector::handle(const Message& message) {
    if (message.is<Message::Positioned>()) {
        for (const Message& released : pointerSequencer_.accept(message)) {
            handle(released);
        }
        return true;
    }
    const double current = clock_();
    // Motion is paced from when it reached the machine, so the time it waited to be read and routed
    // belongs to its frame. A stamp from another clock, or older than a second, is not used.
    double now = current;
    if (const std::optional<double> arrival = platform::inputArrivalTime();
        arrival && *arrival <= current && *arrival >= current - 1.0) {
        now = *arrival;
    }
    if (const auto* media = message.as<Message::MediaCommand>()) {
        // Media keys neither flush paced motion nor touch the pointer state.
        if (const std::optional<std::uint8_t> index = mediaKeyIndex(media->command)) {
            if (std::optional<InputEvent> down = makeMediaKeyEvent(true, injectedEventTag, *index)) {
                if (std::optional<InputEvent> up = makeMediaKeyEvent(false, injectedEventTag, *index)) {
                    poster_.post(*down);
                    poster_.post(*up);
                }
            }
        }
        return true;
    }
    if (!message.is<Message::Move>() && !message.is<Message::Tap>() && !message.is<Message::Drag>() &&
        !message.is<Message::Scroll>() && !message.is<Message::RightClick>()) {
        return false;
    }

    bool shake = false;
    if (const auto* move = message.as<Message::Move>()) {
        recordArrival(move->dx, move->dy, now);
        if (pointer_.leftButtonHeld) {
            shakeDetector_.reset();
        } else {
            shake = shakeDetector_.observe(double(move->dx), double(move->dy), now);
        }
    } else if (const auto* drag = message.as<Message::Drag>(); drag && drag->phase == DragPhase::changed) {
        recordArrival(drag->dx, drag->dy, now);
        shakeDetector_.reset();
    } else {
        shakeDetector_.reset();
    }

    resyncIfNeeded(now);
    lastActivity_ = now;
    std::vector<Message> items = frameAccumulator_.add(message, now);
    if (!pacesFrames_ && frameAccumulator_.releaseTime()) {
        // Without pacing every delta goes out at once.
        frameAccumulator_.release(now, items);
    }
    for (const Message& item : items) {
        post(build(item, now));
    }
    scheduleFrame();
    // Last, so that a handler that resets the injector finds it in a settled state.
    if (shake && onShake) {
        onShake();
    }
    return true;
}

void InputInjector::recordArrival(float dx, float dy, double now) {
    if (!debugTimingEnabled || !std::isfinite(dx) || !std::isfinite(dy) || (dx == 0 && dy == 0)) {
        return;
    }
    if (auto report = arrivalTimingRecorder_.record(now)) {
        logTiming("pointer arrival ", *report);
    }
}

void InputInjector::logTiming(const char* prefix,
                              const TrackpadProtocol::PointerTimingRecorder::Report& report) {
    if (!pointerTimingLog_) {
        pointerTimingLog_.emplace("com.obun.Zentrova", "PointerTiming");
    }
    pointerTimingLog_->info(prefix + report.description());
}

void InputInjector::resyncIfNeeded(double now) {
    if (pointer_.location && lastActivity_ && now - *lastActivity_ <= configuration_.resyncInterval) {
        return;
    }
    // Between bursts of phone input the pointer may have been moved by hand: continue from where it is.
    pointer_.displays = screen_.displays();
    // A location that is not a number counts as none: taken over, it would stop every move until
    // the next pause in the input.
    const std::optional<Point> location = screen_.cursorLocation();
    if (location && std::isfinite(location->x) && std::isfinite(location->y)) {
        pointer_.location = location;
    } else if (!pointer_.location) {
        pointer_.location = Point{0, 0};
    }
}

EventList InputInjector::build(const Message& item, double now) {
    if (const auto* move = item.as<Message::Move>()) {
        EventList events = pointer_.move(move->dx, move->dy);
        if (!events.empty() && debugTimingEnabled) {
            if (auto report = postTimingRecorder_.record(now)) {
                logTiming("pointer post ", *report);
            }
        }
        return events;
    }
    if (const auto* tap = item.as<Message::Tap>()) {
        return pointer_.click(tap->clickCount == 0 ? 1 : tap->clickCount, now);
    }
    if (const auto* drag = item.as<Message::Drag>()) {
        return pointer_.drag(drag->phase, drag->dx, drag->dy);
    }
    if (const auto* scroll = item.as<Message::Scroll>()) {
        return pointer_.scroll(scroll->phase, scroll->dx, scroll->dy);
    }
    if (item.is<Message::RightClick>()) {
        return pointer_.rightClick();
    }
    return {};
}

void InputInjector::post(const EventList& events) {
    for (const InputEvent& event : events) {
        poster_.post(event);
    }
}

void InputInjector::scheduleFrame() {
    if (pacesFrames_) {
        if (const std::optional<double> due = frameAccumulator_.releaseTime()) {
            if (frameTimer_) {
                return;
            }
            // Read now, not when the message came in: a resync before this asked the X server twice.
            double delay = *due - clock_();
            if (!std::isfinite(delay) || delay < 0) {
                delay = 0;
            }
            // A due time is at most a frame or two away; the bound only keeps the conversion defined.
            const auto micros = std::chrono::microseconds(std::llround(std::min(delay, 3600.0) * 1e6));
            std::weak_ptr<char> alive = alive_;
            const double dueTime = *due;
            frameTimer_ = executor_.schedule(
                micros,
                [this, alive, dueTime] {
                    if (!alive.expired()) {
                        frameTimerFired(dueTime);
                    }
                },
                frameTimerLeeway);
            return;
        }
    }
    cancelFrameTimer();
}

void InputInjector::frameTimerFired(double due) {
    frameTimer_.reset();
    const double now = clock_();
    std::vector<Message> items = frameAccumulator_.releaseIfDue(std::max(due, now));
    if (!items.empty()) {
        resyncIfNeeded(now);
        lastActivity_ = now;
        for (const Message& item : items) {
            post(build(item, now));
        }
    }
    scheduleFrame();
}

void InputInjector::cancelFrameTimer() {
    if (frameTimer_) {
        executor_.cancel(*frameTimer_);
        frameTimer_.reset();
    }
}

void InputInjector::reset() {
    cancelFrameTimer();
    const double now = clock_();
    const std::vector<Message> pending = frameAccumulator_.release(std::nullopt);
    frameAccumulator_.lastReleaseTime.reset();
    pointerSequencer_ = TrackpadProtocol::PointerSequencer{};
    shakeDetector_.reset();
    arrivalTimingRecorder_.reset();
    postTimingRecorder_.reset();
    EventList events;
    if (!pending.empty()) {
        resyncIfNeeded(now);
        lastActivity_ = now;
        for (const Message& item : pending) {
            append(events, build(item, now));
        }
    }
    pointer_.pointerDeltaX.remainder = 0;
    pointer_.pointerDeltaY.remainder = 0;
    if (pointer_.leftButtonHeld) {
        append(events, pointer_.releaseLeftButton());
    }
    append(events, pointer_.endScroll());
    pointer_.lastClick.reset();
    post(events);
}

}  // namespace Injector
