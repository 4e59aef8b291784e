// The request ring between senders and a receiver: its layout in shared memory, its order and
// limits, its failure codes, and real processes that send, die holding the ring's mutex, or
// are not there at all. Children are ordered by pipes and exit codes and reaped before the
// parent looks at what they held; every wait is bounded.
#include <cgishare/map_buffer.h>

#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/named_object.h"
#include "platform/pipe.h"
#include "support/child_process.h"
#include "support/test_env.h"
#include "trace/trace_client.h"

namespace {

using nvl::test::Channel;
using nvl::test::Child;
namespace sys = nvl::sys;

constexpr char kBase[] = "ring";
constexpr uint32_t kPatienceMs = 20000;

// The header as the bytes of the region say it, decoded here by hand so that the layout that
// other processes rely on is pinned independently of the code under test.
struct Header {
    int32_t capacity, writeIndex, count;
    bool operator==(const Header&) const = default;
};

int32_t littleEndianAt(const void* region, size_t offset) {
    const auto* b = static_cast<const unsigned char*>(region) + offset;
    return static_cast<int32_t>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                                static_cast<uint32_t>(b[2]) << 16 |
                                static_cast<uint32_t>(b[3]) << 24);
}

void putLittleEndian(void* region, size_t offset, int32_t value) {
    auto* b = static_cast<unsigned char*>(region) + offset;
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<unsigned char>(static_cast<uint32_t>(value) >> (8 * i));
}

Header headerOf(const NvlMapBuffer& ring) {
    return {littleEndianAt(ring.view, 0), littleEndianAt(ring.view, 4),
            littleEndianAt(ring.view, 8)};
}

std::ostream& operator<<(std::ostream& out, const Header& h) {
    return out << "{capacity " << h.capacity << ", write index " << h.writeIndex << ", count "
               << h.count << "}";
}

// 64-byte records of the multi-process tests: sender, sequence number, and a fill that
// depends on both, so that a torn or stale record cannot pass for a good one.
constexpr long kRecordSize = 64;
using Record = std::array<unsigned char, kRecordSize>;

Record makeRecord(uint32_t sender, uint32_t seq) {
    Record r{};
    std::memcpy(r.data(), &sender, 4);
    std::memcpy(r.data() + 4, &seq, 4);
    for (size_t i = 8; i < r.size(); ++i)
        r[i] = static_cast<unsigned char>(sender * 31 + seq * 7 + i);
    return r;
}

bool splitRecord(const Record& r, uint32_t* sender, uint32_t* seq) {
    std::memcpy(sender, r.data(), 4);
    std::memcpy(seq, r.data() + 4, 4);
    return r == makeRecord(*sender, *seq);
}

// Ends the test process when something that should return at once blocks forever.
class Watchdog {
  public:
    explicit Watchdog(unsigned seconds) { ::alarm(seconds); }
    ~Watchdog() { ::alarm(0); }
};

// Sends one record, again while the ring is full (for at most a minute); the last status.
// `attached`: SetBuffer and SendRequest on an open object, else SendBuffer.
int sendWhileFull(NvlMapBuffer& sender, const Record& record, bool attached) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        int status = attached ? sender.SetBuffer(record.data()) : sender.SendBuffer(record.data());
        if (status == 0 && attached)
            sender.SendRequest();
        if (status != NvlMapBuffer::kFull || std::chrono::steady_clock::now() >= until)
            return status;
        ::sched_yield();
    }
}

class MapBufferTest : public ::testing::Test {
  protected:
    nvl::test::TestEnv env_;
};

// --- One process: layout, order, limits ---------------------------------------------------

TEST_F(MapBufferTest, RegionIsHeaderThenSlotsAndBothEndsShareIt) {
    NvlMapBuffer receiver(kBase, 8);
    EXPECT_STREQ(receiver.mappingName, "ring_Map");
    EXPECT_STREQ(receiver.mutexName, "ring_Mutex");
    EXPECT_STREQ(receiver.eventName, "ring_Event");
    ASSERT_EQ(receiver.CreateMapFile(3), 0);
    EXPECT_EQ(receiver.viewSize, 12u + 3 * 8);
    EXPECT_EQ(headerOf(receiver), (Header{3, 0, 0}));

    NvlMapBuffer sender(kBase, 8);
    ASSERT_EQ(sender.OpenMapFile(), 0);
    ASSERT_EQ(sender.SetBuffer("ABCDEFGH"), 0);
    EXPECT_EQ(headerOf(receiver), (Header{3, 1, 1}));
    EXPECT_EQ(std::memcmp(static_cast<char*>(receiver.view) + 12, "ABCDEFGH", 8), 0);

    // Creating again over the live objects empties the ring.
    NvlMapBuffer again(kBase, 8);
    ASSERT_EQ(again.CreateMapFile(3), 0);
    EXPECT_EQ(headerOf(receiver), (Header{3, 0, 0}));
    char record[8];
    EXPECT_EQ(receiver.GetBuffer(record), NvlMapBuffer::kEmpty);
}

TEST_F(MapBufferTest, RecordsComeOutInTheOrderWrittenAndTheRingWraps) {
    // 'S' x: SetBuffer of a record filled with x; 'G' x: GetBuffer expecting x. Then the status.
    struct Step {
        char op;
        char value;
        int status;
    };
    struct Case {
        const char* name;
        int capacity;
        std::vector<Step> steps;
        Header after;
    };
    const std::vector<Case> cases = {
        {"capacity 0 holds nothing", 0, {{'S', 'a', -3}, {'G', 0, -2}}, {0, 0, 0}},
        {"capacity 3 fills, refuses, drains",
         3,
         {{'S', 'a', 0},
          {'S', 'b', 0},
          {'S', 'c', 0},
          {'S', 'd', -3},
          {'G', 'a', 0},
          {'G', 'b', 0},
          {'G', 'c', 0},
          {'G', 0, -2}},
         {3, 0, 0}},
        {"read across the wrap: write index 1, count 3 of 4 reads slots 2, 3, 0",
         4,
         {{'S', 'a', 0},
          {'S', 'b', 0},
          {'S', 'c', 0},
          {'S', 'd', 0},
          {'G', 'a', 0},
          {'G', 'b', 0},
          {'S', 'e', 0},
          {'G', 'c', 0},
          {'G', 'd', 0},
          {'G', 'e', 0},
          {'G', 0, -2}},
         {4, 1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NvlMapBuffer ring(kBase, 8);
        ASSERT_EQ(ring.CreateMapFile(c.capacity), 0);
        for (const Step& step : c.steps) {
            char record[8];
            if (step.op == 'S') {
                std::memset(record, step.value, sizeof record);
                EXPECT_EQ(ring.SetBuffer(record), step.status) << "set " << step.value;
            } else {
                std::memset(record, 0, sizeof record);
                EXPECT_EQ(ring.GetBuffer(record), step.status);
                if (step.status == 0) {
                    EXPECT_EQ(record[0], step.value);
                }
            }
        }
        EXPECT_EQ(headerOf(ring), c.after);
    }
}

TEST_F(MapBufferTest, SenderTracesEachStatus) {
    sys::PipeServer logServer;
    ASSERT_EQ(sys::PipeServer::create(nvl::trace::kLogPipeName, SOMAXCONN, true, &logServer),
              sys::kSuccess);
    nvl::trace::resetClientForTesting();
    NvlMapBuffer receiver(kBase, 8);
    NvlMapBuffer("none", 8).SendBuffer("12345678");
    ASSERT_EQ(receiver.CreateMapFile(1), 0);
    NvlMapBuffer(kBase, 8).SendBuffer("12345678");
    NvlMapBuffer(kBase, 8).SendBuffer("12345678");

    // Each command: LOG_WRITE, time, pid, tid, level, source, line, "[tag][program]text".
    std::vector<std::string> texts;
    sys::PipeConnection peer;
    while (logServer.accept(&peer) == sys::kSuccess) {
        std::string bytes(sys::kPipeMaxMessage, '\0');
        size_t size = 0;
        ASSERT_EQ(peer.receive(bytes.data(), bytes.size(), &size), sys::kSuccess);
        std::string narrow;
        for (size_t i = 0; i + 1 < size; i += 2)
            narrow += bytes[i];
        std::vector<std::string> fields;
        for (size_t start = 0, tab; fields.size() < 7; start = tab + 1) {
            tab = narrow.find('\t', start);
            ASSERT_NE(tab, std::string::npos) << narrow;
            fields.push_back(narrow.substr(start, tab - start));
        }
        EXPECT_EQ(fields[4], "8");
        EXPECT_EQ(fields[5], "src\\Server\\libCGIShare\\cgi_NvlMapBuffer.cpp");
        std::string text = narrow.substr(narrow.find("]", narrow.rfind('\t')) + 1);
        texts.push_back(text.substr(text.find(']') + 1, text.find('\0') - text.find(']') - 1));
    }
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "[NvlMapBuffer::SendBuffer] status of OpenMapFile()=-7",
                         "[NvlMapBuffer::SendBuffer] status of OpenMapFile()=0",
                         "[NvlMapBuffer::SetBuffer] err of WaitForSingleObject()=0",
                         "[NvlMapBuffer::SetBuffer] End - status=0",
                         "[NvlMapBuffer::SendBuffer] status of SetBuffer()=0",
                         "[NvlMapBuffer::SendBuffer] status of OpenMapFile()=0",
                         "[NvlMapBuffer::SetBuffer] err of WaitForSingleObject()=0",
                         "[NvlMapBuffer::SetBuffer] End - status=-3",
                         "[NvlMapBuffer::SendBuffer] status of SetBuffer()=-3",
                     }));
}

TEST_F(MapBufferTest, IdleObjectRefusesQuietly) {
    NvlMapBuffer ring(kBase, 8);
    ring.FreeMapFile();
    ring.FreeMapFile();
    ring.WaitRequest();
    ring.SendRequest();
    char record[8] = {};
    EXPECT_EQ(ring.GetBuffer(record), NvlMapBuffer::kMutexFailed);
    EXPECT_EQ(ring.SetBuffer(record), NvlMapBuffer::kMutexFailed);
    EXPECT_EQ(ring.WaitRequestEx(0, nullptr), 0xFFFFFFFFul);

    // Attached, it still refuses a wait on more objects than a wait can take.
    ASSERT_EQ(ring.CreateMapFile(1), 0);
    std::vector<void*> many(64, ring.event);
    EXPECT_EQ(ring.WaitRequestEx(64, many.data()), 0xFFFFFFFFul);
    ring.FreeMapFile();
    ring.FreeMapFile();
    EXPECT_EQ(ring.event, nullptr);
    EXPECT_EQ(ring.view, nullptr);
}

TEST_F(MapBufferTest, CreateAndOpenTellWhichObjectFailed) {
    // Objects that exist before the call, by suffix and kind: the wrong kind under one of the
    // ring's names, or only some of the ring's objects.
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, char>> existing;  // 'e' event, 'm' mutex, 'f' mapping
        bool create;
        int count;
        int status;
    };
    const std::vector<Case> cases = {
        {"open, nothing there", {}, false, 0, -7},
        {"open, only the event", {{"_Event", 'e'}}, false, 0, -6},
        {"open, event and mutex", {{"_Event", 'e'}, {"_Mutex", 'm'}}, false, 0, -5},
        {"create, event name taken by a mutex", {{"_Event", 'm'}}, true, 4, -7},
        {"create, mutex name taken by an event", {{"_Mutex", 'e'}}, true, 4, -6},
        {"create, mapping name taken by an event", {{"_Map", 'e'}}, true, 4, -4},
        {"create, a region of another size exists", {{"_Map", 'f'}}, true, 4, -4},
        {"create, negative count", {}, true, -1, -4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<sys::Handle> held;
        for (const auto& [suffix, kind] : c.existing) {
            std::string name = std::string(kBase) + suffix;
            held.push_back(kind == 'e'   ? sys::createEvent(name, false, false)
                           : kind == 'm' ? sys::createMutex(name, false)
                                         : sys::createFileMapping(name, 100));
            ASSERT_TRUE(held.back());
        }
        NvlMapBuffer ring(kBase, 8);
        EXPECT_EQ(c.create ? ring.CreateMapFile(c.count) : ring.OpenMapFile(), c.status);
        if (c.create && c.status == -4) {
            EXPECT_EQ(ring.mutex, nullptr) << "a failed mapping lets go of the mutex";
        }
        ring.FreeMapFile();
        EXPECT_EQ(ring.event, nullptr);
        EXPECT_EQ(ring.mapping, nullptr);
    }
}

TEST_F(MapBufferTest, HeaderFromSharedMemoryIsCheckedBeforeAnySlotIsTouched) {
    struct Case {
        const char* name;
        size_t offset;  // of the field to damage
        int32_t value;
        int getStatus;
    };
    // The ring: capacity 4 of 8-byte records, one record in it (write index 1, count 1).
    const std::vector<Case> cases = {
        {"capacity larger than the region", 0, 1000, -9},
        {"capacity negative", 0, -1, -9},
        {"capacity smaller than the region", 0, 3, -9},
        {"write index at capacity", 4, 4, -9},
        {"write index negative", 4, -1, -9},
        {"count above capacity", 8, 5, -9},
        {"count negative", 8, -5, -2},  // seen as empty before the mutex is taken
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NvlMapBuffer receiver(kBase, 8);
        ASSERT_EQ(receiver.CreateMapFile(4), 0);
        ASSERT_EQ(receiver.SetBuffer("ABCDEFGH"), 0);
        putLittleEndian(receiver.view, c.offset, c.value);
        std::vector<unsigned char> before(static_cast<unsigned char*>(receiver.view),
                                          static_cast<unsigned char*>(receiver.view) + 44);

        NvlMapBuffer sender(kBase, 8);
        ASSERT_EQ(sender.OpenMapFile(), 0);
        EXPECT_EQ(sender.SetBuffer("12345678"), NvlMapBuffer::kBadRegion);
        char record[8];
        EXPECT_EQ(receiver.GetBuffer(record), c.getStatus);
        EXPECT_EQ(std::memcmp(before.data(), receiver.view, before.size()), 0);
    }

    // A peer built with another record size sees a region that is not its ring.
    NvlMapBuffer receiver(kBase, 8);
    ASSERT_EQ(receiver.CreateMapFile(4), 0);
    ASSERT_EQ(receiver.SetBuffer("ABCDEFGH"), 0);
    for (long size : {4L, 16L, 0L}) {
        SCOPED_TRACE(size);
        std::vector<char> record(16, 'x');
        NvlMapBuffer other(kBase, size);
        ASSERT_EQ(other.OpenMapFile(), 0);
        EXPECT_EQ(other.SetBuffer(record.data()), NvlMapBuffer::kBadRegion);
        EXPECT_EQ(other.GetBuffer(record.data()), NvlMapBuffer::kBadRegion);
    }
    char record[8];
    ASSERT_EQ(receiver.GetBuffer(record), 0);
    EXPECT_EQ(std::memcmp(record, "ABCDEFGH", 8), 0);
}

// --- Real processes ------------------------------------------------------------------------

TEST_F(MapBufferTest, FourSendersTenThousandRecordsEachArriveOnceAndInOrder) {
    constexpr uint32_t kSenders = 4;
    constexpr uint32_t kPerSender = 10000;
    NvlMapBuffer receiver(kBase, kRecordSize);
    ASSERT_EQ(receiver.CreateMapFile(32), 0);  // small, so that senders find it full at times

    Channel go;
    std::vector<std::unique_ptr<Child>> senders;
    for (uint32_t s = 0; s < kSenders; ++s) {
        senders.push_back(std::make_unique<Child>(
            [&go, s] {
                if (go.take() == '\0')
                    return 10;
                // Half of them send as a CGI program does, the others stay attached.
                bool attached = s % 2 == 1;
                NvlMapBuffer sender(kBase, kRecordSize);
                if (attached && sender.OpenMapFile() != 0)
                    return 11;
                for (uint32_t seq = 0; seq < kPerSender; ++seq) {
                    if (sendWhileFull(sender, makeRecord(s, seq), attached) != 0)
                        return 12;
                }
                return 0;
            },
            300));
    }
    for (uint32_t s = 0; s < kSenders; ++s)
        go.post();

    std::array<uint32_t, kSenders> next{};
    uint32_t received = 0;
    while (received < kSenders * kPerSender) {
        ASSERT_EQ(sys::waitForSingleObject(receiver.event, kPatienceMs), sys::kWaitObject0)
            << "after " << received << " records";
        Record record;
        int status;
        while ((status = receiver.GetBuffer(record.data())) == 0) {
            uint32_t sender, seq;
            ASSERT_TRUE(splitRecord(record, &sender, &seq)) << "a damaged record";
            ASSERT_LT(sender, kSenders);
            ASSERT_EQ(seq, next[sender]) << "sender " << sender;
            ++next[sender];
            ++received;
        }
        ASSERT_EQ(status, NvlMapBuffer::kEmpty);
    }
    for (auto& sender : senders)
        EXPECT_EQ(sender->wait(), 0);
    EXPECT_EQ(headerOf(receiver).count, 0);
}

TEST_F(MapBufferTest, FullRingRefusesWithoutSignalAndKeepsWhatItAccepted) {
    NvlMapBuffer receiver(kBase, kRecordSize);
    ASSERT_EQ(receiver.CreateMapFile(2), 0);
    auto send = [](uint32_t seq) {
        return Child([seq] {
                   return -NvlMapBuffer(kBase, kRecordSize).SendBuffer(makeRecord(0, seq).data());
               })
            .wait();
    };
    EXPECT_EQ(send(0), 0);
    EXPECT_EQ(send(1), 0);
    ASSERT_EQ(sys::waitForSingleObject(receiver.event, 0), sys::kWaitObject0);
    EXPECT_EQ(send(2), 3) << "full: -3";
    EXPECT_EQ(sys::waitForSingleObject(receiver.event, 0), sys::kWaitTimeout)
        << "a refused record is not announced";

    for (uint32_t seq : {0u, 1u}) {
        Record record;
        ASSERT_EQ(receiver.GetBuffer(record.data()), 0);
        EXPECT_EQ(record, makeRecord(0, seq));
    }
    Record record;
    EXPECT_EQ(receiver.GetBuffer(record.data()), NvlMapBuffer::kEmpty);
    EXPECT_EQ(send(3), 0) << "room again once read";
}

TEST_F(MapBufferTest, WithoutReceiverSenderGetsNoEventAndStaysIdle) {
    auto expectRefused = [] {
        NvlMapBuffer sender(kBase, kRecordSize);
        EXPECT_EQ(sender.SendBuffer(makeRecord(0, 0).data()), NvlMapBuffer::kNoEvent);
        EXPECT_EQ(sender.event, nullptr);
        EXPECT_EQ(sender.mutex, nullptr);
        EXPECT_EQ(sender.mapping, nullptr);
        EXPECT_EQ(sender.view, nullptr);
    };
    expectRefused();

    // A receiver that ran and was killed leaves nothing that a sender could open.
    Channel ready;
    Child receiver([&] {
        NvlMapBuffer ring(kBase, kRecordSize);
        if (ring.CreateMapFile(4) != 0)
            return 1;
        ready.post();
        ::pause();
        return 0;
    });
    ASSERT_EQ(ready.take(), 'x');
    receiver.kill();
    EXPECT_EQ(receiver.wait(), 128 + SIGKILL);
    expectRefused();
}

TEST_F(MapBufferTest, SenderKilledHoldingTheMutexCostsOneCallAndNothingElse) {
    for (bool receiverFirst : {true, false}) {
        SCOPED_TRACE(receiverFirst ? "receiver's GetBuffer first" : "sender's SetBuffer first");
        NvlMapBuffer receiver(kBase, kRecordSize);
        ASSERT_EQ(receiver.CreateMapFile(4), 0);
        ASSERT_EQ(receiver.SetBuffer(makeRecord(0, 0).data()), 0);
        ASSERT_EQ(receiver.SetBuffer(makeRecord(0, 1).data()), 0);

        // A sender in the middle of SetBuffer: it owns the mutex and has copied half a record
        // into the next slot when it is killed.
        Channel holding;
        Child dying([&] {
            NvlMapBuffer sender(kBase, kRecordSize);
            if (sender.OpenMapFile() != 0 ||
                sys::waitForSingleObject(sender.mutex, kPatienceMs) != sys::kWaitObject0)
                return 1;
            std::memset(static_cast<char*>(sender.view) + 12 + 2 * kRecordSize, 0xEE,
                        kRecordSize / 2);
            holding.post();
            ::pause();
            return 0;
        });
        ASSERT_EQ(holding.take(), 'x');
        dying.kill();
        ASSERT_EQ(dying.wait(), 128 + SIGKILL);

        NvlMapBuffer sender(kBase, kRecordSize);
        Record record;
        if (receiverFirst) {
            EXPECT_EQ(receiver.GetBuffer(record.data()), NvlMapBuffer::kMutexFailed);
        } else {
            EXPECT_EQ(sender.SendBuffer(makeRecord(0, 2).data()), NvlMapBuffer::kMutexFailed);
        }
        // The mutex is free again for everyone, at once.
        EXPECT_EQ(Child([] {
                      sys::Handle mutex = sys::openMutex("ring_Mutex");
                      if (sys::waitForSingleObject(mutex.get(), 0) != sys::kWaitObject0)
                          return 1;
                      return sys::releaseMutex(mutex.get()) ? 0 : 2;
                  }).wait(),
                  0);
        EXPECT_EQ(headerOf(receiver), (Header{4, 2, 2}));

        EXPECT_EQ(sender.SendBuffer(makeRecord(0, 2).data()), 0);
        for (uint32_t seq : {0u, 1u, 2u}) {
            ASSERT_EQ(receiver.GetBuffer(record.data()), 0);
            EXPECT_EQ(record, makeRecord(0, seq)) << "the half record is never seen";
        }
        EXPECT_EQ(receiver.GetBuffer(record.data()), NvlMapBuffer::kEmpty);
        EXPECT_EQ(headerOf(receiver), (Header{4, 3, 0}));
    }
}

TEST_F(MapBufferTest, SenderKilledAtAnyMomentLeavesAConsistentRing) {
    // A sender streams records and is killed wherever it happens to be; many rounds put the
    // kill inside SetBuffer, mutex held, more than once. After each round the ring holds
    // exactly the records the sender was told were accepted, perhaps one more (accepted, but
    // killed before it could say so), whole and in order.
    constexpr int kRounds = 40;
    constexpr int kCapacity = 64;
    auto* acknowledged = static_cast<std::atomic<uint32_t>*>(
        ::mmap(nullptr, sizeof(std::atomic<uint32_t>), PROT_READ | PROT_WRITE,
               MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(acknowledged, MAP_FAILED);
    NvlMapBuffer receiver(kBase, kRecordSize);
    ASSERT_EQ(receiver.CreateMapFile(kCapacity), 0);

    uint32_t next = 0;
    int abandoned = 0;
    for (int round = 0; round < kRounds; ++round) {
        acknowledged->store(0);
        uint32_t first = next;
        Channel attached;
        Child sender([&] {
            NvlMapBuffer ring(kBase, kRecordSize);
            if (ring.OpenMapFile() != 0)
                return 1;
            attached.post();
            for (uint32_t seq = first;;) {
                int status = ring.SetBuffer(makeRecord(0, seq).data());
                if (status == 0) {
                    acknowledged->store(++seq - first);
                } else if (status != NvlMapBuffer::kFull) {
                    return 2;
                }
            }
        });
        ASSERT_EQ(attached.take(), 'x');
        uint32_t target = 1 + static_cast<uint32_t>(round * 37) % kCapacity;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (acknowledged->load() < target && std::chrono::steady_clock::now() < until)
            ::sched_yield();
        sender.kill();
        ASSERT_EQ(sender.wait(), 128 + SIGKILL) << "round " << round;
        uint32_t told = acknowledged->load();
        ASSERT_GE(told, target);

        Record record;
        int status = receiver.GetBuffer(record.data());
        if (status == NvlMapBuffer::kMutexFailed) {
            ++abandoned;
            status = receiver.GetBuffer(record.data());
        }
        for (; status == 0; status = receiver.GetBuffer(record.data())) {
            uint32_t who, seq;
            ASSERT_TRUE(splitRecord(record, &who, &seq)) << "round " << round;
            ASSERT_EQ(seq, next) << "round " << round;
            ++next;
        }
        ASSERT_EQ(status, NvlMapBuffer::kEmpty) << "round " << round;
        EXPECT_GE(next - first, told) << "round " << round;
        EXPECT_LE(next - first, told + 1) << "round " << round;
    }
    ::munmap(acknowledged, sizeof(std::atomic<uint32_t>));
    std::cout << "[          ] killed holding the mutex in " << abandoned << " of " << kRounds
              << " rounds\n";
}

TEST_F(MapBufferTest, WaitRequestExSeesTheStopHandleBeforeRequests) {
    NvlMapBuffer receiver(kBase, kRecordSize);
    ASSERT_EQ(receiver.CreateMapFile(4), 0);
    sys::Handle stop = sys::createEvent("stop", true, false);
    ASSERT_TRUE(stop);
    void* handles[] = {stop.get()};
    Watchdog watchdog(30);

    // Both signalled: a request from another process, and the stop event.
    ASSERT_EQ(Child([] {
                  return -NvlMapBuffer(kBase, kRecordSize).SendBuffer(makeRecord(0, 7).data());
              }).wait(),
              0);
    ASSERT_TRUE(sys::setEvent(stop.get()));
    EXPECT_EQ(receiver.WaitRequestEx(1, handles), 0ul);
    EXPECT_EQ(receiver.WaitRequestEx(1, handles), 0ul) << "the stop event stays set";
    ASSERT_TRUE(sys::resetEvent(stop.get()));
    EXPECT_EQ(receiver.WaitRequestEx(1, handles), 1ul) << "the request was not consumed";
    Record record;
    ASSERT_EQ(receiver.GetBuffer(record.data()), 0);
    EXPECT_EQ(record, makeRecord(0, 7));

    // A receiver asleep in the wait is woken by a sender, or by its stop event.
    for (bool byStop : {false, true}) {
        SCOPED_TRACE(byStop ? "stop" : "request");
        Child waiter([] {
            NvlMapBuffer ring(kBase, kRecordSize);
            sys::Handle stopEvent = sys::openEvent("stop");
            void* own[] = {stopEvent.get()};
            if (ring.OpenMapFile() != 0 || !stopEvent)
                return 100;
            return static_cast<int>(ring.WaitRequestEx(1, own));
        });
        ASSERT_TRUE(nvl::test::blockedInWait(waiter.pid()));
        if (byStop) {
            ASSERT_TRUE(sys::setEvent(stop.get()));
        } else {
            ASSERT_EQ(NvlMapBuffer(kBase, kRecordSize).SendBuffer(makeRecord(0, 8).data()), 0);
        }
        EXPECT_EQ(waiter.wait(), byStop ? 0 : 1);
    }
}

}  // namespace
