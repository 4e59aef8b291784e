// The cleaner pattern's header, as the library reads it for the pattern version.
//
// A header is 14 bytes, little-endian:
//
//   bytes 0-3    magic 0x1ABDE21A in the pattern header
//   bytes 4-5    count a \  in a header that is not the pattern header, a * b is the length
//   bytes 12-13  count b /  of the block that follows it
//   bytes 10-11  the pattern version (16 bits, unsigned)
//   bytes 6-9    not read
//
// A file either begins with the pattern header, or with another header followed by its block,
// behind which the pattern header stands (at a * b + 14). What follows the pattern header is
// the cleaner's own business.
//
// The walk: read 14 bytes at 0; while the magic is not there, the next position is a * b + 14
// from the start of the file (it does not depend on where the header stood). A position at or
// past the end, a read of fewer than 14 bytes, or more hops than the file has room for 14-byte
// headers (size / 14; a position that leads back to itself would otherwise be read forever)
// end the walk with kCleanerFailure.
//
// Reads are positional (pread), so a file is judged on one descriptor whatever its offset, and
// the size is taken once, from that descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace nvl::cleaner {

constexpr uint32_t kPatternMagic = 0x1ABDE21A;
constexpr size_t kPatternHeaderSize = 14;
constexpr size_t kPatternVersionOffset = 10;
constexpr size_t kPatternCountAOffset = 4;
constexpr size_t kPatternCountBOffset = 12;

// The version of the pattern file open on `fd` (a regular file): kCleanerOk with `*version`
// set, or kCleanerFailure.
uint32_t readPatternVersionFd(int fd, uint16_t* version);

// Opens the pattern file at `path` (ANSI code page; a missing spelling resolved without regard
// to case, as other server paths are), reads its version and closes it. Open failures:
// a missing file kCleanerPatternNotFound, a file held under another process's write lease
// kCleanerPatternLocked, anything else (no permission, not a regular file, ...) kCleanerFailure.
uint32_t readPatternVersionFile(const std::string& path, uint16_t* version);

}  // namespace nvl::cleaner
