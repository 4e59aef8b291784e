// Records per second of EventLog and writeUpdateLog, from one process and from four at once,
// each against the plain open-append-close of the same line to the same directory in the
// same run: the counter "ratio" is the subject's rate over the plain one (target: at least 0.8).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cgishare/event_log.h>
#include <cgishare/update_log.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "platform/file.h"

namespace {

constexpr int kRecordsPerProcess = 2000;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
}

char* text(const char* s) {
    return const_cast<char*>(s);
}

struct World {
    std::string root, home, eventDir, eventFile, updateFile, baselineFile;
    std::string eventLine, updateLine;
};

World& world() {
    static World instance = [] {
        World w;
        char pattern[] = "/tmp/cgishare-bench.XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            std::abort();
        w.root = pattern;
        w.home = w.root + "/home/";
        w.eventDir = w.root + "/events/";
        nvl::sys::makeDirectories(w.home + "Log");
        nvl::sys::makeDirectories(w.eventDir);
        nvl::sys::makeDirectories(w.root + "/etc");
        std::string registry = w.root + "/etc/registry.reg";
        std::string contents =
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\HaldenLabs\\Norvel\\service\\Information]\r\n"
            "\"Local_Path\"=\"" +
            w.home + "\"\r\n";
        nvl::sys::replaceFileAtomically(registry, contents);
        ::setenv("NVL_REGISTRY", registry.c_str(), 1);
        ::setenv("NVL_RUNTIME_DIR", (w.root + "/run").c_str(), 1);
        w.updateFile = w.home + "Log/update.log";
        w.baselineFile = w.home + "Log/baseline.log";
        SetEventLogDir(text(w.eventDir.c_str()));
        SetEventLogFlag(0xFFFFFFFFu);

        // The lines the two logs write, for the baseline to write the same bytes.
        time_t now = std::time(nullptr);
        struct tm local {};
        ::localtime_r(&now, &local);
        char date[64];
        std::snprintf(date, sizeof date, "%.4d/%.2d/%.2d, %.2d:%.2d:%.2d", local.tm_year + 1900,
                      local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        char name[64];
        std::snprintf(name, sizeof name, "nvl%.4d%.2d%.2d.log", local.tm_year + 1900,
                      local.tm_mon + 1, local.tm_mday);
        w.eventFile = w.eventDir + name;
        w.eventLine =
            std::string(date) + ", 3, pattern updated, client-042, success, version 3.123.45,\n";
        w.updateLine = "20060831094107,4,1,1,3.123.45\n";
        return w;
    }();
    return instance;
}

void plainAppend(const std::string& path, const std::string& line) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0)
        std::abort();
    if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        std::abort();
    ::close(fd);
}

void writeEvent() {
    EventLog(NVL_EVENT_PATTERN_UPDATED, text("client-042"), true, text("version %s"),
             text("3.123.45"), nullptr, nullptr);
}
void writeUpdate() {
    writeUpdateLog(text("20060831094107"), text("4"), 1, 1, text("3.123.45"), nullptr);
}
// The same record with the base directory given: the writer's own cost, without the home
// directory's registry look-up.
void writeUpdateWithBase() {
    writeUpdateLog(text("20060831094107"), text("4"), 1, 1, text("3.123.45"),
                   text(world().home.c_str()));
}
void baselineEvent() {
    plainAppend(world().eventDir + "baseline.log", world().eventLine);
}
void baselineUpdate() {
    plainAppend(world().baselineFile, world().updateLine);
}

void truncateFiles() {
    World& w = world();
    for (const std::string& f :
         {w.eventFile, w.eventDir + "baseline.log", w.updateFile, w.baselineFile})
        ::truncate(f.c_str(), 0);
}

// Runs `write` kRecordsPerProcess times in each of `processes` processes started together;
// returns the seconds from the start signal until the last of them finished, or -1.
double round(void (*write)(), int processes) {
    int gate[2];
    if (::pipe(gate) != 0)
        return -1;
    pid_t children[16];
    for (int p = 0; p < processes; ++p) {
        children[p] = ::fork();
        if (children[p] == 0) {
            ::close(gate[1]);
            char byte;
            if (::read(gate[0], &byte, 1) != 0)
                ::_exit(2);
            for (int i = 0; i < kRecordsPerProcess; ++i)
                write();
            ::_exit(0);
        }
    }
    ::close(gate[0]);
    auto start = std::chrono::steady_clock::now();
    ::close(gate[1]);
    bool ok = true;
    for (int p = 0; p < processes; ++p) {
        int status = 0;
        ::waitpid(children[p], &status, 0);
        ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return ok ? elapsed.count() : -1;
}

// Subject and baseline rounds alternate, so that both see the same load of a shared machine.
// The time reported is the subject's; "plain/s" is the baseline's rate and "ratio" the
// subject's rate over it.
void compare(benchmark::State& state, void (*subject)(), void (*baseline)()) {
    world();
    truncateFiles();
    const int processes = static_cast<int>(state.range(0));
    double subjectSeconds = 0, baselineSeconds = 0;
    for (auto _ : state) {
        // Which goes first alternates too: the second of two rounds pays for the first one's
        // writeback.
        bool baselineFirst = state.iterations() % 2 == 0;
        double b = baselineFirst ? round(baseline, processes) : 0;
        double s = round(subject, processes);
        if (!baselineFirst)
            b = round(baseline, processes);
        if (b < 0 || s < 0) {
            state.SkipWithError("a writer failed");
            break;
        }
        baselineSeconds += b;
        subjectSeconds += s;
        state.SetIterationTime(s);
    }
    const double records = static_cast<double>(state.iterations()) * processes * kRecordsPerProcess;
    state.SetItemsProcessed(static_cast<int64_t>(records));
    if (subjectSeconds > 0 && baselineSeconds > 0) {
        state.counters["plain/s"] = records / baselineSeconds;
        state.counters["ratio"] = baselineSeconds / subjectSeconds;
    }
}

void BM_EventLog(benchmark::State& state) {
    compare(state, writeEvent, baselineEvent);
}
void BM_WriteUpdateLog(benchmark::State& state) {
    compare(state, writeUpdate, baselineUpdate);
}
void BM_WriteUpdateLogBaseDirectory(benchmark::State& state) {
    compare(state, writeUpdateWithBase, baselineUpdate);
}

BENCHMARK(BM_EventLog)->ArgName("processes")->Arg(1)->Arg(4)->UseManualTime()->MinTime(1.0);
BENCHMARK(BM_WriteUpdateLog)->ArgName("processes")->Arg(1)->Arg(4)->UseManualTime()->MinTime(1.0);
BENCHMARK(BM_WriteUpdateLogBaseDirectory)
    ->ArgName("processes")
    ->Arg(1)
    ->Arg(4)
    ->UseManualTime()
    ->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ::nftw(world().root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    return 0;
}
