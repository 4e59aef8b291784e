// The signature verifier; see signature_verifier.h.
//
// The block is checked in the order the format is laid out, and each failure gives the code
// of its stage: the block's shape (0x40A) before its content (0x40B). The DigestInfo is
// compared in full, with a comparison that does not stop at the first difference.
#include "signature/signature_verifier.h"

#include <string.h>  // explicit_bzero

#include <cstring>

#include "signature/rsa.h"

namespace nvl::signature {

namespace {

// DER of DigestInfo up to the digest: SEQUENCE { SEQUENCE { OID md2|md4|md5, NULL },
// OCTET STRING (16) }. The OIDs differ in their last byte only (1.2.840.113549.2.x).
constexpr uint8_t kDigestInfoPrefix[18] = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                           0x86, 0xf7, 0x0d, 0x02, 0x00, 0x05, 0x00, 0x04, 0x10};
constexpr size_t kAlgorithmByte = 13;
constexpr size_t kMinPadding = 8;

bool usableForSignatures(uint32_t id) {
    return id == kDigestMd2 || id == kDigestMd4 || id == kDigestMd5;
}

bool equalBytes(const uint8_t* a, const uint8_t* b, size_t length) {
    uint8_t difference = 0;
    for (size_t i = 0; i < length; ++i)
        difference |= static_cast<uint8_t>(a[i] ^ b[i]);
    return difference == 0;
}

// Checks the block's padding. On success `*digestInfo` and `*digestInfoLength` are the data
// behind the 0x00 that ends it.
bool checkPadding(const uint8_t* block, size_t length, const uint8_t** digestInfo,
                  size_t* digestInfoLength) {
    if (length < 3 || block[0] != 0x00 || block[1] != 0x01)
        return false;
    size_t i = 2;
    while (i < length && block[i] == 0xff)
        ++i;
    if (i == length || block[i] != 0x00 || i - 2 < kMinPadding)
        return false;
    *digestInfo = block + i + 1;
    *digestInfoLength = length - i - 1;
    return true;
}

}  // namespace

uint32_t SignatureVerifyInit(SignatureVerifyContext* ctx, uint32_t digestId) {
    if (ctx == nullptr)
        return kVerifyBadDigest;
    if (digestId < kDigestMd2 || digestId > kDigestMd5) {
        wipeVerifyContext(ctx);
        return kVerifyBadDigest;
    }
    ctx->digestId = digestId;
    digestStart(&ctx->digest, digestId);
    return kVerifyOk;
}

uint32_t SignatureVerifyUpdate(SignatureVerifyContext* ctx, const void* data, size_t length) {
    if (ctx == nullptr || !usableForSignatures(ctx->digestId) || ctx->digest.id != ctx->digestId)
        return kVerifyBadDigest;
    if (length == 0)
        return kVerifyOk;
    if (data == nullptr)
        return kVerifyBadDigest;
    digestFeed(&ctx->digest, data, length);
    return kVerifyOk;
}

uint32_t SignatureVerifyFinal(SignatureVerifyContext* ctx, const uint8_t* signature, size_t length,
                              const RsaPublicKey* key) {
    if (ctx == nullptr || ctx->digestId == kDigestSha1)
        return kVerifyBadDigest;
    if (length > kMaxSignatureBytes)
        return kVerifySignatureTooLong;
    if (!usableForSignatures(ctx->digestId) || ctx->digest.id != ctx->digestId)
        return kVerifyBadDigest;

    uint8_t digest[kMaxDigestSize];
    digestFinish(&ctx->digest, digest);
    uint8_t expected[kDigestInfoSize];
    std::memcpy(expected, kDigestInfoPrefix, sizeof kDigestInfoPrefix);
    expected[kAlgorithmByte] = static_cast<uint8_t>(ctx->digestId);
    std::memcpy(expected + sizeof kDigestInfoPrefix, digest, kMd5Size);

    uint8_t block[kRsaMaxBytes];
    uint32_t result = kVerifyBadBlock;
    const uint8_t* digestInfo = nullptr;
    size_t digestInfoLength = 0;
    if (key != nullptr && (signature != nullptr || length == 0) &&
        rsaPublicOperation(key->bits, key->modulus, sizeof key->modulus, key->exponent,
                           sizeof key->exponent, signature, length, block) &&
        checkPadding(block, (key->bits + 7u) / 8u, &digestInfo, &digestInfoLength)) {
        result = digestInfoLength == kDigestInfoSize &&
                         digestInfo[kAlgorithmByte] == expected[kAlgorithmByte] &&
                         equalBytes(digestInfo, expected, kDigestInfoSize)
                     ? kVerifyOk
                     : kVerifyBadDigestInfo;
    }

    digestStart(&ctx->digest, ctx->digestId);
    explicit_bzero(digest, sizeof digest);
    explicit_bzero(expected, sizeof expected);
    explicit_bzero(block, sizeof block);
    return result;
}

void wipeVerifyContext(SignatureVerifyContext* ctx) {
    if (ctx != nullptr)
        explicit_bzero(ctx, sizeof *ctx);
}

}  // namespace nvl::signature
