#pragma once
// What the watch shows about its link: a phone line, a computer line and one sentence of advice, each
// line with a health level for colouring.
#include <optional>
#include <string>
#include <variant>

#include "protocol/watch/WatchPayload.h"

namespace TrackpadProtocol {

// The watch's view of the phone.
struct WatchPhoneState {
    // The phone sent a status.
    struct Answered {
        WatchStatus status;
        bool operator==(const Answered&) const = default;
    };
    // A status request is under way.
    struct Checking {
        bool operator==(const Checking&) const = default;
    };
    // The phone cannot be reached.
    struct Unreachable {
        bool operator==(const Unreachable&) const = default;
    };
    // The phone was reached but its application did not answer.
    struct NoAnswer {
        bool operator==(const NoAnswer&) const = default;
    };
    std::variant<Answered, Checking, Unreachable, NoAnswer> value;
    bool operator==(const WatchPhoneState&) const = default;
};

struct WatchConnectionSummary {
    enum class Health { ready, pending, problem, unknown };
    struct Item {
        Health health = Health::unknown;
        std::string status;
        std::optional<std::string> name;  // always none on the phone line
        Item() = default;
        Item(Health health, std::string status, std::optional<std::string> name = std::nullopt)
            : health(health), status(std::move(status)), name(std::move(name)) {}
        bool operator==(const Item&) const = default;
    };

    Item phone;
    Item mac;
    std::optional<std::string> advice;

    WatchConnectionSummary(Item phone, Item mac, std::optional<std::string> advice)
        : phone(std::move(phone)), mac(std::move(mac)), advice(std::move(advice)) {}
    explicit WatchConnectionSummary(const WatchPhoneState& phoneState,
                                    const WatchLocalizer& localize = englishText);
    explicit WatchConnectionSummary(const WatchStatus& status, const WatchLocalizer& localize = englishText);

    // Both lines ready.
    bool isReady() const { return phone.health == Health::ready && mac.health == Health::ready; }
    bool operator==(const WatchConnectionSummary&) const = default;
};

}  // namespace TrackpadProtocol
