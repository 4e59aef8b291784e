#include "platform/process.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <ctime>

namespace nvl::sys {

namespace {

uint32_t monotonicMilliseconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

std::atomic<uint32_t (*)()> g_tickSource{monotonicMilliseconds};

time_t systemTime() {
    return ::time(nullptr);
}

std::atomic<time_t (*)()> g_timeSource{systemTime};

}  // namespace

uint32_t tickCount() {
    return g_tickSource.load(std::memory_order_relaxed)();
}

void setTickCountSourceForTesting(uint32_t (*source)()) {
    g_tickSource.store(source != nullptr ? source : monotonicMilliseconds);
}

time_t currentTime() {
    return g_timeSource.load(std::memory_order_relaxed)();
}

void setCurrentTimeSourceForTesting(time_t (*source)()) {
    g_timeSource.store(source != nullptr ? source : systemTime);
}

uint32_t currentProcessId() {
    return static_cast<uint32_t>(::getpid());
}

uint32_t currentThreadId() {
    thread_local const uint32_t tid = static_cast<uint32_t>(::syscall(SYS_gettid));
    return tid;
}

std::string executablePath() {
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    return std::string(buffer, static_cast<size_t>(n));
}

}  // namespace nvl::sys
