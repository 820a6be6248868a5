#include "gestures/SystemGestureEvents.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <array>
#include <bit>
#include <cstring>

#include "injector/HIDEventPoster.h"
#include "platform/Executor.h"

namespace Gestures {
namespace {

using Injector::EventField;
using Injector::EventType;

constexpr auto userDataField = EventField::eventSourceUserData;

struct ModifierKey {
    Modifiers flag;
    std::uint16_t keyCode;
};
constexpr std::array<ModifierKey, 4> modifierKeys = {{{Modifiers::control, KeyCode::control},
                                                      {Modifiers::option, KeyCode::option},
                                                      {Modifiers::shift, KeyCode::shift},
                                                      {Modifiers::command, KeyCode::command}}};

InputEvent keyEvent(EventType type, std::uint16_t keyCode, std::uint64_t flags, std::int64_t userData) {
    InputEvent event = InputEvent::keyboard(type, keyCode, flags);
    event.setIntegerField(userDataField, userData);
    return event;
}

bool isLineBreak(char32_t scalar) {
    return (scalar >= 0x0A && scalar <= 0x0D) || scalar == 0x85 || scalar == 0x2028 || scalar == 0x2029;
}

EventField field(std::uint32_t number) {
    return static_cast<EventField>(number);
}

}  // namespace

std::int64_t eventFieldValue(GesturePhaseValue phase) {
    return std::int64_t{1} << static_cast<int>(phase);
}

EventList makeKeyStrokeEvents(std::uint16_t keyCode, Modifiers flags, std::int64_t userData) {
    EventList events;
    // A key without a Linux counterpart (Fn, some JIS keys) would leave its modifiers pressed and
    // released alone, and a lone Super opens the desktop's overview or launcher.
    if (!KeyCode::evdevKeyCode(keyCode)) {
        return events;
    }
    std::uint64_t accumulator = 0;
    std::vector<ModifierKey> pressed;
    for (const ModifierKey& key : modifierKeys) {
        if (flags.contains(key.flag)) {
            accumulator |= key.flag.rawValue;
            events.push_back(keyEvent(EventType::flagsChanged, key.keyCode, accumulator, userData));
            pressed.push_back(key);
        }
    }
    const std::uint64_t keyFlags = flags.rawValue | KeyCode::eventFlags(keyCode);
    events.push_back(keyEvent(EventType::keyDown, keyCode, keyFlags, userData));
    events.push_back(keyEvent(EventType::keyUp, keyCode, keyFlags, userData));
    for (auto key = pressed.rbegin(); key != pressed.rend(); ++key) {
        accumulator &= ~key->flag.rawValue;
        events.push_back(keyEvent(EventType::flagsChanged, key->keyCode, accumulator, userData));
    }
    return events;
}

std::vector<std::u16string> utf16Chunks(const std::u32string& character) {
    std::vector<std::u16string> chunks;
    std::u16string chunk;
    for (const char32_t scalar : character) {
        std::u16string units;
        if (scalar >= 0x10000) {
            units += char16_t(0xD800 + ((scalar - 0x10000) >> 10));
            units += char16_t(0xDC00 + ((scalar - 0x10000) & 0x3FF));
        } else {
            units += char16_t(scalar);
        }
        if (!chunk.empty() && chunk.size() + units.size() > 20) {
            chunks.push_back(chunk);
            chunk.clear();
        }
        chunk += units;
    }
    if (!chunk.empty()) {
        chunks.push_back(chunk);
    }
    return chunks;
}

EventList makeTextEvents(const std::string& text, std::int64_t userData) {
    EventList events;
    const icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> characters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) {
        return events;
    }
    characters->setText(unicode);
    for (std::int32_t start = characters->first(), end = characters->next(); end != icu::BreakIterator::DONE;
         start = end, end = characters->next()) {
        std::u32string scalars;
        for (std::int32_t i = start; i < end;) {
            const UChar32 scalar = unicode.char32At(i);
            scalars += char32_t(scalar);
            i += U16_LENGTH(scalar);
        }
        if (scalars.empty()) {
            continue;
        }
        if (isLineBreak(scalars.front())) {
            const EventList stroke = makeKeyStrokeEvents(KeyCode::returnKey, Modifiers{}, userData);
            events.insert(events.end(), stroke.begin(), stroke.end());
        } else if (scalars.front() == U'\t') {
            const EventList stroke = makeKeyStrokeEvents(KeyCode::tab, Modifiers{}, userData);
            events.insert(events.end(), stroke.begin(), stroke.end());
        } else if (std::any_of(scalars.begin(), scalars.end(),
                               [](char32_t s) { return u_charType(UChar32(s)) != U_CONTROL_CHAR; })) {
            for (const std::u16string& chunk : utf16Chunks(scalars)) {
                for (const EventType type : {EventType::keyDown, EventType::keyUp}) {
                    InputEvent event = keyEvent(type, 0, 0, userData);
                    event.unicodeText = chunk;
                    events.push_back(std::move(event));
                }
            }
        }
    }
    return events;
}

InputEvent makeGestureEvent(EventType type, const std::map<std::uint32_t, std::int64_t>& integers,
                            const std::map<std::uint32_t, double>& doubles, Point location) {
    InputEvent event;
    event.type = type;
    event.location = location;
    for (const auto& [number, value] : integers) {
        event.setIntegerField(field(number), value);
    }
    for (const auto& [number, value] : doubles) {
        event.setDoubleField(field(number), value);
    }
    return event;
}

EventList makeNavigationSwipeEvents(NavigationDirection direction, Point location) {
    return {makeGestureEvent(EventType::gesture,
                             {{110, 16}, {115, direction == NavigationDirection::back ? 4 : 8}, {132, 1}}, {},
                             location),
            makeGestureEvent(EventType::gesture, {{110, 16}, {115, 0}, {132, 4}}, {}, location)};
}

InputEvent makeMagnifyEvent(GesturePhaseValue phase, double magnification, Point location) {
    return makeGestureEvent(EventType::gesture, {{110, 8}, {132, eventFieldValue(phase)}},
                            {{113, magnification}}, location);
}

EventList makeLegacyDockSwipeEvents(GesturePhaseValue phase, bool vertical, double progress, double velocity,
                                    Point location) {
    const std::uint32_t motion = vertical ? 2 : 1;
    const double motionBits = double(std::bit_cast<float>(motion));
    const bool ending = phase == GesturePhaseValue::ended || phase == GesturePhaseValue::cancelled;
    const double endVelocity = ending ? velocity : 0.0;
    const std::int64_t phaseValue = eventFieldValue(phase);
    const InputEvent dock =
        makeGestureEvent(EventType::dockControl,
                         {{41, 33231},
                          {110, 23},
                          {132, phaseValue},
                          {134, phaseValue},
                          {135, std::int64_t(std::bit_cast<std::uint32_t>(static_cast<float>(progress)))},
                          {136, 0}},
                         {{119, motionBits},
                          {123, double(motion)},
                          {124, progress},
                          {129, endVelocity},
                          {130, endVelocity},
                          {139, motionBits},
                          {165, double(motion)}},
                         location);
    return {dock, makeGestureEvent(EventType::gesture, {{41, 33231}}, {}, location)};
}

DockSwipeRecipe currentDockSwipeRecipe() {
    return DockSwipeRecipe::unavailable;
}

namespace SpacesLayout {
std::optional<int> spaceCount(std::optional<Point>) {
    return std::nullopt;
}
double spaceSwipeOffset(std::optional<int> count) {
    if (!count || *count < 2) {
        return 2.0;
    }
    return 1.0 / double(*count - 1) + 1.0;
}
double spaceSwipeOffset(std::optional<Point> point) {
    return spaceSwipeOffset(spaceCount(point));
}
}  // namespace SpacesLayout

namespace DockGesturePreferences {
bool isEnabled(SystemAction action, std::optional<bool> stored) {
    switch (action) {
        case SystemAction::missionControl:
            return stored.value_or(true);
        case SystemAction::applicationWindows:
            return stored.value_or(false);
        default:
            return true;
    }
}
}  // namespace DockGesturePreferences

SystemGestureEventPoster::SystemGestureEventPoster(const std::string& displayName,
                                                   platform::Executor* executor,
                                                   std::shared_ptr<Injector::XTestKeyboard> keyboard)
    : poster_(std::make_unique<Injector::HIDEventPoster>(displayName, Injector::HIDEventPoster::Options{},
                                                         std::move(keyboard))),
      executor_(executor),
      alive_(std::make_shared<bool>(true)) {}

SystemGestureEventPoster::~SystemGestureEventPoster() = default;

void SystemGestureEventPoster::post(const InputEvent& event, EventTap) {
    poster_->post(event);
    if (!event.unicodeText.empty()) {
        scheduleSettle();
    }
}

void SystemGestureEventPoster::scheduleSettle() {
    if (executor_ == nullptr || settleScheduled_) {
        return;
    }
    settleScheduled_ = true;
    executor_->schedule(std::chrono::seconds(1), [this, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.lock()) {
            settleScheduled_ = false;
            if (poster_->restoreSettledBindings()) {
                scheduleSettle();
            }
        }
    });
}

void SystemGestureEventPoster::postAll(const EventList& events, EventTap) {
    poster_->post(events);
    if (std::any_of(events.begin(), events.end(),
                    [](const InputEvent& event) { return !event.unicodeText.empty(); })) {
        scheduleSettle();
    }
}

void SystemGestureEventPoster::setSource(const std::optional<TrackpadProtocol::UUID>& device) {
    poster_->setSource(device);
}

void SystemGestureEventPoster::dropSource(const TrackpadProtocol::UUID& device) {
    poster_->dropSource(device);
}

void SystemGestureEventPoster::retainSources(const std::unordered_set<TrackpadProtocol::UUID>& devices) {
    poster_->retainSources(devices);
}

bool SystemGestureEventPoster::isAvailable() const {
    return poster_->isAvailable();
}

void SystemGestureEventPoster::settle() {
    poster_->settleKeyboard();
}

void SystemGestureEventPoster::sync() {
    poster_->sync();
}

}  // namespace Gestures
