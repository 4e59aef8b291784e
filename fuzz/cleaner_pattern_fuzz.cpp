// The cleaner pattern's header walk on arbitrary files.
//
// The bytes become a file (a memfd, read through its descriptor as the library reads pattern
// files) and its version is read. The walk must end, never read out of bounds, and agree with a
// plain model of the format: a version it reports is the one at the header the model reaches,
// and every file the model refuses is refused. (The walk gives up after size / 14 hops, so it
// may refuse a contrived chain the model still follows.)
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "cleaner/cleaner.h"
#include "cleaner/pattern_header.h"
#include "platform/file.h"

namespace {

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

uint32_t le(const uint8_t* p, size_t bytes) {
    uint32_t v = 0;
    for (size_t i = 0; i < bytes; ++i)
        v |= uint32_t{p[i]} << (8 * i);
    return v;
}

// The format as written down, with a set of visited positions to end loops; `reads` counts
// the headers read.
bool model(const uint8_t* data, size_t size, uint16_t* version, size_t* reads) {
    std::set<uint64_t> seen;
    uint64_t position = 0;
    *reads = 0;
    while (position + 14 <= size && seen.insert(position).second) {
        ++*reads;
        const uint8_t* h = data + position;
        if (le(h, 4) == nvl::cleaner::kPatternMagic) {
            *version = static_cast<uint16_t>(le(h + 10, 2));
            return true;
        }
        position = uint64_t{le(h + 4, 2)} * le(h + 12, 2) + 14;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = ::memfd_create("cleaner-pattern", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)
        return 0;
    if (size != 0 &&
        nvl::sys::writeAll(fd, std::string_view(reinterpret_cast<const char*>(data), size)) != 0)
        return 0;
    uint16_t version = 0;
    uint32_t status = nvl::cleaner::readPatternVersionFd(fd, &version);
    check(status == nvl::cleaner::kCleanerOk || status == nvl::cleaner::kCleanerFailure);
    uint16_t expected = 0;
    size_t reads = 0;
    bool found = model(data, size, &expected, &reads);
    bool accepted = found && reads <= size / 14;
    check((status == nvl::cleaner::kCleanerOk) == accepted);
    if (accepted)
        check(version == expected);
    return 0;
}
