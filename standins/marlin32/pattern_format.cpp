// The pattern file's reader and writer (see pattern_format.h and README.md).
#include "pattern_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

// XXH3 from the system's libxxhash, through its run-time dispatch: the widest vector unit the
// processor has (AVX2, AVX-512) hashes the body, three to four times the speed of the SSE2 code
// a plain build would compile in.
#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>
#if defined(__x86_64__) || defined(__i386__)
#include <xxh_x86dispatch.h>
#endif

namespace marlin32 {

namespace {

// Bodies stream through a block of this size: large enough that a system call is a small part
// of its cost, small enough to stay in the processor's cache between the read and the hash.
constexpr size_t kBlockSize = 256 * 1024;

struct StatusInfo {
    int32_t status;
    const char* name;
    const char* text;
};

constexpr StatusInfo kStatuses[] = {
    {kOk, "MR_OK", "accepted"},
    {kBadArgument, "MR_E_BAD_ARGUMENT", "an argument the call does not take"},
    {kBadHandle, "MR_E_BAD_HANDLE", "not an open engine handle"},
    {kIoError, "MR_E_IO", "the file cannot be opened or read"},
    {kTruncated, "MR_E_TRUNCATED",
     "the file is shorter than its declared length (still being copied in, or cut)"},
    {kExtended, "MR_E_EXTENDED", "the file is longer than its declared length"},
    {kBadMagic, "MR_E_BAD_MAGIC", "not a pattern file (bad magic)"},
    {kBadVersion, "MR_E_BAD_VERSION", "a pattern format version this engine does not read"},
    {kTablesOutOfBounds, "MR_E_TABLES_OUT_OF_BOUNDS",
     "a header table lies outside the header or the file"},
    {kCountsOverLimits, "MR_E_COUNTS_OVER_LIMITS",
     "more major types or a longer extension list than the engine allows"},
    {kBadName, "MR_E_BAD_NAME",
     "a major type's name is empty, longer than 16 bytes or holds control bytes"},
    {kBadExtList, "MR_E_BAD_EXT_LIST", "the extension list is not in the form {*;EXE;COM}"},
    {kBadHeaderChecksum, "MR_E_BAD_HEADER_CHECKSUM", "the header checksum does not match"},
    {kBadBodyChecksum, "MR_E_BAD_BODY_CHECKSUM", "the body checksum does not match"},
    {kNoPattern, "MR_E_NO_PATTERN", "the handle holds no pattern"},
    {kUnsupported, "MR_E_UNSUPPORTED", "a configuration item or property the engine does not know"},
    {kNoResources, "MR_E_NO_RESOURCES", "out of memory or of engine handles"},
    {kNotFound, "MR_E_NOT_FOUND", "the file does not exist"},
};

const StatusInfo* findStatus(int32_t status) {
    for (const StatusInfo& info : kStatuses) {
        if (info.status == status)
            return &info;
    }
    return nullptr;
}

uint16_t get16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t get32(const unsigned char* p) {
    return static_cast<uint32_t>(get16(p)) | (static_cast<uint32_t>(get16(p + 2)) << 16);
}
uint64_t get64(const unsigned char* p) {
    return static_cast<uint64_t>(get32(p)) | (static_cast<uint64_t>(get32(p + 4)) << 32);
}
void put16(char* p, uint16_t v) {
    p[0] = static_cast<char>(v & 0xff);
    p[1] = static_cast<char>(v >> 8);
}
void put32(char* p, uint32_t v) {
    put16(p, static_cast<uint16_t>(v & 0xffff));
    put16(p + 2, static_cast<uint16_t>(v >> 16));
}
void put64(char* p, uint64_t v) {
    put32(p, static_cast<uint32_t>(v & 0xffffffffu));
    put32(p + 4, static_cast<uint32_t>(v >> 32));
}

bool isPrintable(unsigned char c) {
    return c >= 0x20 && c <= 0x7e;
}

bool isValidName(std::string_view name) {
    if (name.empty() || name.size() > kNameBytes)
        return false;
    for (char c : name) {
        if (!isPrintable(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

// The header checksum: XXH3-64 of the header with the checksum field taken as zeros.
uint64_t headerChecksum(const char* header, size_t length) {
    XXH3_state_t state;
    XXH3_64bits_reset(&state);
    static constexpr char kZeros[8] = {};
    XXH3_64bits_update(&state, header, offset::kHeaderChecksum);
    XXH3_64bits_update(&state, kZeros, sizeof kZeros);
    XXH3_64bits_update(&state, header + offset::kHeaderChecksum + 8,
                       length - offset::kHeaderChecksum - 8);
    return XXH3_64bits_digest(&state);
}

// Reads `count` bytes at `offset` unless the source ends first; the byte count read or a
// negative status.
int64_t readFully(Source& source, uint64_t at, char* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        int64_t n = source.readAt(at + done, buffer + done, count - done);
        if (n < 0)
            return n;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

uint64_t splitmix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// What a header read takes first: the fixed part, and the tables of all but the largest
// patterns.
constexpr size_t kFirstRead = 4096;
static_assert(kFirstRead >= kFixedHeaderSize);

// Opens a regular file; its size into *size.
int32_t openForReading(const char* path, int* fd, int64_t* size) {
    if (path == nullptr || *path == '\0')
        return kBadArgument;
    *fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (*fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? kNotFound : kIoError;
    struct stat st {};
    if (::fstat(*fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(*fd);
        return kIoError;
    }
    *size = st.st_size;
    return kOk;
}

bool writeAllTo(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

const char* statusName(int32_t status) {
    const StatusInfo* info = findStatus(status);
    return info != nullptr ? info->name : "MR_E_UNKNOWN";
}

const char* statusText(int32_t status) {
    const StatusInfo* info = findStatus(status);
    return info != nullptr ? info->text : "an unknown status";
}

bool isExtListForm(std::string_view text) {
    if (text.size() < 2 || text.front() != '{' || text.back() != '}')
        return false;
    std::string_view items = text.substr(1, text.size() - 2);
    if (items.empty())
        return true;
    size_t itemLength = 0;
    for (char c : items) {
        if (c == ';') {
            if (itemLength == 0)
                return false;
            itemLength = 0;
            continue;
        }
        auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u > 0x7e || c == '{' || c == '}')
            return false;
        ++itemLength;
    }
    return itemLength > 0;
}

int32_t checkContent(const PatternContent& content) {
    if (content.types.size() > kMaxTypes || content.extList.size() > kMaxExtListBytes)
        return kCountsOverLimits;
    for (const MajorType& type : content.types) {
        if (!isValidName(type.name))
            return kBadName;
    }
    return isExtListForm(content.extList) ? kOk : kBadExtList;
}

// --- Sources ------------------------------------------------------------------------------------

int64_t MemorySource::readAt(uint64_t at, void* buffer, size_t count) {
    if (at >= bytes_.size())
        return 0;
    size_t n = std::min<uint64_t>(count, bytes_.size() - at);
    std::memcpy(buffer, bytes_.data() + at, n);
    return static_cast<int64_t>(n);
}

int64_t FdSource::size() {
    if (knownSize_ >= 0)
        return knownSize_;
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        return kIoError;
    return st.st_size;
}

int64_t FdSource::readAt(uint64_t at, void* buffer, size_t count) {
    if (at > static_cast<uint64_t>(INT64_MAX))
        return 0;
    for (;;) {
        ssize_t n = ::pread(fd_, buffer, count, static_cast<off_t>(at));
        if (n >= 0)
            return n;
        if (errno != EINTR)
            return kIoError;
    }
}

// --- Reading
// --------------------------------------------------------------------------------------

int32_t readHeader(Source& source, PatternInfo* info) {
    int64_t size = source.size();
    if (size < 0)
        return static_cast<int32_t>(size);
    auto fileSize = static_cast<uint64_t>(size);

    // The first read takes the fixed part and, for most patterns, the whole header: one read
    // of the file for a version query.
    std::string header(kFirstRead, '\0');
    int64_t got = readFully(source, 0, header.data(),
                            static_cast<size_t>(std::min<uint64_t>(
                                std::max<uint64_t>(fileSize, kFixedHeaderSize), kFirstRead)));
    if (got < 0)
        return static_cast<int32_t>(got);
    const char* fixed = header.data();
    size_t magicSeen = std::min<size_t>(static_cast<size_t>(got), sizeof kMagic);
    if (std::memcmp(fixed, kMagic, magicSeen) != 0)
        return kBadMagic;
    if (static_cast<size_t>(got) < kFixedHeaderSize)
        return kTruncated;

    const auto* f = reinterpret_cast<const unsigned char*>(fixed);
    if (get16(f + offset::kFormatVersion) != kFormatVersion)
        return kBadVersion;
    uint32_t typeCount = get16(f + offset::kTypeCount);
    uint32_t extListLength = get32(f + offset::kExtListLength);
    if (typeCount > kMaxTypes || extListLength > kMaxExtListBytes)
        return kCountsOverLimits;
    uint64_t declaredLength = get64(f + offset::kDeclaredLength);
    uint32_t headerLength = get32(f + offset::kHeaderLength);
    uint32_t typeTable = get32(f + offset::kTypeTable);
    uint32_t extList = get32(f + offset::kExtList);
    if (typeTable != kFixedHeaderSize || extList != typeTable + typeCount * kTypeRecordSize ||
        headerLength != extList + extListLength || declaredLength < headerLength) {
        return kTablesOutOfBounds;
    }
    if (fileSize < headerLength)
        return kTruncated;

    auto have = static_cast<size_t>(std::min<int64_t>(got, headerLength));
    header.resize(headerLength);
    fixed = header.data();
    f = reinterpret_cast<const unsigned char*>(fixed);
    if (have < headerLength) {
        got = readFully(source, have, header.data() + have, headerLength - have);
        if (got < 0)
            return static_cast<int32_t>(got);
        if (static_cast<size_t>(got) < headerLength - have)
            return kTruncated;
    }
    if (headerChecksum(header.data(), headerLength) != get64(f + offset::kHeaderChecksum))
        return kBadHeaderChecksum;
    if (fileSize < declaredLength)
        return kTruncated;
    if (fileSize > declaredLength)
        return kExtended;

    PatternInfo result;
    result.declaredLength = declaredLength;
    result.headerLength = headerLength;
    result.bodyChecksum = get64(f + offset::kBodyChecksum);
    result.content.internalVersion = get32(f + offset::kInternalVersion);
    result.content.types.reserve(typeCount);
    for (uint32_t i = 0; i < typeCount; ++i) {
        const char* record = header.data() + typeTable + i * kTypeRecordSize;
        const auto* r = reinterpret_cast<const unsigned char*>(record);
        const char* name = record + 4;
        size_t nameLength = strnlen(name, kNameBytes);
        for (size_t k = nameLength; k < kNameBytes; ++k) {
            if (name[k] != '\0')
                return kBadName;  // bytes after the name's end: a control byte inside it
        }
        MajorType type{get16(r), get16(r + 2), std::string(name, nameLength)};
        if (!isValidName(type.name))
            return kBadName;
        result.content.types.push_back(std::move(type));
    }
    result.content.extList.assign(header.data() + extList, extListLength);
    if (!isExtListForm(result.content.extList))
        return kBadExtList;
    *info = std::move(result);
    return kOk;
}

int32_t readPattern(Source& source, PatternInfo* info) {
    PatternInfo header;
    int32_t status = readHeader(source, &header);
    if (status != kOk)
        return status;

    std::unique_ptr<char[]> block(new (std::nothrow) char[kBlockSize]);
    if (!block)
        return kNoResources;
    XXH3_state_t state;
    XXH3_64bits_reset(&state);
    uint64_t at = header.headerLength;
    while (at < header.declaredLength) {
        size_t want =
            static_cast<size_t>(std::min<uint64_t>(kBlockSize, header.declaredLength - at));
        int64_t n = source.readAt(at, block.get(), want);
        if (n < 0)
            return static_cast<int32_t>(n);
        if (n == 0)
            return kTruncated;  // cut while it was read
        XXH3_64bits_update(&state, block.get(), static_cast<size_t>(n));
        at += static_cast<uint64_t>(n);
    }
    char extra;
    int64_t n = source.readAt(at, &extra, 1);
    if (n < 0)
        return static_cast<int32_t>(n);
    if (n > 0)
        return kExtended;  // grew while it was read
    if (XXH3_64bits_digest(&state) != header.bodyChecksum)
        return kBadBodyChecksum;
    *info = std::move(header);
    return kOk;
}

int32_t readHeaderFile(const char* path, PatternInfo* info) {
    int fd = -1;
    int64_t size = 0;
    int32_t status = openForReading(path, &fd, &size);
    if (status != kOk)
        return status;
    FdSource source(fd, size);
    status = readHeader(source, info);
    ::close(fd);
    return status;
}

int32_t readPatternFile(const char* path, PatternInfo* info) {
    int fd = -1;
    int64_t size = 0;
    int32_t status = openForReading(path, &fd, &size);
    if (status != kOk)
        return status;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    FdSource source(fd);
    status = readPattern(source, info);
    ::close(fd);
    return status;
}

// --- Writing
// --------------------------------------------------------------------------------------

std::string encodeHeader(const PatternContent& content, uint64_t bodyLength,
                         uint64_t bodyChecksumValue) {
    size_t typeTable = kFixedHeaderSize;
    size_t extList = typeTable + content.types.size() * kTypeRecordSize;
    size_t headerLength = extList + content.extList.size();
    std::string header(headerLength, '\0');
    char* h = header.data();
    std::memcpy(h + offset::kMagic, kMagic, sizeof kMagic);
    put16(h + offset::kFormatVersion, kFormatVersion);
    put16(h + offset::kTypeCount, static_cast<uint16_t>(content.types.size()));
    put32(h + offset::kInternalVersion, content.internalVersion);
    put64(h + offset::kDeclaredLength, headerLength + bodyLength);
    put32(h + offset::kHeaderLength, static_cast<uint32_t>(headerLength));
    put32(h + offset::kTypeTable, static_cast<uint32_t>(typeTable));
    put32(h + offset::kExtList, static_cast<uint32_t>(extList));
    put32(h + offset::kExtListLength, static_cast<uint32_t>(content.extList.size()));
    put64(h + offset::kBodyChecksum, bodyChecksumValue);
    for (size_t i = 0; i < content.types.size(); ++i) {
        char* record = h + typeTable + i * kTypeRecordSize;
        const MajorType& type = content.types[i];
        put16(record, type.firstAction);
        put16(record + 2, type.secondAction);
        std::memcpy(record + 4, type.name.data(), std::min(type.name.size(), kNameBytes));
    }
    std::memcpy(h + extList, content.extList.data(), content.extList.size());
    put64(h + offset::kHeaderChecksum, headerChecksum(h, headerLength));
    return header;
}

uint64_t bodyChecksum(std::string_view body) {
    return XXH3_64bits(body.data(), body.size());
}

std::string encodePattern(const PatternContent& content, std::string_view body) {
    std::string file = encodeHeader(content, body.size(), bodyChecksum(body));
    file.append(body);
    return file;
}

void sealHeader(std::string* file) {
    if (file->size() < kFixedHeaderSize)
        return;
    uint32_t headerLength =
        get32(reinterpret_cast<const unsigned char*>(file->data()) + offset::kHeaderLength);
    if (headerLength < kFixedHeaderSize || headerLength > file->size())
        return;
    put64(file->data() + offset::kHeaderChecksum, headerChecksum(file->data(), headerLength));
}

void generateBody(uint64_t seed, uint64_t at, char* buffer, size_t count) {
    uint64_t word = at / 8;
    size_t done = 0;
    while (done + 8 <= count) {
        char bytes[8];
        put64(bytes, splitmix(seed ^ splitmix(word++)));
        std::memcpy(buffer + done, bytes, 8);
        done += 8;
    }
    if (done < count) {
        char bytes[8];
        put64(bytes, splitmix(seed ^ splitmix(word)));
        std::memcpy(buffer + done, bytes, count - done);
    }
}

int32_t writePattern(int fd, const PatternContent& content, uint64_t bodyLength, uint64_t seed) {
    std::unique_ptr<char[]> block(new (std::nothrow) char[kBlockSize]);
    if (!block)
        return kNoResources;
    // The checksum goes in the header, which goes first: the body is generated twice.
    XXH3_state_t state;
    XXH3_64bits_reset(&state);
    for (uint64_t at = 0; at < bodyLength; at += kBlockSize) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(kBlockSize, bodyLength - at));
        generateBody(seed, at, block.get(), n);
        XXH3_64bits_update(&state, block.get(), n);
    }
    std::string header = encodeHeader(content, bodyLength, XXH3_64bits_digest(&state));
    if (!writeAllTo(fd, header.data(), header.size()))
        return kIoError;
    for (uint64_t at = 0; at < bodyLength; at += kBlockSize) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(kBlockSize, bodyLength - at));
        generateBody(seed, at, block.get(), n);
        if (!writeAllTo(fd, block.get(), n))
            return kIoError;
    }
    return kOk;
}

int32_t writePatternFileAtomically(const std::string& path, const PatternContent& content,
                                   uint64_t bodyLength, uint64_t seed, std::string* error) {
    int32_t status = checkContent(content);
    if (status != kOk) {
        *error = statusText(status);
        return status;
    }
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) {
        *error = "no file name";
        return kBadArgument;
    }
    std::string temporary = directory + "." + name + ".XXXXXX";
    int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot create a file in the directory: " + std::string(std::strerror(errno));
        return kIoError;
    }
    const char* failed = nullptr;
    if (writePattern(fd, content, bodyLength, seed) != kOk)
        failed = "write";
    else if (::fchmod(fd, 0644) != 0)
        failed = "chmod";
    else if (::fsync(fd) != 0)
        failed = "fsync";
    int savedErrno = errno;
    if (::close(fd) != 0 && failed == nullptr) {
        failed = "close";
        savedErrno = errno;
    }
    if (failed == nullptr && ::rename(temporary.c_str(), path.c_str()) != 0) {
        failed = "rename";
        savedErrno = errno;
    }
    if (failed != nullptr) {
        ::unlink(temporary.c_str());
        *error = std::string(failed) + " failed: " + std::strerror(savedErrno);
        return kIoError;
    }
    return kOk;
}

}  // namespace marlin32
