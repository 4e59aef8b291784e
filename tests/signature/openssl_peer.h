// OpenSSL as the peer of the signature tests: reference digests, RSA keys, signatures and raw
// private-key operations, so that the library's own code is judged by an implementation it
// shares nothing with.
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "signature/signature_verifier.h"

namespace nvl::test::openssl {

using Bytes = std::vector<uint8_t>;

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;

inline void check(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(std::string("OpenSSL: ") + what);
}

// MD4 lives in OpenSSL's legacy provider; loaded once, beside the default one, and unloaded at
// exit (before OpenSSL's own clean-up, which was registered first), so that the leak checker
// of the sanitizer build sees nothing left.
inline void loadLegacyProvider() {
    struct Providers {
        Providers()
            : legacy(OSSL_PROVIDER_load(nullptr, "legacy")),
              fallback(OSSL_PROVIDER_load(nullptr, "default")) {
            check(legacy != nullptr && fallback != nullptr, "legacy and default providers");
        }
        ~Providers() {
            OSSL_PROVIDER_unload(legacy);
            OSSL_PROVIDER_unload(fallback);
        }
        OSSL_PROVIDER* legacy;
        OSSL_PROVIDER* fallback;
    };
    static Providers providers;
}

// The digest `name` ("MD4", "MD5", "SHA1") of `data`.
inline Bytes digest(const char* name, std::string_view data) {
    loadLegacyProvider();
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    check(md != nullptr, name);
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    bool ok = EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr) == 1;
    EVP_MD_free(md);
    check(ok, "EVP_Digest");
    out.resize(length);
    return out;
}

inline Key generateRsa(int bits, unsigned long exponent = 65537) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    BIGNUM* e = BN_new();
    EVP_PKEY* key = nullptr;
    bool ok = ctx != nullptr && e != nullptr && BN_set_word(e, exponent) == 1 &&
              EVP_PKEY_keygen_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, bits) == 1 &&
              EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, e) == 1 && EVP_PKEY_generate(ctx, &key) == 1;
    BN_free(e);
    EVP_PKEY_CTX_free(ctx);
    check(ok, "RSA key generation");
    return Key(key);
}

inline BIGNUM* keyNumber(EVP_PKEY* key, const char* name) {
    BIGNUM* n = nullptr;
    check(EVP_PKEY_get_bn_param(key, name, &n) == 1, name);
    return n;
}

// The key's public half in the verifier's 258-byte form.
inline signature::RsaPublicKey publicKeyOf(EVP_PKEY* key) {
    signature::RsaPublicKey out{};
    BIGNUM* n = keyNumber(key, OSSL_PKEY_PARAM_RSA_N);
    BIGNUM* e = keyNumber(key, OSSL_PKEY_PARAM_RSA_E);
    out.bits = static_cast<uint16_t>(BN_num_bits(n));
    bool ok = BN_bn2binpad(n, out.modulus, 128) == 128 && BN_bn2binpad(e, out.exponent, 128) == 128;
    BN_free(n);
    BN_free(e);
    check(ok, "key form");
    return out;
}

// The modulus length in bytes.
inline size_t modulusBytes(EVP_PKEY* key) {
    return static_cast<size_t>((EVP_PKEY_get_bits(key) + 7) / 8);
}

// An RSASSA-PKCS1-v1_5 signature of `data` with the digest `name` (OpenSSL's padding and
// DigestInfo).
inline Bytes signWith(EVP_PKEY* key, const char* name, std::string_view data) {
    loadLegacyProvider();
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    Bytes out(modulusBytes(key));
    size_t length = out.size();
    bool ok = ctx != nullptr &&
              EVP_DigestSignInit_ex(ctx, nullptr, name, nullptr, nullptr, key, nullptr) == 1 &&
              EVP_DigestSignUpdate(ctx, data.data(), data.size()) == 1 &&
              EVP_DigestSignFinal(ctx, out.data(), &length) == 1;
    EVP_MD_CTX_free(ctx);
    check(ok, "signature");
    out.resize(length);
    return out;
}

// OpenSSL's PKCS #1 v1.5 type 1 padding around `payload` (no digest of its own): the signature of
// a DigestInfo the caller built.
inline Bytes signPayload(EVP_PKEY* key, const Bytes& payload) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    Bytes out(modulusBytes(key));
    size_t length = out.size();
    bool ok = ctx != nullptr && EVP_PKEY_sign_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_sign(ctx, out.data(), &length, payload.data(), payload.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    check(ok, "payload signature");
    out.resize(length);
    return out;
}

// The raw private-key operation on a block of exactly the modulus length (which must be below
// the modulus): the signature whose public operation gives back `block`.
inline Bytes rawPrivate(EVP_PKEY* key, const Bytes& block) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    Bytes out(modulusBytes(key));
    size_t length = out.size();
    bool ok = ctx != nullptr && EVP_PKEY_sign_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING) == 1 &&
              EVP_PKEY_sign(ctx, out.data(), &length, block.data(), block.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    check(ok, "raw private operation");
    out.resize(length);
    return out;
}

}  // namespace nvl::test::openssl
