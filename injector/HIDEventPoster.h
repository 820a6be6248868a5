#pragma once
// The system EventPoster: posts each event record through the X server's XTEST extension on a
// connection of its own. Pointer records become absolute motion and buttons 1 and 3, scroll amounts
// become wheel clicks (buttons 4 to 7), media keys become their XF86 keysyms through the server's
// keymap, keyboard records go to the process's XTestKeyboard (virtual key codes, the four modifiers,
// and text carried as a Unicode string), which carries them out on its own worker, and navigation
// swipes become the back and forward buttons 8 and 9.
// What X has no room for (the user-data tag, click state, delta fields, scroll and momentum phases,
// the Fn and keypad flags, magnify and dock-control events) stays in the record and is left out.
//
// Thread: one thread at a time per poster; give each thread that posts its own poster.
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "injector/EventPoster.h"
#include "protocol/messages/Uuid.h"

namespace Injector {

class XTestKeyboard;

class HIDEventPoster final : public EventPoster {
  public:
    struct Options {
        // Scroll pixels that make one wheel click. X has no smooth scrolling for injected input, so
        // pixel amounts are carried over until they add up to whole clicks.
        double pixelsPerWheelClick = 50;
        // Wheel clicks one scroll record may give at most, so an absurd amount cannot flood the server.
        int maximumWheelClicksPerEvent = 64;
        // The text this poster types goes to a known client that reads keys at once (the screen
        // locker the unlocker verified): the keyboard puts its characters' bindings back soon.
        bool briefKeyBindings = false;
    };

    // Connects to the named display (empty: $DISPLAY). When the display cannot be reached or offers
    // no XTEST, the poster drops every event; it never ends the process. Key records go to `keyboard`,
    // the process's one keyboard on the same display; without one the poster makes its own.
    explicit HIDEventPoster(const std::string& displayName = {});
    HIDEventPoster(const std::string& displayName, Options options,
                   std::shared_ptr<XTestKeyboard> keyboard = nullptr);
    ~HIDEventPoster() override;
    HIDEventPoster(const HIDEventPoster&) = delete;
    HIDEventPoster& operator=(const HIDEventPoster&) = delete;

    void post(const InputEvent& event) override;
    // Posts the events in order; their keys and text go to the keyboard as one unit, which no other
    // owner's key or text interrupts and which the user's locks and latches do not change.
    void post(const std::vector<InputEvent>& events);
    void beginExclusive() override;
    void endExclusive() override;
    void typeForLateReader() override;
    bool postChecked(const InputEvent& event, const std::function<bool()>& check) override;
    // The phone whose events follow (none: the poster's own): each phone's keys and text wait in a
    // queue of their own on the keyboard, and go with the phone.
    void setSource(const std::optional<TrackpadProtocol::UUID>& device);
    // The phone is gone: what it queued is dropped and its keys let go.
    void dropSource(const TrackpadProtocol::UUID& device);
    // Drops every phone not in `devices`.
    void retainSources(const std::unordered_set<TrackpadProtocol::UUID>& devices);
    bool pacesMotion() const override { return true; }
    // Lets go of the keys this poster still holds, then waits until every temporary key binding is
    // put back.
    void settleKeyboard() override;
    // Whether temporary key bindings remain (the keyboard puts them back by itself).
    bool restoreSettledBindings();

    // The display is reachable, still connected and offers XTEST.
    bool isAvailable() const;
    // Waits until the X server has carried out everything posted so far, keys included.
    void sync();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Injector
