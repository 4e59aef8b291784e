// The shared region of the request ring, as both ends and every version of them see it.
//
//   offset 0   capacity     number of record slots
//   offset 4   write index  slot that the next record fills, 0 to capacity - 1
//   offset 8   count        records written and not yet read, 0 to capacity
//   offset 12  slots        capacity slots of the element size each, back to back
//
// All three fields are signed 32-bit little-endian, and the region is exactly
// 12 + capacity * element size bytes. The oldest unread record sits in slot
// (write index - count), plus capacity when that is negative.
//
// The region is written by other processes, so nothing read from it is trusted: loadRingHeader
// accepts a header only when every field is in range and the capacity accounts for the mapped
// size exactly, and the slot arithmetic below is only used on an accepted header. A region that
// a peer built with another element size fails that test, so no copy ever reaches past the
// mapping.
//
// Crash safety: the header is changed only while the ring's mutex is held, but a holder can die
// at any instruction. A reader changes one field (the count); a writer changes two (write index
// and count), and does so with one 8-byte store, so that a writer killed at any point leaves the
// old pair or the new one and never a ring whose oldest slot has moved. The slot itself is
// written before the header, so a writer killed while copying leaves a free slot behind.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nvl::service {

constexpr size_t kRingHeaderBytes = 12;

struct RingHeader {
    int32_t capacity = 0;
    int32_t writeIndex = 0;
    int32_t count = 0;
};

// The size of a region with `capacity` slots of `elementSize` bytes, or 0 when either is
// negative or the region would not fit a 32-bit size (the largest the ring's peers can share).
uint64_t ringRegionSize(long elementSize, long capacity);

// Reads the header of `region` (`regionSize` bytes) into `header`. True when it describes a
// ring of `elementSize`-byte slots that fills the region exactly.
bool loadRingHeader(const void* region, size_t regionSize, long elementSize, RingHeader* header);

// The count alone, read without the mutex (a hint: it may change at once). The region must be
// at least kRingHeaderBytes long.
int32_t peekRingCount(const void* region);

// The operations, for a caller that holds the ring's mutex. Each checks the header first and
// touches nothing when it is not accepted.
enum class RingResult { kOk, kEmpty, kFull, kBadRegion };

// Zeroes the region and makes it an empty ring of `capacity` slots.
void initRing(void* region, size_t regionSize, int32_t capacity);
// Copies the oldest record (`elementSize` bytes) to `record` and removes it.
RingResult takeOldestRecord(void* region, size_t regionSize, long elementSize, void* record);
// Copies `elementSize` bytes from `record` into the next free slot.
RingResult appendRecord(void* region, size_t regionSize, long elementSize, const void* record);

// Where slot `slot` of an accepted header starts in the region.
inline size_t slotOffset(int32_t slot, long elementSize) {
    return kRingHeaderBytes + static_cast<size_t>(slot) * static_cast<size_t>(elementSize);
}

// The slot of the oldest unread record of an accepted, non-empty header.
inline int32_t oldestSlot(const RingHeader& header) {
    int32_t slot = header.writeIndex - header.count;
    return slot < 0 ? slot + header.capacity : slot;
}

}  // namespace nvl::service
