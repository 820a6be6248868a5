#include "testing/HostileClients.h"

#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "protocol/messages/MessageFraming.h"
#include "testing/PhoneChannels.h"

namespace testing_support {

SilentConnections::SilentConnections(std::string host, std::uint16_t port, int count, std::string source)
    : host_(std::move(host)), port_(port), count_(count), source_(std::move(source)), thread_([this] {
          run();
      }) {}

SilentConnections::~SilentConnections() {
    stop_ = true;
    thread_.join();
}

void SilentConnections::run() {
    std::vector<int> sockets(static_cast<std::size_t>(count_), -1);
    while (!stop_) {
        for (int& fd : sockets) {
            if (fd < 0) {
                try {
                    fd = connectTCP(host_, port_, 1, source_);
                    ++opened_;
                } catch (const std::exception&) {
                    fd = -1;
                }
            }
        }
        open_ =
            static_cast<int>(std::count_if(sockets.begin(), sockets.end(), [](int fd) { return fd >= 0; }));
        std::vector<pollfd> polls;
        for (const int fd : sockets) {
            polls.push_back({fd, POLLIN | POLLRDHUP, 0});
        }
        ::poll(polls.data(), polls.size(), 5);
        for (std::size_t i = 0; i < sockets.size(); ++i) {
            if (sockets[i] >= 0 && (polls[i].revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR))) {
                std::uint8_t byte;
                if (::recv(sockets[i], &byte, 1, MSG_DONTWAIT) <= 0) {
                    ::close(sockets[i]);
                    sockets[i] = -1;
                }
            }
        }
    }
    for (const int fd : sockets) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

ProbeFlood::ProbeFlood(std::string host, std::uint16_t port, int count, std::string source)
    : host_(std::move(host)), port_(port), source_(std::move(source)) {
    for (int i = 0; i < count; ++i) {
        threads_.emplace_back([this, i] { run(i); });
    }
}

ProbeFlood::~ProbeFlood() {
    stop_ = true;
    {
        // A writer blocked on a computer that no longer reads wakes up as its socket shuts down.
        std::lock_guard lock(mutex_);
        for (const int fd : sockets_) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    for (auto& thread : threads_) {
        thread.join();
    }
}

void ProbeFlood::run(int) {
    // 1024 probes per write, all alike, so that a write cut short can be retried with the same bytes.
    TrackpadProtocol::Data burst;
    for (int i = 0; i < 1024; ++i) {
        TrackpadProtocol::MessageFraming::appendFrame(TrackpadProtocol::Message::Probe{7, false}, burst);
    }
    while (!stop_) {
        std::unique_ptr<TLSClientChannel> channel;
        try {
            channel = std::make_unique<TLSClientChannel>(host_, port_, std::nullopt, 2, source_);
        } catch (const std::exception&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        ++connections_;
        const int fd = SSL_get_fd(channel->ssl());
        {
            std::lock_guard lock(mutex_);
            if (stop_) {
                break;
            }
            sockets_.push_back(fd);
        }
        std::uint64_t sent = 0;
        try {
            while (!stop_) {
                channel->write(burst, 60);
                sent += burst.size();
                bytesSent_ += burst.size();
                std::uint64_t most = mostOnOne_;
                while (sent > most && !mostOnOne_.compare_exchange_weak(most, sent)) {
                }
            }
        } catch (const std::exception&) {
            // Closed by the computer (or by the destructor): open another one.
        }
        std::lock_guard lock(mutex_);
        std::erase(sockets_, fd);
    }
}

BadFrameReconnects::BadFrameReconnects(std::string host, std::uint16_t port, int badFrames,
                                       std::string source)
    : host_(std::move(host)), port_(port), badFrames_(badFrames), source_(std::move(source)), thread_([this] {
          run();
      }) {}

BadFrameReconnects::~BadFrameReconnects() {
    stop_ = true;
    thread_.join();
}

void BadFrameReconnects::run() {
    Bytes frames;
    for (int i = 0; i < badFrames_; ++i) {
        frames.insert(frames.end(), {0x00, 0x02, 0x01, 0xEE});  // a message type nobody knows
    }
    while (!stop_) {
        try {
            TLSClientChannel channel(host_, port_, std::nullopt, 2, source_);
            channel.write(frames, 2);
            // A moment for the computer to read them before the close overtakes them.
            (void)channel.read(0.002);
            ++connections_;
        } catch (const std::exception&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

}  // namespace testing_support
