// The cleaner executable's checks on real executables (scripts/make-test-executables.sh): the
// appended signature, the publisher signature as its fallback, the version minimum, the version
// texts; and one open file judged whole while another process renames files over it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cleaner/cleaner.h"
#include "cleaner/cleaner_settings.h"
#include "cleaner/executable_checks.h"
#include "platform/file.h"
#include "support/child_process.h"
#include "support/test_env.h"
#include "support/trace_capture.h"

namespace {

namespace cl = nvl::cleaner;
using nvl::test::Channel;
using nvl::test::Child;
using nvl::test::readFile;
using nvl::test::TestEnv;

std::string fixture(const std::string& name) {
    return std::string(CGISHARE_BINARY_DIR) + "/fixtures/executables/" + name;
}

bool haveFixtures() {
    return ::access(fixture("app-3.10.exe").c_str(), R_OK) == 0;
}

// Signs `path` in place with the build's private key; false when the build has none (a public
// key given from outside) or the command failed.
bool signAppended(const std::string& path) {
#if defined(NVL_SIGN_APPENDED) && defined(CLEANER_SIGNING_PRIVATE_KEY)
    if (::access(CLEANER_SIGNING_PRIVATE_KEY, R_OK) != 0)
        return false;
    std::string command = std::string("'") + NVL_SIGN_APPENDED + "' --key '" +
                          CLEANER_SIGNING_PRIVATE_KEY + "' '" + path + "'";
    return std::system(command.c_str()) == 0;
#else
    (void)path;
    return false;
#endif
}

class ExecutableChecksTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!haveFixtures())
            GTEST_SKIP() << "no appended-signed test executables in this build";
        ::setenv("NVL_TRUST_ROOTS", fixture("pki/trust-roots.pem").c_str(), 1);
        admin_ = env_.home() + "Admin";
        nvl::sys::makeDirectories(admin_);
    }
    void TearDown() override { ::unsetenv("NVL_TRUST_ROOTS"); }

    // Copies `name` to Admin/QXC.EXE (or to `as`).
    std::string install(const std::string& name, const std::string& as = "QXC.EXE") {
        std::string target = admin_ + "/" + as;
        std::string bytes = readFile(fixture(name));
        EXPECT_FALSE(bytes.empty()) << name;
        EXPECT_EQ(nvl::sys::replaceFileAtomically(target, bytes), 0u);
        return target;
    }

    struct Judged {
        uint32_t status;
        std::string version, specialBuild;
    };
    Judged judge(const std::string& path) {
        cl::CleanerSettings settings;
        EXPECT_TRUE(cl::setField(settings.executablePath, path));
        uint32_t status = cl::checkExecutable(&settings);
        return {status, settings.executableVersion, settings.specialBuild};
    }

    TestEnv env_;
    std::string admin_;
};

TEST_F(ExecutableChecksTest, SignaturesAndVersions) {
    constexpr uint32_t kOk = cl::kCleanerOk;
    constexpr uint32_t kRefused = cl::kCleanerExecutableRefused;
    const struct {
        const char* file;
        uint32_t status;
        const char* version;  // what was read ("" also when the checks stopped before it)
        const char* specialBuild;
    } cases[] = {
        // Appended signature valid: the version decides, compared as numbers.
        {"app-3.5.exe", kOk, "3.5", "QA 3.5"},
        {"app-4.0.exe", kOk, "4.0", "QA 4.0"},
        {"app-3.10.exe", kOk, "3.10", "QA 3.10"},
        {"app-10.0.exe", kOk, "10.0", "QA 10.0"},
        {"app-3.4.exe", kRefused, "3.4", "QA 3.4"},
        // Appended signature present but not valid, and no publisher signature.
        {"app-tamper-content.exe", kRefused, "", ""},
        {"app-tamper-sig.exe", kRefused, "", ""},
        {"app-tamper-length.exe", kRefused, "", ""},
        {"qxc-4.0.exe", kRefused, "", ""},
        {"qxc-3.10-pe64.exe", kRefused, "", ""},
        // No appended signature: the publisher signature must pass, then the version.
        {"pub-good.exe", kOk, "3.10", "QA 3.10"},
        {"pub-good-pe64.exe", kOk, "3.10", "QA 3.10"},
        {"pub-oonly.exe", kOk, "3.10", "QA 3.10"},
        {"pub-checksum.exe", kOk, "3.10", "QA 3.10"},
        {"pub-good-3.4.exe", kRefused, "3.4", "QA 3.4"},
        {"pub-nodot.exe", kRefused, "", ""},
        {"pub-caps.exe", kRefused, "", ""},
        {"pub-untrusted.exe", kRefused, "", ""},
        {"pub-tamper-code.exe", kRefused, "", ""},
        {"pub-tamper-sig.exe", kRefused, "", ""},
        {"pub-two-entries.exe", kRefused, "", ""},
        {"pub-trailing-byte.exe", kRefused, "", ""},
        // Both signatures: the appended one is enough.
        {"app-pub-good.exe", kOk, "3.10", "QA 3.10"},
    };
    for (const auto& c : cases) {
        Judged judged = judge(install(c.file));
        EXPECT_EQ(judged.status, c.status) << c.file;
        EXPECT_EQ(judged.version, c.version) << c.file;
        EXPECT_EQ(judged.specialBuild, c.specialBuild) << c.file;
    }
}

TEST_F(ExecutableChecksTest, VersionResourcesTheBuildSigns) {
    // Fixtures that come unsigned, signed here with the build's own key.
    const struct {
        const char* file;
        uint32_t status;
        const char* version;
        const char* specialBuild;
    } cases[] = {
        {"noversion.exe", cl::kCleanerExecutableRefused, "", ""},
        {"notranslation.exe", cl::kCleanerOk, "3.10", ""},
        // In code page 1252; the character it lacks becomes '?'.
        {"special-nonascii.exe", cl::kCleanerOk, "3.10", "H\xE4lden-\xDF-?"},
        {"qxc-4.0-pe64.exe", cl::kCleanerOk, "4.0", "QA 4.0"},
    };
    for (const auto& c : cases) {
        std::string path = install(c.file);
        if (!signAppended(path))
            GTEST_SKIP() << "the build has no private signing key";
        Judged judged = judge(path);
        EXPECT_EQ(judged.status, c.status) << c.file;
        EXPECT_EQ(judged.version, c.version) << c.file;
        EXPECT_EQ(judged.specialBuild, c.specialBuild) << c.file;
    }
}

TEST_F(ExecutableChecksTest, WhatIsNoExecutableIsRefusedWithoutWaiting) {
    EXPECT_EQ(judge(admin_ + "/missing.exe").status, cl::kCleanerExecutableRefused);
    nvl::sys::makeDirectories(admin_ + "/dir.exe");
    EXPECT_EQ(judge(admin_ + "/dir.exe").status, cl::kCleanerExecutableRefused);
    ASSERT_EQ(::mkfifo((admin_ + "/fifo.exe").c_str(), 0600), 0);
    EXPECT_EQ(judge(admin_ + "/fifo.exe").status, cl::kCleanerExecutableRefused);
    env_.writeFile("home/Admin/empty.exe", "");
    EXPECT_EQ(judge(admin_ + "/empty.exe").status, cl::kCleanerExecutableRefused);
    // The spelling of the name does not matter when the file is not there as spelt.
    install("app-4.0.exe", "QXC.exe");
    EXPECT_EQ(judge(admin_ + "/QXC.EXE").status, cl::kCleanerOk);
}

TEST(SpecialBuildCutTest, CutsAtCharacterBoundaries) {
    const struct {
        std::string text;
        size_t limit;
        uint32_t codePage;
        size_t fits;
    } cases[] = {
        {"abcdef", 4, 1252, 4},          {"abc", 4, 1252, 3},
        {"\x82\xA0\x82\xA2", 3, 932, 2},  // two double-byte characters: the second does not fit
        {"a\x82\xA0", 2, 932, 1},        {"a\x82\xA0", 3, 932, 3},
        {"ab\x82", 3, 932, 3},  // a lead byte at the very end is a character of its own
        {"\xE4\xDF", 1, 1252, 1},        {std::string(300, 'x'), 259, 1252, 259},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cl::cutAtCharacter(c.text, c.limit, c.codePage), c.fits) << c.text;
}

TEST_F(ExecutableChecksTest, TheLibraryAndTheRebuildCallsUseTheChecks) {
    nvl::test::TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    // Version 12345 (0x3039) at bytes 10-11.
    env_.writeFile("home/Admin/qxc.ptn",
                   std::string("\x1A\xE2\xBD\x1A\0\0\0\0\0\0\x39\x30\0\0", 14));
    install("app-3.10.exe");
    unsigned long version = 0;
    EXPECT_EQ(cl::getQXCPattern(&version), 1);
    EXPECT_EQ(version, 12345u);
    install("app-3.4.exe");
    EXPECT_EQ(cl::getQXCPattern(&version), 0);
    EXPECT_EQ(version, 0u);
    bool traced = false;
    for (const auto& text : traces.texts())
        traced |= text == "[InitQXCLIB] Init Lib fail, error code = 0x80000009!!";
    EXPECT_TRUE(traced);
    install("pub-good.exe");
    EXPECT_EQ(cl::CleanerLibInit(admin_.c_str(), nullptr), cl::kCleanerOk);
    EXPECT_EQ(cl::CleanerLibQuit(), cl::kCleanerOk);
}

TEST_F(ExecutableChecksTest, ExecutablesRenamedOverItAreNeverAccepted) {
    // Another process renames, in turn, an appended-signed 3.4 (signature good, version too
    // old) and an unsigned 4.0 (version good, no signature) over QXC.EXE. Judged by path check
    // by check, a call could take its signature from one and its version from the other; judged
    // on one open file, every call refuses.
    const std::string files[] = {readFile(fixture("app-3.4.exe")),
                                 readFile(fixture("qxc-4.0.exe"))};
    ASSERT_FALSE(files[0].empty());
    ASSERT_FALSE(files[1].empty());
    std::string target = admin_ + "/QXC.EXE";
    std::string stop = admin_ + "/stop";
    ASSERT_EQ(nvl::sys::replaceFileAtomically(target, files[0]), 0u);
    Channel started;
    Child renamer([&] {
        std::string temp = admin_ + "/QXC.EXE.new";
        for (unsigned i = 0;; ++i) {
            nvl::sys::UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
            if (!fd || nvl::sys::writeAll(fd.get(), files[(i + 1) % 2]) != 0)
                return 1;
            fd.reset();
            if (::rename(temp.c_str(), target.c_str()) != 0)
                return 2;
            if (i == 0)
                started.post();
            if (::access(stop.c_str(), F_OK) == 0)  // never blocks the loop
                return 0;
        }
    });
    ASSERT_EQ(started.take(), 'x');
    int accepted = 0;
    int otherStatus = 0;
    for (int i = 0; i < 1000; ++i) {
        uint32_t status = cl::CleanerLibInit(admin_.c_str(), nullptr);
        if (status == cl::kCleanerOk) {
            ++accepted;
            cl::CleanerLibQuit();
        } else if (status != cl::kCleanerExecutableRefused) {
            ++otherStatus;
        }
    }
    env_.writeFile("home/Admin/stop", "");
    EXPECT_EQ(renamer.wait(), 0);
    EXPECT_EQ(accepted, 0);
    EXPECT_EQ(otherStatus, 0);
}

}  // namespace
