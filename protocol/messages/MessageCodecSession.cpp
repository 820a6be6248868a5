// Field layouts of the pairing, session, probe, subscription and status messages.
#include "protocol/messages/MessageCodecFamilies.h"
#include "protocol/messages/Overloaded.h"

namespace TrackpadProtocol::wire {

namespace {

void writeUUID(WireWriter& writer, const UUID& id) {
    writer.fixed(id.bytes);
}

UUID readUUID(WireReader& reader) {
    return UUID{reader.fixed<16>()};
}

}  // namespace

void encodeSessionFields(WireWriter& w, const Message& message) {
    std::visit(
        Overloaded{
            [&](const Message::PairingRequest& m) {
                writeUUID(w, m.deviceID);
                w.string(m.deviceName, "device name");
            },
            [&](const Message::PairingChallenge& m) {
                writeUUID(w, m.hostID);
                w.string(m.hostName, "host name");
                w.fixed(m.sessionID);
                w.fixed(m.share);
                w.u8(m.attemptsLeft);
            },
            [&](const Message::PairingResponse& m) {
                w.fixed(m.share);
                w.fixed(m.confirmation);
            },
            [&](const Message::PairingAccepted& m) {
                w.fixed(m.token);
                w.fixed(m.confirmation);
            },
            [&](const Message::PairingRejected& m) {
                w.u8(checkedEnum(m.reason, PairingRejection::failed, "rejection reason"));
            },
            [&](const Message::PairingCancel&) {},
            [&](const Message::SessionRequest& m) {
                writeUUID(w, m.deviceID);
                w.fixed(m.token);
                w.boolean(m.wantsFeatures);
            },
            [&](const Message::SessionAccepted& m) {
                w.boolean(m.features.has_value());
                if (m.features) w.u32(m.features->rawValue);
            },
            [&](const Message::Probe& m) {
                w.u32(m.number);
                w.boolean(m.viaDatagram);
            },
            [&](const Message::ProbeReply& m) {
                w.u32(m.number);
                w.boolean(m.viaDatagram);
            },
            [&](const Message::Subscribe& m) { w.u8(checkedOptions(m.subscriptions, "subscriptions")); },
            [&](const Message::Unsubscribe& m) { w.u8(checkedOptions(m.subscriptions, "subscriptions")); },
            [&](const Message::ControlStatus& m) {
                w.u8(checkedEnum(m.status, ControlStatus::accessibilityRequired, "control status"));
            },
            [&](const Message::ScreenLockStatus& m) {
                w.u8(checkedEnum(m.status, ScreenLockStatus::unlocked, "screen lock status"));
            },
            [](const auto&) {},
        },
        message.value);
}

Message decodeSessionFields(std::uint8_t type, WireReader& r) {
    switch (type) {
        case type::pairingRequest: {
            Message::PairingRequest m;
            m.deviceID = readUUID(r);
            m.deviceName = r.string("device name");
            return m;
        }
        case type::pairingChallenge: {
            Message::PairingChallenge m;
            m.hostID = readUUID(r);
            m.hostName = r.string("host name");
            m.sessionID = r.fixed<16>();
            m.share = r.fixed<32>();
            m.attemptsLeft = r.u8();
            return m;
        }
        case type::pairingResponse: {
            Message::PairingResponse m;
            m.share = r.fixed<32>();
            m.confirmation = r.fixed<32>();
            return m;
        }
        case type::pairingAccepted: {
            Message::PairingAccepted m;
            m.token = r.fixed<32>();
            m.confirmation = r.fixed<32>();
            return m;
        }
        case type::pairingRejected:
            return Message::PairingRejected{r.enumeration(PairingRejection::failed, "rejection reason")};
        case type::pairingCancel:
            return Message::PairingCancel{};
        case type::sessionRequest: {
            Message::SessionRequest m;
            m.deviceID = readUUID(r);
            m.token = r.fixed<32>();
            m.wantsFeatures = r.boolean("wants features");
            return m;
        }
        case type::sessionAccepted: {
            Message::SessionAccepted m;
            // Bits this side does not know stay in the set: a newer computer may offer more features.
            if (r.presence("features")) m.features = HostFeatures(r.u32());
            return m;
        }
        case type::probe: {
            Message::Probe m;
            m.number = r.u32();
            m.viaDatagram = r.boolean("via datagram");
            return m;
        }
        case type::probeReply: {
            Message::ProbeReply m;
            m.number = r.u32();
            m.viaDatagram = r.boolean("via datagram");
            return m;
        }
        case type::subscribe:
            return Message::Subscribe{r.options<Subscriptions>("subscriptions")};
        case type::unsubscribe:
            return Message::Unsubscribe{r.options<Subscriptions>("subscriptions")};
        case type::controlStatus:
            return Message::ControlStatus{
                r.enumeration(ControlStatus::accessibilityRequired, "control status")};
        case type::screenLockStatus:
            return Message::ScreenLockStatus{r.enumeration(ScreenLockStatus::unlocked, "screen lock status")};
        default:
            throw MessageCodec::DecodingError::unknownMessageType(type);
    }
}

}  // namespace TrackpadProtocol::wire
