// The cost of tracing.
//
// (a) With no log server: a trace call on the refused path, against an empty function call
//     that the compiler cannot inline.
// (b) Into a live log server, from one process and from four: traces per second against a bare
//     loop of connect, send one message of the same size, close, to a minimal receiver on the
//     same kind of socket. After each run the log is counted: nothing may be lost.
// The ratios are printed after the table.
#include <benchmark/benchmark.h>
#include <cgishare/trace.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/pipe.h"
#include "trace/trace_client.h"

namespace {

constexpr int kTracesPerProcess = 500;  // per iteration of the multi-process runs
std::string g_root;

// --- Helpers --------------------------------------------------------------------------------

void useRuntime(const std::string& name) {
    std::string dir = g_root + "/" + name;
    nvl::sys::makeDirectories(dir);
    ::setenv("NVL_RUNTIME_DIR", dir.c_str(), 1);
}

// Runs `work` in `processes` children at once (in this process when 1) and waits for them.
template <typename Work>
void inProcesses(int processes, Work work) {
    if (processes == 1) {
        work();
        return;
    }
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        pid_t child = ::fork();
        if (child == 0) {
            work();
            _exit(0);
        }
        children.push_back(child);
    }
    for (pid_t child : children)
        ::waitpid(child, nullptr, 0);
}

// A child process that signals readiness through a pipe.
pid_t spawnReady(void (*body)(int readyFd, const std::string& arg), const std::string& arg) {
    int ready[2];
    if (::pipe(ready) != 0)
        std::abort();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        body(ready[1], arg);
        _exit(127);
    }
    ::close(ready[1]);
    char byte = 0;
    if (::read(ready[0], &byte, 1) != 1)
        std::abort();
    ::close(ready[0]);
    return pid;
}

void execLogServer(int readyFd, const std::string& log) {
    ::dup2(readyFd, 3);
    const char* server = CGISHARE_BINARY_DIR "/standins/logserver/nvl-logserver";
    ::execl(server, server, "--log", log.c_str(), "--ready-fd", "3", static_cast<char*>(nullptr));
}

// The minimal receiver: accept, receive, close; "STOP" ends it with the count
// written to a file.
void runReceiver(int readyFd, const std::string& countFile) {
    nvl::sys::PipeServer server;
    if (nvl::sys::PipeServer::create("BenchReceiver", SOMAXCONN, false, &server) != 0)
        _exit(1);
    char byte = '1';
    (void)!::write(readyFd, &byte, 1);
    ::close(readyFd);
    std::vector<char> buffer(nvl::sys::kPipeMaxMessage);
    long count = 0;
    for (;;) {
        nvl::sys::PipeConnection c;
        if (server.accept(&c) != 0)
            continue;
        size_t size = 0;
        if (c.receive(buffer.data(), buffer.size(), &size) != 0)
            continue;
        if (size == 4 && std::string(buffer.data(), 4) == "STOP")
            break;
        ++count;
    }
    std::ofstream(countFile) << count;
    _exit(0);
}

long stopAndCount(pid_t server, const std::string& log, const char* needle) {
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    std::ifstream in(log);
    long lines = 0;
    for (std::string line; std::getline(in, line);)
        lines += line.find(needle) != std::string::npos;
    return lines;
}

// A command of the size a trace sends.
std::u16string sampleCommand() {
    std::u16string text =
        u"LOG_WRITE\t1700000000\t123456\t123456\t6\t/work/cgishare/bench/trace_bench.cpp\t123\t"
        u"[CGIShare][trace_bench]live trace 0 12345";
    return text;
}

// --- (a) the refused path -----------------------------------------------------------------

__attribute__((noinline)) void emptyFunction(int level, const char* file, int line,
                                             const char* format, int value) {
    asm volatile("" : : "r"(level), "r"(file), "r"(line), "r"(format), "r"(value) : "memory");
}

void BM_EmptyCall(benchmark::State& state) {
    int i = 0;
    for (auto _ : state)
        emptyFunction(6, __FILE__, __LINE__, "refused %d", i++);
}
BENCHMARK(BM_EmptyCall);

void BM_TraceRefused(benchmark::State& state) {
    useRuntime("no-server");
    nvl::trace::resetClientForTesting();
    InitLogClient("", "", "CGIShare", true);
    DebugTraceA(6, __FILE__, __LINE__, "closes the route");
    int i = 0;
    for (auto _ : state)
        DebugTraceA(6, __FILE__, __LINE__, "refused %d", i++);
}
BENCHMARK(BM_TraceRefused);

// --- (b) a live server ----------------------------------------------------------------------

void BM_TraceToLogServer(benchmark::State& state) {
    const int processes = static_cast<int>(state.range(0));
    useRuntime("live-" + std::to_string(processes));
    const std::string log = g_root + "/live-" + std::to_string(processes) + ".log";
    ::unlink(log.c_str());
    pid_t server = spawnReady(execLogServer, log);
    nvl::trace::resetClientForTesting();
    InitLogClient("", "", "CGIShare", true);

    long sent = 0;
    for (auto _ : state) {
        if (processes == 1) {
            DebugTraceA(6, __FILE__, __LINE__, "live trace %d %ld", 0, sent);
            ++sent;
        } else {
            inProcesses(processes, [&] {
                for (int i = 0; i < kTracesPerProcess; ++i) {
                    DebugTraceA(6, __FILE__, __LINE__, "live trace %d %d", 0, i);
                }
            });
            sent += static_cast<long>(processes) * kTracesPerProcess;
        }
    }
    state.SetItemsProcessed(sent);
    long arrived = stopAndCount(server, log, "live trace");
    state.counters["lost"] = static_cast<double>(sent - arrived);
}
BENCHMARK(BM_TraceToLogServer)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_BareConnectSend(benchmark::State& state) {
    const int processes = static_cast<int>(state.range(0));
    useRuntime("bare-" + std::to_string(processes));
    const std::string countFile = g_root + "/bare-" + std::to_string(processes) + ".count";
    pid_t receiver = spawnReady(runReceiver, countFile);
    const std::u16string command = sampleCommand();
    const size_t bytes = (command.size() + 1) * 2;
    // Waits out a full backlog as the trace client does.
    auto once = [&] {
        nvl::sys::PipeConnection c;
        uint32_t error = c.connect("BenchReceiver");
        while (error == nvl::sys::kErrPipeBusy) {
            error = c.waitForServer("BenchReceiver", nvl::trace::kPipeBusyWaitMs);
        }
        if (error == 0)
            c.send(command.data(), bytes);
    };

    long sent = 0;
    for (auto _ : state) {
        if (processes == 1) {
            once();
            ++sent;
        } else {
            inProcesses(processes, [&] {
                for (int i = 0; i < kTracesPerProcess; ++i)
                    once();
            });
            sent += static_cast<long>(processes) * kTracesPerProcess;
        }
    }
    state.SetItemsProcessed(sent);
    nvl::sys::PipeConnection stop;
    if (stop.connect("BenchReceiver") == 0)
        stop.send("STOP", 4);
    ::waitpid(receiver, nullptr, 0);
    long arrived = 0;
    std::ifstream(countFile) >> arrived;
    state.counters["lost"] = static_cast<double>(sent - arrived);
}
BENCHMARK(BM_BareConnectSend)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMicrosecond);

// --- Ratios ---------------------------------------------------------------------------------

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0)
                continue;
            Figures& f = figures_[run.benchmark_name()];
            f.seconds = run.GetAdjustedRealTime();
            auto items = run.counters.find("items_per_second");
            if (items != run.counters.end())
                f.perSecond = items->second;
            auto lost = run.counters.find("lost");
            if (lost != run.counters.end())
                f.lost = lost->second;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto& out = GetOutputStream();
        auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
        char line[200];
        std::snprintf(line, sizeof line,
                      "\nrefused trace / empty call:            %6.2fx  (target <= 5x)\n",
                      ratio(figures_["BM_TraceRefused"].seconds, figures_["BM_EmptyCall"].seconds));
        out << line;
        for (const char* p : {"1", "4"}) {
            Figures live = figures_[std::string("BM_TraceToLogServer/") + p + "/real_time"];
            Figures bare = figures_[std::string("BM_BareConnectSend/") + p + "/real_time"];
            std::snprintf(line, sizeof line,
                          "traces/s into the log server, %s process%s: %6.0f%% of bare "
                          "connect-send-close (target >= 70%%), lost %g\n",
                          p, *p == '1' ? " " : "es", 100 * ratio(live.perSecond, bare.perSecond),
                          live.lost);
            out << line;
        }
    }

  private:
    struct Figures {
        double seconds = 0, perSecond = 0, lost = 0;
    };
    std::map<std::string, Figures> figures_;
};

}  // namespace

int main(int argc, char** argv) {
    char root[] = "/tmp/trace-bench.XXXXXX";
    if (::mkdtemp(root) == nullptr)
        return 1;
    g_root = root;
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::string cleanup = "rm -rf '" + g_root + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
