#include "protocol/security/Field25519.h"

#include "protocol/messages/Secrets.h"

namespace TrackpadProtocol::Field25519 {

namespace {

__extension__ typedef unsigned __int128 uint128;

constexpr std::uint64_t mask51 = (std::uint64_t{1} << 51) - 1;

std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | p[i];
    }
    return value;
}

void store64(std::uint8_t* p, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// Brings every limb below 2^51 plus a small carry into limb 0 (folded with 2^255 = 19).
Element carry(Element a) {
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 4; ++i) {
            a.limb[i + 1] += a.limb[i] >> 51;
            a.limb[i] &= mask51;
        }
        a.limb[0] += 19 * (a.limb[4] >> 51);
        a.limb[4] &= mask51;
    }
    return a;
}

Element squareTimes(Element a, int times) {
    for (int i = 0; i < times; ++i) {
        a = square(a);
    }
    return a;
}

// a^(2^250 - 1) and a^11, the common trunk of the inversion and Legendre exponent chains.
struct PowerTrunk {
    Element p250;
    Element p11;
};

PowerTrunk powerTrunk(const Element& z) {
    const Element z2 = square(z);
    const Element z8 = squareTimes(z2, 2);
    const Element z9 = multiply(z8, z);
    const Element z11 = multiply(z9, z2);
    const Element z22 = square(z11);
    const Element z5_0 = multiply(z22, z9);                          // 2^5 - 1
    const Element z10_0 = multiply(squareTimes(z5_0, 5), z5_0);      // 2^10 - 1
    const Element z20_0 = multiply(squareTimes(z10_0, 10), z10_0);   // 2^20 - 1
    const Element z40_0 = multiply(squareTimes(z20_0, 20), z20_0);   // 2^40 - 1
    const Element z50_0 = multiply(squareTimes(z40_0, 10), z10_0);   // 2^50 - 1
    const Element z100_0 = multiply(squareTimes(z50_0, 50), z50_0);  // 2^100 - 1
    const Element z200_0 = multiply(squareTimes(z100_0, 100), z100_0);
    const Element z250_0 = multiply(squareTimes(z200_0, 50), z50_0);  // 2^250 - 1
    return {z250_0, z11};
}

}  // namespace

Element fromBytes(const Bytes& s) {
    Element h;
    h.limb[0] = load64(s.data()) & mask51;
    h.limb[1] = (load64(s.data() + 6) >> 3) & mask51;
    h.limb[2] = (load64(s.data() + 12) >> 6) & mask51;
    h.limb[3] = (load64(s.data() + 19) >> 1) & mask51;
    h.limb[4] = (load64(s.data() + 24) >> 12) & mask51;
    return h;
}

Bytes toBytes(const Element& a) {
    Element h = carry(a);
    // h < 2^255 + small now; find whether h >= p by adding 19 and looking at bit 255.
    std::uint64_t q = (h.limb[0] + 19) >> 51;
    q = (h.limb[1] + q) >> 51;
    q = (h.limb[2] + q) >> 51;
    q = (h.limb[3] + q) >> 51;
    q = (h.limb[4] + q) >> 51;
    h.limb[0] += 19 * valueBarrier(q);
    for (int i = 0; i < 4; ++i) {
        h.limb[i + 1] += h.limb[i] >> 51;
        h.limb[i] &= mask51;
    }
    h.limb[4] &= mask51;

    Bytes out;
    store64(out.data(), h.limb[0] | (h.limb[1] << 51));
    store64(out.data() + 8, (h.limb[1] >> 13) | (h.limb[2] << 38));
    store64(out.data() + 16, (h.limb[2] >> 26) | (h.limb[3] << 25));
    store64(out.data() + 24, (h.limb[3] >> 39) | (h.limb[4] << 12));
    return out;
}

Element fromInteger(std::uint32_t value) {
    Element e;
    e.limb[0] = value;
    return e;
}

Element add(const Element& a, const Element& b) {
    Element r;
    for (int i = 0; i < 5; ++i) {
        r.limb[i] = a.limb[i] + b.limb[i];
    }
    return carry(r);
}

Element subtract(const Element& a, const Element& b) {
    // Add 4p first so that no limb goes below zero; inputs are carried, so their limbs stay below 2^52.
    constexpr std::uint64_t fourP0 = 0x1FFFFFFFFFFFB4ULL;
    constexpr std::uint64_t fourPi = 0x1FFFFFFFFFFFFCULL;
    Element r;
    r.limb[0] = a.limb[0] + fourP0 - b.limb[0];
    for (int i = 1; i < 5; ++i) {
        r.limb[i] = a.limb[i] + fourPi - b.limb[i];
    }
    return carry(r);
}

Element negate(const Element& a) {
    return subtract(Element{}, a);
}

Element multiply(const Element& a, const Element& b) {
    const std::uint64_t a0 = a.limb[0], a1 = a.limb[1], a2 = a.limb[2], a3 = a.limb[3], a4 = a.limb[4];
    const std::uint64_t b0 = b.limb[0], b1 = b.limb[1], b2 = b.limb[2], b3 = b.limb[3], b4 = b.limb[4];
    const std::uint64_t b1x19 = b1 * 19, b2x19 = b2 * 19, b3x19 = b3 * 19, b4x19 = b4 * 19;

    uint128 r0 = (uint128)a0 * b0 + (uint128)a1 * b4x19 + (uint128)a2 * b3x19 + (uint128)a3 * b2x19 +
                 (uint128)a4 * b1x19;
    uint128 r1 =
        (uint128)a0 * b1 + (uint128)a1 * b0 + (uint128)a2 * b4x19 + (uint128)a3 * b3x19 + (uint128)a4 * b2x19;
    uint128 r2 =
        (uint128)a0 * b2 + (uint128)a1 * b1 + (uint128)a2 * b0 + (uint128)a3 * b4x19 + (uint128)a4 * b3x19;
    uint128 r3 =
        (uint128)a0 * b3 + (uint128)a1 * b2 + (uint128)a2 * b1 + (uint128)a3 * b0 + (uint128)a4 * b4x19;
    uint128 r4 = (uint128)a0 * b4 + (uint128)a1 * b3 + (uint128)a2 * b2 + (uint128)a3 * b1 + (uint128)a4 * b0;

    r1 += static_cast<std::uint64_t>(r0 >> 51);
    r2 += static_cast<std::uint64_t>(r1 >> 51);
    r3 += static_cast<std::uint64_t>(r2 >> 51);
    r4 += static_cast<std::uint64_t>(r3 >> 51);
    Element h;
    h.limb[0] = static_cast<std::uint64_t>(r0) & mask51;
    h.limb[1] = static_cast<std::uint64_t>(r1) & mask51;
    h.limb[2] = static_cast<std::uint64_t>(r2) & mask51;
    h.limb[3] = static_cast<std::uint64_t>(r3) & mask51;
    h.limb[4] = static_cast<std::uint64_t>(r4) & mask51;
    h.limb[0] += 19 * static_cast<std::uint64_t>(r4 >> 51);
    h.limb[1] += h.limb[0] >> 51;
    h.limb[0] &= mask51;
    return h;
}

Element square(const Element& a) {
    return multiply(a, a);
}

Element invert(const Element& a) {
    const PowerTrunk t = powerTrunk(a);
    return multiply(squareTimes(t.p250, 5), t.p11);  // 2^255 - 32 + 11 = p - 2
}

Element legendre(const Element& a) {
    const PowerTrunk t = powerTrunk(a);
    const Element a3 = multiply(square(a), a);
    return multiply(squareTimes(t.p250, 4), square(a3));  // (2^250 - 1) * 16 + 6 = (p - 1) / 2
}

std::uint64_t equalMask(const Element& a, const Element& b) {
    const Bytes x = toBytes(a);
    const Bytes y = toBytes(b);
    std::uint64_t difference = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        difference |= static_cast<std::uint64_t>(x[i] ^ y[i]);
    }
    // difference is below 256: subtracting 1 borrows into the top bit exactly when it is zero.
    return valueBarrier(0 - ((valueBarrier(difference) - 1) >> 63));
}

Element select(std::uint64_t mask, const Element& whenSet, const Element& whenClear) {
    // Behind the barrier the compiler cannot know that the mask is all ones or zero, so it cannot turn
    // the blend into a branch on it.
    mask = valueBarrier(mask);
    Element r;
    for (int i = 0; i < 5; ++i) {
        r.limb[i] = (whenSet.limb[i] & mask) | (whenClear.limb[i] & ~mask);
    }
    return r;
}

Bytes elligator2(const Element& r) {
    const Element montgomeryA = fromInteger(486662);
    const Element one = fromInteger(1);
    // x1 = -A / (1 + 2 r^2). The denominator is never zero: -1/2 is not a square modulo p.
    const Element denominator = add(one, add(square(r), square(r)));
    const Element x1 = negate(multiply(montgomeryA, invert(denominator)));
    // g(x1) = x1^3 + A x1^2 + x1 = x1 (x1 (x1 + A) + 1)
    const Element gx1 = multiply(x1, add(multiply(x1, add(x1, montgomeryA)), one));
    const Element x2 = subtract(negate(x1), montgomeryA);
    const std::uint64_t isSquare = equalMask(legendre(gx1), one);
    Element x = select(isSquare, x1, x2);
    Bytes out = toBytes(x);
    wipe(x.limb.data(), sizeof(x.limb));
    return out;
}

}  // namespace TrackpadProtocol::Field25519
