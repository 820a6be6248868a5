#include "protocol/security/CPace.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "protocol/messages/Secrets.h"
#include "protocol/security/Field25519.h"

namespace TrackpadProtocol {

namespace CPace {

namespace {

constexpr std::string_view dsi = "CPace255";
constexpr std::string_view dsiISK = "CPace255_ISK";
constexpr std::string_view sidOutputPrefix = "CPaceSidOutput";

ByteView view(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

void append(Bytes& out, ByteView data) {
    out.insert(out.end(), data.begin(), data.end());
}

struct PKeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PKeyContextDeleter {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};

}  // namespace

Bytes prependLength(ByteView data) {
    Bytes out;
    std::size_t length = data.size();
    do {
        const auto low = static_cast<std::uint8_t>(length & 0x7F);
        length >>= 7;
        out.push_back(length != 0 ? static_cast<std::uint8_t>(low | 0x80) : low);
    } while (length != 0);
    append(out, data);
    return out;
}

Bytes lvCat(std::initializer_list<ByteView> parts) {
    Bytes out;
    for (ByteView part : parts) {
        Bytes encoded = prependLength(part);
        append(out, encoded);
        wipe(encoded);  // parts may be the password
    }
    return out;
}

Bytes generatorString(ByteView dsiBytes, ByteView prs, ByteView ci, ByteView sid, std::size_t blockSize) {
    const std::size_t prsLength = prependLength(prs).size();
    const std::size_t dsiLength = prependLength(dsiBytes).size();
    const std::size_t used = 1 + prsLength + dsiLength;
    const Bytes zeroPadding(blockSize > used ? blockSize - used : 0, 0);
    return lvCat({dsiBytes, prs, zeroPadding, ci, sid});
}

Element calculateGenerator(ByteView prs, ByteView ci, ByteView sid) {
    Bytes generatorInput = generatorString(view(dsi), prs, ci, sid, hashBlockSize);
    std::array<std::uint8_t, SHA512_DIGEST_LENGTH> hash;
    SHA512(generatorInput.data(), generatorInput.size(), hash.data());
    wipe(generatorInput);
    Field25519::Bytes u;
    std::copy_n(hash.begin(), u.size(), u.begin());
    wipe(hash);
    Field25519::Element r = Field25519::fromBytes(u);  // drops bit 255 as decodeUCoordinate does
    wipe(u);
    Element generator = Field25519::elligator2(r);
    wipe(r.limb.data(), sizeof(r.limb));
    // Every value on the way is derived from the code, and the code has only a million values: what the
    // map left on the stack goes too.
    burnStack();
    return generator;
}

std::optional<Element> scalarMultiplyVerified(const Element& scalar, const Element& point) {
    std::unique_ptr<EVP_PKEY, PKeyDeleter> privateKey(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, scalar.data(), scalar.size()));
    std::unique_ptr<EVP_PKEY, PKeyDeleter> peerKey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, point.data(), point.size()));
    if (!privateKey || !peerKey) {
        ERR_clear_error();
        throw std::runtime_error("X25519 keys could not be created");
    }
    std::unique_ptr<EVP_PKEY_CTX, PKeyContextDeleter> context(EVP_PKEY_CTX_new(privateKey.get(), nullptr));
    Element result{};
    std::size_t length = result.size();
    // OpenSSL refuses to derive an all-zero result (RFC 7748's check), which is exactly the neutral
    // element the draft requires us to abort on; a refusal therefore means "abort".
    const bool derived = context && EVP_PKEY_derive_init(context.get()) == 1 &&
                         EVP_PKEY_derive_set_peer(context.get(), peerKey.get()) == 1 &&
                         EVP_PKEY_derive(context.get(), result.data(), &length) == 1 &&
                         length == result.size();
    ERR_clear_error();
    // OpenSSL keeps the scalar (wiped when freed) and the point (the generator, not wiped) in its key
    // objects, and works on copies on its own stack: free the keys at once and overwrite that stack.
    context.reset();
    privateKey.reset();
    peerKey.reset();
    burnStack();
    const Element neutral{};
    if (!derived || constantTimeEqual(result, neutral)) {
        wipe(result);
        return std::nullopt;
    }
    return result;
}

Bytes transcript(ByteView shareA, ByteView dataA, ByteView shareB, ByteView dataB) {
    Bytes out = lvCat({shareA, dataA});
    append(out, lvCat({shareB, dataB}));
    return out;
}

SessionKey intermediateSessionKey(ByteView sid, const Element& k, ByteView transcriptBytes) {
    Bytes input = lvCat({view(dsiISK), sid, k});
    append(input, transcriptBytes);
    SessionKey key;
    SHA512(input.data(), input.size(), key.data());
    wipe(input);
    return key;
}

SessionKey sessionIDOutput(ByteView transcriptBytes) {
    Bytes input(sidOutputPrefix.begin(), sidOutputPrefix.end());
    append(input, transcriptBytes);
    SessionKey output;
    SHA512(input.data(), input.size(), output.data());
    return output;
}

Bytes channelIdentifier(ByteView exporterValue, const UUID& hostID, const UUID& deviceID) {
    return lvCat({exporterValue, hostID.bytes, deviceID.bytes});
}

}  // namespace CPace

namespace {

constexpr std::string_view initiatorLabel = "vornelis confirm mac";
constexpr std::string_view responderLabel = "vornelis confirm phone";

CPace::Tag hmacSHA256(CPace::ByteView key, CPace::ByteView data) {
    CPace::Tag tag;
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), tag.data(),
             &length) == nullptr ||
        length != tag.size()) {
        ERR_clear_error();
        throw std::runtime_error("HMAC-SHA256 failed");
    }
    return tag;
}

CPace::Element randomScalar() {
    CPace::Element scalar;
    fillRandom(scalar);
    return scalar;
}

}  // namespace

CPaceParty::CPaceParty(Role role, CPace::ByteView password, CPace::ByteView channelIdentifier,
                       CPace::ByteView sessionID, CPace::ByteView ownData)
    : CPaceParty(role, password, channelIdentifier, sessionID, ownData, randomScalar()) {}

CPaceParty::CPaceParty(Role role, CPace::ByteView password, CPace::ByteView channelIdentifier,
                       CPace::ByteView sessionID, CPace::ByteView ownData, const CPace::Element& scalar)
    : role_(role),
      sessionID_(sessionID.begin(), sessionID.end()),
      ownData_(ownData.begin(), ownData.end()),
      scalar_(scalar) {
    generator_ = CPace::calculateGenerator(password, channelIdentifier, sessionID);
    // The generator comes out of Elligator 2 and a scalar is clamped to a multiple of the cofactor, so
    // the share is never the neutral element; the check stays for a broken random generator.
    std::optional<CPace::Element> share = CPace::scalarMultiplyVerified(scalar_, generator_);
    if (!share) {
        throw std::runtime_error("CPace share is the neutral element");
    }
    share_ = *share;
}

bool CPaceParty::receivePeerShare(CPace::ByteView peerShare, CPace::ByteView peerData) {
    if (finished_) {
        return false;
    }
    finished_ = true;
    if (peerShare.size() != CPace::shareSize) {
        wipe(scalar_);
        return false;
    }
    std::copy(peerShare.begin(), peerShare.end(), peerShare_.begin());
    peerData_.assign(peerData.begin(), peerData.end());
    std::optional<CPace::Element> k = CPace::scalarMultiplyVerified(scalar_, peerShare_);
    wipe(scalar_);  // one share, one scalar: it is never needed again
    if (!k) {
        return false;
    }
    const CPace::Bytes transcriptBytes = transcript();
    key_ = CPace::intermediateSessionKey(sessionID_, *k, transcriptBytes);
    wipe(*k);
    derived_ = true;
    return true;
}

CPace::Bytes CPaceParty::transcript() const {
    if (!finished_) {
        throw std::logic_error("CPace transcript before the peer's share");
    }
    if (role_ == Role::initiator) {
        return CPace::transcript(share_, ownData_, peerShare_, peerData_);
    }
    return CPace::transcript(peerShare_, peerData_, share_, ownData_);
}

const CPace::SessionKey& CPaceParty::requireKey() const {
    if (!derived_) {
        throw std::logic_error("CPace session key not derived");
    }
    return key_;
}

const CPace::SessionKey& CPaceParty::intermediateSessionKey() const {
    return requireKey();
}

CPace::SessionKey CPaceParty::sessionIDOutput() const {
    requireKey();
    return CPace::sessionIDOutput(transcript());
}

CPace::Tag CPaceParty::tagFor(Role role) const {
    const CPace::SessionKey& key = requireKey();
    const std::string_view label = role == Role::initiator ? initiatorLabel : responderLabel;
    const CPace::Tag macKey = hmacSHA256(key, CPace::view(label));
    CPace::Tag tag = hmacSHA256(macKey, transcript());
    burnStack();
    return tag;
}

CPace::Tag CPaceParty::confirmation() const {
    return tagFor(role_);
}

bool CPaceParty::verifyPeerConfirmation(CPace::ByteView tag) const {
    if (!derived_ || tag.size() != CPace::tagSize) {
        return false;
    }
    CPace::Tag expected = tagFor(role_ == Role::initiator ? Role::responder : Role::initiator);
    const bool equal = constantTimeEqual(expected, tag);
    wipe(expected);
    return equal;
}

std::array<std::uint8_t, CPace::sessionIDSize> CPaceInitiator::randomSessionID() {
    std::array<std::uint8_t, CPace::sessionIDSize> sessionID;
    fillRandom(sessionID);
    return sessionID;
}

CPaceInitiator::CPaceInitiator(const PairingCode& code, CPace::ByteView exporterValue, const UUID& hostID,
                               const UUID& deviceID)
    : CPaceInitiator(code, exporterValue, hostID, deviceID, randomSessionID()) {}

CPaceInitiator::CPaceInitiator(const PairingCode& code, CPace::ByteView exporterValue, const UUID& hostID,
                               const UUID& deviceID,
                               const std::array<std::uint8_t, CPace::sessionIDSize>& sessionID)
    : CPaceParty(Role::initiator, code.passwordBytes(),
                 CPace::channelIdentifier(exporterValue, hostID, deviceID), sessionID, hostID.bytes) {}

CPaceResponder::CPaceResponder(const PairingCode& code, CPace::ByteView exporterValue, const UUID& hostID,
                               const UUID& deviceID, CPace::ByteView sessionID)
    : CPaceParty(Role::responder, code.passwordBytes(),
                 CPace::channelIdentifier(exporterValue, hostID, deviceID), sessionID, deviceID.bytes) {}

}  // namespace TrackpadProtocol
