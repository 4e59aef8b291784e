// UD_QueryExtList of a 256 MiB virus pattern against a plain loop of 64 KiB reads of the same
// file, taking turns in the same run, the file in the page cache for both. The call reads and
// checks the whole pattern through the scan engine (MARLIN32.so, bound by the library as a page
// binds it), fetches the extension list and stores it in nvlscan.ini. Reports both throughputs,
// their ratio (target: at least 0.60) and how much the calls raised the process's peak RSS
// (target: under 4 MiB). No log server runs, so traces cost what they cost on a quiet server.
#include <cgishare/virus_types.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"
#include "engine/marlin.h"
#include "engine/marlin_testing.h"
#include "pattern_format.h"

namespace {

constexpr uint64_t kBodyBytes = 256ull << 20;

long peakRssKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::string readServerIni(const std::string& path) {
    std::vector<char> buffer(64 * 1024);
    return std::string(buffer.data(), nvl::bench::readOnce(path, &buffer));
}

// A server home holding the pattern; the engine bound before anything is measured.
struct Fixture {
    Fixture() {
        nvl::bench::runtimeDirectory();
        path = std::string(home.dir) + "/sig$vpf.001";
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
        nvl::engine::setMarlinLibraryForTesting(MARLIN32_SO);
        if (nvl::engine::marlin() == nullptr)
            std::abort();
    }
    ~Fixture() {
        ::unlink(path.c_str());
        ::unlink((home.iniPath + ".lock").c_str());
    }

    nvl::bench::ServerHome home{"[Manual Scan Configuration]\r\nDefaultExtList=\r\n"};
    std::string path;
};

void BM_QueryExtList256MiB(benchmark::State& state) {
    static Fixture fixture;
    std::vector<char> buffer(64 * 1024);
    uint64_t fileBytes = nvl::bench::plainReadLoop(fixture.path, &buffer);  // into the page cache

    long rssBefore = peakRssKiB();
    double baseline = 0;
    double subject = 0;
    for (auto _ : state) {
        baseline += nvl::bench::seconds(
            [&] { benchmark::DoNotOptimize(nvl::bench::plainReadLoop(fixture.path, &buffer)); });
        subject += nvl::bench::seconds([&] { UD_QueryExtList(fixture.path.c_str()); });
    }
    long rssGrowth = peakRssKiB() - rssBefore;
    if (readServerIni(fixture.home.iniPath).find("DefaultExtList=EXE,.COM,.DLL,.DOC,.XLS") ==
        std::string::npos) {
        std::fprintf(stderr, "the extension list was not stored\n");
        std::abort();
    }

    double mib =
        static_cast<double>(fileBytes) / (1 << 20) * static_cast<double>(state.iterations());
    state.counters["baseline_MiB_s"] = mib / baseline;
    state.counters["ext_list_MiB_s"] = mib / subject;
    state.counters["throughput_ratio"] = baseline / subject;
    state.counters["peak_rss_growth_KiB"] = static_cast<double>(rssGrowth);
}

BENCHMARK(BM_QueryExtList256MiB)->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
