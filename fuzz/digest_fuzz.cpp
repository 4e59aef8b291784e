// The library's digests against OpenSSL on arbitrary messages fed in arbitrary pieces.
//
// Input: bytes 0-1 seed the piece lengths (0 to 300, so pieces fall on, across and inside
// block boundaries), the rest is the message. MD4 (OpenSSL's legacy provider), MD5 and SHA-1
// (both compression engines the processor runs) must equal OpenSSL's one-shot digest; MD2,
// which OpenSSL lacks, must give the same digest in pieces as at once (its values are checked
// against Perl's Digest::MD2 by the tests). A mismatch aborts.
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdint>
#include <cstring>
#include <random>

#include "signature/digest.h"

namespace {

using namespace nvl::signature;

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

EVP_MD* g_md4 = nullptr;

void ownInPieces(uint32_t id, const uint8_t* data, size_t size, uint32_t seed, uint8_t* out) {
    std::minstd_rand rng(seed);
    DigestContext ctx;
    check(digestStart(&ctx, id));
    size_t at = 0;
    while (at < size) {
        size_t take = std::min<size_t>(rng() % 301, size - at);
        check(digestFeed(&ctx, data + at, take));
        at += take;
    }
    check(digestFinish(&ctx, out));
}

void opensslDigest(const EVP_MD* md, const uint8_t* data, size_t size, uint8_t* out) {
    unsigned int length = 0;
    check(EVP_Digest(data, size, out, &length, md, nullptr) == 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    check(OSSL_PROVIDER_load(nullptr, "legacy") != nullptr);
    check(OSSL_PROVIDER_load(nullptr, "default") != nullptr);
    g_md4 = EVP_MD_fetch(nullptr, "MD4", nullptr);
    check(g_md4 != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    uint32_t seed = uint32_t{data[0]} << 8 | data[1];
    const uint8_t* message = data + 2;
    size_t length = size - 2;
    uint8_t ours[kMaxDigestSize];
    uint8_t theirs[EVP_MAX_MD_SIZE];

    ownInPieces(kDigestMd4, message, length, seed, ours);
    opensslDigest(g_md4, message, length, theirs);
    check(std::memcmp(ours, theirs, kMd4Size) == 0);

    ownInPieces(kDigestMd5, message, length, seed, ours);
    opensslDigest(EVP_md5(), message, length, theirs);
    check(std::memcmp(ours, theirs, kMd5Size) == 0);

    opensslDigest(EVP_sha1(), message, length, theirs);
    for (Sha1Engine engine : {Sha1Engine::kPortable, Sha1Engine::kShaExtensions}) {
        if (!selectSha1EngineForTesting(engine))
            continue;
        ownInPieces(kDigestSha1, message, length, seed, ours);
        check(std::memcmp(ours, theirs, kSha1Size) == 0);
    }
    selectSha1EngineForTesting(Sha1Engine::kAuto);

    uint8_t md2Pieces[kMaxDigestSize];
    ownInPieces(kDigestMd2, message, length, seed, md2Pieces);
    Md2State md2;
    md2Start(&md2);
    md2Feed(&md2, message, length);
    md2Finish(&md2, ours);
    check(std::memcmp(ours, md2Pieces, kMd2Size) == 0);
    return 0;
}
