#pragma once
// Which display each phone views, learned from its own screen-view and screenshot messages, and the
// screen frame its overlay belongs on. A plain value used on the main thread; the annotation and the
// presentation-picture controllers each keep one.
#include <cstdint>
#include <functional>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "overlays/annotations/Geometry.h"
#include "protocol/messages/Message.h"
#include "protocol/messages/Uuid.h"

namespace Annotations {

class AnnotationDisplayChoice {
  public:
    using UUID = TrackpadProtocol::UUID;

    // True when the phone's entry changed.
    bool observe(const TrackpadProtocol::Message& message, const UUID& phone);
    std::optional<std::uint32_t> viewedDisplay(const UUID& phone) const;
    std::optional<std::uint32_t> removeDevice(const UUID& phone);
    void retainDevices(const std::unordered_set<UUID>& phones);

    // The phone's viewed display when it still exists, else the frame already in use, else the
    // pointer's screen.
    std::optional<Rect> chooseFrame(const std::optional<UUID>& phone, const std::optional<Rect>& current,
                                    const std::function<std::optional<Rect>(std::uint32_t)>& frameOfDisplay,
                                    const std::function<std::optional<Rect>()>& pointerScreen) const;

    const std::unordered_map<UUID, std::uint32_t>& viewedDisplays() const { return viewedDisplays_; }
    bool operator==(const AnnotationDisplayChoice&) const = default;

  private:
    std::unordered_map<UUID, std::uint32_t> viewedDisplays_;
};

}  // namespace Annotations
