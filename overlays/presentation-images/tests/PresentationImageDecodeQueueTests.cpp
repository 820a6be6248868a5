#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "overlays/presentation-images/PresentationImageDecodeQueue.h"
#include "platform/DispatchQueue.h"

namespace PresentationImages {
namespace {

using TrackpadProtocol::Data;
using TrackpadProtocol::UUID;

UUID phone(std::uint8_t n) {
    UUID id;
    id.bytes[0] = n;
    return id;
}

// Decodes nothing: records which picture (its first byte) was decoded, and holds the worker at the first
// decode until released, the way a large picture does.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    bool holding = false;
    std::vector<int> decoded;
    std::vector<int> completed;

    PresentationImageDecodeQueue::Decode decode() {
        return [this](std::span<const std::uint8_t> image,
                      const std::atomic<bool>&) -> std::optional<PresentationImagePicture> {
            std::unique_lock lock(mutex);
            decoded.push_back(image[0]);
            holding = true;
            changed.notify_all();
            changed.wait(lock, [&] { return released; });
            return PresentationImagePicture{*platform::imaging::Bitmap::create(1, 1, {}, 1), true};
        };
    }
    PresentationImageDecodeQueue::Completion done(int number) {
        return [this, number](std::optional<PresentationImagePicture> picture) {
            std::lock_guard lock(mutex);
            if (picture) {
                completed.push_back(number);
            }
        };
    }
};

TEST(PresentationImageDecodeQueue, KeepsOneWaitingPicturePerPhoneAndLetsTheOtherPhoneThrough) {
    Recorder recorder;
    auto worker = std::make_shared<platform::DispatchQueue>("test.decodes");
    auto queue = PresentationImageDecodeQueue::make({worker}, recorder.decode());

    queue->submit(phone(1), Data{1}, recorder.done(1));
    {
        std::unique_lock lock(recorder.mutex);
        recorder.changed.wait(lock, [&] { return recorder.holding; });
    }
    // Phone 1 keeps sending while its first picture decodes; phone 2 sends one picture in between.
    for (std::uint8_t n = 2; n <= 50; ++n) {
        queue->submit(phone(1), Data(1024, n), recorder.done(n));
        if (n == 20) {
            queue->submit(phone(2), Data{200}, recorder.done(200));
        }
        EXPECT_LE(queue->waitingCount(), 2u);
    }
    EXPECT_EQ(queue->waitingCount(), 2u);
    {
        std::lock_guard lock(recorder.mutex);
        recorder.released = true;
        recorder.changed.notify_all();
    }
    worker->sync([] {});
    std::lock_guard lock(recorder.mutex);
    EXPECT_EQ(recorder.decoded, (std::vector<int>{1, 200, 50}));
    EXPECT_EQ(recorder.completed, (std::vector<int>{1, 200, 50}));
    EXPECT_EQ(queue->waitingCount(), 0u);
}

// A stop discards the worker's pending tasks; the pictures waiting go with them, and pictures that come
// afterwards decode as usual.
TEST(PresentationImageDecodeQueue, APictureAfterTheWorkersTasksWereDiscardedIsDecoded) {
    Recorder recorder;
    recorder.released = true;
    auto worker = std::make_shared<platform::DispatchQueue>("test.decodes");
    auto queue = PresentationImageDecodeQueue::make({worker}, recorder.decode());
    // The worker at something else meanwhile.
    std::promise<void> started;
    std::promise<void> busy;
    worker->async([&started, done = busy.get_future().share()] {
        started.set_value();
        done.wait();
    });
    started.get_future().wait();
    queue->submit(phone(1), Data{2}, recorder.done(2));
    queue->submit(phone(2), Data{3}, recorder.done(3));
    EXPECT_EQ(worker->discardPending(), 1u);
    EXPECT_EQ(queue->waitingCount(), 0u);

    queue->submit(phone(1), Data{4}, recorder.done(4));
    queue->submit(phone(1), Data{5}, recorder.done(5));
    busy.set_value();
    worker->sync([] {});
    std::lock_guard lock(recorder.mutex);
    EXPECT_EQ(recorder.decoded, std::vector<int>{5});
    EXPECT_EQ(recorder.completed, std::vector<int>{5});
    EXPECT_EQ(queue->waitingCount(), 0u);
}

// Two phones' pictures decode at once, a phone's one at a time: a long decode holds up no other phone's
// picture. A phone that leaves stops its pictures: the one decoding gives up at once, the one it had
// waiting is never begun, and neither of their completions is called.
TEST(PresentationImageDecodeQueue, APhonesLongDecodeHoldsUpNoOtherPhoneAndStopsWhenThePhoneLeaves) {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> decoded;
    std::vector<int> completed;
    bool stoppedInTime = false;
    const auto workers =
        PresentationImageDecodeQueue::Workers{std::make_shared<platform::DispatchQueue>("test.decodes"),
                                              std::make_shared<platform::DispatchQueue>("test.decodes")};
    auto queue = PresentationImageDecodeQueue::make(
        workers,
        [&](std::span<const std::uint8_t> image,
            const std::atomic<bool>& stop) -> std::optional<PresentationImagePicture> {
            {
                std::lock_guard lock(mutex);
                decoded.push_back(image[0]);
                changed.notify_all();
            }
            if (image[0] == 1) {
                // As a long decode does, it looks at its flag now and then; it would not end by itself.
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                while (!stop && std::chrono::steady_clock::now() < deadline) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                stoppedInTime = stop;
                return std::nullopt;
            }
            return PresentationImagePicture{*platform::imaging::Bitmap::create(1, 1, {}, 1), true};
        });
    const auto done = [&](int number) {
        return [&, number](std::optional<PresentationImagePicture>) {
            std::lock_guard lock(mutex);
            completed.push_back(number);
            changed.notify_all();
        };
    };
    queue->submit(phone(1), Data{1}, done(1));
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return !decoded.empty(); });
    }
    queue->submit(phone(1), Data{2}, done(2));
    queue->submit(phone(2), Data{3}, done(3));
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return !completed.empty(); }));
        EXPECT_EQ(decoded, (std::vector<int>{1, 3})) << "phone 1's second picture waits for its first";
    }

    queue->stop([](const UUID& owner) { return owner == phone(1); });
    for (const auto& worker : workers) {
        worker->sync([] {});
    }
    EXPECT_TRUE(stoppedInTime);
    std::lock_guard lock(mutex);
    EXPECT_EQ(decoded, (std::vector<int>{1, 3}));
    EXPECT_EQ(completed, std::vector<int>{3});
    EXPECT_EQ(queue->waitingCount(), 0u);
}

TEST(PresentationImageDecodeQueue, ADecodeThatRunsOutOfMemoryFailsAndTheNextOneStillRuns) {
    auto worker = std::make_shared<platform::DispatchQueue>("test.decodes");
    auto queue = PresentationImageDecodeQueue::make(
        {worker},
        [](std::span<const std::uint8_t> image,
           const std::atomic<bool>&) -> std::optional<PresentationImagePicture> {
            if (image[0] == 1) {
                throw std::bad_alloc();
            }
            return PresentationImagePicture{*platform::imaging::Bitmap::create(1, 1, {}, 1), true};
        });
    std::vector<std::pair<int, bool>> results;
    queue->submit(phone(1), Data{1}, [&](auto picture) { results.emplace_back(1, picture.has_value()); });
    queue->submit(phone(2), Data{2}, [&](auto picture) { results.emplace_back(2, picture.has_value()); });
    worker->sync([] {});
    EXPECT_EQ(results, (std::vector<std::pair<int, bool>>{{1, false}, {2, true}}));
}

}  // namespace
}  // namespace PresentationImages
