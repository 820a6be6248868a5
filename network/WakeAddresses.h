#pragma once
// The hardware addresses a phone can send a wake-on-LAN packet to, advertised in the TXT key "hw".
#include <filesystem>
#include <string>
#include <vector>

namespace CompanionNetwork {

struct WakeAddresses {
    static constexpr std::size_t maxCount = 3;

    // The Ethernet-type interfaces backed by a device (wired ones first, then wireless, each group by
    // interface name), at most three, as lowercase colon-separated hex ("3c:22:fb:01:02:0a").
    // Loopback, virtual interfaces (bridges, veth, tunnels) and all-zero addresses are left out: only a
    // real network card can wake the computer.
    static std::vector<std::string> current(const std::filesystem::path& sysClassNet = "/sys/class/net");

    // "AA:bb:..." → "aa:bb:..."; empty for anything that is not six colon-separated hex bytes.
    static std::string normalized(const std::string& address);
};

}  // namespace CompanionNetwork
