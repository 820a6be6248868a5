#pragma once
// The state of the phone's presentation picture: per-phone reassembly of the picture document, the one
// pending decode under a growing ticket, and the one picture on screen with its placement. A plain
// value mutated on the main thread; decoding happens elsewhere and reports back through finish or fail.
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <variant>

#include "overlays/presentation-images/PresentationImageFrame.h"
#include "overlays/presentation-images/PresentationImagePicture.h"
#include "protocol/messages/LargePayloads.h"
#include "protocol/messages/Types.h"
#include "protocol/messages/Uuid.h"

namespace PresentationImages {

using TrackpadProtocol::PresentationImage;
using TrackpadProtocol::PresentationImagePlacement;
using TrackpadProtocol::UUID;

class PresentationImageModel {
  public:
    struct Ticket {
        std::uint64_t value = 0;
        bool operator==(const Ticket&) const = default;
    };
    struct Delivery {
        Ticket ticket;
        UUID owner;
        std::uint32_t number = 0;
        TrackpadProtocol::Data image;
        bool operator==(const Delivery&) const = default;
    };
    struct Shown {
        UUID owner;
        std::uint32_t number = 0;
        PresentationImagePicture picture;
        std::optional<PresentationImagePlacement> placement;
        bool operator==(const Shown&) const = default;
    };
    struct Unchanged {
        bool operator==(const Unchanged&) const = default;
    };
    struct Changed {
        bool operator==(const Changed&) const = default;
    };
    // open: decode the delivery and report back with its ticket; changed: redraw.
    using Outcome = std::variant<Delivery, Unchanged, Changed>;

    Outcome receive(const PresentationImage& image, const UUID& owner);
    Outcome receivePart(const TrackpadProtocol::ScreenDataPart& part, const UUID& owner);
    bool finish(Ticket ticket, PresentationImagePicture picture);
    void fail(Ticket ticket);
    bool remove(const UUID& owner);
    bool retain(const std::unordered_set<UUID>& owners);
    bool reset();

    std::optional<PresentationImageFrame> frame(Annotations::Size displaySize) const;

    const std::optional<Shown>& shown() const { return shown_; }
    bool isEmpty() const { return !shown_; }
    bool isOpening() const { return opening_.has_value(); }
    std::uint64_t lastTicket() const { return lastTicket_; }
    std::size_t assemblerCount() const { return assemblers_.size(); }

  private:
    struct Opening {
        Ticket ticket;
        UUID owner;
        std::uint32_t number = 0;
        std::optional<PresentationImagePlacement> placement;
    };

    Outcome place(const PresentationImage::Place& place, const UUID& owner);
    Outcome fit(const PresentationImage::Fit& fit, const UUID& owner);
    Outcome close(const UUID& owner);

    std::optional<Shown> shown_;
    std::unordered_map<UUID, TrackpadProtocol::ScreenDataAssembler> assemblers_;
    std::optional<Opening> opening_;
    std::uint64_t lastTicket_ = 0;
};

}  // namespace PresentationImages
