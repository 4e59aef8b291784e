// The scan engine's full read of a 256 MiB pattern (MrReadPatternInFile: header checks and the
// body's checksum, streamed) against a plain loop of 64 KiB reads of the same file, taking turns
// in the same run, the file in the page cache for both. Reports both throughputs, their ratio
// (target: at least 0.60) and how much the engine's reads raised the process's peak RSS above
// its RSS before them (target: under 4 MiB), the peak started afresh through
// /proc/self/clear_refs so that what the set-up used does not hide it.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "marlin32.h"
#include "pattern_format.h"

namespace {

constexpr uint64_t kBodyBytes = 256ull << 20;

struct Fixture {
    Fixture() {
        if (::mkdtemp(dir) == nullptr)
            std::abort();
        path = std::string(dir) + "/sig$vpf.001";
        marlin32::PatternContent content;
        content.internalVersion = 1000;
        content.types = {{0, 1, "VIRUS"}, {2, 4, "TROJAN"}, {25, 3, "WORM"}};
        content.extList = "{*;EXE;COM;DLL;DOC;XLS}";
        std::string error;
        if (marlin32::writePatternFileAtomically(path, content, kBodyBytes, 7, &error) !=
            marlin32::kOk) {
            std::fprintf(stderr, "cannot write the pattern: %s\n", error.c_str());
            std::abort();
        }
        engine = ::dlopen(MARLIN32_SO, RTLD_NOW | RTLD_LOCAL);
        if (engine == nullptr)
            std::abort();
        init = reinterpret_cast<decltype(&MrInit)>(::dlsym(engine, "MrInit"));
        read = reinterpret_cast<decltype(&MrReadPatternInFile)>(
            ::dlsym(engine, "MrReadPatternInFile"));
        if (init == nullptr || read == nullptr || init(0, "", 0, &handle) != 0)
            std::abort();
    }
    ~Fixture() {
        ::unlink(path.c_str());
        ::rmdir(dir);
    }

    char dir[32] = "/tmp/marlin-bench.XXXXXX";
    std::string path;
    void* engine = nullptr;
    decltype(&MrInit) init = nullptr;
    decltype(&MrReadPatternInFile) read = nullptr;
    MrHandle handle = 0;
};

void BM_ReadPattern256MiB(benchmark::State& state) {
    static Fixture fixture;
    std::vector<char> buffer(64 * 1024);
    uint64_t fileBytes = nvl::bench::plainReadLoop(fixture.path, &buffer);  // into the page cache

    long rssBefore = nvl::bench::resetPeakRss();
    double baseline = 0;
    double subject = 0;
    for (auto _ : state) {
        baseline += nvl::bench::seconds(
            [&] { benchmark::DoNotOptimize(nvl::bench::plainReadLoop(fixture.path, &buffer)); });
        subject += nvl::bench::seconds([&] {
            if (fixture.read(fixture.handle, fixture.path.c_str(), 0) != 0)
                std::abort();
        });
    }
    long rssGrowth = nvl::bench::statusKiB("VmHWM") - rssBefore;

    double mib =
        static_cast<double>(fileBytes) / (1 << 20) * static_cast<double>(state.iterations());
    state.counters["baseline_MiB_s"] = mib / baseline;
    state.counters["engine_MiB_s"] = mib / subject;
    state.counters["throughput_ratio"] = baseline / subject;
    state.counters["peak_rss_growth_KiB"] = static_cast<double>(rssGrowth);
}

BENCHMARK(BM_ReadPattern256MiB)->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
