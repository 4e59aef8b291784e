// The request ring against the ways two processes would otherwise move the same records, each
// pair measured in the same run (64-byte records, a receiver in another process, timed from
// the first record sent until the receiver has taken the last one and exited):
//   - an attached sender (one OpenMapFile, then SetBuffer and SendRequest per record) against
//     boost::interprocess::message_queue of the same capacity;
//   - one SendBuffer per record, as a console page sends (open, append, signal, close), against
//     one Unix-socket connection per record (connect, send 64 bytes, close).
// The counter "x_baseline" is the ring's time per record divided by the baseline's.
// A sender that finds the ring full sleeps briefly before it tries again, as the message queue's
// sender sleeps until there is room: retrying at once would take the ring's mutex over and over
// from the receiver that is emptying it, and measure that fight instead of the ring.
#include <benchmark/benchmark.h>
#include <cgishare/map_buffer.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/interprocess/ipc/message_queue.hpp>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>

#include "bench_support.h"

namespace {

namespace ipc = boost::interprocess;

constexpr size_t kRecordSize = 64;
constexpr int kCapacity = 1024;
constexpr char kRing[] = "bench ring";

using Record = unsigned char[kRecordSize];

void fill(Record record, uint64_t seq) {
    std::memset(record, static_cast<int>(seq & 0xFF), kRecordSize);
    std::memcpy(record, &seq, sizeof seq);
}

// What a sender does when the ring is full: lets the receiver empty some of it.
void waitForRoom() {
    timespec pause{0, 20000};
    ::nanosleep(&pause, nullptr);
}

bool holds(const Record record, uint64_t seq) {
    uint64_t stored;
    std::memcpy(&stored, record, sizeof stored);
    return stored == seq;
}

// A receiver process: `receive` gets a function to call once it is ready to take records, and
// returns true when it took every record intact and in order.
class Receiver {
  public:
    explicit Receiver(const std::function<bool(const std::function<void()>&)>& receive) {
        int ready[2];
        if (::pipe(ready) != 0)
            std::abort();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            bool ok = receive([&] {
                if (::write(ready[1], "r", 1) != 1)
                    ::_exit(3);
            });
            ::_exit(ok ? 0 : 2);
        }
        ::close(ready[1]);
        char c;
        if (::read(ready[0], &c, 1) != 1)
            std::abort();
        ::close(ready[0]);
    }
    // Waits for the receiver to finish; a receiver that lost or damaged a record ends the run.
    void finish() {
        int status = 0;
        if (::waitpid(pid_, &status, 0) != pid_ || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            std::abort();
    }

  private:
    pid_t pid_ = -1;
};

using Clock = std::chrono::steady_clock;

double nanosecondsPerRecord(Clock::time_point start, int64_t records) {
    std::chrono::duration<double, std::nano> took = Clock::now() - start;
    return took.count() / static_cast<double>(records);
}

// Sends `records` numbered records with `send` and returns the time per record, counted until
// the receiver has taken them all.
template <class Send>
double timeSends(Receiver& receiver, int64_t records, Send&& send) {
    Record record;
    auto start = Clock::now();
    for (int64_t i = 0; i < records; ++i) {
        fill(record, static_cast<uint64_t>(i));
        send(record);
    }
    receiver.finish();
    return nanosecondsPerRecord(start, records);
}

// The ring's receiving end: waits for a request, then takes all that has arrived.
bool receiveFromRing(int64_t records, const std::function<void()>& ready) {
    NvlMapBuffer ring(kRing, kRecordSize);
    if (ring.CreateMapFile(kCapacity) != 0)
        return false;
    ready();
    Record record;
    int64_t taken = 0;
    while (taken < records) {
        ring.WaitRequest();
        int status;
        while ((status = ring.GetBuffer(record)) == 0) {
            if (!holds(record, static_cast<uint64_t>(taken++)))
                return false;
        }
        if (status != NvlMapBuffer::kEmpty)
            return false;
    }
    return true;
}

double attachedRing(int64_t records) {
    Receiver receiver([&](const auto& ready) { return receiveFromRing(records, ready); });
    NvlMapBuffer sender(kRing, kRecordSize);
    if (sender.OpenMapFile() != 0)
        std::abort();
    return timeSends(receiver, records, [&](const Record record) {
        int status;
        while ((status = sender.SetBuffer(record)) == NvlMapBuffer::kFull)
            waitForRoom();
        if (status != 0)
            std::abort();
        sender.SendRequest();
    });
}

double messageQueue(int64_t records) {
    std::string name = "cgishare-bench-mq-" + std::to_string(::getpid());
    ipc::message_queue::remove(name.c_str());
    ipc::message_queue queue(ipc::create_only, name.c_str(), kCapacity, kRecordSize);
    Receiver receiver([&](const auto& ready) {
        ipc::message_queue in(ipc::open_only, name.c_str());
        ready();
        Record record;
        for (int64_t i = 0; i < records; ++i) {
            ipc::message_queue::size_type size = 0;
            unsigned priority = 0;
            in.receive(record, kRecordSize, size, priority);
            if (size != kRecordSize || !holds(record, static_cast<uint64_t>(i)))
                return false;
        }
        return true;
    });
    double result = timeSends(receiver, records,
                              [&](const Record record) { queue.send(record, kRecordSize, 0); });
    ipc::message_queue::remove(name.c_str());
    return result;
}

double sendBufferPerRecord(int64_t records) {
    Receiver receiver([&](const auto& ready) { return receiveFromRing(records, ready); });
    return timeSends(receiver, records, [](const Record record) {
        int status;
        while ((status = NvlMapBuffer(kRing, kRecordSize).SendBuffer(record)) ==
               NvlMapBuffer::kFull)
            waitForRoom();
        if (status != 0)
            std::abort();
    });
}

double socketPerRecord(int64_t records) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = nvl::bench::runtimeDirectory() + "/bench.sock";
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ::unlink(path.c_str());
    auto* target = reinterpret_cast<const sockaddr*>(&address);
    Receiver receiver([&](const auto& ready) {
        int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0 || ::bind(listener, target, sizeof address) != 0 ||
            ::listen(listener, SOMAXCONN) != 0)
            return false;
        ready();
        Record record;
        for (int64_t i = 0; i < records; ++i) {
            int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            size_t got = 0;
            ssize_t n = 1;
            while (connection >= 0 && got < kRecordSize && n > 0) {
                n = ::read(connection, record + got, kRecordSize - got);
                got += n > 0 ? static_cast<size_t>(n) : 0;
            }
            ::close(connection);
            if (got != kRecordSize || !holds(record, static_cast<uint64_t>(i)))
                return false;
        }
        return true;
    });
    double result = timeSends(receiver, records, [&](const Record record) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || ::connect(fd, target, sizeof address) != 0 ||
            ::write(fd, record, kRecordSize) != static_cast<ssize_t>(kRecordSize))
            std::abort();
        ::close(fd);
    });
    ::unlink(path.c_str());
    return result;
}

// Runs subject and baseline in turn, one batch each per iteration, and reports their means.
void compare(benchmark::State& state, double (*subject)(int64_t), double (*baseline)(int64_t),
             int64_t records) {
    nvl::bench::runtimeDirectory();
    double subjectTotal = 0, baselineTotal = 0;
    for (auto _ : state) {
        subjectTotal += subject(records);
        baselineTotal += baseline(records);
    }
    auto runs = static_cast<double>(state.iterations());
    nvl::bench::report(state, subjectTotal / runs, baselineTotal / runs);
}

void BM_AttachedSenderVsMessageQueue(benchmark::State& state) {
    compare(state, attachedRing, messageQueue, 200000);
}
BENCHMARK(BM_AttachedSenderVsMessageQueue)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SendBufferVsSocketPerRecord(benchmark::State& state) {
    compare(state, sendBufferPerRecord, socketPerRecord, 10000);
}
BENCHMARK(BM_SendBufferVsSocketPerRecord)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
