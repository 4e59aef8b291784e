// The log server as a separate process: traces from several processes at once, messages it
// must drop, a second server, and a clean stop.
#include <cgishare/trace.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/pipe.h"
#include "support/test_env.h"
#include "trace/trace_client.h"

namespace {

using nvl::trace::kLogPipeName;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// An nvl-logserver started for one test; ready once the constructor returns.
class LogServerProcess {
  public:
    explicit LogServerProcess(const std::string& log) {
        int ready[2];
        EXPECT_EQ(::pipe(ready), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(ready[1], 3);
            ::execl(LOGSERVER_PATH, LOGSERVER_PATH, "--log", log.c_str(), "--ready-fd", "3",
                    static_cast<char*>(nullptr));
            _exit(127);
        }
        ::close(ready[1]);
        char byte = 0;
        ready_ = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
    }
    ~LogServerProcess() {
        if (pid_ > 0)
            stop();
    }

    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }

    // SIGTERM and wait; returns the exit code (-1 when it did not exit normally).
    int stop() {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

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

TEST(LogServerTest, EveryTraceFromSeveralProcessesArrivesExactlyOnce) {
    nvl::test::TestEnv env;
    const std::string log = env.root() + "/log/trace.log";
    LogServerProcess server(log);
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
    LogServerProcess server(log);
    ASSERT_TRUE(server.ready());
    LogServerProcess second(env.root() + "/second.log");
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

}  // namespace
