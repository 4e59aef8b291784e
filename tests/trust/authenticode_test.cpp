// The verifier of the trust services, in process: the test executables judged one by one, every
// single-bit change of a signed file's signed bytes and every truncation of it, the digests it
// refuses before OpenSSL meets them, the signer policy (validity now, uses) on files signed in
// the test, and the simple display name of certificates made in memory.
#include "authenticode.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "trust/signing_support.h"
#include "wintrust.h"

namespace {

namespace pe = nvl::sys::pe;
using namespace nvl::test::signing;
using nvl::trust::ImageReport;
using nvl::trust::StorePtr;

class AuthenticodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        roots = nvl::trust::loadRoots(trustRoots());
        ASSERT_NE(roots, nullptr) << "no fixtures in " << executables();
    }

    int32_t verify(const std::vector<uint8_t>& bytes, ImageReport* report = nullptr,
                   const time_t* at = nullptr) {
        return nvl::trust::verifyImage(pe::ByteSource::memory(bytes.data(), bytes.size()),
                                       roots.get(), at, report);
    }

    StorePtr roots;
};

TEST_F(AuthenticodeTest, JudgesTheTestExecutables) {
    struct Case {
        const char* file;
        int32_t result;
        const char* signer;  // once the signature verified
    } cases[] = {
        {"pub-good.exe", 0, "Halden Labs, Inc."},
        {"pub-good-pe64.exe", 0, "Halden Labs, Inc."},
        {"pub-good-3.4.exe", 0, "Halden Labs, Inc."},
        {"pub-checksum.exe", 0, "Halden Labs, Inc."},  // the CheckSum field is not signed
        {"pub-oonly.exe", 0, "Halden Labs, Inc."},     // no CN: the organisation
        {"pub-nodot.exe", 0, "Halden Labs, Inc"},      // the name is the caller's business
        {"pub-caps.exe", 0, "HALDEN LABS, INC."},
        {"pub-untrusted.exe", CERT_E_UNTRUSTEDROOT, "Halden Labs, Inc."},
        {"pub-tamper-code.exe", TRUST_E_BAD_DIGEST, ""},
        {"pub-tamper-sig.exe", NTE_BAD_SIGNATURE, ""},
        {"pub-two-entries.exe", TRUST_E_FAIL, ""},
        {"pub-trailing-byte.exe", TRUST_E_FAIL, ""},
        {"qxc-3.10.exe", TRUST_E_NOSIGNATURE, ""},
        {"qxc-4.0-pe64.exe", TRUST_E_NOSIGNATURE, ""},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = readBytes(executables() + c.file);
        ASSERT_FALSE(bytes.empty()) << c.file;
        ImageReport report;
        EXPECT_EQ(verify(bytes, &report), c.result) << c.file;
        EXPECT_EQ(report.signer, c.signer) << c.file;
        if (c.result == 0) {
            EXPECT_EQ(report.digestNid, NID_sha256) << c.file;
        }
    }
    // A file that is no PE image at all, and an empty one.
    std::vector<uint8_t> text(100, 'x');
    EXPECT_EQ(verify(text), TRUST_E_SUBJECT_FORM_UNKNOWN);
    EXPECT_EQ(verify({}), TRUST_E_SUBJECT_FORM_UNKNOWN);
}

TEST_F(AuthenticodeTest, AppendedDataBehindTheTableIsRefused) {
    std::string path = executables() + "app-pub-good.exe";
    std::vector<uint8_t> bytes = readBytes(path);
    if (bytes.empty())
        GTEST_SKIP() << "no appended-signed fixtures in this build";
    EXPECT_EQ(verify(bytes), TRUST_E_FAIL);
}

// A change of one bit in any byte the signature covers makes the file fail (the bit changed
// walks through the eight positions from byte to byte); a change of the CheckSum field does not.
// A change inside the certificate table never crashes, and when it still verifies (container
// fields the signature does not cover: versions' neighbours, NULL parameters, the case of the
// issuer's name that finds the signer) the signer stays the same.
TEST_F(AuthenticodeTest, EverySignedByteMatters) {
    std::vector<uint8_t> bytes = readBytes(executables() + "pub-good.exe");
    pe::Image image;
    ASSERT_EQ(pe::parseImage(pe::ByteSource::memory(bytes.data(), bytes.size()), &image),
              pe::Status::kOk);
    const uint64_t tableStart = image.certificateTable.offset;
    ASSERT_GT(tableStart, image.checksumOffset);
    ASSERT_EQ(verify(bytes), 0);
    for (uint64_t offset = 0; offset < bytes.size(); ++offset) {
        bool checksum = offset >= image.checksumOffset && offset < image.checksumOffset + 4;
        const uint8_t bit = static_cast<uint8_t>(1u << (offset % 8));
        bytes[offset] ^= bit;
        ImageReport report;
        int32_t result = verify(bytes, &report);
        bytes[offset] ^= bit;
        if (checksum) {
            ASSERT_EQ(result, 0) << "offset " << offset;
        } else if (offset < tableStart) {
            ASSERT_NE(result, 0) << "offset " << offset;
        } else if (result == 0) {
            ASSERT_EQ(report.signer, "Halden Labs, Inc.") << "offset " << offset;
        }
    }
}

TEST_F(AuthenticodeTest, EveryTruncationIsRefused) {
    std::vector<uint8_t> bytes = readBytes(executables() + "pub-good-pe64.exe");
    ASSERT_EQ(verify(bytes), 0);
    for (size_t size = 0; size < bytes.size(); ++size) {
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(size));
        ASSERT_NE(verify(cut), 0) << size;
    }
}

// Digests outside the allow-list are refused before anything is computed with them: SHA-224
// (known to OpenSSL) and an unknown OID, in each of the three places a digest is named.
TEST_F(AuthenticodeTest, RefusesDigestsOutsideTheAllowList) {
    std::vector<uint8_t> bytes = readBytes(executables() + "pub-good.exe");
    const uint8_t sha256[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
    std::vector<size_t> places;
    for (auto at = bytes.begin();
         (at = std::search(at, bytes.end(), std::begin(sha256), std::end(sha256))) != bytes.end();
         ++at) {
        places.push_back(static_cast<size_t>(at - bytes.begin()) + sizeof sha256 - 1);
    }
    // digestAlgorithms, the image's DigestInfo, the signer's digestAlgorithm.
    ASSERT_EQ(places.size(), 3u);
    for (size_t place : places) {
        for (uint8_t last : {uint8_t{0x04}, uint8_t{0x7F}}) {
            std::vector<uint8_t> changed = bytes;
            changed[place] = last;
            EXPECT_EQ(verify(changed), NTE_BAD_ALGID) << place << " " << int{last};
        }
    }
}

TEST_F(AuthenticodeTest, VerifiesAsOfNow) {
    std::vector<uint8_t> bytes = readBytes(executables() + "pub-good.exe");
    time_t now = ::time(nullptr);
    time_t later = now + 20L * 365 * 86400;  // the fixtures' signers last ten years
    EXPECT_EQ(verify(bytes, nullptr, &now), 0);
    EXPECT_EQ(verify(bytes, nullptr, &later), CERT_E_EXPIRED);
}

// Signers issued here by the fixtures' root for the fixtures' signer key, each signing a copy of
// an unsigned test executable: only a signer valid now and allowed to sign code passes.
TEST_F(AuthenticodeTest, SignerPolicy) {
    Cert root = readCert(pki() + "root.pem");
    Key rootKey = readKey(pki() + "root.key");
    Key signerKey = readKey(pki() + "leaf.key");
    ASSERT_TRUE(root && rootKey && signerKey);
    ScratchDir scratch;
    struct Case {
        const char* what;
        CertSpec spec;
        int32_t result;
    } cases[] = {
        {"valid", signer(commonName("Halden Labs, Inc.")), 0},
        {"expired yesterday", signer(commonName("Halden Labs, Inc."), -30, -1), CERT_E_EXPIRED},
        {"valid from tomorrow", signer(commonName("Halden Labs, Inc."), 1, 30), CERT_E_EXPIRED},
        {"e-mail protection only",
         signer(commonName("Halden Labs, Inc."), -1, 30, "critical,digitalSignature",
                "emailProtection"),
         CERT_E_WRONG_USAGE},
        {"no digitalSignature",
         signer(commonName("Halden Labs, Inc."), -1, 30, "critical,keyEncipherment", "codeSigning"),
         CERT_E_WRONG_USAGE},
        {"no usage extensions", signer(commonName("Halden Labs, Inc."), -1, 30, "", ""), 0},
    };
    for (const Case& c : cases) {
        Cert cert = makeCert(c.spec, signerKey.get(), root.get(), rootKey.get());
        std::string signedPath = scratch.path + "/signed.exe";
        ASSERT_TRUE(signFile(executables() + "qxc-3.10.exe", signedPath, cert.get(), scratch.path))
            << c.what;
        EXPECT_EQ(verify(readBytes(signedPath)), c.result) << c.what;
    }
}

TEST(AuthenticodeRoots, UnreadableRootsGiveNoStore) {
    ScratchDir scratch;
    std::string empty = scratch.path + "/empty.pem", garbage = scratch.path + "/garbage.pem";
    writeBytes(empty, {});
    std::string text =
        "-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n";
    writeBytes(garbage, std::vector<uint8_t>(text.begin(), text.end()));
    for (const std::string& path : {scratch.path + "/missing.pem", empty, garbage, scratch.path})
        EXPECT_EQ(nvl::trust::loadRoots(path), nullptr) << path;
    EXPECT_NE(nvl::trust::loadRoots(trustRoots()), nullptr);

    ::setenv("NVL_TRUST_ROOTS", "/somewhere/roots.pem", 1);
    EXPECT_EQ(nvl::trust::rootsPath(), "/somewhere/roots.pem");
    ::setenv("NVL_TRUST_ROOTS", "", 1);
    EXPECT_EQ(nvl::trust::rootsPath(), "/etc/norvel/trust-roots.pem");
    ::unsetenv("NVL_TRUST_ROOTS");
    EXPECT_EQ(nvl::trust::rootsPath(), "/etc/norvel/trust-roots.pem");
}

// The simple display name, over certificates made in memory.
TEST(SimpleDisplayName, FollowsTheOrderOfTheOriginal) {
    Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    ASSERT_NE(key, nullptr);
    const std::string nul("Halden Labs, Inc.\0x", 19);
    // "Halden" as a BMPString: UTF-16BE.
    const std::string bmp("\0H\0a\0l\0d\0e\0n", 12);
    struct Case {
        const char* what;
        std::vector<Attribute> subject;
        std::string alternativeName;
        std::string expected;
    } cases[] = {
        {"CN wins", commonName("Halden Labs, Inc."), "", "Halden Labs, Inc."},
        {"OU before O",
         {{NID_organizationName, MBSTRING_ASC, "Other Org"},
          {NID_organizationalUnitName, MBSTRING_ASC, "Halden Labs, Inc."}},
         "",
         "Halden Labs, Inc."},
        {"O",
         {{NID_countryName, MBSTRING_ASC, "US"}, {NID_organizationName, MBSTRING_ASC, "Org"}},
         "",
         "Org"},
        {"e-mail attribute",
         {{NID_countryName, MBSTRING_ASC, "US"},
          {NID_pkcs9_emailAddress, MBSTRING_ASC, "a@example.org"}},
         "email:b@example.org",
         "a@example.org"},
        {"rfc822 alternative name",
         {{NID_countryName, MBSTRING_ASC, "US"}},
         "DNS:example.org,email:b@example.org",
         "b@example.org"},
        {"first attribute",
         {{NID_countryName, MBSTRING_ASC, "US"}, {NID_localityName, MBSTRING_ASC, "Town"}},
         "",
         "US"},
        {"empty subject", {}, "", ""},
        {"embedded NUL kept", {{NID_commonName, V_ASN1_UTF8STRING, nul}}, "", nul},
        {"two CNs",
         {{NID_commonName, MBSTRING_ASC, "A"}, {NID_commonName, MBSTRING_ASC, "B"}},
         "",
         ""},
        {"BMPString", {{NID_commonName, V_ASN1_BMPSTRING, bmp}}, "", "Halden"},
        {"non-ASCII UTF-8",
         {{NID_commonName, MBSTRING_UTF8, "H\xC3\xA4lden"}},
         "",
         "H\xC3\xA4lden"},
    };
    for (const Case& c : cases) {
        CertSpec spec;
        spec.subject = c.subject;
        spec.subjectAltName = c.alternativeName;
        Cert cert = makeCert(spec, key.get(), nullptr, key.get());
        ASSERT_NE(cert, nullptr) << c.what;
        EXPECT_EQ(nvl::trust::simpleDisplayName(cert.get()), c.expected) << c.what;
    }
    // The issuer's name: the issuer of a self-signed certificate is its subject.
    CertSpec spec;
    spec.subject = commonName("Issuer Name");
    Cert cert = makeCert(spec, key.get(), nullptr, key.get());
    EXPECT_EQ(nvl::trust::simpleDisplayName(cert.get(), true), "Issuer Name");
}

}  // namespace
