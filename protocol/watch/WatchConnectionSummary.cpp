#include "protocol/watch/WatchConnectionSummary.h"

#include "protocol/messages/Overloaded.h"

namespace TrackpadProtocol {

using Health = WatchConnectionSummary::Health;
using Item = WatchConnectionSummary::Item;
using Mac = WatchStatus::Mac;

std::optional<std::string> Mac::name(const WatchLocalizer& localize) const {
    return std::visit(Overloaded{
                          [](const Connecting& m) -> std::optional<std::string> { return m.name; },
                          [](const Connected& m) -> std::optional<std::string> { return m.name; },
                          [](const NeedsAccessibility& m) -> std::optional<std::string> { return m.name; },
                          [](const NotConnected& m) { return m.name; },
                          [&](const Demo&) -> std::optional<std::string> { return localize("Demo Mac"); },
                          [](const auto&) -> std::optional<std::string> { return std::nullopt; },
                      },
                      value);
}

WatchConnectionSummary::WatchConnectionSummary(const WatchPhoneState& phoneState,
                                               const WatchLocalizer& localize)
    : WatchConnectionSummary(std::visit(
          Overloaded{
              [&](const WatchPhoneState::Answered& answered) {
                  return WatchConnectionSummary(answered.status, localize);
              },
              [&](const WatchPhoneState::Checking&) {
                  return WatchConnectionSummary({Health::pending, localize("Checking\u2026")},
                                                {Health::unknown, localize("Unknown")}, std::nullopt);
              },
              [&](const WatchPhoneState::Unreachable&) {
                  return WatchConnectionSummary(
                      {Health::problem, localize("Not reachable")}, {Health::unknown, localize("Unknown")},
                      localize("Keep your iPhone nearby with Bluetooth on, then open Lumivex on it."));
              },
              [&](const WatchPhoneState::NoAnswer&) {
                  return WatchConnectionSummary(
                      {Health::problem, localize("Not answering")}, {Health::unknown, localize("Unknown")},
                      localize("Open Lumivex on your iPhone, then tap Check Again."));
              },
          },
          phoneState.value)) {}

WatchConnectionSummary::WatchConnectionSummary(const WatchStatus& status, const WatchLocalizer& localize) {
    if (!status.isPhoneAppActive) {
        phone = {Health::pending, localize("Lumivex closed")};
        mac = {Health::unknown, localize("Not connected"), status.mac.name(localize)};
        advice = localize("Open Lumivex on your iPhone. It connects to your Mac while it's open.");
        return;
    }
    phone = {Health::ready, localize("Connected")};
    std::visit(
        Overloaded{
            [&](const Mac::Connected& m) {
                mac = {Health::ready, localize("Connected"), m.name};
            },
            [&](const Mac::Connecting& m) {
                mac = {Health::pending, localize("Connecting\u2026"), m.name};
            },
            [&](const Mac::NeedsAccessibility& m) {
                mac = {Health::problem, localize("Needs permission"), m.name};
                advice = localize(
                    "On the Mac, turn on Lumivex in System Settings > Privacy & Security > Accessibility.");
            },
            [&](const Mac::NotConnected& m) {
                mac = {Health::problem, localize("Not connected"), m.name};
                advice = m.problem ? *m.problem
                                   : localize(
                                         "Make sure the Mac is awake, on the same Wi-Fi as your iPhone "
                                         "and running Lumivex.");
            },
            [&](const Mac::Pairing&) {
                mac = {Health::pending, localize("Pairing")};
                advice = localize("Finish adding the Mac on your iPhone.");
            },
            [&](const Mac::Demo&) {
                mac = {Health::pending, localize("Demo mode"), localize("Demo Mac")};
                advice =
                    localize("Lumivex on your iPhone is in demo mode. Choose a Mac there to control it.");
            },
            [&](const Mac::NoMacSelected&) {
                mac = {Health::problem, localize("No Mac chosen")};
                advice = localize("Choose a Mac in Lumivex on your iPhone.");
            },
            [&](const Mac::NoMacPaired&) {
                mac = {Health::problem, localize("No Mac added")};
                advice = localize("Add a Mac in Lumivex on your iPhone.");
            },
        },
        status.mac.value);
}

}  // namespace TrackpadProtocol
