#include "platform/pe_image.h"

#include <errno.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace nvl::sys::pe {

namespace {

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Whether [offset, offset + count) lies inside [0, size).
bool inside(uint64_t offset, uint64_t count, uint64_t size) {
    return offset <= size && count <= size - offset;
}

// Reads through `source`; a short or out-of-range read is the image's fault, a failed read the
// file's.
Status readAt(const ByteSource& source, uint64_t offset, void* buffer, size_t count) {
    if (source.read(offset, buffer, count))
        return Status::kOk;
    return source.ioFailed() ? Status::kIoError : Status::kMalformed;
}

// Optional header layout (offsets from its start).
constexpr uint64_t kOptSizeOfHeaders = 60;
constexpr uint64_t kOptCheckSum = 64;
constexpr uint64_t kOptRvaCountPe32 = 92;
constexpr uint64_t kOptRvaCountPe32Plus = 108;
constexpr uint64_t kOptDirectoriesPe32 = 96;
constexpr uint64_t kOptDirectoriesPe32Plus = 112;
constexpr uint32_t kDirectoryResource = 2;
constexpr uint32_t kDirectorySecurity = 4;
constexpr uint32_t kMaxDirectories = 16;
constexpr uint64_t kSectionHeaderSize = 40;

constexpr uint32_t kResourceSubdirectory = 0x80000000u;
constexpr uint32_t kResourceNamed = 0x80000000u;
constexpr uint32_t kMaxVersionBlock = 0xFFFF;

// Fills as much of `buffer` as the file has at `offset`; the byte count, or -1 with `*error`.
// With `once`, one read that returns anything ends it: a regular file comes up short only at
// its end, so a window near the end costs one system call, not two.
ssize_t preadFully(int fd, uint64_t offset, uint8_t* buffer, size_t count, int* error,
                   bool once = false) {
    size_t done = 0;
    while (done < count) {
        if (offset + done > static_cast<uint64_t>(INT64_MAX)) {
            break;
        }
        ssize_t n = ::pread(fd, buffer + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = errno;
            return -1;
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
        if (once)
            break;
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

// --- ByteSource -----------------------------------------------------------------------------

ByteSource ByteSource::memory(const void* data, uint64_t size) {
    ByteSource source;
    source.data_ = static_cast<const uint8_t*>(data);
    source.size_ = size;
    return source;
}

ByteSource ByteSource::file(int fd, uint64_t size) {
    ByteSource source;
    source.fd_ = fd;
    source.size_ = size;
    return source;
}

bool ByteSource::fill(uint64_t offset) const {
    windowLength_ = 0;
    size_t want = kWindowSize;
    if (sizeKnown() && size_ - offset < want)
        want = static_cast<size_t>(size_ - offset);
    ssize_t got = preadFully(fd_, offset, window_.data(), want, &ioError_, true);
    if (got < 0)
        return false;
    windowOffset_ = offset;
    windowLength_ = static_cast<size_t>(got);
    return true;
}

bool ByteSource::read(uint64_t offset, void* buffer, size_t count) const {
    ioError_ = 0;
    if (sizeKnown() && !inside(offset, count, size_))
        return false;
    if (count == 0)
        return true;
    if (data_ != nullptr) {
        std::memcpy(buffer, data_ + offset, count);
        return true;
    }
    if (fd_ < 0)
        return false;
    auto inWindow = [&] {
        return windowLength_ != 0 && offset >= windowOffset_ &&
               inside(offset - windowOffset_, count, windowLength_);
    };
    if (!inWindow()) {
        if (count > kWindowSize) {
            ssize_t got = preadFully(fd_, offset, static_cast<uint8_t*>(buffer), count, &ioError_);
            return got >= 0 && static_cast<size_t>(got) == count;
        }
        if (!fill(offset) || !inWindow())
            return false;
    }
    std::memcpy(buffer, window_.data() + (offset - windowOffset_), count);
    return true;
}

// --- Headers --------------------------------------------------------------------------------

Status parseImage(const ByteSource& source, Image* image) {
    *image = Image{};
    image->fileSize = source.size();
    uint8_t dos[64];
    if (Status s = readAt(source, 0, dos, sizeof dos); s != Status::kOk)
        return s;
    if (dos[0] != 'M' || dos[1] != 'Z')
        return Status::kMalformed;
    uint64_t pe = le32(dos + 0x3C);

    // Signature and COFF file header.
    uint8_t coff[24];
    if (Status s = readAt(source, pe, coff, sizeof coff); s != Status::kOk)
        return s;
    if (std::memcmp(coff, "PE\0\0", 4) != 0)
        return Status::kMalformed;
    uint32_t sectionCount = le16(coff + 6);
    uint32_t optionalSize = le16(coff + 20);
    uint64_t opt = pe + 24;

    uint8_t magicBytes[2];
    if (Status s = readAt(source, opt, magicBytes, 2); s != Status::kOk)
        return s;
    uint32_t magic = le16(magicBytes);
    if (magic != kOptionalMagicPe32 && magic != kOptionalMagicPe32Plus)
        return Status::kMalformed;
    bool plus = magic == kOptionalMagicPe32Plus;
    uint64_t directories = plus ? kOptDirectoriesPe32Plus : kOptDirectoriesPe32;
    if (optionalSize < directories)
        return Status::kMalformed;

    // The fixed part and the directories it has room for, in one read.
    uint8_t header[kOptDirectoriesPe32Plus + 8 * kMaxDirectories];
    size_t headerLength = directories + 8 * kMaxDirectories;
    if (optionalSize < headerLength)
        headerLength = optionalSize;
    if (Status s = readAt(source, opt, header, headerLength); s != Status::kOk)
        return s;

    image->pe32Plus = plus;
    image->peOffset = pe;
    image->sizeOfHeaders = le32(header + kOptSizeOfHeaders);
    image->checksumOffset = opt + kOptCheckSum;
    image->numberOfRvaAndSizes = le32(header + (plus ? kOptRvaCountPe32Plus : kOptRvaCountPe32));
    if (source.sizeKnown() && image->sizeOfHeaders > source.size())
        return Status::kMalformed;

    auto directoryPresent = [&](uint32_t index) {
        return index < image->numberOfRvaAndSizes && directories + 8 * (index + 1) <= optionalSize;
    };
    if (directoryPresent(kDirectoryResource)) {
        const uint8_t* entry = header + directories + 8 * kDirectoryResource;
        image->hasResourceEntry = true;
        image->resourceRva = le32(entry);
        image->resourceSize = le32(entry + 4);
    }
    if (directoryPresent(kDirectorySecurity)) {
        const uint8_t* entry = header + directories + 8 * kDirectorySecurity;
        image->hasSecurityEntry = true;
        image->securityEntryOffset = opt + directories + 8 * kDirectorySecurity;
        image->certificateTable = {le32(entry), le32(entry + 4)};
    }

    // Section table: bounded by the fixed array before anything is read.
    if (sectionCount > kMaxSections)
        return Status::kMalformed;
    uint64_t table = opt + optionalSize;
    for (uint32_t i = 0; i < sectionCount; ++i) {
        uint8_t raw[kSectionHeaderSize];
        if (Status s = readAt(source, table + kSectionHeaderSize * i, raw, sizeof raw);
            s != Status::kOk) {
            return s;
        }
        Section& section = image->sections[i];
        section.virtualSize = le32(raw + 8);
        section.virtualAddress = le32(raw + 12);
        section.sizeOfRawData = le32(raw + 16);
        section.pointerToRawData = le32(raw + 20);
        if (section.sizeOfRawData != 0 && source.sizeKnown() &&
            !inside(section.pointerToRawData, section.sizeOfRawData, source.size())) {
            return Status::kMalformed;
        }
    }
    image->sectionCount = sectionCount;

    // No two sections may claim the same address.
    auto extent = [](const Section& s) {
        return uint64_t{s.virtualSize > s.sizeOfRawData ? s.virtualSize : s.sizeOfRawData};
    };
    for (size_t i = 0; i < image->sectionCount; ++i) {
        const Section& a = image->sections[i];
        if (extent(a) == 0)
            continue;
        for (size_t j = i + 1; j < image->sectionCount; ++j) {
            const Section& b = image->sections[j];
            if (extent(b) == 0)
                continue;
            uint64_t aEnd = a.virtualAddress + extent(a), bEnd = b.virtualAddress + extent(b);
            if (a.virtualAddress < bEnd && b.virtualAddress < aEnd)
                return Status::kMalformed;
        }
    }
    return Status::kOk;
}

Status mapRva(const Image& image, uint32_t rva, uint32_t size, Range* range) {
    for (size_t i = 0; i < image.sectionCount; ++i) {
        const Section& s = image.sections[i];
        uint64_t extent = s.virtualSize > s.sizeOfRawData ? s.virtualSize : s.sizeOfRawData;
        if (rva < s.virtualAddress || rva - s.virtualAddress >= extent)
            continue;
        // Sections do not overlap: this is the one section holding `rva`.
        uint64_t delta = rva - s.virtualAddress;
        if (!inside(delta, size, s.sizeOfRawData))
            return Status::kNotFound;
        range->offset = s.pointerToRawData + delta;
        range->size = size;
        return inside(range->offset, size, image.fileSize) ? Status::kOk : Status::kNotFound;
    }
    return Status::kNotFound;
}

// --- Resources ------------------------------------------------------------------------------

namespace {

// The resource tree, read relative to its root.
struct ResourceTree {
    const ByteSource& source;
    const Image& image;

    // Reads `count` bytes at `relative` from the root: inside the directory's declared size
    // and inside one section's raw data.
    Status read(uint64_t relative, void* buffer, uint32_t count) const {
        if (!inside(relative, count, image.resourceSize) ||
            image.resourceRva + relative > UINT32_MAX) {
            return Status::kMalformed;
        }
        Range range;
        if (mapRva(image, static_cast<uint32_t>(image.resourceRva + relative), count, &range) !=
            Status::kOk) {
            return Status::kMalformed;
        }
        return readAt(source, range.offset, buffer, count);
    }

    struct Entry {
        uint32_t name = 0;
        uint32_t target = 0;
    };

    // The number of entries of the directory at `relative` (named ones first).
    Status directory(uint64_t relative, uint32_t* named, uint32_t* total) const {
        uint8_t header[16];
        if (Status s = read(relative, header, sizeof header); s != Status::kOk)
            return s;
        *named = le16(header + 12);
        *total = *named + le16(header + 14);
        // All entries must be there before any is looked at.
        if (!inside(relative + 16, uint64_t{8} * *total, image.resourceSize))
            return Status::kMalformed;
        return Status::kOk;
    }

    Status entry(uint64_t directory, uint32_t index, Entry* out) const {
        uint8_t raw[8];
        if (Status s = read(directory + 16 + uint64_t{8} * index, raw, sizeof raw);
            s != Status::kOk) {
            return s;
        }
        out->name = le32(raw);
        out->target = le32(raw + 4);
        return Status::kOk;
    }

    // The subdirectory of the entry with integer id `id` in the directory at `relative`.
    Status findId(uint64_t relative, uint32_t id, uint64_t* subdirectory) const {
        uint32_t named = 0, total = 0;
        if (Status s = directory(relative, &named, &total); s != Status::kOk)
            return s;
        for (uint32_t i = named; i < total; ++i) {
            Entry e;
            if (Status s = entry(relative, i, &e); s != Status::kOk)
                return s;
            if ((e.name & kResourceNamed) != 0 || e.name != id)
                continue;
            if ((e.target & kResourceSubdirectory) == 0)
                return Status::kMalformed;
            *subdirectory = e.target & ~kResourceSubdirectory;
            return Status::kOk;
        }
        return Status::kNotFound;
    }
};

}  // namespace

Status findVersionResource(const ByteSource& source, const Image& image, Range* range) {
    if (!image.hasResourceEntry || image.resourceRva == 0 || image.resourceSize == 0)
        return Status::kNotFound;
    ResourceTree tree{source, image};

    uint64_t names = 0, languages = 0;
    if (Status s = tree.findId(0, kResourceTypeVersion, &names); s != Status::kOk)
        return s;
    if (Status s = tree.findId(names, kResourceNameVersion, &languages); s != Status::kOk)
        return s;

    // Language: neutral, else US English, else the first entry.
    uint32_t named = 0, total = 0;
    if (Status s = tree.directory(languages, &named, &total); s != Status::kOk)
        return s;
    if (total == 0)
        return Status::kNotFound;
    ResourceTree::Entry chosen;
    if (Status s = tree.entry(languages, 0, &chosen); s != Status::kOk)
        return s;
    bool neutral = false;
    for (uint32_t i = named; i < total && !neutral; ++i) {
        ResourceTree::Entry e;
        if (Status s = tree.entry(languages, i, &e); s != Status::kOk)
            return s;
        if (e.name == 0 || e.name == 0x0409) {
            chosen = e;
            neutral = e.name == 0;
        }
    }
    if ((chosen.target & kResourceSubdirectory) != 0)
        return Status::kMalformed;

    // IMAGE_RESOURCE_DATA_ENTRY: {RVA, Size, CodePage, Reserved}.
    uint8_t data[16];
    if (Status s = tree.read(chosen.target, data, sizeof data); s != Status::kOk)
        return s;
    uint32_t rva = le32(data);
    uint32_t size = le32(data + 4);
    if (size == 0)
        return Status::kMalformed;
    if (size > kMaxVersionBlock)
        size = kMaxVersionBlock;
    Range found;
    if (mapRva(image, rva, size, &found) != Status::kOk)
        return Status::kMalformed;
    // Covered by an embedded signature: after the headers, before the certificate table.
    if (found.offset < image.sizeOfHeaders || found.end() > image.signedEnd())
        return Status::kMalformed;
    *range = found;
    return Status::kOk;
}

// --- Certificate table and image hash -------------------------------------------------------

Status walkCertificateTable(const ByteSource& source, const Image& image, CertificateTable* table) {
    *table = CertificateTable{};
    if (!image.hasSecurityEntry || !image.signedDeclared())
        return Status::kNotFound;
    const Range& declared = image.certificateTable;
    if (!source.sizeKnown() || declared.offset % 8 != 0 || declared.offset < image.sizeOfHeaders ||
        declared.offset > image.fileSize || declared.size != image.fileSize - declared.offset) {
        return Status::kMalformed;
    }
    uint64_t position = declared.offset;
    uint64_t end = image.fileSize;
    while (position < end) {
        if (end - position < 8)
            return Status::kMalformed;
        uint8_t header[8];
        if (Status s = readAt(source, position, header, sizeof header); s != Status::kOk)
            return s;
        uint32_t length = le32(header);
        if (length < 8 || length > end - position)
            return Status::kMalformed;
        uint64_t next = position + ((uint64_t{length} + 7) & ~uint64_t{7});
        if (next > end || table->count == kMaxCertificateEntries)
            return Status::kMalformed;
        table->entries[table->count++] = {position, length, le16(header + 4), le16(header + 6)};
        position = next;
    }
    return Status::kOk;
}

Status imageHashRanges(const Image& image, HashRanges* ranges) {
    if (!image.hasSecurityEntry || image.fileSize == ByteSource::kUnknownSize)
        return Status::kMalformed;
    uint64_t checksum = image.checksumOffset;
    uint64_t security = image.securityEntryOffset;
    uint64_t end = image.signedEnd();
    if (end > image.fileSize || security < checksum + 4 || end < security + 8)
        return Status::kMalformed;
    ranges->ranges = {Range{0, checksum}, Range{checksum + 4, security - (checksum + 4)},
                      Range{security + 8, end - (security + 8)}};
    return Status::kOk;
}

}  // namespace nvl::sys::pe
