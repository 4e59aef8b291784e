// getPtnFileVersion and getCurrentComponentVer over 1,000 virus pattern files of 1 MiB, against
// the floor of any such call: list the directory and read each file's first 64 bytes (open,
// pread, close).
//
// Each iteration times the floor and the subject one after the other, so that the ratio compares
// them under the same load. The files are real patterns (header, tables and a 1 MiB body) that
// the engine, MARLIN32.so, takes; every one is a candidate and is asked for its version. No log
// server runs: the traces cost what they cost a page on a server without one.
// Counters: floor_files_per_s, files_per_s, ratio (subject files per second over the floor's).
#include <benchmark/benchmark.h>
#include <cgishare/component_info.h>
#include <cgishare/pattern_files.h>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_support.h"
#include "engine/marlin_testing.h"
#include "pattern_format.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFiles = 1000;
constexpr uint64_t kBodyBytes = 1u << 20;

// The server home with the pattern files, made once for the whole run.
struct PatternHome {
    PatternHome() : home("") {
        nvl::bench::runtimeDirectory();  // a private one: no log server listens there
        nvl::engine::setMarlinLibraryForTesting(MARLIN32_SO);
        marlin32::PatternContent content;
        content.types = {{1, 2, "Trojan"}, {3, 4, "Worm"}};
        content.extList = "{*;EXE;COM;DLL}";
        for (int n = 1; n <= kFiles; ++n) {
            content.internalVersion = static_cast<uint32_t>(n) * 100;
            std::string path = std::string(home.dir) + "/sig$vpf." + std::to_string(n);
            int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || marlin32::writePattern(fd, content, kBodyBytes, 7) != marlin32::kOk)
                std::abort();
            ::close(fd);
        }
        directory = std::string(home.dir) + "/";
    }
    ~PatternHome() {
        for (int n = 1; n <= kFiles; ++n)
            ::unlink((directory + "sig$vpf." + std::to_string(n)).c_str());
    }

    nvl::bench::ServerHome home;
    std::string directory;
};

PatternHome& patternHome() {
    static PatternHome instance;
    return instance;
}

// The floor: the directory listed, each pattern file opened, its first 64 bytes read, closed.
// With `sized`, each file's size is also taken (fstat), as a reader must that refuses a file
// still being copied in: the floor of a version query that cannot be fooled by a partial copy.
int readHeaders(const std::string& directory, bool sized = false) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr)
        std::abort();
    int files = 0;
    char header[64];
    while (dirent* entry = ::readdir(dir)) {
        if (::strncasecmp(entry->d_name, "sig$vpf.", 8) != 0)
            continue;
        int fd = ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || (sized && ::fstat(fd, &st) != 0) ||
            ::pread(fd, header, sizeof header, 0) != sizeof header)
            std::abort();
        ::close(fd);
        ++files;
    }
    ::closedir(dir);
    return files;
}

template <class Subject>
void compareWithFloor(benchmark::State& state, Subject subject) {
    PatternHome& patterns = patternHome();
    Clock::duration floor{}, sizedFloor{}, measured{};
    for (auto _ : state) {
        Clock::time_point t0 = Clock::now();
        if (readHeaders(patterns.directory) != kFiles)
            std::abort();
        Clock::time_point t1 = Clock::now();
        if (readHeaders(patterns.directory, true) != kFiles)
            std::abort();
        Clock::time_point t2 = Clock::now();
        subject(patterns);
        Clock::time_point t3 = Clock::now();
        floor += t1 - t0;
        sizedFloor += t2 - t1;
        measured += t3 - t2;
    }
    double files = static_cast<double>(state.iterations()) * kFiles;
    auto perSecond = [files](Clock::duration d) {
        return files / std::chrono::duration<double>(d).count();
    };
    double rate = perSecond(measured);
    state.counters["floor_files_per_s"] = perSecond(floor);
    state.counters["files_per_s"] = rate;
    state.counters["ratio"] = rate / perSecond(floor);
    state.counters["ratio_sized_floor"] = rate / perSecond(sizedFloor);
}

void BM_GetPtnFileVersion(benchmark::State& state) {
    compareWithFloor(state, [](PatternHome& patterns) {
        char cur[260], curDate[260], prev[260], prevDate[260];
        if (getPtnFileVersion(cur, curDate, prev, prevDate, patterns.directory.data()) != 1 ||
            std::strcmp(cur, "1000") != 0 || std::strcmp(prev, "999") != 0)
            std::abort();
        benchmark::DoNotOptimize(cur);
    });
}
BENCHMARK(BM_GetPtnFileVersion)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_GetCurrentComponentVer(benchmark::State& state) {
    compareWithFloor(state, [](PatternHome&) {
        unsigned version = 0;
        char16_t path[261];
        if (getCurrentComponentVer(0, &version, path, 261) != 1 || version != kFiles * 100)
            std::abort();
        benchmark::DoNotOptimize(path);
    });
}
BENCHMARK(BM_GetCurrentComponentVer)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
