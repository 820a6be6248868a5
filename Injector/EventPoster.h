#pragma once
// The seam through which every built event reaches the system.
#include "Injector/InputEvent.h"

namespace Injector {

class EventPoster {
  public:
    virtual ~EventPoster() = default;
    // Posts one event. Nothing is returned: an event the system cannot take is dropped silently.
    virtual void post(const InputEvent& event) = 0;
    // Whether pointer motion sent through this poster should be paced into frames. Only the system
    // poster asks for it; a test poster may ask for it to exercise the pacing.
    virtual bool pacesMotion() const { return false; }
};

}  // namespace Injector
