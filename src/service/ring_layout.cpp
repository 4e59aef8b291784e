// The request ring's shared region; see ring_layout.h.
#include "service/ring_layout.h"

#include <atomic>
#include <bit>
#include <cstring>

namespace nvl::service {

static_assert(std::endian::native == std::endian::little,
              "the ring header is little-endian and is read and written in place");

namespace {

constexpr size_t kCapacityOffset = 0;
constexpr size_t kWriteIndexOffset = 4;
constexpr size_t kCountOffset = 8;
constexpr uint64_t kLargestRegion = 0xFFFFFFFFu;

// The fields are 4-aligned (views start on a page), and another process may change them, so
// they are read and written as atomics; the mutex provides the ordering.
std::atomic_ref<int32_t> field(const void* region, size_t offset) {
    auto* bytes = static_cast<unsigned char*>(const_cast<void*>(region));
    return std::atomic_ref<int32_t>(*reinterpret_cast<int32_t*>(bytes + offset));
}

// Writes write index and count with one store, so that a process killed around it leaves the
// old pair or the new one: with the pair half written the oldest slot would move, and a
// record would be skipped or a stale one read.
void storeWriteIndexAndCount(void* region, int32_t writeIndex, int32_t count) {
    uint64_t pair = static_cast<uint32_t>(writeIndex) |
                    static_cast<uint64_t>(static_cast<uint32_t>(count)) << 32;
    unsigned char* at = static_cast<unsigned char*>(region) + kWriteIndexOffset;
#if defined(__x86_64__)
    // One instruction. The address is only 4-aligned, which x86-64 stores allow; within one
    // cache line, as here (offset 4 of a page), readers in other processes see it whole too.
    asm volatile("movq %1, (%0)" : : "r"(at), "r"(pair) : "memory");
#else
    // Elsewhere two stores, the count first: a writer killed between them leaves one stale
    // record to be read again rather than an accepted record to be skipped.
    (void)at;
    (void)pair;
    field(region, kCountOffset).store(count, std::memory_order_relaxed);
    field(region, kWriteIndexOffset).store(writeIndex, std::memory_order_relaxed);
#endif
}

unsigned char* slotAddress(void* region, int32_t slot, long elementSize) {
    return static_cast<unsigned char*>(region) + slotOffset(slot, elementSize);
}

}  // namespace

uint64_t ringRegionSize(long elementSize, long capacity) {
    if (elementSize < 0 || capacity < 0 || capacity > INT32_MAX)
        return 0;
    auto element = static_cast<uint64_t>(elementSize);
    auto slots = static_cast<uint64_t>(capacity);
    if (element != 0 && slots > (kLargestRegion - kRingHeaderBytes) / element)
        return 0;
    return kRingHeaderBytes + element * slots;
}

bool loadRingHeader(const void* region, size_t regionSize, long elementSize, RingHeader* header) {
    if (region == nullptr || regionSize < kRingHeaderBytes)
        return false;
    header->capacity = field(region, kCapacityOffset).load(std::memory_order_relaxed);
    header->writeIndex = field(region, kWriteIndexOffset).load(std::memory_order_relaxed);
    header->count = field(region, kCountOffset).load(std::memory_order_relaxed);
    uint64_t expected = ringRegionSize(elementSize, header->capacity);
    if (expected == 0 || expected != regionSize)
        return false;
    bool indexInRange = header->capacity == 0
                            ? header->writeIndex == 0
                            : header->writeIndex >= 0 && header->writeIndex < header->capacity;
    return indexInRange && header->count >= 0 && header->count <= header->capacity;
}

int32_t peekRingCount(const void* region) {
    return field(region, kCountOffset).load(std::memory_order_relaxed);
}

void initRing(void* region, size_t regionSize, int32_t capacity) {
    std::memset(region, 0, regionSize);
    field(region, kCapacityOffset).store(capacity, std::memory_order_relaxed);
}

RingResult takeOldestRecord(void* region, size_t regionSize, long elementSize, void* record) {
    RingHeader header;
    if (!loadRingHeader(region, regionSize, elementSize, &header))
        return RingResult::kBadRegion;
    if (header.count < 1)
        return RingResult::kEmpty;
    if (elementSize > 0)  // a caller with empty records may pass no buffer
        std::memcpy(record, slotAddress(region, oldestSlot(header), elementSize),
                    static_cast<size_t>(elementSize));
    field(region, kCountOffset).store(header.count - 1, std::memory_order_relaxed);
    return RingResult::kOk;
}

RingResult appendRecord(void* region, size_t regionSize, long elementSize, const void* record) {
    RingHeader header;
    if (!loadRingHeader(region, regionSize, elementSize, &header))
        return RingResult::kBadRegion;
    if (header.count >= header.capacity)
        return RingResult::kFull;
    // The slot before the header: a writer that dies while copying leaves it uncounted.
    if (elementSize > 0)
        std::memcpy(slotAddress(region, header.writeIndex, elementSize), record,
                    static_cast<size_t>(elementSize));
    int32_t next = header.writeIndex + 1 == header.capacity ? 0 : header.writeIndex + 1;
    storeWriteIndexAndCount(region, next, header.count + 1);
    return RingResult::kOk;
}

}  // namespace nvl::service
