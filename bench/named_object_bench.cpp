// Costs of the named objects, each against a baseline measured in the same run:
//   - an uncontended wait + release of a named mutex, against the bare process-shared robust
//     pthread mutex it is built on (the price of handles, pins and ownership bookkeeping);
//   - a set / wait round trip between two processes on two auto-reset events, against a
//     one-byte round trip through two pipes;
//   - opening and closing an object that another handle keeps alive (what a CGI program pays
//     per object), against opening and closing a plain file.
// The counter "x_baseline" is the subject's time per operation divided by the baseline's.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "bench_support.h"
#include "platform/named_object.h"

namespace {

using nvl::sys::Handle;

using nvl::bench::nanosecondsPerCall;
using nvl::bench::report;
using nvl::bench::runtimeDirectory;

void BM_MutexUncontended(benchmark::State& state) {
    runtimeDirectory();
    Handle mutex = nvl::sys::createMutex("bench mutex", false);
    auto subject = [&] {
        nvl::sys::waitForSingleObject(mutex.get(), nvl::sys::kInfinite);
        nvl::sys::releaseMutex(mutex.get());
    };
    for (auto _ : state)
        subject();

    auto* bare = static_cast<pthread_mutex_t*>(::mmap(nullptr, sizeof(pthread_mutex_t),
                                                      PROT_READ | PROT_WRITE,
                                                      MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    pthread_mutexattr_t attributes;
    ::pthread_mutexattr_init(&attributes);
    ::pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    ::pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    ::pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    ::pthread_mutex_init(bare, &attributes);
    double baseline = nanosecondsPerCall(
        [&] {
            ::pthread_mutex_lock(bare);
            ::pthread_mutex_unlock(bare);
        },
        state.iterations());
    ::munmap(bare, sizeof(pthread_mutex_t));
    report(state, nanosecondsPerCall(subject, state.iterations()), baseline);
}
BENCHMARK(BM_MutexUncontended);

// A child that answers each request until told to stop; returns its pid.
template <class F>
pid_t startEchoChild(F&& serve) {
    pid_t pid = ::fork();
    if (pid == 0) {
        serve();
        ::_exit(0);
    }
    return pid;
}

void BM_EventRoundTrip(benchmark::State& state) {
    runtimeDirectory();
    Handle ping = nvl::sys::createEvent("bench ping", false, false);
    Handle pong = nvl::sys::createEvent("bench pong", false, false);
    auto* stop = static_cast<volatile int*>(
        ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    *stop = 0;
    pid_t child = startEchoChild([&] {
        Handle in = nvl::sys::openEvent("bench ping");
        Handle out = nvl::sys::openEvent("bench pong");
        while (nvl::sys::waitForSingleObject(in.get(), nvl::sys::kInfinite) == 0 && *stop == 0)
            nvl::sys::setEvent(out.get());
    });
    auto subject = [&] {
        nvl::sys::setEvent(ping.get());
        nvl::sys::waitForSingleObject(pong.get(), nvl::sys::kInfinite);
    };
    for (auto _ : state)
        subject();
    double measured = nanosecondsPerCall(subject, state.iterations());
    *stop = 1;
    nvl::sys::setEvent(ping.get());
    ::waitpid(child, nullptr, 0);
    ::munmap(const_cast<int*>(stop), 4096);

    int request[2], reply[2];
    if (::pipe(request) != 0 || ::pipe(reply) != 0)
        std::abort();
    child = startEchoChild([&] {
        char c;
        while (::read(request[0], &c, 1) == 1 && c != 'q') {
            if (::write(reply[1], &c, 1) != 1)
                break;
        }
    });
    double baseline = nanosecondsPerCall(
        [&] {
            char c = 'x';
            if (::write(request[1], &c, 1) != 1 || ::read(reply[0], &c, 1) != 1)
                std::abort();
        },
        state.iterations());
    if (::write(request[1], "q", 1) != 1)
        std::abort();
    ::waitpid(child, nullptr, 0);
    for (int fd : {request[0], request[1], reply[0], reply[1]})
        ::close(fd);
    report(state, measured, baseline);
}
BENCHMARK(BM_EventRoundTrip)->UseRealTime();

void BM_OpenClose(benchmark::State& state) {
    const std::string& dir = runtimeDirectory();
    // The holder is another process, as the service is for a CGI program: a second handle in
    // the holder's own process would only touch the table.
    int held[2], finish[2];
    if (::pipe(held) != 0 || ::pipe(finish) != 0)
        std::abort();
    pid_t holder = startEchoChild([&] {
        Handle event = nvl::sys::createEvent("bench open", true, false);
        char c = 'x';
        if (::write(held[1], &c, 1) == 1)
            (void)!::read(finish[0], &c, 1);
    });
    char c;
    if (::read(held[0], &c, 1) != 1)
        std::abort();
    auto subject = [] { Handle h = nvl::sys::openEvent("bench open"); };
    for (auto _ : state)
        subject();
    double measured = nanosecondsPerCall(subject, state.iterations());
    if (::write(finish[1], "q", 1) != 1)
        std::abort();
    ::waitpid(holder, nullptr, 0);
    for (int fd : {held[0], held[1], finish[0], finish[1]})
        ::close(fd);

    std::string plain = dir + "/plain";
    ::close(::open(plain.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    double baseline = nanosecondsPerCall(
        [&] { ::close(::open(plain.c_str(), O_RDWR | O_CLOEXEC)); }, state.iterations());
    ::unlink(plain.c_str());
    report(state, measured, baseline);
}
BENCHMARK(BM_OpenClose);

}  // namespace

BENCHMARK_MAIN();
