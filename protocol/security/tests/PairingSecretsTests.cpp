#include <gtest/gtest.h>

#include <array>

#include "protocol/messages/Secrets.h"
#include "protocol/security/Field25519.h"
#include "protocol/security/PairingCode.h"
#include "protocol/security/PairingToken.h"

namespace TrackpadProtocol {
namespace {

TEST(PairingCode, RandomCodesAreSixDigitsAndCoverEveryDigitEvenly) {
    std::array<int, 10> counts{};
    constexpr int codes = 2000;
    for (int i = 0; i < codes; ++i) {
        const PairingCode code = PairingCode::random();
        ASSERT_EQ(code.digits().size(), PairingCode::digitCount);
        for (char c : code.digits()) {
            ASSERT_TRUE(c >= '0' && c <= '9');
            ++counts[c - '0'];
        }
    }
    // 12000 digits, 1200 expected each; the bounds sit about six standard deviations out, so only a
    // stuck or grossly skewed draw fails (the rejection step's bias is too small to see at this size).
    for (int count : counts) {
        EXPECT_GT(count, 1000);
        EXPECT_LT(count, 1400);
    }
}

TEST(PairingCode, DescriptionAndTypedInput) {
    const auto code = PairingCode::fromDigits("123456");
    ASSERT_TRUE(code);
    EXPECT_EQ(code->description(), "123 456");
    EXPECT_EQ(code->digits(), "123456");
    EXPECT_EQ(code->passwordBytes().size(), 6u);
    EXPECT_EQ(code->passwordBytes()[0], '1');
    for (const char* bad : {"", "12345", "1234567", "123 456", "12a456", "-12345", "１２３４５６"}) {
        EXPECT_FALSE(PairingCode::fromDigits(bad)) << bad;
    }
    EXPECT_EQ(*PairingCode::fromDigits("000000"), *PairingCode::fromDigits("000000"));
    EXPECT_FALSE(*PairingCode::fromDigits("000000") == *PairingCode::fromDigits("000001"));
}

TEST(PairingToken, RandomTokensDigestsAndComparison) {
    const PairingToken a = PairingToken::random();
    const PairingToken b = PairingToken::random();
    EXPECT_FALSE(a == b);
    const PairingToken copy = a;
    EXPECT_TRUE(copy == a);
    EXPECT_TRUE(a.matches(a.digest()));
    EXPECT_FALSE(b.matches(a.digest()));

    // SHA-256 of 32 zero bytes.
    const PairingToken zero;
    const PairingToken::Digest expected = {0x66, 0x68, 0x7a, 0xad, 0xf8, 0x62, 0xbd, 0x77, 0x6c, 0x8f, 0xc1,
                                           0x8b, 0x8e, 0x9f, 0x8e, 0x20, 0x08, 0x97, 0x14, 0x85, 0x6e, 0xe2,
                                           0x33, 0xb3, 0x90, 0x2a, 0x59, 0x1d, 0x0d, 0x5f, 0x29, 0x25};
    EXPECT_EQ(zero.digest(), expected);
}

TEST(Secrets, ConstantTimeEqualNeedsSameLengthAndBytes) {
    const std::array<std::uint8_t, 4> a{1, 2, 3, 4};
    const std::array<std::uint8_t, 4> b{1, 2, 3, 5};
    const std::array<std::uint8_t, 3> shorter{1, 2, 3};
    EXPECT_TRUE(constantTimeEqual(a, a));
    EXPECT_FALSE(constantTimeEqual(a, b));
    EXPECT_FALSE(constantTimeEqual(a, shorter));
    EXPECT_TRUE(constantTimeEqual(std::span<const std::uint8_t>{}, std::span<const std::uint8_t>{}));
}

// The generator vectors check the Elligator map end to end; these pin the field arithmetic it rests on,
// in particular the reductions of values at and above p that a limb-carry slip would get wrong.
TEST(Field25519, ReductionInversionAndSquares) {
    using namespace Field25519;
    Bytes p{};
    p.fill(0xFF);
    p[0] = 0xED;
    p[31] = 0x7F;
    EXPECT_EQ(toBytes(fromBytes(p)), Bytes{});  // p reduces to 0
    Bytes pPlusOne = p;
    pPlusOne[0] = 0xEE;
    EXPECT_EQ(toBytes(fromBytes(pPlusOne)), toBytes(fromInteger(1)));
    Bytes top{};
    top.fill(0xFF);  // bit 255 ignored: 2^255 - 1 = p + 18
    EXPECT_EQ(toBytes(fromBytes(top)), toBytes(fromInteger(18)));
    EXPECT_EQ(toBytes(subtract(fromInteger(0), fromInteger(1))), [&] {
        Bytes pMinusOne = p;
        pMinusOne[0] = 0xEC;
        return pMinusOne;
    }());

    Bytes x{};
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = static_cast<std::uint8_t>(37 * i + 11);
    }
    const Element a = fromBytes(x);
    EXPECT_EQ(toBytes(multiply(a, invert(a))), toBytes(fromInteger(1)));
    EXPECT_EQ(toBytes(invert(fromInteger(0))), Bytes{});
    EXPECT_EQ(toBytes(legendre(square(a))), toBytes(fromInteger(1)));
    EXPECT_EQ(toBytes(legendre(fromInteger(2))), toBytes(negate(fromInteger(1))));  // 2 is the non-square Z
    EXPECT_EQ(equalMask(a, a), ~std::uint64_t{0});
    EXPECT_EQ(equalMask(a, fromInteger(1)), 0u);
    EXPECT_EQ(toBytes(select(0, a, fromInteger(7))), toBytes(fromInteger(7)));
}

TEST(Field25519, Elligator2LandsOnTheCurveFromBothBranches) {
    using namespace Field25519;
    const Element montgomeryA = fromInteger(486662);
    int squareBranch = 0;
    int otherBranch = 0;
    for (std::uint32_t seed = 1; seed <= 24; ++seed) {
        const Element r = multiply(fromInteger(seed), fromInteger(0x9E3779B9));
        const Bytes u = elligator2(r);
        const Element x = fromBytes(u);
        EXPECT_EQ(u[31] & 0x80, 0);
        // y^2 = x^3 + A x^2 + x must have a root: the map always gives a point of the curve.
        const Element gx = add(add(multiply(square(x), x), multiply(montgomeryA, square(x))), x);
        EXPECT_EQ(toBytes(legendre(gx)), toBytes(fromInteger(1))) << seed;
        const Element x1 =
            negate(multiply(montgomeryA, invert(add(fromInteger(1), add(square(r), square(r))))));
        (equalMask(x, x1) ? squareBranch : otherBranch) += 1;
    }
    EXPECT_GT(squareBranch, 0);
    EXPECT_GT(otherBranch, 0);
}

}  // namespace
}  // namespace TrackpadProtocol
