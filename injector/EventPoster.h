#pragma once
// The seam through which every built event reaches the system.
#include <functional>

#include "injector/InputEvent.h"

namespace Injector {

class EventPoster {
  public:
    virtual ~EventPoster() = default;
    // Posts one event. Nothing is returned: an event the system cannot take is dropped silently.
    virtual void post(const InputEvent& event) = 0;
    // Whether pointer motion sent through this poster should be paced into frames. Only the system
    // poster asks for it; a test poster may ask for it to exercise the pacing.
    virtual bool pacesMotion() const { return false; }
    // Ends a run of typing: anything the poster changed in the system to type characters (temporary
    // key bindings) is put back, waiting as long as that needs. Called off the main thread only.
    virtual void settleKeyboard() {}

    // An attempt whose keys must reach the system as checked (the unlock). Between begin and end the
    // keyboard is the attempt's alone: no other poster's key or text comes between its keys.
    virtual void beginExclusive() {}
    virtual void endExclusive() {}
    // The text posted from now until the exclusive hold ends goes to a client that looks each key up
    // only when it gets to it, with the modifiers and the key bindings as they are then: it goes out
    // with no modifier held, on bindings kept until the hold ends.
    virtual void typeForLateReader() {}
    // Posts the event only if `check`, run just before the event reaches the system, allows it; returns
    // whether it was posted, once the system has it. Called off the main thread only.
    virtual bool postChecked(const InputEvent& event, const std::function<bool()>& check) {
        if (!check()) {
            return false;
        }
        post(event);
        return true;
    }
};

}  // namespace Injector
