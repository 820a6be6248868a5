#include "gestures/GestureEngine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>

#include "injector/InputEvent.h"
#include "platform/Executor.h"
#include "platform/Log.h"
#include "protocol/messages/Overloaded.h"

namespace Gestures {
namespace {

using TrackpadProtocol::Gesture;
using TrackpadProtocol::GesturePhase;
using TrackpadProtocol::KeyCombination;

constexpr std::int64_t tag = Injector::injectedEventTag;

const platform::Logger& log() {
    static const platform::Logger logger("dev.quelmar.trackpad.mac", "gestures");
    return logger;
}

// Characters of the ANSI keys, without Shift and with it.
const std::map<std::string, KeyResult>& fallbackKeys() {
    static const std::map<std::string, KeyResult> table = [] {
        struct Row {
            std::uint16_t code;
            const char* plain;
            const char* shifted;
        };
        constexpr Row rows[] = {{50, "`", "~"}, {27, "-", "_"},  {24, "=", "+"}, {33, "[", "{"},
                                {30, "]", "}"}, {42, "\\", "|"}, {41, ";", ":"}, {39, "'", "\""},
                                {43, ",", "<"}, {47, ".", ">"},  {44, "/", "?"}};
        std::map<std::string, KeyResult> keys;
        for (const Row& row : rows) {
            keys.emplace(row.plain, KeyResult{row.code, false});
            keys.emplace(row.shifted, KeyResult{row.code, true});
        }
        return keys;
    }();
    return table;
}

// Keys that type a character (letters, digits, punctuation), by virtual key code: everything below
// Delete (51) but Return (36), Tab (48) and Space (49).
bool isCharacterKey(std::uint16_t keyCode) {
    return keyCode < 51 && keyCode != 36 && keyCode != 48 && keyCode != 49;
}

// Command with a character key is an application's shortcut (copy, paste, undo, close, zoom), which
// Linux applications bind to Control; Super, which carries Command, belongs to the desktop. With Control
// held as well, or with any other key, the combination is the desktop's and keeps Super.
KeyStroke forLinuxApplications(KeyStroke stroke) {
    if (stroke.modifiers.contains(Modifiers::command) && !stroke.modifiers.contains(Modifiers::control) &&
        isCharacterKey(stroke.keyCode)) {
        stroke.modifiers.remove(Modifiers::command);
        stroke.modifiers.insert(Modifiers::control);
    }
    return stroke;
}

Modifiers flagsOf(KeyCombination::Modifiers modifiers) {
    Modifiers flags;
    if (modifiers.contains(KeyCombination::Modifiers::command)) {
        flags.insert(Modifiers::command);
    }
    if (modifiers.contains(KeyCombination::Modifiers::shift)) {
        flags.insert(Modifiers::shift);
    }
    if (modifiers.contains(KeyCombination::Modifiers::option)) {
        flags.insert(Modifiers::option);
    }
    if (modifiers.contains(KeyCombination::Modifiers::control)) {
        flags.insert(Modifiers::control);
    }
    return flags;
}

}  // namespace

void MainQueueGestureScheduler::schedule(double delay, std::function<void()> work) {
    const double seconds = std::isfinite(delay) ? std::max(delay, 0.0) : 0.0;
    executor_.schedule(std::chrono::microseconds(static_cast<std::int64_t>(seconds * 1e6)), std::move(work));
}

GestureEngine::GestureEngine(GestureMapping mapping, Configuration configuration, GestureEventPoster& poster,
                             const SystemShortcutSource& systemShortcuts,
                             const KeyboardLayout& keyboardLayout,
                             std::function<std::optional<Point>()> cursorLocation,
                             std::function<double()> clock, DockSwipeRecipe dockSwipeRecipe,
                             std::function<double(std::optional<Point>)> spaceSwipeOffset,
                             std::function<bool(SystemAction)> dockGestureEnabled,
                             GestureScheduler& scheduler, SystemPower& power)
    : mapping_(std::move(mapping)),
      configuration_(std::move(configuration)),
      dockSwipeRecipe_(dockSwipeRecipe),
      poster_(poster),
      systemShortcuts_(systemShortcuts),
      keyboardLayout_(keyboardLayout),
      cursorLocation_(std::move(cursorLocation)),
      clock_(std::move(clock)),
      spaceSwipeOffset_(std::move(spaceSwipeOffset)),
      dockGestureEnabled_(std::move(dockGestureEnabled)),
      scheduler_(scheduler),
      power_(power),
      self_(std::make_shared<GestureEngine*>(this)) {}

std::vector<Message> GestureEngine::sequence(const Message& message, const DeviceID& device) {
    if (const auto* g = message.as<Message::Gesture>()) {
        if (const auto* pinch = std::get_if<Gesture::Pinch>(&g->gesture.kind)) {
            if (!std::isfinite(pinch->magnification)) {
                return {};
            }
            return deviceSequences_[device].pinch.process(message);
        }
        if (const auto* swipe = std::get_if<Gesture::SwipeTracking>(&g->gesture.kind)) {
            if (!std::isfinite(swipe->dx) || !std::isfinite(swipe->dy)) {
                return {};
            }
            return deviceSequences_[device].swipe.process(message);
        }
    }
    return {message};
}

bool GestureEngine::handle(const Message& message) {
    if (const auto* g = message.as<Message::Gesture>()) {
        std::visit(
            TrackpadProtocol::Overloaded{
                [&](const Gesture::Swipe& swipe) {
                    perform(mapping_.action(swipe.fingers, swipe.direction));
                },
                [&](const Gesture::Pinch& pinch) {
                    if (!std::isfinite(pinch.magnification)) {
                        return;
                    }
                    const double now = clock_();
                    for (const Message& released : pinchSequencer_.process(message)) {
                        const auto* inner = released.as<Message::Gesture>();
                        const auto* p = inner ? std::get_if<Gesture::Pinch>(&inner->gesture.kind) : nullptr;
                        if (p != nullptr && std::isfinite(p->magnification)) {
                            handlePinch(*p, now);
                        }
                    }
                },
                [&](const Gesture::SwipeTracking& swipe) {
                    if (!std::isfinite(swipe.dx) || !std::isfinite(swipe.dy)) {
                        return;
                    }
                    const double now = clock_();
                    for (const Message& released : swipeSequencer_.process(message)) {
                        const auto* inner = released.as<Message::Gesture>();
                        const auto* s =
                            inner ? std::get_if<Gesture::SwipeTracking>(&inner->gesture.kind) : nullptr;
                        if (s != nullptr && std::isfinite(s->dx) && std::isfinite(s->dy)) {
                            handleSwipe(*s, now);
                        }
                    }
                },
                [&](const Gesture::Tap&) {},
            },
            g->gesture.kind);
        return true;
    }
    if (const auto* combination = message.as<Message::KeyCombination>()) {
        const Modifiers flags = flagsOf(combination->combination.modifiers);
        const Shortcut::Key key = std::visit(
            TrackpadProtocol::Overloaded{
                [](const KeyCombination::Code& code) -> Shortcut::Key { return Shortcut::Code{code.code}; },
                [](const KeyCombination::Character& c) -> Shortcut::Key {
                    return Shortcut::Character{c.character};
                },
            },
            combination->combination.key);
        perform(GestureAction::shortcut(Shortcut{key, flags}));
        return true;
    }
    if (const auto* text = message.as<Message::Text>()) {
        if (!TrackpadProtocol::isValidUTF8(text->text)) {
            log().notice("Text from the phone is not valid UTF-8; nothing was typed.");
            return true;
        }
        post(makeTextEvents(text->text, tag), EventTap::hid);
        return true;
    }
    if (const auto* quick = message.as<Message::QuickAction>()) {
        const QuickActionEffect effect(quick->action);
        if (const auto* press = std::get_if<QuickActionEffect::KeyPress>(&effect.value)) {
            perform(press->action);
        } else if (std::holds_alternative<QuickActionEffect::LockSession>(effect.value)) {
            if (!power_.lockSession()) {
                log().notice("The request to lock the screen could not be sent.");
            }
        } else if (!power_.sleep()) {
            log().notice("The sleep request was not accepted.");
        }
        return true;
    }
    return false;
}

std::optional<KeyStroke> GestureEngine::resolve(const Shortcut& shortcut) const {
    if (const auto* code = std::get_if<Shortcut::Code>(&shortcut.key)) {
        return forLinuxApplications(KeyStroke{code->code, shortcut.modifiers});
    }
    const std::string& character = std::get<Shortcut::Character>(shortcut.key).character;
    std::optional<KeyResult> found = keyboardLayout_.menuKeyEquivalent(character, shortcut.modifiers);
    if (!found) {
        found = keyboardLayout_.keyCode(character);
    }
    if (!found) {
        if (const auto fallback = fallbackKeys().find(character); fallback != fallbackKeys().end()) {
            found = fallback->second;
        }
    }
    if (!found) {
        return std::nullopt;
    }
    return forLinuxApplications(
        KeyStroke{found->keyCode, found->shift ? shortcut.modifiers | Modifiers::shift : shortcut.modifiers});
}

bool GestureEngine::perform(const GestureAction& action) {
    EventList events;
    EventTap tap = EventTap::hid;
    if (const auto* system = std::get_if<GestureAction::System>(&action.value)) {
        const std::optional<KeyStroke> stroke = systemShortcuts_.keyStroke(system->action);
        if (!stroke) {
            return false;
        }
        events = makeKeyStrokeEvents(stroke->keyCode, stroke->modifiers, tag);
    } else if (const auto* shortcut = std::get_if<GestureAction::ShortcutAction>(&action.value)) {
        const std::optional<KeyStroke> stroke = resolve(shortcut->shortcut);
        if (!stroke) {
            return false;
        }
        events = makeKeyStrokeEvents(stroke->keyCode, stroke->modifiers, tag);
    } else if (const auto* navigation = std::get_if<GestureAction::NavigationSwipe>(&action.value)) {
        events = makeNavigationSwipeEvents(navigation->direction, pointer());
        tap = EventTap::session;
    } else {
        return false;
    }
    post(events, tap);
    return !events.empty();
}

void GestureEngine::post(const EventList& events, EventTap tap) {
    poster_.postAll(events, tap);
}

Point GestureEngine::pointer() const {
    const std::optional<Point> location = cursorLocation_ ? cursorLocation_() : std::nullopt;
    return location.value_or(Point{0, 0});
}

// ---- Pinch ---------------------------------------------------------------------------------------------

void GestureEngine::openPinch(bool hasBegan) {
    pinch_ = Pinch{mapping_.pinch, 0, hasBegan};
    if (std::holds_alternative<PinchAction::Magnify>(pinch_->action.value)) {
        poster_.post(makeMagnifyEvent(GesturePhaseValue::began, 0, pointer()), EventTap::session);
    }
}

void GestureEngine::applyMagnification(double m) {
    if (!pinch_) {
        return;
    }
    if (std::holds_alternative<PinchAction::Magnify>(pinch_->action.value)) {
        if (m != 0) {
            poster_.post(makeMagnifyEvent(GesturePhaseValue::changed, m, pointer()), EventTap::session);
        }
        return;
    }
    const auto* shortcuts = std::get_if<PinchAction::Shortcuts>(&pinch_->action.value);
    if (shortcuts == nullptr || !(shortcuts->step > 0) || !std::isfinite(shortcuts->step)) {
        return;
    }
    const double step = shortcuts->step;
    double pending = pinch_->pending + m;
    for (int steps = 0; std::fabs(pending) >= step && steps < configuration_.maximumZoomStepsPerFrame;
         ++steps) {
        if (const std::optional<KeyStroke> stroke =
                resolve(pending > 0 ? shortcuts->zoomIn : shortcuts->zoomOut)) {
            post(makeKeyStrokeEvents(stroke->keyCode, stroke->modifiers, tag), EventTap::hid);
        }
        pending += pending > 0 ? -step : step;
    }
    pinch_->pending = std::fmod(pending, step);
}

void GestureEngine::endPinch(double m, double now) {
    if (!pinch_) {
        lastPinchEnd_ = now;
        return;
    }
    if (m != 0) {
        applyMagnification(m);
    }
    if (std::holds_alternative<PinchAction::Magnify>(pinch_->action.value)) {
        poster_.post(makeMagnifyEvent(GesturePhaseValue::ended, 0, pointer()), EventTap::session);
    }
    pinch_.reset();
    lastPinchEnd_ = now;
}

void GestureEngine::handlePinch(const Gesture::Pinch& message, double now) {
    const double m = message.magnification;
    switch (message.phase) {
        case GesturePhase::began:
            // A sequencer supplies an unstamped, empty began before a change that finds no pinch open;
            // inside the late window that change is a late frame of the pinch that just ended, and the
            // began it brought must not open a new pinch for it.
            if (!pinch_ && !message.stamp && m == 0 && lastPinchEnd_ &&
                now - *lastPinchEnd_ <= configuration_.latePinchFrameWindow) {
                return;
            }
            if (!pinch_) {
                openPinch(true);
            } else if (!pinch_->hasBegan) {
                pinch_->hasBegan = true;
            } else {
                if (std::holds_alternative<PinchAction::Magnify>(pinch_->action.value)) {
                    poster_.post(makeMagnifyEvent(GesturePhaseValue::ended, 0, pointer()), EventTap::session);
                }
                openPinch(true);
            }
            if (m != 0) {
                applyMagnification(m);
            }
            return;
        case GesturePhase::changed:
            if (!pinch_) {
                if (lastPinchEnd_ && now - *lastPinchEnd_ <= configuration_.latePinchFrameWindow) {
                    return;
                }
                openPinch(false);
            }
            applyMagnification(m);
            return;
        case GesturePhase::ended:
            if (pinch_) {
                endPinch(m, now);
            }
            return;
    }
}

// ---- Lifecycle -----------------------------------------------------------------------------------------

void GestureEngine::reset(const std::optional<DeviceID>& device) {
    if (device) {
        if (const auto found = deviceSequences_.find(*device); found != deviceSequences_.end()) {
            found->second.pinch.finish();
            found->second.swipe.finish();
        }
    }
    pinchSequencer_.finish();
    swipeSequencer_.finish();
    const double now = clock_();
    if (trackedSwipe_) {
        releaseSwipe(now, false);
    }
    ++dockSwipeGeneration_;
    endPinch(0, now);
}

void GestureEngine::retainDevices(const std::unordered_set<DeviceID>& devices) {
    std::erase_if(deviceSequences_, [&](const auto& entry) { return !devices.contains(entry.first); });
}

void GestureEngine::forgetDevice(const DeviceID& device) {
    deviceSequences_.erase(device);
}

}  // namespace Gestures
