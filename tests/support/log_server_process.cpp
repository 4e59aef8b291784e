#include "support/log_server_process.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace nvl::test {

LogServerProcess::LogServerProcess(const std::string& program, const std::string& log,
                                   const std::vector<std::string>& options,
                                   rlim_t descriptorLimit) {
    std::vector<std::string> args = {program, "--log", log, "--ready-fd", "3"};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int ready[2];
    if (::pipe(ready) != 0)
        return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive a test that died
        const rlimit limit{descriptorLimit, descriptorLimit};
        if (descriptorLimit != 0 && ::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            ::_exit(126);
        ::umask(022);
        ::dup2(ready[1], 3);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(ready[1]);
    char byte = 0;
    ready_ = pid_ > 0 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
}

LogServerProcess::~LogServerProcess() {
    if (pid_ > 0)
        stop();
}

int LogServerProcess::stop() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace nvl::test
