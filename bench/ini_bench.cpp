// getINIString on a 64 KiB nvlscan.ini, against reading that file once (open, read, close).
//
// Each iteration times both, one after the other, so that the ratio compares them under the
// same load. The key looked up sits near the end of the file, so the scan covers nearly all of
// it. Counters: base_us (read the file once), ini_us (one getINIString), ratio (ini / base).
// Two variants: the file named by the caller, and the default nvlscan.ini of the home directory
// (a registry look-up on every call, as nothing is cached between calls).
#include <benchmark/benchmark.h>
#include <cgishare/config.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// A server configuration file of about 64 KiB, laid out as the server writes it.
std::string makeServerIni() {
    std::string text =
        "[INI_SERVER_SECTION]\r\nMaster_URL=/norvel/\r\nMaxUploadSize=64\r\n"
        "Cookie_Expire_Period=30\r\nMaster_DomainPort=80\r\nMaster_SSLPort=443\r\n"
        "Pattern_Pending_Time=5000\r\nPattern_Pending_ReTry=3\r\n\r\n"
        "[INI_HELP_FILE_SECTION]\r\nhelp_virtual_path=html/help/\r\n\r\n"
        "[INI_DBFILE_SECTION]\r\nCIData=CIData.db\r\nCEData=CEData.db\r\nNTData=NTData.db\r\n\r\n";
    for (int s = 0; text.size() < 60 * 1024; ++s) {
        text += "[Scan Configuration " + std::to_string(s) + "]\r\n";
        for (int k = 0; k < 40; ++k) {
            text +=
                "Option_" + std::to_string(k) + " = value " + std::to_string(s * 100 + k) + "\r\n";
        }
        text += "\r\n";
    }
    text += "[INI_PROGRAM_VERSION_SECTION]\r\n";
    for (const char* key : {"VdxNT", "EngineNT", "Vdx95", "Engine95", "VdxX64", "EngineX64"}) {
        text += std::string(key) + "_Version=8.910.1002\r\n";
        text += std::string(key) + "_Last_Update=20240101120000\r\n";
    }
    text += "Pattern_Last_Update=20240102030405\r\n";
    while (text.size() < 64 * 1024)
        text += "; padding\r\n";
    return text;
}

// Times getINIString (on `explicitPath`, or on the home directory's nvlscan.ini when null)
// against reading the file once, alternately in every iteration.
void compareWithReadOnce(benchmark::State& state, bool explicitPath) {
    nvl::bench::ServerHome home(makeServerIni());
    std::vector<char> buffer(home.text.size() + 4096);
    char section[] = "INI_PROGRAM_VERSION_SECTION";
    char key[] = "Pattern_Last_Update";
    char empty[] = "";
    char value[256];
    char* path = explicitPath ? home.iniPath.data() : nullptr;
    Clock::duration base{}, ini{};
    for (auto _ : state) {
        Clock::time_point t0 = Clock::now();
        benchmark::DoNotOptimize(nvl::bench::readOnce(home.iniPath, &buffer));
        Clock::time_point t1 = Clock::now();
        unsigned long n = getINIString(value, section, key, empty, sizeof value, path);
        Clock::time_point t2 = Clock::now();
        if (n != 14)
            std::abort();
        benchmark::DoNotOptimize(value);
        base += t1 - t0;
        ini += t2 - t1;
    }
    double iterations = static_cast<double>(state.iterations());
    double baseUs = std::chrono::duration<double, std::micro>(base).count() / iterations;
    double iniUs = std::chrono::duration<double, std::micro>(ini).count() / iterations;
    state.counters["base_us"] = baseUs;
    state.counters["ini_us"] = iniUs;
    state.counters["ratio"] = iniUs / baseUs;
    state.counters["file_bytes"] = static_cast<double>(home.text.size());
}

// The profile function's own cost: the caller names the file.
void BM_GetINIStringVsReadOnce(benchmark::State& state) {
    compareWithReadOnce(state, true);
}
BENCHMARK(BM_GetINIStringVsReadOnce)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

// What most pages pay: the home directory is looked up in the registry on every call.
void BM_GetINIStringHomeVsReadOnce(benchmark::State& state) {
    compareWithReadOnce(state, false);
}
BENCHMARK(BM_GetINIStringHomeVsReadOnce)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
