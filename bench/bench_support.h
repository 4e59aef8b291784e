// What the benchmark programs share: a private runtime directory for the named objects, and
// the counters that report a subject against the baseline measured in the same run.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/registry.h"

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

// Reads the whole file at `path` into `buffer` with open, read and close: the plain read that
// the INI benchmarks measure against.
inline size_t readOnce(const std::string& path, std::vector<char>* buffer) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        std::abort();
    size_t used = 0;
    for (ssize_t n; (n = ::read(fd, buffer->data() + used, buffer->size() - used)) > 0;) {
        used += static_cast<size_t>(n);
    }
    ::close(fd);
    return used;
}

// A private server home holding `text` as its nvlscan.ini, and a registry naming it; both
// removed when the object goes.
struct ServerHome {
    explicit ServerHome(std::string iniText) : text(std::move(iniText)) {
        if (::mkdtemp(dir) == nullptr)
            std::abort();
        iniPath = std::string(dir) + "/nvlscan.ini";
        registry = std::string(dir) + "/registry.reg";
        int fd = ::open(iniPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            std::abort();
        }
        ::close(fd);
        ::setenv("NVL_REGISTRY", registry.c_str(), 1);
        nvl::sys::RegistryKey key;
        if (nvl::sys::RegistryKey::create(nvl::sys::RegHive::LocalMachine,
                                          "SOFTWARE\\HaldenLabs\\Norvel\\service\\Information",
                                          &key) != 0 ||
            key.setString("Local_Path", std::string(dir) + "/") != 0) {
            std::abort();
        }
    }
    ~ServerHome() {
        ::unlink(iniPath.c_str());
        ::unlink(registry.c_str());
        ::unlink((registry + ".lock").c_str());
        ::unlink((registry + ".gen").c_str());
        ::rmdir(dir);
    }
    ServerHome(const ServerHome&) = delete;
    ServerHome& operator=(const ServerHome&) = delete;

    char dir[32] = "/tmp/cgishare-home.XXXXXX";
    std::string text, iniPath, registry;
};

// Reads the whole file at `path` through `buffer`, chunk by chunk: the plain read loop that
// readers of large files are measured against. The byte count read.
inline uint64_t plainReadLoop(const std::string& path, std::vector<char>* buffer) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        std::abort();
    uint64_t total = 0;
    for (ssize_t n; (n = ::read(fd, buffer->data(), buffer->size())) > 0;)
        total += static_cast<uint64_t>(n);
    ::close(fd);
    return total;
}

// The seconds one call of `call` takes.
template <class F>
double seconds(F&& call) {
    auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A kilobyte figure of /proc/self/status ("VmRSS", "VmHWM"); -1 when absent.
inline long statusKiB(const char* key) {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr)
        return -1;
    long value = -1;
    char line[256];
    size_t keyLength = std::strlen(key);
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, key, keyLength) == 0 && line[keyLength] == ':') {
            value = std::strtol(line + keyLength + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return value;
}

// Starts a new peak: the kernel sets the peak RSS (VmHWM) back to the current RSS. Returns the
// current RSS in KiB; the growth of a call is then statusKiB("VmHWM") minus this.
inline long resetPeakRss() {
    FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (f == nullptr || std::fputs("5", f) < 0 || std::fclose(f) != 0)
        std::abort();
    return statusKiB("VmRSS");
}

}  // namespace nvl::bench
