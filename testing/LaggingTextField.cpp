#include "testing/LaggingTextField.h"

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "testing/CompanionProcess.h"
#include "testing/Subprocess.h"

namespace testing_support {
namespace {

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The last "text " line of the output, and how many lines there are.
std::pair<std::string, std::size_t> lastText(const std::string& output) {
    std::string last;
    std::size_t lines = 0;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        ++lines;
        if (line.rfind("text ", 0) == 0) {
            last = line.substr(5);
        }
    }
    return {last, lines};
}

}  // namespace

LaggingTextField::LaggingTextField(const std::string& displayName, Options options) {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumivex-field-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    folder_ = pattern;
    output_ = folder_ / "field.out";
    process_ = std::make_unique<Subprocess>(
        std::vector<std::string>{LUMIVEX_TEXT_FIELD, "--stall-ms",
                                 std::to_string(options.stallAtFirstKey.count()), "--stall-every-ms",
                                 std::to_string(options.stallAtEveryKey.count())},
        EnvironmentChanges{{"DISPLAY", displayName},
                           {"QT_QPA_PLATFORM", "xcb"},
                           {"XDG_RUNTIME_DIR", folder_.string()},
                           {"ASAN_OPTIONS", companionSanitizerOptions()}},
        output_);
    if (!waitUntil([&] { return readAll(output_).find("ready\n") != std::string::npos; },
                   std::chrono::seconds(20))) {
        throw std::runtime_error("the text field never took the keyboard focus: " + readAll(output_));
    }
}

LaggingTextField::~LaggingTextField() {
    process_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

std::string LaggingTextField::text() const {
    return lastText(readAll(output_)).first;
}

std::string LaggingTextField::waitForText(const std::string& expected, std::chrono::milliseconds quiet,
                                          std::chrono::milliseconds timeout) const {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + timeout;
    auto [text, lines] = lastText(readAll(output_));
    auto changed = Clock::now();
    while (text != expected && Clock::now() < end && Clock::now() - changed < quiet) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        auto [now, count] = lastText(readAll(output_));
        if (count != lines) {
            changed = Clock::now();
            lines = count;
            text = std::move(now);
        }
    }
    return text;
}

const std::string& LaggingTextField::mixedText() {
    static const std::string text =
        "Ça a été déjà très élégant; Größe übermäßig: 12 €, Zażółć gęślą jaźń! "
        "Příliš žluťoučký kůň úpěl ďábelské ódy. Ξεσκεπάζω την ψυχοφθόρα βδελυγμία. "
        "Съешь же ещё этих мягких булок. いろはにほへと 我能吞下玻璃而不伤身体。다람쥐 헌 쳇바퀴에 타고파 "
        "✓ → ½ © ñ ø å ß Ω … the quick brown fox (jumps) over 13 lazy dogs. ¿Qué? ¡Olé!";
    return text;
}

std::u32string LaggingTextField::scalarsOf(const std::string& utf8) {
    std::u32string scalars;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t scalar = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k) {
            scalar = (scalar << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        scalars += scalar;
        i += length;
    }
    return scalars;
}

std::vector<std::u32string> LaggingTextField::wirePieces(const std::string& utf8) {
    std::vector<std::u32string> pieces;
    std::size_t start = 0;
    while (start < utf8.size()) {
        std::size_t end = std::min(utf8.size(), start + 255);
        while (end < utf8.size() && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) {
            --end;
        }
        pieces.push_back(scalarsOf(utf8.substr(start, end - start)));
        start = end;
    }
    return pieces;
}

}  // namespace testing_support
