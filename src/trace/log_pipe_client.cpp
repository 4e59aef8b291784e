#include "trace/log_pipe_client.h"

#include <atomic>

#include <cgishare/trace.h>

#include "platform/error.h"
#include "trace/trace_client.h"

namespace nvl::trace {

namespace {
std::atomic<bool> g_logServerWarned{false};
}

void resetLogServerWarning() {
    g_logServerWarned.store(false, std::memory_order_relaxed);
}

LogPipeClient::LogPipeClient() : pipeName_(kLogPipeName) {}

bool LogPipeClient::open() {
    uint32_t error = handle_.connect(pipeName_);
    while (error == sys::kErrPipeBusy) {
        error = handle_.waitForServer(pipeName_, kPipeBusyWaitMs);
        if (error == sys::kSuccess)
            error = handle_.connect(pipeName_);
    }
    if (error == sys::kSuccess)
        return true;
    if (error == sys::kErrFileNotFound) {
        // No log server is the normal case when nobody wants traces: say so once.
        if (!g_logServerWarned.exchange(true, std::memory_order_relaxed)) {
            DebugTraceLibraryW(5, u"" __FILE__, __LINE__,
                               u"Need to Start LogServer for turn on debug log.");
        }
    } else {
        DebugTraceLibraryW(5, u"" __FILE__, __LINE__, u"Initial pipe client failed! err=%d",
                           static_cast<int>(error));
    }
    handle_.close();
    return false;
}

bool LogPipeClient::send(const void* message, size_t bytes) {
    if (!open())
        return false;
    uint32_t error = handle_.send(message, bytes);
    handle_.close();
    if (error != sys::kSuccess) {
        DebugTraceLibraryW(5, u"" __FILE__, __LINE__, u"pipe send failed!. err=%d",
                           static_cast<int>(error));
        return false;
    }
    return true;
}

}  // namespace nvl::trace

bool isLogServerReachable() {
    nvl::sys::PipeConnection probe;
    uint32_t error = probe.connect(nvl::trace::kLogPipeName);
    return error == nvl::sys::kSuccess || error == nvl::sys::kErrPipeBusy;
}
