// The RSA public-key operation; see rsa.h.
//
// Montgomery arithmetic on 32-bit limbs (products in 64 bits), coarsely integrated operand
// scanning: for each limb of one factor, add the partial product and cancel the lowest limb
// with a multiple of the modulus. Only the key's own limb count is used, so a 520-bit key costs
// 17 limbs, not 32. R^2 mod n, which maps numbers into the Montgomery domain, is made by
// doubling 1 with a conditional subtraction 64 * limbs times: a few thousand limb operations,
// and no division anywhere. Every intermediate lives on the stack and is wiped on return.
#include "signature/rsa.h"

#include <string.h>  // explicit_bzero

#include <cstring>

namespace nvl::signature {

namespace {

constexpr size_t kMaxLimbs = kRsaMaxBits / 32;

struct Number {
    uint32_t limb[kMaxLimbs];
};

// Reads a big-endian number of `length` bytes; false when it does not fit in `limbs` limbs.
bool fromBytes(const uint8_t* bytes, size_t length, size_t limbs, Number* out) {
    std::memset(out, 0, sizeof *out);
    for (size_t i = 0; i < length; ++i) {
        size_t position = length - 1 - i;  // byte index from the least significant end
        uint8_t byte = bytes[i];
        if (position / 4 >= limbs) {
            if (byte != 0)
                return false;
            continue;
        }
        out->limb[position / 4] |= uint32_t{byte} << (8 * (position % 4));
    }
    return true;
}

size_t bitLength(const Number& n, size_t limbs) {
    for (size_t i = limbs; i-- > 0;) {
        if (n.limb[i] != 0)
            return 32 * i + (32 - static_cast<size_t>(__builtin_clz(n.limb[i])));
    }
    return 0;
}

// a - b over `limbs` limbs into `out`; returns the borrow (1 when a < b).
uint32_t subtract(const uint32_t* a, const uint32_t* b, size_t limbs, uint32_t* out) {
    uint64_t borrow = 0;
    for (size_t i = 0; i < limbs; ++i) {
        uint64_t d = uint64_t{a[i]} - b[i] - borrow;
        out[i] = static_cast<uint32_t>(d);
        borrow = (d >> 32) & 1;
    }
    return static_cast<uint32_t>(borrow);
}

// out = (carry:value) mod n when it is below 2n: subtracts n unless that borrows past the
// carry limb. The choice is made with a mask, not a branch.
void reduceOnce(const uint32_t* value, uint32_t carry, const Number& n, size_t limbs,
                uint32_t* out) {
    uint32_t difference[kMaxLimbs];
    uint32_t borrow = subtract(value, n.limb, limbs, difference);
    // Keep the difference when the full value (with its carry) was at least n.
    uint32_t keepDifference = static_cast<uint32_t>(0) - ((carry | (borrow ^ 1)) & 1);
    for (size_t i = 0; i < limbs; ++i)
        out[i] = (difference[i] & keepDifference) | (value[i] & ~keepDifference);
    explicit_bzero(difference, sizeof difference);
}

struct Montgomery {
    Number n;
    size_t limbs;
    uint32_t n0inv;  // -n^-1 mod 2^32
};

// out = a * b * R^-1 mod n, with a, b < n. `out` may alias either.
void montgomeryMultiply(const Montgomery& m, const Number& a, const Number& b, Number* out) {
    uint32_t t[kMaxLimbs + 2] = {};
    size_t limbs = m.limbs;
    for (size_t i = 0; i < limbs; ++i) {
        uint64_t carry = 0;
        for (size_t j = 0; j < limbs; ++j) {
            uint64_t v = uint64_t{t[j]} + uint64_t{a.limb[j]} * b.limb[i] + carry;
            t[j] = static_cast<uint32_t>(v);
            carry = v >> 32;
        }
        uint64_t v = uint64_t{t[limbs]} + carry;
        t[limbs] = static_cast<uint32_t>(v);
        t[limbs + 1] = static_cast<uint32_t>(v >> 32);

        uint32_t q = t[0] * m.n0inv;
        carry = (uint64_t{t[0]} + uint64_t{q} * m.n.limb[0]) >> 32;
        for (size_t j = 1; j < limbs; ++j) {
            v = uint64_t{t[j]} + uint64_t{q} * m.n.limb[j] + carry;
            t[j - 1] = static_cast<uint32_t>(v);
            carry = v >> 32;
        }
        v = uint64_t{t[limbs]} + carry;
        t[limbs - 1] = static_cast<uint32_t>(v);
        t[limbs] = t[limbs + 1] + static_cast<uint32_t>(v >> 32);
    }
    Number result{};
    reduceOnce(t, t[limbs], m.n, limbs, result.limb);
    *out = result;
    explicit_bzero(t, sizeof t);
    explicit_bzero(&result, sizeof result);
}

}  // namespace

bool rsaPublicOperation(uint32_t modulusBits, const uint8_t* modulus, size_t modulusLength,
                        const uint8_t* exponent, size_t exponentLength, const uint8_t* signature,
                        size_t signatureLength, uint8_t block[kRsaMaxBytes]) {
    if (modulus == nullptr || exponent == nullptr || block == nullptr)
        return false;
    if (modulusBits < 2 || modulusBits > kRsaMaxBits || modulusLength > kRsaMaxBytes ||
        exponentLength > kRsaMaxBytes)
        return false;
    size_t blockLength = (modulusBits + 7) / 8;
    if (signatureLength > blockLength || (signature == nullptr && signatureLength != 0))
        return false;

    Montgomery m{};
    m.limbs = (modulusBits + 31) / 32;
    Number e{};
    Number s{};
    bool ok = fromBytes(modulus, modulusLength, m.limbs, &m.n) &&
              bitLength(m.n, m.limbs) == modulusBits && (m.n.limb[0] & 1) != 0 &&
              fromBytes(exponent, exponentLength, kMaxLimbs, &e) && bitLength(e, kMaxLimbs) != 0 &&
              fromBytes(signature, signatureLength, m.limbs, &s);
    if (ok) {
        // The signature representative must lie below the modulus.
        uint32_t scratch[kMaxLimbs];
        ok = subtract(s.limb, m.n.limb, m.limbs, scratch) == 1;
        explicit_bzero(scratch, sizeof scratch);
    }
    if (ok) {
        // Newton's iteration doubles the correct low bits of the inverse: 1 -> 2 -> ... -> 32.
        uint32_t n0 = m.n.limb[0];
        uint32_t inverse = n0;  // right in 3 bits for any odd n0
        for (int i = 0; i < 4; ++i)
            inverse *= 2 - n0 * inverse;
        m.n0inv = 0 - inverse;

        // R^2 mod n, R = 2^(32 * limbs).
        Number r2{};
        r2.limb[0] = 1;
        for (size_t i = 0; i < 64 * m.limbs; ++i) {
            uint32_t carry = 0;
            for (size_t j = 0; j < m.limbs; ++j) {
                uint32_t top = r2.limb[j] >> 31;
                r2.limb[j] = (r2.limb[j] << 1) | carry;
                carry = top;
            }
            reduceOnce(r2.limb, carry, m.n, m.limbs, r2.limb);
        }

        Number base{};
        montgomeryMultiply(m, s, r2, &base);  // s * R
        Number one{};
        one.limb[0] = 1;
        Number x{};
        montgomeryMultiply(m, one, r2, &x);  // R mod n, the Montgomery form of 1
        for (size_t bit = bitLength(e, kMaxLimbs); bit-- > 0;) {
            montgomeryMultiply(m, x, x, &x);
            if ((e.limb[bit / 32] >> (bit % 32)) & 1)
                montgomeryMultiply(m, x, base, &x);
        }
        montgomeryMultiply(m, x, one, &x);  // out of the Montgomery domain

        for (size_t i = 0; i < blockLength; ++i) {
            size_t position = blockLength - 1 - i;
            block[i] = static_cast<uint8_t>(x.limb[position / 4] >> (8 * (position % 4)));
        }
        explicit_bzero(&r2, sizeof r2);
        explicit_bzero(&base, sizeof base);
        explicit_bzero(&x, sizeof x);
    }
    explicit_bzero(&s, sizeof s);
    explicit_bzero(&e, sizeof e);
    explicit_bzero(&m, sizeof m);
    return ok;
}

}  // namespace nvl::signature
