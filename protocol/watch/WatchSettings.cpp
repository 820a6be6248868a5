#include "protocol/watch/WatchSettings.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>

namespace TrackpadProtocol {

namespace {

double clamped(double value, WatchSettings::Range range) {
    if (!std::isfinite(value))
        return 1.0;
    return std::clamp(value, range.lower, range.upper);
}

// A JSON number, never a boolean.
std::optional<double> number(const nlohmann::json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_number())
        return std::nullopt;
    return it->get<double>();
}

}  // namespace

const WatchSettings WatchSettings::standard{1.0, 1.0, 1.0, true};

WatchSettings::WatchSettings(double pointerSensitivity, double pointerAcceleration, double scrollSensitivity,
                             bool naturalScrolling)
    : pointerSensitivity_(clamped(pointerSensitivity, sensitivityRange)),
      pointerAcceleration_(clamped(pointerAcceleration, accelerationRange)),
      scrollSensitivity_(clamped(scrollSensitivity, sensitivityRange)),
      naturalScrolling_(naturalScrolling) {}

void WatchSettings::setPointerSensitivity(double value) {
    pointerSensitivity_ = clamped(value, sensitivityRange);
}
void WatchSettings::setPointerAcceleration(double value) {
    pointerAcceleration_ = clamped(value, accelerationRange);
}
void WatchSettings::setScrollSensitivity(double value) {
    scrollSensitivity_ = clamped(value, sensitivityRange);
}

Data WatchSettings::jsonData() const {
    try {
        // nlohmann's objects keep their keys sorted, and its number output ignores the locale.
        const nlohmann::json document = {
            {"version", formatVersion},
            {"pointerSensitivity", pointerSensitivity_},
            {"pointerAcceleration", pointerAcceleration_},
            {"scrollSensitivity", scrollSensitivity_},
            {"naturalScrolling", naturalScrolling_},
        };
        const auto text = document.dump();
        return Data(text.begin(), text.end());
    } catch (const nlohmann::json::exception&) {
        return {};
    }
}

WatchMessageDictionary WatchSettings::message() const {
    return {{messageKey, jsonData()}};
}

std::optional<WatchSettings> WatchSettings::fromMessage(const WatchMessageDictionary& message) {
    const auto it = message.find(messageKey);
    if (it == message.end())
        return std::nullopt;
    const auto* bytes = std::get_if<Data>(&it->second);
    if (!bytes)
        return std::nullopt;
    return fromJSONData(*bytes);
}

std::optional<WatchSettings> WatchSettings::fromJSONData(std::span<const std::uint8_t> jsonData) {
    const auto document = nlohmann::json::parse(jsonData.begin(), jsonData.end(), nullptr, false);
    if (document.is_discarded() || !document.is_object())
        return std::nullopt;
    // A number too large for a double parses as infinity, which is above 1 as well.
    if (auto version = number(document, "version"); version && *version > formatVersion)
        return std::nullopt;
    bool natural = true;
    if (const auto it = document.find("naturalScrolling"); it != document.end() && it->is_boolean())
        natural = it->get<bool>();
    return WatchSettings(number(document, "pointerSensitivity").value_or(1.0),
                         number(document, "pointerAcceleration").value_or(1.0),
                         number(document, "scrollSensitivity").value_or(1.0), natural);
}

WatchTouchMapper::Configuration WatchSettings::applied(WatchTouchMapper::Configuration c) const {
    c.pointerSpeed *= pointerSensitivity_;
    auto& a = c.acceleration;
    a.fastGain = a.slowGain + pointerAcceleration_ * (a.fastGain - a.slowGain);
    c.crownScrollSpeed *= scrollSensitivity_;
    if (!naturalScrolling_)
        c.crownScrollSpeed = -c.crownScrollSpeed;
    return c;
}

void WatchSettingsSender::update(const WatchSettings& value) {
    settings_ = value;
    if (!canSend_)
        return;
    if (sent_ == value)
        return;
    if (deliver_ && deliver_(value.message()))
        sent_ = value;
}

void WatchSettingsSender::setCanSend(bool canSend) {
    canSend_ = canSend;
    if (!canSend)
        return;
    // The watch may have missed what was sent before it became reachable again.
    sent_.reset();
    if (settings_ && deliver_ && deliver_(settings_->message()))
        sent_ = settings_;
}

}  // namespace TrackpadProtocol
