// The request ring's region as another process may have left it: any bytes, any size, any
// record size. The header checks must refuse what does not fit and the record copies must
// stay inside the region (the region is an exactly sized heap block, so AddressSanitizer sees
// any byte past it); a ring that was accepted stays consistent through takes and appends.
//
// Input: byte 0 the record size (0 to 63), byte 1 eight operations (bit set: append, clear:
// take), the rest the region.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "service/ring_layout.h"

using nvl::service::RingHeader;
using nvl::service::RingResult;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    long elementSize = data[0] % 64;
    uint8_t operations = data[1];
    std::vector<unsigned char> region(data + 2, data + size);
    std::vector<unsigned char> record(static_cast<size_t>(elementSize), 0xA5);
    void* base = region.empty() ? nullptr : region.data();

    RingHeader before;
    bool accepted = nvl::service::loadRingHeader(base, region.size(), elementSize, &before);
    if (region.size() >= nvl::service::kRingHeaderBytes)
        (void)nvl::service::peekRingCount(base);

    for (int i = 0; i < 8; ++i) {
        bool append = (operations >> i & 1) != 0;
        RingResult result =
            append
                ? nvl::service::appendRecord(base, region.size(), elementSize, record.data())
                : nvl::service::takeOldestRecord(base, region.size(), elementSize, record.data());
        RingHeader after;
        bool stillAccepted = nvl::service::loadRingHeader(base, region.size(), elementSize, &after);
        if (accepted != stillAccepted || (!accepted && result != RingResult::kBadRegion))
            __builtin_trap();
        if (!accepted)
            continue;
        int32_t expected = before.count;
        if (result == RingResult::kOk)
            expected += append ? 1 : -1;
        if (after.capacity != before.capacity || after.count != expected)
            __builtin_trap();
        before = after;
    }
    return 0;
}
