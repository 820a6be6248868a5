#include "testing/PhoneTestClient.h"

#include <chrono>
#include <stdexcept>

#include "protocol/messages/MessageCodec.h"
#include "protocol/security/TLSContext.h"

namespace testing_support {

using TrackpadProtocol::PhonePairing;
using TrackpadProtocol::PhoneSession;

namespace {

double secondsLeft(std::chrono::steady_clock::time_point deadline) {
    return std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
}

}  // namespace

PhoneTestClient::PhoneTestClient(Endpoint endpoint, std::string deviceName, TrackpadProtocol::UUID deviceID,
                                 double timeout)
    : endpoint_(std::move(endpoint)),
      deviceName_(std::move(deviceName)),
      deviceID_(deviceID),
      timeout_(timeout) {}

PhoneTestClient::~PhoneTestClient() = default;

void PhoneTestClient::connect() {
    disconnect();
    std::optional<TrackpadProtocol::PublicKeyDigest> pin;
    if (pairing_) {
        pin = pairing_->hostKey;
    }
    tls_ = std::make_unique<TLSClientChannel>(endpoint_.host, endpoint_.tcpPort, pin, timeout_,
                                              endpoint_.source);
    decoder_ = TrackpadProtocol::FrameDecoder();
    inbox_.clear();
}

void PhoneTestClient::disconnect() {
    if (session_) {
        session_->end();
    }
    unlocks_.connectionClosed();
    session_.reset();
    pairingFlow_.reset();
    tls_.reset();
}

bool PhoneTestClient::waitForClose(double timeout) {
    return tls_ && tls_->waitForClose(timeout);
}

void PhoneTestClient::send(const Message& message) {
    const TrackpadProtocol::Data frame = TrackpadProtocol::MessageFraming::frame(message);
    sendRaw(frame);
}

void PhoneTestClient::sendRaw(std::span<const std::uint8_t> bytes) {
    if (!tls_) {
        throw std::runtime_error("not connected");
    }
    tls_->write(bytes, timeout_);
}

std::optional<PhoneTestClient::Message> PhoneTestClient::nextBuffered() {
    if (inbox_.empty()) {
        return std::nullopt;
    }
    Message message = std::move(inbox_.front());
    inbox_.pop_front();
    return message;
}

void PhoneTestClient::take(const Message& message) {
    if (session_) {
        session_->receive(message);
    }
    unlocks_.receive(message);
}

std::optional<PhoneTestClient::Message> PhoneTestClient::receive(double timeout) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::microseconds(static_cast<long>(timeout * 1e6));
    for (;;) {
        if (auto message = nextBuffered()) {
            take(*message);
            return message;
        }
        if (!tls_) {
            return std::nullopt;
        }
        const double left = secondsLeft(deadline);
        if (left <= 0) {
            return std::nullopt;
        }
        std::optional<Bytes> bytes = tls_->read(left);
        if (!bytes) {
            return std::nullopt;
        }
        decoder_.feed(
            *bytes, [this](Message&& message) { inbox_.push_back(std::move(message)); },
            [](const TrackpadProtocol::FrameDecoder::BadFrame& bad) {
                throw std::runtime_error(std::string("the computer sent a bad frame: ") + bad.what());
            });
    }
}

std::optional<PhoneTestClient::Message> PhoneTestClient::receiveUntil(
    const std::function<bool(const Message&)>& wanted, double timeout) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::microseconds(static_cast<long>(timeout * 1e6));
    for (;;) {
        const double left = secondsLeft(deadline);
        if (left <= 0) {
            return std::nullopt;
        }
        std::optional<Message> message = receive(left);
        if (!message) {
            return std::nullopt;
        }
        if (wanted(*message)) {
            return message;
        }
    }
}

PhonePairing::Event PhoneTestClient::requestPairing() {
    if (!tls_) {
        connect();
    }
    const auto key = tls_->serverKey();
    if (!key) {
        throw std::runtime_error("the computer presented no certificate");
    }
    pairingFlow_ = std::make_unique<PhonePairing>(deviceID_, deviceName_,
                                                  TrackpadProtocol::exportPairingSecret(tls_->ssl()), *key);
    send(pairingFlow_->request());
    for (;;) {
        std::optional<Message> message = receive(timeout_);
        if (!message) {
            return PhonePairing::Failed{PhonePairing::Failure::rejected, std::nullopt};
        }
        if (auto event = pairingFlow_->receive(*message)) {
            return *event;
        }
    }
}

PhonePairing::Event PhoneTestClient::enterCode(const std::string& digits) {
    if (!pairingFlow_) {
        throw std::logic_error("no pairing under way");
    }
    const auto code = TrackpadProtocol::PairingCode::fromDigits(digits);
    if (!code) {
        throw std::invalid_argument("not six digits");
    }
    send(pairingFlow_->respond(*code));
    for (;;) {
        std::optional<Message> message = receive(timeout_);
        if (!message) {
            return PhonePairing::Failed{PhonePairing::Failure::rejected, std::nullopt};
        }
        if (auto event = pairingFlow_->receive(*message)) {
            if (const auto* succeeded = std::get_if<PhonePairing::Succeeded>(&*event)) {
                pairing_ = Pairing{succeeded->hostID, succeeded->token, succeeded->hostKey};
            }
            return *event;
        }
    }
}

void PhoneTestClient::cancelPairing() {
    if (pairingFlow_) {
        send(pairingFlow_->cancel());
    }
}

PhoneSession::Event PhoneTestClient::openSession(bool wantsFeatures,
                                                 std::optional<TrackpadProtocol::PairingToken> token) {
    if (!tls_) {
        connect();
    }
    if (!token && !pairing_) {
        throw std::logic_error("not paired");
    }
    session_ = std::make_unique<PhoneSession>(deviceID_, token ? *token : pairing_->token, wantsFeatures,
                                              TrackpadProtocol::exportDatagramKey(tls_->ssl()));
    send(session_->request());
    for (;;) {
        std::optional<Message> message = receive(timeout_);
        if (!message) {
            return PhoneSession::Refused{TrackpadProtocol::PairingRejection::failed};
        }
        // receive() has fed the session already; its state tells what the message meant.
        if (session_->isOpen()) {
            return PhoneSession::Accepted{session_->features()};
        }
        if (const auto* rejected = message->as<Message::PairingRejected>()) {
            return PhoneSession::Refused{rejected->reason};
        }
    }
}

void PhoneTestClient::connectDatagrams() {
    std::optional<TrackpadProtocol::PublicKeyDigest> pin;
    if (pairing_) {
        pin = pairing_->hostKey;
    }
    dtls_ = std::make_unique<DTLSClientChannel>(endpoint_.host, endpoint_.udpPort, pin, timeout_,
                                                endpoint_.source);
}

void PhoneTestClient::disconnectDatagrams() {
    dtls_.reset();
}

Bytes PhoneTestClient::sendDatagram(const Message& message) {
    if (!session_) {
        throw std::logic_error("no session");
    }
    const TrackpadProtocol::Data payload = TrackpadProtocol::MessageCodec::encode(message);
    std::optional<Bytes> sealed = session_->sealDatagram(payload);
    if (!sealed) {
        throw std::logic_error("the session is not open");
    }
    sendSealed(*sealed);
    return *sealed;
}

void PhoneTestClient::sendSealed(std::span<const std::uint8_t> sealed) {
    if (!dtls_) {
        connectDatagrams();
    }
    dtls_->send(sealed);
}

bool PhoneTestClient::datagramFlowClosed(double timeout) {
    return dtls_ && dtls_->waitForClose(timeout);
}

PhoneTestClient::Message PhoneTestClient::requestUnlock(
    std::string password, TrackpadProtocol::PhoneUnlockFlow::Completion completion) {
    Message request = unlocks_.request(std::move(password), std::move(completion));
    send(request);
    return request;
}

}  // namespace testing_support
