#include "network/TLSConnection.h"

#include <linux/sockios.h>
#include <malloc.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <sstream>
#include <utility>

#include "protocol/messages/Secrets.h"
#include "protocol/security/OpenSSLSupport.h"
#include "protocol/security/TLSIdentity.h"

namespace CompanionNetwork {

namespace {

// Reads per socket event before other connections get their turn; level-triggered epoll brings the
// connection back for whatever the kernel still holds. Kept small so that one busy phone cannot hold up
// the others' answers for long.
constexpr int maxReadsPerWakeup = 2;
// A connection paused for what the kernel still holds is looked at again after this long, then twice
// as long each time, up to 0.1 s: no socket event tells when the phone has taken its data.
constexpr double firstPauseCheck = 0.01;
constexpr double lastPauseCheck = 0.1;
// One SSL_write call at most; OpenSSL cuts it into records.
constexpr std::size_t maxWriteChunk = 1u << 20;
// What the allocator and the queue keep beside each buffer and each completion.
constexpr std::size_t allocationOverhead = 16;
constexpr std::size_t completionCost = sizeof(std::function<void(bool)>) + 64;
// A queue that cost this much or more hands its memory back to the system once it has drained.
constexpr std::size_t trimAfterBytes = 1u << 20;

std::string failureText(const char* what, int sslError) {
    if (sslError == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
        return std::string(what) + ": the connection was reset";
    }
    return TrackpadProtocol::openssl::takeError(what);
}

}  // namespace

TLSConnection::TLSConnection(platform::EventLoop& loop, ssl_ctx_st* context, SocketFD socket,
                             SocketAddress remote)
    : loop_(loop), socket_(std::move(socket)), remote_(remote) {
    ssl_ = SSL_new(context);
    if (ssl_ == nullptr || SSL_set_fd(ssl_, socket_.get()) != 1) {
        SSL_free(ssl_);
        ssl_ = nullptr;
        throw TrackpadProtocol::TLSError(
            TrackpadProtocol::openssl::takeError("a TLS connection could not be set up"));
    }
    SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_set_accept_state(ssl_);
}

TLSConnection::~TLSConnection() {
    shutDown(false);
}

void TLSConnection::start(Handlers handlers) {
    *handlers_ = std::move(handlers);
    watch_ = loop_.watch(socket_.get(), platform::EventLoop::readable,
                         [this](std::uint32_t events) { onEvents(events); });
    continueHandshake();
}

std::size_t TLSConnection::costOf(const PendingWrite& write) {
    return sizeof(PendingWrite) + allocationOverhead + write.bytes.capacity() + allocationOverhead +
           write.completions.capacity() * completionCost;
}

void TLSConnection::setReadLimit(std::size_t bytes) {
    readLimit_ = bytes;
    applyReadLimit();
}

void TLSConnection::setWriteStallLimit(double seconds) {
    stallLimit_ = seconds > 0 ? seconds : 0;
    if (!writes_.empty()) {
        startStallClock();
    }
}

void TLSConnection::send(Bytes bytes, WriteCompletion completion) {
    if (closed_) {
        complete(std::move(completion), false);
        return;
    }
    if (bytes.empty()) {
        complete(std::move(completion), true);
        return;
    }
    // A small write behind others joins the last one's buffer, unless that one is being written (an
    // SSL_write waiting for the socket must be retried with the same bytes).
    const bool tailIsFree = writes_.size() >= 2 || (writes_.size() == 1 && writes_.back().offset == 0 &&
                                                    !writeWantsWrite_ && !writeWantsRead_);
    if (tailIsFree && writes_.back().bytes.size() + bytes.size() <= coalesceBytes) {
        PendingWrite& tail = writes_.back();
        const std::size_t before = costOf(tail);
        const std::size_t grown = tail.bytes.size() + bytes.size();
        // The cost is checked as the buffer would grow, before it does.
        const std::size_t growth = (grown > tail.bytes.capacity()
                                        ? std::max(grown, 2 * tail.bytes.capacity()) - tail.bytes.capacity()
                                        : 0) +
                                   (completion ? completionCost * (tail.completions.size() + 1) : 0);
        if (growth > maxQueuedBytes - std::min(queuedCost_, maxQueuedBytes)) {
            complete(std::move(completion), false);
            fail("the phone does not take its data (write queue full)");
            return;
        }
        if (grown > tail.bytes.capacity()) {
            // Grown by hand, so that the buffer left behind is wiped: it may hold a token.
            Bytes larger;
            larger.reserve(std::max(grown, 2 * tail.bytes.capacity()));
            larger.insert(larger.end(), tail.bytes.begin(), tail.bytes.end());
            TrackpadProtocol::wipe(tail.bytes);
            tail.bytes.swap(larger);
        }
        tail.bytes.insert(tail.bytes.end(), bytes.begin(), bytes.end());
        TrackpadProtocol::wipe(bytes);
        if (completion) {
            tail.completions.push_back(std::move(completion));
        }
        queuedBytes_ += bytes.size();
        queuedCost_ = queuedCost_ - before + costOf(tail);
        applyReadLimit();
        return;
    }
    PendingWrite write{std::move(bytes), 0, {}};
    if (completion) {
        write.completions.push_back(std::move(completion));
    }
    const std::size_t cost = costOf(write);
    if (cost > maxQueuedBytes - std::min(queuedCost_, maxQueuedBytes)) {
        for (WriteCompletion& each : write.completions) {
            complete(std::move(each), false);
        }
        fail("the phone does not take its data (write queue full)");
        return;
    }
    queuedBytes_ += write.bytes.size();
    queuedCost_ += cost;
    writes_.push_back(std::move(write));
    if (writes_.size() == 1) {
        startStallClock();
    }
    // Writing at once saves a trip through the loop: an answer leaves while the request is handled. The
    // answers to one read leave together once it is handled.
    if (established_ && !writeWantsWrite_ && !writeWantsRead_ && !receiving_) {
        writeQueued();
        if (closed_) {
            return;
        }
    }
    applyReadLimit();
    updateWatch();
}

std::size_t TLSConnection::kernelQueued() const {
    int unsent = 0;
    if (!socket_ || ::ioctl(socket_.get(), SIOCOUTQ, &unsent) != 0 || unsent < 0) {
        return 0;
    }
    return static_cast<std::size_t>(unsent);
}

bool TLSConnection::overReadLimit() const {
    // What the kernel has not yet got acknowledged counts too: otherwise a phone that does not read
    // could have its answers fill the socket's buffers (megabytes) before the queue grows at all.
    return readLimit_ != SIZE_MAX && queuedCost_ + kernelQueued() > readLimit_;
}

void TLSConnection::applyReadLimit() {
    if (closed_) {
        return;
    }
    const bool pause = overReadLimit();
    if (pause == readPaused_) {
        if (pause) {
            schedulePauseCheck();
        }
        return;
    }
    readPaused_ = pause;
    updateWatch();
    if (readPaused_) {
        pauseCheckDelay_ = firstPauseCheck;
        schedulePauseCheck();
        return;
    }
    loop_.cancel(pauseCheck_);
    pauseCheck_ = 0;
    // Bytes OpenSSL already holds are invisible to epoll: come back for them.
    if (established_ && ssl_ != nullptr && SSL_has_pending(ssl_)) {
        later([this] {
            if (!closed_ && !readPaused_) {
                readAvailable();
                if (!closed_) {
                    updateWatch();
                }
            }
        });
    }
}

// Writable events drive a paused connection whose own queue holds data; one whose data all sits in
// the kernel is looked at on a timer.
void TLSConnection::schedulePauseCheck() {
    if (pauseCheck_ != 0 || !writes_.empty()) {
        return;
    }
    const double delay = pauseCheckDelay_;
    pauseCheckDelay_ = std::min(pauseCheckDelay_ * 2, lastPauseCheck);
    pauseCheck_ = loop_.schedule(std::chrono::microseconds(static_cast<std::int64_t>(delay * 1e6)),
                                 [this, guard = std::weak_ptr<int>(alive_)] {
                                     if (guard.expired()) {
                                         return;
                                     }
                                     pauseCheck_ = 0;
                                     applyReadLimit();
                                 });
}

void TLSConnection::startStallClock() {
    lastTaken_ = loop_.now();
    if (stallLimit_ > 0 && stallCheck_ == 0 && !closed_) {
        scheduleStallCheck(stallLimit_);
    }
}

// One timer per connection, not one per write: it looks at the time the queue last moved and waits for
// what is left of the limit.
void TLSConnection::scheduleStallCheck(double delay) {
    stallCheck_ = loop_.schedule(std::chrono::microseconds(static_cast<std::int64_t>(delay * 1e6) + 1),
                                 [this, guard = std::weak_ptr<int>(alive_)] {
                                     if (!guard.expired()) {
                                         stallCheck_ = 0;
                                         checkStall();
                                     }
                                 });
}

void TLSConnection::checkStall() {
    if (closed_ || writes_.empty() || stallLimit_ <= 0) {
        return;
    }
    const double idle = loop_.now() - lastTaken_;
    if (idle < stallLimit_) {
        scheduleStallCheck(stallLimit_ - idle);
        return;
    }
    std::ostringstream limit;
    limit << stallLimit_;
    fail("the phone does not take its data (nothing taken for " + limit.str() + " s)");
}

void TLSConnection::releaseDrainedQueue() {
    const std::size_t peak = peakCost_;
    peakCost_ = 0;
    // The deque keeps its blocks otherwise.
    std::deque<PendingWrite>().swap(writes_);
    if (peak >= trimAfterBytes) {
        ::malloc_trim(0);
    }
}

void TLSConnection::close() {
    shutDown(true);
}

void TLSConnection::onEvents(std::uint32_t events) {
    if (closed_) {
        return;
    }
    if (!established_) {
        continueHandshake();
        return;
    }
    const std::weak_ptr<int> guard = alive_;
    if (((events & platform::EventLoop::readable) || readWantsWrite_) && !readPaused_) {
        readAvailable();
        if (guard.expired() || closed_) {
            return;
        }
    }
    if (!writes_.empty()) {
        writeQueued();
        if (closed_) {
            return;
        }
    }
    updateWatch();
}

void TLSConnection::continueHandshake() {
    ERR_clear_error();
    const int result = SSL_accept(ssl_);
    if (result == 1) {
        established_ = true;
        handshakeWantsWrite_ = false;
        const std::weak_ptr<int> guard = alive_;
        const auto handlers = handlers_;
        if (handlers->established) {
            handlers->established();
        }
        if (guard.expired() || closed_) {
            return;
        }
        // The phone may have sent its first message together with its Finished.
        readAvailable();
        if (guard.expired() || closed_) {
            return;
        }
        writeQueued();
        if (!closed_) {
            updateWatch();
        }
        return;
    }
    switch (const int error = SSL_get_error(ssl_, result)) {
        case SSL_ERROR_WANT_READ:
            handshakeWantsWrite_ = false;
            updateWatch();
            return;
        case SSL_ERROR_WANT_WRITE:
            handshakeWantsWrite_ = true;
            updateWatch();
            return;
        default:
            fail(failureText("TLS handshake failed", error));
            return;
    }
}

void TLSConnection::readAvailable() {
    const std::weak_ptr<int> guard = alive_;
    const auto handlers = handlers_;
    std::uint8_t buffer[readSize];
    readWantsWrite_ = false;
    for (int i = 0; i < maxReadsPerWakeup; ++i) {
        ERR_clear_error();
        const int count = SSL_read(ssl_, buffer, static_cast<int>(readSize));
        if (count > 0) {
            if (handlers->received) {
                receiving_ = true;
                handlers->received(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(count)));
                // What was read may have been a token or a password.
                TrackpadProtocol::wipe(buffer, static_cast<std::size_t>(count));
                if (guard.expired()) {
                    return;
                }
                receiving_ = false;
            }
            if (closed_) {
                return;
            }
            if (!writes_.empty() && !writeWantsWrite_ && !writeWantsRead_) {
                writeQueued();
                if (closed_) {
                    return;
                }
            }
            // The answers to what was just read have filled the queue: the rest waits for the phone.
            applyReadLimit();
            if (readPaused_) {
                return;
            }
            continue;
        }
        switch (const int error = SSL_get_error(ssl_, count)) {
            case SSL_ERROR_WANT_READ:
                return;
            case SSL_ERROR_WANT_WRITE:
                readWantsWrite_ = true;
                return;
            case SSL_ERROR_ZERO_RETURN:
                fail("the phone closed the connection");
                return;
            default:
                fail(failureText("reading failed", error));
                return;
        }
    }
    // Bytes OpenSSL already holds are invisible to epoll: come back for them.
    if (SSL_has_pending(ssl_)) {
        later([this] {
            if (!closed_ && !readPaused_) {
                readAvailable();
                if (!closed_) {
                    updateWatch();
                }
            }
        });
    }
}

void TLSConnection::writeQueued() {
    writeWantsWrite_ = false;
    writeWantsRead_ = false;
    peakCost_ = std::max(peakCost_, queuedCost_);
    while (!writes_.empty()) {
        PendingWrite& write = writes_.front();
        const std::size_t chunk = std::min(write.bytes.size() - write.offset, maxWriteChunk);
        ERR_clear_error();
        const int count = SSL_write(ssl_, write.bytes.data() + write.offset, static_cast<int>(chunk));
        if (count > 0) {
            write.offset += static_cast<std::size_t>(count);
            queuedBytes_ -= static_cast<std::size_t>(count);
            lastTaken_ = loop_.now();
            if (write.offset == write.bytes.size()) {
                for (WriteCompletion& completion : write.completions) {
                    complete(std::move(completion), true);
                }
                queuedCost_ -= costOf(write);
                // What went out may have been a token: no copy stays in freed memory.
                TrackpadProtocol::wipe(write.bytes);
                writes_.pop_front();
            }
            continue;
        }
        switch (const int error = SSL_get_error(ssl_, count)) {
            case SSL_ERROR_WANT_WRITE:
                writeWantsWrite_ = true;
                applyReadLimit();
                return;
            case SSL_ERROR_WANT_READ:
                writeWantsRead_ = true;
                applyReadLimit();
                return;
            default:
                fail(failureText("writing failed", error));
                return;
        }
    }
    releaseDrainedQueue();
    applyReadLimit();
}

void TLSConnection::updateWatch() {
    if (closed_ || watch_ == 0) {
        return;
    }
    // A paused connection is not read, unless OpenSSL needs to read to go on writing.
    std::uint32_t events =
        readPaused_ && !writeWantsRead_ ? 0u : std::uint32_t{platform::EventLoop::readable};
    const bool wantsWrite = established_ ? (readWantsWrite_ || writeWantsWrite_) : handshakeWantsWrite_;
    if (wantsWrite) {
        events |= platform::EventLoop::writable;
    }
    loop_.updateWatch(watch_, events);
}

void TLSConnection::fail(const std::string& reason) {
    if (closed_) {
        return;
    }
    shutDown(false);
    const auto handlers = handlers_;
    later([this, handlers, reason] {
        if (!closedByOwner_ && handlers->closed) {
            handlers->closed(reason);
        }
    });
}

void TLSConnection::shutDown(bool notify) {
    if (notify) {
        closedByOwner_ = true;
    }
    if (closed_) {
        return;
    }
    closed_ = true;
    if (watch_ != 0) {
        loop_.removeWatch(watch_);
        watch_ = 0;
    }
    loop_.cancel(pauseCheck_);
    pauseCheck_ = 0;
    loop_.cancel(stallCheck_);
    stallCheck_ = 0;
    if (ssl_ != nullptr) {
        if (notify && established_) {
            // Best effort: a close_notify that does not fit the socket now is not waited for.
            ERR_clear_error();
            SSL_shutdown(ssl_);
            ERR_clear_error();
        }
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    socket_.reset();
    for (PendingWrite& write : writes_) {
        for (WriteCompletion& completion : write.completions) {
            complete(std::move(completion), false);
        }
        TrackpadProtocol::wipe(write.bytes);
    }
    peakCost_ = std::max(peakCost_, queuedCost_);
    queuedBytes_ = 0;
    queuedCost_ = 0;
    releaseDrainedQueue();
}

void TLSConnection::later(std::function<void()> task) {
    loop_.post([guard = std::weak_ptr<int>(alive_), task = std::move(task)] {
        if (!guard.expired()) {
            task();
        }
    });
}

void TLSConnection::complete(WriteCompletion completion, bool written) {
    if (completion) {
        loop_.post([completion = std::move(completion), written] { completion(written); });
    }
}

}  // namespace CompanionNetwork
