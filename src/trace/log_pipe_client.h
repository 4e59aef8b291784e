// LogPipeClient: the client end of one connection to the log server.
//
// One instance per delivery: the pipe is opened, written once and closed for every trace
// line. Its own failures go to the debug library only (DebugTraceLibraryW), never back into
// the pipe: "Need to Start LogServer for turn on debug log." once per process when no log
// server runs, "Initial pipe client failed! err=%d" for any other open failure, and
// "pipe send failed!. err=%d" when the write fails. A busy server is waited for, up to
// 20 seconds per wait.
#pragma once

#include <cstddef>
#include <string>

#include "platform/pipe.h"

namespace nvl::trace {

class LogPipeClient {
  public:
    LogPipeClient();
    ~LogPipeClient() = default;
    LogPipeClient(const LogPipeClient&) = delete;
    LogPipeClient& operator=(const LogPipeClient&) = delete;

    // Opens the pipe, writes `bytes` bytes of `message` as one message and closes it.
    bool send(const void* message, size_t bytes);

  private:
    bool open();

    sys::PipeConnection handle_;
    std::string pipeName_;
};

// Forgets that the log-server complaint was issued (tests only).
void resetLogServerWarning();

}  // namespace nvl::trace
