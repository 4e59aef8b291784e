// The spyware engine's backup set reader on arbitrary bytes (in a memory file, as the engine
// reads a set from its descriptor).
//
// Input: byte 0 odd: the rest as it is; even: the rest with its declared length and checksum
// made right first, so mutations reach the records. An accepted set must hold only records
// whose data lies inside the file and whose file locations are clean absolute paths: the
// places restore may write.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include <xxhash.h>

#include "tarsk_format.h"

namespace {
void check(bool ok) {
    if (!ok)
        __builtin_trap();
}
void put64(std::string* s, size_t at, uint64_t v) {
    for (size_t i = 0; i < 8; ++i)
        (*s)[at + i] = static_cast<char>(v >> (8 * i));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((data[0] & 1) == 0 && file.size() >= tarsk32::kBackupHeaderSize) {
        put64(&file, 16, file.size());
        put64(&file, 24, XXH3_64bits(file.data() + 40, file.size() - 40));
    }
    static const int fd = ::memfd_create("backup-set", 0);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, file.data(), file.size(), 0) != static_cast<ssize_t>(file.size()))
        return 0;
    tarsk32::BackupSet set;
    std::string error;
    if (!tarsk32::readBackupSet(fd, &set, &error)) {
        check(!error.empty());
        return 0;
    }
    for (const auto& r : set.records) {
        check(r.dataOffset <= file.size() && r.dataSize <= file.size() - r.dataOffset);
        if (r.kind != tarsk32::kBackupRegistry)
            check(tarsk32::isCleanAbsolutePath(r.path));
    }
    return 0;
}
