// Costs on the pointer path: building a move's event, handling a move message up to its posted record,
// and posting pointer motion to a private Xvfb through XTest.
#include <benchmark/benchmark.h>

#include <memory>

#include "injector/HIDEventPoster.h"
#include "injector/InputInjector.h"
#include "injector/PointerEvents.h"
#include "injector/RecordingEventPoster.h"
#include "platform/ManualExecutor.h"
#include "testing/XvfbServer.h"

namespace {

using namespace Injector;

void BM_BuildMove(benchmark::State& state) {
    PointerEventBuilder builder(0.4, 2.0);
    builder.displays = {{0, 0, 1920, 1080}, {1920, 0, 1280, 720}};
    builder.location = Point{500, 500};
    double direction = 1;
    for (auto _ : state) {
        EventList events = builder.move(0.25 * direction, 0.125);
        benchmark::DoNotOptimize(events);
        direction = -direction;
    }
}
BENCHMARK(BM_BuildMove);

void BM_BuildAndRecordMove(benchmark::State& state) {
    PointerEventBuilder builder(0.4, 2.0);
    builder.displays = {{0, 0, 1920, 1080}};
    builder.location = Point{500, 500};
    RecordingEventPoster poster;
    double direction = 1;
    std::int64_t posted = 0;
    for (auto _ : state) {
        for (const InputEvent& event : builder.move(0.25 * direction, 0.125)) {
            poster.post(event);
        }
        direction = -direction;
        if (++posted % 4096 == 0) {
            poster.clear();
        }
    }
}
BENCHMARK(BM_BuildAndRecordMove);

class StillScreen final : public ScreenGeometry {
  public:
    std::optional<Point> cursorLocation() override { return Point{500, 500}; }
    std::vector<Rect> displays() override { return {{0, 0, 1920, 1080}}; }
};

// From a move message to its posted record, unpaced: what one phone delta costs the main thread.
void BM_InjectorHandleMove(benchmark::State& state) {
    platform::ManualExecutor executor;
    StillScreen screen;
    RecordingEventPoster poster;
    InputInjector injector(poster, screen, executor, {}, [&] { return executor.now(); });
    const TrackpadProtocol::Message right = TrackpadProtocol::Message::Move{0.25f, 0.125f};
    const TrackpadProtocol::Message left = TrackpadProtocol::Message::Move{-0.25f, -0.125f};
    std::int64_t handled = 0;
    for (auto _ : state) {
        injector.handle(++handled % 2 == 0 ? right : left);
        if (handled % 4096 == 0) {
            poster.clear();
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InjectorHandleMove);

// Paced: one delta per virtual millisecond, with the frame timer releasing a move every 1/120 s.
void BM_InjectorHandleMovePaced(benchmark::State& state) {
    platform::ManualExecutor executor;
    StillScreen screen;
    RecordingEventPoster poster(true);
    InputInjector injector(poster, screen, executor, {}, [&] { return executor.now(); });
    // One direction: deltas that cancel within a frame would post nothing.
    const TrackpadProtocol::Message delta = TrackpadProtocol::Message::Move{0.25f, 0.125f};
    std::int64_t handled = 0;
    for (auto _ : state) {
        injector.handle(delta);
        ++handled;
        executor.advance(std::chrono::microseconds(1000));
        if (handled % 4096 == 0) {
            poster.clear();
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InjectorHandleMovePaced);

std::unique_ptr<testing_support::XvfbServer> startServer(benchmark::State& state) {
    if (!testing_support::XvfbServer::isInstalled()) {
        state.SkipWithError("Xvfb is not installed");
        return nullptr;
    }
    return std::make_unique<testing_support::XvfbServer>();
}

InputEvent motion(int i) {
    return InputEvent::mouse(EventType::mouseMoved, Point{double(100 + i % 200), double(100 + i % 150)},
                             MouseButton::left);
}

// Posting alone: requests are pipelined, so this is the cost the injector's thread pays per motion.
// A round trip every 1024 motions keeps the server from falling behind the measurement.
void BM_XvfbPostMotion(benchmark::State& state) {
    auto server = startServer(state);
    if (!server) {
        return;
    }
    HIDEventPoster poster(server->displayName());
    int i = 0;
    for (auto _ : state) {
        poster.post(motion(i++));
        if (i % 1024 == 0) {
            poster.sync();
        }
    }
    poster.sync();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_XvfbPostMotion)->Unit(benchmark::kMicrosecond);

// Posting and waiting until the server has carried the motion out.
void BM_XvfbPostMotionRoundTrip(benchmark::State& state) {
    auto server = startServer(state);
    if (!server) {
        return;
    }
    HIDEventPoster poster(server->displayName());
    int i = 0;
    for (auto _ : state) {
        poster.post(motion(i++));
        poster.sync();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_XvfbPostMotionRoundTrip)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
