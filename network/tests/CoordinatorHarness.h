#pragma once
// A pairing coordinator over an in-memory store, a fake of the pairing cryptography and a clock that
// only moves when the test says so.
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "network/PairingCoordinator.h"
#include "network/PairingCoordinatorSupport.h"
#include "network/tests/TestSupport.h"

namespace CompanionNetwork::tests {

using TrackpadProtocol::Bytes16;
using TrackpadProtocol::Bytes32;
using TrackpadProtocol::Message;
using TrackpadProtocol::PairingRejection;
using TrackpadProtocol::PairingToken;
using Action = PairingCoordinator::Action;

inline Bytes32 filled(std::uint8_t byte) {
    Bytes32 bytes;
    bytes.fill(byte);
    return bytes;
}

// Stands in for CPace: the phone proves the code by a confirmation computed from the code, the channel's
// exporter value and its device id, so a wrong code, another channel or another device all fail.
class FakePairingSecurity final : public PairingSecurity {
  public:
    static Bytes32 phoneConfirmation(std::string_view digits, const Bytes32& exporter, const UUID& device) {
        Bytes32 result;
        for (std::size_t i = 0; i < result.size(); ++i)
            result[i] =
                static_cast<std::uint8_t>(digits[i % digits.size()] ^ exporter[i] ^ device.bytes[i % 16]);
        return result;
    }

    class Exchange final : public PairingExchange {
      public:
        Exchange(std::string digits, const Bytes32& exporter, const UUID& device, std::uint8_t number)
            : digits_(std::move(digits)), exporter_(exporter), device_(device), number_(number) {}
        Bytes16 sessionID() const override {
            Bytes16 id;
            id.fill(number_);
            return id;
        }
        Bytes32 share() const override { return filled(number_); }
        bool verifyPhone(const Bytes32&, const Bytes32& confirmation) override {
            verified_ = confirmation == phoneConfirmation(digits_, exporter_, device_);
            return verified_;
        }
        Bytes32 confirmation() const override {
            if (!verified_)
                throw std::logic_error("confirmation before verification");
            return filled(static_cast<std::uint8_t>(0x80 | number_));
        }

      private:
        std::string digits_;
        Bytes32 exporter_;
        UUID device_;
        std::uint8_t number_;
        bool verified_ = false;
    };

    PairingCode makeCode() override {
        std::string digits = codes.empty() ? "123456" : codes.front();
        if (!codes.empty())
            codes.pop_front();
        return *PairingCode::fromDigits(digits);
    }
    std::unique_ptr<PairingExchange> startExchange(const PairingCode& code, const Bytes32& exporter,
                                                   const UUID&, const UUID& device) override {
        if (failsExchanges)
            throw std::runtime_error("no randomness");
        return std::make_unique<Exchange>(std::string(code.digits()), exporter, device,
                                          static_cast<std::uint8_t>(++exchanges));
    }
    PairingToken makeToken() override {
        return PairingToken(filled(static_cast<std::uint8_t>(0x40 + ++tokens)));
    }
    Data makeTLSPrivateKey() override { return {0x30, 0x01, 0x02}; }
    bool isUsableTLSPrivateKey(std::span<const std::uint8_t> key) override {
        return !key.empty() && key[0] == 0x30;
    }

    std::deque<std::string> codes;
    int exchanges = 0;
    int tokens = 0;
    bool failsExchanges = false;
};

inline Bytes32 exporterOf(std::uint64_t connection) {
    return filled(static_cast<std::uint8_t>(0xE0 + connection));
}

struct Harness {
    explicit Harness(PairingCoordinator::Configuration configuration = {},
                     std::shared_ptr<InMemoryTrustedDeviceStore> existing = nullptr)
        : store(existing ? existing : std::make_shared<InMemoryTrustedDeviceStore>()),
          security(std::make_shared<FakePairingSecurity>()),
          coordinator(
              store, "Studio", configuration, [this] { return now; }, security) {
        coordinator.setEventHandler([this](const PairingEvent& event) { events.push_back(event); });
    }

    void advance(double seconds) { now += toDuration(seconds); }

    Action send(std::uint64_t connection, const Message& message) {
        return coordinator.decide(ConnectionID{connection}, message,
                                  {TrackpadProtocol::Transport::reliable, exporterOf(connection)});
    }
    Action sendDatagram(std::uint64_t connection, const Message& message) {
        return coordinator.decide(ConnectionID{connection}, message,
                                  {TrackpadProtocol::Transport::datagram, {}});
    }

    Action requestPairing(std::uint64_t connection, const UUID& device, const std::string& name = "Phone") {
        return send(connection, Message::PairingRequest{device, name});
    }
    Action answer(std::uint64_t connection, const UUID& device, std::string_view digits) {
        return send(connection,
                    Message::PairingResponse{filled(1), FakePairingSecurity::phoneConfirmation(
                                                            digits, exporterOf(connection), device)});
    }
    // Pairs the device on the connection with the code the coordinator shows; returns the token.
    Bytes32 pair(std::uint64_t connection, const UUID& device, const std::string& name = "Phone") {
        requestPairing(connection, device, name);
        auto pending = coordinator.pendingPairing();
        EXPECT_TRUE(pending);
        if (!pending)
            return {};
        Action accepted = answer(connection, device, pending->code.digits());
        const auto* reply = accepted.as<Action::Reply>();
        EXPECT_TRUE(reply && reply->message.is<Message::PairingAccepted>());
        if (!reply || !reply->message.is<Message::PairingAccepted>())
            return {};
        return reply->message.as<Message::PairingAccepted>()->token;
    }
    Action openSession(std::uint64_t connection, const UUID& device, const Bytes32& token,
                       bool wantsFeatures = false) {
        return send(connection, Message::SessionRequest{device, token, wantsFeatures});
    }
    // Pairs and opens a session on the same connection.
    Bytes32 connect(std::uint64_t connection, const UUID& device) {
        Bytes32 token = pair(connection, device);
        openSession(connection, device, token);
        return token;
    }

    std::vector<PairingEvent> takeEvents() { return std::exchange(events, {}); }

    Date now = referenceDate();
    std::shared_ptr<InMemoryTrustedDeviceStore> store;
    std::shared_ptr<FakePairingSecurity> security;
    PairingCoordinator coordinator;
    std::vector<PairingEvent> events;
};

inline Action rejected(PairingRejection reason) {
    return {Action::Reply{Message::PairingRejected{reason}}};
}

inline PairingEvent finished(PairingOutcome outcome) {
    return PairingEvent::PairingFinished{std::move(outcome)};
}
inline PairingEvent pendingCleared() {
    return PairingEvent::PendingPairingChanged{std::nullopt};
}

}  // namespace CompanionNetwork::tests
