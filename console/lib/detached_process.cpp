#include "detached_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace console {

namespace {

// What the two children tell the page through the pipe, one record per write (atomic: far
// below PIPE_BUF).
struct Message {
    char tag;  // 'P' the program's pid, 'F' the second fork failed, 'X' the exec failed
    int value;
};

void tell(int fd, char tag, int value) {
    Message message{tag, value};
    ssize_t written;
    do {
        written = ::write(fd, &message, sizeof message);
    } while (written < 0 && errno == EINTR);
}

// Closes every descriptor from 3 up but `keep`. Only async-signal-safe calls: this runs
// between fork and exec.
void closeOthers(int keep, long openMax) {
    if ((keep <= 3 || ::close_range(3, static_cast<unsigned>(keep) - 1, 0) == 0) &&
        ::close_range(static_cast<unsigned>(keep) + 1, ~0U, 0) == 0)
        return;
    for (long fd = 3; fd < openMax; ++fd) {
        if (fd != keep)
            ::close(static_cast<int>(fd));
    }
}

// The program's process, after the second fork: never returns.
[[noreturn]] void becomeProgram(char* const* argv, char* const* envp, int input, int errors,
                                int report, long openMax) {
    if (::dup2(input, 0) < 0 || ::dup2(input, 1) < 0 || ::dup2(errors, 2) < 0) {
        tell(report, 'X', errno);
        ::_exit(127);
    }
    closeOthers(report, openMax);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        ::sigaction(sig, &defaults, nullptr);  // fails harmlessly for KILL, STOP, and gaps
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (::chdir("/") != 0) {
        tell(report, 'X', errno);
        ::_exit(127);
    }
    ::execve(argv[0], argv, envp);
    tell(report, 'X', errno);
    ::_exit(127);
}

}  // namespace

bool startDetached(const std::vector<std::string>& argv,
                   const std::vector<std::string>& environment, const std::string& errorLog,
                   pid_t* pid, int* error) {
    *pid = -1;
    *error = 0;
    if (argv.empty() || argv[0].empty() || argv[0][0] != '/') {
        *error = EINVAL;
        return false;
    }
    // Everything the children need is made here: between fork and exec they only make system
    // calls.
    std::vector<char*> args, envs;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    for (const std::string& env : environment)
        envs.push_back(const_cast<char*>(env.c_str()));
    envs.push_back(nullptr);
    long openMax = ::sysconf(_SC_OPEN_MAX);
    if (openMax < 0 || openMax > INT_MAX)
        openMax = 65536;

    int input = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (input < 0) {
        *error = errno;
        return false;
    }
    int errors =
        errorLog.empty()
            ? ::dup(input)
            : ::open(errorLog.c_str(),
                     O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY,
                     0600);
    int report[2] = {-1, -1};
    if (errors < 0 || ::pipe2(report, O_CLOEXEC) != 0) {
        *error = errno;
        if (errors >= 0)
            ::close(errors);
        ::close(input);
        return false;
    }

    pid_t first = ::fork();
    if (first == 0) {
        ::close(report[0]);
        ::setsid();
        pid_t second = ::fork();
        if (second == 0)
            becomeProgram(args.data(), envs.data(), input, errors, report[1], openMax);
        if (second < 0)
            tell(report[1], 'F', errno);
        else
            tell(report[1], 'P', static_cast<int>(second));
        ::_exit(0);
    }
    int forkError = errno;
    ::close(report[1]);
    ::close(errors);
    ::close(input);
    if (first < 0) {
        ::close(report[0]);
        *error = forkError;
        return false;
    }
    int status = 0;
    while (::waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }

    // Until end of file: the pid from the first child, then a failure of the program's exec or
    // nothing (the exec closed the pipe).
    bool started = false;
    Message message{};
    for (;;) {
        ssize_t n = ::read(report[0], &message, sizeof message);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != static_cast<ssize_t>(sizeof message))
            break;
        if (message.tag == 'P') {
            *pid = message.value;
            started = true;
        } else {
            *error = message.value;
            started = false;
        }
    }
    ::close(report[0]);
    if (!started && *error == 0)
        *error = ECHILD;
    if (*error != 0) {
        *pid = -1;
        return false;
    }
    return true;
}

}  // namespace console
