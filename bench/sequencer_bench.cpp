// The pointer path's pure cost per message: PointerSequencer::accept and PointerFrameAccumulator::add, with
// the heap allocations counted through a replaced global operator new. Goal: under 100 ns and no
// allocation per message in steady state.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#include "protocol/input/PointerFrameAccumulator.h"
#include "protocol/input/PointerSequencer.h"
#include "protocol/input/Stampers.h"

#include "bench/AllocationCounting.h"

using bench_support::allocationCount;

namespace {

using namespace TrackpadProtocol;

// A cycle of stamped messages in the order they arrive. Each pass over it shifts the sequences and
// positions on, so the sequencer sees one endless session. The cycle ends with a reliable message, whose
// sequence is then the boundary of the next pass's first messages, as the marker's 0 was for the first.
struct Stream {
    std::vector<Message> cycle;
    std::uint64_t sequenceStep = 0;
    double xStep = 0, yStep = 0;

    void shift() {
        for (auto& message : cycle) {
            auto& stamp = std::get<Message::Positioned>(message.value).stamp;
            stamp.sequence += sequenceStep;
            stamp.boundary += sequenceStep;
            stamp.x += xStep;
            stamp.y += yStep;
        }
    }
};

Stream makeStream(PointerStamper& stamper, bool withDrags) {
    Stream stream;
    std::vector<Message> sent;
    for (int i = 0; i < 1024; ++i) {
        if (withDrags && i % 16 == 0) {
            sent.push_back(*stamper.stamp(Message::Drag{DragPhase::began, 0, 0}));
            for (int n = 0; n < 6; ++n)
                sent.push_back(*stamper.stamp(Message::Drag{DragPhase::changed, 1.5f, -0.5f}));
            sent.push_back(*stamper.stamp(Message::Drag{DragPhase::ended, 0, 0}));
            i += 7;
        } else {
            sent.push_back(*stamper.stamp(Message::Move{0.75f, -0.25f}));
        }
    }
    if (withDrags) {
        // Datagrams overtake the reliable drag starts and one in eight moves is lost or late.
        for (std::size_t i = 1; i + 2 < sent.size(); ++i) {
            const auto& inner = *std::get<Message::Positioned>(sent[i].value).message;
            if (auto drag = inner.as<Message::Drag>(); drag && drag->phase == DragPhase::began) {
                std::rotate(sent.begin() + static_cast<std::ptrdiff_t>(i),
                            sent.begin() + static_cast<std::ptrdiff_t>(i + 1),
                            sent.begin() + static_cast<std::ptrdiff_t>(i + 3));
                i += 2;
            } else if (inner.is<Message::Move>() && i % 8 == 0) {
                std::swap(sent[i], sent[i + 1]);
            }
        }
    }
    sent.push_back(*stamper.stamp(Message::Tap{1}));
    stream.cycle = std::move(sent);
    const auto& last = std::get<Message::Positioned>(stream.cycle.back().value).stamp;
    std::uint64_t highest = 0;
    for (const auto& message : stream.cycle) {
        highest = std::max(highest, std::get<Message::Positioned>(message.value).stamp.sequence);
    }
    stream.sequenceStep = highest;
    stream.xStep = last.x;
    stream.yStep = last.y;
    return stream;
}

void pointerPath(benchmark::State& state, bool withDrags, bool returnsVectors = false) {
    PointerStamper stamper(UUID::random());
    PointerSequencer sequencer;
    PointerFrameAccumulator accumulator;
    std::vector<Message> released;
    std::vector<Message> posted;
    released.reserve(PointerSequencer::heldCapacity + 4);
    posted.reserve(PointerSequencer::heldCapacity + 4);
    sequencer.accept(stamper.sessionStart(), released);
    Stream stream = makeStream(stamper, withDrags);

    double now = 0;
    std::size_t next = 0;
    std::size_t messages = 0;
    std::size_t releasedCount = 0;
    auto step = [&] {
        if (returnsVectors) {
            auto fromSequencer = sequencer.accept(stream.cycle[next]);
            benchmark::DoNotOptimize(fromSequencer.data());
            releasedCount += fromSequencer.size();
            for (const auto& message : fromSequencer) {
                auto items = accumulator.add(message, now);
                benchmark::DoNotOptimize(items.data());
            }
        } else {
            released.clear();
            posted.clear();
            sequencer.accept(stream.cycle[next], released);
            releasedCount += released.size();
            for (const auto& message : released)
                accumulator.add(message, now, posted);
            benchmark::DoNotOptimize(posted.data());
        }
        now += 1.0 / 240.0;  // deltas at twice the frame rate: every other one releases a frame
        if (++next == stream.cycle.size()) {
            next = 0;
            stream.shift();
        }
    };
    // Warm up: the output buffers and the sequencer reach their steady sizes.
    for (std::size_t i = 0; i < stream.cycle.size() * 2; ++i)
        step();

    const std::size_t allocationsBefore = allocationCount.load();
    releasedCount = 0;
    for (auto _ : state) {
        step();
        ++messages;
    }
    const std::size_t allocations = allocationCount.load() - allocationsBefore;
    state.SetItemsProcessed(static_cast<std::int64_t>(messages));
    state.counters["allocs/msg"] = static_cast<double>(allocations) / static_cast<double>(messages);
    // What the sequencer let through per message: near 1, less where datagrams come too late.
    state.counters["released/msg"] = static_cast<double>(releasedCount) / static_cast<double>(messages);
}

void BM_PointerPath_Moves(benchmark::State& state) {
    pointerPath(state, false);
}
void BM_PointerPath_DragsWithReordering(benchmark::State& state) {
    pointerPath(state, true);
}
// The same moves through the list-returning calls, for comparison: each call allocates its list.
void BM_PointerPath_Moves_ReturnedLists(benchmark::State& state) {
    pointerPath(state, false, true);
}

}  // namespace

BENCHMARK(BM_PointerPath_Moves);
BENCHMARK(BM_PointerPath_DragsWithReordering);
BENCHMARK(BM_PointerPath_Moves_ReturnedLists);
BENCHMARK_MAIN();
