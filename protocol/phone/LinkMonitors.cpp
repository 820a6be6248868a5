#include "protocol/phone/LinkMonitors.h"

#include <chrono>
#include <cmath>
#include <vector>

namespace TrackpadProtocol {

bool ReachabilityMonitor::recordAnswer() {
    losses_ = 0;
    const bool changed = reachability_ != Reachability::reachable;
    reachability_ = Reachability::reachable;
    return changed;
}

bool ReachabilityMonitor::recordLoss() {
    ++losses_;
    if (losses_ < lossesUntilUnreachable_ || reachability_ == Reachability::unreachable) {
        return false;
    }
    reachability_ = Reachability::unreachable;
    return true;
}

void ReachabilityMonitor::reset() {
    losses_ = 0;
    reachability_ = Reachability::unknown;
}

void LatencyMonitor::record(double roundTrip) {
    if (!std::isfinite(roundTrip) || roundTrip < 0) {
        return;
    }
    ++samples_;
    last_ = roundTrip;
    minimum_ = minimum_ ? std::min(*minimum_, roundTrip) : roundTrip;
    smoothed_ = smoothed_ ? *smoothed_ + (roundTrip - *smoothed_) / 8 : roundTrip;
}

void LatencyMonitor::reset() {
    *this = LatencyMonitor();
}

namespace {

std::chrono::microseconds toMicroseconds(double seconds) {
    const double clamped = std::isfinite(seconds) && seconds > 0 ? seconds : 0;
    return std::chrono::microseconds(static_cast<std::int64_t>(std::llround(clamped * 1e6)));
}

}  // namespace

ProbeMonitor::ProbeMonitor(platform::Executor& executor, Configuration configuration, Send send)
    : executor_(executor),
      configuration_(configuration),
      send_(std::move(send)),
      reliable_{ReachabilityMonitor(configuration.lossesUntilUnreachable), {}},
      datagram_{ReachabilityMonitor(configuration.lossesUntilUnreachable), {}} {
    // A zero interval would turn the pacing into a busy loop.
    if (!std::isfinite(configuration_.interval) || configuration_.interval < 0.01) {
        configuration_.interval = 0.01;
    }
}

ProbeMonitor::~ProbeMonitor() {
    stop();
}

void ProbeMonitor::start() {
    if (running_) {
        return;
    }
    running_ = true;
    round();
}

void ProbeMonitor::stop() {
    running_ = false;
    if (timer_ != 0) {
        executor_.cancel(timer_);
        timer_ = 0;
    }
    inFlight_.clear();
}

// The send function and the change handler may stop the monitor; every step checks for that.
void ProbeMonitor::round() {
    timer_ = 0;
    const double now = executor_.now();
    expire(now);
    if (running_) {
        sendProbe(false, now);
    }
    if (running_) {
        sendProbe(true, now);
    }
    if (running_) {
        timer_ = executor_.schedule(toMicroseconds(configuration_.interval), [this] { round(); });
    }
}

void ProbeMonitor::expire(double now) {
    std::vector<Transport> lost;
    for (auto it = inFlight_.begin(); it != inFlight_.end();) {
        if (now - it->second.sentAt >= configuration_.timeout) {
            lost.push_back(it->second.viaDatagram ? Transport::datagram : Transport::reliable);
            it = inFlight_.erase(it);
        } else {
            ++it;
        }
    }
    for (Transport channel : lost) {
        if (path(channel).reachability.recordLoss()) {
            changed(channel);
        }
    }
}

std::uint32_t ProbeMonitor::nextNumber() {
    do {
        ++lastNumber_;
    } while (inFlight_.count(lastNumber_) != 0);
    return lastNumber_;
}

void ProbeMonitor::sendProbe(bool viaDatagram, double now) {
    const std::uint32_t number = nextNumber();
    if (send_ && send_(Message::Probe{number, viaDatagram})) {
        inFlight_.emplace(number, InFlight{now, viaDatagram});
    }
}

bool ProbeMonitor::receive(const Message& message) {
    const auto* reply = message.as<Message::ProbeReply>();
    if (reply == nullptr) {
        return false;
    }
    const auto found = inFlight_.find(reply->number);
    // A reply must name the channel its probe took; anything else is not an answer to it.
    if (found == inFlight_.end() || found->second.viaDatagram != reply->viaDatagram) {
        return false;
    }
    const Transport channel = reply->viaDatagram ? Transport::datagram : Transport::reliable;
    path(channel).latency.record(executor_.now() - found->second.sentAt);
    inFlight_.erase(found);
    if (path(channel).reachability.recordAnswer()) {
        changed(channel);
    }
    return true;
}

void ProbeMonitor::changed(Transport channel) {
    if (onChange_) {
        onChange_(channel, path(channel).reachability.reachability());
    }
}

}  // namespace TrackpadProtocol
