// What publishing a scan's progress costs: the same full scan through the spyware facade
// (tarsk32.so, a pattern of 1,000 content signatures, by default 5,000 files holding 64 MiB)
// with publishProgress = 1 against publishProgress = 0, in the same run, taking turns, the page
// cache warm for both (target: publishing at most 10% slower). The registry writes of each scan
// are counted by the registry's change counter ("<file>.gen", which every writer increments
// once per change), and one registry write is timed on its own, so that the difference between
// the two scans can be set against the writes that make it.
//
// Usage: spyware_publish_bench [FILES [MIB [ROUNDS]]]   (defaults 5000, 64 and 5; arguments
// starting with '-' are ignored; the tree, the registry and the engine's link go under TMPDIR,
// else /var/tmp, and are removed at the end)
#include <cgishare/spyware.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/byte_text.h"
#include "platform/registry.h"
#include "tarsk_bench_pattern.h"
#include "tarsk_format.h"

namespace {

void writeFile(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
        std::abort();
    std::fclose(f);
}

double seconds(const std::chrono::steady_clock::time_point& start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The registry's change counter; 0 while there is none.
uint64_t registryChanges(const std::string& registry) {
    uint64_t value = 0;
    int fd = ::open((registry + ".gen").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (::pread(fd, &value, sizeof value, 0) != static_cast<ssize_t>(sizeof value))
            value = 0;
        ::close(fd);
    }
    return value;
}

void quiet(const char16_t*, void*) {}

// User and system time of this process so far.
double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Scan {
    double seconds;
    double cpu;
    uint64_t writes;
    uint32_t found;
};

Scan scan(const std::string& registry, uint32_t publish) {
    TarskScanRequest* request = TarskAllocScanRequest(16);
    if (request == nullptr)
        std::abort();
    request->action = TARSK_ACTION_REPORT;
    request->scanType = TARSK_SCAN_FULL;
    request->publishProgress = publish;
    request->keepCookieScanner = 1;
    uint64_t before = registryChanges(registry);
    double cpu = cpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    if (GetTarskFacade()->RunSpywareScan(request) != 1 ||
        (request->result.status & TARSK_RESULT_DONE) == 0) {
        std::fprintf(stderr, "the scan failed (status %#x)\n", request->result.status);
        std::exit(1);
    }
    Scan s{seconds(t0), cpuSeconds() - cpu, registryChanges(registry) - before,
           request->result.found};
    TarskFreeScanRequest(request);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<long> numbers;
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] != '-')
            numbers.push_back(std::atol(argv[i]));
    const int files = numbers.size() > 0 && numbers[0] > 0 ? static_cast<int>(numbers[0]) : 5000;
    const uint64_t totalBytes =
        static_cast<uint64_t>(numbers.size() > 1 && numbers[1] > 0 ? numbers[1] : 64) << 20;
    const int rounds = numbers.size() > 2 && numbers[2] > 0 ? static_cast<int>(numbers[2]) : 5;

    const char* tmp = std::getenv("TMPDIR");
    std::string dir =
        std::string(tmp != nullptr ? tmp : "/var/tmp") + "/spyware-publish-bench-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr)
        return 1;
    nvl::bench::runtimeDirectory();
    std::string registry = dir + "/etc/registry.reg";
    ::mkdir((dir + "/etc").c_str(), 0700);
    ::setenv("NVL_REGISTRY", registry.c_str(), 1);
    std::mt19937_64 rng(42);

    // The engine beside its pattern (its configuration directory): 1,000 content signatures of
    // 8 to 32 random bytes.
    std::string engine = dir + "/engine";
    ::mkdir(engine.c_str(), 0700);
    std::error_code ec;
    std::filesystem::create_hard_link(TARSK32_SO, engine + "/tarsk32.so", ec);
    if (ec)
        std::filesystem::copy_file(TARSK32_SO, engine + "/tarsk32.so");
    std::vector<std::string> sigs;
    tarsk32::Pattern p = benchTarskPattern(rng, &sigs);
    writeFile(engine + "/tarskptn.da5", tarsk32::writePattern(p));

    // The tree: FILES files in directories of 100, TOTAL bytes of random content, 10 planted.
    std::string tree = dir + "/tree";
    ::mkdir(tree.c_str(), 0700);
    std::string block(1 << 20, '\0');
    for (char& c : block)
        c = static_cast<char>(rng());
    const uint64_t perFile = std::max<uint64_t>(totalBytes / static_cast<uint64_t>(files), 2);
    const int plantEvery = std::max(files / 10, 1);
    int planted = 0;
    for (int i = 0; i < files; ++i) {
        std::string sub = tree + "/d" + std::to_string(i / 100);
        if (i % 100 == 0)
            ::mkdir(sub.c_str(), 0700);
        size_t size = static_cast<size_t>(
            std::min<uint64_t>(perFile / 2 + rng() % perFile, block.size() - 64));
        std::string content = block.substr(rng() % (block.size() - size), size);
        if (i % plantEvery == 0 && planted < 10) {
            const std::string& sig = sigs[static_cast<size_t>(i) % sigs.size()];
            content.replace(0, std::min(sig.size(), content.size()), sig);
            ++planted;
        }
        writeFile(sub + "/f" + std::to_string(i), content);
    }
    ::setenv("TARSK_SCAN_ROOTS", tree.c_str(), 1);

    SetTarskMessageSink(quiet, nullptr);
    std::u16string wengine = nvl::sys::bytesToWide(engine);
    if (GetTarskFacade()->RunInitTARSK(wengine.c_str(), wengine.c_str(), 0) != 1) {
        std::fputs("the facade cannot be initialised\n", stderr);
        return 1;
    }

    // One of each to warm the cache and the registry file, then the rounds, taking turns.
    scan(registry, 0);
    scan(registry, 1);
    std::vector<double> plain, published, plainCpu, publishedCpu;
    std::vector<uint64_t> plainWrites, publishedWrites;
    uint32_t found = 0;
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            uint32_t publish = (round + turn) % 2;
            Scan s = scan(registry, publish);
            (publish ? published : plain).push_back(s.seconds);
            (publish ? publishedCpu : plainCpu).push_back(s.cpu);
            (publish ? publishedWrites : plainWrites).push_back(s.writes);
            found = s.found;
        }
    }
    GetTarskFacade()->RunDeInitTARSK();
    SetTarskMessageSink(nullptr, nullptr);

    // One registry write on its own: a number into the progress key, as a publishing scan
    // writes it.
    nvl::sys::RegistryKey key;
    double writeSeconds = 0, writeCpu = 0;
    if (nvl::sys::RegistryKey::create(
            nvl::sys::RegHive::LocalMachine,
            "SOFTWARE\\HaldenLabs\\VeridexNTCorp\\CurrentVersion\\Manual Scan "
            "Configuration\\Spyware Configuration",
            &key) == 0) {
        const int writes = 50;
        double cpu = cpuSeconds();
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < writes; ++i)
            key.setDword("SPYProgress", static_cast<uint32_t>(i));
        writeSeconds = seconds(t0) / writes;
        writeCpu = (cpuSeconds() - cpu) / writes;
    }

    std::sort(plainWrites.begin(), plainWrites.end());
    std::sort(publishedWrites.begin(), publishedWrites.end());
    double a = median(plain), b = median(published);
    uint64_t extra =
        publishedWrites[publishedWrites.size() / 2] - plainWrites[plainWrites.size() / 2];
    std::printf(
        "full scan through the facade: %d files, %llu MiB, 1000 signatures, %d rounds: "
        "publishing %.3f s, not publishing %.3f s (medians); ratio %.3f (target at most 1.10); "
        "items %u (planted %d)\n",
        files, static_cast<unsigned long long>(totalBytes >> 20), rounds, b, a, b / a, found,
        planted);
    std::printf(
        "registry writes per scan: publishing %llu to %llu, not publishing %llu to %llu; one "
        "write alone %.2f ms (%.2f ms of processor time), so the %llu more writes account for "
        "%.3f s of the %.3f s difference\n",
        static_cast<unsigned long long>(publishedWrites.front()),
        static_cast<unsigned long long>(publishedWrites.back()),
        static_cast<unsigned long long>(plainWrites.front()),
        static_cast<unsigned long long>(plainWrites.back()), writeSeconds * 1000, writeCpu * 1000,
        static_cast<unsigned long long>(extra), static_cast<double>(extra) * writeSeconds, b - a);
    std::printf(
        "processor time per scan (user and system, medians): publishing %.3f s, not publishing "
        "%.3f s; the rest of each scan's time is waiting (the disk, the processor's other "
        "tasks)\n",
        median(publishedCpu), median(plainCpu));

    std::filesystem::remove_all(dir, ec);
    return 0;
}
