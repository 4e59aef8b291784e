// What a page of 50 event-log records costs against the size of the log (the console's reader,
// console/lib/event_reader.h): the newest page, and a page from the middle of a daily file
// (with the newer page's start found by reading forward, as every page but the first does),
// for logs of one daily file of 1 MiB, 16 MiB and 256 MiB.
//
// Counters: "bytes_read", what one page read; "x_baseline", the page's time over the same page
// of the 1 MiB log timed in the same run. A page that costs what it shows reads the same few
// kilobytes at every size and stays near 1.
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_support.h"
#include "event_reader.h"

namespace {

constexpr size_t kPage = 50;
constexpr long kSizesMiB[] = {1, 16, 256};

struct Log {
    std::string directory;
    long middle = 0;  // a line boundary near the middle of the file
};

std::string& root() {
    static std::string path = [] {
        char pattern[] = "/tmp/console-reader-bench.XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            std::abort();
        std::atexit([] {
            ::nftw(
                root().c_str(),
                [](const char* entry, const struct stat*, int, struct FTW*) {
                    return ::remove(entry);
                },
                16, FTW_DEPTH | FTW_PHYS);
        });
        return std::string(pattern);
    }();
    return path;
}

// One daily file of `mib` MiB in the writer's form, records spread over the day.
Log makeLog(long mib) {
    Log log;
    log.directory = root() + "/" + std::to_string(mib) + "/";
    ::mkdir(log.directory.c_str(), 0755);
    std::FILE* file = std::fopen((log.directory + "nvl20260301.log").c_str(), "wb");
    if (file == nullptr)
        std::abort();
    const long bytes = mib << 20;
    std::string block;
    long written = 0;
    char record[256];
    for (long i = 0; written + static_cast<long>(block.size()) < bytes; ++i) {
        long second = i / 16 % 86400;
        int length = std::snprintf(
            record, sizeof record,
            "2026/03/01, %02ld:%02ld:%02ld, %ld, scheduled scan, C:/Users/Public/file%ld.doc, "
            "found, %s, 192.0.2.%ld,\n",
            second / 3600, second / 60 % 60, second % 60, 1 + i % 78, i,
            i % 17 == 0 ? "fail" : "success", i % 250);
        block.append(record, static_cast<size_t>(length));
        if (written < bytes / 2 && written + static_cast<long>(block.size()) >= bytes / 2)
            log.middle = written + static_cast<long>(block.size());
        if (block.size() >= (4u << 20)) {
            std::fwrite(block.data(), 1, block.size(), file);
            written += static_cast<long>(block.size());
            block.clear();
        }
    }
    std::fwrite(block.data(), 1, block.size(), file);
    std::fclose(file);
    return log;
}

const Log& logOf(long mib) {
    static Log logs[std::size(kSizesMiB)];
    for (size_t i = 0; i < std::size(kSizesMiB); ++i) {
        if (kSizesMiB[i] == mib) {
            if (logs[i].directory.empty())
                logs[i] = makeLog(mib);
            return logs[i];
        }
    }
    std::abort();
}

console::EventPosition where(const Log& log, bool middle) {
    return middle ? console::EventPosition{20260301, log.middle} : console::EventPosition{};
}

// range(0): the log's size in MiB; range(1): 0 for the newest page, 1 for the middle.
void BM_EventPage(benchmark::State& state) {
    const Log& log = logOf(state.range(0));
    const Log& small = logOf(kSizesMiB[0]);
    const bool middle = state.range(1) != 0;
    uint64_t bytes = 0;
    auto page = [&](const Log& of) {
        console::EventListing listing =
            console::listEvents(of.directory, "nvl", {}, where(of, middle), kPage);
        if (listing.records.size() != kPage)
            std::abort();
        bytes = listing.bytesRead;
        benchmark::DoNotOptimize(listing);
    };
    for (auto _ : state)
        page(log);
    double measured = nvl::bench::nanosecondsPerCall([&] { page(log); }, state.iterations());
    state.counters["bytes_read"] = static_cast<double>(bytes);
    double baseline = nvl::bench::nanosecondsPerCall([&] { page(small); }, state.iterations());
    nvl::bench::report(state, measured, baseline);
}
BENCHMARK(BM_EventPage)->ArgsProduct({{1, 16, 256}, {0, 1}})->ArgNames({"MiB", "middle"});

}  // namespace

BENCHMARK_MAIN();
