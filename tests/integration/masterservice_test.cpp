// The master service stand-in as a user meets it: started, sent records by nvl-send and by
// SendBuffer, stopped by a signal or by its stop event, and gone afterwards.
#include <cgishare/guid_log.h>
#include <cgishare/map_buffer.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/named_object.h"
#include "support/child_process.h"
#include "support/test_env.h"

namespace {

namespace sys = nvl::sys;
using nvl::test::Child;

const std::string kStandins = std::string(CGISHARE_BINARY_DIR) + "/standins/masterservice/";
constexpr char kStopEvent[] = "Halden_Norvel_Server_Stop_Event";

// Runs a program of the stand-in directory with `args`; its standard output goes to `out`.
std::unique_ptr<Child> start(const std::string& program, std::vector<std::string> args,
                             int out = -1) {
    args.insert(args.begin(), kStandins + program);
    return std::make_unique<Child>([args, out] {
        std::vector<char*> argv;
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        if (out >= 0)
            ::dup2(out, STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        return 127;
    });
}

// Reads from `fd` until a line containing `word` arrives; false after 20 s or at the end.
bool awaitLine(int fd, const std::string& word) {
    std::string seen;
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 20000) != 1)
            return false;
        char buffer[256];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        seen.append(buffer, static_cast<size_t>(n));
        if (seen.find(word) != std::string::npos)
            return true;
    }
}

// The console's own liveness test.
bool serviceAlive() {
    return isAliveMasterService();
}

class MasterServiceTest : public ::testing::Test {
  protected:
    // Starts the service with a small ring and waits until it says it is ready.
    void startService() {
        ASSERT_EQ(::pipe2(out_, O_CLOEXEC), 0);
        service_ = start(
            "nvl-masterservice",
            {"--name", "demo", "--record-size", "32", "--capacity", "8", "--log", log_}, out_[1]);
        ::close(out_[1]);
        ASSERT_TRUE(awaitLine(out_[0], "ready"));
    }
    void TearDown() override {
        if (out_[0] >= 0)
            ::close(out_[0]);
    }

    nvl::test::TestEnv env_;
    std::string log_ = env_.root() + "/log/masterservice.log";
    int out_[2] = {-1, -1};
    std::unique_ptr<Child> service_;
};

TEST_F(MasterServiceTest, LogsEveryRecordAndLeavesNothingBehindOnSigterm) {
    EXPECT_FALSE(serviceAlive());
    startService();
    EXPECT_TRUE(serviceAlive());
    EXPECT_EQ(start("nvl-masterservice", {"--log", log_})->wait(), 1) << "one service at a time";

    EXPECT_EQ(
        start("nvl-send", {"--name", "demo", "--record-size", "32", "hello", "world"})->wait(), 0);
    char binary[32] = {'a', '\x01', '\\', '"'};
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(NvlMapBuffer("demo", 32).SendBuffer(binary), 0);
    EXPECT_EQ(start("nvl-send", {"--name", "demo", "--record-size", "4", "x"})->wait(), 1)
        << "another record size";

    ::kill(service_->pid(), SIGTERM);
    EXPECT_EQ(service_->wait(), 0);
    EXPECT_FALSE(serviceAlive());
    EXPECT_EQ(NvlMapBuffer("demo", 32).SendBuffer(binary), NvlMapBuffer::kNoEvent);

    // Everything accepted before the stop is in the log, once, in order.
    std::istringstream lines(nvl::test::readFile(log_));
    std::vector<std::string> texts;
    std::regex shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (.*))");
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
        texts.push_back(match[1]);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{R"(11 "hello world")", R"(4 "a\x01\\"")",
                                               R"(4 "a\x01\\"")", R"(4 "a\x01\\"")"}));
}

TEST_F(MasterServiceTest, StopsWhenAnotherProcessSetsItsStopEvent) {
    startService();
    {
        sys::Handle stop = sys::openEvent(kStopEvent);
        ASSERT_TRUE(stop);
        ASSERT_TRUE(sys::setEvent(stop.get()));
        EXPECT_EQ(service_->wait(), 0);
    }
    EXPECT_FALSE(serviceAlive());
}

}  // namespace
