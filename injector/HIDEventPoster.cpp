#include "injector/HIDEventPoster.h"

#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <unordered_map>
#include <vector>

#include "injector/KeyVocabulary.h"
#include "injector/MediaKeys.h"
#include "injector/XConnection.h"
#include "injector/XTestKeyboard.h"

namespace Injector {
namespace {

constexpr std::uint8_t leftButton = 1;
constexpr std::uint8_t rightButton = 3;
constexpr std::uint8_t wheelUp = 4;
constexpr std::uint8_t wheelDown = 5;
constexpr std::uint8_t wheelLeft = 6;
constexpr std::uint8_t wheelRight = 7;

std::optional<xcb_keysym_t> keysymFor(std::uint8_t auxiliaryKey) {
    switch (static_cast<AuxiliaryKey>(auxiliaryKey)) {
        case AuxiliaryKey::soundUp:
            return XKB_KEY_XF86AudioRaiseVolume;
        case AuxiliaryKey::soundDown:
            return XKB_KEY_XF86AudioLowerVolume;
        case AuxiliaryKey::brightnessUp:
            return XKB_KEY_XF86MonBrightnessUp;
        case AuxiliaryKey::brightnessDown:
            return XKB_KEY_XF86MonBrightnessDown;
        case AuxiliaryKey::mute:
            return XKB_KEY_XF86AudioMute;
        case AuxiliaryKey::play:
            return XKB_KEY_XF86AudioPlay;
        case AuxiliaryKey::next:
            return XKB_KEY_XF86AudioNext;
        case AuxiliaryKey::previous:
            return XKB_KEY_XF86AudioPrev;
    }
    return std::nullopt;
}

std::int16_t toCoordinate(double value) {
    // Floor, not round: the position may lie anywhere up to one point short of a display's far edge,
    // and rounding could carry it off the display.
    return static_cast<std::int16_t>(std::clamp(std::floor(value), -32768.0, 32767.0));
}

}  // namespace

struct HIDEventPoster::Impl {
    struct Pixel {
        std::int16_t x;
        std::int16_t y;
        friend bool operator==(const Pixel&, const Pixel&) = default;
    };

    Impl(const std::string& displayName, Options options, std::shared_ptr<XTestKeyboard> keyboard);

    bool usable() const { return display.usable() && hasXTest; }
    void post(const InputEvent& event);
    void drainEvents();
    void fake(std::uint8_t type, std::uint8_t detail, std::int16_t x = 0, std::int16_t y = 0);
    void moveTo(Point location, bool always = false);
    bool pointerIsAt(Pixel pixel);
    void click(std::uint8_t button, int times);
    void scroll(const InputEvent& event);
    void mediaKey(const MediaKeyStroke& stroke);
    void keyboardEvent(const InputEvent& event);
    // What a keyboard record asks of the keyboard; none for a record that asks nothing.
    std::optional<XTestKeyboard::Step> keyboardStep(const InputEvent& event) const;
    // Whose queue and keys this poster's keyboard records are now.
    XTestKeyboard::Owner owner() const {
        return source ? static_cast<XTestKeyboard::Owner>(source->get())
                      : static_cast<XTestKeyboard::Owner>(this);
    }
    void gesture(const InputEvent& event);
    std::optional<xcb_keycode_t> keycodeFor(xcb_keysym_t keysym);

    Options options;
    // The exclusive hold's text goes to a client that reads keys late.
    bool lateReader = false;
    XConnection display;
    bool hasXTest = false;
    // Where this poster last put the pointer, and when it was last asked to move it.
    std::optional<Pixel> lastPixel;
    std::chrono::steady_clock::time_point lastMove{};
    // Scroll pixels not yet given as wheel clicks.
    double verticalPixels = 0;
    double horizontalPixels = 0;

    // Key codes found for keysyms, forgotten when the server's keyboard mapping changes.
    std::map<xcb_keysym_t, std::optional<xcb_keycode_t>> keycodes;
    std::shared_ptr<XTestKeyboard> keyboard;
    // The phones' owners on the keyboard, and the one of the phone whose events come now.
    std::unordered_map<TrackpadProtocol::UUID, std::shared_ptr<char>> sources;
    const std::shared_ptr<char>* source = nullptr;
};

HIDEventPoster::Impl::Impl(const std::string& displayName, Options given,
                           std::shared_ptr<XTestKeyboard> sharedKeyboard)
    : options(given), display(displayName), keyboard(std::move(sharedKeyboard)) {
    if (!std::isfinite(options.pixelsPerWheelClick) || options.pixelsPerWheelClick <= 0) {
        options.pixelsPerWheelClick = Options{}.pixelsPerWheelClick;
    }
    options.maximumWheelClicksPerEvent = std::max(options.maximumWheelClicksPerEvent, 0);
    if (!display.usable()) {
        return;
    }
    const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(display.get(), &xcb_test_id);
    hasXTest = xtest != nullptr && xtest->present != 0;
    if (hasXTest && !keyboard) {
        keyboard = std::make_shared<XTestKeyboard>(displayName);
    }
}

void HIDEventPoster::Impl::drainEvents() {
    // Errors of the unchecked XTEST requests arrive here too; they are dropped, as posting reports
    // nothing.
    while (xcb_generic_event_t* event = xcb_poll_for_event(display.get())) {
        if ((event->response_type & 0x7F) == XCB_MAPPING_NOTIFY) {
            keycodes.clear();
        }
        std::free(event);
    }
}

void HIDEventPoster::Impl::fake(std::uint8_t type, std::uint8_t detail, std::int16_t x, std::int16_t y) {
    xcb_test_fake_input(display.get(), type, detail, XCB_CURRENT_TIME,
                        type == XCB_MOTION_NOTIFY ? display.root() : XCB_NONE, x, y, 0);
}

bool HIDEventPoster::Impl::pointerIsAt(Pixel pixel) {
    const XReply<xcb_query_pointer_reply_t> reply(
        xcb_query_pointer_reply(display.get(), xcb_query_pointer(display.get(), display.root()), nullptr));
    return reply && reply->same_screen && reply->root_x == pixel.x && reply->root_y == pixel.y;
}

void HIDEventPoster::Impl::moveTo(Point location, bool always) {
    if (!std::isfinite(location.x) || !std::isfinite(location.y)) {
        return;
    }
    // X positions are whole pixels: a move within the pixel the pointer was put in gives no motion of
    // its own. For a button that is not enough: the user's mouse, or another client, may have moved the
    // pointer since, and the press must land where the event says. The server is asked where the
    // pointer is (one round trip) rather than sending a motion that clients would see. The same holds
    // for the first motion after a pause, when the user may have moved the pointer away and the phone
    // now moves it back.
    const Pixel pixel{toCoordinate(location.x), toCoordinate(location.y)};
    const auto now = std::chrono::steady_clock::now();
    const bool afterPause = now - lastMove > std::chrono::milliseconds(100);
    lastMove = now;
    if (pixel == lastPixel && (!(always || afterPause) || pointerIsAt(pixel))) {
        return;
    }
    lastPixel = pixel;
    fake(XCB_MOTION_NOTIFY, 0, pixel.x, pixel.y);
}

void HIDEventPoster::Impl::click(std::uint8_t button, int times) {
    for (int i = 0; i < times; ++i) {
        fake(XCB_BUTTON_PRESS, button);
        fake(XCB_BUTTON_RELEASE, button);
    }
}

void HIDEventPoster::Impl::scroll(const InputEvent& event) {
    if (event.wheel.units != ScrollEventUnit::pixel) {
        return;
    }
    // A new scroll gesture starts from whole clicks, so fractions of an earlier one do not leak in.
    if (event.integerField(EventField::scrollWheelEventScrollPhase) == 1) {
        verticalPixels = 0;
        horizontalPixels = 0;
    }
    const double perClick = options.pixelsPerWheelClick;
    const double cap = options.maximumWheelClicksPerEvent;
    const auto clicks = [&](double& pending, std::int32_t amount) {
        pending += amount;
        const double whole = std::trunc(pending / perClick);
        // A tiny click size can make the count overflow; what is beyond the cap is dropped either way,
        // and the carry must stay a number.
        if (!std::isfinite(whole)) {
            pending = 0;
            return static_cast<int>(whole > 0 ? cap : -cap);
        }
        pending -= whole * perClick;
        return static_cast<int>(std::clamp(whole, -cap, cap));
    };
    // Positive wheel 1 scrolls up and positive wheel 2 scrolls left.
    const int vertical = clicks(verticalPixels, event.wheel.wheel1);
    const int horizontal = event.wheel.wheelCount >= 2 ? clicks(horizontalPixels, event.wheel.wheel2) : 0;
    click(vertical > 0 ? wheelUp : wheelDown, std::abs(vertical));
    click(horizontal > 0 ? wheelLeft : wheelRight, std::abs(horizontal));
}

std::optional<xcb_keycode_t> HIDEventPoster::Impl::keycodeFor(xcb_keysym_t keysym) {
    if (auto known = keycodes.find(keysym); known != keycodes.end()) {
        return known->second;
    }
    // The core keyboard mapping is the server's keymap seen by keysyms: its first column is what a
    // key gives without modifiers in the first group.
    const xcb_setup_t* setup = xcb_get_setup(display.get());
    const int count = setup->max_keycode - setup->min_keycode + 1;
    const XReply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
        display.get(), xcb_get_keyboard_mapping(display.get(), setup->min_keycode, std::uint8_t(count)),
        nullptr));
    if (!reply) {
        return std::nullopt;
    }
    std::optional<xcb_keycode_t> found;
    xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
    const int perKey = reply->keysyms_per_keycode;
    const int available = xcb_get_keyboard_mapping_keysyms_length(reply.get());
    for (int key = 0; perKey > 0 && (key + 1) * perKey <= available && !found; ++key) {
        if (syms[key * perKey] == keysym) {
            found = xcb_keycode_t(setup->min_keycode + key);
        }
    }
    // The mapping may hold characters of a password the keyboard has bound for the moment.
    explicit_bzero(syms, std::size_t(std::max(available, 0)) * sizeof(xcb_keysym_t));
    keycodes.emplace(keysym, found);
    return found;
}

void HIDEventPoster::Impl::mediaKey(const MediaKeyStroke& stroke) {
    const std::optional<xcb_keysym_t> keysym = keysymFor(stroke.key);
    if (!keysym) {
        return;
    }
    if (const std::optional<xcb_keycode_t> code = keycodeFor(*keysym)) {
        fake(stroke.down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, *code);
    }
}

std::optional<XTestKeyboard::Step> HIDEventPoster::Impl::keyboardStep(const InputEvent& event) const {
    if (event.type == EventType::flagsChanged) {
        if (const std::optional<Modifiers> modifier = KeyCode::modifierOfKey(event.keyCode)) {
            return XTestKeyboard::Step{event.keyCode, (event.flags & modifier->rawValue) != 0, {}};
        }
        return std::nullopt;
    }
    const bool down = event.type == EventType::keyDown;
    // A key event that carries text types that text, unless a shortcut modifier asks for the key
    // itself. Both events of a pair carry it; the text goes in once, with the key down.
    const std::uint64_t shortcutModifiers =
        (Modifiers::command | Modifiers::control | Modifiers::option).rawValue;
    if (!event.unicodeText.empty() && (event.flags & shortcutModifiers) == 0) {
        if (!down) {
            return std::nullopt;
        }
        // The text may be part of a password: the keyboard wipes its copy once typed.
        return XTestKeyboard::Step{0, true, scalarsOfUTF16(event.unicodeText),
                                   options.briefKeyBindings ? XTestKeyboard::BindingHold::brief
                                                            : XTestKeyboard::BindingHold::ordinary};
    }
    return XTestKeyboard::Step{event.keyCode, down, {}};
}

void HIDEventPoster::Impl::keyboardEvent(const InputEvent& event) {
    std::optional<XTestKeyboard::Step> step = keyboardStep(event);
    if (!step) {
        return;
    }
    if (!step->text.empty()) {
        keyboard->type(std::move(step->text), owner(), step->hold);
        step->text.resize(step->text.capacity());
        explicit_bzero(step->text.data(), step->text.size() * sizeof(char32_t));
        return;
    }
    keyboard->key(step->virtualKeyCode, step->down, owner());
}

void HIDEventPoster::Impl::gesture(const InputEvent& event) {
    // Only the navigation swipe has a counterpart: the back and forward buttons. Magnify events have
    // none that XTEST can send.
    constexpr auto hidType = static_cast<EventField>(110);
    constexpr auto direction = static_cast<EventField>(115);
    if (event.integerField(hidType) != 16) {
        return;
    }
    const std::int64_t value = event.integerField(direction);
    if (value == 4 || value == 8) {
        click(value == 4 ? 8 : 9, 1);
    }
}

void HIDEventPoster::Impl::post(const InputEvent& event) {
    if (!usable()) {
        return;
    }
    drainEvents();
    switch (event.type) {
        case EventType::mouseMoved:
        case EventType::leftMouseDragged:
            moveTo(event.location);
            break;
        // A mouse event happens at its location, so the pointer goes there first.
        case EventType::leftMouseDown:
        case EventType::rightMouseDown:
            moveTo(event.location, true);
            fake(XCB_BUTTON_PRESS, event.type == EventType::leftMouseDown ? leftButton : rightButton);
            break;
        case EventType::leftMouseUp:
        case EventType::rightMouseUp:
            moveTo(event.location, true);
            fake(XCB_BUTTON_RELEASE, event.type == EventType::leftMouseUp ? leftButton : rightButton);
            break;
        case EventType::scrollWheel:
            scroll(event);
            break;
        case EventType::systemDefined:
            if (const std::optional<MediaKeyStroke> stroke = mediaKeyStroke(event)) {
                mediaKey(*stroke);
            }
            break;
        case EventType::keyDown:
        case EventType::keyUp:
        case EventType::flagsChanged:
            keyboardEvent(event);
            break;
        case EventType::gesture:
            gesture(event);
            break;
        case EventType::dockControl:
            break;
    }
    xcb_flush(display.get());
}

HIDEventPoster::HIDEventPoster(const std::string& displayName) : HIDEventPoster(displayName, Options{}) {}

HIDEventPoster::HIDEventPoster(const std::string& displayName, Options options,
                               std::shared_ptr<XTestKeyboard> keyboard)
    : impl_(std::make_unique<Impl>(displayName, options, std::move(keyboard))) {}

HIDEventPoster::~HIDEventPoster() {
    // A shared keyboard outlives this poster: what it still holds for it goes up now.
    if (impl_->usable()) {
        impl_->keyboard->releaseAll(impl_.get());
        for (const auto& [device, owner] : impl_->sources) {
            impl_->keyboard->discardOwner(owner.get(), owner);
        }
    }
}

void HIDEventPoster::post(const InputEvent& event) {
    impl_->post(event);
}

void HIDEventPoster::post(const std::vector<InputEvent>& events) {
    Impl& d = *impl_;
    if (!d.usable()) {
        return;
    }
    std::vector<XTestKeyboard::Step> steps;
    bool typing = false;
    for (const InputEvent& event : events) {
        const bool keyboardRecord = event.type == EventType::keyDown || event.type == EventType::keyUp ||
                                    event.type == EventType::flagsChanged;
        if (!keyboardRecord) {
            d.post(event);
        } else if (std::optional<XTestKeyboard::Step> step = d.keyboardStep(event)) {
            typing = typing || !step->text.empty() || !event.unicodeText.empty();
            steps.push_back(std::move(*step));
        }
    }
    if (!steps.empty()) {
        d.keyboard->perform(std::move(steps), d.owner(), typing);
    }
}

void HIDEventPoster::beginExclusive() {
    if (impl_->usable()) {
        impl_->keyboard->beginAttempt(impl_->owner());
    }
}

void HIDEventPoster::endExclusive() {
    impl_->lateReader = false;
    if (impl_->usable()) {
        impl_->keyboard->endAttempt(impl_->owner());
    }
}

void HIDEventPoster::typeForLateReader() {
    impl_->lateReader = true;
}

bool HIDEventPoster::postChecked(const InputEvent& event, const std::function<bool()>& check) {
    Impl& d = *impl_;
    const bool keyboardRecord = event.type == EventType::keyDown || event.type == EventType::keyUp ||
                                event.type == EventType::flagsChanged;
    if (!d.usable() || !keyboardRecord) {
        return EventPoster::postChecked(event, check);
    }
    std::optional<XTestKeyboard::Step> step = d.keyboardStep(event);
    if (!step) {
        return check();
    }
    if (d.lateReader && !step->text.empty()) {
        step->hold = XTestKeyboard::BindingHold::steady;
    }
    return d.keyboard->attemptStep(std::move(*step), d.owner(), check);
}

void HIDEventPoster::setSource(const std::optional<TrackpadProtocol::UUID>& device) {
    Impl& d = *impl_;
    if (!device) {
        d.source = nullptr;
        return;
    }
    std::shared_ptr<char>& owner = d.sources[*device];
    if (!owner) {
        owner = std::make_shared<char>();
    }
    d.source = &owner;
}

void HIDEventPoster::dropSource(const TrackpadProtocol::UUID& device) {
    Impl& d = *impl_;
    const auto found = d.sources.find(device);
    if (found == d.sources.end()) {
        return;
    }
    if (d.source == &found->second) {
        d.source = nullptr;
    }
    if (d.keyboard) {
        // The address stays taken until the keyboard has let go of what it held for it.
        d.keyboard->discardOwner(found->second.get(), found->second);
    }
    d.sources.erase(found);
}

void HIDEventPoster::retainSources(const std::unordered_set<TrackpadProtocol::UUID>& devices) {
    std::vector<TrackpadProtocol::UUID> gone;
    for (const auto& [device, owner] : impl_->sources) {
        if (!devices.contains(device)) {
            gone.push_back(device);
        }
    }
    for (const TrackpadProtocol::UUID& device : gone) {
        dropSource(device);
    }
}

bool HIDEventPoster::isAvailable() const {
    return impl_->usable();
}

void HIDEventPoster::settleKeyboard() {
    if (impl_->usable()) {
        // A sequence that ended early, by an error included, leaves no key of this poster down.
        impl_->keyboard->releaseAll(impl_.get());
        impl_->keyboard->settle();
    }
}

bool HIDEventPoster::restoreSettledBindings() {
    return impl_->usable() && impl_->keyboard->hasBindings();
}

void HIDEventPoster::sync() {
    if (!impl_->usable()) {
        return;
    }
    impl_->keyboard->sync();
    xcb_connection_t* connection = impl_->display.get();
    // Any request with a reply makes the round trip; its answer is of no interest.
    const XReply<xcb_get_input_focus_reply_t> roundTrip(
        xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    impl_->drainEvents();
}

}  // namespace Injector
