#pragma once
// The watch's pointer and scroll feel as the user sets it on the phone, the small message that carries it
// to the watch (a versioned JSON document under one key), and the phone's sender of that message.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "protocol/messages/Types.h"
#include "protocol/watch/WatchTouchMapper.h"

namespace TrackpadProtocol {

// A message between phone and watch application: values by key, as their messaging carries them.
using WatchMessageValue = std::variant<Data, std::string, double, std::int64_t, bool>;
using WatchMessageDictionary = std::map<std::string, WatchMessageValue>;

class WatchSettings {
  public:
    struct Range {
        double lower;
        double upper;
    };
    static constexpr Range sensitivityRange{0.25, 4.0};
    static constexpr Range accelerationRange{0.0, 2.0};
    static constexpr const char* messageKey = "watchSettings";
    static constexpr int formatVersion = 1;
    static const WatchSettings standard;

    // Each number is clamped into its range; one that is not finite becomes 1.0.
    WatchSettings(double pointerSensitivity, double pointerAcceleration, double scrollSensitivity,
                  bool naturalScrolling);
    // Reads the document under "watchSettings"; none when the key is absent or holds no bytes.
    static std::optional<WatchSettings> fromMessage(const WatchMessageDictionary& message);
    // Reads the JSON document: none when it is not a JSON object or its "version" is a number above 1;
    // a number field that is missing or not a number is 1.0, a naturalScrolling that is not a boolean is on.
    static std::optional<WatchSettings> fromJSONData(std::span<const std::uint8_t> jsonData);

    double pointerSensitivity() const { return pointerSensitivity_; }
    double pointerAcceleration() const { return pointerAcceleration_; }
    double scrollSensitivity() const { return scrollSensitivity_; }
    bool naturalScrolling() const { return naturalScrolling_; }
    void setPointerSensitivity(double value);
    void setPointerAcceleration(double value);
    void setScrollSensitivity(double value);
    void setNaturalScrolling(bool value) { naturalScrolling_ = value; }

    // Compact, keys sorted, numbers in their shortest exact form whatever the locale; empty on failure.
    Data jsonData() const;
    WatchMessageDictionary message() const;
    // The touch mapper's configuration tuned by these settings.
    WatchTouchMapper::Configuration applied(WatchTouchMapper::Configuration configuration) const;

    bool operator==(const WatchSettings&) const = default;

  private:
    double pointerSensitivity_;
    double pointerAcceleration_;
    double scrollSensitivity_;
    bool naturalScrolling_;
};

// On the phone, on the main thread: sends the settings whenever they change and the watch can be reached,
// each distinct value once, and again each time the watch becomes reachable.
class WatchSettingsSender {
  public:
    // True when the message was handed to the transport.
    using Deliver = std::function<bool(const WatchMessageDictionary&)>;

    explicit WatchSettingsSender(Deliver deliver) : deliver_(std::move(deliver)) {}

    void update(const WatchSettings& settings);
    void setCanSend(bool canSend);

    const std::optional<WatchSettings>& settings() const { return settings_; }
    const std::optional<WatchSettings>& sent() const { return sent_; }
    bool canSend() const { return canSend_; }

  private:
    std::optional<WatchSettings> settings_;
    std::optional<WatchSettings> sent_;  // the value last delivered successfully
    bool canSend_ = false;
    Deliver deliver_;
};

}  // namespace TrackpadProtocol
