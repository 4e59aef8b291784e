// The spyware engine's white and black list reader on arbitrary bytes.
//
// Input: byte 0 odd: the rest as it is; even: the rest with its checksum made right first, so
// mutations reach the entries. Every list the reader accepts must be what the writer makes of
// the entries it reported.
#include <cstdint>
#include <string>

#include <xxhash.h>

#include "tarsk_format.h"

namespace {
void check(bool ok) {
    if (!ok)
        __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((data[0] & 1) == 0 && file.size() >= 24) {
        uint64_t sum = XXH3_64bits(file.data() + 24, file.size() - 24);
        for (size_t i = 0; i < 8; ++i)
            file[16 + i] = static_cast<char>(sum >> (8 * i));
    }
    std::vector<tarsk32::ListEntry> entries;
    std::string error;
    if (!tarsk32::readList(file, &entries, &error)) {
        check(!error.empty() && entries.empty());
        return 0;
    }
    check(tarsk32::writeList(entries) == file);
    for (const auto& e : entries)
        check(e.location.empty() || tarsk32::isCleanAbsolutePath(e.location));
    return 0;
}
