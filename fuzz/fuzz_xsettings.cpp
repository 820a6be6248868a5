// The XSETTINGS block belongs to whichever process owns the settings selection: reading it, for any
// name, must refuse damage without crashing or reading past the block.
#include <cstdint>
#include <span>

#include "app/core/DesktopSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> block(data, size);
    Shell::xsettingsInteger(block, "Net/DoubleClickTime");
    Shell::xsettingsInteger(block, "");
    return 0;
}
