#pragma once
// One TLS 1.3 connection accepted by the listener: plain OpenSSL on a non-blocking socket watched by the
// main EventLoop, where WANT_READ and WANT_WRITE decide which readiness the watch waits for. Reads take
// up to 16384 bytes at a time; writes go through a bounded queue. Lives on the loop's thread.
//
// Handlers and write completions are only ever called from the loop (socket events or posted tasks),
// never from inside a call to this class, so a caller may close or destroy the connection from any of
// them.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "network/Sockets.h"
#include "platform/EventLoop.h"

struct ssl_ctx_st;
struct ssl_st;

namespace CompanionNetwork {

class TLSConnection {
  public:
    static constexpr std::size_t readSize = 16384;
    // Room for the largest document the computer sends (a 15 MiB screenshot in parts) and then some;
    // a phone that stops reading is disconnected rather than allowed to grow the queue without end.
    // Counted in what the queue really costs (buffers as allocated, and each queued write's own
    // bookkeeping), not in payload bytes alone.
    static constexpr std::size_t maxQueuedBytes = 20u * 1024u * 1024u;
    // Small writes queued behind others are appended to one buffer of up to this size.
    static constexpr std::size_t coalesceBytes = 64u * 1024u;

    using Bytes = std::vector<std::uint8_t>;
    // Called with true once every byte of the write is handed to the socket, with false when the
    // connection closes or fails first.
    using WriteCompletion = std::function<void(bool written)>;

    struct Handlers {
        std::function<void()> established;
        std::function<void(std::span<const std::uint8_t>)> received;
        // Once, when the peer closes, the handshake fails, or a read or write fails; never after close().
        std::function<void(const std::string& reason)> closed;
    };

    // Takes the connected socket. Throws TrackpadProtocol::TLSError when OpenSSL cannot set it up.
    TLSConnection(platform::EventLoop& loop, ssl_ctx_st* context, SocketFD socket, SocketAddress remote);
    ~TLSConnection();
    TLSConnection(const TLSConnection&) = delete;
    TLSConnection& operator=(const TLSConnection&) = delete;

    // Starts the server handshake.
    void start(Handlers handlers);

    const SocketAddress& remote() const { return remote_; }
    bool isEstablished() const { return established_; }
    bool isOpen() const { return !closed_; }
    // For the keying-material exporters; null once closed.
    ssl_st* ssl() const { return ssl_; }
    // Payload bytes not yet handed to the socket.
    std::size_t queuedBytes() const { return queuedBytes_; }
    // What the write queue costs in memory.
    std::size_t queuedCost() const { return queuedCost_; }

    // Backpressure: while the write queue costs more than `bytes`, nothing more is read from the
    // phone, so that a phone which sends requests but does not read the answers waits for itself.
    // Reading goes on once the queue is back under the limit. No limit by default.
    void setReadLimit(std::size_t bytes);
    bool isReadingPaused() const { return readPaused_; }
    // A phone that takes nothing of what is queued for it for this many seconds is disconnected (the
    // closed handler runs), as one that lets the queue outgrow maxQueuedBytes is: what it leaves unread
    // holds memory only so long. A phone that reads slowly keeps its connection. No limit by default.
    void setWriteStallLimit(double seconds);

    // Queues bytes for sending. When they would take the queue past maxQueuedBytes the connection fails
    // (the closed handler runs) and the completion gets false. On a closed connection the completion
    // gets false. A write behind others may share a buffer with them; its completion then runs once
    // the shared buffer is written.
    void send(Bytes bytes, WriteCompletion completion = {});
    // Closes at once: a close_notify is attempted, the socket is closed, queued completions get false
    // and the closed handler is not called.
    void close();

  private:
    struct PendingWrite {
        Bytes bytes;
        std::size_t offset = 0;
        std::vector<WriteCompletion> completions;
    };
    static std::size_t costOf(const PendingWrite& write);

    void onEvents(std::uint32_t events);
    void continueHandshake();
    void readAvailable();
    void writeQueued();
    void updateWatch();
    void fail(const std::string& reason);
    // Pauses or resumes reading as the queue's cost crosses the read limit.
    void applyReadLimit();
    bool overReadLimit() const;
    void schedulePauseCheck();
    // The queue has something to send and nothing of it has gone out yet.
    void startStallClock();
    void scheduleStallCheck(double delay);
    void checkStall();
    // Bytes the kernel holds for the phone that it has not acknowledged yet.
    std::size_t kernelQueued() const;
    // Gives the queue's memory back once it has drained.
    void releaseDrainedQueue();
    void shutDown(bool notify);
    void later(std::function<void()> task);
    // Completions run even when the connection is gone by then: they hold nothing of it.
    void complete(WriteCompletion completion, bool written);

    platform::EventLoop& loop_;
    SocketFD socket_;
    SocketAddress remote_;
    ssl_st* ssl_ = nullptr;
    platform::EventLoop::WatchID watch_ = 0;
    // Shared so that a handler keeps itself alive while it runs, even when it destroys this connection.
    std::shared_ptr<Handlers> handlers_ = std::make_shared<Handlers>();
    std::deque<PendingWrite> writes_;
    std::size_t queuedBytes_ = 0;
    std::size_t queuedCost_ = 0;
    std::size_t peakCost_ = 0;  // the most the queue cost since it was last empty
    std::size_t readLimit_ = SIZE_MAX;
    bool readPaused_ = false;
    bool receiving_ = false;  // inside the received handler: answers wait until it returns
    platform::EventLoop::TimerID pauseCheck_ = 0;
    double pauseCheckDelay_ = 0.01;
    double stallLimit_ = 0;  // 0: none
    double lastTaken_ = 0;   // when bytes of the queue last went to the socket, or it began to fill
    platform::EventLoop::TimerID stallCheck_ = 0;
    bool established_ = false;
    bool closed_ = false;
    bool closedByOwner_ = false;
    bool handshakeWantsWrite_ = false;
    bool readWantsWrite_ = false;
    bool writeWantsWrite_ = false;
    bool writeWantsRead_ = false;
    // Expires with the object: tasks posted to the loop check it before touching anything.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace CompanionNetwork
