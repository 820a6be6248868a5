// Sessions on their real queues, with frames, results and completions coming from other threads: nothing
// outlives the session and no thread has to join itself.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/LoopQueue.h"
#include "screen-view/ScreenViewHost.h"
#include "screen-view/tests/ScreenViewFakes.h"
#include "testing/LoopThread.h"

namespace ScreenView::fakes {
namespace {

using TrackpadProtocol::Message;

TEST(ScreenViewThreads, SessionsOnTheirOwnQueuesEndCleanlyUnderTraffic) {
    for (int round = 0; round < 20; ++round) {
        auto source = std::make_shared<FakeCaptureSource>();
        source->setDisplays({display(1, 640, 480)});
        auto encoders = std::make_shared<FakeEncoderFactory>();
        encoders->autoAnswer = true;
        std::atomic<int> frameMessages{0};
        std::atomic<bool> done{false};
        std::vector<std::function<void()>> completions;
        std::mutex mutex;
        // The connection completes sends later on a thread of its own, as the listener does.
        std::thread connection([&] {
            while (!done) {
                std::vector<std::function<void()>> due;
                {
                    std::lock_guard lock(mutex);
                    due.swap(completions);
                }
                for (auto& completion : due) {
                    completion();
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        {
            ScreenViewHost<int> host(source, encoders, std::make_shared<FakePermission>(),
                                     ScreenViewSession::Configuration(2, 0.85));
            auto send = [&](ScreenViewSession::Messages messages, std::function<void()> completion) {
                for (auto& message : messages) {
                    frameMessages += message.is<Message::ScreenVideo>() ? 1 : 0;
                }
                std::lock_guard lock(mutex);
                completions.push_back(std::move(completion));
            };
            host.handle(Message::ScreenViewStart{{1, 640, 120, TrackpadProtocol::ScreenVideoCodecs::h264}}, 1,
                        send);
            ASSERT_TRUE(testing_support::eventually([&] { return source->lastCapture() != nullptr; }));
            std::thread capture([&, capture = source->lastCapture()] {
                for (std::uint64_t t = 1; t < 400; ++t) {
                    capture->deliver(t * 1000);
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                }
            });
            ASSERT_TRUE(testing_support::eventually([&] { return frameMessages > 0; }));
            if (round % 2 == 0) {
                host.endSession(1);
            }
            capture.join();
        }  // the host's end closes whatever is left
        done = true;
        connection.join();
        std::lock_guard lock(mutex);
        for (auto& completion : completions) {
            completion();
        }
    }
    // Each session closed on its own queue, whose thread then ended by itself.
    EXPECT_TRUE(platform::WorkerThread::joinAll(std::chrono::seconds(10)));
}

// A queue on a thread of its own whose post waits until the task has run there and let go of what it
// held, so that where a session ends does not depend on which thread is faster.
class WaitingQueue final : public platform::Executor {
  public:
    void post(Task task) override {
        queue_.sync([&] {
            Task local = std::move(task);
            local();
        });
    }
    TimerID schedule(std::chrono::microseconds delay, Task task, std::chrono::microseconds leeway) override {
        return queue_.schedule(delay, std::move(task), leeway);
    }
    void cancel(TimerID id) override { queue_.cancel(id); }
    double now() const override { return queue_.now(); }
    bool isCurrent() const override { return queue_.isCurrent(); }

  private:
    platform::LoopQueue queue_{"test.session"};
};

// An image queue that is never used, recording the thread it is destroyed on.
class NotingQueue final : public platform::Executor {
  public:
    explicit NotingQueue(std::thread::id& endedOn) : endedOn_(endedOn) {}
    ~NotingQueue() override { endedOn_ = std::this_thread::get_id(); }
    void post(Task) override {}
    TimerID schedule(std::chrono::microseconds, Task, std::chrono::microseconds) override { return 0; }
    void cancel(TimerID) override {}
    double now() const override { return 0; }
    bool isCurrent() const override { return false; }

  private:
    std::thread::id& endedOn_;
};

TEST(ScreenViewThreads, AnEndedSessionIsReleasedOnItsOwnQueueNotTheCallers) {
    std::thread::id endedOn;
    std::thread::id queueThread;
    auto queue = std::make_shared<WaitingQueue>();
    queue->post([&] { queueThread = std::this_thread::get_id(); });
    ScreenViewHost<int> host(std::make_shared<FakeCaptureSource>(), std::make_shared<FakeEncoderFactory>(),
                             std::make_shared<FakePermission>(), ScreenViewSession::Configuration(2, 0.85),
                             nullptr, [&] {
                                 ScreenViewSession::Environment environment;
                                 environment.queue = queue;
                                 environment.imageQueue = std::make_shared<NotingQueue>(endedOn);
                                 return environment;
                             });
    host.handle(Message::ScreenDisplaysRequest{}, 1, [](auto, auto done) { done(); });
    queue.reset();
    // The session's end joins its view's threads and any encoding under way: never on the main loop.
    host.endSession(1);
    EXPECT_EQ(endedOn, queueThread);
    EXPECT_NE(endedOn, std::this_thread::get_id());
}

}  // namespace
}  // namespace ScreenView::fakes
