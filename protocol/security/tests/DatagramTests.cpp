#include <gtest/gtest.h>

#include <limits>

#include "protocol/messages/Secrets.h"
#include "protocol/security/DatagramOpener.h"
#include "protocol/security/DatagramSealer.h"

namespace TrackpadProtocol {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Reason = DatagramOpener::Failure::Reason;

DatagramKey randomKey() {
    std::array<std::uint8_t, DatagramKey::exportedSize> bytes;
    fillRandom(bytes);
    return DatagramKey::fromExportedBytes(bytes);
}

std::optional<Reason> refusal(DatagramOpener& opener, const Bytes& datagram, std::string_view host) {
    try {
        opener.authenticate(datagram, host);
        return std::nullopt;
    } catch (const DatagramOpener::Failure& failure) {
        return failure.reason();
    }
}

// A datagram with any counter, sealed correctly under `key` (the sealer itself never makes counter 0).
Bytes sealedWithCounter(const DatagramKey& key, std::uint64_t counter, const Bytes& payload) {
    Bytes datagram(DatagramFormat::headerSize);
    datagram[0] = DatagramFormat::version;
    DatagramFormat::writeU64(datagram.data() + 1, key.keyID);
    DatagramFormat::writeU64(datagram.data() + 9, counter);
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    KeyedHMAC mac(key.secret);
    const KeyedHMAC::Tag tag = mac.compute(datagram);
    datagram.insert(datagram.end(), tag.begin(), tag.end());
    return datagram;
}

TEST(ReplayWindow, AcceptsEachCounterOnceWithinSixtyFourOfTheHighest) {
    ReplayWindow window;
    EXPECT_EQ(window.check(0), ReplayWindow::Verdict::tooOld);
    EXPECT_EQ(window.check(1), ReplayWindow::Verdict::fresh);
    window.accept(100);
    EXPECT_EQ(window.check(100), ReplayWindow::Verdict::replayed);
    EXPECT_EQ(window.check(37), ReplayWindow::Verdict::fresh);   // 63 below the highest: still inside
    EXPECT_EQ(window.check(36), ReplayWindow::Verdict::tooOld);  // 64 below: outside
    window.accept(37);
    EXPECT_EQ(window.check(37), ReplayWindow::Verdict::replayed);
    window.accept(101);  // shifts by one: 37 falls out, 38 is the oldest still inside
    EXPECT_EQ(window.check(37), ReplayWindow::Verdict::tooOld);
    EXPECT_EQ(window.check(38), ReplayWindow::Verdict::fresh);
    EXPECT_EQ(window.check(100), ReplayWindow::Verdict::replayed);

    window.accept(100 + 1000);  // a jump past the width forgets everything below
    EXPECT_EQ(window.highest(), 1100u);
    EXPECT_EQ(window.check(1099), ReplayWindow::Verdict::fresh);
    EXPECT_EQ(window.check(101), ReplayWindow::Verdict::tooOld);

    const std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
    window.accept(top);
    EXPECT_EQ(window.check(top), ReplayWindow::Verdict::replayed);
    EXPECT_EQ(window.check(top - 63), ReplayWindow::Verdict::fresh);
    EXPECT_EQ(window.check(top - 64), ReplayWindow::Verdict::tooOld);
}

class DatagramRoundTrip : public ::testing::Test {
  protected:
    DatagramKey key = randomKey();
    DatagramSealer sealer{key};
    DatagramOpener opener;
    const Bytes payload{0x01, 0x10, 0x3F, 0x80, 0x00, 0x00, 0xBF, 0x80, 0x00, 0x00};

    void SetUp() override { opener.install(key, "127.0.0.1"); }
};

TEST_F(DatagramRoundTrip, SealedDatagramsOpenInOrderWithTheirPayload) {
    for (std::uint64_t expected = 1; expected <= 3; ++expected) {
        const Bytes datagram = sealer.seal(payload);
        ASSERT_EQ(datagram.size(), DatagramFormat::minimumSize + payload.size());
        EXPECT_EQ(datagram[0], 1);
        EXPECT_EQ(DatagramOpener::peekKeyID(datagram), key.keyID);
        const DatagramOpener::Authenticated opened = opener.authenticate(datagram, "127.0.0.1");
        EXPECT_EQ(opened.keyID, key.keyID);
        EXPECT_EQ(opened.counter, expected);
        EXPECT_EQ(Bytes(opened.payload.begin(), opened.payload.end()), payload);
    }
    EXPECT_EQ(sealer.nextCounter(), 4u);
}

TEST_F(DatagramRoundTrip, ReplayedAndReorderedDatagrams) {
    std::vector<Bytes> sent;
    for (int i = 0; i < 70; ++i) {
        sent.push_back(sealer.seal(payload));
    }
    EXPECT_FALSE(refusal(opener, sent[69], "127.0.0.1"));  // counter 70 first
    EXPECT_EQ(refusal(opener, sent[69], "127.0.0.1"), Reason::replayed);
    EXPECT_FALSE(refusal(opener, sent[6], "127.0.0.1"));  // counter 7: 63 behind, still in
    EXPECT_EQ(refusal(opener, sent[6], "127.0.0.1"), Reason::replayed);
    EXPECT_EQ(refusal(opener, sent[5], "127.0.0.1"), Reason::tooOld);  // counter 6: beyond the window
    EXPECT_FALSE(refusal(opener, sent[40], "127.0.0.1"));
}

TEST_F(DatagramRoundTrip, MalformedDatagramsAreRefusedWithTheirReason) {
    const Bytes good = sealer.seal(payload);
    EXPECT_EQ(refusal(opener, {}, "127.0.0.1"), Reason::truncated);
    EXPECT_EQ(refusal(opener, Bytes(good.begin(), good.begin() + 48), "127.0.0.1"), Reason::truncated);
    Bytes otherVersion = good;
    otherVersion[0] = 2;
    EXPECT_EQ(refusal(opener, otherVersion, "127.0.0.1"), Reason::unsupportedVersion);
    EXPECT_EQ(refusal(opener, Bytes{0}, "127.0.0.1"), Reason::unsupportedVersion);

    for (std::size_t index : {std::size_t{9}, std::size_t{16}, std::size_t{17}, good.size() - 1}) {
        Bytes forged = good;
        forged[index] ^= 0x01;  // counter, payload or tag
        EXPECT_EQ(refusal(opener, forged, "127.0.0.1"), Reason::badTag) << index;
    }
    EXPECT_EQ(refusal(opener, good, "127.0.0.2"), Reason::hostMismatch);
    Bytes otherKeyID = good;
    otherKeyID[8] ^= 0x01;
    EXPECT_EQ(refusal(opener, otherKeyID, "127.0.0.1"), Reason::unknownKey);
    // A tag of the right length over nothing but the header still has to verify.
    EXPECT_EQ(refusal(opener, sealedWithCounter(randomKey(), 1, {}), "127.0.0.1"), Reason::unknownKey);
    EXPECT_EQ(refusal(opener, sealedWithCounter(key, 0, payload), "127.0.0.1"), Reason::tooOld);

    // None of the refusals above moved the window: the good datagram is still fresh.
    EXPECT_FALSE(refusal(opener, good, "127.0.0.1"));
}

TEST_F(DatagramRoundTrip, AForgedHighCounterDoesNotAdvanceTheWindow) {
    const Bytes first = sealer.seal(payload);
    DatagramKey forger = randomKey();
    forger.keyID = key.keyID;  // right key id, wrong secret
    EXPECT_EQ(refusal(opener, sealedWithCounter(forger, 1'000'000, payload), "127.0.0.1"), Reason::badTag);
    EXPECT_FALSE(refusal(opener, first, "127.0.0.1"));  // would be tooOld had the forgery moved the window
}

TEST_F(DatagramRoundTrip, RekeyingAndRemoval) {
    const Bytes oldDatagram = sealer.seal(payload);
    EXPECT_FALSE(refusal(opener, oldDatagram, "127.0.0.1"));

    // The same session key installed again (a repeated session request on the same TLS connection)
    // keeps its window, so the datagram it already took stays replayed.
    opener.install(key, "127.0.0.1");
    EXPECT_EQ(refusal(opener, oldDatagram, "127.0.0.1"), Reason::replayed);

    // A new session brings a new key; the old key's datagrams no longer open.
    ASSERT_TRUE(opener.remove(key.keyID));
    EXPECT_FALSE(opener.remove(key.keyID));
    const DatagramKey next = randomKey();
    opener.install(next, "127.0.0.1");
    EXPECT_EQ(refusal(opener, sealer.seal(payload), "127.0.0.1"), Reason::unknownKey);
    DatagramSealer nextSealer(next);
    EXPECT_FALSE(refusal(opener, nextSealer.seal(payload), "127.0.0.1"));

    // Two sessions from one address (phones behind one NAT) stay apart by key id.
    opener.install(key, "127.0.0.1");
    EXPECT_EQ(opener.size(), 2u);
    EXPECT_FALSE(refusal(opener, sealer.seal(payload), "127.0.0.1"));
    EXPECT_FALSE(refusal(opener, nextSealer.seal(payload), "127.0.0.1"));
}

std::optional<Reason> openRefusal(DatagramOpener& opener, const Bytes& datagram) {
    try {
        opener.open(datagram, "127.0.0.1");
        return std::nullopt;
    } catch (const DatagramOpener::Failure& failure) {
        return failure.reason();
    }
}

TEST_F(DatagramRoundTrip, OpenDecodesDatagramMessagesAndRefusesTheRest) {
    const Message move = Message::Move{1.5f, -2.25f};
    const DatagramOpener::Opened opened = opener.open(sealer.seal(move), "127.0.0.1");
    EXPECT_EQ(opened.message, move);
    EXPECT_EQ(opened.counter, 1u);

    // Every scroll phase comes through: the listener's scroll sequencer takes the final ones too.
    for (ScrollPhase phase : {ScrollPhase::changed, ScrollPhase::ended, ScrollPhase::momentumEnded}) {
        EXPECT_FALSE(openRefusal(opener, sealer.seal(Message(Message::Scroll{0, 3, phase, std::nullopt}))));
    }
    EXPECT_FALSE(openRefusal(opener, sealer.seal(Message(Message::Probe{9, true}))));

    // Authentic, but messages that only travel over TLS: a tap, an unlock request, a TLS probe, and a
    // positioned move whose marker stamp makes it reliable.
    Message::Positioned marker{Message(Message::Move{0, 0}), PointerStamp{}};
    for (const Message& reliable : {Message(Message::Tap{1}), Message(Message::UnlockRequest{{1, "pw"}}),
                                    Message(Message::Probe{9, false}), Message(marker)}) {
        EXPECT_EQ(openRefusal(opener, sealer.seal(reliable)), Reason::wrongTransport)
            << reliable.description();
    }

    // Authentic bytes that are no message, with the codec's reason.
    try {
        opener.open(sealer.seal(Bytes{0x01, 0x10, 0x00}), "127.0.0.1");
        ADD_FAILURE() << "opened a truncated move";
    } catch (const DatagramOpener::Failure& failure) {
        EXPECT_EQ(failure.reason(), Reason::undecodable);
        ASSERT_TRUE(failure.decodingError());
        EXPECT_EQ(failure.decodingError()->kind(), MessageCodec::DecodingError::Kind::truncated);
    }
    EXPECT_EQ(openRefusal(opener, sealer.seal(Bytes{})), Reason::undecodable);
    EXPECT_EQ(openRefusal(opener, sealer.seal(Bytes{0x02, 0x10})), Reason::undecodable);

    // The outer checks come first: a replayed move is refused as replayed before anything is decoded.
    const Bytes again = sealer.seal(move);
    EXPECT_FALSE(openRefusal(opener, again));
    EXPECT_EQ(openRefusal(opener, again), Reason::replayed);
}

}  // namespace
}  // namespace TrackpadProtocol
