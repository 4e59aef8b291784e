// What the tests of the trust services and of the publisher check share: the test executables
// and their PKI (scripts/make-test-executables.sh), certificates issued in the test by the
// PKI's root for the signer key of the fixtures, and files signed with them by osslsigncode.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace nvl::test::signing {

inline std::string executables() {
    return CGISHARE_BINARY_DIR "/fixtures/executables/";
}
inline std::string pki() {
    return executables() + "pki/";
}
inline std::string trustRoots() {
    return pki() + "trust-roots.pem";
}

inline std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Cert = std::unique_ptr<X509, X509Free>;
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

inline Cert readCert(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr)
        return nullptr;
    Cert cert(PEM_read_X509(f, nullptr, nullptr, nullptr));
    std::fclose(f);
    return cert;
}

inline Key readKey(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr)
        return nullptr;
    Key key(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr));
    std::fclose(f);
    return key;
}

inline void writeCert(const std::string& path, X509* cert) {
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    PEM_write_X509(f, cert);
    std::fclose(f);
}

// One attribute of a subject: its NID, the ASN.1 string type and the bytes (which may hold a
// NUL).
struct Attribute {
    int nid;
    int type;
    std::string value;
};

// What a certificate made here looks like. Extensions are given in the `openssl x509v3_config`
// form; empty ones are left out.
struct CertSpec {
    std::vector<Attribute> subject;
    long notBeforeDays = -1;  // relative to now
    long notAfterDays = 3650;
    std::string keyUsage = "critical,digitalSignature";
    std::string extendedKeyUsage = "codeSigning";
    std::string subjectAltName;
    std::string basicConstraints = "CA:FALSE";
};

// A signer's certificate: `subject`, valid from `notBeforeDays` to `notAfterDays` (relative to
// now), with the uses given.
inline CertSpec signer(std::vector<Attribute> subject, long notBeforeDays = -1,
                       long notAfterDays = 3650, std::string keyUsage = "critical,digitalSignature",
                       std::string extendedKeyUsage = "codeSigning") {
    CertSpec spec;
    spec.subject = std::move(subject);
    spec.notBeforeDays = notBeforeDays;
    spec.notAfterDays = notAfterDays;
    spec.keyUsage = std::move(keyUsage);
    spec.extendedKeyUsage = std::move(extendedKeyUsage);
    return spec;
}

// A certificate for `subjectKey` issued by `issuer` / `issuerKey` (self-signed when issuer is
// null), as `spec` says.
inline Cert makeCert(const CertSpec& spec, EVP_PKEY* subjectKey, X509* issuer,
                     EVP_PKEY* issuerKey) {
    static long serial = 1000;
    Cert cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), ++serial);
    X509_NAME* name = X509_get_subject_name(cert.get());
    for (const Attribute& a : spec.subject) {
        X509_NAME_add_entry_by_NID(name, a.nid, a.type,
                                   reinterpret_cast<const unsigned char*>(a.value.data()),
                                   static_cast<int>(a.value.size()), -1, 0);
    }
    X509_set_issuer_name(cert.get(), issuer != nullptr ? X509_get_subject_name(issuer) : name);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), spec.notBeforeDays * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), spec.notAfterDays * 86400L);
    X509_set_pubkey(cert.get(), subjectKey);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer != nullptr ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
    auto add = [&](int nid, const std::string& value) {
        if (value.empty())
            return;
        X509_EXTENSION* ext = X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value.c_str());
        ASSERT_NE(ext, nullptr) << value;
        X509_add_ext(cert.get(), ext, -1);
        X509_EXTENSION_free(ext);
    };
    add(NID_basic_constraints, spec.basicConstraints);
    add(NID_key_usage, spec.keyUsage);
    add(NID_ext_key_usage, spec.extendedKeyUsage);
    add(NID_subject_alt_name, spec.subjectAltName);
    X509_sign(cert.get(), issuerKey, EVP_sha256());
    return cert;
}

inline std::vector<Attribute> commonName(const std::string& cn) {
    return {{NID_countryName, MBSTRING_ASC, "US"},
            {NID_organizationName, MBSTRING_ASC, "Halden Labs, Inc."},
            {NID_commonName, MBSTRING_UTF8, cn}};
}

// Signs `input` into `output` with osslsigncode (SHA-256), as the fixtures are signed, with
// `cert` for the fixtures' signer key pki/leaf.key.
inline bool signFile(const std::string& input, const std::string& output, X509* cert,
                     const std::string& scratch) {
    std::string certPath = scratch + "/signer.pem";
    writeCert(certPath, cert);
    std::string command = "osslsigncode sign -certs '" + certPath + "' -key '" + pki() +
                          "leaf.key' -h sha256 -in '" + input + "' -out '" + output +
                          "' >/dev/null 2>&1";
    std::remove(output.c_str());
    return std::system(command.c_str()) == 0;
}

// A temporary directory, removed with its files when the object goes.
struct ScratchDir {
    ScratchDir() {
        char pattern[] = "/tmp/cgishare-trust.XXXXXX";
        path = ::mkdtemp(pattern) != nullptr ? pattern : "";
    }
    ~ScratchDir() {
        if (!path.empty())
            std::system(("rm -rf '" + path + "'").c_str());
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string path;
};

}  // namespace nvl::test::signing
