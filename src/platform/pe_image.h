// PE images: a strict, bounds-checked reader of the few structures of a Windows executable
// that the version resource and the signature checks rest on.
//
// What it reads
//   The DOS and PE headers of PE32 and PE32+ images: SizeOfHeaders, where the CheckSum field and
//   the security directory entry lie in the file, the certificate table that entry names, the
//   section table (to map RVAs to file offsets), and the resource tree as far as the version
//   resource (type 16, name 1). It gives file ranges, never pointers: the caller reads the
//   bytes it wants through the same source, so a reader of a 64 MiB file touches a few KiB.
//
// Untrusted input
//   Executables come from the outside and are judged before they are trusted, so every field
//   is checked before it is used, and any inconsistency is an answer ("malformed"), never a
//   read out of bounds:
//   - all offsets and sizes are 64-bit and every range is checked in subtraction form against
//     the size of the source (no sum of two declared values can wrap);
//   - integers are assembled from bytes (no unaligned or type-punned loads);
//   - nothing is allocated from a declared size: the section table lives in a fixed array of
//     kMaxSections entries, and a walk of the certificate table stores at most
//     kMaxCertificateEntries entries;
//   - the resource tree is walked exactly three levels deep (type, name, language), levels one
//     and two must be directories and level three a data entry, so a directory that points at
//     itself or an ancestor cannot make the walk loop;
//   - sections whose address ranges overlap make the image malformed: an RVA maps to one file
//     offset or to none, never to the first of several candidates;
//   - the version resource must lie inside one section's raw data, after the headers and before
//     the certificate table, so every byte of it is covered by an embedded signature.
//
// Reading
//   A ByteSource is a memory view or an open file read by positional reads (pread), which
//   neither use nor move the descriptor's offset, so a caller may hold one open file and give
//   it to several readers. A file source keeps one window of kWindowSize bytes: the headers
//   and, in small images, the resource tree come from one read each. A file source may be made
//   without its size (kUnknownSize): each range is then checked by reading it, which is all a
//   version read needs; the certificate table and the image hash ranges need the size.
//
// This module depends on the C++ standard library and POSIX alone: the trust services'
// stand-in is built from the same source.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace nvl::sys::pe {

// Where bytes come from. Copyable; a copy of a file source shares nothing but the descriptor.
// One source serves one thread at a time (its window is its own state).
class ByteSource {
  public:
    static constexpr uint64_t kUnknownSize = UINT64_MAX;
    static constexpr size_t kWindowSize = 4096;

    // A view of `size` bytes at `data`, which must outlive the source.
    static ByteSource memory(const void* data, uint64_t size);
    // An open file of `size` bytes (from the caller's fstat), read by pread. kUnknownSize: the
    // size is learnt from short reads; checks that need the size then fail (certificate table).
    static ByteSource file(int fd, uint64_t size);

    uint64_t size() const { return size_; }
    bool sizeKnown() const { return size_ != kUnknownSize; }
    // The bytes of a memory source, null for a file.
    const uint8_t* data() const { return data_; }

    // Reads exactly `count` bytes at `offset` into `buffer`. False when the range is not inside
    // the source or the read fails or comes up short; ioFailed() then tells a failed read (an
    // error of the file, not of its contents) from a range outside the source.
    bool read(uint64_t offset, void* buffer, size_t count) const;
    bool ioFailed() const { return ioError_ != 0; }
    int ioError() const { return ioError_; }  // the errno of the failed read

  private:
    ByteSource() = default;
    bool fill(uint64_t offset) const;

    const uint8_t* data_ = nullptr;
    int fd_ = -1;
    uint64_t size_ = 0;
    mutable uint64_t windowOffset_ = 0;
    mutable size_t windowLength_ = 0;  // 0: no window yet
    mutable int ioError_ = 0;
    mutable std::array<uint8_t, kWindowSize> window_{};
};

enum class Status {
    kOk,
    kNotFound,   // well-formed, but the thing asked for is absent (no resource, not signed)
    kMalformed,  // not a PE image, or a structure is inconsistent or out of bounds
    kIoError,    // the file could not be read (ByteSource::ioError() has the errno)
};

// A range of the file.
struct Range {
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t end() const { return offset + size; }
};

struct Section {
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t pointerToRawData = 0;
    uint32_t sizeOfRawData = 0;
};

constexpr size_t kMaxSections = 96;  // the original loader's limit
constexpr uint32_t kOptionalMagicPe32 = 0x10B;
constexpr uint32_t kOptionalMagicPe32Plus = 0x20B;
constexpr uint32_t kResourceTypeVersion = 16;  // RT_VERSION
constexpr uint32_t kResourceNameVersion = 1;   // VS_VERSION_INFO

struct Image {
    uint64_t fileSize = 0;  // the source's size (kUnknownSize for a file of unknown size)
    bool pe32Plus = false;
    uint64_t peOffset = 0;  // e_lfanew: the "PE\0\0" signature
    uint32_t sizeOfHeaders = 0;
    uint64_t checksumOffset = 0;       // file offset of the 4-byte CheckSum field
    uint32_t numberOfRvaAndSizes = 0;  // as declared (entries used: at most 16)
    // Directory entries present in the optional header (index < NumberOfRvaAndSizes and the
    // 8 bytes inside SizeOfOptionalHeader).
    bool hasResourceEntry = false;
    uint32_t resourceRva = 0;
    uint32_t resourceSize = 0;
    bool hasSecurityEntry = false;
    uint64_t securityEntryOffset = 0;  // file offset of the 8-byte security directory entry
    // The certificate table as the security entry declares it ({VirtualAddress, Size}: a file
    // offset, not an RVA). Size 0 or offset 0: not signed. Not checked here; see
    // walkCertificateTable.
    Range certificateTable;
    size_t sectionCount = 0;
    std::array<Section, kMaxSections> sections{};

    bool signedDeclared() const {
        return certificateTable.offset != 0 && certificateTable.size != 0;
    }
    // Where the signed part of the file ends: the certificate table's offset when one is
    // declared, else the file's size.
    uint64_t signedEnd() const { return signedDeclared() ? certificateTable.offset : fileSize; }
};

// Parses the headers and the section table. kMalformed for anything that is not a well-formed
// PE32 or PE32+ image; kIoError when a read fails.
Status parseImage(const ByteSource& source, Image* image);

// Maps `size` bytes at `rva` to a range of the file: inside one section's raw data (bytes a
// section has only in memory are not in the file), inside the source. kNotFound: no section
// holds them.
Status mapRva(const Image& image, uint32_t rva, uint32_t size, Range* range);

// The data of the version resource (type 16, name 1): the language 0 (neutral) when present,
// else 0x0409, else the first. The range is the data entry's, at most 0xFFFF bytes (a version
// block's length is 16 bits), inside [SizeOfHeaders, signedEnd()). kNotFound: the image has no
// resource directory or no version resource; kMalformed: the tree or the entry is broken.
Status findVersionResource(const ByteSource& source, const Image& image, Range* range);

// One WIN_CERTIFICATE of the certificate table.
struct CertificateEntry {
    uint64_t offset = 0;  // file offset of the entry (its 8-byte header)
    uint32_t length = 0;  // dwLength: header and certificate, without the padding to 8
    uint16_t revision = 0;
    uint16_t type = 0;
    // The certificate's bytes behind the header.
    Range certificate() const { return {offset + 8, length - 8u}; }
};

constexpr size_t kMaxCertificateEntries = 8;
constexpr uint16_t kCertificateRevision2 = 0x0200;       // WIN_CERT_REVISION_2_0
constexpr uint16_t kCertificateTypePkcsSigned = 0x0002;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA

struct CertificateTable {
    size_t count = 0;
    std::array<CertificateEntry, kMaxCertificateEntries> entries{};
};

// Walks the certificate table that the security entry declares. The table must start at a
// multiple of 8 at or after SizeOfHeaders and end exactly at the end of the file; each entry
// has 8 <= dwLength <= the bytes left, the next starts at the entry's end rounded up to 8, and
// the last ends (with that rounding) exactly at the table's end. kNotFound: no table declared
// (no security entry, or offset or size 0). kMalformed: any rule broken, more than
// kMaxCertificateEntries entries, or a source of unknown size. Revision and type are reported,
// not judged.
Status walkCertificateTable(const ByteSource& source, const Image& image, CertificateTable* table);

// The three ranges of the file that an embedded signature's image hash covers, in order:
// [0, CheckSum), [CheckSum + 4, security entry), [security entry + 8, signedEnd()). Every byte
// before the certificate table is covered except the CheckSum field and the security entry.
// kMalformed when the image has no security entry or its size is unknown.
struct HashRanges {
    std::array<Range, 3> ranges;
};
Status imageHashRanges(const Image& image, HashRanges* ranges);

}  // namespace nvl::sys::pe
