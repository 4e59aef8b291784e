// The hot-fix package rebuild against the zip command, taking turns in the same run, the source
// in the page cache for both:
//   - rebuildPtnZip of the virus pattern (kind 0), a 64 MiB pattern whose body mixes random,
//     text-like and repetitive blocks (about half of it compresses), against `zip -q -6`
//     building the same one-entry archive (target: at most 1.25x). The rebuild does more than
//     pack: it reads the pattern's version, waits for nobody, copies the zip beside the package,
//     flushes it and renames it into place, rewrites the manifest and the version records, and
//     reads the pattern's major virus types through the engine;
//   - AddFileToZip alone (hlu.so loaded by path) against the same command (target: at most
//     1.1x);
//   - the peak RSS that one rebuild of a 256 MiB pattern adds, measured in a forked child that
//     does nothing else (target: at most 8 MiB), once packing the source and once publishing a
//     temporary zip that an interrupted rebuild left (the check of the leftover).
// Medians of the rounds; no log server runs, so traces cost what they cost on a quiet server.
#include <cgishare/hotfix.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "engine/marlin_testing.h"
#include "pattern_format.h"
#include "platform/error.h"
#include "platform/file.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kBodyBytes = 64u << 20;
constexpr uint64_t kLargeBodyBytes = 256ull << 20;

using AddFileToZipFunction = int (*)(char*, char*);

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void writeFile(const std::string& path, const std::string& text) {
    nvl::sys::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd || nvl::sys::writeAll(fd.get(), text) != nvl::sys::kSuccess)
        std::abort();
}

uint64_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// A body of 64 KiB blocks in turn random, text-like, repetitive and mostly zero.
std::string mixedBody(size_t size) {
    std::string body(size, '\0');
    uint64_t x = 0x9E3779B97F4A7C15ull;
    auto next = [&] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    constexpr size_t kBlock = 64 * 1024;
    for (size_t at = 0; at < size; at += kBlock) {
        size_t end = std::min(size, at + kBlock);
        switch (at / kBlock % 4) {
            case 0:
                for (size_t i = at; i < end; ++i)
                    body[i] = static_cast<char>(next());
                break;
            case 1:
                for (size_t i = at; i < end;) {
                    char line[64];
                    int n = std::snprintf(line, sizeof line, "signature %08x at %u\n",
                                          static_cast<unsigned>(next()), static_cast<unsigned>(i));
                    for (int k = 0; k < n && i < end; ++k)
                        body[i++] = line[k];
                }
                break;
            case 2:
                for (size_t i = at; i < end; ++i)
                    body[i] = static_cast<char>("MZ\x90\0\x03\0\0\0"[i % 8] + (i / 4096 % 3));
                break;
            default:
                for (size_t i = at; i < end; i += 61)
                    body[i] = static_cast<char>(next());
                break;
        }
    }
    return body;
}

// A server home holding the 64 MiB virus pattern sig$vpf.123, the engine bound by path, the zip
// utility bound by path for the measurement of AddFileToZip alone (the rebuild binds its copy
// beside this program, as a page binds the one beside it).
struct Fixture {
    Fixture() {
        nvl::bench::runtimeDirectory();
        root = home.dir;
        nvl::engine::setMarlinLibraryForTesting(MARLIN32_SO);
        marlin32::PatternContent content;
        content.internalVersion = 312345;
        content.types = {{0, 1, "VIRUS"}, {2, 4, "TROJAN"}};
        content.extList = "{*;EXE;COM}";
        source = root + "/sig$vpf.123";
        writeFile(source, marlin32::encodePattern(content, mixedBody(kBodyBytes)));
        fs::create_directories(root + "/download");
        fs::create_directories(root + "/work");
        void* library = ::dlopen(HLU_SO, RTLD_NOW | RTLD_LOCAL);
        addFileToZip =
            library != nullptr
                ? reinterpret_cast<AddFileToZipFunction>(::dlsym(library, "AddFileToZip"))
                : nullptr;
        if (addFileToZip == nullptr) {
            std::fprintf(stderr, "cannot bind AddFileToZip in %s\n", HLU_SO);
            std::abort();
        }
    }
    ~Fixture() {
        // Everything the rebuilds made; the home's own files go with it.
        std::vector<fs::path> made;
        for (const fs::directory_entry& entry : fs::directory_iterator(root))
            if (entry.path() != home.iniPath && entry.path() != home.registry)
                made.push_back(entry.path());
        for (const fs::path& path : made)
            fs::remove_all(path);
    }

    // Announces an older pattern, so that the next rebuild has work to do.
    void olderManifest() const {
        writeFile(root + "/download/server.ini", "[PATTERN]\r\nP.4=Pattern/MARLIN.zip,1,10\r\n");
    }

    nvl::bench::ServerHome home{"[INI_SERVER_SECTION]\r\nPattern_Pending_Time=0\r\n"};
    std::string root, source;
    AddFileToZipFunction addFileToZip = nullptr;
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

// `zip -q -6 ZIP NAME` in the directory of the source, so the entry is named as the rebuild
// names it.
void runZip(const std::string& directory, const std::string& zip, const std::string& name) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(directory.c_str()) != 0)
            ::_exit(126);
        ::execlp("zip", "zip", "-q", "-6", zip.c_str(), name.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "zip failed (status %d)\n", status);
        std::abort();
    }
}

void BM_RebuildVirusPattern64MiB(benchmark::State& state) {
    Fixture& f = fixture();
    std::string zip = f.root + "/work/zip.zip";
    std::string package = f.root + "/download/Pattern/marlin.zip";
    f.olderManifest();
    if (rebuildPtnZip(0, nullptr, 0) != 1)  // warm: the source in the page cache, all bound
        std::abort();
    std::vector<double> subject, baseline;
    for (auto _ : state) {
        fs::remove(zip);
        baseline.push_back(nvl::bench::seconds([&] { runZip(f.root, zip, "sig$vpf.123"); }));
        f.olderManifest();
        int result = 0;
        subject.push_back(nvl::bench::seconds([&] { result = rebuildPtnZip(0, nullptr, 0); }));
        if (result != 1) {
            std::fprintf(stderr, "the rebuild returned %d\n", result);
            std::abort();
        }
    }
    state.counters["rebuild_ms"] = median(subject) * 1e3;
    state.counters["zip_ms"] = median(baseline) * 1e3;
    state.counters["x_zip"] = median(subject) / median(baseline);
    state.counters["package_MiB"] = static_cast<double>(fileSize(package)) / (1 << 20);
    state.counters["zip_MiB"] = static_cast<double>(fileSize(zip)) / (1 << 20);
}

void BM_AddFileToZip64MiB(benchmark::State& state) {
    Fixture& f = fixture();
    std::string zip = f.root + "/work/zip.zip";
    std::string added = f.root + "/work/added.zip";
    std::vector<double> subject, baseline;
    for (auto _ : state) {
        fs::remove(zip);
        baseline.push_back(nvl::bench::seconds([&] { runZip(f.root, zip, "sig$vpf.123"); }));
        fs::remove(added);
        int result = -1;
        subject.push_back(
            nvl::bench::seconds([&] { result = f.addFileToZip(added.data(), f.source.data()); }));
        if (result != 0) {
            std::fprintf(stderr, "AddFileToZip returned %d\n", result);
            std::abort();
        }
    }
    state.counters["hlu_ms"] = median(subject) * 1e3;
    state.counters["zip_ms"] = median(baseline) * 1e3;
    state.counters["x_zip"] = median(subject) / median(baseline);
    state.counters["hlu_MiB"] = static_cast<double>(fileSize(added)) / (1 << 20);
    state.counters["zip_MiB"] = static_cast<double>(fileSize(zip)) / (1 << 20);
}

// The peak RSS growth of one rebuild in a forked child that does nothing else, in KiB; -1 when
// the rebuild failed.
long rebuildGrowthInChild() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        std::abort();
    pid_t pid = ::fork();
    if (pid == 0) {
        long before = nvl::bench::resetPeakRss();
        long growth =
            rebuildPtnZip(0, nullptr, 0) == 1 ? nvl::bench::statusKiB("VmHWM") - before : -1;
        ssize_t written = ::write(fds[1], &growth, sizeof growth);
        ::_exit(written == sizeof growth ? 0 : 1);
    }
    ::close(fds[1]);
    long growth = -1;
    if (::read(fds[0], &growth, sizeof growth) != sizeof growth)
        growth = -1;
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return growth;
}

void BM_RebuildPeakRss256MiB(benchmark::State& state) {
    Fixture& f = fixture();
    // A newer pattern of 256 MiB (generated, so it never lies in this process's memory).
    std::string large = f.root + "/sig$vpf.200";
    marlin32::PatternContent content;
    content.internalVersion = 400000;
    content.types = {{0, 1, "VIRUS"}};
    content.extList = "{*;EXE}";
    std::string error;
    if (marlin32::writePatternFileAtomically(large, content, kLargeBodyBytes, 5, &error) !=
        marlin32::kOk) {
        std::fprintf(stderr, "cannot write the pattern: %s\n", error.c_str());
        std::abort();
    }
    std::string leftover = f.root + "/download/PTN200.ZIP";
    long packing = 0, publishing = 0;
    for (auto _ : state) {
        f.olderManifest();
        long growth = rebuildGrowthInChild();
        // What an interrupted rebuild leaves: the zip packed, nothing published.
        fs::remove(leftover);
        if (growth < 0 || f.addFileToZip(leftover.data(), large.data()) != 0)
            std::abort();
        packing = std::max(packing, growth);
        f.olderManifest();
        growth = rebuildGrowthInChild();
        if (growth < 0 || fs::exists(leftover))
            std::abort();
        publishing = std::max(publishing, growth);
    }
    fs::remove(large);
    state.counters["packing_peak_rss_growth_KiB"] = static_cast<double>(packing);
    state.counters["leftover_peak_rss_growth_KiB"] = static_cast<double>(publishing);
}

BENCHMARK(BM_RebuildVirusPattern64MiB)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AddFileToZip64MiB)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RebuildPeakRss256MiB)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
