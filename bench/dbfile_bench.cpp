// getDBFile for all 15 tables on a 64 KiB nvlscan.ini, against 18 plain reads of that file
// (open, read, close): one read per table, and one more for each of the three tables that are
// derived from a neighbour (CXData, NTData, VCLog are absent, as on most servers).
//
// Each iteration times both, one after the other, so that the ratio compares them under the
// same load. [INI_DBFILE_SECTION] sits in the middle of the file, among the scan configurations.
// Counters: base_us (18 reads), dbfile_us (15 getDBFile), ratio (dbfile / base). Two variants:
// the file named by the caller (as getNvlDBFile names it) and the home directory's nvlscan.ini
// (a registry look-up for every read, as nothing is cached between calls).
#include <benchmark/benchmark.h>
#include <cgishare/dbfile.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTables = 15;
constexpr int kReads = 18;

void addScanSections(std::string* text, int first, size_t untilSize) {
    for (int s = first; text->size() < untilSize; ++s) {
        *text += "[Scan Configuration " + std::to_string(s) + "]\r\n";
        for (int k = 0; k < 40; ++k) {
            *text +=
                "Option_" + std::to_string(k) + " = value " + std::to_string(s * 100 + k) + "\r\n";
        }
        *text += "\r\n";
    }
}

// A server configuration file of 64 KiB, laid out as the server writes it.
std::string makeServerIni() {
    std::string text =
        "[INI_SERVER_SECTION]\r\nMaster_URL=/norvel/\r\nMaxUploadSize=64\r\n"
        "Cookie_Expire_Period=30\r\nMaster_DomainPort=80\r\nMaster_SSLPort=443\r\n\r\n"
        "[INI_HELP_FILE_SECTION]\r\nhelp_virtual_path=html/help/\r\n\r\n";
    addScanSections(&text, 0, 30 * 1024);
    text += "[INI_DBFILE_SECTION]\r\n";
    for (const char* key : {"CIData", "CEData", "MSCfg", "PSCfg", "RTCfg", "SNCfg", "EFCfg",
                            "MSLog", "PSLog", "RTLog", "SNLog", "TempDB"}) {
        text += std::string(key) + "=/var/lib/norvel/db/dB" + key + ".dbf\r\n";
    }
    text += "\r\n";
    addScanSections(&text, 1000, 62 * 1024);
    text += "[INI_PROGRAM_VERSION_SECTION]\r\nPattern_Last_Update=20240102030405\r\n";
    while (text.size() < 64 * 1024)
        text += "; padding\r\n";
    return text;
}

void compareWithReads(benchmark::State& state, bool explicitPath) {
    nvl::bench::ServerHome home(makeServerIni());
    std::vector<char> buffer(home.text.size() + 4096);
    char* iniPath = explicitPath ? home.iniPath.data() : nullptr;
    char path[260];
    Clock::duration base{}, dbfile{};
    for (auto _ : state) {
        Clock::time_point t0 = Clock::now();
        for (int i = 0; i < kReads; ++i)
            benchmark::DoNotOptimize(nvl::bench::readOnce(home.iniPath, &buffer));
        Clock::time_point t1 = Clock::now();
        size_t found = 0;
        for (int type = 0; type < kTables; ++type) {
            getDBFile(path, sizeof path, static_cast<DataBaseType>(type), iniPath);
            found += path[0] == '/';
        }
        Clock::time_point t2 = Clock::now();
        if (found != kTables)
            std::abort();
        benchmark::DoNotOptimize(path);
        base += t1 - t0;
        dbfile += t2 - t1;
    }
    double iterations = static_cast<double>(state.iterations());
    double baseUs = std::chrono::duration<double, std::micro>(base).count() / iterations;
    double dbfileUs = std::chrono::duration<double, std::micro>(dbfile).count() / iterations;
    state.counters["base_us"] = baseUs;
    state.counters["dbfile_us"] = dbfileUs;
    state.counters["ratio"] = dbfileUs / baseUs;
    state.counters["file_bytes"] = static_cast<double>(home.text.size());
}

// The file named by the caller, as getNvlDBFile names it.
void BM_GetDBFileAllTablesVsReads(benchmark::State& state) {
    compareWithReads(state, true);
}
BENCHMARK(BM_GetDBFileAllTablesVsReads)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

// The home directory's nvlscan.ini, found through the registry at every read.
void BM_GetDBFileHomeAllTablesVsReads(benchmark::State& state) {
    compareWithReads(state, false);
}
BENCHMARK(BM_GetDBFileHomeAllTablesVsReads)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
