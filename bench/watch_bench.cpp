// The watch relay's hot paths: the payload writer and reader for an input(move) and for a full status,
// and the pointer pacer per touch sample, with heap allocations counted through a replaced global operator
// new. Goals: under 200 ns each; the pacer allocates nothing in steady state.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "protocol/watch/WatchPayload.h"
#include "protocol/watch/WatchPointerPacer.h"

#include "bench/AllocationCounting.h"

using bench_support::allocationCount;

namespace {

using namespace TrackpadProtocol;

UUID target() {
    UUID id;
    for (std::size_t i = 0; i < id.bytes.size(); ++i)
        id.bytes[i] = static_cast<std::uint8_t>(0x30 + i);
    return id;
}

WatchPayload inputMove() {
    return WatchPayload::Input{Message::Move{3.25f, -1.5f}, target(), 42};
}

// Every field of a status block in use: a computer that is not connected, with its name and the problem.
WatchPayload fullStatus() {
    return WatchPayload::InputResult{
        true, WatchStatus(true, WatchStatus::Mac::NotConnected{"Ana's MacBook Pro", "The Mac is asleep."},
                          target(), 1234567)};
}

template <class Body>
void counted(benchmark::State& state, Body&& body) {
    for (int i = 0; i < 1000; ++i)
        body();
    const auto before = allocationCount.load();
    std::size_t iterations = 0;
    for (auto _ : state) {
        body();
        ++iterations;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(iterations));
    state.counters["allocs/op"] = static_cast<double>(allocationCount.load() - before) /
                                  static_cast<double>(std::max<std::size_t>(iterations, 1));
}

void encode(benchmark::State& state, const WatchPayload& payload) {
    Data out;
    out.reserve(128);
    counted(state, [&] {
        out.clear();
        payload.encode(out);
        benchmark::DoNotOptimize(out.data());
    });
}

void decode(benchmark::State& state, const WatchPayload& payload) {
    const Data bytes = payload.encoded();
    counted(state, [&] {
        WatchPayload read(bytes);
        benchmark::DoNotOptimize(&read);
    });
}

void BM_WatchPayload_EncodeInputMove(benchmark::State& state) {
    encode(state, inputMove());
}
void BM_WatchPayload_DecodeInputMove(benchmark::State& state) {
    decode(state, inputMove());
}
void BM_WatchPayload_EncodeFullStatus(benchmark::State& state) {
    encode(state, fullStatus());
}
void BM_WatchPayload_DecodeFullStatus(benchmark::State& state) {
    decode(state, fullStatus());
}

// Touch samples at 100 Hz with irregular gaps, and a tick of the display at 60 Hz between them; the cost
// is per sample, ticks included.
void BM_WatchPointerPacer_PerTouchSample(benchmark::State& state) {
    WatchPointerPacer pacer;
    std::vector<Message> out;
    out.reserve(8);
    double now = 0;
    double nextTick = 0;
    int sample = 0;
    std::size_t emitted = 0;
    counted(state, [&] {
        out.clear();
        now += (sample++ % 3 == 0) ? 0.004 : 0.013;
        while (nextTick < now) {
            if (auto share = pacer.tick(nextTick)) {
                out.push_back(std::move(*share));
            }
            nextTick += 1.0 / 60;
        }
        pacer.add(Message::Move{1.25f, -0.75f}, now, out);
        emitted += out.size();
        benchmark::DoNotOptimize(out.data());
    });
    state.counters["out/sample"] = static_cast<double>(emitted) / static_cast<double>(sample);
}

}  // namespace

BENCHMARK(BM_WatchPayload_EncodeInputMove);
BENCHMARK(BM_WatchPayload_DecodeInputMove);
BENCHMARK(BM_WatchPayload_EncodeFullStatus);
BENCHMARK(BM_WatchPayload_DecodeFullStatus);
BENCHMARK(BM_WatchPointerPacer_PerTouchSample);
BENCHMARK_MAIN();
