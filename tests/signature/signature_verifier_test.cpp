// The RSA public-key operation and the signature verifier, with OpenSSL as the signing peer:
// its signatures on random keys up to 1024 bits must verify, its raw private-key operation
// makes the malformed blocks, and every result code comes from the stage that should give it.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "openssl_peer.h"
#include "signature/rsa.h"
#include "signature/signature_verifier.h"

namespace {

using namespace nvl::signature;
namespace ossl = nvl::test::openssl;
using ossl::Bytes;

uint32_t verify(uint32_t id, const std::string& data, const Bytes& signature,
                const RsaPublicKey& key) {
    SignatureVerifyContext ctx;
    uint32_t code = SignatureVerifyInit(&ctx, id);
    if (code != kVerifyOk)
        return code;
    code = SignatureVerifyUpdate(&ctx, data.data(), data.size());
    if (code != kVerifyOk)
        return code;
    return SignatureVerifyFinal(&ctx, signature.data(), signature.size(), &key);
}

// DigestInfo for the digest `id` (2, 4, 5) of `data`, as the verifier expects it.
Bytes digestInfo(uint32_t id, const std::string& data) {
    Bytes out = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a,
                 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, static_cast<uint8_t>(id),
                 0x05, 0x00, 0x04, 0x10};
    DigestContext ctx;
    uint8_t digest[kMaxDigestSize];
    digestStart(&ctx, id);
    digestFeed(&ctx, data.data(), data.size());
    digestFinish(&ctx, digest);
    out.insert(out.end(), digest, digest + 16);
    return out;
}

// A type 1 block of `length` bytes: 00 01, `padding` bytes of 0xFF, 00, `payload`; the
// caller may then spoil any byte of it.
Bytes block(size_t length, size_t padding, const Bytes& payload) {
    Bytes out = {0x00, 0x01};
    out.insert(out.end(), padding, 0xff);
    out.push_back(0x00);
    out.insert(out.end(), payload.begin(), payload.end());
    EXPECT_EQ(out.size(), length) << "block layout";
    return out;
}

Bytes numberBytes(const BIGNUM* number, size_t length) {
    Bytes out(length);
    EXPECT_EQ(BN_bn2binpad(number, out.data(), static_cast<int>(length)), static_cast<int>(length));
    return out;
}

// The public operation against OpenSSL's BN_mod_exp on random values below the modulus, for
// moduli of many lengths (not only whole bytes) and exponents 3 and 65537; values at and above
// the modulus are refused.
TEST(RsaTest, PublicOperationMatchesOpenSsl) {
    BN_CTX* bn = BN_CTX_new();
    for (int bits : {512, 520, 521, 777, 1000, 1023, 1024}) {
        for (unsigned long e : {3ul, 65537ul}) {
            ossl::Key key = ossl::generateRsa(bits, e);
            RsaPublicKey pub = ossl::publicKeyOf(key.get());
            ASSERT_EQ(pub.bits, bits);
            size_t k = ossl::modulusBytes(key.get());
            BIGNUM* n = ossl::keyNumber(key.get(), OSSL_PKEY_PARAM_RSA_N);
            BIGNUM* exponent = ossl::keyNumber(key.get(), OSSL_PKEY_PARAM_RSA_E);
            BIGNUM* s = BN_new();
            BIGNUM* expected = BN_new();
            for (int round = 0; round < 8; ++round) {
                ASSERT_EQ(BN_rand_range(s, n), 1);
                if (round == 0)
                    BN_zero(s);
                if (round == 1)
                    BN_sub(s, n, BN_value_one());  // n - 1
                ASSERT_EQ(BN_mod_exp(expected, s, exponent, n, bn), 1);
                Bytes signature = numberBytes(s, k);
                uint8_t out[kRsaMaxBytes];
                ASSERT_TRUE(rsaPublicOperation(pub.bits, pub.modulus, 128, pub.exponent, 128,
                                               signature.data(), signature.size(), out))
                    << bits << " bits, round " << round;
                EXPECT_EQ(Bytes(out, out + k), numberBytes(expected, k))
                    << bits << " bits, e " << e << ", round " << round;
                // Without its leading zero bytes the same value gives the same result.
                size_t skip = 0;
                while (skip < signature.size() && signature[skip] == 0)
                    ++skip;
                ASSERT_TRUE(rsaPublicOperation(pub.bits, pub.modulus, 128, pub.exponent, 128,
                                               signature.data() + skip, signature.size() - skip,
                                               out));
                EXPECT_EQ(Bytes(out, out + k), numberBytes(expected, k));
            }
            // n itself, n + 1 where it still fits, and the largest value of k bytes.
            BN_copy(s, n);
            uint8_t out[kRsaMaxBytes];
            Bytes atModulus = numberBytes(s, k);
            EXPECT_FALSE(rsaPublicOperation(pub.bits, pub.modulus, 128, pub.exponent, 128,
                                            atModulus.data(), k, out));
            BN_add_word(s, 1);
            if (BN_num_bytes(s) <= static_cast<int>(k)) {
                Bytes above = numberBytes(s, k);
                EXPECT_FALSE(rsaPublicOperation(pub.bits, pub.modulus, 128, pub.exponent, 128,
                                                above.data(), k, out));
            }
            Bytes ones(k, 0xff);
            EXPECT_FALSE(rsaPublicOperation(pub.bits, pub.modulus, 128, pub.exponent, 128,
                                            ones.data(), k, out));
            BN_free(s);
            BN_free(expected);
            BN_free(n);
            BN_free(exponent);
        }
    }
    BN_CTX_free(bn);
}

TEST(RsaTest, RefusesKeysThatAreNotUsable) {
    ossl::Key key = ossl::generateRsa(520);
    RsaPublicKey good = ossl::publicKeyOf(key.get());
    Bytes one = {0x01};
    uint8_t out[kRsaMaxBytes];
    ASSERT_TRUE(
        rsaPublicOperation(good.bits, good.modulus, 128, good.exponent, 128, one.data(), 1, out));

    RsaPublicKey even = good;
    even.modulus[127] &= 0xfe;
    RsaPublicKey wrongBits = good;
    wrongBits.bits = 528;
    RsaPublicKey tooManyBits = good;
    tooManyBits.bits = 1025;
    RsaPublicKey zeroExponent = good;
    std::fill(std::begin(zeroExponent.exponent), std::end(zeroExponent.exponent), 0);
    RsaPublicKey tiny{};
    tiny.bits = 1;
    tiny.modulus[127] = 1;
    tiny.exponent[127] = 3;
    for (const RsaPublicKey* bad : {&even, &wrongBits, &tooManyBits, &zeroExponent, &tiny}) {
        EXPECT_FALSE(rsaPublicOperation(bad->bits, bad->modulus, 128, bad->exponent, 128,
                                        one.data(), 1, out))
            << "key " << (bad - &even);
    }
    // A modulus given in more bytes than it needs is fine; one whose bits spill over is not.
    EXPECT_FALSE(
        rsaPublicOperation(520, good.modulus, 129, good.exponent, 128, one.data(), 1, out));
}

// OpenSSL's own PKCS #1 v1.5 signatures verify for keys of several sizes, and fail for other
// data and other keys: MD5 entirely OpenSSL's; MD4 as OpenSSL's padding around the standard
// DigestInfo of OpenSSL's MD4 digest (its own MD4 DigestInfo carries another OID); MD2, which it
// lacks, as OpenSSL's padding around our DigestInfo.
TEST(SignatureVerifierTest, OpenSslSignaturesVerify) {
    std::mt19937_64 rng(1402);
    for (int bits : {512, 520, 521, 640, 1000, 1024}) {
        ossl::Key key = ossl::generateRsa(bits);
        ossl::Key other = ossl::generateRsa(bits);
        RsaPublicKey pub = ossl::publicKeyOf(key.get());
        RsaPublicKey otherPub = ossl::publicKeyOf(other.get());
        for (int round = 0; round < 4; ++round) {
            std::string data(rng() % 3000, '\0');
            for (char& c : data)
                c = static_cast<char>(rng());
            Bytes md5 = ossl::signWith(key.get(), "MD5", data);
            Bytes md4Info = digestInfo(kDigestMd4, data);
            Bytes md4Digest = ossl::digest("MD4", data);
            std::copy(md4Digest.begin(), md4Digest.end(), md4Info.end() - 16);
            Bytes md4 = ossl::signPayload(key.get(), md4Info);
            Bytes md2 = ossl::signPayload(key.get(), digestInfo(kDigestMd2, data));
            EXPECT_EQ(verify(kDigestMd5, data, md5, pub), kVerifyOk) << bits;
            EXPECT_EQ(verify(kDigestMd4, data, md4, pub), kVerifyOk) << bits;
            EXPECT_EQ(verify(kDigestMd2, data, md2, pub), kVerifyOk) << bits;
            // Another message, another digest, another key.
            EXPECT_EQ(verify(kDigestMd5, data + "x", md5, pub), kVerifyBadDigestInfo);
            EXPECT_EQ(verify(kDigestMd4, data, md5, pub), kVerifyBadDigestInfo);
            // OpenSSL's own MD4 DigestInfo names 1.2.840.113549.2.3, not MD4's 2.4.
            EXPECT_EQ(verify(kDigestMd4, data, ossl::signWith(key.get(), "MD4", data), pub),
                      kVerifyBadDigestInfo);
            EXPECT_NE(verify(kDigestMd5, data, md5, otherPub), kVerifyOk);
        }
    }
}

// Every result code, from blocks made with the raw private-key operation of a 520-bit key.
TEST(SignatureVerifierTest, EveryResultCode) {
    ossl::Key key = ossl::generateRsa(520);
    RsaPublicKey pub = ossl::publicKeyOf(key.get());
    const size_t k = 65;
    const std::string data = "content of the cleaner executable";
    Bytes info = digestInfo(kDigestMd5, data);
    Bytes good = block(k, k - 3 - 34, info);

    auto withByte = [](Bytes b, size_t at, uint8_t value) {
        b[at] = value;
        return b;
    };
    Bytes infoMd4 = digestInfo(kDigestMd4, data);
    Bytes longerInfo = info;
    longerInfo.insert(longerInfo.begin(), 0x00);  // 35 bytes behind the padding
    Bytes shorterInfo(info.begin() + 1, info.end());
    Bytes otherDigest = digestInfo(kDigestMd5, data + ".");

    Bytes goodSignature = ossl::rawPrivate(key.get(), good);
    Bytes withLeadingZero = goodSignature;
    withLeadingZero.insert(withLeadingZero.begin(), 0x00);

    const struct {
        const char* name;
        Bytes signature;
        uint32_t expected;
    } cases[] = {
        {"valid", goodSignature, kVerifyOk},
        {"OpenSSL's own", ossl::signWith(key.get(), "MD5", data), kVerifyOk},
        {"66 bytes against a 65-byte modulus", withLeadingZero, kVerifyBadBlock},
        {"block type 2", ossl::rawPrivate(key.get(), withByte(good, 1, 0x02)), kVerifyBadBlock},
        {"first byte not zero", ossl::rawPrivate(key.get(), withByte(good, 0, 0x01)),
         kVerifyBadBlock},
        {"padding byte not 0xFF", ossl::rawPrivate(key.get(), withByte(good, 10, 0xfe)),
         kVerifyBadBlock},
        {"padding not ended by zero", ossl::rawPrivate(key.get(), withByte(good, k - 35, 0xff)),
         kVerifyBadBlock},
        {"seven padding bytes", ossl::rawPrivate(key.get(), block(k, 7, Bytes(k - 10, 0x01))),
         kVerifyBadBlock},
        {"eight padding bytes, payload not DigestInfo",
         ossl::rawPrivate(key.get(), block(k, 8, Bytes(k - 11, 0x01))), kVerifyBadDigestInfo},
        {"DigestInfo of 35 bytes", ossl::rawPrivate(key.get(), block(k, k - 3 - 35, longerInfo)),
         kVerifyBadDigestInfo},
        {"DigestInfo of 33 bytes", ossl::rawPrivate(key.get(), block(k, k - 3 - 33, shorterInfo)),
         kVerifyBadDigestInfo},
        {"DigestInfo naming MD4", ossl::rawPrivate(key.get(), block(k, k - 3 - 34, infoMd4)),
         kVerifyBadDigestInfo},
        {"digest of other data", ossl::rawPrivate(key.get(), block(k, k - 3 - 34, otherDigest)),
         kVerifyBadDigestInfo},
        {"empty signature", Bytes{}, kVerifyBadBlock},
        {"129 bytes", Bytes(129, 0x01), kVerifySignatureTooLong},
    };
    for (const auto& c : cases)
        EXPECT_EQ(verify(kDigestMd5, data, c.signature, pub), c.expected) << c.name;

    // A signature value at or above the modulus that maps onto the valid block: s + n.
    ossl::Key key521 = ossl::generateRsa(521);
    RsaPublicKey pub521 = ossl::publicKeyOf(key521.get());
    Bytes good521 = ossl::signWith(key521.get(), "MD5", data);
    ASSERT_EQ(verify(kDigestMd5, data, good521, pub521), kVerifyOk);
    BIGNUM* s = BN_bin2bn(good521.data(), static_cast<int>(good521.size()), nullptr);
    BIGNUM* n = ossl::keyNumber(key521.get(), OSSL_PKEY_PARAM_RSA_N);
    BN_add(s, s, n);
    EXPECT_EQ(verify(kDigestMd5, data, numberBytes(s, good521.size()), pub521), kVerifyBadBlock);
    BN_free(s);
    BN_free(n);
}

TEST(SignatureVerifierTest, DigestIdsAndArguments) {
    ossl::Key key = ossl::generateRsa(520);
    RsaPublicKey pub = ossl::publicKeyOf(key.get());
    Bytes signature = ossl::signWith(key.get(), "MD5", "abc");
    SignatureVerifyContext ctx;
    for (uint32_t id : {0u, 1u, 6u, 0xffffffffu})
        EXPECT_EQ(SignatureVerifyInit(&ctx, id), kVerifyBadDigest) << id;
    EXPECT_EQ(SignatureVerifyUpdate(&ctx, "abc", 3), kVerifyBadDigest);  // after a failed init
    EXPECT_EQ(SignatureVerifyInit(nullptr, kDigestMd5), kVerifyBadDigest);

    // SHA-1 starts, then is refused; the SHA-1 refusal comes before the length check.
    ASSERT_EQ(SignatureVerifyInit(&ctx, kDigestSha1), kVerifyOk);
    EXPECT_EQ(SignatureVerifyUpdate(&ctx, "abc", 3), kVerifyBadDigest);
    EXPECT_EQ(SignatureVerifyFinal(&ctx, signature.data(), signature.size(), &pub),
              kVerifyBadDigest);
    Bytes tooLong(200, 1);
    EXPECT_EQ(SignatureVerifyFinal(&ctx, tooLong.data(), tooLong.size(), &pub), kVerifyBadDigest);

    // A null key or signature fails as a block; the too-long check comes first.
    ASSERT_EQ(SignatureVerifyInit(&ctx, kDigestMd5), kVerifyOk);
    EXPECT_EQ(SignatureVerifyUpdate(&ctx, nullptr, 0), kVerifyOk);
    EXPECT_EQ(SignatureVerifyUpdate(&ctx, nullptr, 3), kVerifyBadDigest);
    EXPECT_EQ(SignatureVerifyFinal(&ctx, tooLong.data(), tooLong.size(), nullptr),
              kVerifySignatureTooLong);
    EXPECT_EQ(SignatureVerifyFinal(&ctx, signature.data(), signature.size(), nullptr),
              kVerifyBadBlock);
    EXPECT_EQ(SignatureVerifyFinal(&ctx, nullptr, 65, &pub), kVerifyBadBlock);
}

// Final leaves the context ready for the next message, after a valid signature and after a
// failure alike; a too-long signature leaves the message so far in place.
TEST(SignatureVerifierTest, ContextIsReusedAfterFinal) {
    ossl::Key key = ossl::generateRsa(520);
    RsaPublicKey pub = ossl::publicKeyOf(key.get());
    Bytes first = ossl::signWith(key.get(), "MD5", "first");
    Bytes second = ossl::signWith(key.get(), "MD5", "second");
    SignatureVerifyContext ctx;
    ASSERT_EQ(SignatureVerifyInit(&ctx, kDigestMd5), kVerifyOk);
    SignatureVerifyUpdate(&ctx, "first", 5);
    EXPECT_EQ(SignatureVerifyFinal(&ctx, first.data(), first.size(), &pub), kVerifyOk);
    SignatureVerifyUpdate(&ctx, "second", 6);
    EXPECT_EQ(SignatureVerifyFinal(&ctx, first.data(), first.size(), &pub), kVerifyBadDigestInfo);
    SignatureVerifyUpdate(&ctx, "sec", 3);
    Bytes tooLong(129, 1);
    EXPECT_EQ(SignatureVerifyFinal(&ctx, tooLong.data(), tooLong.size(), &pub),
              kVerifySignatureTooLong);
    SignatureVerifyUpdate(&ctx, "ond", 3);
    EXPECT_EQ(SignatureVerifyFinal(&ctx, second.data(), second.size(), &pub), kVerifyOk);
}

}  // namespace
