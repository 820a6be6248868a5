#include "network/DatagramFlows.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "network/Durations.h"
#include "platform/InputArrival.h"
#include "protocol/security/OpenSSLSupport.h"
#include "protocol/security/TLSIdentity.h"

namespace CompanionNetwork {

namespace {

constexpr std::size_t recordBufferSize = 16384 + 256;
constexpr int maxDatagramsPerWakeup = 64;
// Small enough for any path (IPv6's minimum is 1280); the computer only ever sends handshake records.
constexpr long flowMTU = 1200;

// Where a flow's DTLS session reads and writes: the datagram being handled, and the shared socket with
// the flow's address for what it sends.
struct FlowIO {
    int fd = -1;
    SocketAddress address;
    const std::uint8_t* data = nullptr;
    std::size_t length = 0;
    bool peekMode = false;
    bool peeked = false;
};

int flowWrite(BIO* bio, const char* data, int length) {
    auto* io = static_cast<FlowIO*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (length <= 0) {
        return 0;
    }
    // A datagram the kernel cannot take now is lost like any other; DTLS retransmits its handshake.
    (void)::sendto(io->fd, data, static_cast<std::size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&io->address.storage), io->address.length);
    return length;
}

int flowRead(BIO* bio, char* out, int length) {
    auto* io = static_cast<FlowIO*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    // In peek mode the same datagram is shown once: DTLSv1_listen keeps reading until the BIO is dry.
    if (io->data == nullptr || length <= 0 || (io->peekMode && io->peeked)) {
        BIO_set_retry_read(bio);
        return -1;
    }
    const std::size_t count = std::min(static_cast<std::size_t>(length), io->length);
    std::memcpy(out, io->data, count);
    if (io->peekMode) {
        io->peeked = true;
    } else {
        io->data = nullptr;
        io->length = 0;
        io->peeked = false;
    }
    return static_cast<int>(count);
}

long flowControl(BIO* bio, int command, long number, void* pointer) {
    auto* io = static_cast<FlowIO*>(BIO_get_data(bio));
    switch (command) {
        case BIO_CTRL_DGRAM_GET_PEER: {
            auto* address = static_cast<BIO_ADDR*>(pointer);
            const sockaddr_storage& storage = io->address.storage;
            if (storage.ss_family == AF_INET) {
                const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
                return BIO_ADDR_rawmake(address, AF_INET, &v4->sin_addr, sizeof v4->sin_addr, v4->sin_port);
            }
            if (storage.ss_family == AF_INET6) {
                const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage);
                return BIO_ADDR_rawmake(address, AF_INET6, &v6->sin6_addr, sizeof v6->sin6_addr,
                                        v6->sin6_port);
            }
            return 0;
        }
        case BIO_CTRL_DGRAM_SET_PEEK_MODE:
            io->peekMode = number != 0;
            return 1;
        case BIO_CTRL_DGRAM_GET_MTU_OVERHEAD:
            return io->address.storage.ss_family == AF_INET6 ? 48 : 28;
        case BIO_CTRL_DGRAM_SET_MTU:
            return number;
        case BIO_CTRL_PENDING:
            return io->data != nullptr ? static_cast<long>(io->length) : 0;
        case BIO_CTRL_DGRAM_SET_PEER:
        case BIO_CTRL_DGRAM_SET_CONNECTED:
        case BIO_CTRL_DGRAM_SET_NEXT_TIMEOUT:
        case BIO_CTRL_FLUSH:
            return 1;
        default:
            return 0;
    }
}

int flowCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

int flowDestroy(BIO*) {
    return 1;
}

std::string addressKey(const SocketAddress& address) {
    std::string key;
    const sockaddr_storage& storage = address.storage;
    key.push_back(static_cast<char>(storage.ss_family));
    const std::uint16_t port = address.port();
    key.push_back(static_cast<char>(port >> 8));
    key.push_back(static_cast<char>(port & 0xFF));
    if (storage.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
        key.append(reinterpret_cast<const char*>(&v4->sin_addr), sizeof v4->sin_addr);
    } else if (storage.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        key.append(reinterpret_cast<const char*>(&v6->sin6_addr), sizeof v6->sin6_addr);
    }
    return key;
}

// A DTLS handshake record of epoch 0 holding a ClientHello: the only thing that may start a flow.
bool isClientHello(std::span<const std::uint8_t> datagram) {
    constexpr std::uint8_t handshakeRecord = 22;
    constexpr std::uint8_t clientHello = 1;
    return datagram.size() > 13 && datagram[0] == handshakeRecord && datagram[1] == 0xFE &&
           datagram[3] == 0 && datagram[4] == 0 && datagram[13] == clientHello;
}

}  // namespace

struct DatagramFlows::Flow {
    FlowID id = 0;
    std::string key;
    FlowIO io;
    SSL* ssl = nullptr;
    bool established = false;
    std::uint64_t owner = 0;
    double lastActive = 0;
    platform::Executor::TimerID retransmission = 0;
    platform::Executor::TimerID expiry = 0;

    ~Flow() { SSL_free(ssl); }
};

DatagramFlows::DatagramFlows(platform::EventLoop& loop, ssl_ctx_st* context, SocketFD socket,
                             double handshakeTimeout, Received received)
    : loop_(loop),
      context_(context),
      socket_(std::move(socket)),
      handshakeTimeout_(handshakeTimeout),
      received_(std::move(received)) {
    method_ = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "companion datagram flow");
    if (method_ == nullptr || BIO_meth_set_write(method_, flowWrite) != 1 ||
        BIO_meth_set_read(method_, flowRead) != 1 || BIO_meth_set_ctrl(method_, flowControl) != 1 ||
        BIO_meth_set_create(method_, flowCreate) != 1 || BIO_meth_set_destroy(method_, flowDestroy) != 1) {
        BIO_meth_free(method_);
        throw TrackpadProtocol::TLSError(
            TrackpadProtocol::openssl::takeError("the datagram flows could not be set up"));
    }
}

DatagramFlows::~DatagramFlows() {
    closeAll();
    if (watch_ != 0) {
        loop_.removeWatch(watch_);
    }
    BIO_meth_free(method_);
}

void DatagramFlows::start() {
    // The kernel stamps each datagram as it arrives; without the stamps, input is paced from when it
    // is handled.
    const int on = 1;
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    watch_ =
        loop_.watch(socket_.get(), platform::EventLoop::readable, [this](std::uint32_t) { onReadable(); });
}

std::uint16_t DatagramFlows::port() const {
    return localPort(socket_.get());
}

std::size_t DatagramFlows::establishedFlowCount() const {
    return static_cast<std::size_t>(std::count_if(
        flows_.begin(), flows_.end(), [](const auto& entry) { return entry.second->established; }));
}

void DatagramFlows::adopt(FlowID flow, std::uint64_t owner) {
    const auto found = flows_.find(flow);
    if (found != flows_.end() && found->second->owner != owner) {
        found->second->owner = owner;
        loop_.cancel(found->second->expiry);
        found->second->expiry = 0;
    }
}

void DatagramFlows::closeFlowsOf(std::uint64_t owner) {
    std::vector<FlowID> owned;
    for (const auto& [id, flow] : flows_) {
        if (flow->owner == owner) {
            owned.push_back(id);
        }
    }
    for (const FlowID id : owned) {
        closeFlow(id);
    }
}

void DatagramFlows::closeFlow(FlowID id) {
    const auto found = flows_.find(id);
    if (found == flows_.end()) {
        return;
    }
    if (found->second->established) {
        // Tells the phone at once that this flow is over; it is one datagram and not waited for.
        ERR_clear_error();
        SSL_shutdown(found->second->ssl);
        ERR_clear_error();
    }
    remove(id);
}

void DatagramFlows::closeAll() {
    std::vector<FlowID> all;
    all.reserve(flows_.size());
    for (const auto& entry : flows_) {
        all.push_back(entry.first);
    }
    for (const FlowID id : all) {
        closeFlow(id);
    }
}

void DatagramFlows::onReadable() {
    const std::weak_ptr<int> guard = alive_;
    std::vector<std::uint8_t>& buffer = receiveBuffer_;
    for (int i = 0; i < maxDatagramsPerWakeup; ++i) {
        SocketAddress from;
        iovec data{buffer.data(), buffer.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr message{};
        message.msg_name = &from.storage;
        message.msg_namelen = sizeof from.storage;
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t count = ::recvmsg(socket_.get(), &message, MSG_DONTWAIT);
        if (count < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return;
            }
            continue;
        }
        from.length = message.msg_namelen;
        std::optional<double> arrival;
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS &&
                header->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
                timespec stamp{};
                std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
                arrival = platform::monotonicFromRealtimeStamp(stamp);
            }
        }
        const platform::InputArrivalScope arrived(arrival);
        handleDatagram(from, std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(count)));
        if (guard.expired()) {
            return;
        }
    }
}

void DatagramFlows::handleDatagram(const SocketAddress& from, std::span<const std::uint8_t> datagram) {
    const auto known = byAddress_.find(addressKey(from));
    if (known == byAddress_.end()) {
        if (isClientHello(datagram)) {
            admit(from, datagram);
        }
        return;
    }
    Flow& flow = *flows_.at(known->second);
    // A phone that starts its DTLS session again from the same port: the old flow stays until the new
    // hello has come back with a valid cookie, so a forged hello cannot end it.
    if (flow.established && isClientHello(datagram)) {
        admit(from, datagram);
        return;
    }
    feed(flow, datagram);
}

std::unique_ptr<DatagramFlows::Flow> DatagramFlows::newFlow(const SocketAddress& from) {
    auto flow = std::make_unique<Flow>();
    flow->key = addressKey(from);
    flow->io.fd = socket_.get();
    flow->io.address = from;
    flow->ssl = SSL_new(context_);
    BIO* bio = BIO_new(method_);
    if (flow->ssl == nullptr || bio == nullptr) {
        BIO_free(bio);
        ERR_clear_error();
        return nullptr;
    }
    BIO_set_data(bio, &flow->io);
    SSL_set_bio(flow->ssl, bio, bio);
    SSL_set_options(flow->ssl, SSL_OP_NO_QUERY_MTU);
    SSL_set_mtu(flow->ssl, flowMTU);
    return flow;
}

void DatagramFlows::admit(const SocketAddress& from, std::span<const std::uint8_t> hello) {
    std::unique_ptr<Flow> flow = newFlow(from);
    if (!flow) {
        return;
    }
    flow->io.data = hello.data();
    flow->io.length = hello.size();
    TrackpadProtocol::openssl::Address client(BIO_ADDR_new());
    ERR_clear_error();
    const int listened = client ? DTLSv1_listen(flow->ssl, client.get()) : -1;
    ERR_clear_error();
    if (listened != 1) {
        return;  // answered with a cookie request, or not a hello worth answering
    }
    const auto previous = byAddress_.find(flow->key);
    if (previous != byAddress_.end()) {
        remove(previous->second);
    }
    makeRoom();
    const FlowID id = nextFlow_++;
    flow->id = id;
    flow->lastActive = loop_.now();
    flow->expiry = loop_.schedule(clampedMicroseconds(handshakeTimeout_),
                                  [this, id, guard = std::weak_ptr<int>(alive_)] {
                                      if (!guard.expired()) {
                                          expire(id);
                                      }
                                  });
    byAddress_[flow->key] = id;
    Flow& admitted = *flow;
    flows_.emplace(id, std::move(flow));
    // The hello with the valid cookie is still in the flow's input: the handshake goes on from it.
    admitted.io.peekMode = false;
    continueHandshake(admitted);
    const auto found = flows_.find(id);
    if (found != flows_.end()) {
        found->second->io.data = nullptr;
        found->second->io.length = 0;
    }
}

void DatagramFlows::feed(Flow& flow, std::span<const std::uint8_t> datagram) {
    const FlowID id = flow.id;
    flow.io.data = datagram.data();
    flow.io.length = datagram.size();
    flow.io.peeked = false;
    if (flow.established) {
        readRecords(flow);
    } else {
        continueHandshake(flow);
    }
    const auto found = flows_.find(id);
    if (found != flows_.end()) {
        found->second->io.data = nullptr;
        found->second->io.length = 0;
    }
}

void DatagramFlows::continueHandshake(Flow& flow) {
    ERR_clear_error();
    const int result = SSL_accept(flow.ssl);
    if (result == 1) {
        flow.established = true;
        loop_.cancel(flow.retransmission);
        flow.retransmission = 0;
        readRecords(flow);
        return;
    }
    const int error = SSL_get_error(flow.ssl, result);
    ERR_clear_error();
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        armRetransmission(flow);
        return;
    }
    remove(flow.id);
}

void DatagramFlows::armRetransmission(Flow& flow) {
    loop_.cancel(flow.retransmission);
    flow.retransmission = 0;
    timeval left{};
    if (DTLSv1_get_timeout(flow.ssl, &left) != 1) {
        return;
    }
    const auto delay = std::chrono::seconds(left.tv_sec) + std::chrono::microseconds(left.tv_usec);
    const FlowID id = flow.id;
    flow.retransmission = loop_.schedule(delay, [this, id, guard = std::weak_ptr<int>(alive_)] {
        if (guard.expired()) {
            return;
        }
        const auto found = flows_.find(id);
        if (found == flows_.end() || found->second->established) {
            return;
        }
        found->second->retransmission = 0;
        ERR_clear_error();
        if (DTLSv1_handle_timeout(found->second->ssl) < 0) {
            ERR_clear_error();
            remove(id);
            return;
        }
        armRetransmission(*found->second);
    });
}

void DatagramFlows::readRecords(Flow& flow) {
    const FlowID id = flow.id;
    const std::weak_ptr<int> guard = alive_;
    std::uint8_t record[recordBufferSize];
    for (;;) {
        const auto found = flows_.find(id);
        if (found == flows_.end()) {
            return;
        }
        Flow& current = *found->second;
        ERR_clear_error();
        const int count = SSL_read(current.ssl, record, static_cast<int>(sizeof record));
        if (count > 0) {
            current.lastActive = loop_.now();
            const SocketAddress from = current.io.address;
            received_(id, from, std::span<const std::uint8_t>(record, static_cast<std::size_t>(count)));
            if (guard.expired()) {
                return;
            }
            continue;
        }
        const int error = SSL_get_error(current.ssl, count);
        ERR_clear_error();
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            remove(id);  // the phone closed the flow, or sent a fatal alert
        }
        return;
    }
}

void DatagramFlows::expire(FlowID id) {
    const auto found = flows_.find(id);
    if (found == flows_.end() || found->second->owner != 0) {
        return;
    }
    Flow& flow = *found->second;
    flow.expiry = 0;
    if (flow.established && keepsUnadopted_ && keepsUnadopted_(flow.io.address.host())) {
        flow.expiry = loop_.schedule(clampedMicroseconds(handshakeTimeout_),
                                     [this, id, guard = std::weak_ptr<int>(alive_)] {
                                         if (!guard.expired()) {
                                             expire(id);
                                         }
                                     });
        return;
    }
    remove(id);
}

void DatagramFlows::makeRoom() {
    while (flows_.size() >= maxFlows) {
        const auto victim = std::min_element(flows_.begin(), flows_.end(), [](const auto& a, const auto& b) {
            const bool aAdopted = a.second->owner != 0;
            const bool bAdopted = b.second->owner != 0;
            if (aAdopted != bAdopted) {
                return !aAdopted;
            }
            return a.second->lastActive < b.second->lastActive;
        });
        remove(victim->first);
    }
}

void DatagramFlows::remove(FlowID id) {
    const auto found = flows_.find(id);
    if (found == flows_.end()) {
        return;
    }
    Flow& flow = *found->second;
    loop_.cancel(flow.retransmission);
    loop_.cancel(flow.expiry);
    const auto byAddress = byAddress_.find(flow.key);
    if (byAddress != byAddress_.end() && byAddress->second == id) {
        byAddress_.erase(byAddress);
    }
    flows_.erase(found);
}

}  // namespace CompanionNetwork
