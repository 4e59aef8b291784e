// What the benchmark programs share: a private runtime directory for the named objects, and
// the counters that report a subject against the baseline measured in the same run.
#pragma once

#include <benchmark/benchmark.h>
#include <ftw.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace nvl::bench {

// A private runtime directory on tmpfs when there is one, as in production; removed at exit
// by the process that made it (not by forked children).
inline const std::string& runtimeDirectory() {
    static const pid_t owner = ::getpid();
    static std::string directory;
    if (directory.empty()) {
        std::string pattern = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        pattern += "/cgishare-bench.XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        ::setenv("NVL_RUNTIME_DIR", pattern.c_str(), 1);
        directory = pattern;
        std::atexit([] {
            if (directory.empty() || ::getpid() != owner)
                return;
            ::nftw(
                directory.c_str(),
                [](const char* path, const struct stat*, int, struct FTW*) {
                    return ::remove(path);
                },
                16, FTW_DEPTH | FTW_PHYS);
        });
    }
    return directory;
}

// The mean time of `count` calls of `call`, in nanoseconds: for a baseline timed in the same run
// as the subject.
template <class F>
double nanosecondsPerCall(F&& call, int64_t count) {
    auto start = std::chrono::steady_clock::now();
    for (int64_t i = 0; i < count; ++i)
        call();
    std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    return took.count() / static_cast<double>(count);
}

// "ns" and "baseline_ns" per operation, and "x_baseline", the subject's time over the
// baseline's (below 1: the subject is faster).
inline void report(benchmark::State& state, double subject, double baseline) {
    state.counters["ns"] = subject;
    state.counters["baseline_ns"] = baseline;
    state.counters["x_baseline"] = subject / baseline;
}

}  // namespace nvl::bench
