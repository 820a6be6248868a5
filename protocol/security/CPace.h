#pragma once
// CPace, ciphersuite CPACE-X25519-SHA512, in the initiator-responder setting, with explicit key
// confirmation in both directions. The computer is the initiator (party A), the phone the responder (B).
//
// The free functions in namespace CPace are the draft's building blocks, exposed so that they can be
// checked against the reference vectors. CPaceParty runs one exchange; CPaceInitiator and CPaceResponder
// bind it to pairing: the password is the pairing code, the channel identifier carries the TLS exporter
// value and both ids, the associated data are the host id (A) and the device id (B).
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

#include "protocol/messages/Secrets.h"
#include "protocol/messages/Uuid.h"
#include "protocol/security/PairingCode.h"

namespace TrackpadProtocol {

namespace CPace {

// Everything here may hold the password or a key, or be built from them: buffers wipe themselves,
// also the ones a vector outgrows.
using Bytes = SecretVector;
using ByteView = std::span<const std::uint8_t>;
using Element = SecretBytes<32>;  // an X25519 u-coordinate or scalar
using SessionKey = SecretBytes<64>;
using Tag = SecretBytes<32>;

inline constexpr std::size_t shareSize = 32;
inline constexpr std::size_t sessionIDSize = 16;
inline constexpr std::size_t exporterSize = 32;
inline constexpr std::size_t tagSize = 32;
inline constexpr std::size_t hashBlockSize = 128;  // SHA-512's input block, for the generator padding

// prepend_len: the LEB128 length, then the bytes.
Bytes prependLength(ByteView data);
// lv_cat: prepend_len of every argument, concatenated.
Bytes lvCat(std::initializer_list<ByteView> parts);
// generator_string(DSI, PRS, CI, sid, s_in_bytes).
Bytes generatorString(ByteView dsi, ByteView prs, ByteView ci, ByteView sid, std::size_t blockSize);
// G_X25519.calculate_generator with SHA-512: the hashed generator string through Elligator 2.
Element calculateGenerator(ByteView prs, ByteView ci, ByteView sid);
// G_X25519.scalar_mult_vfy: X25519(scalar, point); none where the result is the neutral element
// (a low-order point on the curve or its twist), which the draft says must abort the exchange.
std::optional<Element> scalarMultiplyVerified(const Element& scalar, const Element& point);
// transcript_ir(Ya, ADa, Yb, ADb) = lv_cat(Ya, ADa) || lv_cat(Yb, ADb).
Bytes transcript(ByteView shareA, ByteView dataA, ByteView shareB, ByteView dataB);
// ISK = SHA-512(lv_cat(DSI || "_ISK", sid, K) || transcript).
SessionKey intermediateSessionKey(ByteView sid, const Element& k, ByteView transcript);
// sid_output = SHA-512("CPaceSidOutput" || transcript).
SessionKey sessionIDOutput(ByteView transcript);
// The channel identifier of a pairing: lv_cat(TLS exporter value, host id, device id).
Bytes channelIdentifier(ByteView exporterValue, const UUID& hostID, const UUID& deviceID);

}  // namespace CPace

// One party of one exchange. Secrets (scalar, generator, session key) wipe themselves.
// Not thread-safe; each exchange lives on one thread.
class CPaceParty {
  public:
    enum class Role { initiator, responder };

    // A fresh random scalar. Throws RandomnessError.
    CPaceParty(Role role, CPace::ByteView password, CPace::ByteView channelIdentifier,
               CPace::ByteView sessionID, CPace::ByteView ownData);
    // A given scalar, for reproducing reference vectors.
    CPaceParty(Role role, CPace::ByteView password, CPace::ByteView channelIdentifier,
               CPace::ByteView sessionID, CPace::ByteView ownData, const CPace::Element& scalar);
    ~CPaceParty() = default;
    CPaceParty(const CPaceParty&) = delete;
    CPaceParty& operator=(const CPaceParty&) = delete;

    Role role() const { return role_; }
    const CPace::Element& generator() const { return generator_; }
    // The share to send: scalar times generator.
    const CPace::Element& share() const { return share_; }
    CPace::ByteView sessionID() const { return sessionID_; }

    // Takes the peer's share and associated data and derives the session key. False when the share is
    // not 32 bytes or the shared point is the neutral element (the exchange is then over and derives
    // nothing); a second call after success is refused too.
    bool receivePeerShare(CPace::ByteView peerShare, CPace::ByteView peerData);
    bool hasSessionKey() const { return derived_; }

    // The remaining calls need the session key; they throw std::logic_error before it exists.
    const CPace::SessionKey& intermediateSessionKey() const;
    CPace::Bytes transcript() const;
    CPace::SessionKey sessionIDOutput() const;
    // This party's confirmation tag: HMAC-SHA256(HMAC-SHA256(ISK, label), transcript) with the label
    // "vornelis confirm mac" for the initiator and "vornelis confirm phone" for the responder.
    CPace::Tag confirmation() const;
    // Checks the peer's tag in constant time; false before the key exists or for any length but 32.
    bool verifyPeerConfirmation(CPace::ByteView tag) const;

  private:
    CPace::Tag tagFor(Role role) const;
    const CPace::SessionKey& requireKey() const;

    Role role_;
    CPace::Bytes sessionID_;
    CPace::Bytes ownData_;
    CPace::Bytes peerData_;
    SecretBytes<32> scalar_;
    SecretBytes<32> generator_;  // derived from the code: as secret as the code
    CPace::Element share_{};
    CPace::Element peerShare_{};
    SecretBytes<64> key_;
    bool derived_ = false;
    bool finished_ = false;
};

// The computer's side: picks the session id, sends its share first, and answers a verified phone
// confirmation with its own.
class CPaceInitiator : public CPaceParty {
  public:
    CPaceInitiator(const PairingCode& code, CPace::ByteView exporterValue, const UUID& hostID,
                   const UUID& deviceID);
    static std::array<std::uint8_t, CPace::sessionIDSize> randomSessionID();

  private:
    CPaceInitiator(const PairingCode& code, CPace::ByteView exporterValue, const UUID& hostID,
                   const UUID& deviceID, const std::array<std::uint8_t, CPace::sessionIDSize>& sessionID);
};

// The phone's side: takes the computer's session id, answers with its share and confirmation, and
// trusts the computer only once the computer's confirmation verifies.
class CPaceResponder : public CPaceParty {
  public:
    CPaceResponder(const PairingCode& code, CPace::ByteView exporterValue, const UUID& hostID,
                   const UUID& deviceID, CPace::ByteView sessionID);
};

}  // namespace TrackpadProtocol
