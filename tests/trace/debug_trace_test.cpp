// The trace client seen from the log server's side: a listener in the test takes each
// LOG_WRITE command off the pipe and checks its bytes.
#include <cgishare/trace.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "support/test_env.h"
#include "trace/trace_client.h"

namespace nvl::trace {
namespace {

std::atomic<uint32_t> g_now{1000};
uint32_t fakeClock() {
    return g_now.load();
}

// ASCII as it is, anything else as <hex>.
std::string ascii(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        char hex[12];
        std::snprintf(hex, sizeof hex, "<%x>", static_cast<unsigned>(c));
        out += c < 0x80 ? std::string(1, static_cast<char>(c)) : hex;
    }
    return out;
}

std::string executable() {
    std::string path = sys::executablePath();
    return path.substr(path.rfind('/') + 1);
}

// One command as it came off the pipe: the eight fields, split at the first seven TABs.
struct Command {
    std::vector<std::string> fields;
    size_t bytes = 0;
};

class Listener {
  public:
    Listener() {
        EXPECT_EQ(sys::PipeServer::create(kLogPipeName, SOMAXCONN, true, &server_), sys::kSuccess);
    }
    explicit Listener(int backlog) {
        EXPECT_EQ(sys::PipeServer::create(kLogPipeName, backlog, false, &server_), sys::kSuccess);
    }

    sys::PipeServer& server() { return server_; }

    // The next command, or nothing when no client is waiting. Connections that ended
    // without a message are counted and passed over.
    std::optional<Command> take() {
        sys::PipeConnection peer;
        std::string bytes(sys::kPipeMaxMessage, '\0');
        size_t size = 0;
        for (;;) {
            if (server_.accept(&peer) != sys::kSuccess)
                return std::nullopt;
            uint32_t error = peer.receive(bytes.data(), bytes.size(), &size);
            if (error == sys::kSuccess)
                break;
            EXPECT_EQ(error, sys::kErrBrokenPipe);
            ++emptyConnections;
        }
        bytes.resize(size);
        EXPECT_EQ(size % 2, 0u);
        std::u16string units(size / 2, u'\0');
        std::memcpy(units.data(), bytes.data(), units.size() * 2);
        // One terminating NUL unit, part of the message, and no other.
        EXPECT_FALSE(units.empty());
        EXPECT_EQ(units.back(), u'\0');
        units.pop_back();
        EXPECT_EQ(units.find(u'\0'), std::u16string::npos);

        Command command;
        command.bytes = size;
        size_t start = 0;
        for (int i = 0; i < 7; ++i) {
            size_t tab = units.find(u'\t', start);
            if (tab == std::u16string::npos)
                break;
            command.fields.push_back(ascii(units.substr(start, tab - start)));
            start = tab + 1;
        }
        command.fields.push_back(ascii(units.substr(start)));
        return command;
    }

    int emptyConnections = 0;

  private:
    sys::PipeServer server_;
};

class TraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sys::setTickCountSourceForTesting(fakeClock);
        g_now = 1000;
        resetClientForTesting();
        InitLogClient("", "", "CGIShare", true);
        prefix_ = "[CGIShare][" + executable() + "]";
    }
    void TearDown() override { sys::setTickCountSourceForTesting(nullptr); }

    test::TestEnv env_;
    std::string prefix_;
};

TEST_F(TraceTest, NarrowTraceSendsTheExactFields) {
    Listener listener;
    long long before = std::time(nullptr);
    DebugTraceA(6, "src/config/update_log.cpp", 10, "[ServerUpdateLog] read error.");
    long long after = std::time(nullptr);

    auto command = listener.take();
    ASSERT_TRUE(command);
    const auto& f = command->fields;
    ASSERT_EQ(f.size(), 8u);
    EXPECT_EQ(f[0], "LOG_WRITE");
    EXPECT_GE(std::stoll(f[1]), before);
    EXPECT_LE(std::stoll(f[1]), after);
    EXPECT_EQ(f[2], std::to_string(::getpid()));
    EXPECT_EQ(f[3], std::to_string(sys::currentThreadId()));
    EXPECT_EQ(f[4], "6");
    EXPECT_EQ(f[5], "src/config/update_log.cpp");
    EXPECT_EQ(f[6], "10");
    EXPECT_EQ(f[7], prefix_ + "[ServerUpdateLog] read error.");
    size_t characters = 7;  // the separators
    for (const auto& field : f)
        characters += field.size();
    EXPECT_EQ(command->bytes, 2 * characters + 2);
    EXPECT_FALSE(listener.take());  // one message per trace
    EXPECT_EQ(listener.emptyConnections, 0);
}

TEST_F(TraceTest, TextIsTheLastFieldWithTabsAndIsCutAt4095Units) {
    Listener listener;
    const std::string longMessage(5000, 'x');
    struct Case {
        std::string message;
        std::string expectedText;
    } cases[] = {
        {"a\tb\t\tc\t", prefix_ + "a\tb\t\tc\t"},
        {longMessage, (prefix_ + longMessage).substr(0, 4095)},
        {"-5 %", prefix_ + "-5 %"},
    };
    for (const Case& c : cases) {
        std::u16string wide(c.message.begin(), c.message.end());
        DebugTraceA(4, "a.cpp", -3, "%s", c.message.c_str());
        DebugTraceW(4, u"a.cpp", -3, u"%s", wide.c_str());
        for (const char* kind : {"narrow", "wide"}) {
            SCOPED_TRACE(kind);
            auto command = listener.take();
            ASSERT_TRUE(command);
            ASSERT_EQ(command->fields.size(), 8u);
            EXPECT_EQ(command->fields[4], "4");
            EXPECT_EQ(command->fields[6], "-3");
            EXPECT_EQ(command->fields[7], c.expectedText);
        }
    }
}

TEST_F(TraceTest, WideTraceFollowsTheWideFormatRules) {
    Listener listener;
    DebugTraceW(8, u"src/spyware/facade.cpp", 77, u"[TARSKMOD] %s|%hs|%S|%d|%c|%5.1f", u"wide",
                "narrow", "capital", -42, u'Z', 2.25);
    auto command = listener.take();
    ASSERT_TRUE(command);
    ASSERT_EQ(command->fields.size(), 8u);
    EXPECT_EQ(command->fields[5], "src/spyware/facade.cpp");
    EXPECT_EQ(command->fields[7], prefix_ + "[TARSKMOD] wide|narrow|capital|-42|Z|  2.2");

    // Narrow text is in the ANSI code page (1252 here): source file and text alike.
    DebugTraceA(8, "caf\xE9.cpp", 1, "%s \x80", "na\xEFve");
    DebugTraceW(8, u"w.cpp", 2, u"%hs|%s", "na\xEFve", u"\u65e5");
    command = listener.take();
    ASSERT_TRUE(command);
    EXPECT_EQ(command->fields[5], "caf<e9>.cpp");
    EXPECT_EQ(command->fields[7], prefix_ + "na<ef>ve <20ac>");
    command = listener.take();
    ASSERT_TRUE(command);
    EXPECT_EQ(command->fields[7], prefix_ + "na<ef>ve|<65e5>");
}

TEST_F(TraceTest, ClosedRouteIsRetriedOnEveryEleventhCallAfterFiveSeconds) {
    struct Case {
        uint32_t failedAt;
        uint32_t tooEarly;  // exactly 5000 ms later: not yet
        uint32_t retryAt;
    } cases[] = {
        {1000, 6000, 6001},
        {0xFFFFF000u, 0xFFFFF000u + 5000u, 0xFFFFF000u + 5001u},  // across the wrap
    };
    for (const Case& c : cases) {
        resetClientForTesting();
        g_now = c.failedAt;
        DebugTraceA(5, "gate.cpp", 1, "lost: no server");  // fails and closes the route
        Listener listener;
        for (int i = 0; i < 10; ++i)
            DebugTraceA(5, "gate.cpp", 2, "refused %d", i);
        g_now = c.tooEarly;
        DebugTraceA(5, "gate.cpp", 3, "eleventh, too early");
        EXPECT_FALSE(listener.take());

        for (int i = 0; i < 10; ++i)
            DebugTraceA(5, "gate.cpp", 4, "refused again %d", i);
        EXPECT_FALSE(listener.take());
        g_now = c.retryAt;
        DebugTraceA(5, "gate.cpp", 5, "eleventh, retried");
        auto command = listener.take();
        ASSERT_TRUE(command);
        EXPECT_EQ(command->fields[7], prefix_ + "eleventh, retried");
        EXPECT_FALSE(listener.take());

        DebugTraceW(5, u"gate.cpp", 6, u"route open again");
        EXPECT_TRUE(listener.take());
    }
}

TEST_F(TraceTest, BusyServerIsWaitedFor) {
    Listener listener(0);
    std::vector<sys::PipeConnection> fillers;
    for (;;) {
        sys::PipeConnection c;
        uint32_t error = c.connect(kLogPipeName);
        if (error == sys::kErrPipeBusy)
            break;
        ASSERT_EQ(error, sys::kSuccess);
        fillers.push_back(std::move(c));
    }
    std::atomic<pid_t> tid{0};
    std::thread tracer([&] {
        tid = static_cast<pid_t>(sys::currentThreadId());
        DebugTraceA(6, "busy.cpp", 1, "after the wait");
    });
    // Let the server take connections only once the tracer waits in connect (syscall 42).
    bool waiting = false;
    for (int i = 0; i < 5000 && !waiting; ++i) {
        std::ifstream syscall("/proc/self/task/" + std::to_string(tid.load()) + "/syscall");
        int number = -1;
        waiting = tid != 0 && (syscall >> number) && number == 42;
        if (!waiting)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(waiting);
    fillers.clear();
    std::string text;
    while (text.empty()) {
        sys::PipeConnection peer;
        ASSERT_EQ(listener.server().accept(&peer), sys::kSuccess);
        char buffer[512];
        size_t size = 0;
        if (peer.receive(buffer, sizeof buffer, &size) == sys::kSuccess) {
            for (size_t i = 0; i + 1 < size; i += 2)
                text += buffer[i];
        }
    }
    tracer.join();
    EXPECT_NE(text.find("after the wait"), std::string::npos);
}

// Runs last in this program: the debug library, once bound, stays bound.
TEST_F(TraceTest, PipeFailuresAreReportedToTheDebugLibraryOnly) {
    const std::string log = env_.root() + "/sd.log";
    ::setenv("SD_FIXTURE_LOG", log.c_str(), 1);
    ASSERT_EQ(InitLogClient("cfg.ini", DEBUG_LIBRARY_PATH, "CGIShare", false), 1);
    EXPECT_EQ(InitLogClient("cfg.ini", "/nonexistent/debug.so", "CGIShare", false), 0);

    // No log server, retried three times: one complaint.
    for (int i = 0; i < 3; ++i) {
        g_now += 5001;
        for (int k = 0; k < 11; ++k)
            DebugTraceA(6, "x.cpp", 1, "nobody listens");
    }
    // Any other open failure: the pipe directory is not a directory.
    env_.writeFile("run/pipe", "not a directory");
    g_now += 5001;
    for (int k = 0; k < 11; ++k)
        DebugTraceW(6, u"x.cpp", 1, u"still nobody");
    ::unlink((env_.runtime() + "/pipe").c_str());
    // A command too long for one message fails the send.
    Listener listener;
    g_now += 5001;
    for (int k = 0; k < 11; ++k) {
        DebugTraceA(6, std::string(sys::kPipeMaxMessage, 's').c_str(), 1, "too long");
    }
    EXPECT_FALSE(listener.take());
    EXPECT_EQ(listener.emptyConnections, 1);
    ::unsetenv("SD_FIXTURE_LOG");

    std::vector<std::string> lines;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 4u) << test::readFile(log);
    EXPECT_TRUE(std::regex_match(
        lines[0], std::regex(R"(init\|cfg\.ini\|[A-Z][a-z]{2} [ 123]\d \d{4}\|\d\d:\d\d:\d\d)")))
        << lines[0];
    EXPECT_EQ(lines[1], "traceW|0|5|" + prefix_ + "Need to Start LogServer for turn on debug log.");
    EXPECT_EQ(lines[2], "traceW|0|5|" + prefix_ + "Initial pipe client failed! err=3");
    EXPECT_EQ(lines[3], "traceW|0|5|" + prefix_ + "pipe send failed!. err=87");
}

}  // namespace
}  // namespace nvl::trace
