// Version resources: GetFileVersionInfoSizeA, GetFileVersionInfoA and VerQueryValueA for PE32
// and PE32+ executables, on the bounds-checked reader of pe_image.h.
//
// What callers can rely on
//   Size   the bytes the data call needs for this file's version block: the block itself, a
//          4-byte alignment pad, an 8-byte tag, and room for the narrow texts queries return
//          (twice the block: enough for any text in any ANSI code page, UTF-8 included). 0 when
//          the file has no version resource or it cannot be read; lastError() is then
//          kErrFileNotFound (no file), kErrResourceTypeNotFound (no version resource; also a
//          file that is not a PE image, kErrBadExeFormat, or whose resource is malformed,
//          kErrResourceDataNotFound), kErrReadFault for a failed read. `*handle` is set to 0.
//   Data   copies the version block to `data` and writes the tag behind it. The block is
//          checked whole first: every node inside its parent, every key NUL-terminated, root key
//          "VS_VERSION_INFO", nothing past the resource. A `size` smaller than the size call's
//          answer for the same file fails with kErrInsufficientBuffer and copies nothing (the
//          original truncated the block, and a later query could read past the caller's
//          buffer).
//   Query  `subBlock` is a path of keys separated by '\', in the ANSI code page; empty
//          components are ignored, so "\" is the root. Keys match without regard to ASCII case
//          ("040904b0" finds "040904B0"). Results point into `block`:
//            "\"                       VS_FIXEDFILEINFO (52 bytes); only when the root carries
//                                      one whose dwSignature is 0xFEEF04BD; `*length` 52.
//            a binary value            the raw bytes ("\VarFileInfo\Translation": an array of
//                                      u32, language in the low word); `*length` in bytes.
//            a text value              (wType 1, or any leaf under StringFileInfo) converted
//                                      from UTF-16 to the ANSI code page into the room behind
//                                      the block, NUL-terminated; `*length` the bytes with the
//                                      NUL. A lone surrogate or a character the code page lacks
//                                      becomes '?'. The text ends at its first NUL or its node.
//            a node without a value    true, `*length` 0.
//          Not found: false with kErrResourceTypeNotFound. The same query on the same block
//          always gives the same pointer, so a text result stays valid while the block lives.
//
// Reads
//   By path the file is opened (a missing spelling resolved without regard to case, as other
//   server paths are) and closed within each call. On an open file the calls read by pread
//   alone: they neither use nor move the descriptor's offset, so a caller can judge one open
//   file with several readers. Either way a call reads the headers (one read of the first
//   4 KiB), the resource tree and the block (one more read where they lie beyond the first
//   4 KiB), never the rest of the file, and does not ask for the file's size: every range it
//   uses is checked by reading it.
#pragma once

#include <cstdint>

namespace nvl::sys {

namespace pe {
class ByteSource;
}

uint32_t getFileVersionInfoSizeA(const char* path, uint32_t* handle);
bool getFileVersionInfoA(const char* path, uint32_t handle, uint32_t size, void* data);
bool verQueryValueA(const void* block, const char* subBlock, void** buffer, uint32_t* length);

// The same two calls on a file the caller holds open.
uint32_t fileVersionInfoSize(int fd);
bool fileVersionInfo(int fd, uint32_t size, void* data);

// The same two calls on any source (a file in memory: tests, fuzzing).
uint32_t fileVersionInfoSize(const pe::ByteSource& source);
bool fileVersionInfo(const pe::ByteSource& source, uint32_t size, void* data);

}  // namespace nvl::sys
