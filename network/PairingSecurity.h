#pragma once
// The cryptography the pairing coordinator relies on, behind one small interface so that the
// coordinator's rules (codes, attempts, lockouts, sessions) can be tested without running CPace.
// The system implementation uses the protocol library's CPace initiator, pairing code, pairing token
// and TLS identity.
#include <cstdint>
#include <memory>
#include <span>

#include "protocol/messages/Types.h"
#include "protocol/messages/Uuid.h"
#include "protocol/security/PairingCode.h"
#include "protocol/security/PairingToken.h"

namespace CompanionNetwork {

// One CPace run on the computer's side, for one code on one TLS connection. A wrong code needs a new run.
class PairingExchange {
  public:
    virtual ~PairingExchange() = default;

    virtual TrackpadProtocol::Bytes16 sessionID() const = 0;
    // The computer's share, sent in the pairing challenge.
    virtual TrackpadProtocol::Bytes32 share() const = 0;
    // Takes the phone's share and confirmation; true only when the confirmation shows that the phone
    // used the same code over the same TLS channel. A share that yields no key counts as a wrong code.
    // Called at most once per run.
    virtual bool verifyPhone(const TrackpadProtocol::Bytes32& phoneShare,
                             const TrackpadProtocol::Bytes32& phoneConfirmation) = 0;
    // The computer's confirmation for the phone; only after verifyPhone returned true.
    virtual TrackpadProtocol::Bytes32 confirmation() const = 0;
};

class PairingSecurity {
  public:
    virtual ~PairingSecurity() = default;

    virtual TrackpadProtocol::PairingCode makeCode() = 0;
    // `exporterValue` is the connection's 32-byte pairing exporter value; it binds the run to the
    // channel, so that a relay between two TLS connections cannot complete it.
    virtual std::unique_ptr<PairingExchange> startExchange(const TrackpadProtocol::PairingCode& code,
                                                           const TrackpadProtocol::Bytes32& exporterValue,
                                                           const TrackpadProtocol::UUID& hostID,
                                                           const TrackpadProtocol::UUID& deviceID) = 0;
    virtual TrackpadProtocol::PairingToken makeToken() = 0;
    // A new private key for the computer's TLS identity, PKCS#8 DER.
    virtual TrackpadProtocol::Data makeTLSPrivateKey() = 0;
    // Whether stored key bytes can serve as the TLS identity's key.
    virtual bool isUsableTLSPrivateKey(std::span<const std::uint8_t> key) = 0;
};

// CPace (X25519, SHA-512), system randomness and P-256 keys.
std::shared_ptr<PairingSecurity> makeSystemPairingSecurity();

}  // namespace CompanionNetwork
