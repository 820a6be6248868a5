#include "overlays/annotations/AnnotationDisplayChoice.h"

namespace Annotations {

using TrackpadProtocol::Message;

bool AnnotationDisplayChoice::observe(const Message& message, const UUID& phone) {
    std::optional<std::uint32_t> display;
    if (auto* start = message.as<Message::ScreenViewStart>()) {
        display = start->request.displayID;
    } else if (auto* select = message.as<Message::ScreenViewSelectDisplay>()) {
        display = select->displayID;
    } else if (auto* screenshot = message.as<Message::ScreenshotRequest>()) {
        display = screenshot->request.displayID;
    } else if (message.is<Message::ScreenViewStop>()) {
        return viewedDisplays_.erase(phone) > 0;
    } else {
        return false;
    }
    auto [entry, inserted] = viewedDisplays_.try_emplace(phone, *display);
    if (inserted)
        return true;
    if (entry->second == *display)
        return false;
    entry->second = *display;
    return true;
}

std::optional<std::uint32_t> AnnotationDisplayChoice::viewedDisplay(const UUID& phone) const {
    auto entry = viewedDisplays_.find(phone);
    if (entry == viewedDisplays_.end())
        return std::nullopt;
    return entry->second;
}

std::optional<std::uint32_t> AnnotationDisplayChoice::removeDevice(const UUID& phone) {
    auto entry = viewedDisplays_.find(phone);
    if (entry == viewedDisplays_.end())
        return std::nullopt;
    auto display = entry->second;
    viewedDisplays_.erase(entry);
    return display;
}

void AnnotationDisplayChoice::retainDevices(const std::unordered_set<UUID>& phones) {
    std::erase_if(viewedDisplays_, [&](const auto& entry) { return !phones.contains(entry.first); });
}

std::optional<Rect> AnnotationDisplayChoice::chooseFrame(
    const std::optional<UUID>& phone, const std::optional<Rect>& current,
    const std::function<std::optional<Rect>(std::uint32_t)>& frameOfDisplay,
    const std::function<std::optional<Rect>()>& pointerScreen) const {
    if (phone) {
        if (auto display = viewedDisplay(*phone)) {
            if (auto frame = frameOfDisplay(*display))
                return frame;
        }
    }
    if (current)
        return current;
    return pointerScreen ? pointerScreen() : std::nullopt;
}

}  // namespace Annotations
