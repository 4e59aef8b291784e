// httpAccessEX fetching a 256 MiB body from lighttpd on loopback into a file (the loader
// loadhttp.so taken from the server home's Web/CGI, as a page takes it), against the curl
// command (`curl -s -o FILE URL`) fetching the same body into a file in the same directory,
// taking turns in the same run, the served file in the page cache for both. Reports the median
// time of each, their ratio (target: at most 1.1) and how much the calls raised the process's
// peak RSS above its RSS before them (target: at most 8 MiB): once for the first call, which
// loads libcurl and its TLS library into the process, and for the calls after it, the peak
// started afresh through /proc/self/clear_refs before each.
#include <cgishare/http_access.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "platform/error.h"
#include "platform/file.h"

namespace {

namespace fs = std::filesystem;

constexpr uint64_t kBodyBytes = 256ull << 20;
constexpr char kLighttpd[] = "/usr/sbin/lighttpd";

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

int freePort() {
    nvl::sys::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
        std::abort();
    return ntohs(address.sin_port);
}

bool accepts(int port) {
    nvl::sys::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = loopback(port);
    return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
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

// lighttpd serving one 256 MiB file from a directory of its own; a server home with the loader.
struct Fixture {
    Fixture() {
        nvl::bench::runtimeDirectory();
        if (::mkdtemp(dir) == nullptr)
            std::abort();
        root = dir;
        fs::create_directories(root + "/www");
        fs::create_directories(root + "/out");
        // The body: 1 MiB blocks that differ, so nothing on the way can shortcut them.
        nvl::sys::UniqueFd body(
            ::open((root + "/www/body.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
        std::string block(1 << 20, '\0');
        for (uint64_t i = 0; i < kBodyBytes / block.size(); ++i) {
            for (size_t j = 0; j < block.size(); j += 8)
                block[j] = static_cast<char>(i * 31 + j / 8);
            if (nvl::sys::writeAll(body.get(), block) != nvl::sys::kSuccess)
                std::abort();
        }
        body.reset();
        port = freePort();
        writeFile(root + "/lighttpd.conf", "server.document-root = \"" + root +
                                               "/www\"\nserver.bind = \"127.0.0.1\"\n"
                                               "server.port = " +
                                               std::to_string(port) + "\nserver.errorlog = \"" +
                                               root + "/error.log\"\n");
        server = ::fork();
        if (server == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, STDIN_FILENO);
            std::string conf = root + "/lighttpd.conf";
            ::execl(kLighttpd, kLighttpd, "-D", "-f", conf.c_str(), nullptr);
            ::_exit(127);
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!accepts(port)) {
            if (std::chrono::steady_clock::now() > deadline ||
                ::waitpid(server, nullptr, WNOHANG) == server) {
                std::fprintf(stderr, "lighttpd did not start; see %s/error.log\n", root.c_str());
                std::abort();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        fs::create_directories(std::string(home.dir) + "/Web/CGI");
        fs::copy_file(LOADHTTP_SO, std::string(home.dir) + "/Web/CGI/loadhttp.so");
    }
    ~Fixture() {
        ::kill(server, SIGTERM);
        ::waitpid(server, nullptr, 0);
        fs::remove_all(root);
        fs::remove_all(std::string(home.dir) + "/Web");
    }

    nvl::bench::ServerHome home{""};
    char dir[40] = "/tmp/cgishare-http-bench.XXXXXX";
    std::string root;
    int port = 0;
    pid_t server = -1;
};

// The curl command's fetch of `url` into `file`.
void runCurl(const std::string& url, const std::string& file) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execlp("curl", "curl", "-s", "-o", file.c_str(), url.c_str(), nullptr);
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "curl failed\n");
        std::abort();
    }
}

void fetchWithLibrary(Fixture& fixture, const std::string& file) {
    std::string host = "127.0.0.1", path = "/body.bin", none, out = file;
    int status = httpAccessEX(host.data(), fixture.port, path.data(), 0, none.data(), 0,
                              none.data(), none.data(), 0, out.data(), 0);
    if (status != 200) {
        std::fprintf(stderr, "httpAccessEX returned %d\n", status);
        std::abort();
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void BM_HttpFetch256MiB(benchmark::State& state) {
    if (::access(kLighttpd, X_OK) != 0) {
        state.SkipWithError("lighttpd is not installed");
        return;
    }
    static Fixture fixture;
    const std::string subjectFile = fixture.root + "/out/library.bin";
    const std::string curlFile = fixture.root + "/out/curl.bin";
    const std::string url = "http://127.0.0.1:" + std::to_string(fixture.port) + "/body.bin";

    // The first call loads libcurl into the process; the served file comes into the page cache.
    long before = nvl::bench::resetPeakRss();
    fetchWithLibrary(fixture, subjectFile);
    long firstGrowth = nvl::bench::statusKiB("VmHWM") - before;
    runCurl(url, curlFile);

    std::vector<double> subject, baseline;
    long growth = 0;
    for (auto _ : state) {
        fs::remove(curlFile);
        baseline.push_back(nvl::bench::seconds([&] { runCurl(url, curlFile); }));
        fs::remove(subjectFile);
        before = nvl::bench::resetPeakRss();
        subject.push_back(nvl::bench::seconds([&] { fetchWithLibrary(fixture, subjectFile); }));
        growth = std::max(growth, nvl::bench::statusKiB("VmHWM") - before);
        if (fileSize(subjectFile) != kBodyBytes || fileSize(curlFile) != kBodyBytes) {
            std::fprintf(stderr, "a fetch came out short\n");
            std::abort();
        }
    }
    fs::remove(subjectFile);
    fs::remove(curlFile);

    double mib = static_cast<double>(kBodyBytes) / (1 << 20);
    state.counters["library_ms"] = median(subject) * 1e3;
    state.counters["curl_ms"] = median(baseline) * 1e3;
    state.counters["library_MiB_s"] = mib / median(subject);
    state.counters["x_curl"] = median(subject) / median(baseline);
    state.counters["peak_rss_growth_KiB"] = static_cast<double>(growth);
    state.counters["first_call_rss_growth_KiB"] = static_cast<double>(firstGrowth);
}

BENCHMARK(BM_HttpFetch256MiB)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
