// Desktop files come from any package or user: the parser must refuse damage without crashing, and an
// Exec line it reads must give a program to start or nothing at all.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "apps/DesktopEntry.h"
#include "apps/ExecLine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto entry = Apps::parseDesktopEntry(text, {"de_DE", "de"});
    const std::string_view exec = entry ? std::string_view(entry->exec) : text;
    const auto argv = Apps::parseExecLine(exec, {"icon", "Name", "/usr/share/applications/x.desktop"});
    if (argv && (argv->empty() || argv->front().empty())) {
        std::abort();
    }
    return 0;
}
