// The per-process table behind named_object.h: object files and their lifetime protocol,
// handle values, and the pins that keep an object mapped while an operation uses it.
// Internal to the platform layer; see named_object.h for the design.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "platform/named_object.h"

namespace nvl::sys::objects {

enum class Kind : uint16_t { kMutex = 1, kEvent = 2, kMapping = 3 };

constexpr size_t kHeaderSize = 4096;
constexpr size_t kMaxStoredName = 1024;

// The first page of every object file. Its layout is shared by every process that opens the
// object, so it only ever grows in new versions.
struct Header {
    uint32_t magic;  // stored last, with release order: a header with its magic is complete
    uint16_t version;
    uint16_t kind;
    uint32_t flags;  // event: kManualReset
    uint32_t nameLength;
    uint64_t dataSize;  // mapping: the size asked for at creation
    uint64_t creatorPid;
    alignas(64) pthread_mutex_t mutex;
    alignas(64) uint32_t eventWord;  // bit 0: set; bits 1-31: number of sets
    uint32_t eventSleepers;          // waiters asleep on eventWord (or about to be); a hint
    alignas(64) char name[kMaxStoredName];
};
static_assert(sizeof(Header) <= kHeaderSize);

constexpr uint32_t kHeaderMagic = 0x4A424F4E;  // "NOBJ"
constexpr uint16_t kHeaderVersion = 2;         // 2: eventSleepers
constexpr uint32_t kManualReset = 1;

constexpr uint32_t kReleasing = 0x80000000;

// One object this process holds: one descriptor, one lock, one mapping of the header.
struct Entry {
    Kind kind = Kind::kMutex;
    std::string path;  // "" for an unnamed object
    int fd = -1;
    // The whole file, mapped once: the header, and for a mapping its data, which views of the
    // whole of it with full access share instead of mapping it again.
    Header* header = nullptr;
    size_t mappedLength = 0;
    uint64_t device = 0, inode = 0;  // of a named object's file, to find its mapping again
    // Handles, views and operations that may sleep. Raised under the table's mutex for a live
    // handle, or by a thread whose hazard pointer names the entry. Whoever brings it to zero
    // waits until no hazard names the entry, then lets it go if it can swap the zero for
    // kReleasing; a reference raised in between makes a later drop to zero do that instead.
    std::atomic<uint32_t> refs{0};
    // Mutex: acquisitions by this process's threads not yet released.
    std::atomic<int> owned{0};
};

// Creates (when `create`) or opens the object `name` of `kind` and returns a new handle value,
// or nullptr with lastError() set. `dataSize` is the mapping's size. `init` sets up the kind's
// state of a new object while no other process can see it yet. On success lastError() is set
// when `create`: kSuccess for a new object, kErrAlreadyExists for an existing one.
HandleValue acquire(std::string_view name, Kind kind, bool create, uint64_t dataSize,
                    const std::function<void(Header&)>& init);

// Opens objects in order under one hold of the directory guard; how many were opened.
size_t acquireMany(std::span<const ObjectName> names, std::span<Handle> handles);

// Closes handles, letting go of the objects whose last references they were together.
bool closeHandles(std::span<const HandleValue> handles);
HandleValue duplicate(HandleValue handle);

struct PinRecord;

// Keeps the objects behind handles mapped for the length of one operation. `kinds` is a mask of
// (1 << Kind) values the operation accepts; any other handle fails with kErrInvalidHandle.
//
// A pin is a hazard pointer: the entry is written to a slot of this thread's record and the
// handle checked again, with no read-modify-write and no fence on this side; whoever lets an
// entry go first waits until no other thread's record names it (see object_table.cpp). A pin
// must therefore not be held across a sleep: hold() turns the pins into counted references
// first. A Pins inside another one of the same thread counts references from the start.
class Pins {
  public:
    Pins() = default;
    Pins(const Pins&) = delete;
    Pins& operator=(const Pins&) = delete;
    ~Pins();

    bool pin(std::span<const HandleValue> handles, unsigned kinds);
    Entry& operator[](size_t i) const { return *entries_[i]; }
    size_t size() const { return count_; }
    // Turns every pin into a counted reference, for an operation that may sleep.
    void hold();

  private:
    Entry* entries_[kMaximumWaitObjects];  // the first count_ are set
    size_t count_ = 0;
    uint64_t counted_ = 0;         // bit i: entries_[i] holds a reference, not a hazard
    PinRecord* record_ = nullptr;  // this thread's hazards, when this Pins uses them
};

constexpr unsigned kindBit(Kind kind) {
    return 1u << static_cast<unsigned>(kind);
}

// Views of mappings count as references to their object.
void addView(void* address, size_t length, Entry& entry);
// A shared read-write view of `length` bytes from `offset` in the entry's own mapping of the
// file, nullptr when that address is a view already (the caller then maps one of its own).
void* addSharedView(Entry& entry, uint64_t offset, size_t length);
// Unmaps the view that starts at `address`; false with kErrInvalidAddress when there is none.
bool removeView(const void* address);

}  // namespace nvl::sys::objects
