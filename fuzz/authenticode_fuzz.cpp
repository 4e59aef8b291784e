// The trust services' verifier (embedded signatures of PE images) on arbitrary bytes.
//
// Input: the bytes of a file, judged in memory against a store built once that holds the root
// of the seeds' signer (fuzz/corpus/authenticode_fuzz/: two signed test executables, PE32 and
// PE32+, and one whose SignedData names an unknown digest), so that mutations of the seeds reach
// the signature, chain and name checks. The verifier must never read out of bounds, crash or
// leak (OpenSSL's PKCS7_verify leaks on a digest it cannot make; the allow-list in front of it
// must keep every such input away); what it accepts must have named an allowed digest and a
// signer, and a second verdict on the same bytes must be the same.
#include <openssl/bio.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>

#include "authenticode.h"

namespace {

// The seeds' root (a certificate alone; its key was thrown away).
constexpr char kSeedRoot[] =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIDkTCCAnmgAwIBAgIULsU84f2aUqA+poGS7bLv+OrSbAUwDQYJKoZIhvcNAQEL\n"
    "BQAwTzELMAkGA1UEBhMCVVMxGDAWBgNVBAoMD05vcnZlbCBUZXN0IFBLSTEmMCQG\n"
    "A1UEAwwdTm9ydmVsIFRlc3QgQ29kZSBTaWduaW5nIFJvb3QwIBcNMjYxMjExMDcy\n"
    "MjQyWhgPMjEyNjExMTcwNzIyNDJaME8xCzAJBgNVBAYTAlVTMRgwFgYDVQQKDA9O\n"
    "b3J2ZWwgVGVzdCBQS0kxJjAkBgNVBAMMHU5vcnZlbCBUZXN0IENvZGUgU2lnbmlu\n"
    "ZyBSb290MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEAyZANNzXzgErg\n"
    "n43AkX1VA5V6MhyESCs1B2rD2PB4Yv7Oci3mQ1dsn9CTpHiCSsG87pAX37Hjxbju\n"
    "h1+JVQ/8TrfOFTXKo4CDguaUsGkXgnm7OKNrNWgdoKqXoeT4fO9OyXpCLqnkaciI\n"
    "3kf1aAldZIqrA1fiNrsFW+574tQkZVtQp5jp1lKBfPon99CJS7flDDogaXF+QcJA\n"
    "vXanEDxb2MPcZj2PHn3VrVVXubUyyc4tobrE8ixGwb1rGzucFmxOQ2Fyz+/M0/14\n"
    "vIwo6ELFcXjfdpXQbXsWxGLE2IIqWPg5lIESV8+cPg0mLQ0CpgMVRdEX5ZBjJGxQ\n"
    "YwJ0v10lZQIDAQABo2MwYTAdBgNVHQ4EFgQU00ovZf6GwF4yGges/IGGcl1YrdEw\n"
    "HwYDVR0jBBgwFoAU00ovZf6GwF4yGges/IGGcl1YrdEwDwYDVR0TAQH/BAUwAwEB\n"
    "/zAOBgNVHQ8BAf8EBAMCAQYwDQYJKoZIhvcNAQELBQADggEBAHkPTH1h90XlPNMQ\n"
    "Dbe6YtmXJFGHHZXsAAlU4EXk6eE3dx2KH9+qGnXZptPF79T4sLAcsPSNMsgTjBU4\n"
    "aslwb38S7PJ1qo2lpLCWGeq2kAxBA8u1ugNOmRdaZo40Li6uGMyoZPbNNEaHrG0O\n"
    "75N0J+AdGFb+tcxoXw5TK836ME7AHpfTwydyZDR715aywO52X+TOy1A8P/X+MIQK\n"
    "WRsn4ubZXiW8CEvoC5PmrVdKbMFwYM0nSnU8/WY7xbsLeEdhD8LjYRH3lr9g8cYv\n"
    "LikE2soL4xAy3OkbQaoYFu+MLWgz44RfrUWLH6H3CKxgs2pEOZMmoOBdht/Wv3A/\n"
    "GBQd0kM=\n"
    "-----END CERTIFICATE-----\n";

X509_STORE* store = nullptr;

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    store = X509_STORE_new();
    BIO* in = BIO_new_mem_buf(kSeedRoot, -1);
    X509* root = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
    check(store != nullptr && root != nullptr && X509_STORE_add_cert(store, root) == 1);
    X509_free(root);
    BIO_free(in);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto source = nvl::sys::pe::ByteSource::memory(data, size);
    nvl::trust::ImageReport report;
    int32_t result = nvl::trust::verifyImage(source, store, nullptr, &report);
    if (result == 0) {
        check(report.digestNid == NID_sha1 || report.digestNid == NID_sha256 ||
              report.digestNid == NID_sha384 || report.digestNid == NID_sha512);
    }
    check(nvl::trust::verifyImage(source, store) == result);
    return 0;
}
