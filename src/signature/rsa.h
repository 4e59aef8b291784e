// The RSA public-key operation (RFC 8017, RSAVP1 with I2OSP): block = s^e mod n, for moduli
// of up to 1024 bits.
//
// Numbers are held as little-endian arrays of 32-bit limbs, fixed at the largest size, and the
// exponentiation is Montgomery's (multiplication and reduction interleaved, one final
// conditional subtraction): no division, no allocation, and the same sequence of limb
// operations for every signature of a given key. The operation is public (nothing secret goes
// in), so the exponent's bits are walked plainly, square and multiply.
//
// What the operation refuses (false, nothing written):
//   - a modulus that is even, below 3, or longer than 1024 bits, or whose bit length is not
//     the key's stated one;
//   - an exponent of 0;
//   - a signature longer than the modulus in bytes, or whose value is not below the modulus
//     (RFC 8017 5.2.2: "signature representative out of range").
#pragma once

#include <cstddef>
#include <cstdint>

namespace nvl::signature {

constexpr size_t kRsaMaxBits = 1024;
constexpr size_t kRsaMaxBytes = kRsaMaxBits / 8;

// Computes `signature`^exponent mod modulus and writes it as a big-endian number of exactly
// (modulusBits + 7) / 8 bytes to `block`. `modulus` and `exponent` are big-endian numbers of
// `modulusLength` and `exponentLength` bytes (each at most kRsaMaxBytes, leading zeros allowed);
// `signature` is big-endian, `signatureLength` bytes.
bool rsaPublicOperation(uint32_t modulusBits, const uint8_t* modulus, size_t modulusLength,
                        const uint8_t* exponent, size_t exponentLength, const uint8_t* signature,
                        size_t signatureLength, uint8_t block[kRsaMaxBytes]);

}  // namespace nvl::signature
