// The gesture side's files take whatever they hold: the hot-key file (any JSON, read as the symbolic hot
// keys) must give a stroke, a fallback or none for every action, and the mapping archive must refuse
// damage with ArchiveError and nothing else; a mapping it accepts must survive writing and reading again.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "gestures/GestureMapping.h"
#include "gestures/SystemActions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Gestures;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    if (!document.is_discarded()) {
        const nlohmann::json* dictionary = document.is_object() && document.contains("AppleSymbolicHotKeys")
                                               ? &document["AppleSymbolicHotKeys"]
                                               : &document;
        for (const SystemAction action : allSystemActions) {
            if (const auto stroke = SymbolicHotKeys::keyStroke(action, dictionary)) {
                // Only the five modifier bits ever pass.
                if ((stroke->modifiers.rawValue & ~Modifiers::all.rawValue) != 0) {
                    std::abort();
                }
            }
        }
    }
    GestureMapping mapping;
    try {
        mapping = decodeGestureMapping(text);
    } catch (const ArchiveError&) {
        return 0;
    }
    if (!(decodeGestureMapping(encode(mapping)) == mapping)) {
        std::abort();
    }
    return 0;
}
