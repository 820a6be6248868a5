#include "network/TLSConnection.h"

#include <algorithm>
#include <utility>

#include "TrackpadProtocol/OpenSSLSupport.h"
#include "TrackpadProtocol/TLSIdentity.h"

namespace CompanionNetwork {

namespace {

// Reads per socket event before other connections get their turn; level-triggered epoll brings the
// connection back for whatever the kernel still holds.
constexpr int maxReadsPerWakeup = 16;
// One SSL_write call at most; OpenSSL cuts it into records.
constexpr std::size_t maxWriteChunk = 1u << 20;

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

void TLSConnection::send(Bytes bytes, WriteCompletion completion) {
    if (closed_) {
        complete(std::move(completion), false);
        return;
    }
    if (bytes.empty()) {
        complete(std::move(completion), true);
        return;
    }
    if (bytes.size() > maxQueuedBytes - queuedBytes_) {
        complete(std::move(completion), false);
        fail("the phone does not take its data (write queue full)");
        return;
    }
    queuedBytes_ += bytes.size();
    writes_.push_back(PendingWrite{std::move(bytes), 0, std::move(completion)});
    // Writing at once saves a trip through the loop: an answer leaves while the request is handled.
    if (established_ && !writeWantsWrite_ && !writeWantsRead_) {
        writeQueued();
    }
    updateWatch();
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
    if ((events & platform::EventLoop::readable) || readWantsWrite_) {
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
                handlers->received(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(count)));
            }
            if (guard.expired() || closed_) {
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
            if (!closed_) {
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
    while (!writes_.empty()) {
        PendingWrite& write = writes_.front();
        const std::size_t chunk = std::min(write.bytes.size() - write.offset, maxWriteChunk);
        ERR_clear_error();
        const int count = SSL_write(ssl_, write.bytes.data() + write.offset, static_cast<int>(chunk));
        if (count > 0) {
            write.offset += static_cast<std::size_t>(count);
            queuedBytes_ -= static_cast<std::size_t>(count);
            if (write.offset == write.bytes.size()) {
                complete(std::move(write.completion), true);
                writes_.pop_front();
            }
            continue;
        }
        switch (const int error = SSL_get_error(ssl_, count)) {
            case SSL_ERROR_WANT_WRITE:
                writeWantsWrite_ = true;
                return;
            case SSL_ERROR_WANT_READ:
                writeWantsRead_ = true;
                return;
            default:
                fail(failureText("writing failed", error));
                return;
        }
    }
}

void TLSConnection::updateWatch() {
    if (closed_ || watch_ == 0) {
        return;
    }
    std::uint32_t events = platform::EventLoop::readable;
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
        complete(std::move(write.completion), false);
    }
    writes_.clear();
    queuedBytes_ = 0;
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
