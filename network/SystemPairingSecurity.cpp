#include <algorithm>

#include "network/PairingSecurity.h"
#include "protocol/security/CPace.h"
#include "protocol/security/TLSIdentity.h"

namespace CompanionNetwork {

namespace {

using namespace TrackpadProtocol;

class SystemPairingExchange final : public PairingExchange {
  public:
    SystemPairingExchange(const PairingCode& code, const Bytes32& exporterValue, const UUID& hostID,
                          const UUID& deviceID)
        : initiator_(code, exporterValue, hostID, deviceID), deviceID_(deviceID) {}

    Bytes16 sessionID() const override {
        Bytes16 result{};
        auto id = initiator_.sessionID();
        std::copy_n(id.begin(), std::min(id.size(), result.size()), result.begin());
        return result;
    }
    Bytes32 share() const override { return initiator_.share(); }
    bool verifyPhone(const Bytes32& phoneShare, const Bytes32& phoneConfirmation) override {
        if (!initiator_.receivePeerShare(phoneShare, deviceID_.bytes))
            return false;
        return initiator_.verifyPeerConfirmation(phoneConfirmation);
    }
    Bytes32 confirmation() const override { return initiator_.confirmation(); }

  private:
    CPaceInitiator initiator_;
    UUID deviceID_;
};

class SystemPairingSecurity final : public PairingSecurity {
  public:
    PairingCode makeCode() override { return PairingCode::random(); }
    std::unique_ptr<PairingExchange> startExchange(const PairingCode& code, const Bytes32& exporterValue,
                                                   const UUID& hostID, const UUID& deviceID) override {
        return std::make_unique<SystemPairingExchange>(code, exporterValue, hostID, deviceID);
    }
    PairingToken makeToken() override { return PairingToken::random(); }
    Data makeTLSPrivateKey() override { return TLSIdentity::generatePrivateKey(); }
    bool isUsableTLSPrivateKey(std::span<const std::uint8_t> key) override {
        try {
            TLSIdentity identity(UUID{}, key);
            return true;
        } catch (const TLSError&) {
            return false;
        }
    }
};

}  // namespace

std::shared_ptr<PairingSecurity> makeSystemPairingSecurity() {
    return std::make_shared<SystemPairingSecurity>();
}

}  // namespace CompanionNetwork
