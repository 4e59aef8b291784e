// The spyware engine stand-in's full scan (tarsk32.so, loaded by path) of 20,000 files holding
// 256 MiB, with a pattern of 1,000 content signatures, against `find DIR -type f -exec cat {} +`
// on the same tree, taking turns, the page cache warm for both (target: at most 1.5x). Then a
// 1 GiB sparse file with signatures planted across the engine's read-buffer boundaries: all must
// be found, and the scan's peak RSS may rise at most 16 MiB above that of a scan of an empty
// directory (the peak restarted through /proc/self/clear_refs before each).
//
// Usage: tarsk_scan_bench [FILES [MIB]]   (defaults 20000 and 256; the tree goes under TMPDIR,
// else /var/tmp, and is removed at the end)
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tarsk32.h"
#include "tarsk_bench_pattern.h"
#include "tarsk_format.h"

namespace {

constexpr char16_t kCaller[] = u"{6B1A2F2E-33A0-4C1E-9D64-0F4B7E1C2A55}";

long peakKiB() {
    FILE* f = std::fopen("/proc/self/status", "r");
    char line[256];
    long kib = -1;
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr)
        if (std::strncmp(line, "VmHWM:", 6) == 0)
            kib = std::strtol(line + 6, nullptr, 10);
    if (f != nullptr)
        std::fclose(f);
    return kib;
}

void resetPeak() {
    FILE* f = std::fopen("/proc/self/clear_refs", "w");
    if (f != nullptr) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

void writeFile(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
        std::abort();
    std::fclose(f);
}

double seconds(const std::chrono::steady_clock::time_point& start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Api {
    void* lib = ::dlopen(TARSK32_SO, RTLD_NOW | RTLD_LOCAL);
    template <class F>
    F get(const char* name) {
        void* p = lib != nullptr ? ::dlsym(lib, name) : nullptr;
        if (p == nullptr)
            std::abort();
        return reinterpret_cast<F>(p);
    }
};

}  // namespace

int main(int argc, char** argv) {
    // The numbers among the arguments; options of the benchmark runner ("--...") are skipped.
    std::vector<const char*> numbers;
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] != '-')
            numbers.push_back(argv[i]);
    const int files = numbers.size() > 0 ? std::max(1, std::atoi(numbers[0])) : 20000;
    const uint64_t totalBytes = (numbers.size() > 1 ? std::strtoull(numbers[1], nullptr, 10) : 256)
                                << 20;
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr ? tmp : "/var/tmp") + "/tarsk-bench-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr)
        return 1;
    std::mt19937_64 rng(42);

    // The pattern: 1,000 content signatures of 8 to 32 random bytes.
    std::vector<std::string> sigs;
    tarsk32::Pattern p = benchTarskPattern(rng, &sigs);
    std::string config = dir + "/engine";
    ::mkdir(config.c_str(), 0700);
    writeFile(config + "/tarskptn.da5", tarsk32::writePattern(p));

    // The tree: FILES files in directories of 100, TOTAL bytes of random content, 10 planted.
    std::string tree = dir + "/tree";
    ::mkdir(tree.c_str(), 0700);
    std::string block(1 << 20, '\0');
    for (char& c : block)
        c = static_cast<char>(rng());
    const uint64_t perFile = totalBytes / static_cast<uint64_t>(files);
    for (int i = 0; i < files; ++i) {
        std::string sub = tree + "/d" + std::to_string(i / 100);
        if (i % 100 == 0)
            ::mkdir(sub.c_str(), 0700);
        size_t size = static_cast<size_t>(perFile / 2 + rng() % perFile);
        std::string content = block.substr(rng() % (block.size() - size), size);
        if (i % (files / 10) == 0)
            content.replace(size / 2, sigs[static_cast<size_t>(i) % sigs.size()].size(),
                            sigs[static_cast<size_t>(i) % sigs.size()]);
        writeFile(sub + "/f" + std::to_string(i), content);
    }

    Api api;
    auto init = api.get<decltype(&TkInit)>("TkInit");
    auto read = api.get<decltype(&TkReadSpywarePattern)>("TkReadSpywarePattern");
    auto scan = api.get<decltype(&TkScan)>("TkScan");
    auto count = api.get<decltype(&TkGetItemCount)>("TkGetItemCount");
    TkHandle h = 0;
    std::u16string wconfig = tarsk32::bytesToWide(config), wtree = tarsk32::bytesToWide(tree);
    if (init(kCaller, 12, &h) != 0 || read(h, 0, wconfig.c_str(), 0) != 0)
        return 1;

    std::string cat = "find " + tree + " -type f -exec cat {} + > /dev/null";
    if (std::system(cat.c_str()) != 0)  // warm the cache
        return 1;
    std::vector<double> engine, baseline;
    int32_t found = 0;
    for (int round = 0; round < 3; ++round) {
        auto t0 = std::chrono::steady_clock::now();
        if (std::system(cat.c_str()) != 0)
            return 1;
        baseline.push_back(seconds(t0));
        t0 = std::chrono::steady_clock::now();
        if (scan(h, wtree.c_str()) != 0)
            return 1;
        engine.push_back(seconds(t0));
        count(h, &found);
    }
    std::sort(engine.begin(), engine.end());
    std::sort(baseline.begin(), baseline.end());
    std::printf(
        "full scan: %d files, %llu MiB, 1000 signatures: %.3f s; find+cat %.3f s; "
        "ratio %.2f (target at most 1.5); items %d (planted 10)\n",
        files, static_cast<unsigned long long>(totalBytes >> 20), engine[1], baseline[1],
        engine[1] / baseline[1], found);

    // A 1 GiB sparse file, signatures across read-buffer boundaries (256 KiB).
    std::string sparseDir = dir + "/sparse", emptyDir = dir + "/empty";
    ::mkdir(sparseDir.c_str(), 0700);
    ::mkdir(emptyDir.c_str(), 0700);
    int fd = ::open((sparseDir + "/big").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const uint64_t offsets[] = {(256u << 10) - 3, (512ull << 20) - 5, (1ull << 30) - 40};
    for (size_t i = 0; i < 3; ++i)
        if (::pwrite(fd, sigs[i].data(), sigs[i].size(), static_cast<off_t>(offsets[i])) < 0)
            return 1;
    if (::ftruncate(fd, 1ll << 30) != 0)
        return 1;
    ::close(fd);
    std::u16string wsparse = tarsk32::bytesToWide(sparseDir),
                   wempty = tarsk32::bytesToWide(emptyDir);
    resetPeak();
    long before = peakKiB();
    scan(h, wempty.c_str());
    long emptyPeak = peakKiB() - before;
    resetPeak();
    before = peakKiB();
    auto t0 = std::chrono::steady_clock::now();
    scan(h, wsparse.c_str());
    double sparseTime = seconds(t0);
    long sparsePeak = peakKiB() - before;
    count(h, &found);
    std::printf(
        "sparse 1 GiB: %.2f s, items %d (planted 3), peak RSS growth %ld KiB against "
        "%ld KiB for an empty scan (target: at most 16 MiB more)\n",
        sparseTime, found, sparsePeak, emptyPeak);

    std::system(("rm -rf " + dir).c_str());
    return 0;
}
