// Costs of the gesture engine's message path: a pinch change and a key combination, from the message to
// the posted records (recording poster, fixed layout).
#include <benchmark/benchmark.h>

#include "gestures/GestureEngine.h"

namespace {

using namespace Gestures;
using TrackpadProtocol::Gesture;
using TrackpadProtocol::GesturePhase;
using TrackpadProtocol::KeyCombination;

class CountingPoster final : public GestureEventPoster {
  public:
    void post(const InputEvent& event, EventTap) override {
        benchmark::DoNotOptimize(event);
        ++count;
    }
    std::size_t count = 0;
};

class NoScheduler final : public GestureScheduler {
  public:
    void schedule(double, std::function<void()>) override {}
};

class NoPower final : public SystemPower {
  public:
    bool sleep() override { return false; }
};

struct Fixture {
    CountingPoster poster;
    SymbolicHotKeys hotKeys{[] { return std::shared_ptr<const HotKeyDictionary>(); }};
    NoScheduler scheduler;
    NoPower power;
    double now = 1000;
    GestureEngine engine{GestureMapping::defaultMapping(),
                         GestureEngine::Configuration{},
                         poster,
                         hotKeys,
                         FixedKeyboardLayout::shortcutKeys(),
                         [] {
                             return std::optional<Point>(Point{10, 10});
                         },
                         [this] { return now; },
                         DockSwipeRecipe::unavailable,
                         [](std::optional<Point>) { return 2.0; },
                         [](SystemAction) { return true; },
                         scheduler,
                         power};
};

void BM_PinchChanged(benchmark::State& state) {
    Fixture f;
    f.engine.handle(Message::Gesture{Gesture{Gesture::Pinch{GesturePhase::began, 0, std::nullopt}}});
    // Alternating +0.3 and -0.3 posts one zoom stroke per message (six records).
    float magnification = 0.3f;
    const Message in = Message::Gesture{Gesture{Gesture::Pinch{GesturePhase::changed, 0.3f, std::nullopt}}};
    const Message out = Message::Gesture{Gesture{Gesture::Pinch{GesturePhase::changed, -0.3f, std::nullopt}}};
    for (auto _ : state) {
        f.engine.handle(magnification > 0 ? in : out);
        magnification = -magnification;
    }
    state.counters["records/msg"] = double(f.poster.count) / double(state.iterations());
}
BENCHMARK(BM_PinchChanged);

void BM_KeyCombination(benchmark::State& state) {
    Fixture f;
    const Message message = Message::KeyCombination{
        KeyCombination{KeyCombination::Character{"q"}, KeyCombination::Modifiers::command}};
    for (auto _ : state) {
        f.engine.handle(message);
    }
    state.counters["records/msg"] = double(f.poster.count) / double(state.iterations());
}
BENCHMARK(BM_KeyCombination);

}  // namespace

BENCHMARK_MAIN();
