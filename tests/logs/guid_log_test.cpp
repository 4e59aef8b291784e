// The GUID check log under its machine-wide mutex, the KRMS hand-off files, and the master
// service's liveness, with real processes where other processes matter.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cgishare/guid_log.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/named_object.h"
#include "support/child_process.h"
#include "support/test_env.h"
#include "support/trace_capture.h"

namespace {

using nvl::test::Channel;
using nvl::test::Child;
using nvl::test::readFile;
using nvl::test::TestEnv;
using nvl::test::TraceCapture;

constexpr char kMutexName[] = "Norvel ChkGUID Mutex";
constexpr char kStopEvent[] = "Halden_Norvel_Server_Stop_Event";

char* text(const std::string& s) {
    return const_cast<char*>(s.c_str());
}

class GuidLogTest : public ::testing::Test {
  protected:
    void SetUp() override { nvl::sys::makeDirectories(env_.home() + "Log"); }
    std::string logPath() const { return env_.home() + "Log/chkGUID.log"; }
    void writeRecord(const char* text1, const char* text2, unsigned long port) const {
        WriteChkGUIDLog(text(env_.home()), const_cast<char*>(text1), const_cast<char*>(text2),
                        port);
    }
    TestEnv env_;
};

// --- The GUID check log ----------------------------------------------------------------------

TEST_F(GuidLogTest, RecordsAndTheirFields) {
    struct Case {
        const char* what;
        const char* ini;  // nvlscan.ini in the home directory; null: no file
        const char* text1;
        const char* text2;
        unsigned long port;
        std::string record;
    };
    const std::vector<Case> cases = {
        {"port given", nullptr, "{GUID-1}", "host-1", 4, "{GUID-1},host-1,4,\r\n"},
        {"port 0 without the key", nullptr, "g", "h", 0, "g,h,12345,\r\n"},
        {"port 0 from the configuration",
         "[INI_CLIENT_SECTION]\r\nClient_LocalServer_Port=8080\r\n", "g", "h", 0, "g,h,8080,\r\n"},
        {"texts with commas as given", nullptr, "a,b", "", 7, "a,b,,7,\r\n"},
        {"a line break cannot start a false record", nullptr, "a\r\nx,y,1,", "b\nc", 7,
         "a  x,y,1,,b c,7,\r\n"},
        {"null texts are empty fields", nullptr, nullptr, nullptr, 9, ",,9,\r\n"},
        {"32-bit port as the original printed it", nullptr, "g", "h", 0xFFFFFFFFul, "g,h,-1,\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(logPath().c_str());
        ::unlink((env_.home() + "nvlscan.ini").c_str());
        if (c.ini != nullptr)
            env_.writeFile("home/nvlscan.ini", c.ini);
        writeRecord(c.text1, c.text2, c.port);
        EXPECT_EQ(readFile(logPath()), c.record);
    }
    // Records append, with CR LF written as such.
    writeRecord("second", "x", 1);
    EXPECT_EQ(readFile(logPath()), "g,h,-1,\r\nsecond,x,1,\r\n");
}

TEST_F(GuidLogTest, PathsAndTheirFailures) {
    // The base without its '/' and a Log directory spelt otherwise still reach the file.
    ::rmdir((env_.home() + "Log").c_str());
    nvl::sys::makeDirectories(env_.home() + "LOG");
    std::string bare = env_.home().substr(0, env_.home().size() - 1);
    WriteChkGUIDLog(text(bare), text("g"), text("h"), 1);
    EXPECT_EQ(readFile(env_.home() + "LOG/chkGUID.log"), "g,h,1,\r\n");

    TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    struct Case {
        const char* what;
        std::string base;
        bool null;
    };
    const std::vector<Case> failures = {
        {"no Log directory", env_.root() + "/elsewhere/", false},
        {"longer than the path buffer", env_.home() + std::string(250, 'd') + "/", false},
        {"empty base", "", false},
        {"null base", "", true},
    };
    for (const Case& c : failures) {
        SCOPED_TRACE(c.what);
        nvl::sys::makeDirectories(env_.root() + "/elsewhere");
        WriteChkGUIDLog(c.null ? nullptr : text(c.base), text("g"), text("h"), 1);
        std::vector<std::string> texts = traces.texts();
        std::string path = c.base.empty() ? "" : c.base + "Log/chkGUID.log";
        EXPECT_EQ(texts, (std::vector<std::string>{
                             "Enter WriteChkGUIDLog( )",
                             "[WriteChkGUIDLog] Wait for ChkGUID Mutex",
                             "[WriteChkGUIDLog] Go ChkGUID Mutex",
                             "[WriteChkGUIDLog] Could not open file <" + path + ">",
                             "Exit WriteChkGUIDLog( )",
                         }));
    }
    // Every call closed its handle of the mutex: with nobody holding it, the name is gone.
    EXPECT_FALSE(nvl::sys::openMutex(kMutexName));

    writeRecord("g", "h", 2);
    std::vector<nvl::test::TraceRecord> records = traces.take();
    ASSERT_EQ(records.size(), 5u);
    const int levels[] = {6, 5, 5, 5, 6};
    for (size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(records[i].level, levels[i]) << records[i].text;
    EXPECT_EQ(records[3].text, "[WriteChkGUIDLog] Could write record <g,h,>");
}

// Many processes at once: every record exactly once and whole.
TEST_F(GuidLogTest, ConcurrentWritersLoseNothingAndTearNothing) {
    constexpr int kProcesses = 8;
    constexpr int kRecords = 2000;
    auto payload = [](int p, int r) {
        return "p" + std::to_string(p) + "r" + std::to_string(r) + ":" +
               std::string(static_cast<size_t>(20 + (p * 131 + r * 17) % 400),
                           static_cast<char>('a' + (p + r) % 26));
    };
    Channel gate;
    std::vector<std::unique_ptr<Child>> writers;
    for (int p = 0; p < kProcesses; ++p) {
        writers.push_back(std::make_unique<Child>(
            [&, p] {
                if (gate.take() != 'g')
                    return 2;
                for (int r = 0; r < kRecords; ++r) {
                    std::string guid = payload(p, r);
                    writeRecord(guid.c_str(), "host",
                                static_cast<unsigned long>(p * 10000 + r + 1));
                }
                return 0;
            },
            120));
    }
    for (int p = 0; p < kProcesses; ++p)
        gate.post('g');
    for (auto& writer : writers)
        EXPECT_EQ(writer->wait(), 0);

    std::string contents = readFile(logPath());
    std::set<std::string> seen;
    int bad = 0;
    size_t lines = 0;
    for (size_t pos = 0; pos < contents.size(); ++lines) {
        size_t end = contents.find("\r\n", pos);
        if (end == std::string::npos) {
            ++bad;
            break;
        }
        std::string line = contents.substr(pos, end - pos);
        pos = end + 2;
        char guid[512] = {};
        int port = 0, used = 0;
        if (std::sscanf(line.c_str(), "%511[^,],host,%d,%n", guid, &port, &used) != 2 ||
            static_cast<size_t>(used) != line.size()) {
            ++bad;
            continue;
        }
        int p = (port - 1) / 10000, r = (port - 1) % 10000;
        if (payload(p, r) != guid || !seen.insert(guid).second)
            ++bad;
    }
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(lines, static_cast<size_t>(kProcesses * kRecords));
    EXPECT_EQ(seen.size(), static_cast<size_t>(kProcesses * kRecords));
}

// A writer waits while another process holds the mutex, and goes on when that holder is killed.
TEST_F(GuidLogTest, WriterWaitsForTheHolderAndSurvivesItsDeath) {
    Channel held, never;
    Child holder([&] {
        nvl::sys::Handle mutex = nvl::sys::createMutex(kMutexName, false);
        if (!mutex || nvl::sys::waitForSingleObject(mutex.get(), 5000) != nvl::sys::kWaitObject0)
            return 1;
        held.post();
        never.take();  // killed while it owns the mutex
        return 0;
    });
    ASSERT_NE(held.take(), '\0');

    Child writer([&] {
        writeRecord("after", "kill", 3);
        return 0;
    });
    ASSERT_TRUE(nvl::test::blockedInWait(writer.pid()));
    EXPECT_EQ(readFile(logPath()), "");  // not written while the holder owns the mutex

    holder.kill();
    EXPECT_EQ(holder.wait(), 128 + SIGKILL);
    EXPECT_EQ(writer.wait(), 0);
    EXPECT_EQ(readFile(logPath()), "after,kill,3,\r\n");

    // The one after it finds the mutex in order again.
    writeRecord("next", "one", 4);
    EXPECT_EQ(readFile(logPath()), "after,kill,3,\r\nnext,one,4,\r\n");
}

// --- The hand-off files ------------------------------------------------------------------------

class HandOffTest : public ::testing::Test {
  protected:
    void SetUp() override { nvl::sys::makeDirectories(env_.home() + "download"); }
    std::string start() const { return env_.home() + "download/KRMSDrop.txt"; }
    std::string end() const { return env_.home() + "download/DropDone.txt"; }
    bool exists(const std::string& path) const { return ::access(path.c_str(), F_OK) == 0; }
    // Creates the file with its last-write time `seconds` after a fixed moment.
    void make(const std::string& path, long seconds, long nanoseconds = 0) const {
        ASSERT_EQ(nvl::sys::replaceFileAtomically(path, "x"), 0u);
        timespec times[2] = {{1157017267 + seconds, nanoseconds},
                             {1157017267 + seconds, nanoseconds}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    TestEnv env_;
};

TEST_F(HandOffTest, StatesOfThePush) {
    struct Case {
        const char* what;
        int startAt, endAt;  // -1: no such file; else seconds
        long startNanoseconds;
        int started, finished;
        bool endKept;
        const char* trace;  // null: none
    };
    const Case cases[] = {
        {"neither file", -1, -1, 0, 0, 0, false, nullptr},
        {"start only", 5, -1, 0, 1, 0, false, nullptr},
        {"end one second after start", 5, 6, 0, 1, 1, true, nullptr},
        {"end at the same time", 5, 5, 0, 1, 1, true, nullptr},
        {"end 50 ns older: the same 100 ns", 5, 5, 50, 1, 1, true, nullptr},
        {"end older than start", 5, 4, 0, 1, 0, false, "KRMS push EndTime > StartTime"},
        {"end alone", -1, 5, 0, 0, 0, false, "KRMS push EndFile only, or StartFile killed"},
    };
    TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(start().c_str());
        ::unlink(end().c_str());
        if (c.startAt >= 0)
            make(start(), c.startAt, c.startNanoseconds);
        if (c.endAt >= 0)
            make(end(), c.endAt);
        traces.take();
        int started = 7, finished = 7;
        checkKRMSAgentWorking(started, finished);
        EXPECT_EQ(started, c.started);
        EXPECT_EQ(finished, c.finished);
        EXPECT_EQ(exists(start()), c.startAt >= 0);  // the start file is never touched
        EXPECT_EQ(exists(end()), c.endKept);
        std::vector<nvl::test::TraceRecord> records = traces.take();
        if (c.trace == nullptr) {
            EXPECT_TRUE(records.empty());
        } else {
            ASSERT_EQ(records.size(), 1u);
            EXPECT_EQ(records[0].text, c.trace);
            EXPECT_EQ(records[0].level, 6);
        }
    }
}

TEST_F(HandOffTest, FilesAreFoundWhateverTheirCase) {
    ::rmdir((env_.home() + "download").c_str());
    nvl::sys::makeDirectories(env_.home() + "Download");
    make(env_.home() + "Download/krmsdrop.TXT", 1);
    make(env_.home() + "Download/DROPDONE.txt", 2);
    int started = 0, finished = 0;
    checkKRMSAgentWorking(started, finished);
    EXPECT_EQ(started, 1);
    EXPECT_EQ(finished, 1);
    deleteKRMSAgentCheckFile();
    EXPECT_FALSE(exists(env_.home() + "Download/krmsdrop.TXT"));
    EXPECT_FALSE(exists(env_.home() + "Download/DROPDONE.txt"));
}

TEST_F(HandOffTest, DeleteRemovesBothAndTracesEachFailure) {
    make(start(), 1);
    make(end(), 2);
    TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    deleteKRMSAgentCheckFile();
    EXPECT_FALSE(exists(start()));
    EXPECT_FALSE(exists(end()));
    EXPECT_TRUE(traces.texts().empty());

    // The start file missing does not keep the end file.
    make(end(), 2);
    deleteKRMSAgentCheckFile();
    EXPECT_FALSE(exists(end()));
    EXPECT_EQ(traces.texts(), std::vector<std::string>{"[deleteKRMSAgentCheckFile] Fail to delete "
                                                       "file <" +
                                                       start() + ">"});
}

TEST_F(HandOffTest, WithoutAHomeDirectoryNothingIsThere) {
    make(end(), 2);
    ::setenv("NVL_REGISTRY", (env_.root() + "/no-registry.reg").c_str(), 1);
    int started = 7, finished = 7;
    checkKRMSAgentWorking(started, finished);
    EXPECT_EQ(started, 0);
    EXPECT_EQ(finished, 0);
    deleteKRMSAgentCheckFile();
    EXPECT_TRUE(exists(end()));
}

// --- The master service ------------------------------------------------------------------------

TEST(MasterService, AliveExactlyWhileALiveProcessHoldsTheStopEvent) {
    TestEnv env;
    TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    EXPECT_FALSE(isAliveMasterService());
    EXPECT_EQ(traces.texts(), (std::vector<std::string>{
                                  "[isAliveMasterService] Enter",
                                  "[isAliveMasterService] Master service was stopped.",
                              }));

    // A service that stops, and one that is killed: both are gone once reaped.
    for (bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "killed" : "stopped");
        Channel up, stop;
        Child service([&] {
            nvl::sys::Handle event = nvl::sys::createEvent(kStopEvent, true, false);
            if (!event)
                return 1;
            up.post();
            stop.take();
            return 0;
        });
        ASSERT_NE(up.take(), '\0');
        EXPECT_TRUE(isAliveMasterService());
        EXPECT_TRUE(isAliveMasterService());  // asking does not keep it alive or end it
        if (killed) {
            service.kill();
            EXPECT_EQ(service.wait(), 128 + SIGKILL);
        } else {
            stop.post();
            EXPECT_EQ(service.wait(), 0);
        }
        EXPECT_FALSE(isAliveMasterService());
    }
    std::vector<std::string> texts = traces.texts();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(texts.begin(), texts.begin() + 3),
              (std::vector<std::string>{
                  "[isAliveMasterService] Enter",
                  "[isAliveMasterService] Master service was still alive.",
                  "[isAliveMasterService] Exit",
              }));
}

}  // namespace
