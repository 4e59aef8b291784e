// The real log server as a separate process for one test: started with --ready-fd, so it is
// ready to take traces once the constructor returns.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace nvl::test {

class LogServerProcess {
  public:
    // Starts `program` (the nvl-logserver executable) writing to `log`, with `options` after
    // the standard ones and, when `descriptorLimit` is not 0, no more descriptors than that.
    // The environment (NVL_RUNTIME_DIR) is this process's; the umask is 022.
    LogServerProcess(const std::string& program, const std::string& log,
                     const std::vector<std::string>& options = {}, rlim_t descriptorLimit = 0);
    ~LogServerProcess();
    LogServerProcess(const LogServerProcess&) = delete;
    LogServerProcess& operator=(const LogServerProcess&) = delete;

    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }

    // SIGTERM and wait: every trace sent so far is in the log when it returns. Returns the
    // exit code (-1 when it did not exit normally).
    int stop();

  private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

}  // namespace nvl::test
