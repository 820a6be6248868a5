// The trusted-device list parser takes whatever is in the file: it must refuse damage with
// TrustedDeviceStoreError and nothing else, and a list it accepts must survive writing and reading again.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "network/TrustedDeviceFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace CompanionNetwork;
    TrustedDeviceList list;
    try {
        list = TrustedDeviceFile::decode(std::span<const std::uint8_t>(data, size));
    } catch (const TrustedDeviceStoreError&) {
        return 0;
    }
    std::string text = TrustedDeviceFile::encode(list);
    auto bytes =
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    // Names are written with invalid UTF-8 replaced, and the parser never accepts invalid UTF-8, so the
    // second reading must give the same list.
    if (!(TrustedDeviceFile::decode(bytes) == list))
        std::abort();
    return 0;
}
