// Reading a page's form, measured against GNU cgicc reading the same environment and the same
// standard input in the same run, and against a plain 64 KiB read-write copy for uploads.
//
//   UrlEncoded       a 1 MiB URL-encoded POST of about 22,000 variables;
//                    ratio = our time / cgicc's time.
//   UrlEncodedScale  the same form at 4 MiB; ratio = time at 4 MiB / time at 1 MiB.
//   Upload           a 64 MiB multipart upload until the file is stored (cgicc: parsed and
//                    written out); ratios against cgicc and against the plain copy.
//   UploadMemory     resident memory for an 8 MiB and a 64 MiB upload: its growth during
//                    cgiGetVars in a fresh process, and the whole peak of the page
//                    examples/formdump storing it (measured through /usr/bin/time).
//   SmallGet         a whole page process (examples/formdump) reading a GET of 10 variables
//                    and printing them; the same page without form reading
//                    (formvars_empty_page) and /bin/true started the same way.
//
// Every subject reads file descriptor 0, rewound before each run.
#include <benchmark/benchmark.h>
#include <cgicc/CgiInput.h>
#include <cgicc/Cgicc.h>
#include <cgishare/form_vars.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/file.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kPage[] = CGISHARE_BINARY_DIR "/examples/formdump/formdump";
constexpr char kEmptyPage[] = CGISHARE_BINARY_DIR "/bench/formvars_empty_page";
constexpr size_t kCopyBuffer = 64 * 1024;
constexpr char kBoundary[] = "----------------------------bench7d21673b802fc";

// A private server home with a TEMP directory and room for 128 MiB uploads.
struct World {
    std::string root, home, temp;
    World() {
        char pattern[] = "/tmp/cgishare-bench.XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            std::abort();
        root = pattern;
        home = root + "/home/";
        temp = home + "TEMP";
        fs::create_directories(temp);
        fs::create_directories(root + "/run");
        std::ofstream(root + "/registry.reg", std::ios::binary)
            << "Windows Registry Editor Version 5.00\r\n\r\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\HaldenLabs\\Norvel\\service\\Information]\r\n"
               "\"Local_Path\"=\""
            << home << "\"\r\n";
        std::ofstream(home + "nvlscan.ini", std::ios::binary)
            << "[INI_SERVER_SECTION]\r\nMaxUploadSize=128\r\n";
        ::setenv("NVL_REGISTRY", (root + "/registry.reg").c_str(), 1);
        ::setenv("NVL_RUNTIME_DIR", (root + "/run").c_str(), 1);
    }
    ~World() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

World& world() {
    static World instance;
    return instance;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Puts a new memory file on descriptor 0 and lets `fill` write it.
void setStdin(const std::function<void(int)>& fill) {
    nvl::sys::UniqueFd fd(::memfd_create("stdin", MFD_CLOEXEC));
    fill(fd.get());
    ::dup2(fd.get(), STDIN_FILENO);
}

void rewindStdin() {
    ::lseek(STDIN_FILENO, 0, SEEK_SET);
}

std::string urlEncodedBody(size_t size) {
    std::string body;
    for (int i = 0; body.size() < size; ++i) {
        body += "field" + std::to_string(i) + "=value+" + std::to_string(i * 7) +
                "%21%E9+and+some+more+text&";
    }
    body.resize(size);
    return body;
}

void setUrlEncodedRequest(const std::string& body) {
    ::setenv("REQUEST_METHOD", "POST", 1);
    ::setenv("CONTENT_TYPE", "application/x-www-form-urlencoded", 1);
    ::setenv("CONTENT_LENGTH", std::to_string(body.size()).c_str(), 1);
    setStdin([&](int fd) { nvl::sys::writeAll(fd, body); });
}

// cgicc reading descriptor 0 through the input hook it offers for this.
class StdinInput : public cgicc::CgiInput {
  public:
    size_t read(char* data, size_t length) override {
        size_t done = 0;
        while (done < length) {
            ssize_t n = ::read(STDIN_FILENO, data + done, length - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        return done;
    }
    std::string getenv(const char* name) override {
        const char* value = std::getenv(name);
        return value != nullptr ? value : "";
    }
};

double timeOurs() {
    rewindStdin();
    auto start = Clock::now();
    unsigned char* trailing = nullptr;
    long trailingLength = 0;
    char** vars = cgiGetVars(ISO_8859_1, false, &trailing, &trailingLength);
    cgiFreeVars(vars, trailing);
    double seconds = secondsSince(start);
    if (vars == nullptr)
        std::abort();
    return seconds;
}

double timeCgicc() {
    rewindStdin();
    auto start = Clock::now();
    {
        StdinInput input;
        cgicc::Cgicc cgi(&input);
        benchmark::DoNotOptimize(cgi.getElements().size());
    }
    return secondsSince(start);
}

void BM_UrlEncoded(benchmark::State& state) {
    world();
    std::string body = urlEncodedBody(1 << 20);
    setUrlEncodedRequest(body);
    double ours = 0, theirs = 0;
    for (auto _ : state) {
        double t = timeOurs();
        theirs += timeCgicc();
        ours += t;
        state.SetIterationTime(t);
    }
    size_t variables = 0;
    for (char c : body)
        variables += c == '&';
    state.counters["variables"] = static_cast<double>(variables);
    state.counters["ours_ms"] = 1e3 * ours / static_cast<double>(state.iterations());
    state.counters["cgicc_ms"] = 1e3 * theirs / static_cast<double>(state.iterations());
    state.counters["ratio_vs_cgicc"] = ours / theirs;
}
BENCHMARK(BM_UrlEncoded)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_UrlEncodedScale(benchmark::State& state) {
    world();
    std::string small = urlEncodedBody(1 << 20);
    std::string large = urlEncodedBody(4 << 20);
    double timeSmall = 0, timeLarge = 0;
    for (auto _ : state) {
        setUrlEncodedRequest(small);
        double t = timeOurs();
        setUrlEncodedRequest(large);
        timeLarge += timeOurs();
        timeSmall += t;
        state.SetIterationTime(t);
    }
    state.counters["1MiB_ms"] = 1e3 * timeSmall / static_cast<double>(state.iterations());
    state.counters["4MiB_ms"] = 1e3 * timeLarge / static_cast<double>(state.iterations());
    state.counters["ratio_4x_body"] = timeLarge / timeSmall;
}
BENCHMARK(BM_UrlEncodedScale)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Writes a multipart body carrying `size` bytes of binary content to `fd` in 64 KiB pieces.
void writeUploadBody(int fd, size_t size) {
    std::string head =
        std::string("--") + kBoundary +
        "\r\nContent-Disposition: form-data; name=\"file\"; "
        "filename=\"C:\\data.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n";
    std::string tail = std::string("\r\n--") + kBoundary + "--\r\n";
    nvl::sys::writeAll(fd, head);
    std::mt19937_64 random(42);
    std::vector<uint64_t> block(kCopyBuffer / sizeof(uint64_t));
    for (size_t written = 0; written < size;) {
        for (uint64_t& word : block)
            word = random();
        size_t n = std::min(size - written, kCopyBuffer);
        nvl::sys::writeAll(fd, std::string_view(reinterpret_cast<char*>(block.data()), n));
        written += n;
    }
    nvl::sys::writeAll(fd, tail);
    ::setenv("REQUEST_METHOD", "POST", 1);
    ::setenv("CONTENT_TYPE", (std::string("multipart/form-data; boundary=") + kBoundary).c_str(),
             1);
    ::setenv("CONTENT_LENGTH", std::to_string(head.size() + size + tail.size()).c_str(), 1);
}

// Stores an upload with cgiGetVars; returns the stored file's path.
std::string storeUpload() {
    char** vars = cgiGetVars(ISO_8859_1, false);
    if (vars == nullptr)
        std::abort();
    std::string path;
    for (char** p = vars; *p != nullptr; p += 2) {
        if (std::strcmp(p[0], "TempFileName") == 0)
            path = p[1];
    }
    cgiFreeVars(vars, nullptr);
    return path;
}

// One upload stored by each subject; returns its time.
double timeOursUpload(size_t size) {
    rewindStdin();
    auto start = Clock::now();
    std::string stored = storeUpload();
    double seconds = secondsSince(start);
    if (fs::file_size(stored) != size)
        std::abort();
    fs::remove(stored);
    return seconds;
}

double timeCgiccUpload(const std::string& path) {
    rewindStdin();
    auto start = Clock::now();
    {
        StdinInput input;
        cgicc::Cgicc cgi(&input);
        std::ofstream out(path, std::ios::binary);
        cgi.getFiles().at(0).writeToStream(out);
    }
    double seconds = secondsSince(start);
    fs::remove(path);
    return seconds;
}

double timePlainCopy(const std::string& path) {
    rewindStdin();
    auto start = Clock::now();
    {
        nvl::sys::UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
        std::vector<char> buffer(kCopyBuffer);
        for (ssize_t n; (n = ::read(STDIN_FILENO, buffer.data(), buffer.size())) > 0;)
            nvl::sys::writeAll(out.get(), std::string_view(buffer.data(), size_t(n)));
    }
    double seconds = secondsSince(start);
    fs::remove(path);
    return seconds;
}

void BM_Upload(benchmark::State& state) {
    const size_t size = size_t{64} << 20;
    const std::string copyPath = world().temp + "/plain-copy";
    const std::string cgiccPath = world().temp + "/cgicc-copy";
    setStdin([&](int fd) { writeUploadBody(fd, size); });
    double ours = 0, theirs = 0, copy = 0;
    bool oursFirst = true;
    for (auto _ : state) {
        // The three take turns at going first, so none always inherits the others' dirty
        // pages.
        double t = 0;
        if (oursFirst) {
            t = timeOursUpload(size);
            copy += timePlainCopy(copyPath);
        } else {
            copy += timePlainCopy(copyPath);
            t = timeOursUpload(size);
        }
        theirs += timeCgiccUpload(cgiccPath);
        oursFirst = !oursFirst;
        ours += t;
        state.SetIterationTime(t);
    }
    double runs = static_cast<double>(state.iterations());
    state.counters["ours_ms"] = 1e3 * ours / runs;
    state.counters["cgicc_ms"] = 1e3 * theirs / runs;
    state.counters["copy_ms"] = 1e3 * copy / runs;
    state.counters["ratio_vs_cgicc"] = ours / theirs;
    state.counters["ratio_vs_copy"] = ours / copy;
}
BENCHMARK(BM_Upload)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(12);

// The child of BM_UploadMemory: a fresh process that stores one upload and prints its resident
// memory before the call and its peak.
int uploadChild(size_t size) {
    setStdin([&](int fd) { writeUploadBody(fd, size); });
    rewindStdin();
    long before = nvl::bench::statusKiB("VmRSS");
    std::string stored = storeUpload();
    long peak = nvl::bench::statusKiB("VmHWM");
    fs::remove(stored);
    std::printf("%ld %ld\n", before, peak);
    return 0;
}

// The peak resident memory (KiB) of the page examples/formdump storing an upload of `size`
// bytes, as /usr/bin/time reports it; -1 without /usr/bin/time. A process forked from this
// one would report this process's peak as well, so the small time program stands between.
long pagePeakKiB(size_t size) {
    if (::access("/usr/bin/time", X_OK) != 0)
        return -1;
    nvl::sys::UniqueFd body(::memfd_create("upload", MFD_CLOEXEC));
    writeUploadBody(body.get(), size);
    ::lseek(body.get(), 0, SEEK_SET);
    std::string report = world().root + "/time-report";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(body.get(), STDIN_FILENO);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::execl("/usr/bin/time", "time", "-f", "%M", "-o", report.c_str(), kPage, nullptr);
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::ifstream in(report);
    long peak = -1;
    in >> peak;
    for (const auto& entry : fs::directory_iterator(world().temp))
        fs::remove(entry.path());
    return peak;
}

void BM_UploadMemory(benchmark::State& state) {
    world();
    for (auto _ : state) {
        for (size_t mebibytes : {8, 64}) {
            int fds[2];
            if (::pipe(fds) != 0)
                std::abort();
            pid_t pid = ::fork();
            if (pid == 0) {
                ::dup2(fds[1], STDOUT_FILENO);
                std::string size = std::to_string(mebibytes << 20);
                ::execl("/proc/self/exe", "formvars_bench", "--upload-child", size.c_str(),
                        nullptr);
                ::_exit(127);
            }
            ::close(fds[1]);
            char text[64] = {};
            ssize_t n = ::read(fds[0], text, sizeof text - 1);
            ::close(fds[0]);
            ::waitpid(pid, nullptr, 0);
            long before = 0, peak = 0;
            if (n <= 0 || std::sscanf(text, "%ld %ld", &before, &peak) != 2)
                std::abort();
            std::string name = std::to_string(mebibytes) + "MiB_";
            state.counters[name + "growth_KiB"] = static_cast<double>(peak - before);
            state.counters[name + "page_peak_KiB"] =
                static_cast<double>(pagePeakKiB(mebibytes << 20));
        }
    }
}
BENCHMARK(BM_UploadMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

double timeSpawn(const char* program, char* const argv[], char* const envp[]) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    auto start = Clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, program, &actions, nullptr, argv, envp) != 0)
        std::abort();
    int status = 0;
    ::waitpid(pid, &status, 0);
    double seconds = secondsSince(start);
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::abort();
    return seconds;
}

void BM_SmallGet(benchmark::State& state) {
    world();
    std::vector<std::string> env = {
        "REQUEST_METHOD=GET",
        "QUERY_STRING=user=admin&lang=en&page=3&sort=name&order=asc&filter=all+items&"
        "view=list&size=20&token=a1b2c3d4&mode=%7Bfull%7D",
        std::string("NVL_REGISTRY=") + std::getenv("NVL_REGISTRY"),
        std::string("NVL_RUNTIME_DIR=") + std::getenv("NVL_RUNTIME_DIR"),
        "PATH=/usr/bin:/bin",
    };
    std::vector<char*> envp;
    for (std::string& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    char* pageArgv[] = {const_cast<char*>(kPage), nullptr};
    char* emptyArgv[] = {const_cast<char*>(kEmptyPage), nullptr};
    char trueProgram[] = "/bin/true";
    char* trueArgv[] = {trueProgram, nullptr};
    double page = 0, empty = 0, baseline = 0;
    for (auto _ : state) {
        double t = timeSpawn(kPage, pageArgv, envp.data());
        empty += timeSpawn(kEmptyPage, emptyArgv, envp.data());
        baseline += timeSpawn(trueProgram, trueArgv, envp.data());
        page += t;
        state.SetIterationTime(t);
    }
    double runs = static_cast<double>(state.iterations());
    state.counters["page_ms"] = 1e3 * page / runs;
    state.counters["empty_page_ms"] = 1e3 * empty / runs;
    state.counters["true_ms"] = 1e3 * baseline / runs;
    state.counters["ratio_vs_empty_page"] = page / empty;
    state.counters["ratio_vs_true"] = page / baseline;
}
BENCHMARK(BM_SmallGet)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--upload-child") == 0) {
        world();
        return uploadChild(std::strtoull(argv[2], nullptr, 10));
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
