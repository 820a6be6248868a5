#include "overlays/presentation-images/PresentationImageModel.h"

#include "protocol/messages/MessageCodec.h"
#include "protocol/messages/Overloaded.h"

namespace PresentationImages {

namespace {

bool isValid(const std::optional<PresentationImagePlacement>& placement) {
    return !placement || placement->isValid();
}

}  // namespace

PresentationImageModel::Outcome PresentationImageModel::receive(const PresentationImage& image,
                                                                const UUID& owner) {
    return std::visit(TrackpadProtocol::Overloaded{
                          [&](const PresentationImage::Part& m) { return receivePart(m.part, owner); },
                          [&](const PresentationImage::Place& m) { return place(m, owner); },
                          [&](const PresentationImage::Fit& m) { return fit(m, owner); },
                          [&](const PresentationImage::Close&) { return close(owner); },
                      },
                      image.kind);
}

PresentationImageModel::Outcome PresentationImageModel::receivePart(
    const TrackpadProtocol::ScreenDataPart& part, const UUID& owner) {
    auto document = assemblers_[owner].add(part);
    if (!document)
        return Unchanged{};
    TrackpadProtocol::PresentationImageFile file;
    try {
        file = TrackpadProtocol::PresentationImageFile::decode(*document);
    } catch (const TrackpadProtocol::MessageCodec::DecodingError&) {
        return Unchanged{};
    }
    if (!isValid(file.placement))
        return Unchanged{};
    Ticket ticket{++lastTicket_};
    opening_ = Opening{ticket, owner, part.transfer, file.placement};
    return Delivery{ticket, owner, part.transfer, std::move(file.image)};
}

PresentationImageModel::Outcome PresentationImageModel::place(const PresentationImage::Place& m,
                                                              const UUID& owner) {
    if (!m.placement.isValid())
        return Unchanged{};
    if (opening_ && opening_->owner == owner && opening_->number == m.image)
        opening_->placement = m.placement;
    if (shown_ && shown_->owner == owner && shown_->number == m.image && shown_->placement != m.placement) {
        shown_->placement = m.placement;
        return Changed{};
    }
    return Unchanged{};
}

PresentationImageModel::Outcome PresentationImageModel::fit(const PresentationImage::Fit& m,
                                                            const UUID& owner) {
    if (opening_ && opening_->owner == owner && opening_->number == m.image)
        opening_->placement.reset();
    if (shown_ && shown_->owner == owner && shown_->number == m.image && shown_->placement) {
        shown_->placement.reset();
        return Changed{};
    }
    return Unchanged{};
}

PresentationImageModel::Outcome PresentationImageModel::close(const UUID& owner) {
    assemblers_.erase(owner);
    if (opening_ && opening_->owner == owner)
        opening_.reset();
    if (shown_ && shown_->owner == owner) {
        shown_.reset();
        return Changed{};
    }
    return Unchanged{};
}

bool PresentationImageModel::finish(Ticket ticket, PresentationImagePicture picture) {
    if (!opening_ || opening_->ticket != ticket || picture.image.empty())
        return false;
    shown_ = Shown{opening_->owner, opening_->number, std::move(picture), opening_->placement};
    opening_.reset();
    return true;
}

void PresentationImageModel::fail(Ticket ticket) {
    if (opening_ && opening_->ticket == ticket)
        opening_.reset();
}

bool PresentationImageModel::remove(const UUID& owner) {
    assemblers_.erase(owner);
    if (opening_ && opening_->owner == owner)
        opening_.reset();
    if (shown_ && shown_->owner == owner) {
        shown_.reset();
        return true;
    }
    return false;
}

bool PresentationImageModel::retain(const std::unordered_set<UUID>& owners) {
    std::erase_if(assemblers_, [&](const auto& entry) { return !owners.contains(entry.first); });
    if (opening_ && !owners.contains(opening_->owner))
        opening_.reset();
    if (shown_ && !owners.contains(shown_->owner)) {
        shown_.reset();
        return true;
    }
    return false;
}

bool PresentationImageModel::reset() {
    assemblers_.clear();
    opening_.reset();
    bool wasShown = shown_.has_value();
    shown_.reset();
    return wasShown;
}

std::optional<PresentationImageFrame> PresentationImageModel::frame(Annotations::Size displaySize) const {
    if (!shown_)
        return std::nullopt;
    return PresentationImageFrame(shown_->picture.size(), shown_->placement, displaySize);
}

}  // namespace PresentationImages
