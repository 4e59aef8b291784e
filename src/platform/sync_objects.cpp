// Mutexes, events and waits of named_object.h.
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>

#include "platform/error.h"
#include "platform/named_object.h"
#include "platform/object_table.h"

namespace nvl::sys {

namespace {

using objects::Entry;
using objects::Kind;
using objects::Pins;

// --- Futexes -------------------------------------------------------------------------------
// Objects are shared between processes, so no futex call here may use FUTEX_PRIVATE_FLAG.

// futex_waitv's entry and size flag; older kernel headers lack or misname them.
struct FutexWaitv {
    uint64_t val;
    uint64_t uaddr;
    uint32_t flags;
    uint32_t reserved;
};
constexpr uint32_t kFutexSize32 = 0x02;
#ifdef SYS_futex_waitv
constexpr long kSysFutexWaitv = SYS_futex_waitv;
#else
constexpr long kSysFutexWaitv = 449;
#endif

std::atomic<bool> g_forcePolling{false};

bool futexWaitvAvailable() {
    // A call that can only fail with EINVAL when the kernel has it; ENOSYS or EPERM (a seccomp
    // profile) when it does not.
    static const bool available = [] {
        long rc = ::syscall(kSysFutexWaitv, nullptr, 0, 0, nullptr, CLOCK_MONOTONIC);
        return rc == -1 && errno == EINVAL;
    }();
    return available && !g_forcePolling.load(std::memory_order_relaxed);
}

struct Deadline {
    bool infinite = true;
    timespec at{};
};

Deadline deadlineAfter(uint32_t milliseconds) {
    Deadline deadline;
    if (milliseconds == kInfinite)
        return deadline;
    deadline.infinite = false;
    ::clock_gettime(CLOCK_MONOTONIC, &deadline.at);
    deadline.at.tv_sec += milliseconds / 1000;
    deadline.at.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.at.tv_nsec >= 1000000000L) {
        deadline.at.tv_nsec -= 1000000000L;
        ++deadline.at.tv_sec;
    }
    return deadline;
}

// Each returns 0 when woken (perhaps spuriously), else an errno value: ETIMEDOUT at the
// deadline, EAGAIN when a word no longer held its expected value, EINTR.
int futexWait(uint32_t* word, uint32_t expected, const Deadline& deadline) {
    long rc =
        ::syscall(SYS_futex, word, FUTEX_WAIT_BITSET, expected,
                  deadline.infinite ? nullptr : &deadline.at, nullptr, FUTEX_BITSET_MATCH_ANY);
    return rc == 0 ? 0 : errno;
}

int futexWaitMany(FutexWaitv* waiters, size_t count, const Deadline& deadline) {
    long rc = ::syscall(kSysFutexWaitv, waiters, count, 0,
                        deadline.infinite ? nullptr : &deadline.at, CLOCK_MONOTONIC);
    return rc >= 0 ? 0 : errno;
}

void futexWakeAll(uint32_t* word) {
    ::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

// Sleeps one polling slice, or up to the deadline when that comes first.
int sleepSlice(const Deadline& deadline, long sliceNanoseconds) {
    timespec until{};
    ::clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += sliceNanoseconds;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_nsec -= 1000000000L;
        ++until.tv_sec;
    }
    bool last = !deadline.infinite &&
                (deadline.at.tv_sec < until.tv_sec ||
                 (deadline.at.tv_sec == until.tv_sec && deadline.at.tv_nsec <= until.tv_nsec));
    const timespec& wake = last ? deadline.at : until;
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }
    return last ? ETIMEDOUT : 0;
}

// --- Events --------------------------------------------------------------------------------

std::atomic_ref<uint32_t> eventWord(Entry& entry) {
    return std::atomic_ref<uint32_t>(entry.header->eventWord);
}

// How many waiters may be asleep on the event: a set that finds none makes no system call.
// A waiter killed asleep leaves the count raised, which only brings the call back.
std::atomic_ref<uint32_t> sleepers(Entry& entry) {
    return std::atomic_ref<uint32_t>(entry.header->eventSleepers);
}

bool isManual(const Entry& entry) {
    return (entry.header->flags & objects::kManualReset) != 0;
}

// --- Mutexes -------------------------------------------------------------------------------

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Turns a pthread lock result into a wait result for the object at `index`.
uint32_t lockResult(Entry& entry, int rc, uint32_t index) {
    switch (rc) {
        case 0:
            entry.owned.fetch_add(1);
            return kWaitObject0 + index;
        case EOWNERDEAD:
            // Made consistent at once: the new owner reports the abandonment, and a mutex
            // unlocked without this would be unusable for good.
            ::pthread_mutex_consistent(&entry.header->mutex);
            entry.owned.fetch_add(1);
            return kWaitAbandoned0 + index;
        case EBUSY:
        case ETIMEDOUT:
            return kWaitTimeout;
        default:
            setLastError(errnoToError(rc));
            return kWaitFailed;
    }
}

uint32_t waitMutex(Pins& pins, uint32_t milliseconds) {
    Entry& entry = pins[0];
    pthread_mutex_t* mutex = &entry.header->mutex;
    int rc = ::pthread_mutex_trylock(mutex);
    if (milliseconds == 0)
        return lockResult(entry, rc, 0);
    // The mutexes guard a few dozen instructions, so a holder running on another processor lets
    // go sooner than a sleep and its wake-up would take.
    for (int spin = 0; rc == EBUSY && spin < 50; ++spin) {
        cpuRelax();
        rc = ::pthread_mutex_trylock(mutex);
    }
    if (rc != EBUSY)
        return lockResult(entry, rc, 0);
    pins.hold();  // about to sleep
    if (milliseconds == kInfinite)
        return lockResult(entry, ::pthread_mutex_lock(mutex), 0);
    Deadline deadline = deadlineAfter(milliseconds);
    return lockResult(entry, ::pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline.at), 0);
}

// --- Waits ---------------------------------------------------------------------------------

constexpr uint32_t kNothingSignalled = kWaitTimeout;

// One pass over the objects, from index 0, taking the first that is signalled. `start` holds
// the event words seen when the wait began: a manual-reset event set since then has released
// this waiter even if it was reset again. `seen` receives the words to sleep on.
uint32_t scan(const Pins& pinned, const uint32_t* start, uint32_t* seen) {
    for (size_t i = 0; i < pinned.size(); ++i) {
        Entry& entry = pinned[i];
        auto index = static_cast<uint32_t>(i);
        if (entry.kind == Kind::kMutex) {
            uint32_t result =
                lockResult(entry, ::pthread_mutex_trylock(&entry.header->mutex), index);
            if (result != kWaitTimeout)
                return result;
            continue;
        }
        auto word = eventWord(entry);
        uint32_t value = word.load(std::memory_order_acquire);
        if (isManual(entry)) {
            if ((value & 1) != 0 || (value >> 1) != (start[i] >> 1))
                return kWaitObject0 + index;
        } else {
            // Only the chosen event is consumed; a lost race sends us round again.
            while ((value & 1) != 0) {
                if (word.compare_exchange_weak(value, value & ~1u, std::memory_order_acquire))
                    return kWaitObject0 + index;
            }
        }
        seen[i] = value;
    }
    return kNothingSignalled;
}

// Spins a few microseconds while the event words keep the values the scan saw; true when one
// changed.
bool spinUntilChanged(const Pins& pinned, const uint32_t* seen) {
    constexpr int kSpins = 128;  // a pause takes 10 to 40 ns: a few microseconds in all
    for (int spin = 0; spin < kSpins; ++spin) {
        cpuRelax();
        for (size_t i = 0; i < pinned.size(); ++i) {
            if (eventWord(pinned[i]).load(std::memory_order_relaxed) != seen[i])
                return true;
        }
    }
    return false;
}

uint32_t waitAny(Pins& pinned, uint32_t milliseconds) {
    size_t count = pinned.size();
    // The common wait on one mutex needs none of the bookkeeping below.
    if (count == 1 && pinned[0].kind == Kind::kMutex)
        return waitMutex(pinned, milliseconds);
    bool anyMutex = false;
    uint32_t start[kMaximumWaitObjects] = {};
    uint32_t seen[kMaximumWaitObjects] = {};
    for (size_t i = 0; i < count; ++i) {
        if (pinned[i].kind == Kind::kMutex) {
            anyMutex = true;
        } else {
            start[i] = eventWord(pinned[i]).load(std::memory_order_acquire);
        }
    }

    Deadline deadline = deadlineAfter(milliseconds);
    bool expired = milliseconds == 0;
    long slice = 1000000L;                    // polling: 1 ms, doubling up to 10 ms
    FutexWaitv waiters[kMaximumWaitObjects];  // the first `count` are filled before each sleep
    bool spun = anyMutex;                     // mutexes are polled below, and spin on their own
    for (;;) {
        uint32_t result = scan(pinned, start, seen);
        if (result != kNothingSignalled || expired)
            return result;
        if (!spun) {
            // A set often follows within microseconds (a peer in the middle of a burst): a short
            // spin catches it with no sleep here and no wake-up call on the setter's side.
            spun = true;
            if (spinUntilChanged(pinned, seen))
                continue;
        }
        pinned.hold();  // about to sleep
        int rc;
        if (!anyMutex && (count == 1 || futexWaitvAvailable())) {
            // Counted before the kernel compares the words with what the scan saw: a set
            // either changed a word before that (the sleep ends at once) or sees the count
            // afterwards and wakes us. Both sides are sequentially consistent for this.
            for (size_t i = 0; i < count; ++i)
                sleepers(pinned[i]).fetch_add(1, std::memory_order_seq_cst);
            if (count == 1) {
                rc = futexWait(&pinned[0].header->eventWord, seen[0], deadline);
            } else {
                for (size_t i = 0; i < count; ++i) {
                    waiters[i].val = seen[i];
                    waiters[i].uaddr = reinterpret_cast<uintptr_t>(&pinned[i].header->eventWord);
                    waiters[i].flags = kFutexSize32;
                    waiters[i].reserved = 0;
                }
                rc = futexWaitMany(waiters, count, deadline);
            }
            for (size_t i = 0; i < count; ++i)
                sleepers(pinned[i]).fetch_sub(1, std::memory_order_seq_cst);
        } else {
            rc = sleepSlice(deadline, slice);
            slice = slice * 2 > 10000000L ? 10000000L : slice * 2;
        }
        if (rc == ETIMEDOUT) {
            expired = true;  // one last pass, then time out
        } else if (rc != 0 && rc != EAGAIN && rc != EINTR) {
            setLastError(errnoToError(rc));
            return kWaitFailed;
        }
    }
}

}  // namespace

Handle createMutex(std::string_view name, bool initialOwner) {
    bool locked = false;
    HandleValue handle =
        objects::acquire(name, Kind::kMutex, true, 0, [&](objects::Header& header) {
            pthread_mutexattr_t attributes;
            ::pthread_mutexattr_init(&attributes);
            ::pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
            ::pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
            ::pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
            ::pthread_mutex_init(&header.mutex, &attributes);
            ::pthread_mutexattr_destroy(&attributes);
            // Taken before any other process can see the mutex, as the original does.
            locked = initialOwner && ::pthread_mutex_lock(&header.mutex) == 0;
        });
    if (handle != nullptr && locked) {
        Pins pins;
        if (pins.pin({&handle, 1}, objects::kindBit(Kind::kMutex)))
            pins[0].owned.fetch_add(1);
    }
    return Handle(handle);
}

Handle openMutex(std::string_view name) {
    return Handle(objects::acquire(name, Kind::kMutex, false, 0, {}));
}

bool releaseMutex(HandleValue mutex) {
    Pins pins;
    if (!pins.pin({&mutex, 1}, objects::kindBit(Kind::kMutex)))
        return false;
    int rc = ::pthread_mutex_unlock(&pins[0].header->mutex);
    if (rc != 0) {
        setLastError(rc == EPERM ? kErrNotOwner : errnoToError(rc));
        return false;
    }
    pins[0].owned.fetch_sub(1);
    return true;
}

Handle createEvent(std::string_view name, bool manualReset, bool initiallySet) {
    return Handle(objects::acquire(name, Kind::kEvent, true, 0, [&](objects::Header& header) {
        header.flags = manualReset ? objects::kManualReset : 0;
        header.eventWord = initiallySet ? 3 : 0;  // set once, and set now
    }));
}

Handle openEvent(std::string_view name) {
    return Handle(objects::acquire(name, Kind::kEvent, false, 0, {}));
}

bool setEvent(HandleValue event) {
    Pins pins;
    if (!pins.pin({&event, 1}, objects::kindBit(Kind::kEvent)))
        return false;
    auto word = eventWord(pins[0]);
    uint32_t value = word.load(std::memory_order_relaxed);
    do {
        if ((value & 1) != 0)
            return true;
    } while (!word.compare_exchange_weak(value, (((value >> 1) + 1) << 1) | 1,
                                         std::memory_order_seq_cst, std::memory_order_relaxed));
    // Every waiter is woken and rechecks: waking one could pick a waiter that then takes a
    // lower-indexed object instead, and the set would be lost.
    if (sleepers(pins[0]).load(std::memory_order_seq_cst) != 0)
        futexWakeAll(&pins[0].header->eventWord);
    return true;
}

bool resetEvent(HandleValue event) {
    Pins pins;
    if (!pins.pin({&event, 1}, objects::kindBit(Kind::kEvent)))
        return false;
    eventWord(pins[0]).fetch_and(~1u, std::memory_order_relaxed);
    return true;
}

uint32_t waitForSingleObject(HandleValue object, uint32_t milliseconds) {
    return waitForMultipleObjects({&object, 1}, milliseconds);
}

uint32_t waitForMultipleObjects(std::span<const HandleValue> handles, uint32_t milliseconds) {
    Pins pins;
    if (!pins.pin(handles, objects::kindBit(Kind::kMutex) | objects::kindBit(Kind::kEvent)))
        return kWaitFailed;
    return waitAny(pins, milliseconds);
}

void setMultiWaitPollingForTesting(bool poll) {
    g_forcePolling.store(poll);
}

}  // namespace nvl::sys
