#include "protocol/phone/LinkMonitors.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "platform/ManualExecutor.h"

namespace TrackpadProtocol {
namespace {

using Reachability = ReachabilityMonitor::Reachability;

TEST(ReachabilityMonitor, UnreachableAfterConsecutiveLossesReachableWithOneAnswer) {
    ReachabilityMonitor monitor(3);
    EXPECT_EQ(monitor.reachability(), Reachability::unknown);
    EXPECT_TRUE(monitor.recordAnswer());
    EXPECT_FALSE(monitor.recordAnswer());
    EXPECT_FALSE(monitor.recordLoss());
    EXPECT_FALSE(monitor.recordLoss());
    EXPECT_FALSE(monitor.recordAnswer());  // an answer in between starts the count again
    EXPECT_FALSE(monitor.recordLoss());
    EXPECT_FALSE(monitor.recordLoss());
    EXPECT_TRUE(monitor.recordLoss());
    EXPECT_EQ(monitor.reachability(), Reachability::unreachable);
    EXPECT_FALSE(monitor.recordLoss());
    EXPECT_TRUE(monitor.recordAnswer());
    EXPECT_EQ(monitor.reachability(), Reachability::reachable);
}

TEST(LatencyMonitor, KeepsLastMinimumAndSmoothedRoundTrip) {
    LatencyMonitor latency;
    EXPECT_FALSE(latency.smoothed());
    latency.record(0.016);
    EXPECT_DOUBLE_EQ(*latency.smoothed(), 0.016);
    latency.record(0.032);
    EXPECT_DOUBLE_EQ(*latency.smoothed(), 0.016 + 0.016 / 8);
    EXPECT_DOUBLE_EQ(*latency.last(), 0.032);
    EXPECT_DOUBLE_EQ(*latency.minimum(), 0.016);
    latency.record(std::numeric_limits<double>::quiet_NaN());
    latency.record(-1);
    latency.record(std::numeric_limits<double>::infinity());
    EXPECT_EQ(latency.sampleCount(), 2u);
}

class ProbeMonitorTest : public ::testing::Test {
  protected:
    platform::ManualExecutor executor;
    std::vector<Message::Probe> sent;
    bool datagramsPossible = true;
    std::vector<std::pair<Transport, Reachability>> changes;
    ProbeMonitor monitor{executor, ProbeMonitor::Configuration{1.0, 2.0, 3}, [this](const Message& message) {
                             const auto& probe = *message.as<Message::Probe>();
                             if (probe.viaDatagram && !datagramsPossible) {
                                 return false;
                             }
                             sent.push_back(probe);
                             return true;
                         }};

    void SetUp() override {
        monitor.setChangeHandler([this](Transport t, Reachability r) { changes.emplace_back(t, r); });
    }
    void reply(const Message::Probe& probe) {
        EXPECT_TRUE(monitor.receive(Message::ProbeReply{probe.number, probe.viaDatagram}));
    }
};

TEST_F(ProbeMonitorTest, RepliesGiveLatencyAndReachabilityPerChannel) {
    monitor.start();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_FALSE(sent[0].viaDatagram);
    EXPECT_TRUE(sent[1].viaDatagram);
    EXPECT_NE(sent[0].number, sent[1].number);

    executor.advance(0.020);
    reply(sent[0]);
    executor.advance(0.010);
    reply(sent[1]);
    EXPECT_NEAR(*monitor.latency(Transport::reliable).last(), 0.020, 1e-9);
    EXPECT_NEAR(*monitor.latency(Transport::datagram).last(), 0.030, 1e-9);
    EXPECT_EQ(monitor.reachability(Transport::datagram).reachability(), Reachability::reachable);
    EXPECT_EQ(changes.size(), 2u);

    // Replies that answer nothing: repeated, unknown number, or the wrong channel.
    EXPECT_FALSE(monitor.receive(Message::ProbeReply{sent[0].number, false}));
    EXPECT_FALSE(monitor.receive(Message::ProbeReply{999, false}));
    executor.advance(0.97);  // the next round
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_FALSE(monitor.receive(Message::ProbeReply{sent[3].number, false}));
    EXPECT_FALSE(monitor.receive(Message::Probe{sent[2].number, false}));
}

TEST_F(ProbeMonitorTest, UnansweredDatagramProbesMakeThatChannelUnreachable) {
    monitor.start();
    // The reliable channel answers every probe, the datagram channel none.
    for (int second = 0; second < 5; ++second) {
        for (const auto& probe : sent) {
            if (!probe.viaDatagram) {
                monitor.receive(Message::ProbeReply{probe.number, false});
            }
        }
        executor.advance(1.0);
    }
    // Probes of t = 0, 1, 2 expired at t = 2, 3, 4: the third loss makes the channel unreachable.
    EXPECT_EQ(monitor.reachability(Transport::datagram).reachability(), Reachability::unreachable);
    EXPECT_EQ(monitor.reachability(Transport::reliable).reachability(), Reachability::reachable);
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes.back(), std::make_pair(Transport::datagram, Reachability::unreachable));

    reply(sent.back());  // the newest datagram probe comes back
    EXPECT_EQ(changes.back(), std::make_pair(Transport::datagram, Reachability::reachable));
}

TEST_F(ProbeMonitorTest, ProbesThatCouldNotBeSentAreNotLostAndStopEndsTheRounds) {
    datagramsPossible = false;
    monitor.start();
    executor.advance(10.0);
    EXPECT_EQ(monitor.reachability(Transport::datagram).reachability(), Reachability::unknown);
    EXPECT_EQ(monitor.reachability(Transport::reliable).reachability(), Reachability::unreachable);

    monitor.stop();
    const std::size_t before = sent.size();
    executor.advance(10.0);
    EXPECT_EQ(sent.size(), before);
    EXPECT_EQ(executor.pendingTimers(), 0u);
    EXPECT_FALSE(monitor.receive(Message::ProbeReply{sent.back().number, false}));  // forgotten
}

TEST_F(ProbeMonitorTest, AHandlerMayStopTheMonitorWhileProbesExpire) {
    // Losses on both channels expire in the same round; the first change stops the monitor.
    monitor.setChangeHandler([this](Transport, Reachability r) {
        if (r == Reachability::unreachable) {
            monitor.stop();
        }
    });
    monitor.start();
    executor.advance(10.0);
    EXPECT_FALSE(monitor.isRunning());
    EXPECT_EQ(executor.pendingTimers(), 0u);
    const std::size_t before = sent.size();
    executor.advance(5.0);
    EXPECT_EQ(sent.size(), before);
}

}  // namespace
}  // namespace TrackpadProtocol
