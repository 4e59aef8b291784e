// The log server as a separate process: traces from several processes at once, messages it
// must drop, a second server, a clean stop, clients that connect and send nothing, and the
// mode of its log.
#include <cgishare/trace.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/pipe.h"
#include "support/child_process.h"
#include "support/log_server_process.h"
#include "support/test_env.h"
#include "trace/trace_client.h"

namespace {

using nvl::test::LogServerProcess;
using nvl::trace::kLogPipeName;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

std::string utf16(const std::u16string& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

// Sends raw bytes as one message, bypassing the trace client.
void sendRaw(const std::string& bytes) {
    nvl::sys::PipeConnection c;
    ASSERT_EQ(c.connect(kLogPipeName), nvl::sys::kSuccess);
    if (bytes.size() > nvl::sys::kPipeMaxMessage) {
        int size = 4 << 20;
        ::setsockopt(c.fd(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        ASSERT_EQ(::send(c.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    } else {
        ASSERT_EQ(c.send(bytes.data(), bytes.size()), nvl::sys::kSuccess);
    }
}

// Processor time the process has used, user and system, in seconds.
double processorSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    // The command name may hold spaces: the fields are counted after its closing parenthesis,
    // which ends field 2; utime and stime are fields 14 and 15.
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));
    std::string skipped;
    for (int field = 3; field < 14; ++field)
        fields >> skipped;
    unsigned long long user = 0, system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Lets this process hold `count` descriptors; false when its hard limit is lower.
bool allowDescriptors(rlim_t count) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_max < count)
        return false;
    if (limit.rlim_cur < count) {
        limit.rlim_cur = count;
        return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
    }
    return true;
}

// `count` connections to the log server that send nothing, in the order they were made.
std::vector<nvl::sys::PipeConnection> openIdleConnections(size_t count) {
    std::vector<nvl::sys::PipeConnection> out(count);
    for (nvl::sys::PipeConnection& c : out) {
        uint32_t error = c.connect(kLogPipeName);
        if (error == nvl::sys::kErrPipeBusy)
            error = c.waitForServer(kLogPipeName, 10000);
        EXPECT_EQ(error, nvl::sys::kSuccess);
    }
    return out;
}

// True once the server has closed its end (it never sends, so anything readable is the end).
bool closedByServer(const nvl::sys::PipeConnection& c) {
    pollfd p{c.fd(), POLLIN | POLLRDHUP, 0};
    return ::poll(&p, 1, 0) == 1;
}

// Waits up to `limit` for the server to close connections [first, last); returns how many it
// left open.
size_t waitUntilClosed(const std::vector<nvl::sys::PipeConnection>& connections, size_t first,
                       size_t last, milliseconds limit) {
    std::vector<pollfd> open;
    for (size_t i = first; i < last; ++i)
        open.push_back({connections[i].fd(), POLLIN | POLLRDHUP, 0});
    const auto until = Clock::now() + limit;
    while (!open.empty()) {
        const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
        if (left <= 0 || ::poll(open.data(), open.size(), static_cast<int>(left)) < 0)
            break;
        std::erase_if(open, [](const pollfd& p) { return p.revents != 0; });
    }
    return open.size();
}

// Sends `text` as a level-6 trace through the library's trace client, from a child process
// so that this process's client state stays as it was.
void traceFromChild(const std::string& text) {
    nvl::test::Child child([&] {
        nvl::trace::resetClientForTesting();
        InitLogClient("", "", "CGIShare", true);
        DebugTraceA(6, "idle.cpp", 1, "%s", text.c_str());
        return 0;
    });
    ASSERT_EQ(child.wait(), 0);
}

// Polls the log until it holds `text`, for at most `limit`.
bool logShows(const std::string& log, const std::string& text, milliseconds limit) {
    const auto until = Clock::now() + limit;
    for (;;) {
        if (nvl::test::readFile(log).find(text) != std::string::npos)
            return true;
        if (Clock::now() >= until)
            return false;
        ::usleep(5000);
    }
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

TEST(LogServerTest, EveryTraceFromSeveralProcessesArrivesExactlyOnce) {
    nvl::test::TestEnv env;
    const std::string log = env.root() + "/log/trace.log";
    LogServerProcess server(LOGSERVER_PATH, log);
    ASSERT_TRUE(server.ready());

    constexpr int kProcesses = 4, kTraces = 2000;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t child = ::fork();
        if (child == 0) {
            nvl::trace::resetClientForTesting();
            InitLogClient("", "", "CGIShare", true);
            for (int i = 0; i < kTraces; ++i) {
                if (i % 2 == 0) {
                    DebugTraceA(6, "load.cpp", i, "process %d trace %d", p, i);
                } else {
                    DebugTraceW(6, u"load.cpp", i, u"process %d trace %d", p, i);
                }
            }
            _exit(0);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    EXPECT_EQ(server.stop(), 0);
    struct stat st {};
    EXPECT_NE(::lstat(nvl::sys::pipePath(kLogPipeName).c_str(), &st), 0);  // socket removed

    std::map<std::string, int> seen;
    const std::regex trace(
        R"(.* level=6 load\.cpp:(\d+) \[CGIShare\]\[[^\]]+\](process \d+ trace \d+))");
    int traces = 0;
    for (const std::string& line : lines(nvl::test::readFile(log))) {
        std::smatch m;
        if (!std::regex_match(line, m, trace))
            continue;
        ++traces;
        ++seen[m[2].str()];
        EXPECT_EQ(" trace " + m[1].str(), m[2].str().substr(m[2].str().find(" trace")));
    }
    EXPECT_EQ(traces, kProcesses * kTraces);
    EXPECT_EQ(seen.size(), static_cast<size_t>(kProcesses * kTraces));
    for (const auto& [text, count] : seen)
        EXPECT_EQ(count, 1) << text;
}

TEST(LogServerTest, BadMessagesAreDroppedWithANoteAndTheServerGoesOn) {
    nvl::test::TestEnv env;
    const std::string log = env.root() + "/trace.log";
    LogServerProcess server(LOGSERVER_PATH, log);
    ASSERT_TRUE(server.ready());
    LogServerProcess second(LOGSERVER_PATH, env.root() + "/second.log");
    EXPECT_FALSE(second.ready());
    EXPECT_EQ(second.stop(), 1);

    const std::u16string good = u"LOG_WRITE\t1700000000\t7\t8\t6\tsrc/a.cpp\t10\ttext";
    struct Case {
        std::string bytes;
        std::string reason;
    } cases[] = {
        {utf16(good + u'\0') + "x", "not a whole number of UTF-16 units"},
        {utf16(good), "no terminating NUL unit"},
        {utf16(u"LOG_READ\t1\t2\t3\t4\ts\t5\tt" + std::u16string(1, u'\0')),
         "not a LOG_WRITE command"},
        {utf16(u"LOG_WRITE\t1\t2\t3\t4\ts\t5" + std::u16string(1, u'\0')),
         "fewer than eight fields"},
        {utf16(u"LOG_WRITE\t1\t-2\t3\t4\ts\t5\tt" + std::u16string(1, u'\0')), "bad process id"},
        {utf16(u"LOG_WRITE\t1\t2\t3\t99999999999\ts\t5\tt" + std::u16string(1, u'\0')),
         "bad level"},
        {std::string(nvl::sys::kPipeMaxMessage + 2, 'A'), "longer than the largest message"},
    };
    for (const Case& c : cases)
        sendRaw(c.bytes);
    // A trace with a line break, a TAB and a character outside the BMP, then the library's own
    // traces from a program that loads it as a shared library.
    sendRaw(utf16(u"LOG_WRITE\t1700000000\t7\t8\t-1\tsrc/b.cpp\t-5\tone\ntwo\tthree \U0001F600" +
                  std::u16string(1, u'\0')));
    ASSERT_EQ(std::system(TRACE_DEMO_PATH " > /dev/null"), 0);
    EXPECT_EQ(server.stop(), 0);

    const std::string text = nvl::test::readFile(log);
    for (const Case& c : cases) {
        EXPECT_NE(text.find("bytes from pid " + std::to_string(::getpid()) + ": " + c.reason),
                  std::string::npos)
            << c.reason;
    }
    EXPECT_TRUE(std::regex_search(
        text, std::regex(R"(\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d pid=7 tid=8 level=-1 src/b\.cpp:-5 )"
                         "one\\\\ntwo\tthree \xF0\x9F\x98\x80\n")))
        << text;
    EXPECT_NE(text.find("[CGIShare][trace_demo][ServerUpdateLog] can't open log file."),
              std::string::npos);
    EXPECT_NE(text.find("stopped: 7 traces, 7 messages dropped"), std::string::npos) << text;
}

// Clients that connect and send nothing, more of them than the server has descriptors: the
// server keeps serving traces at once, sleeps meanwhile, and closes every one of them.
TEST(LogServerTest, IdleConnectionsNeitherStarveTracesNorSpinTheServer) {
    constexpr size_t kIdle = 2000;
    if (!allowDescriptors(kIdle + 100))
        GTEST_SKIP() << "this process may not hold " << kIdle + 100 << " descriptors";
    nvl::test::TestEnv env;
    const std::string log = env.root() + "/trace.log";
    constexpr int kIdleMs = 2000;
    LogServerProcess server(LOGSERVER_PATH, log, {"--idle-ms", std::to_string(kIdleMs)}, 1024);
    ASSERT_TRUE(server.ready());
    const double processorBefore = processorSeconds(server.pid());
    const auto start = Clock::now();

    std::vector<nvl::sys::PipeConnection> idle = openIdleConnections(kIdle);
    traceFromChild("sent past 2000 idle connections");
    EXPECT_TRUE(logShows(log, "sent past 2000 idle connections", milliseconds(1000)));

    EXPECT_EQ(waitUntilClosed(idle, 0, kIdle, milliseconds(kIdleMs + 10000)), 0u);
    // The newest were made after `start` and are kept until their idle limit has passed.
    EXPECT_GE(Clock::now() - start, milliseconds(kIdleMs));
    EXPECT_LT(processorSeconds(server.pid()) - processorBefore, 0.5);
    EXPECT_EQ(server.stop(), 0);
    EXPECT_NE(nvl::test::readFile(log).find("stopped: 1 traces, 0 messages dropped, 2000 "
                                            "connections closed without a message"),
              std::string::npos);
}

// With the per-account limit out of the way, idle clients do run the server out of
// descriptors: it then waits for descriptors to come free instead of spinning, and the clients
// queued behind, a trace among them, are served as the idle ones are closed.
TEST(LogServerTest, OutOfDescriptorsTheServerWaitsInsteadOfSpinning) {
    constexpr size_t kIdle = 300;
    ASSERT_TRUE(allowDescriptors(kIdle + 100));
    nvl::test::TestEnv env;
    const std::string log = env.root() + "/trace.log";
    LogServerProcess server(LOGSERVER_PATH, log, {"--idle-ms", "300", "--max-per-user", "100000"},
                            64);
    ASSERT_TRUE(server.ready());
    const double processorBefore = processorSeconds(server.pid());

    std::vector<nvl::sys::PipeConnection> idle = openIdleConnections(kIdle);
    traceFromChild("queued behind the idle connections");
    EXPECT_TRUE(logShows(log, "queued behind the idle connections", milliseconds(15000)));
    EXPECT_EQ(waitUntilClosed(idle, 0, kIdle, milliseconds(15000)), 0u);
    EXPECT_LT(processorSeconds(server.pid()) - processorBefore, 0.5);
    EXPECT_EQ(server.stop(), 0);
    EXPECT_NE(nvl::test::readFile(log).find("cannot accept clients (out of descriptors"),
              std::string::npos);
}

// One account holds at most --max-per-user connections that have not sent; its oldest go
// first, so a client of that account that connects and sends is still served, and the log
// says so once rather than once per connection.
TEST(LogServerTest, AnAccountKeepsOnlyItsNewestIdleConnections) {
    nvl::test::TestEnv env;
    const std::string log = env.root() + "/trace.log";
    LogServerProcess server(LOGSERVER_PATH, log, {"--max-per-user", "8", "--idle-ms", "60000"});
    ASSERT_TRUE(server.ready());

    std::vector<nvl::sys::PipeConnection> idle = openIdleConnections(20);
    EXPECT_EQ(waitUntilClosed(idle, 0, 12, milliseconds(10000)), 0u);
    // The twelfth went when the twentieth was taken: the newest eight are all there.
    for (size_t i = 12; i < idle.size(); ++i)
        EXPECT_FALSE(closedByServer(idle[i])) << i;
    traceFromChild("from an account at its limit");
    EXPECT_TRUE(logShows(log, "from an account at its limit", milliseconds(5000)));
    EXPECT_EQ(server.stop(), 0);

    EXPECT_EQ(occurrences(nvl::test::readFile(log),
                          "uid " + std::to_string(::getuid()) +
                              " holds the most connections without a message allowed per "
                              "account (8): its oldest are closed (1 connection since"),
              1u);
}

TEST(LogServerTest, TheLogIsNotReadableByOthers) {
    nvl::test::TestEnv env;
    const struct Case {
        const char* name;
        mode_t before;  // 0: no log yet
        mode_t after;
    } cases[] = {
        {"created", 0, 0640},
        {"world-readable", 0644, 0640},
        {"world-writable", 0666, 0640},
        {"owner only", 0600, 0600},
    };
    for (const Case& c : cases) {
        const std::string log = env.root() + "/" + c.name + ".log";
        if (c.before != 0) {
            env.writeFile(std::string(c.name) + ".log", "earlier\n");
            ASSERT_EQ(::chmod(log.c_str(), c.before), 0);
        }
        LogServerProcess server(LOGSERVER_PATH, log);
        ASSERT_TRUE(server.ready()) << c.name;
        EXPECT_EQ(server.stop(), 0);
        struct stat st {};
        ASSERT_EQ(::stat(log.c_str(), &st), 0) << c.name;
        EXPECT_EQ(st.st_mode & 07777, c.after) << c.name;
    }
}

}  // namespace

TEST(LogServerTest, ReachableOnlyWhileItRuns) {
    nvl::test::TestEnv env;
    EXPECT_FALSE(isLogServerReachable());
    LogServerProcess server(LOGSERVER_PATH, env.root() + "/trace.log");
    ASSERT_TRUE(server.ready());
    EXPECT_TRUE(isLogServerReachable());
    EXPECT_EQ(server.stop(), 0);
    EXPECT_FALSE(isLogServerReachable());
}
