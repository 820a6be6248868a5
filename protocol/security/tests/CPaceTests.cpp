#include "protocol/security/CPace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

namespace TrackpadProtocol {
namespace {

using CPace::Bytes;
using CPace::Element;

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> arrayFromHex(const std::string& hex) {
    const Bytes bytes = fromHex(hex);
    EXPECT_EQ(bytes.size(), N);
    std::array<std::uint8_t, N> out{};
    std::copy_n(bytes.begin(), std::min(N, bytes.size()), out.begin());
    return out;
}

template <typename Container>
Bytes toBytes(const Container& c) {
    return Bytes(c.begin(), c.end());
}

class CPaceVectors : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::ifstream file(std::string(LUMIVEX_PROTOCOL_TEST_DATA) + "/cpace-x25519.json");
        ASSERT_TRUE(file) << "missing tests/data/cpace-x25519.json";
        data = nlohmann::json::parse(file);
    }
    static Bytes value(const char* key) { return fromHex(data["G_25519"][key].get<std::string>()); }
    static Element element(const char* key) {
        return arrayFromHex<32>(data["G_25519"][key].get<std::string>());
    }

    static inline nlohmann::json data;
};

TEST(CPaceStrings, LengthPrefixAndConcatenationFollowTheDraft) {
    EXPECT_EQ(CPace::prependLength({}), fromHex("00"));
    const Bytes digits{'1', '2', '3', '4'};
    EXPECT_EQ(CPace::prependLength(digits), fromHex("0431323334"));
    Bytes range128(128);
    for (std::size_t i = 0; i < range128.size(); ++i) {
        range128[i] = static_cast<std::uint8_t>(i);
    }
    const Bytes range127(range128.begin(), range128.end() - 1);
    EXPECT_EQ(CPace::prependLength(range127).front(), 0x7F);
    EXPECT_EQ(CPace::prependLength(range127).size(), 128u);
    const Bytes encoded128 = CPace::prependLength(range128);
    ASSERT_EQ(encoded128.size(), 130u);
    EXPECT_EQ(encoded128[0], 0x80);
    EXPECT_EQ(encoded128[1], 0x01);

    const Bytes five{'5'}, empty{}, six78{'6', '7', '8'};
    EXPECT_EQ(CPace::lvCat({digits, five, empty, six78}), fromHex("043132333401350003363738"));
    const Bytes a{'1', '2', '3'}, b{'2', '3', '4'};
    const Bytes partyA{'P', 'a', 'r', 't', 'y', 'A'}, partyB{'P', 'a', 'r', 't', 'y', 'B'};
    EXPECT_EQ(CPace::transcript(a, partyA, b, partyB),
              fromHex("03313233065061727479410332333406506172747942"));
}

TEST_F(CPaceVectors, GeneratorMatches) {
    const Bytes dsi{'C', 'P', 'a', 'c', 'e', '2', '5', '5'};
    EXPECT_EQ(CPace::generatorString(dsi, value("PRS"), value("CI"), value("sid"), CPace::hashBlockSize),
              fromHex(data["generator_string"].get<std::string>()));
    EXPECT_EQ(CPace::calculateGenerator(value("PRS"), value("CI"), value("sid")), element("g"));
}

TEST_F(CPaceVectors, BothPartiesReproduceSharesKeyAndSessionOutput) {
    CPaceParty a(CPaceParty::Role::initiator, value("PRS"), value("CI"), value("sid"), value("ADa"),
                 element("ya"));
    CPaceParty b(CPaceParty::Role::responder, value("PRS"), value("CI"), value("sid"), value("ADb"),
                 element("yb"));
    EXPECT_EQ(a.generator(), element("g"));
    EXPECT_EQ(a.share(), element("Ya"));
    EXPECT_EQ(b.share(), element("Yb"));

    EXPECT_EQ(CPace::scalarMultiplyVerified(element("ya"), element("Yb")), element("K"));
    EXPECT_EQ(CPace::scalarMultiplyVerified(element("yb"), element("Ya")), element("K"));

    ASSERT_TRUE(a.receivePeerShare(b.share(), value("ADb")));
    ASSERT_TRUE(b.receivePeerShare(a.share(), value("ADa")));
    EXPECT_EQ(toBytes(a.intermediateSessionKey()), value("ISK_IR"));
    EXPECT_EQ(toBytes(b.intermediateSessionKey()), value("ISK_IR"));
    EXPECT_EQ(toBytes(a.sessionIDOutput()), value("sid_output_ir"));
    EXPECT_EQ(toBytes(b.sessionIDOutput()), value("sid_output_ir"));
    EXPECT_EQ(a.transcript(), b.transcript());

    EXPECT_TRUE(a.verifyPeerConfirmation(b.confirmation()));
    EXPECT_TRUE(b.verifyPeerConfirmation(a.confirmation()));
    // Each direction has its own tag, so a reflected tag never verifies.
    EXPECT_NE(a.confirmation(), b.confirmation());
    EXPECT_FALSE(a.verifyPeerConfirmation(a.confirmation()));
}

TEST_F(CPaceVectors, LowOrderPointsGiveTheDraftsResultsAndAbortWhereRequired) {
    const Element scalar = arrayFromHex<32>(data["low_order_scalar"].get<std::string>());
    std::set<std::string> mustAbort;
    for (const auto& name : data["must_abort"]) {
        mustAbort.insert(name.get<std::string>());
    }
    ASSERT_EQ(mustAbort.size(), 7u);
    for (const auto& [name, hex] : data["X25519_points"].items()) {
        SCOPED_TRACE(name);
        const Element point = arrayFromHex<32>(hex.get<std::string>());
        const std::optional<Element> result = CPace::scalarMultiplyVerified(scalar, point);
        if (mustAbort.count(name)) {
            EXPECT_FALSE(result.has_value());
        } else {
            // Non-canonical encodings with bit 255 set: bit 255 is ignored, the result is a real point.
            ASSERT_TRUE(result.has_value());
            EXPECT_EQ(*result, arrayFromHex<32>(data["low_order_results"][name].get<std::string>()));
        }
    }
}

TEST_F(CPaceVectors, AnAbortingPeerShareEndsTheExchangeWithoutAKey) {
    for (const auto& name : data["must_abort"]) {
        SCOPED_TRACE(name.get<std::string>());
        CPaceParty a(CPaceParty::Role::initiator, value("PRS"), value("CI"), value("sid"), value("ADa"));
        const Element point =
            arrayFromHex<32>(data["X25519_points"][name.get<std::string>()].get<std::string>());
        EXPECT_FALSE(a.receivePeerShare(point, value("ADb")));
        EXPECT_FALSE(a.hasSessionKey());
        EXPECT_THROW(a.confirmation(), std::logic_error);
        EXPECT_FALSE(a.verifyPeerConfirmation(Bytes(32, 0)));
        // The exchange is spent: a valid share afterwards does not revive it.
        CPaceParty b(CPaceParty::Role::responder, value("PRS"), value("CI"), value("sid"), value("ADb"));
        EXPECT_FALSE(a.receivePeerShare(b.share(), value("ADb")));
    }
}

struct PairingSides {
    UUID host = UUID::random();
    UUID device = UUID::random();
    std::array<std::uint8_t, 32> exporter{};
};

TEST(CPacePairing, RightCodeConfirmsBothWays) {
    PairingSides sides;
    sides.exporter.fill(0x5A);
    const PairingCode code = *PairingCode::fromDigits("402917");
    CPaceInitiator computer(code, sides.exporter, sides.host, sides.device);
    CPaceResponder phone(code, sides.exporter, sides.host, sides.device, computer.sessionID());
    ASSERT_TRUE(phone.receivePeerShare(computer.share(), sides.host.bytes));
    ASSERT_TRUE(computer.receivePeerShare(phone.share(), sides.device.bytes));
    EXPECT_TRUE(computer.verifyPeerConfirmation(phone.confirmation()));
    EXPECT_TRUE(phone.verifyPeerConfirmation(computer.confirmation()));
    EXPECT_EQ(computer.intermediateSessionKey(), phone.intermediateSessionKey());
}

TEST(CPacePairing, AnyMismatchFailsConfirmationOnBothSides) {
    const PairingCode code = *PairingCode::fromDigits("402917");
    const PairingCode wrongCode = *PairingCode::fromDigits("402918");
    struct Case {
        const char* name;
        bool wrongCode, otherExporter, otherDevice, otherSession;
    };
    for (const Case& c :
         {Case{"wrong code", true, false, false, false}, Case{"other TLS channel", false, true, false, false},
          Case{"other device id", false, false, true, false},
          Case{"other session id", false, false, false, true}}) {
        SCOPED_TRACE(c.name);
        PairingSides sides;
        CPaceInitiator computer(code, sides.exporter, sides.host, sides.device);
        auto phoneExporter = sides.exporter;
        phoneExporter[0] ^= c.otherExporter ? 1 : 0;
        const UUID phoneDevice = c.otherDevice ? UUID::random() : sides.device;
        Bytes sid(computer.sessionID().begin(), computer.sessionID().end());
        sid[3] ^= c.otherSession ? 0x80 : 0;
        CPaceResponder phone(c.wrongCode ? wrongCode : code, phoneExporter, sides.host, phoneDevice, sid);
        // The shares themselves are valid points; only the keys differ.
        ASSERT_TRUE(phone.receivePeerShare(computer.share(), sides.host.bytes));
        ASSERT_TRUE(computer.receivePeerShare(phone.share(), phoneDevice.bytes));
        EXPECT_FALSE(computer.verifyPeerConfirmation(phone.confirmation()));
        EXPECT_FALSE(phone.verifyPeerConfirmation(computer.confirmation()));
    }
}

TEST(CPacePairing, EachExchangeUsesFreshRandomness) {
    PairingSides sides;
    const PairingCode code = *PairingCode::fromDigits("000000");
    CPaceInitiator first(code, sides.exporter, sides.host, sides.device);
    CPaceInitiator second(code, sides.exporter, sides.host, sides.device);
    EXPECT_FALSE(std::equal(first.sessionID().begin(), first.sessionID().end(), second.sessionID().begin()));
    EXPECT_NE(first.share(), second.share());
}

TEST(CPacePairing, MalformedConfirmationsAndSharesAreRefused) {
    PairingSides sides;
    const PairingCode code = *PairingCode::fromDigits("123456");
    CPaceInitiator computer(code, sides.exporter, sides.host, sides.device);
    CPaceResponder phone(code, sides.exporter, sides.host, sides.device, computer.sessionID());
    EXPECT_FALSE(phone.receivePeerShare(Bytes(31, 9), sides.host.bytes));
    EXPECT_FALSE(phone.hasSessionKey());

    CPaceResponder phone2(code, sides.exporter, sides.host, sides.device, computer.sessionID());
    ASSERT_TRUE(phone2.receivePeerShare(computer.share(), sides.host.bytes));
    ASSERT_TRUE(computer.receivePeerShare(phone2.share(), sides.device.bytes));
    const CPace::Tag tag = phone2.confirmation();
    EXPECT_FALSE(computer.verifyPeerConfirmation(Bytes(tag.begin(), tag.end() - 1)));
    Bytes longer(tag.begin(), tag.end());
    longer.push_back(0);
    EXPECT_FALSE(computer.verifyPeerConfirmation(longer));
    Bytes flipped(tag.begin(), tag.end());
    flipped[31] ^= 1;
    EXPECT_FALSE(computer.verifyPeerConfirmation(flipped));
    EXPECT_TRUE(computer.verifyPeerConfirmation(tag));
}

}  // namespace
}  // namespace TrackpadProtocol
