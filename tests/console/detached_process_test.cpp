// A program started detached from a page: it runs in a session of its own, not as the page's
// child (nothing left to reap), with /dev/null for input and output, the error log as standard
// error, none of the page's other descriptors, default signals, "/" as its directory and only
// the environment it was given; a program that cannot be started is reported, not lost.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "detached_process.h"
#include "support/test_env.h"

namespace {

std::string link(const std::string& path) {
    char target[4096];
    ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

std::string procFile(pid_t pid, const char* name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The value of a "Name:\tvalue" line of /proc/PID/status.
std::string statusField(pid_t pid, const std::string& name) {
    std::istringstream lines(procFile(pid, "status"));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    }
    return {};
}

bool noChildLeft() {
    return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

const char* sleepProgram() {
    return ::access("/usr/bin/sleep", X_OK) == 0 ? "/usr/bin/sleep" : "/bin/sleep";
}

TEST(DetachedProcess, RunsOnItsOwnWithNothingOfThePage) {
    nvl::test::TestEnv env;
    std::string log = env.root() + "/scan.log";
    env.writeFile("scan.log", "the previous start's messages\n");
    // What a page could leak: a descriptor without close-on-exec, a blocked and an ignored signal.
    int leak[2];
    ASSERT_EQ(::pipe(leak), 0);
    sigset_t blocked, saved;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    ASSERT_EQ(::sigprocmask(SIG_BLOCK, &blocked, &saved), 0);
    struct sigaction ignore {
    }, savedPipe{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &savedPipe), 0);

    pid_t pid = -1;
    int error = -1;
    bool started = console::startDetached({sleepProgram(), "30"}, {"A=1", "PATH=/usr/bin:/bin"},
                                          log, &pid, &error);
    ::sigprocmask(SIG_SETMASK, &saved, nullptr);
    ::sigaction(SIGPIPE, &savedPipe, nullptr);
    ::close(leak[0]);
    ::close(leak[1]);
    ASSERT_TRUE(started) << error;
    ASSERT_GT(pid, 0);
    EXPECT_EQ(error, 0);

    std::string proc = "/proc/" + std::to_string(pid);
    // The exec has happened when the call returns.
    EXPECT_NE(link(proc + "/exe").find("sleep"), std::string::npos);
    std::set<std::string> fds;
    for (int fd = 0; fd < 64; ++fd) {
        std::string target = link(proc + "/fd/" + std::to_string(fd));
        if (!target.empty())
            fds.insert(std::to_string(fd) + " " + target);
    }
    EXPECT_EQ(fds, (std::set<std::string>{"0 /dev/null", "1 /dev/null", "2 " + log}));
    EXPECT_EQ(nvl::test::readFile(log), "");  // a start begins its own log
    EXPECT_EQ(procFile(pid, "environ"), std::string("A=1\0PATH=/usr/bin:/bin\0", 23));
    EXPECT_EQ(link(proc + "/cwd"), "/");
    EXPECT_EQ(statusField(pid, "SigBlk"), "0000000000000000");
    // Signals 32 and 33 are the C library's own (thread cancellation and set-id calls): it
    // allows no change to them, and sets their handlers itself in the program it starts. An
    // environment that ignores them (some job controls do) passes that on; nothing else is.
    uint64_t ignored = std::stoull(statusField(pid, "SigIgn"), nullptr, 16);
    EXPECT_EQ(ignored & ~((uint64_t{1} << 31) | (uint64_t{1} << 32)), 0u)
        << statusField(pid, "SigIgn");
    // Not the page's child, in a session of its own, and not that session's leader (so it
    // cannot take a terminal).
    EXPECT_NE(statusField(pid, "PPid"), std::to_string(::getpid()));
    pid_t session = ::getsid(pid);
    EXPECT_NE(session, ::getsid(0));
    EXPECT_NE(session, pid);
    EXPECT_TRUE(noChildLeft());
    ::kill(pid, SIGKILL);
}

TEST(DetachedProcess, FailuresAreReportedAndLeaveNoChild) {
    nvl::test::TestEnv env;
    pid_t pid = 0;
    int error = 0;
    EXPECT_FALSE(console::startDetached({env.root() + "/missing"}, {}, "", &pid, &error));
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(pid, -1);
    std::string script = env.writeFile("not-executable", "#!/bin/sh\n");
    EXPECT_FALSE(console::startDetached({script}, {}, "", &pid, &error));
    EXPECT_EQ(error, EACCES);
    EXPECT_FALSE(console::startDetached({"sleep", "1"}, {}, "", &pid, &error));
    EXPECT_EQ(error, EINVAL);
    // The error log is never reached through a symbolic link.
    ASSERT_EQ(::symlink((env.root() + "/elsewhere").c_str(), (env.root() + "/log").c_str()), 0);
    EXPECT_FALSE(
        console::startDetached({sleepProgram(), "1"}, {}, env.root() + "/log", &pid, &error));
    EXPECT_EQ(error, ELOOP);
    struct stat st {};
    EXPECT_NE(::stat((env.root() + "/elsewhere").c_str(), &st), 0);
    EXPECT_TRUE(noChildLeft());
}

}  // namespace
