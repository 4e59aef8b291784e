// The hot-fix rebuild across processes: every kind end to end in a rebuild process of its own
// (hotfix_rebuild_child), a source that another process holds open, two rebuilds at once,
// readers of a package while new sources are published, and rebuilds killed between their
// steps. Every package is checked with an independent zip reader (unzip): its one entry's name,
// CRC and bytes against the source.
//
// Orderings come from the rebuild's named stop points (TARSK_TEST_STOP_AT: the process stops
// itself, the test sees it stopped and continues or kills it), from the kernel's view of a
// process (asleep in a lock or in a timed pause) and from pipe messages, never from sleeps.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cgishare/hotfix.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cleaner/cleaner.h"
#include "cleaner/cleaner_testing.h"
#include "pattern/hotfix_internal.h"
#include "pattern_format.h"
#include "platform/file.h"
#include "platform/named_object.h"
#include "platform/profile.h"
#include "support/child_process.h"
#include "support/test_env.h"
#include "support/trace_capture.h"
#include "support/web_server.h"

extern char** environ;

namespace {

using nvl::test::Channel;
using nvl::test::Child;
using nvl::test::readFile;
using nvl::test::runAndCapture;

constexpr char kExecutables[] = CGISHARE_BINARY_DIR "/fixtures/executables/";

std::string profile(const std::string& path, const char* section, const char* key) {
    char value[2048] = "";
    nvl::sys::getPrivateProfileString(section, key, "", value, sizeof value, path.c_str());
    return value;
}

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

int64_t sizeOf(const std::string& path) {
    std::error_code error;
    auto size = std::filesystem::file_size(path, error);
    return error ? -1 : static_cast<int64_t>(size);
}

// What unzip finds wrong with `zip` as the package of one source: "" when it lists exactly the
// entry `name`, its test (the CRC of the inflated data against the stored one) passes, and the
// data are `bytes`; otherwise what differs.
std::string zipMismatch(const std::string& zip, const std::string& name, const std::string& bytes) {
    int status = -1;
    std::string names = runAndCapture({"unzip", "-Z1", zip}, &status);
    if (status != 0 || names != name + "\n")
        return "entries: " + names;
    runAndCapture({"unzip", "-tqq", zip}, &status);
    if (status != 0)
        return "unzip -t failed";
    std::string data = runAndCapture({"unzip", "-p", zip, name}, &status);
    if (status != 0 || data != bytes)
        return "data differ (" + std::to_string(data.size()) + " bytes, the source has " +
               std::to_string(bytes.size()) + ")";
    return "";
}

// Every file below `dir`, relative to it, but for the lock file that the manifest's writers
// share (server.ini.lock), which stays.
std::set<std::string> filesBelow(const std::string& dir) {
    std::set<std::string> files;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error))
        if (!it->is_directory())
            files.insert(std::filesystem::relative(it->path(), dir).string());
    files.erase("server.ini.lock");
    return files;
}

size_t countOf(const std::vector<std::string>& texts, const std::string& part) {
    size_t n = 0;
    for (const std::string& t : texts)
        n += t.find(part) != std::string::npos ? 1 : 0;
    return n;
}

// A copy of a test executable whose fixed file information says major.minor.build.revision.
std::string executableWithVersion(uint16_t major, uint16_t minor, uint16_t build,
                                  uint16_t revision) {
    std::string bytes = readFile(std::string(kExecutables) + "qxc-3.4.exe");
    size_t at = bytes.find(std::string_view("\xBD\x04\xEF\xFE", 4));  // its signature
    if (at == std::string::npos || at + 16 > bytes.size())
        return "";
    auto put32 = [&](size_t offset, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes[offset + i] = static_cast<char>(v >> (8 * i));
    };
    put32(at + 8, uint32_t{major} << 16 | minor);
    put32(at + 12, uint32_t{build} << 16 | revision);
    return bytes;
}

// Stopped by SIGSTOP (a stop point), not ended.
bool stoppedAtTestStop(pid_t pid) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WEXITED | WNOWAIT) != 0)
        if (errno != EINTR)
            return false;
    return info.si_code == CLD_STOPPED && info.si_status == SIGSTOP;
}

// True once `pid` is asleep in a timed sleep: the rebuild's pause between two attempts to
// open a source in use (nothing before it in a rebuild sleeps). False when the process stopped
// or ended first, or after 20 s.
bool asleepInPause(pid_t pid) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::string proc = "/proc/" + std::to_string(pid);
    while (std::chrono::steady_clock::now() < until) {
        std::string stat = readFile(proc + "/stat");
        size_t paren = stat.rfind(')');
        if (paren == std::string::npos || paren + 2 >= stat.size() ||
            std::string("TtZX").find(stat[paren + 2]) != std::string::npos)
            return false;
        std::ifstream in(proc + "/syscall");
        long number = -1;
        if (in >> number && (number == 230 || number == 35))  // clock_nanosleep, nanosleep
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// A server home for rebuilds: the manifest with its two sections, nvlscan.ini with a short
// pending wait (50 ms, 3 retries), the cleaner's directory.
class HotfixWorld : public ::testing::Test {
  public:
    const std::string& home() const { return env_.home(); }

    // Writes `bytes` to the home's `name` atomically and returns them.
    std::string put(const std::string& name, const std::string& bytes) {
        EXPECT_EQ(0u, nvl::sys::replaceFileAtomically(home() + name, bytes)) << name;
        return bytes;
    }
    // A pattern of the engine's format with internal version `version` and a generated body.
    std::string putPattern(const std::string& name, uint32_t version, uint64_t bodyBytes = 8192,
                           uint64_t seed = 1) {
        marlin32::PatternContent content;
        content.internalVersion = version;
        content.types = {{1, 2, "Worm"}};
        content.extList = "{*;EXE}";
        std::string error;
        EXPECT_EQ(marlin32::kOk, marlin32::writePatternFileAtomically(home() + name, content,
                                                                      bodyBytes, seed, &error))
            << error;
        return readFile(home() + name);
    }
    // A cleaner pattern with `version` (the cleaner's own tool makes it).
    std::string putCleanerPattern(const std::string& name, int version) {
        int status = -1;
        runAndCapture({NVL_CLEANER_PATTERN, "write", home() + name, "--version",
                       std::to_string(version), "--body-bytes", "20000"},
                      &status);
        EXPECT_EQ(0, status) << name;
        return readFile(home() + name);
    }

  protected:
    void SetUp() override {
        manifest_ = env_.writeFile("home/download/server.ini", "[PATTERN]\r\n[ENGINE]\r\n");
        ini_ = env_.writeFile("home/nvlscan.ini",
                              "[INI_SERVER_SECTION]\r\nPattern_Pending_Time=50\r\n"
                              "Pattern_Pending_ReTry=3\r\n");
        ASSERT_EQ(0u, nvl::sys::makeDirectories(home() + "Admin"));
        // For the kinds rebuilt in this process: the cleaner's executable is not judged here.
        nvl::cleaner::setExecutableCheckForTesting(
            [](nvl::cleaner::CleanerSettings*) -> uint32_t { return nvl::cleaner::kCleanerOk; });
    }
    void TearDown() override { nvl::cleaner::setExecutableCheckForTesting(nullptr); }

    // Starts hotfix_rebuild_child for `kind` with this process's environment and `extra`
    // ("NAME=value"); its output goes to a file of its own.
    std::unique_ptr<Child> startRebuild(int kind, const std::vector<std::string>& extra = {}) {
        auto texts = std::make_shared<std::vector<std::string>>(
            std::vector<std::string>{HOTFIX_REBUILD_CHILD, std::to_string(kind)});
        auto envTexts = std::make_shared<std::vector<std::string>>();
        for (char** e = environ; *e != nullptr; ++e)
            envTexts->push_back(*e);
        envTexts->insert(envTexts->end(), extra.begin(), extra.end());
        std::string out = env_.root() + "/rebuild-" + std::to_string(++started_) + ".out";
        outputs_.push_back(out);
        return std::make_unique<Child>(
            [texts, envTexts, out] {
                std::vector<char*> argv, envp;
                for (std::string& a : *texts)
                    argv.push_back(a.data());
                argv.push_back(nullptr);
                for (std::string& e : *envTexts)
                    envp.push_back(e.data());
                envp.push_back(nullptr);
                int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                if (fd >= 0)
                    ::dup2(fd, 1);
                ::execve(argv[0], argv.data(), envp.data());
                return 127;
            },
            120);
    }
    // What the last started rebuild printed (its version text).
    std::string lastOutput() const { return readFile(outputs_.back()); }

    // The rebuild of `kind` in a process of its own, to its end: its exit status.
    int rebuild(int kind) { return startRebuild(kind)->wait(); }

    nvl::test::TestEnv env_;
    std::string manifest_, ini_;
    int started_ = 0;
    std::vector<std::string> outputs_;
};

// --- Every kind, end to end ----------------------------------------------------------------

struct KindCase {
    int kind;
    std::function<std::string(HotfixWorld&)> putSource;  // writes the source, returns it
    std::string entry;                                   // its name in the package
    std::string display;
    const char* section;
    const char* key;
    std::string manifestValue;  // "{size}" stands for the package's size
    const char* component;
    std::string componentValue;
    const char* versionKey;
    std::string versionValue;
    std::string package;
    std::vector<const char*> mergeKeys;
};

class HotfixKinds : public HotfixWorld {};

std::string cleanerSource(HotfixWorld& w) {
    return w.put("Admin/QXC.exe", executableWithVersion(1, 2, 0, 345));
}
std::string cleanerPatternSource(HotfixWorld& w) {
    return w.putCleanerPattern("Admin/qxc.ptn", 4321);
}
std::string spywareCleanupSource(HotfixWorld& w) {
    return w.putCleanerPattern("Admin/hladce.ptn", 65535);
}
// Two files of the stem: the higher version under the lower number is the source.
std::function<std::string(HotfixWorld&)> newestSource(std::string stem, uint32_t version) {
    return [stem, version](HotfixWorld& w) {
        w.putPattern(stem + ".100", 2, 4096, 2);
        return w.putPattern(stem + ".099", version, 300000, 3);
    };
}

TEST_F(HotfixKinds, EachKindIsPackedPublishedAndRecorded) {
    // clang-format off
    const std::vector<KindCase> cases = {
        {2, cleanerSource, "QXC.exe", "1.2.345", "ENGINE", "E.1000000",
         "MARLIN32_QXC, engine/QXC.zip, 1.2.345, {size}, 1.0", "6108", "73728 345 0",
         "QXCEng_Version", "1.2.345", "download/Engine/QXC.zip", {}},
        {3, cleanerPatternSource, "qxc.ptn", "4321", "PATTERN", "P.800",
         "Pattern/QXCPtn.zip, 4321, {size}", "6107", "4321 0 0",
         "QXCPtn_Version", "4321", "download/Pattern/QXCPtn.zip",
         {"P.800.MergeCountEx", "P.800.MergeCountIU"}},
        {4, spywareCleanupSource, "hladce.ptn", "65535", "PATTERN", "P.1000000",
         "Pattern/Hladce.zip, 65535, {size}", "6033", "65535 0 0",
         "KPW_Spy_Ptn_Version", "65535", "download/Pattern/Hladce.zip",
         {"P.1000000.MergeCountEx"}},
        {6, newestSource("hlwhite", 512345), "hlwhite.099", "5.123.45", "PATTERN", "P.20000020",
         "Pattern/hlwhite.zip, 512345, {size}", "6051", "512345 0 0",
         "Trap_WhiteList_Version", "512345", "download/Pattern/hlwhite.zip",
         {"P.20000020.MergeCountEx", "P.20000020.MergeCountIU"}},
        {7, newestSource("hlblack", 600001), "hlblack.099", "6.000.01", "PATTERN", "P.20000040",
         "Pattern/hlblack.zip, 600001, {size}", "6052", "600001 0 0",
         "Trap_BlackList_Version", "600001", "download/Pattern/hlblack.zip",
         {"P.20000040.MergeCountEx", "P.20000040.MergeCountIU"}},
        {9, newestSource("tkaptn", 5), "tkaptn.099", "0.000.05", "PATTERN", "P.20000400",
         "Pattern/tkaptn.zip, 5, {size}", "6065", "5 0 0",
         "TARSK_MARLIN_Spy_Pattern_Version", "5", "download/Pattern/tkaptn.zip",
         {"P.20000400.MergeCountEx", "P.20000400.MergeCountIU"}},
    };
    // clang-format on
    // The spyware-cleanup kind tells the cleaner's service through an event.
    nvl::sys::Handle cleanEvent =
        nvl::sys::createEvent("_AFX_CMNSRC_CLEANSPYWAREINFO_H__453877AA_E0F7_GENLIST", true, false);
    ASSERT_TRUE(cleanEvent);
    for (const KindCase& c : cases) {
        SCOPED_TRACE("kind " + std::to_string(c.kind));
        std::string source = c.putSource(*this);
        ASSERT_FALSE(source.empty());
        std::string package = home() + c.package;
        if (c.kind == 2) {  // the rebuild makes the engine's package directory
            ASSERT_FALSE(exists(home() + "download/Engine"));
        }
        if (c.kind == 4) {
            ASSERT_EQ(nvl::sys::kWaitTimeout, nvl::sys::waitForSingleObject(cleanEvent.get(), 0));
        }

        ASSERT_EQ(1, rebuild(c.kind));
        EXPECT_EQ(c.display + "\n", lastOutput());
        EXPECT_EQ("", zipMismatch(package, c.entry, source));
        std::string value = c.manifestValue;
        value.replace(value.find("{size}"), 6, std::to_string(sizeOf(package)));
        EXPECT_EQ(value, profile(manifest_, c.section, c.key));
        EXPECT_EQ(c.componentValue,
                  profile(home() + "private/component.ini", c.component, "Version"));
        EXPECT_NE("", profile(home() + "private/component.ini", c.component, "LastUpdate"));
        EXPECT_EQ(c.versionValue, profile(ini_, "INI_PROGRAM_VERSION_SECTION", c.versionKey));
        for (const char* merge : c.mergeKeys)
            EXPECT_EQ("0", profile(manifest_, "PATTERN", merge)) << merge;
        EXPECT_EQ((std::set<std::string>{"server.ini", c.package.substr(9)}),
                  filesBelow(home() + "download"));
        if (c.kind == 4) {
            EXPECT_EQ(nvl::sys::kWaitObject0,
                      nvl::sys::waitForSingleObject(cleanEvent.get(), 10000));
        }

        // Published: the next rebuild finds the same version and changes nothing.
        std::string packageBytes = readFile(package);
        EXPECT_EQ(0, rebuild(c.kind));
        EXPECT_EQ(c.display + "\n", lastOutput());
        EXPECT_EQ(packageBytes, readFile(package));
        ::unlink(package.c_str());
    }
}

TEST_F(HotfixKinds, TheSameVersionIsNotRebuilt) {
    struct Case {
        const char* name;
        int kind;
        std::function<void(HotfixKinds&)> setUp;
        std::string display;
    };
    const std::vector<Case> cases = {
        {"the cleaner as the manifest announces it", 2,
         [](HotfixKinds& t) {
             t.put("Admin/QXC.exe", executableWithVersion(1, 2, 0, 345));
             t.put("download/server.ini",
                   "[ENGINE]\r\nE.1000000=MARLIN32_QXC, engine/QXC.zip, 1.2.345, 100, 1.0\r\n");
         },
         "1.2.345"},
        {"minor 2000 against the manifest's 1.2", 2,
         [](HotfixKinds& t) {
             t.put("Admin/QXC.exe", executableWithVersion(1, 2000, 0, 0));
             t.put("download/server.ini",
                   "[ENGINE]\r\nE.1000000=MARLIN32_QXC, engine/QXC.zip, 1.2, 100, 1.0\r\n");
         },
         "1.2000.0"},
        {"a cleaner pattern whose version reads 0", 3,
         [](HotfixKinds& t) { t.putCleanerPattern("Admin/qxc.ptn", 0); }, "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.setUp(*this);
        std::string manifest = readFile(manifest_);
        nvl::test::TraceCapture traces;
        EXPECT_EQ(0, rebuild(c.kind));
        EXPECT_EQ(c.display + "\n", lastOutput());
        EXPECT_EQ(1u, countOf(traces.texts(), "Hotfix>The same version as current pattern."));
        EXPECT_EQ(manifest, readFile(manifest_));
        EXPECT_EQ(std::set<std::string>{"server.ini"}, filesBelow(home() + "download"));
        EXPECT_FALSE(exists(home() + "private/component.ini"));
    }
}

// --- A source in use --------------------------------------------------------------------------

TEST_F(HotfixWorld, ASourceHeldOpenIsWaitedForAndPublishedOnlyWhenItDidNotChange) {
    for (bool appended : {false, true}) {
        SCOPED_TRACE(appended ? "the holder appends while the rebuild waits" : "left as it is");
        std::string source = putPattern("hlwhite.100", 300000 + appended, 200000, 4);
        std::string path = home() + "hlwhite.100";
        Channel toHolder, fromHolder;
        Child holder([&] {
            int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                return 3;
            fromHolder.post('r');
            for (;;) {
                char c = toHolder.take();
                if (c != 'a')
                    return c == 'q' ? 0 : 4;
                int w = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
                bool ok = w >= 0 && ::write(w, "more", 4) == 4;
                ::close(w);
                fromHolder.post(ok ? 'A' : 'F');
            }
        });
        ASSERT_EQ('r', fromHolder.take());

        nvl::test::TraceCapture traces;
        auto rebuilding = startRebuild(6, {"TARSK_TEST_STOP_AT=hotfix-packed"});
        if (appended) {
            // The rebuild has taken the source's state and pauses between its attempts.
            ASSERT_TRUE(asleepInPause(rebuilding->pid()));
            toHolder.post('a');
            ASSERT_EQ('A', fromHolder.take());
        }
        ASSERT_TRUE(stoppedAtTestStop(rebuilding->pid()));
        ASSERT_EQ(0, ::kill(rebuilding->pid(), SIGCONT));
        int result = rebuilding->wait();
        toHolder.post('q');
        EXPECT_EQ(0, holder.wait());

        // Four attempts, three pauses, then packing anyway.
        std::vector<std::string> texts = traces.texts();
        EXPECT_EQ(1u, countOf(texts, "Hotfix> Try to access (" + path + ") WaitTime<50> Retry<3>"));
        EXPECT_EQ(3u, countOf(texts,
                              "Hotfix> Access Error. This file haven't touch yet. (" + path + ")"));
        EXPECT_EQ(3u, countOf(texts, "Hotfix> Access Error. going to sleep."));
        EXPECT_EQ(3u, countOf(texts, "Hotfix> Access Error. wake up and continue."));
        EXPECT_EQ(1u, countOf(texts, "Hotfix> Access Error. Retry count is over max. <4/3>"));
        EXPECT_EQ(0u, countOf(texts, "Hotfix> Can access."));
        EXPECT_EQ(1u, countOf(texts, "Hotfix> AddFileToZip( ) return<0>"));
        std::string package = home() + "download/Pattern/hlwhite.zip";
        if (!appended) {
            EXPECT_EQ(1, result);
            EXPECT_EQ("", zipMismatch(package, "hlwhite.100", source));
            EXPECT_EQ("Pattern/hlwhite.zip, 300000, " + std::to_string(sizeOf(package)),
                      profile(manifest_, "PATTERN", "P.20000020"));
            ::unlink(package.c_str());
        } else {
            EXPECT_EQ(0, result);
            EXPECT_EQ(1u, countOf(texts, "changed while it was packed; nothing is published."));
            EXPECT_FALSE(exists(package));
            EXPECT_EQ("", profile(manifest_, "PATTERN", "P.20000020"));
            EXPECT_FALSE(exists(home() + "private/component.ini"));
        }
        EXPECT_EQ(std::set<std::string>{"server.ini"}, filesBelow(home() + "download"));
        put("download/server.ini", "[PATTERN]\r\n");
        ::unlink((home() + "private/component.ini").c_str());
    }
}

// --- Rebuilds at once -------------------------------------------------------------------------

TEST_F(HotfixWorld, TwoRebuildsOfOneKindRunOneAfterTheOther) {
    std::string source = putPattern("hlwhite.100", 400000, 500000, 5);
    auto first = startRebuild(6, {"TARSK_TEST_STOP_AT=hotfix-packed"});
    ASSERT_TRUE(stoppedAtTestStop(first->pid()));
    // The second waits for the first, stopped with its zip packed and nothing published yet.
    auto second = startRebuild(6);
    ASSERT_TRUE(nvl::test::blockedInWait(second->pid()));
    EXPECT_FALSE(exists(home() + "download/Pattern/hlwhite.zip"));
    ASSERT_EQ(0, ::kill(first->pid(), SIGCONT));
    EXPECT_EQ(1, first->wait());
    EXPECT_EQ(0, second->wait());  // then finds the version published

    std::string package = home() + "download/Pattern/hlwhite.zip";
    EXPECT_EQ("", zipMismatch(package, "hlwhite.100", source));
    EXPECT_EQ("Pattern/hlwhite.zip, 400000, " + std::to_string(sizeOf(package)),
              profile(manifest_, "PATTERN", "P.20000020"));
    EXPECT_EQ((std::set<std::string>{"server.ini", "Pattern/hlwhite.zip"}),
              filesBelow(home() + "download"));
}

TEST_F(HotfixWorld, CleanerPatternsSharingATemporaryZipEachGetTheirOwnSource) {
    // Both are packed through download/PTNptn.ZIP: the second may not take or delete the
    // first one's zip.
    std::string qxc = putCleanerPattern("Admin/qxc.ptn", 77);
    std::string spy = putCleanerPattern("Admin/hladce.ptn", 88);
    auto cleaner = startRebuild(3, {"TARSK_TEST_STOP_AT=hotfix-packed"});
    ASSERT_TRUE(stoppedAtTestStop(cleaner->pid()));
    ASSERT_TRUE(exists(home() + "download/PTNptn.ZIP"));
    auto spyware = startRebuild(4);
    ASSERT_TRUE(nvl::test::blockedInWait(spyware->pid()));
    ASSERT_EQ(0, ::kill(cleaner->pid(), SIGCONT));
    EXPECT_EQ(1, cleaner->wait());
    EXPECT_EQ(1, spyware->wait());

    std::string qxcZip = home() + "download/Pattern/QXCPtn.zip";
    std::string spyZip = home() + "download/Pattern/Hladce.zip";
    EXPECT_EQ("", zipMismatch(qxcZip, "qxc.ptn", qxc));
    EXPECT_EQ("", zipMismatch(spyZip, "hladce.ptn", spy));
    EXPECT_EQ("Pattern/QXCPtn.zip, 77, " + std::to_string(sizeOf(qxcZip)),
              profile(manifest_, "PATTERN", "P.800"));
    EXPECT_EQ("Pattern/Hladce.zip, 88, " + std::to_string(sizeOf(spyZip)),
              profile(manifest_, "PATTERN", "P.1000000"));
    EXPECT_EQ((std::set<std::string>{"server.ini", "Pattern/QXCPtn.zip", "Pattern/Hladce.zip"}),
              filesBelow(home() + "download"));
}

// Reads the package over and over until `stop` exists, checking each read with unzip -t (one
// entry named `entry`, its CRC right); the first read is announced on `ready`. Writes "<reads>
// <failures>" and the first failure's report to `report`; 0 when every read was a whole
// archive.
int readPackageUntilStopped(const std::string& package, const std::string& entry,
                            const std::string& scratch, const std::string& stop,
                            const std::string& report, Channel& ready) {
    long reads = 0, failures = 0;
    std::string firstFailure;
    while (!exists(stop)) {
        std::string bytes = readFile(package);
        if (!(std::ofstream(scratch, std::ios::binary | std::ios::trunc) << bytes))
            return 3;
        int status = -1;
        std::string out = runAndCapture({"unzip", "-t", scratch}, &status);
        size_t tested = 0;
        for (size_t at = out.find("testing: "); at != std::string::npos;
             at = out.find("testing: ", at + 1))
            ++tested;
        bool whole =
            status == 0 && tested == 1 && out.find("testing: " + entry + " ") != std::string::npos;
        if (!whole && failures++ == 0)
            firstFailure = std::to_string(bytes.size()) + " bytes: " + out;
        if (++reads == 1)
            ready.post();
    }
    std::ofstream(report) << reads << " " << failures << "\n" << firstFailure;
    return failures == 0 && reads > 0 ? 0 : 1;
}

TEST_F(HotfixWorld, ReadersAlwaysFindAWholePackageWhileNewSourcesArePublished) {
    putPattern("hlwhite.100", 100000, 1 << 20, 100);
    ASSERT_EQ(1, rebuildPtnZip(6, nullptr, 0));
    std::string package = home() + "download/Pattern/hlwhite.zip";
    std::string stop = env_.root() + "/stop";
    std::vector<std::unique_ptr<Child>> readers;
    std::vector<std::string> reports;
    Channel ready;
    for (int i = 0; i < 2; ++i) {
        std::string scratch = env_.root() + "/read" + std::to_string(i) + ".zip";
        reports.push_back(env_.root() + "/report" + std::to_string(i));
        std::string report = reports.back();
        readers.push_back(std::make_unique<Child>(
            [&, scratch, report] {
                return readPackageUntilStopped(package, "hlwhite.100", scratch, stop, report,
                                               ready);
            },
            300));
    }
    ASSERT_EQ('x', ready.take());
    ASSERT_EQ('x', ready.take());

    std::string source;
    for (uint32_t round = 1; round <= 12; ++round) {
        source = putPattern("hlwhite.100", 100000 + round, (1 << 20) + round * 4096, round);
        ASSERT_EQ(1, rebuildPtnZip(6, nullptr, 0)) << round;
    }
    std::ofstream(stop).close();
    for (size_t i = 0; i < readers.size(); ++i)
        EXPECT_EQ(0, readers[i]->wait()) << readFile(reports[i]);
    EXPECT_EQ("", zipMismatch(package, "hlwhite.100", source));
    EXPECT_EQ("Pattern/hlwhite.zip, 100012, " + std::to_string(sizeOf(package)),
              profile(manifest_, "PATTERN", "P.20000020"));
}

// A one-entry zip of `data` stored under `name`, as unzip reads it, or with one of its offsets
// moved through a ZIP64 record so that adding it to its base wraps around 2^64 (a header
// 16 bytes before the file's start).
enum class ZipForm { kSound, kDirectoryOffsetWraps, kLocalOffsetWraps };

std::string storedZip(const std::string& name, const std::string& data, ZipForm form) {
    auto put = [](std::string* out, uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out->push_back(static_cast<char>(v >> (8 * i)));
    };
    uint32_t crc = nvl::hotfix::crc32(0, data.data(), data.size());
    std::string zip;
    put(&zip, 0x04034b50, 4);
    for (uint64_t v : {20, 0, 0, 0, 0x21})
        put(&zip, v, 2);
    put(&zip, crc, 4);
    put(&zip, data.size(), 4);
    put(&zip, data.size(), 4);
    put(&zip, name.size(), 2);
    put(&zip, 0, 2);
    zip += name + data;

    std::string extra;
    uint64_t wrapped = ~uint64_t{0} - 15;
    if (form == ZipForm::kLocalOffsetWraps) {
        put(&extra, 1, 2);
        put(&extra, 8, 2);
        put(&extra, wrapped, 8);
    }
    size_t central = zip.size();
    put(&zip, 0x02014b50, 4);
    for (uint64_t v : {20, 20, 0, 0, 0, 0x21})
        put(&zip, v, 2);
    put(&zip, crc, 4);
    put(&zip, data.size(), 4);
    put(&zip, data.size(), 4);
    for (uint64_t v : {name.size(), extra.size(), size_t{0}, size_t{0}, size_t{0}})
        put(&zip, v, 2);
    put(&zip, 0, 4);
    put(&zip, form == ZipForm::kLocalOffsetWraps ? 0xFFFFFFFF : 0, 4);
    zip += name + extra;
    size_t centralSize = zip.size() - central;
    if (form == ZipForm::kDirectoryOffsetWraps) {
        put(&zip, 0x07064b50, 4);  // a ZIP64 locator whose record lies "before" the file
        put(&zip, 0, 4);
        put(&zip, wrapped, 8);
        put(&zip, 1, 4);
    }
    put(&zip, 0x06054b50, 4);
    for (uint64_t v : {0, 0, 1, 1})
        put(&zip, v, 2);
    put(&zip, centralSize, 4);
    put(&zip, form == ZipForm::kDirectoryOffsetWraps ? 0xFFFFFFFF : central, 4);
    put(&zip, 0, 2);
    return zip;
}

TEST_F(HotfixWorld, ALeftoverZipIsPublishedOnlyWhenSoundAndNeverKillsTheRebuild) {
    struct Case {
        const char* name;
        ZipForm form;
        bool published;  // as it is, without packing
    };
    const Case cases[] = {
        {"a sound stored zip of the source", ZipForm::kSound, true},
        {"its ZIP64 directory record before the file's start", ZipForm::kDirectoryOffsetWraps,
         false},
        {"its local header before the file's start", ZipForm::kLocalOffsetWraps, false},
    };
    std::string package = home() + "download/Pattern/hlwhite.zip";
    uint32_t version = 500000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ++version;
        std::string source = putPattern("hlwhite.100", version, 100000, version);
        std::string leftover = storedZip("hlwhite.100", source, c.form);
        if (c.form == ZipForm::kSound) {  // what unzip makes of the form itself
            put("stored.zip", leftover);
            ASSERT_EQ("", zipMismatch(home() + "stored.zip", "hlwhite.100", source));
        }
        put("download/PTN100.ZIP", leftover);
        nvl::test::TraceCapture traces;
        ASSERT_EQ(1, rebuild(6));
        EXPECT_EQ("", zipMismatch(package, "hlwhite.100", source));
        EXPECT_EQ(c.published, readFile(package) == leftover);
        EXPECT_EQ(c.published ? 0u : 1u, countOf(traces.texts(), "AddFileToZip( ) return<0>"));
        EXPECT_EQ("Pattern/hlwhite.zip, " + std::to_string(version) + ", " +
                      std::to_string(sizeOf(package)),
                  profile(manifest_, "PATTERN", "P.20000020"));
        EXPECT_FALSE(exists(home() + "download/PTN100.ZIP"));
    }
}

// --- Rebuilds killed ---------------------------------------------------------------------------

TEST_F(HotfixWorld, ARebuildKilledBetweenItsStepsIsCompletedByTheNext) {
    struct Case {
        const char* stopAt;
        bool newerSourceAfterwards;  // the zip left behind no longer holds the source
    };
    const Case cases[] = {
        {"hotfix-packed", false},
        {"hotfix-packed", true},
        {"hotfix-package-copied", false},
    };
    std::string package = home() + "download/Pattern/hlwhite.zip";
    uint32_t version = 200000;
    uint64_t seed = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.stopAt) + (c.newerSourceAfterwards ? ", newer source" : ""));
        putPattern("hlwhite.100", ++version, 400000, seed++);
        ASSERT_EQ(1, rebuild(6));
        std::string published = readFile(package);
        putPattern("hlwhite.100", ++version, 400000, seed++);

        auto killed = startRebuild(6, {std::string("TARSK_TEST_STOP_AT=") + c.stopAt});
        ASSERT_TRUE(stoppedAtTestStop(killed->pid()));
        // Until the rename, agents find the old package whole.
        EXPECT_EQ(published, readFile(package));
        killed->kill();
        EXPECT_EQ(128 + SIGKILL, killed->wait());
        EXPECT_TRUE(exists(home() + "download/PTN100.ZIP"));

        if (c.newerSourceAfterwards)
            putPattern("hlwhite.100", ++version, 400000, seed++);
        std::string source = readFile(home() + "hlwhite.100");
        ASSERT_EQ(1, rebuild(6));
        EXPECT_EQ("", zipMismatch(package, "hlwhite.100", source));
        EXPECT_EQ("Pattern/hlwhite.zip, " + std::to_string(version) + ", " +
                      std::to_string(sizeOf(package)),
                  profile(manifest_, "PATTERN", "P.20000020"));
        EXPECT_EQ(std::to_string(version) + " 0 0",
                  profile(home() + "private/component.ini", "6051", "Version"));
        EXPECT_EQ((std::set<std::string>{"server.ini", "Pattern/hlwhite.zip"}),
                  filesBelow(home() + "download"));
    }
}

}  // namespace
