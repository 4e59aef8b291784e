// The spyware facade across processes and threads: the progress a scan publishes, as another
// process reads it; one scan at a time on the whole server (a second one, from another process
// or another thread, is refused and changes nothing); a stop from another thread; and cleaning
// scans killed at chosen points, after which every item is in place or comes back from its
// backup set, the published state says the scan was interrupted, and the next scan runs; and
// a facade shut down after scans on worker threads gives back what its engine opened.
//
// Nothing waits on time for its order: a scan is held where a test needs it by the test stops
// (the process stops itself; waitid with WSTOPPED sees it), by a message sink that blocks the
// scan's thread, or by spyware_scan_child, which waits for the test at each report line.
//
// The programs run from a private bin/ beside a link of the engine, since the facade puts its
// backup sets beside the running program; the scans in this process make none.
#include <cgishare/spyware.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/byte_text.h"
#include "platform/registry.h"
#include "support/child_process.h"
#include "support/tarsk_demo_pattern.h"
#include "support/test_env.h"
#include "support/trace_capture.h"
#include "tarsk_format.h"

extern char** environ;

namespace {

using nvl::sys::RegHive;
using nvl::sys::RegistryKey;
using nvl::test::Child;
using nvl::test::readFile;
using nvl::test::TestEnv;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr char kSpywareKey[] =
    "SOFTWARE\\HaldenLabs\\VeridexNTCorp\\CurrentVersion\\Manual Scan Configuration\\Spyware "
    "Configuration";
constexpr char kRunKey[] = "Software\\DemoRun";
constexpr char kRunItem[] = "HKLM\\Software\\DemoRun\\EvilStart";

// The planted threats, one for each scanner, as keys of a Snapshot: a file, a file by its
// content, a directory tree, a hosts line, a cookie line, an autostart entry, a registry value.
// A found line is the last of its file, since a restored line is appended.
const char* const kItems[] = {
    "Downloads/evil.exe",
    "data/blob.bin",
    "opt/EvilToolbar",
    "etc/hosts",
    "home/.mozilla/cookies.txt",
    "home/.config/autostart/updater.desktop",
    kRunItem,
};
constexpr uint32_t kPlanted = std::size(kItems);

// Everything a scan could touch: each directory and file of the tree (its mode and bytes) by
// its path below the tree, and the registry value by its full name.
using Snapshot = std::map<std::string, std::string>;

void linkOrCopy(const std::string& from, const std::string& to) {
    if (::link(from.c_str(), to.c_str()) == 0)
        return;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

std::string stateName(int32_t state) {
    switch (state) {
        case TARSK_SCAN_IDLE:
            return "idle";
        case TARSK_SCAN_RUNNING:
            return "running";
        case TARSK_SCAN_INTERRUPTED:
            return "interrupted";
    }
    return "state " + std::to_string(state);
}

TarskScanProgress published() {
    TarskScanProgress p;
    EXPECT_EQ(1, QueryTarskScanProgress(&p));
    return p;
}

// A private server for one scenario: registry and runtime directory (TestEnv), the programs
// linked into bin/ beside the engine, the demo pattern, and a tree with the threats of kItems
// among innocent files. TARSK_SCAN_ROOTS names the tree, for this process and its children.
class World {
  public:
    World() {
        bin = env.root() + "/bin";
        pattern = env.root() + "/pattern";
        tree = env.root() + "/tree";
        for (const std::string& dir : {bin, pattern, tree})
            fs::create_directories(dir);
        linkOrCopy(TARSK32_SO, bin + "/tarsk32.so");
        linkOrCopy(NVL_SPYSCAN, bin + "/nvl-spyscan");
        linkOrCopy(SPYWARE_SCAN_CHILD, bin + "/spyware_scan_child");
        tarsk32::Pattern p;
        std::string error;
        if (!tarsk32::parsePatternSource(nvl::test::kTarskDemoPattern, &p, &error))
            ADD_FAILURE() << error;
        env.writeFile("pattern/tarskptn.da5", tarsk32::writePattern(p));
        const char* roots = std::getenv("TARSK_SCAN_ROOTS");
        hadRoots_ = roots != nullptr;
        if (hadRoots_)
            savedRoots_ = roots;
        ::setenv("TARSK_SCAN_ROOTS", tree.c_str(), 1);
        plant();
    }
    ~World() {
        if (hadRoots_)
            ::setenv("TARSK_SCAN_ROOTS", savedRoots_.c_str(), 1);
        else
            ::unsetenv("TARSK_SCAN_ROOTS");
    }

    void plant() {
        put("Downloads/evil.exe", std::string("MZ\0\x01payload", 10), 0750);
        put("data/blob.bin", "header RUNNER-SIG trailer\n");
        put("opt/EvilToolbar/a.js", "a");
        put("opt/EvilToolbar/sub/b.js", "bb");
        put("etc/hosts", "127.0.0.1 localhost\n0.0.0.0 ads.example.com\n");
        put("home/.mozilla/cookies.txt",
            "# Netscape HTTP Cookie File\ngood.example\tFALSE\t/\tFALSE\t0\tid\t2\n"
            ".tracker.example\tTRUE\t/\tFALSE\t0\tid\t1\n");
        put("home/.config/autostart/updater.desktop",
            "[Desktop Entry]\nExec=/opt/evil-updater --hidden\n");
        put("home/.config/autostart/fine.desktop", "[Desktop Entry]\nExec=/usr/bin/true\n");
        put("keep/notes.txt", "nothing to see\n");
        put("keep/evil.exe.txt", "a name that only looks like one\n", 0600);
        RegistryKey key;
        EXPECT_EQ(0u, RegistryKey::create(RegHive::LocalMachine, kRunKey, &key));
        EXPECT_EQ(0u, key.setString("EvilStart", "/opt/evil"));
    }

    Snapshot snapshot() const {
        Snapshot s;
        for (const auto& entry : fs::recursive_directory_iterator(tree)) {
            std::string path = entry.path().string().substr(tree.size() + 1);
            struct stat st {};
            ::lstat(entry.path().c_str(), &st);
            char mode[16];
            std::snprintf(mode, sizeof mode, "%04o ", static_cast<unsigned>(st.st_mode & 07777));
            s[path] = S_ISDIR(st.st_mode) ? std::string("directory")
                                          : mode + readFile(entry.path().string());
        }
        nvl::sys::RegValue value;
        if (RegistryKey::getValue(RegHive::LocalMachine, kRunKey, "EvilStart", &value) == 0)
            s[kRunItem] = std::to_string(value.type) + " " + value.data;
        return s;
    }

    // The planted items that are as they were in `before`.
    static uint32_t inPlace(const Snapshot& before, const Snapshot& now) {
        uint32_t count = 0;
        for (const char* item : kItems) {
            std::string prefix = std::string(item) + "/";
            bool same = true;
            for (const auto& [key, value] : before)
                if (key == item || key.compare(0, prefix.size(), prefix) == 0) {
                    auto it = now.find(key);
                    same = same && it != now.end() && it->second == value;
                }
            count += same ? 1 : 0;
        }
        return count;
    }

    // Starts a program with this process's environment and `extra` ("NAME=value", taking
    // precedence), its output to log.txt; `fd3` and `fd4`, when given, become its descriptors
    // 3 and 4.
    std::unique_ptr<Child> start(const std::vector<std::string>& args,
                                 const std::vector<std::string>& extra = {}, int fd3 = -1,
                                 int fd4 = -1) const {
        std::vector<std::string> envText;
        for (char** e = environ; *e != nullptr; ++e) {
            std::string entry = *e;
            bool replaced = false;
            for (const std::string& x : extra)
                replaced =
                    replaced || entry.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0;
            if (!replaced)
                envText.push_back(entry);
        }
        envText.insert(envText.end(), extra.begin(), extra.end());
        auto argv = std::make_shared<std::vector<char*>>();
        auto envp = std::make_shared<std::vector<char*>>();
        auto texts = std::make_shared<std::vector<std::string>>(args);
        auto envTexts = std::make_shared<std::vector<std::string>>(envText);
        for (std::string& a : *texts)
            argv->push_back(a.data());
        argv->push_back(nullptr);
        for (std::string& e : *envTexts)
            envp->push_back(e.data());
        envp->push_back(nullptr);
        std::string log = env.root() + "/log.txt";
        return std::make_unique<Child>(
            [argv, envp, texts, envTexts, log, fd3, fd4] {
                int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
                if (out >= 0) {
                    ::dup2(out, 1);
                    ::dup2(out, 2);
                }
                // Out of the way first, so that neither lands on the other's number.
                int a = fd3 >= 0 ? ::fcntl(fd3, F_DUPFD_CLOEXEC, 10) : -1;
                int b = fd4 >= 0 ? ::fcntl(fd4, F_DUPFD_CLOEXEC, 10) : -1;
                if (a >= 0)
                    ::dup2(a, 3);
                if (b >= 0)
                    ::dup2(b, 4);
                ::execve((*argv)[0], argv->data(), envp->data());
                return 127;
            },
            60);
    }

    int run(const std::vector<std::string>& args,
            const std::vector<std::string>& extra = {}) const {
        return start(args, extra)->wait();
    }

    // nvl-spyscan with `args` before the tree.
    std::vector<std::string> spyscan(std::vector<std::string> args) const {
        args.insert(args.begin(), {bin + "/nvl-spyscan", "--pattern", pattern});
        args.push_back(tree);
        return args;
    }

    std::vector<std::string> scanChild(std::vector<std::string> args,
                                       const std::string& result) const {
        args.insert(args.begin(), bin + "/spyware_scan_child");
        args.insert(args.end(), {"--pattern", pattern, "--result", result});
        return args;
    }

    // The backup sets beside the programs.
    std::vector<std::string> backupSets() const {
        std::vector<std::string> sets;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(bin + "/BackupAS", ec)) {
            std::string name = entry.path().filename().string();
            if (name[0] != '.' && name.size() > 4 && name.substr(name.size() - 4) == ".tbk")
                sets.push_back(entry.path().string());
        }
        return sets;
    }

    TestEnv env;
    std::string bin, pattern, tree;

  private:
    void put(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
        ::chmod(env.writeFile("tree/" + path, bytes).c_str(), mode);
    }

    std::string savedRoots_;
    bool hadRoots_ = false;
};

// Waits until the child has stopped itself at its test stop, leaving it to be reaped later:
// false when it ended instead.
bool stoppedAtTestStop(pid_t pid) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WEXITED | WNOWAIT) != 0)
        if (errno != EINTR)
            return false;
    return info.si_code == CLD_STOPPED && info.si_status == SIGSTOP;
}

// The lines a child writes into a pipe, one at a time.
class LineReader {
  public:
    explicit LineReader(int fd) : fd_(fd) {}
    ~LineReader() { ::close(fd_); }

    // True when the next line (or the end) is there to be read without waiting.
    bool ready() {
        if (buffer_.find('\n') != std::string::npos)
            return true;
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }
    // The next line; false at the end (or after 20 s without one).
    bool next(std::string* line) {
        for (;;) {
            size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                *line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return true;
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20000) != 1)
                return false;
            char chunk[4096];
            ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

  private:
    int fd_;
    std::string buffer_;
};

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// --- Published progress ---------------------------------------------------------------------

TEST(SpywareConcurrency, AnotherProcessSeesTheProgressRiseWithinTheTaskAndEndAt98) {
    World w;
    {
        // What an earlier scan left: the new task must start again from 0.
        RegistryKey key;
        ASSERT_EQ(0u, RegistryKey::create(RegHive::LocalMachine, kSpywareKey, &key));
        ASSERT_EQ(0u, key.setDword("SPYProgress", 98));
        ASSERT_EQ(0u, key.setDword("CurrentTask", 2));
        ASSERT_EQ(0u, key.setDword("NumOfDetectedSPY", 0));
    }
    int lines[2], go[2];
    ASSERT_EQ(0, ::pipe2(lines, O_CLOEXEC));
    ASSERT_EQ(0, ::pipe2(go, O_CLOEXEC));
    std::string result = w.env.root() + "/result.txt";
    auto child =
        w.start(w.scanChild({"--clean", "--publish", "--lockstep"}, result), {}, lines[1], go[0]);
    ::close(lines[1]);
    ::close(go[0]);
    LineReader reader(lines[0]);

    // Readings while the scan stands at a report line, and as often as possible between them.
    struct Reading {
        TarskScanProgress p;
        std::string line;  // the last line before it
        bool locked;       // between the scan lock's first line and the end of the cleaning
    };
    std::vector<Reading> readings;
    std::string line = "(start)";
    bool locked = false, cleaningEnded = false;
    uint32_t foundLines = 0, cleanedLines = 0;
    auto read = [&] {
        TarskScanProgress p;
        ASSERT_EQ(1, QueryTarskScanProgress(&p));
        EXPECT_LE(p.progress, 100u) << line;
        EXPECT_LE(p.currentTask, 2u) << line;
        readings.push_back({p, line, locked});
    };
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    for (;;) {
        while (!reader.ready() && Clock::now() < deadline)
            read();
        std::string next;
        if (!reader.next(&next))
            break;
        line = next;
        if (line == "Performing Full Scan...")
            locked = true;
        read();
        const TarskScanProgress& p = readings.back().p;
        if (startsWith(line, "Started Scanning '") || startsWith(line, "Spyware found [")) {
            EXPECT_EQ(0u, p.currentTask) << line;
            EXPECT_LE(p.progress, 90u) << line;
        }
        foundLines += startsWith(line, "Spyware found [") ? 1 : 0;
        if (line == "Finished Backup") {
            EXPECT_EQ(1u, p.currentTask);
        }
        if (startsWith(line, "Cleaned [")) {
            EXPECT_EQ(2u, p.currentTask) << line;
            ++cleanedLines;
        }
        // The line after the cleaning's end comes before the scan lets its lock go.
        if (cleaningEnded && locked) {
            EXPECT_EQ(98u, p.progress) << line;
            EXPECT_EQ(kPlanted, p.detected) << line;
            locked = false;
        }
        cleaningEnded = cleaningEnded || line == "Spyware Cleaning Finished!";
        char c = 'g';
        ASSERT_EQ(1, ::write(go[1], &c, 1));
    }
    ::close(go[1]);
    EXPECT_EQ(0, child->wait());
    EXPECT_EQ("return 1 status 1 found 7 cleaned 7\n", readFile(result));
    EXPECT_EQ(kPlanted, foundLines);
    EXPECT_EQ(kPlanted, cleanedLines);

    // From the task's first 0 on, the progress never drops; the scan runs throughout.
    size_t first = readings.size();
    for (size_t i = 0; i < readings.size(); ++i)
        if (readings[i].locked && readings[i].p.progress == 0 && first == readings.size())
            first = i;
    ASSERT_LT(first, readings.size()) << "no reading saw the task start from 0";
    for (size_t i = first + 1; i < readings.size(); ++i)
        EXPECT_GE(readings[i].p.progress, readings[i - 1].p.progress)
            << "at reading " << i << " after the line: " << readings[i].line;
    size_t running = 0;
    for (const Reading& r : readings) {
        if (r.locked) {
            EXPECT_EQ(TARSK_SCAN_RUNNING, r.p.state) << "after the line: " << r.line;
            ++running;
        }
    }
    EXPECT_GT(running, 20u);

    TarskScanProgress after = published();
    EXPECT_EQ("idle", stateName(after.state));
    EXPECT_EQ(98u, after.progress);
    EXPECT_EQ(kPlanted, after.detected);
    EXPECT_EQ(2u, after.currentTask);
}

// --- One scan at a time ---------------------------------------------------------------------

TEST(SpywareConcurrency, AScanInAnotherProcessRefusesThisOneAndItChangesNothing) {
    World w;
    Snapshot before = w.snapshot();
    std::string firstReport = w.env.root() + "/first.txt";
    auto first = w.start(w.spyscan({"--report", firstReport}), {"TARSK_TEST_STOP_AT=scan-locked"});
    ASSERT_TRUE(stoppedAtTestStop(first->pid()));
    TarskScanProgress held = published();
    EXPECT_EQ("running", stateName(held.state));

    // A second scan with cleaning, by the command and through the facade, and a clean by name.
    std::string report = w.env.writeFile("second.txt", "an earlier report\n");
    EXPECT_EQ(4, w.run(w.spyscan({"--clean", "--report", report})));
    EXPECT_EQ("an earlier report\n", readFile(report));
    std::string result = w.env.root() + "/result.txt";
    EXPECT_EQ(0, w.run(w.scanChild({"--clean", "--publish"}, result)));
    EXPECT_EQ("return 0 status 10 found 0 cleaned 0\n", readFile(result));
    EXPECT_EQ(2, w.run(w.spyscan({"--clean-name", "Adware.Demo"})));
    EXPECT_EQ(before, w.snapshot());
    EXPECT_TRUE(w.backupSets().empty());
    // The refused ones left the published state of the one that runs alone.
    TarskScanProgress still = published();
    EXPECT_EQ("running", stateName(still.state));
    EXPECT_EQ(held.progress, still.progress);
    EXPECT_EQ(held.currentTask, still.currentTask);
    EXPECT_EQ(held.detected, still.detected);

    ASSERT_EQ(0, ::kill(first->pid(), SIGCONT));
    EXPECT_EQ(1, first->wait());
    EXPECT_NE(std::string::npos, readFile(firstReport).find("\nfound 7\n"))
        << readFile(firstReport);
    EXPECT_EQ("idle", stateName(published().state));
}

// The facade initialised in this process on a World's engine link, pattern and tree; a message
// sink that holds the thread printing the first "Spyware found" line until released.
class InProcess {
  public:
    explicit InProcess(const World& w) {
        std::u16string bin = nvl::sys::bytesToWide(w.bin);
        std::u16string pattern = nvl::sys::bytesToWide(w.pattern);
        SetTarskMessageSink(sink, this);
        initialised = GetTarskFacade()->RunInitTARSK(bin.c_str(), pattern.c_str(), 0) == 1;
    }
    ~InProcess() {
        release();
        SetTarskMessageSink(nullptr, nullptr);
        GetTarskFacade()->RunDeInitTARSK();
    }

    // Waits until a scan's thread is held (false after 20 s).
    bool waitHeld() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return held_; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

    bool initialised = false;

  private:
    static void sink(const char16_t* line, void* self) {
        auto* me = static_cast<InProcess*>(self);
        if (std::u16string_view(line).substr(0, 15) != u"Spyware found [")
            return;
        std::unique_lock lock(me->mutex_);
        if (me->held_)
            return;
        me->held_ = true;
        me->changed_.notify_all();
        me->changed_.wait(lock, [&] { return me->released_; });
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false, released_ = false;
};

using Request = std::unique_ptr<TarskScanRequest, decltype(&TarskFreeScanRequest)>;

Request request(uint16_t action, uint32_t publish) {
    Request r(TarskAllocScanRequest(16), TarskFreeScanRequest);
    r->action = action;
    r->scanType = TARSK_SCAN_FULL;
    r->publishProgress = publish;
    r->keepCookieScanner = 1;
    return r;
}

TEST(SpywareConcurrency, AScanOnAnotherThreadRefusesThisOne) {
    World w;
    InProcess facade(w);
    ASSERT_TRUE(facade.initialised);
    nvl::test::TraceCapture traces;
    ASSERT_TRUE(traces.ok());

    Request first = request(TARSK_ACTION_REPORT, 1), second = request(TARSK_ACTION_CLEAN, 1);
    int firstReturned = -1, secondReturned = -1;
    std::thread scanning([&] { firstReturned = GetTarskFacade()->RunSpywareScan(first.get()); });
    EXPECT_TRUE(facade.waitHeld());
    std::thread refused([&] { secondReturned = GetTarskFacade()->RunSpywareScan(second.get()); });
    // The refusal is traced before it is reported through the sink, which the held scan has
    // for itself (one line at a time): the trace says when the second scan has been turned away.
    bool traced = false;
    for (auto until = Clock::now() + std::chrono::seconds(20); !traced && Clock::now() < until;) {
        for (const std::string& text : traces.texts())
            traced = traced || text.find("Another spyware scan is running") != std::string::npos;
        if (!traced)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    facade.release();
    scanning.join();
    refused.join();
    EXPECT_TRUE(traced);
    EXPECT_EQ(0, secondReturned);
    EXPECT_EQ(static_cast<uint32_t>(TARSK_RESULT_REFUSED), second->result.status);
    EXPECT_EQ(0u, second->result.found);
    EXPECT_EQ(1, firstReturned);
    EXPECT_EQ(static_cast<uint32_t>(TARSK_RESULT_DONE), first->result.status);
    EXPECT_EQ(kPlanted, first->result.found);
    EXPECT_EQ("idle", stateName(published().state));
}

// --- Stop -----------------------------------------------------------------------------------

TEST(SpywareConcurrency, AStopFromAnotherThreadEndsACleaningScanWithNothingCleaned) {
    World w;
    Snapshot before = w.snapshot();
    InProcess facade(w);
    ASSERT_TRUE(facade.initialised);

    Request scan = request(TARSK_ACTION_CLEAN, 1);
    int returned = -1;
    std::thread scanning([&] { returned = GetTarskFacade()->RunSpywareScan(scan.get()); });
    EXPECT_TRUE(facade.waitHeld());
    EXPECT_EQ(1, GetTarskFacade()->RunStopScan());
    facade.release();
    scanning.join();

    EXPECT_EQ(1, returned);
    const TarskScanResult& r = scan->result;
    EXPECT_EQ(static_cast<uint32_t>(TARSK_RESULT_STOPPED), r.status);
    EXPECT_GE(r.found, 1u);
    EXPECT_LE(r.found, kPlanted);
    EXPECT_EQ(0u, r.cleaned);
    EXPECT_EQ(std::u16string(), std::u16string(r.backupSet));
    ASSERT_EQ(r.found, r.listed);
    for (uint32_t i = 0; i < r.listed; ++i)
        EXPECT_EQ(static_cast<uint32_t>(TARSK_FINDING_FOUND),
                  TarskScanFindings(scan.get())[i].state);
    EXPECT_EQ(before, w.snapshot());
    TarskScanProgress after = published();
    EXPECT_EQ("idle", stateName(after.state));
    EXPECT_EQ(r.found, after.detected);

    // The stop belonged to that scan: the next one runs to its end.
    Request next = request(TARSK_ACTION_REPORT, 1);
    EXPECT_EQ(1, GetTarskFacade()->RunSpywareScan(next.get()));
    EXPECT_EQ(static_cast<uint32_t>(TARSK_RESULT_DONE), next->result.status);
    EXPECT_EQ(kPlanted, next->result.found);
}

// A service runs its scans on worker threads and shuts the facade down and starts it again (a
// new pattern, a new engine): each round must give back what the engine opened. In a process
// of its own, since an engine that this process's main thread has used may never be unloaded.
TEST(SpywareConcurrency, ScansOnWorkerThreadsLeaveNothingOpenOnceTheFacadeIsShutDown) {
    World w;
    std::string result = w.env.root() + "/result.txt";
    ASSERT_EQ(0, w.run(w.scanChild({"--worker", "--rounds", "3"}, result)))
        << readFile(w.env.root() + "/log.txt");
    std::string text = readFile(result);
    std::vector<std::string> open;
    for (size_t at = 0; (at = text.find(" open ", at)) != std::string::npos; at += 6)
        open.push_back(text.substr(at + 6, text.find('\n', at) - at - 6));
    ASSERT_EQ(3u, open.size()) << text;
    EXPECT_EQ(open.front(), open.back()) << "the results of the rounds:\n" << text;
    EXPECT_EQ(std::string::npos, text.find("found 0")) << text;
}

// --- Killed while cleaning ------------------------------------------------------------------

struct KillCase {
    std::string stopAt;  // TARSK_TEST_STOP_AT
    uint32_t cleaned;    // items gone when it is killed there
    size_t sets;         // backup sets it leaves
};

TEST(SpywareConcurrency, ACleaningScanKilledAnywhereLeavesEachItemInPlaceOrRestorable) {
    // Each item is one passing of "backup-item" and, on its own file, of "clean-item".
    const char* seedText = std::getenv("CGISHARE_TEST_SEED");
    unsigned seed = seedText != nullptr ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10))
                                        : std::random_device{}();
    std::printf("random stop points from seed %u (CGISHARE_TEST_SEED=%u repeats them)\n", seed,
                seed);
    ::testing::Test::RecordProperty("seed", std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<uint32_t> passing(1, kPlanted);
    uint32_t backupAt = passing(random), cleanAt = passing(random);
    std::vector<KillCase> cases = {
        {"scan-locked", 0, 0},
        {"backup-item:1", 0, 0},
        {"backup-item:" + std::to_string(kPlanted), 0, 0},
        {"backup-item:" + std::to_string(backupAt), 0, 0},
        {"backup-done", 0, 1},
        {"clean-item:1", 1, 1},
        {"clean-item:" + std::to_string(cleanAt), cleanAt, 1},
        {"clean-item:" + std::to_string(kPlanted), kPlanted, 1},
    };
    for (const KillCase& c : cases) {
        SCOPED_TRACE("killed at " + c.stopAt);
        World w;
        Snapshot before = w.snapshot();
        std::string report = w.env.root() + "/killed.txt";
        auto scan =
            w.start(w.spyscan({"--clean", "--report", report}), {"TARSK_TEST_STOP_AT=" + c.stopAt});
        ASSERT_TRUE(stoppedAtTestStop(scan->pid()));
        scan->kill();
        EXPECT_EQ(128 + SIGKILL, scan->wait());
        EXPECT_EQ("interrupted", stateName(published().state));
        EXPECT_FALSE(fs::exists(report));

        std::vector<std::string> sets = w.backupSets();
        EXPECT_EQ(c.sets, sets.size());
        EXPECT_EQ(kPlanted - c.cleaned, World::inPlace(before, w.snapshot()));
        // Items still in place are refused by the restore (it never writes over a file), the
        // others come back.
        for (const std::string& set : sets) {
            int code = w.run({w.bin + "/nvl-spyscan", "--restore", set, "--pattern", w.pattern});
            EXPECT_TRUE(code == 0 || code == 2) << code << ", its output:\n"
                                                << readFile(w.env.root() + "/log.txt");
        }
        EXPECT_EQ(before, w.snapshot());

        std::string next = w.env.root() + "/next.txt";
        EXPECT_EQ(1, w.run(w.spyscan({"--report", next})));
        EXPECT_NE(std::string::npos, readFile(next).find("\nfound 7\n")) << readFile(next);
        EXPECT_EQ("idle", stateName(published().state));
    }
}

}  // namespace
