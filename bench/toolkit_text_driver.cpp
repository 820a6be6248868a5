// Typing into a lagging Qt 6 text field, one round per run (a script interleaves builds and rounds):
//   stall N  the 290-character mixed text (118 distinct characters the `us` keymap lacks) into a field
//            whose UI thread stalls N ms at the first key; prints whether it arrived exactly
//   slow N   the same into a field that takes N ms for every key press
//   rate     400 distinct CJK characters into a client that reads keys at once; prints the distinct
//            missing characters typed per second
// Each line ends with the load average. A last argument HOLD sets both settle times of the keyboard
// (ms) instead of its defaults. Usage: toolkit_text_driver stall MS [HOLD] | slow MS [HOLD] | rate [HOLD]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "injector/XTestKeyboard.h"
#include "testing/LaggingTextField.h"
#include "testing/XKeyReader.h"
#include "testing/XvfbServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double load() {
    double averages[3] = {};
    getloadavg(averages, 3);
    return averages[0];
}

Injector::XTestKeyboard::Options options(int hold) {
    Injector::XTestKeyboard::Options chosen;
    if (hold > 0) {
        chosen.bindingSettle = chosen.restoreSettle = std::chrono::milliseconds(hold);
    }
    return chosen;
}

int stall(int milliseconds, int every, int hold) {
    testing_support::XvfbServer server;
    testing_support::LaggingTextField field(server.displayName(),
                                            {.stallAtFirstKey = std::chrono::milliseconds(milliseconds),
                                             .stallAtEveryKey = std::chrono::milliseconds(every)});
    Injector::XTestKeyboard keyboard(server.displayName(), options(hold));
    const std::string& text = testing_support::LaggingTextField::mixedText();
    const auto start = Clock::now();
    for (std::u32string& piece : testing_support::LaggingTextField::wirePieces(text)) {
        keyboard.type(std::move(piece));
    }
    keyboard.sync();
    const std::string got = field.waitForText(text, 3s, 60s);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::u32string want = testing_support::LaggingTextField::scalarsOf(text);
    const std::u32string have = testing_support::LaggingTextField::scalarsOf(got);
    std::size_t same = 0;
    for (std::size_t i = 0; i < std::min(want.size(), have.size()); ++i) {
        same += want[i] == have[i] ? 1 : 0;
    }
    std::printf("stall %d ms (%d ms a key): exact %s  %zu of %zu characters in place  %.2f s  load %.2f\n",
                milliseconds, every, got == text ? "yes" : "NO", same, want.size(), seconds, load());
    keyboard.settle();
    return 0;
}

int rate(int hold) {
    constexpr int count = 400;
    testing_support::XvfbServer server;
    testing_support::XKeyReader reader(server.displayName());
    Injector::XTestKeyboard keyboard(server.displayName(), options(hold));
    std::string text;
    for (char32_t c = 0x4E00; c < 0x4E00 + count; ++c) {
        text += char(0xE0 | (c >> 12));
        text += char(0x80 | ((c >> 6) & 0x3F));
        text += char(0x80 | (c & 0x3F));
    }
    const auto start = Clock::now();
    for (std::u32string& piece : testing_support::LaggingTextField::wirePieces(text)) {
        keyboard.type(std::move(piece));
    }
    keyboard.sync();
    const bool all = reader.waitForPresses(count, 120s);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("rate: %.1f distinct missing characters/s  %.2f s  exact %s  load %.2f\n", count / seconds,
                seconds, all && reader.text() == text ? "yes" : "NO", load());
    keyboard.settle();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (!testing_support::XvfbServer::isInstalled()) {
        std::fprintf(stderr, "Xvfb is not installed\n");
        return 1;
    }
    if (argc >= 3 && std::strcmp(argv[1], "stall") == 0) {
        return stall(std::max(0, std::atoi(argv[2])), 0, argc >= 4 ? std::atoi(argv[3]) : 0);
    }
    if (argc >= 3 && std::strcmp(argv[1], "slow") == 0) {
        return stall(0, std::max(0, std::atoi(argv[2])), argc >= 4 ? std::atoi(argv[3]) : 0);
    }
    if (argc >= 2 && std::strcmp(argv[1], "rate") == 0) {
        return rate(argc >= 3 ? std::atoi(argv[2]) : 0);
    }
    std::fprintf(stderr, "usage: toolkit_text_driver stall MS | rate\n");
    return 2;
}
