// Text throughput on a private Xvfb: a 2,000-character mixed text (ASCII, accented Latin, symbols the
// keymap lacks) typed through the gesture engine's XTEST path, then by `xdotool type --delay 0`, each
// read by a client that decodes keys as applications do. Prints characters per second delivered and
// whether every character arrived right. Usage: text_throughput [runs]
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "Gestures/GestureEngine.h"
#include "TrackpadProtocol/Types.h"
#include "testing/Subprocess.h"
#include "testing/XKeyReader.h"
#include "testing/XvfbServer.h"

namespace {

using namespace Gestures;
using Clock = std::chrono::steady_clock;

class NoScheduler final : public GestureScheduler {
  public:
    void schedule(double, std::function<void()>) override {}
};
class NoPower final : public SystemPower {
  public:
    bool sleep() override { return false; }
};

std::string mixedText(std::size_t characters) {
    const char* pieces[] = {"the ", "quick ", "brown ", "fox ", "é", "ü", "ñ",      "ç",     "à",
                            "ö",    "€",      "✓",      "→",    "½", "©", "jumps ", "over ", "Ω",
                            "ß",    "lazy ",  "dog ",   "ø",    "å", "ł", "č",      "…"};
    std::string text;
    std::size_t count = 0;
    for (std::size_t i = 0; count < characters; i = (i * 7 + 3) % std::size(pieces)) {
        for (const char* p = pieces[i]; *p != '\0' && count < characters;) {
            const std::size_t length = (*p & 0x80) == 0      ? 1
                                       : (*p & 0xE0) == 0xC0 ? 2
                                       : (*p & 0xF0) == 0xE0 ? 3
                                                             : 4;
            text.append(p, length);
            p += length;
            ++count;
        }
    }
    return text;
}

// Pieces of at most 255 bytes on character boundaries, as the phone sends them.
std::vector<std::string> wirePieces(const std::string& text) {
    std::vector<std::string> pieces;
    std::string rest = text;
    while (!rest.empty()) {
        const std::string piece = TrackpadProtocol::truncatedForWire(rest);
        pieces.push_back(piece);
        rest.erase(0, piece.size());
    }
    return pieces;
}

struct Result {
    double seconds = 0;
    bool exact = false;
    std::size_t received = 0;
};

Result ours(const std::string& display, const std::string& text, std::size_t characters) {
    testing_support::XKeyReader reader(display);
    SystemGestureEventPoster poster(display);
    CurrentKeyboardLayout layout(display);
    SymbolicHotKeys hotKeys([] { return SymbolicHotKeys::linuxDefaults(); });
    NoScheduler scheduler;
    NoPower power;
    GestureEngine engine(
        GestureMapping::defaultMapping(), GestureEngine::Configuration{}, poster, hotKeys, layout,
        [] { return std::nullopt; }, [] { return 0.0; }, DockSwipeRecipe::unavailable,
        [](std::optional<Point>) { return 2.0; }, [](SystemAction) { return true; }, scheduler, power);
    const auto pieces = wirePieces(text);
    const auto start = Clock::now();
    for (const std::string& piece : pieces) {
        engine.handle(Message::Text{piece});
    }
    poster.sync();
    const bool all = reader.waitForPresses(characters, std::chrono::seconds(60));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    poster.settle();
    const std::string got = reader.text();
    return {seconds, all && got == text, got.size()};
}

Result xdotool(const std::string& display, const std::string& text, std::size_t characters) {
    testing_support::XKeyReader reader(display);
    const auto start = Clock::now();
    testing_support::runCommand({"xdotool", "type", "--delay", "0", text}, std::chrono::seconds(120),
                                {{"DISPLAY", display}});
    reader.waitForPresses(characters, std::chrono::seconds(2));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::string got = reader.text();
    return {seconds, got == text, got.size()};
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    if (!testing_support::XvfbServer::isInstalled()) {
        std::fprintf(stderr, "Xvfb is not installed\n");
        return 1;
    }
    constexpr std::size_t characters = 2000;
    const std::string text = mixedText(characters);
    const bool haveXdotool = testing_support::findExecutable("xdotool").has_value();
    for (int run = 0; run < runs; ++run) {
        testing_support::XvfbServer server;
        const Result a = ours(server.displayName(), text, characters);
        std::printf("run %d  engine : %7.0f chars/s  %.3f s  exact=%s\n", run + 1, characters / a.seconds,
                    a.seconds, a.exact ? "yes" : "NO");
        if (haveXdotool) {
            const Result b = xdotool(server.displayName(), text, characters);
            std::printf("run %d  xdotool: %7.0f chars/s  %.3f s  exact=%s\n", run + 1, characters / b.seconds,
                        b.seconds, b.exact ? "yes" : "NO");
        }
        std::fflush(stdout);
    }
    return 0;
}
