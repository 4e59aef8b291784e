// The checks the Components page calls (cgishare/executable_checks.h), on the test executables:
// what each check finds in one file, the cleaner's pattern file found without opening the
// library, and the trust roots in use.
#include <cgishare/executable_checks.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/test_env.h"

namespace {

using nvl::test::TestEnv;

std::string fixture(const std::string& name) {
    return std::string(CGISHARE_BINARY_DIR) + "/fixtures/executables/" + name;
}

class ComponentChecksTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access(fixture("app-3.10.exe").c_str(), R_OK) != 0)
            GTEST_SKIP() << "no appended-signed test executables in this build";
        ::setenv("NVL_TRUST_ROOTS", fixture("pki/trust-roots.pem").c_str(), 1);
    }
    void TearDown() override { ::unsetenv("NVL_TRUST_ROOTS"); }
    TestEnv env_;
};

TEST_F(ComponentChecksTest, EachCheckOfOneExecutable) {
    const struct {
        const char* file;
        const char* version;
        int appended;
        int publisherResult;
        const char* signer;
    } cases[] = {
        {"app-3.10.exe", "3.10", 1, EXEC_PUBLISHER_NOT_TRUSTED, ""},
        {"pub-good.exe", "3.10", 0, EXEC_PUBLISHER_PASSED, "Halden Labs, Inc."},
        {"pub-nodot.exe", "3.10", 0, EXEC_PUBLISHER_WRONG_SIGNER, "Halden Labs, Inc"},
        {"pub-two-entries.exe", "3.10", 0, EXEC_PUBLISHER_NOT_TRUSTED, ""},
        {"app-tamper-content.exe", "3.10", 0, EXEC_PUBLISHER_NOT_TRUSTED, ""},
        {"noversion.exe", "", 0, EXEC_PUBLISHER_NOT_TRUSTED, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        ExecutableCheck check;
        ASSERT_EQ(checkExecutable(fixture(c.file).c_str(), &check), 1);
        EXPECT_STREQ(check.version, c.version);
        EXPECT_EQ(check.appendedSignature, c.appended);
        EXPECT_EQ(check.publisherResult, c.publisherResult);
        EXPECT_EQ(check.publisher, c.publisherResult == EXEC_PUBLISHER_PASSED ? 0u : 0x80000014u);
        EXPECT_STREQ(check.signer, c.signer);
    }
    ExecutableCheck check;
    EXPECT_EQ(checkExecutable(fixture("qxc-3.10.exe").c_str(), &check), 1);
    EXPECT_STREQ(check.specialBuild, "QA 3.10");
    EXPECT_EQ(check.trustResult, static_cast<long>(static_cast<int32_t>(0x800B0100)));

    EXPECT_EQ(checkExecutable(fixture("missing.exe").c_str(), &check), 0);
    EXPECT_EQ(check.appendedSignature, -1);
    EXPECT_EQ(check.publisherResult, EXEC_PUBLISHER_CANNOT_OPEN);
    EXPECT_EQ(checkExecutable(nullptr, &check), 0);
    EXPECT_EQ(check.publisherResult, EXEC_PUBLISHER_NULL_PATH);
    EXPECT_EQ(checkExecutable(CGISHARE_BINARY_DIR, &check), 0);  // a directory
    EXPECT_EQ(checkExecutable(fixture("app-3.10.exe").c_str(), nullptr), 0);
}

TEST_F(ComponentChecksTest, PatternFileFoundWithoutJudgingTheCleaner) {
    std::string admin = env_.home() + "Admin";
    env_.writeFile("home/Admin/QXC.INI", "[advanced]\nPatternName=other.ptn\n");
    // A pattern header: magic, four free bytes, version 0x0102 at bytes 10-11.
    std::string header("\x1A\xE2\xBD\x1A\0\0\0\0\0\0\x02\x01\0\0", 14);
    env_.writeFile("home/Admin/other.ptn", header);
    env_.writeFile("home/Admin/hladce.ptn", "short");

    char path[512];
    unsigned long version = 7;
    EXPECT_EQ(getCleanerPatternFile(admin.c_str(), nullptr, path, sizeof path, &version), 0u);
    EXPECT_EQ(version, 0x0102u);
    EXPECT_EQ(std::string(path), admin + "/other.ptn");
    EXPECT_EQ(getCleanerPatternFile(admin.c_str(), "hladce.ptn", path, sizeof path, &version),
              0x80000001u);
    EXPECT_EQ(version, 0u);
    EXPECT_EQ(getCleanerPatternFile(admin.c_str(), "none.ptn", path, sizeof path, &version),
              0x80000008u);
    EXPECT_EQ(getCleanerPatternFile(nullptr, nullptr, path, sizeof path, &version), 0x80000005u);

    // The cleaner library itself reads nothing while it refuses the cleaner (there is none).
    EXPECT_EQ(checkCleanerExecutable(admin.c_str(), nullptr), 0x80000009u);
}

TEST_F(ComponentChecksTest, TrustRootsInUse) {
    char path[512];
    EXPECT_EQ(getTrustRootsFile(path, sizeof path), 1);
    EXPECT_EQ(std::string(path), fixture("pki/trust-roots.pem"));

    std::string unreadable = env_.root() + "/none.pem";
    ::setenv("NVL_TRUST_ROOTS", unreadable.c_str(), 1);
    EXPECT_EQ(getTrustRootsFile(path, sizeof path), -1);
    EXPECT_EQ(std::string(path), unreadable);
    ::setenv("NVL_TRUST_ROOTS", "", 1);
    getTrustRootsFile(path, sizeof path);
    EXPECT_STREQ(path, "/etc/norvel/trust-roots.pem");
    char small[8];
    getTrustRootsFile(small, sizeof small);
    EXPECT_STREQ(small, "/etc/no");
}

}  // namespace
