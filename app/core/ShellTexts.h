#pragma once
// The texts the shell shows or logs, word for word.
#include <cstdint>
#include <string>

namespace Shell::Texts {

inline constexpr const char* starting = "Starting\u2026";
inline constexpr const char* stopped = "Stopped";
inline constexpr const char* available = "Available on your local network";
// Served, but not advertised (no Avahi daemon, a refused registration): phones that browse do not see
// this computer, and the user is told why.
inline std::string availableNotAdvertised(const std::string& problem) {
    return "Available on your local network, but iPhones can't find this computer by browsing: " + problem;
}
inline constexpr const char* waiting = "Waiting for your local network. Check Wi-Fi or Ethernet.";
inline constexpr const char* listDamaged = "Paired iPhones list is damaged. Lumivex can't start.";
inline constexpr const char* listNeedsNewer = "Paired iPhones list needs a newer Lumivex.";
inline constexpr const char* notRunning = "Lumivex is not running.";

// " seconds." follows the number whatever it is, 1 included.
inline std::string unableToListen(std::uint64_t delay) {
    return "Unable to listen on your local network. Check Wi-Fi or Ethernet. Retrying in " +
           std::to_string(delay) + " seconds.";
}
inline std::string unableToPrepare(std::uint64_t delay) {
    return "Unable to prepare Lumivex. Retrying in " + std::to_string(delay) + " seconds.";
}

inline constexpr const char* unlockTurnedOff =
    "Unlock from iPhone is turned off in Lumivex's menu. Nothing was entered.";
inline constexpr const char* unlockSessionEnded =
    "The iPhone's session ended before the unlock started. Nothing was entered.";
inline constexpr const char* unlockNeedsAccessibility =
    "Lumivex isn't allowed in Accessibility, so it can't reach the lock screen. Nothing was entered.";

}  // namespace Shell::Texts
