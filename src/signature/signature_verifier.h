// The signature verifier: RSA signatures with appendix, PKCS #1 v1.5, over MD2, MD4 or MD5.
//
// A verifier context digests the signed data piece by piece (SignatureVerifyInit, then
// SignatureVerifyUpdate any number of times); SignatureVerifyFinal finishes the digest, raises
// the signature to the public exponent (rsa.h) and checks the block:
//
//   0x00 0x01, at least eight 0xFF, 0x00, DigestInfo (34 bytes: the DER prefix that names the
//   digest, then its 16 bytes)
//
// Result codes:
//   0      valid
//   0x402  digest id other than 2 to 5, or SHA-1 (3), which is refused for signatures: Update
//          and Final refuse it; a null context
//   0x406  signature longer than 128 bytes (checked before the digest is finished)
//   0x40A  the public-key operation or the block check failed: signature longer than the
//          modulus in bytes or not below it, a key that is not a usable RSA key (see rsa.h),
//          first bytes not 0x00 0x01, padding not ended by 0x00 or holding anything but 0xFF,
//          fewer than eight padding bytes; also a null key, or a null signature of non-zero
//          length
//   0x40B  the data behind the padding is not exactly the expected DigestInfo
//
// Final always leaves the context ready for a new message with the same digest: after a valid
// signature as documented, after a failure because a half-finished digest would only mislead
// (the first two checks return before the digest is touched, so the message so far stays).
// The digest value, the expected DigestInfo and the computed block are wiped (explicit_bzero)
// on every path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "signature/digest.h"

namespace nvl::signature {

constexpr uint32_t kVerifyOk = 0;
constexpr uint32_t kVerifyBadDigest = 0x402;
constexpr uint32_t kVerifySignatureTooLong = 0x406;
constexpr uint32_t kVerifyBadBlock = 0x40A;
constexpr uint32_t kVerifyBadDigestInfo = 0x40B;

constexpr size_t kMaxSignatureBytes = 128;
constexpr size_t kDigestInfoSize = 34;

// The public key form: a 16-bit count of modulus bits, then the modulus and the public
// exponent, each a 128-byte big-endian number right-aligned (leading bytes zero); 258 bytes.
struct RsaPublicKey {
    uint16_t bits;
    uint8_t modulus[128];
    uint8_t exponent[128];
};
static_assert(sizeof(RsaPublicKey) == 258);

// The key that verifies the cleaner executable's appended signature. Generated at build time
// from the build's public key (-DCLEANER_SIGNING_KEY=<PEM>, or the key pair made in the build
// directory); see cmake/CleanerSigningKey.cmake.
extern const RsaPublicKey CleanerSigningKey;

struct SignatureVerifyContext {
    uint32_t digestId;
    DigestContext digest;
};

// Starts a context for the digest `digestId` (2 to 5; 3 is accepted here and refused later).
uint32_t SignatureVerifyInit(SignatureVerifyContext* ctx, uint32_t digestId);
// Feeds `length` bytes of the signed data (`data` may be null when `length` is 0).
uint32_t SignatureVerifyUpdate(SignatureVerifyContext* ctx, const void* data, size_t length);
// Checks `signature` (`length` bytes, big-endian) against the data fed so far and `key`.
uint32_t SignatureVerifyFinal(SignatureVerifyContext* ctx, const uint8_t* signature, size_t length,
                              const RsaPublicKey* key);

// Overwrites the context with zeros (explicit_bzero).
void wipeVerifyContext(SignatureVerifyContext* ctx);

}  // namespace nvl::signature
