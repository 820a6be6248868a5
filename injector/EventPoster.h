#pragma once
// The seam through which every built event reaches the system.
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
};

}  // namespace Injector
