#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace nvl::test {

Channel::Channel() {
    if (::pipe2(fds_, O_CLOEXEC) != 0)
        std::abort();
}

Channel::~Channel() {
    ::close(fds_[0]);
    ::close(fds_[1]);
}

void Channel::post(char c) {
    while (::write(fds_[1], &c, 1) != 1 && errno == EINTR) {
    }
}

char Channel::take() {
    pollfd ready{fds_[0], POLLIN, 0};
    int rc;
    while ((rc = ::poll(&ready, 1, 20000)) < 0 && errno == EINTR) {
    }
    char c = 0;
    return rc == 1 && ::read(fds_[0], &c, 1) == 1 ? c : '\0';
}

Child::Child(const std::function<int()>& body, unsigned watchdogSeconds) {
    pid_ = ::fork();
    if (pid_ == 0) {
        ::alarm(watchdogSeconds);
        ::_exit(body());
    }
}

Child::~Child() {
    if (pid_ > 0 && !reaped_) {
        kill();
        wait();
    }
}

void Child::kill() {
    ::kill(pid_, SIGKILL);
}

int Child::wait() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool blockedInWait(const std::string& procTask) {
    using Clock = std::chrono::steady_clock;
    auto until = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < until) {
        std::ifstream in(procTask + "/syscall");
        long number = -1;
        // futex, futex_waitv, clock_nanosleep
        if (in >> number && (number == 202 || number == 449 || number == 230))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

bool blockedInWait(pid_t pid) {
    return blockedInWait("/proc/" + std::to_string(pid));
}

}  // namespace nvl::test
