// The publisher check through the trust services as the library loads them (wintrust.so beside
// the test program): the test executables, signers issued in the test, the services or their
// roots missing, and the one open file that a call judges.
#include "signature/publisher_signature.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "platform/process.h"
#include "signature/publisher_signature_testing.h"
#include "support/test_env.h"
#include "trust/signing_support.h"
#include "wintrust.h"

namespace nvl::signature {
namespace {

using namespace nvl::test::signing;

constexpr uint32_t kNotPassed = 0x80000014;
constexpr uint32_t kUnavailable = 0x80000001;

class PublisherSignatureTest : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("NVL_TRUST_ROOTS", trustRoots().c_str(), 1); }
    void TearDown() override {
        ::unsetenv("NVL_TRUST_ROOTS");
        setTrustLibraryForTesting(nullptr);
    }

    PublisherVerdict check(const std::string& path) {
        PublisherVerdict verdict;
        uint32_t status = verifyPublisherSignatureFd(-1, path.c_str(), &verdict);
        EXPECT_EQ(status, verdict.status) << path;
        EXPECT_EQ(VerifyPublisherSignature(path.c_str()), status) << path;
        return verdict;
    }

    nvl::test::TestEnv env;
};

TEST_F(PublisherSignatureTest, TestExecutables) {
    struct Case {
        const char* file;
        uint32_t status;
        PublisherFailure failure;
        int32_t trustResult;
        const char* signer;  // "" when not known
    } cases[] = {
        {"pub-good.exe", 0, PublisherFailure::kNone, 0, "Halden Labs, Inc."},
        {"pub-good-pe64.exe", 0, PublisherFailure::kNone, 0, "Halden Labs, Inc."},
        {"pub-checksum.exe", 0, PublisherFailure::kNone, 0, "Halden Labs, Inc."},
        {"pub-oonly.exe", 0, PublisherFailure::kNone, 0, "Halden Labs, Inc."},
        {"pub-nodot.exe", kNotPassed, PublisherFailure::kWrongSigner, 0, "Halden Labs, Inc"},
        {"pub-caps.exe", kNotPassed, PublisherFailure::kWrongSigner, 0, "HALDEN LABS, INC."},
        {"pub-untrusted.exe", kNotPassed, PublisherFailure::kNotTrusted, CERT_E_UNTRUSTEDROOT, ""},
        {"pub-tamper-code.exe", kNotPassed, PublisherFailure::kNotTrusted, TRUST_E_BAD_DIGEST, ""},
        {"pub-tamper-sig.exe", kNotPassed, PublisherFailure::kNotTrusted, NTE_BAD_SIGNATURE, ""},
        {"pub-two-entries.exe", kNotPassed, PublisherFailure::kNotTrusted, TRUST_E_FAIL, ""},
        {"pub-trailing-byte.exe", kNotPassed, PublisherFailure::kNotTrusted, TRUST_E_FAIL, ""},
        {"qxc-3.10.exe", kNotPassed, PublisherFailure::kNotTrusted, TRUST_E_NOSIGNATURE, ""},
        {"missing.exe", kNotPassed, PublisherFailure::kCannotOpen, 0, ""},
    };
    for (const Case& c : cases) {
        PublisherVerdict verdict = check(executables() + c.file);
        EXPECT_EQ(verdict.status, c.status) << c.file;
        EXPECT_EQ(verdict.failure, c.failure) << c.file;
        EXPECT_EQ(verdict.trustResult, c.trustResult) << c.file;
        EXPECT_STREQ(verdict.signer, c.signer) << c.file;
        EXPECT_EQ(verdict.signerKnown, *c.signer != '\0') << c.file;
        if (c.failure == PublisherFailure::kNone || c.failure == PublisherFailure::kWrongSigner) {
            EXPECT_EQ(verdict.certificateCount, 1u) << c.file;
        }
    }
    std::string appended = executables() + "app-pub-good.exe";
    if (::access(appended.c_str(), R_OK) == 0) {
        EXPECT_EQ(check(appended).trustResult, TRUST_E_FAIL);
    }
}

TEST_F(PublisherSignatureTest, MissingServicesOrRoots) {
    const std::string good = executables() + "pub-good.exe";
    EXPECT_EQ(VerifyPublisherSignature(nullptr), 0x8000000cu);
    PublisherVerdict verdict;
    EXPECT_EQ(verifyPublisherSignatureFd(-1, nullptr, &verdict), 0x8000000cu);
    EXPECT_EQ(verdict.failure, PublisherFailure::kNullPath);

    for (const char* roots : {"/nonexistent/trust-roots.pem", "/dev/null"}) {
        ::setenv("NVL_TRUST_ROOTS", roots, 1);
        verdict = check(good);
        EXPECT_EQ(verdict.status, kUnavailable) << roots;
        EXPECT_EQ(verdict.failure, PublisherFailure::kRootsUnavailable) << roots;
        EXPECT_EQ(verdict.trustResult, NVL_TRUST_E_ROOTS_UNAVAILABLE) << roots;
    }
    ::setenv("NVL_TRUST_ROOTS", trustRoots().c_str(), 1);

    struct Case {
        const char* library;
        PublisherFailure failure;
    } cases[] = {
        {"/nonexistent/wintrust.so", PublisherFailure::kLibraryMissing},
        {OTHER_LIBRARY, PublisherFailure::kEntryMissing},  // a library, but another one
    };
    for (const Case& c : cases) {
        setTrustLibraryForTesting(c.library);
        EXPECT_EQ(check(good).failure, c.failure) << c.library;
        EXPECT_EQ(check(good).status, kUnavailable) << c.library;
        // The services are looked for before the file.
        EXPECT_EQ(check("/nonexistent/file.exe").status, kUnavailable) << c.library;
        EXPECT_EQ(VerifyPublisherSignature(nullptr), 0x8000000cu);
    }
    setTrustLibraryForTesting(nullptr);
    EXPECT_EQ(check(good).status, 0u);
}

// Signers issued here, signing copies of an unsigned test executable.
TEST_F(PublisherSignatureTest, SignersIssuedHere) {
    Cert root = readCert(pki() + "root.pem");
    Key rootKey = readKey(pki() + "root.key");
    Key signerKey = readKey(pki() + "leaf.key");
    ASSERT_TRUE(root && rootKey && signerKey);
    ScratchDir scratch;
    struct Case {
        const char* what;
        CertSpec spec;
        uint32_t status;
        PublisherFailure failure;
        int32_t trustResult;
        std::string signer;  // in code page 1252
    } cases[] = {
        {"the publisher", signer(commonName("Halden Labs, Inc.")), 0, PublisherFailure::kNone, 0,
         "Halden Labs, Inc."},
        {"the publisher as a BMPString",
         signer({{NID_commonName, V_ASN1_BMPSTRING,
                  std::string("\0H\0a\0l\0d\0e\0n\0 \0L\0a\0b\0s\0,\0 \0I\0n\0c\0.", 34)}}),
         0, PublisherFailure::kNone, 0, "Halden Labs, Inc."},
        {"a NUL behind the publisher's name",
         signer({{NID_commonName, V_ASN1_UTF8STRING, std::string("Halden Labs, Inc.\0evil", 22)}}),
         kNotPassed, PublisherFailure::kWrongSigner, 0, "Halden Labs, Inc.?evil"},
        {"two common names",
         signer({{NID_commonName, MBSTRING_ASC, "Halden Labs, Inc."},
                 {NID_commonName, MBSTRING_ASC, "Halden Labs, Inc."}}),
         kNotPassed, PublisherFailure::kWrongSigner, 0, ""},
        {"a name outside ASCII", signer(commonName("H\xC3\xA4lden Labs \xE2\x98\x83")), kNotPassed,
         PublisherFailure::kWrongSigner, 0, "H\xE4lden Labs ?"},
        {"expired yesterday", signer(commonName("Halden Labs, Inc."), -30, -1), kNotPassed,
         PublisherFailure::kNotTrusted, CERT_E_EXPIRED, ""},
    };
    for (const Case& c : cases) {
        Cert cert = makeCert(c.spec, signerKey.get(), root.get(), rootKey.get());
        std::string path = scratch.path + "/signed.exe";
        ASSERT_TRUE(signFile(executables() + "qxc-3.10.exe", path, cert.get(), scratch.path))
            << c.what;
        PublisherVerdict verdict = check(path);
        EXPECT_EQ(verdict.status, c.status) << c.what;
        EXPECT_EQ(verdict.failure, c.failure) << c.what;
        EXPECT_EQ(verdict.trustResult, c.trustResult) << c.what;
        EXPECT_EQ(verdict.signer, c.signer) << c.what;
    }
}

// One call judges one open file: replacing the path afterwards changes nothing for the holder
// of the descriptor, whose offset is left alone; descriptor 0 works like any other.
TEST_F(PublisherSignatureTest, JudgesTheOpenFile) {
    ScratchDir scratch;
    std::string path = scratch.path + "/QXC.EXE";
    writeBytes(path, readBytes(executables() + "pub-good.exe"));
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::string replacement = scratch.path + "/new.exe";
    writeBytes(replacement, readBytes(executables() + "pub-tamper-code.exe"));
    ASSERT_EQ(::rename(replacement.c_str(), path.c_str()), 0);
    ASSERT_EQ(::lseek(fd, 77, SEEK_SET), 77);

    EXPECT_EQ(verifyPublisherSignatureFd(fd, path.c_str(), nullptr), 0u);
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 77);
    EXPECT_EQ(VerifyPublisherSignature(path.c_str()), kNotPassed);

    int savedStdin = ::dup(0);
    ASSERT_GE(savedStdin, 0);
    ASSERT_EQ(::dup2(fd, 0), 0);
    EXPECT_EQ(verifyPublisherSignatureFd(0, path.c_str(), nullptr), 0u);
    ::dup2(savedStdin, 0);
    ::close(savedStdin);
    ::close(fd);

    // A path in the ANSI code page that is not the file's name in UTF-8 does not matter: the
    // descriptor is what is judged.
    std::string utf8Name = scratch.path + "/H\xC3\xA4lden.exe";
    writeBytes(utf8Name, readBytes(executables() + "pub-good.exe"));
    EXPECT_EQ(VerifyPublisherSignature(utf8Name.c_str()), 0u);
}

// The three libraries are loaded per call and released before it returns.
TEST_F(PublisherSignatureTest, ReleasesTheServices) {
    std::string exe = nvl::sys::executablePath();
    std::string beside = exe.substr(0, exe.rfind('/') + 1) + "wintrust.so";
    ASSERT_EQ(::access(beside.c_str(), R_OK), 0) << beside;
    EXPECT_EQ(::dlopen(beside.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
    EXPECT_EQ(VerifyPublisherSignature((executables() + "pub-good.exe").c_str()), 0u);
    void* still = ::dlopen(beside.c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(still, nullptr);
    if (still != nullptr)
        ::dlclose(still);
}

}  // namespace
}  // namespace nvl::signature
