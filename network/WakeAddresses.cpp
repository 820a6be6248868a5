#include "network/WakeAddresses.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <string_view>
#include <utility>

namespace CompanionNetwork {

namespace fs = std::filesystem;

namespace {

constexpr int typeEthernet = 1;  // ARPHRD_ETHER

std::string firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

std::string WakeAddresses::normalized(const std::string& address) {
    if (address.size() != 17)
        return {};
    std::string result;
    for (std::size_t i = 0; i < address.size(); ++i) {
        char c = address[i];
        if (i % 3 == 2) {
            if (c != ':')
                return {};
        } else if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return {};
        }
        result += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return result;
}

std::vector<std::string> WakeAddresses::current(const fs::path& sysClassNet) {
    std::vector<std::pair<std::string, std::string>> wired, wireless;  // (interface, address)
    std::error_code error;
    for (fs::directory_iterator it(sysClassNet, error), end; !error && it != end; it.increment(error)) {
        const fs::path interface = it->path();
        if (firstLine(interface / "type") != std::to_string(typeEthernet))
            continue;
        std::error_code ignored;
        if (!fs::exists(interface / "device", ignored))
            continue;  // virtual: no card behind it
        std::string address = normalized(firstLine(interface / "address"));
        if (address.empty() || address == "00:00:00:00:00:00")
            continue;
        bool isWireless =
            fs::exists(interface / "wireless", ignored) || fs::exists(interface / "phy80211", ignored);
        (isWireless ? wireless : wired).emplace_back(interface.filename().string(), address);
    }
    std::sort(wired.begin(), wired.end());
    std::sort(wireless.begin(), wireless.end());
    std::vector<std::string> result;
    for (const auto* group : {&wired, &wireless})
        for (const auto& [name, address] : *group)
            if (result.size() < maxCount && std::find(result.begin(), result.end(), address) == result.end())
                result.push_back(address);
    return result;
}

}  // namespace CompanionNetwork
