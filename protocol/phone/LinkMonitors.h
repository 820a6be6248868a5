#pragma once
// The phone's view of its link to the computer. ReachabilityMonitor and LatencyMonitor are plain state
// fed with probe outcomes; ProbeMonitor sends probes on both channels at a steady pace, matches the
// computer's replies (always on TLS, naming the channel the probe came by) and feeds one monitor of
// each kind per channel.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>

#include "platform/Executor.h"
#include "protocol/messages/Message.h"

namespace TrackpadProtocol {

class ReachabilityMonitor {
  public:
    enum class Reachability { unknown, reachable, unreachable };

    // A channel is unreachable after this many probes in a row went unanswered, and reachable again
    // with the first answer.
    explicit ReachabilityMonitor(int lossesUntilUnreachable = 3)
        : lossesUntilUnreachable_(lossesUntilUnreachable < 1 ? 1 : lossesUntilUnreachable) {}

    Reachability reachability() const { return reachability_; }
    int consecutiveLosses() const { return losses_; }

    // Each returns true when the reachability changed.
    bool recordAnswer();
    bool recordLoss();
    void reset();

  private:
    int lossesUntilUnreachable_;
    int losses_ = 0;
    Reachability reachability_ = Reachability::unknown;
};

class LatencyMonitor {
  public:
    // A round trip in seconds; NaN, infinite and negative values are ignored.
    void record(double roundTrip);
    void reset();

    std::size_t sampleCount() const { return samples_; }
    std::optional<double> last() const { return last_; }
    std::optional<double> minimum() const { return minimum_; }
    // Exponentially smoothed with weight 1/8 per sample (as TCP's smoothed round-trip time).
    std::optional<double> smoothed() const { return smoothed_; }

  private:
    std::size_t samples_ = 0;
    std::optional<double> last_;
    std::optional<double> minimum_;
    std::optional<double> smoothed_;
};

// Lives on its executor's thread; not thread-safe.
class ProbeMonitor {
  public:
    struct Configuration {
        double interval = 1.0;  // seconds between rounds of probes
        double timeout = 2.0;   // a probe unanswered this long is lost
        int lossesUntilUnreachable = 3;
    };
    // Sends a probe on the channel it names (by datagram when viaDatagram); false when it could not be
    // sent (no session, no datagram flow), which counts neither as answered nor as lost.
    using Send = std::function<bool(const Message&)>;
    using ChangeHandler = std::function<void(Transport channel, ReachabilityMonitor::Reachability)>;

    ProbeMonitor(platform::Executor& executor, Configuration configuration, Send send);
    ~ProbeMonitor();
    ProbeMonitor(const ProbeMonitor&) = delete;
    ProbeMonitor& operator=(const ProbeMonitor&) = delete;

    void setChangeHandler(ChangeHandler handler) { onChange_ = std::move(handler); }

    // Probes both channels at once and then every interval. Starting a running monitor does nothing.
    void start();
    // Stops probing and forgets the probes in flight; the monitors keep their last state.
    void stop();
    bool isRunning() const { return running_; }

    // Takes a message from the computer; true when it was the reply to a probe in flight.
    bool receive(const Message& message);

    const ReachabilityMonitor& reachability(Transport channel) const { return path(channel).reachability; }
    const LatencyMonitor& latency(Transport channel) const { return path(channel).latency; }

  private:
    struct Path {
        ReachabilityMonitor reachability;
        LatencyMonitor latency;
    };
    struct InFlight {
        double sentAt;
        bool viaDatagram;
    };

    void round();
    void expire(double now);
    void sendProbe(bool viaDatagram, double now);
    std::uint32_t nextNumber();
    Path& path(Transport channel) { return channel == Transport::datagram ? datagram_ : reliable_; }
    const Path& path(Transport channel) const {
        return channel == Transport::datagram ? datagram_ : reliable_;
    }
    void changed(Transport channel);

    platform::Executor& executor_;
    Configuration configuration_;
    Send send_;
    ChangeHandler onChange_;
    Path reliable_;
    Path datagram_;
    std::map<std::uint32_t, InFlight> inFlight_;
    std::uint32_t lastNumber_ = 0;
    platform::Executor::TimerID timer_ = 0;
    bool running_ = false;
};

}  // namespace TrackpadProtocol
