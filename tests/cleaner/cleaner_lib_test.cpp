// The cleaner library's operations, contexts and options, and the pattern version calls of the
// hot-fix rebuild with their traces. The executable's checks are replaced here by a test hook
// that accepts (they have tests of their own, on real executables: executable_checks_test).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cleaner/cleaner.h"
#include "cleaner/cleaner_settings.h"
#include "cleaner/cleaner_testing.h"
#include "cleaner/option_store.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "support/child_process.h"
#include "support/test_env.h"
#include "support/trace_capture.h"

namespace {

namespace cl = nvl::cleaner;
using cl::CleanerContext;
using nvl::test::Channel;
using nvl::test::Child;
using nvl::test::TestEnv;
using nvl::test::TraceCapture;

std::string patternBytes(uint16_t version, bool lead = false) {
    auto put16 = [](std::string* s, uint16_t v) {
        s->push_back(static_cast<char>(v));
        s->push_back(static_cast<char>(v >> 8));
    };
    std::string bytes;
    if (lead) {  // a leading header with counts 3 and 10, then 30 bytes
        bytes = "NVLB";
        put16(&bytes, 3);
        bytes += std::string(6, '\0');
        put16(&bytes, 10);
        bytes += std::string(30, 'L');
    }
    bytes += "\x1A\xE2\xBD\x1A";
    bytes += std::string(6, 'h');
    put16(&bytes, version);
    bytes += std::string(2, '\0') + "body";
    return bytes;
}

// What the last executable check was given.
std::string g_checkedExecutable, g_checkedSettingsFile;
uint32_t g_checkResult = cl::kCleanerOk;

uint32_t fakeCheck(cl::CleanerSettings* settings) {
    g_checkedExecutable = settings->executablePath;
    g_checkedSettingsFile = settings->settingsPath;
    cl::setField(settings->executableVersion, "4.0");
    return g_checkResult;
}

class CleanerLibTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_checkResult = cl::kCleanerOk;
        cl::setExecutableCheckForTesting(fakeCheck);
        admin_ = env_.home() + "Admin";
        nvl::sys::makeDirectories(admin_);
        ASSERT_EQ(cl::CleanerLibQuit(), cl::kCleanerNotOpen) << "an earlier test left it open";
    }
    void TearDown() override {
        cl::CleanerLibQuit();
        cl::setExecutableCheckForTesting(nullptr);
        EXPECT_EQ(cl::liveContextCountForTesting(), 0u);
    }

    void putPattern(const std::string& name, uint16_t version, bool lead = false) {
        ASSERT_EQ(nvl::sys::replaceFileAtomically(admin_ + "/" + name, patternBytes(version, lead)),
                  0u);
    }

    // Opens the library on Admin with one context.
    CleanerContext* open() {
        EXPECT_EQ(cl::CleanerLibInit(admin_.c_str(), nullptr), cl::kCleanerOk);
        CleanerContext* ctx = nullptr;
        EXPECT_EQ(cl::CleanerContextInit(&ctx, 0), cl::kCleanerOk);
        return ctx;
    }
    void close(CleanerContext* ctx) {
        EXPECT_EQ(cl::CleanerContextQuit(ctx), cl::kCleanerOk);
        EXPECT_EQ(cl::CleanerLibQuit(), cl::kCleanerOk);
    }

    TestEnv env_;
    std::string admin_;
};

TEST_F(CleanerLibTest, EveryOperationButInitNeedsTheLibraryOpen) {
    CleanerContext* ctx = open();
    close(ctx);
    unsigned long value = 0;
    CleanerContext* out = nullptr;
    EXPECT_EQ(cl::CleanerLibQuit(), cl::kCleanerNotOpen);
    EXPECT_EQ(cl::CleanerContextInit(&out, 0), cl::kCleanerNotOpen);
    EXPECT_EQ(cl::CleanerContextInit(nullptr, 0), cl::kCleanerNotOpen);
    EXPECT_EQ(cl::CleanerContextQuit(ctx), cl::kCleanerNotOpen);
    EXPECT_EQ(cl::CleanerContextQuit(nullptr), cl::kCleanerNotOpen);
    EXPECT_EQ(cl::CleanerGetProperty(ctx, cl::kPropertyPatternVersion, &value),
              cl::kCleanerNotOpen);
    EXPECT_EQ(cl::CleanerGetProperty(nullptr, 1, nullptr), cl::kCleanerNotOpen);
    EXPECT_EQ(cl::CleanerSetOption(ctx, 5, "x"), cl::kCleanerNotOpen);
    EXPECT_EQ(cl::CleanerSetOption(nullptr, 10, nullptr), cl::kCleanerNotOpen);
    EXPECT_EQ(out, nullptr);
}

TEST_F(CleanerLibTest, InitTwiceIsRefusedAndAFailedInitLeavesItClosed) {
    ASSERT_EQ(cl::CleanerLibInit(admin_.c_str(), nullptr), cl::kCleanerOk);
    EXPECT_EQ(cl::CleanerLibInit(admin_.c_str(), nullptr), cl::kCleanerAlreadyOpen);
    EXPECT_EQ(cl::CleanerLibQuit(), cl::kCleanerOk);
    EXPECT_EQ(cl::CleanerLibQuit(), cl::kCleanerNotOpen);

    g_checkResult = cl::kCleanerExecutableRefused;
    EXPECT_EQ(cl::CleanerLibInit(admin_.c_str(), nullptr), cl::kCleanerExecutableRefused);
    CleanerContext* ctx = nullptr;
    EXPECT_EQ(cl::CleanerContextInit(&ctx, 0), cl::kCleanerNotOpen);
    g_checkResult = cl::kCleanerOk;
    EXPECT_EQ(cl::CleanerLibInit(admin_.c_str(), nullptr), cl::kCleanerOk);
}

TEST_F(CleanerLibTest, InitArgumentsAndPathLimits) {
    // Paths are <directory>/QXC.EXE and <directory>/QXC.INI; each must fit 260 bytes with its
    // NUL, so a directory of 251 characters is the longest (251 + 1 + 7 = 259).
    std::string dir251 = "/" + std::string(250, 'd');
    const struct {
        const char* name;
        std::optional<std::string> directory, executable;
        uint32_t status;
        std::string checked;  // the executable path the checks were given
    } cases[] = {
        {"default name", admin_, std::nullopt, cl::kCleanerOk, admin_ + "/QXC.EXE"},
        {"given name", admin_, "other.exe", cl::kCleanerOk, admin_ + "/other.exe"},
        {"a trailing separator is not doubled", admin_ + "/", std::nullopt, cl::kCleanerOk,
         admin_ + "/QXC.EXE"},
        {"null directory", std::nullopt, std::nullopt, cl::kCleanerInvalidArgument, ""},
        {"empty directory", "", std::nullopt, cl::kCleanerInvalidArgument, ""},
        {"name starting with a blank", admin_, " QXC.EXE", cl::kCleanerInvalidArgument, ""},
        {"name starting with a tab", admin_, "\tQXC.EXE", cl::kCleanerInvalidArgument, ""},
        {"longest directory", dir251, std::nullopt, cl::kCleanerOk, dir251 + "/QXC.EXE"},
        {"directory one longer", dir251 + "d", std::nullopt, cl::kCleanerInvalidArgument, ""},
        {"directory of 260", "/" + std::string(259, 'd'), std::nullopt, cl::kCleanerInvalidArgument,
         ""},
        {"longest name", "/d", std::string(256, 'n'), cl::kCleanerOk,
         "/d/" + std::string(256, 'n')},
        {"name one longer", "/d", std::string(257, 'n'), cl::kCleanerInvalidArgument, ""},
        {"name of 260", "/d", std::string(260, 'n'), cl::kCleanerInvalidArgument, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_checkedExecutable.clear();
        EXPECT_EQ(cl::CleanerLibInit(c.directory ? c.directory->c_str() : nullptr,
                                     c.executable ? c.executable->c_str() : nullptr),
                  c.status);
        EXPECT_EQ(g_checkedExecutable, c.checked);
        if (c.status == cl::kCleanerOk) {
            EXPECT_EQ(g_checkedSettingsFile,
                      c.checked.substr(0, c.checked.rfind('/')) + "/QXC.INI");
            EXPECT_EQ(cl::CleanerLibQuit(), cl::kCleanerOk);
        }
    }
}

TEST_F(CleanerLibTest, AContextStartsWithTheSettingsFilesOptions) {
    env_.writeFile("home/Admin/QXC.INI",
                   "[advanced]\nDisableConsoleOutput=1\nDebugInfoLevel=4\nExtraOutputs=x.log\n"
                   "[options]\nVirusMsgbox=1\nBackupDir=bak\n");
    CleanerContext* ctx = open();
    const struct {
        int id;
        uint32_t status;
        unsigned long value;
    } cases[] = {
        {cl::kOptionDisableConsoleOutput, cl::kCleanerOk, 1},
        {cl::kOptionDisableReportOutput, cl::kCleanerOk, 0},
        {cl::kOptionDisableDebugOutput, cl::kCleanerOk, 0},
        {cl::kOptionDebugInfoLevel, cl::kCleanerOk, 4},
        {cl::kOptionBackupFile, cl::kCleanerOk, 0},
        {cl::kOptionVirusMsgbox, cl::kCleanerOk, 1},
        {cl::kOptionNoneMsgbox, cl::kCleanerOk, 0},
        {cl::kOptionInterfaceVersion, cl::kCleanerOk, 0x10001},
        // Texts have no 32-bit value to give; unknown ids are not found.
        {cl::kOptionBackupDir, cl::kCleanerInvalidArgument, 77},
        {cl::kOptionIncludeList, cl::kCleanerInvalidArgument, 77},
        {0x1000006, cl::kCleanerInvalidArgument, 77},
    };
    for (const auto& c : cases) {
        unsigned long value = 77;
        EXPECT_EQ(cl::CleanerGetProperty(ctx, c.id, &value), c.status) << std::hex << c.id;
        EXPECT_EQ(value, c.value) << std::hex << c.id;
    }
    EXPECT_EQ(cl::CleanerGetProperty(ctx, cl::kOptionDebugInfoLevel, nullptr),
              cl::kCleanerInvalidArgument);
    // The store's texts, in the order they were made.
    std::vector<std::string> texts;
    for (const cl::OptionItem& item : ctx->store->items()) {
        if (item.kind == cl::OptionKind::Text)
            texts.push_back(std::to_string(item.id) + "=" + item.text);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"5=x.log", "4=report", "2=bak", "3=debug",
                                               "1=" + admin_, "6=qxc.ptn"}));
    EXPECT_EQ(ctx->store->executablePath, admin_ + "/QXC.EXE");
    EXPECT_EQ(cl::CleanerContextInit(nullptr, 0), cl::kCleanerInvalidArgument);
    close(ctx);
}

TEST_F(CleanerLibTest, OnlyLiveContextsAreAccepted) {
    CleanerContext* ctx = open();
    CleanerContext* second = nullptr;
    ASSERT_EQ(cl::CleanerContextInit(&second, 0), cl::kCleanerOk);
    EXPECT_EQ(cl::liveContextCountForTesting(), 2u);
    EXPECT_EQ(cl::CleanerContextQuit(second), cl::kCleanerOk);
    // The released handle is refused without being read (its memory is gone: under the address
    // sanitizer a read would fail the test).
    unsigned long value = 0;
    EXPECT_EQ(cl::CleanerGetProperty(second, cl::kOptionInterfaceVersion, &value),
              cl::kCleanerInvalidArgument);
    EXPECT_EQ(cl::CleanerSetOption(second, 5, "x"), cl::kCleanerInvalidArgument);
    EXPECT_EQ(cl::CleanerContextQuit(second), cl::kCleanerInvalidArgument);
    // A record the library did not make is refused, marker or not.
    cl::CleanerOptionStore store;
    CleanerContext forged{cl::kContextMarker, &store};
    EXPECT_EQ(cl::CleanerGetProperty(&forged, cl::kOptionInterfaceVersion, &value),
              cl::kCleanerInvalidArgument);
    EXPECT_EQ(cl::CleanerContextQuit(&forged), cl::kCleanerInvalidArgument);
    EXPECT_EQ(cl::CleanerGetProperty(nullptr, cl::kOptionInterfaceVersion, &value),
              cl::kCleanerInvalidArgument);
    // A context outlives the library's close and is released once it is open again.
    EXPECT_EQ(cl::CleanerLibQuit(), cl::kCleanerOk);
    EXPECT_EQ(cl::CleanerLibInit(admin_.c_str(), nullptr), cl::kCleanerOk);
    EXPECT_EQ(cl::CleanerGetProperty(ctx, cl::kOptionInterfaceVersion, &value), cl::kCleanerOk);
    EXPECT_EQ(value, 0x10001u);
    close(ctx);
}

TEST_F(CleanerLibTest, SetOptionChecks) {
    CleanerContext* ctx = open();
    std::string text259(259, 't');
    std::string text260(260, 't');
    const struct {
        CleanerContext* ctx;
        int id;
        const char* value;
        uint32_t status;
    } cases[] = {
        {ctx, 5, nullptr, cl::kCleanerInvalidArgument},
        {ctx, 2, text259.c_str(), cl::kCleanerOk},
        {ctx, 1, text260.c_str(), cl::kCleanerInvalidArgument},
        {ctx, 2, text260.c_str(), cl::kCleanerInvalidArgument},
        {ctx, 3, text260.c_str(), cl::kCleanerInvalidArgument},
        {ctx, 4, text260.c_str(), cl::kCleanerInvalidArgument},
        {ctx, 6, text260.c_str(), cl::kCleanerInvalidArgument},
        {ctx, 5, text260.c_str(), cl::kCleanerOk},  // no limit of its own
        {ctx, 7, "x", cl::kCleanerInvalidArgument},
        {ctx, 8, "x", cl::kCleanerInvalidArgument},
        {ctx, 12, "x", cl::kCleanerInvalidArgument},
        {ctx, 10, "x", cl::kCleanerOptionNotSupported},
        {ctx, 11, "x", cl::kCleanerOptionNotSupported},
        {ctx, 99, "x", cl::kCleanerOk},
        {ctx, 0x2000004, "x", cl::kCleanerOk},
        // The value is checked before the handle.
        {nullptr, 10, "x", cl::kCleanerOptionNotSupported},
        {nullptr, 1, text260.c_str(), cl::kCleanerInvalidArgument},
        {nullptr, 9, "x", cl::kCleanerInvalidArgument},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cl::CleanerSetOption(c.ctx, c.id, c.value), c.status)
            << c.id << " " << (c.value ? std::strlen(c.value) : 0);
    }
    close(ctx);
}

TEST_F(CleanerLibTest, Id5AccumulatesAndIds1And6RedirectTheVersionQuery) {
    env_.writeFile("home/Admin/QXC.INI", "[advanced]\nExtraOutputs=first\n");
    putPattern("qxc.ptn", 111);
    putPattern("other.ptn", 222, true);
    nvl::sys::makeDirectories(env_.root() + "/elsewhere");
    ASSERT_EQ(
        nvl::sys::replaceFileAtomically(env_.root() + "/elsewhere/other.ptn", patternBytes(333)),
        0u);
    CleanerContext* ctx = open();
    EXPECT_EQ(cl::CleanerSetOption(ctx, 5, "second"), cl::kCleanerOk);
    EXPECT_EQ(cl::CleanerSetOption(ctx, 5, "third"), cl::kCleanerOk);
    EXPECT_EQ(ctx->store->find(5)->text, "first\nsecond\nthird");

    unsigned long version = 0;
    EXPECT_EQ(cl::CleanerGetProperty(ctx, cl::kPropertyPatternVersion, &version), cl::kCleanerOk);
    EXPECT_EQ(version, 111u);
    EXPECT_EQ(cl::CleanerSetOption(ctx, cl::kOptionPatternName, "other.ptn"), cl::kCleanerOk);
    EXPECT_EQ(cl::CleanerGetProperty(ctx, cl::kPropertyPatternVersion, &version), cl::kCleanerOk);
    EXPECT_EQ(version, 222u);
    EXPECT_EQ(
        cl::CleanerSetOption(ctx, cl::kOptionPatternDir, (env_.root() + "/elsewhere/").c_str()),
        cl::kCleanerOk);
    EXPECT_EQ(cl::CleanerGetProperty(ctx, cl::kPropertyPatternVersion, &version), cl::kCleanerOk);
    EXPECT_EQ(version, 333u);
    EXPECT_EQ(cl::CleanerSetOption(ctx, cl::kOptionPatternName, "missing.ptn"), cl::kCleanerOk);
    version = 5;
    EXPECT_EQ(cl::CleanerGetProperty(ctx, cl::kPropertyPatternVersion, &version),
              cl::kCleanerPatternNotFound);
    EXPECT_EQ(version, 5u);
    EXPECT_EQ(cl::CleanerGetProperty(ctx, cl::kPropertyPatternVersion, nullptr),
              cl::kCleanerInvalidArgument);
    // Directory and name together must fit 260 bytes with the separator and the NUL.
    std::string dir = "/" + std::string(250, 'p');  // + "/" + "missing.ptn" = 263
    EXPECT_EQ(cl::CleanerSetOption(ctx, cl::kOptionPatternDir, dir.c_str()), cl::kCleanerOk);
    EXPECT_EQ(cl::CleanerGetProperty(ctx, cl::kPropertyPatternVersion, &version),
              cl::kCleanerInvalidArgument);
    close(ctx);
}

// --- The calls of the hot-fix rebuild --------------------------------------------------------

bool hasTrace(const std::vector<nvl::test::TraceRecord>& records, const std::string& text) {
    for (const auto& record : records) {
        if (record.text == text)
            return record.level == 5 && record.source == "src\\Server\\libCGIShare\\cgi_QXC.cpp";
    }
    return false;
}

TEST_F(CleanerLibTest, PatternVersionsOfTheRebuild) {
    TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    putPattern("qxc.ptn", 1234, true);
    putPattern("hladce.ptn", 65535);
    unsigned long version = 7;
    EXPECT_EQ(cl::getQXCPattern(&version), 1);
    EXPECT_EQ(version, 1234u);
    EXPECT_EQ(g_checkedExecutable, admin_ + "/QXC.EXE");
    EXPECT_EQ(cl::getKPWSpyPattern(&version), 1);
    EXPECT_EQ(version, 65535u);
    // Both leave the library closed, with no context behind.
    EXPECT_EQ(cl::CleanerLibQuit(), cl::kCleanerNotOpen);
    EXPECT_EQ(cl::liveContextCountForTesting(), 0u);
    EXPECT_EQ(traces.take().size(), 0u);

    // The settings' pattern name applies to the cleaner pattern, not to the spyware pattern.
    env_.writeFile("home/Admin/QXC.INI", "[advanced]\nPatternName=qxc2.ptn\n");
    putPattern("qxc2.ptn", 2);
    EXPECT_EQ(cl::getQXCPattern(&version), 1);
    EXPECT_EQ(version, 2u);
    EXPECT_EQ(cl::getKPWSpyPattern(&version), 1);
    EXPECT_EQ(version, 65535u);
    // The tool directory is found whatever the case of its spelling on disk.
    ASSERT_EQ(::rename(admin_.c_str(), (env_.home() + "ADMIN").c_str()), 0);
    EXPECT_EQ(cl::getQXCPattern(&version), 1);
    EXPECT_EQ(version, 2u);
    ASSERT_EQ(::rename((env_.home() + "ADMIN").c_str(), admin_.c_str()), 0);

    ::unlink((admin_ + "/qxc2.ptn").c_str());
    ::unlink((admin_ + "/hladce.ptn").c_str());
    version = 7;
    EXPECT_EQ(cl::getQXCPattern(&version), 0);
    EXPECT_EQ(version, 0u);
    version = 7;
    EXPECT_EQ(cl::getKPWSpyPattern(&version), 0);
    EXPECT_EQ(version, 0u);
    auto records = traces.take();
    EXPECT_TRUE(hasTrace(records,
                         "[getQXCPattern] Bad QXC pattern number, error code = "
                         "-2147483640!!"));
    EXPECT_TRUE(hasTrace(records,
                         "[getKPWSpyPattern] Bad KPW Spyware pattern number, error "
                         "code = -2147483640!!"));
    EXPECT_EQ(cl::getQXCPattern(nullptr), 0);
    EXPECT_EQ(cl::CleanerLibQuit(), cl::kCleanerNotOpen);
}

TEST_F(CleanerLibTest, InitQXCLIBFailuresLeaveTheLibraryClosed) {
    TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    putPattern("qxc.ptn", 5);
    unsigned long version = 7;

    g_checkResult = cl::kCleanerExecutableRefused;
    EXPECT_EQ(cl::getQXCPattern(&version), 0);
    EXPECT_EQ(version, 0u);
    EXPECT_TRUE(hasTrace(traces.take(), "[InitQXCLIB] Init Lib fail, error code = 0x80000009!!"));
    g_checkResult = cl::kCleanerOk;

    // A context that cannot be made closes the library again, so the next call opens it.
    CleanerContext* ctx = nullptr;
    EXPECT_EQ(cl::InitQXCLIB(nullptr), 0);
    EXPECT_TRUE(hasTrace(traces.take(),
                         "[InitQXCLIB] Init Context fail, error code = "
                         "-2147483643!!"));
    EXPECT_EQ(cl::InitQXCLIB(&ctx), 1);
    ASSERT_NE(ctx, nullptr);
    cl::QuitQXCLIB(&ctx);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_EQ(traces.take().size(), 0u);

    // Quitting what is not open is traced, not fatal.
    cl::QuitQXCLIB(&ctx);
    auto records = traces.take();
    EXPECT_TRUE(hasTrace(records, "[QuitQXCLIB] Quit Context fail, error code = -2147483629!!"));
    EXPECT_TRUE(hasTrace(records, "[QuitQXCLIB] Quit Lib fail, error code = -2147483629!!"));

    // A library someone else left open: "already open".
    ASSERT_EQ(cl::CleanerLibInit(admin_.c_str(), nullptr), cl::kCleanerOk);
    EXPECT_EQ(cl::getQXCPattern(&version), 0);
    EXPECT_TRUE(hasTrace(traces.take(), "[InitQXCLIB] Init Lib fail, error code = 0x80000012!!"));
    EXPECT_EQ(cl::CleanerLibQuit(), cl::kCleanerOk);

    // No home directory: nothing is opened.
    env_.writeFile("etc/registry.reg", "Windows Registry Editor Version 5.00\r\n\r\n");
    nvl::sys::forgetRegistryCache();
    g_checkedExecutable.clear();
    EXPECT_EQ(cl::getQXCPattern(&version), 0);
    EXPECT_EQ(g_checkedExecutable, "");
    EXPECT_TRUE(hasTrace(traces.take(), "[InitQXCLIB] Can't get the server home directory!!"));
    EXPECT_EQ(cl::CleanerLibQuit(), cl::kCleanerNotOpen);
}

TEST_F(CleanerLibTest, ThreadsTakeTurnsOnTheLibrary) {
    // Without the process lock one thread would close the library under another, whose query
    // would then fail with "not open" (or its open with "already open").
    putPattern("qxc.ptn", 42);
    putPattern("hladce.ptn", 43);
    constexpr int kThreads = 6;
    constexpr int kCalls = 60;
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < kCalls; ++i) {
                unsigned long version = 0;
                bool spyware = (t + i) % 2 == 0;
                int result = spyware ? cl::getKPWSpyPattern(&version) : cl::getQXCPattern(&version);
                if (result != 1 || version != (spyware ? 43u : 42u))
                    ++failures[t];
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
}

TEST_F(CleanerLibTest, APatternReplacedByRenameGivesTheOldOrTheNewVersion) {
    // Another process keeps renaming a new file over qxc.ptn, in turn a plain one (100) and one
    // behind a leading block (200). Every query sees one whole file: its version, never 0.
    putPattern("qxc.ptn", 100);
    std::string target = admin_ + "/qxc.ptn";
    Channel started;
    Child renamer([&] {
        const std::string files[] = {patternBytes(200, true), patternBytes(100)};
        std::string temp = admin_ + "/qxc.ptn.new";
        for (unsigned i = 0;; ++i) {
            nvl::sys::UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
            if (!fd || nvl::sys::writeAll(fd.get(), files[i % 2]) != 0)
                return 1;
            fd.reset();
            if (::rename(temp.c_str(), target.c_str()) != 0)
                return 2;
            if (i == 0)
                started.post();
            // Stop when the test says so (a file, so that the loop never blocks).
            if (::access((admin_ + "/stop").c_str(), F_OK) == 0)
                return 0;
        }
    });
    ASSERT_EQ(started.take(), 'x');
    int bad = 0;
    int seen[2] = {0, 0};
    for (int i = 0; i < 1000; ++i) {
        unsigned long version = 0;
        int result = cl::getQXCPattern(&version);
        if (result == 1 && version == 100)
            ++seen[0];
        else if (result == 1 && version == 200)
            ++seen[1];
        else
            ++bad;
    }
    env_.writeFile("home/Admin/stop", "");
    EXPECT_EQ(renamer.wait(), 0);
    EXPECT_EQ(bad, 0);
    RecordProperty("old_new", std::to_string(seen[0]) + "/" + std::to_string(seen[1]));
}

}  // namespace
