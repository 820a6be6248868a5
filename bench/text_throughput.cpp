// Text throughput on a private Xvfb with the keymap `us,de`, the second (German) group locked and Caps
// Lock on: a 2,000-character mixed text (ASCII, accented Latin, symbols, and 200 distinct CJK
// characters the keymap lacks) typed through the gesture engine's XTEST path, then by
// `xdotool type --delay 0`, interleaved run by run, each read by a client that decodes keys as
// applications do. Prints characters per second delivered, whether every character arrived right, the
// longest time one `handle` of a text message took (what the main loop spends), and min/median/max over
// the runs with the load average. Usage: text_throughput [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gestures/GestureEngine.h"
#include "protocol/messages/Types.h"
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

std::string mixedText(std::size_t characters);

void appendUTF8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// The mixed text with 200 distinct CJK characters spread through it, one every ten characters.
std::string mixedTextWithCJK(std::size_t characters) {
    const std::string base = mixedText(characters - 200);
    std::string text;
    std::size_t count = 0;
    char32_t cjk = 0x4E00;
    for (std::size_t i = 0; i < base.size();) {
        const unsigned char lead = static_cast<unsigned char>(base[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        text.append(base, i, length);
        i += length;
        if (++count % 9 == 0 && cjk < 0x4E00 + 200) {
            appendUTF8(text, cjk++);
        }
    }
    while (cjk < 0x4E00 + 200) {
        appendUTF8(text, cjk++);
    }
    return text;
}

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
    // The longest single `handle` of a text message.
    double longestHandle = 0;
};

// The keyboard as the phone's user has it: `us,de` with the German group locked, Caps Lock on.
void prepareKeyboard(const std::string& display) {
    testing_support::runCommand({"setxkbmap", "-display", display, "-layout", "us,de"},
                                std::chrono::seconds(20));
    testing_support::XKeyReader keys(display);
    keys.lockGroup(1);
    keys.setCapsLock(true);
}

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
    double longest = 0;
    for (const std::string& piece : pieces) {
        const auto before = Clock::now();
        engine.handle(Message::Text{piece});
        longest = std::max(longest, std::chrono::duration<double>(Clock::now() - before).count());
    }
    poster.sync();
    const bool all = reader.waitForPresses(characters, std::chrono::seconds(60));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    poster.settle();
    const std::string got = reader.text();
    return {seconds, all && got == text, got.size(), longest};
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
    const std::string text = mixedTextWithCJK(characters);
    const bool haveXdotool = testing_support::findExecutable("xdotool").has_value();
    std::vector<double> oursRate;
    std::vector<double> oursStall;
    std::vector<double> theirRate;
    int oursExact = 0;
    int theirExact = 0;
    const auto load = [] {
        double averages[3] = {};
        getloadavg(averages, 3);
        return averages[0];
    };
    std::printf("load average at start: %.2f\n", load());
    for (int run = 0; run < runs; ++run) {
        {
            testing_support::XvfbServer server;
            prepareKeyboard(server.displayName());
            const Result a = ours(server.displayName(), text, characters);
            oursRate.push_back(characters / a.seconds);
            oursStall.push_back(a.longestHandle * 1000);
            oursExact += a.exact ? 1 : 0;
            std::printf(
                "run %d  engine : %7.0f chars/s  %.3f s  exact=%s  longest handle %.2f ms  load %.2f\n",
                run + 1, characters / a.seconds, a.seconds, a.exact ? "yes" : "NO", a.longestHandle * 1000,
                load());
        }
        if (haveXdotool) {
            testing_support::XvfbServer server;
            prepareKeyboard(server.displayName());
            const Result b = xdotool(server.displayName(), text, characters);
            theirRate.push_back(characters / b.seconds);
            theirExact += b.exact ? 1 : 0;
            std::printf("run %d  xdotool: %7.0f chars/s  %.3f s  exact=%s  load %.2f\n", run + 1,
                        characters / b.seconds, b.seconds, b.exact ? "yes" : "NO", load());
        }
        std::fflush(stdout);
    }
    const auto summary = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        char line[96];
        std::snprintf(line, sizeof line, "min %.1f / median %.1f / max %.1f", values.front(),
                      values[values.size() / 2], values.back());
        return std::string(line);
    };
    std::printf("engine : chars/s %s, exact %d of %d, longest handle ms %s\n", summary(oursRate).c_str(),
                oursExact, runs, summary(oursStall).c_str());
    if (!theirRate.empty()) {
        std::printf("xdotool: chars/s %s, exact %d of %d\n", summary(theirRate).c_str(), theirExact, runs);
    }
    // 200 distinct characters the keymap lacks in one go: the main loop must not wait for their spare
    // codes to be recycled.
    std::string cjk;
    for (char32_t c = 0x4E00; c < 0x4E00 + 200; ++c) {
        appendUTF8(cjk, c);
    }
    std::vector<double> cjkStall;
    int cjkExact = 0;
    for (int run = 0; run < runs; ++run) {
        testing_support::XvfbServer server;
        prepareKeyboard(server.displayName());
        const Result c = ours(server.displayName(), cjk, 200);
        cjkStall.push_back(c.longestHandle * 1000);
        cjkExact += c.exact ? 1 : 0;
    }
    std::printf("200 distinct CJK: longest handle ms %s, exact %d of %d, load %.2f\n",
                summary(cjkStall).c_str(), cjkExact, runs, load());
    std::printf("load average at end: %.2f\n", load());
    return 0;
}
