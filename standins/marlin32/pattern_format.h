// The scan engine's pattern file: its layout, a strict reader and a writer.
//
// One reader serves the engine (MARLIN32.so), the nvl-pattern tool, the tests and the fuzz target,
// so "the engine takes this file" means the same everywhere. The layout is in README.md beside
// this file; in short, little-endian:
//
//   fixed header (56 bytes)   magic, format version, counts, internal version, declared length,
//                             header length, table offsets, body checksum, header checksum
//   major-type table          20 bytes per type: two 16-bit action codes, 16-byte name
//   extension list            "{*;EXE;COM;DLL}", without a NUL
//   body                      up to the declared length; XXH3-64 in the fixed header
//
// The layout is canonical: the tables follow the fixed header one after the other and the body
// follows them, so every file the reader accepts is exactly what the writer makes of the same
// contents. The header (fixed part and tables, at most about 24 KiB) is all a reader keeps in
// memory; the body is hashed as it streams past in 256 KiB blocks.
//
// Reading never trusts a field before it has been bounded: counts are checked against their
// limits and offsets against the canonical layout before anything is read by them, and the
// header checksum before any field is believed about the rest of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace marlin32 {

// Results of the engine's entry points and of the reader: 0 or a negative code, each refusal
// with its own. The texts are statusName() and statusText().
enum Status : int32_t {
    kOk = 0,
    kBadArgument = -1,        // a null pointer, a flag, a count or a name the call does not take
    kBadHandle = -2,          // not a handle of this engine, or already released
    kIoError = -3,            // the file cannot be opened or read
    kTruncated = -4,          // shorter than its declared length (still being copied in?)
    kExtended = -5,           // longer than its declared length
    kBadMagic = -6,           // not a pattern file
    kBadVersion = -7,         // a format version this engine does not read
    kTablesOutOfBounds = -8,  // a table not where the layout puts it, or past the header
    kCountsOverLimits = -9,   // more major types or a longer extension list than allowed
    kBadName = -10,           // a major-type name empty, over 16 bytes or with control bytes
    kBadExtList = -11,        // an extension list not in the form {*;EXE;COM}
    kBadHeaderChecksum = -12,
    kBadBodyChecksum = -13,
    kNoPattern = -14,    // the handle holds no pattern (none read, or the last read failed)
    kUnsupported = -15,  // a configuration item, value or property the engine does not know
    kNoResources = -16,  // out of memory, or too many handles open
    kNotFound = -17,     // the file does not exist
};

const char* statusName(int32_t status);  // "MR_E_TRUNCATED"; "MR_OK"; "MR_E_UNKNOWN"
const char* statusText(int32_t status);  // one line, in English

// --- Layout ------------------------------------------------------------------------------------

inline constexpr char kMagic[8] = {'M', 'R', 'L', 'N', 'P', 'T', 'N', '\x1a'};
inline constexpr uint16_t kFormatVersion = 1;
inline constexpr size_t kFixedHeaderSize = 56;
inline constexpr size_t kTypeRecordSize = 20;
inline constexpr size_t kNameBytes = 16;
inline constexpr size_t kMaxTypes = 1024;
inline constexpr size_t kMaxExtListBytes = 4096;
inline constexpr size_t kMaxHeaderSize =
    kFixedHeaderSize + kMaxTypes * kTypeRecordSize + kMaxExtListBytes;

// Byte offsets of the fixed header's fields.
namespace offset {
inline constexpr size_t kMagic = 0;             // 8 bytes
inline constexpr size_t kFormatVersion = 8;     // u16
inline constexpr size_t kTypeCount = 10;        // u16
inline constexpr size_t kInternalVersion = 12;  // u32
inline constexpr size_t kDeclaredLength = 16;   // u64: the whole file
inline constexpr size_t kHeaderLength = 24;     // u32: fixed header and tables
inline constexpr size_t kTypeTable = 28;        // u32
inline constexpr size_t kExtList = 32;          // u32
inline constexpr size_t kExtListLength = 36;    // u32
inline constexpr size_t kBodyChecksum = 40;     // u64
inline constexpr size_t kHeaderChecksum = 48;   // u64
}  // namespace offset

struct MajorType {
    uint16_t firstAction = 0;
    uint16_t secondAction = 0;
    std::string name;  // 1 to 16 bytes of printable ASCII
    bool operator==(const MajorType&) const = default;
};

// What a pattern holds besides its body.
struct PatternContent {
    uint32_t internalVersion = 0;
    std::vector<MajorType> types;
    std::string extList;  // "{*;EXE;COM;DLL}"
    bool operator==(const PatternContent&) const = default;
};

// A pattern as the reader found it.
struct PatternInfo {
    PatternContent content;
    uint64_t declaredLength = 0;
    uint32_t headerLength = 0;
    uint64_t bodyChecksum = 0;
};

// kOk, or why a file could not hold `content`: kCountsOverLimits, kBadName, kBadExtList.
int32_t checkContent(const PatternContent& content);
// Whether `text` is an extension list in the engine's form: "{" items separated by ";" "}",
// each item one or more printable ASCII characters other than space, ';', '{' and '}'; "{}"
// is the empty list.
bool isExtListForm(std::string_view text);

// --- Reading -----------------------------------------------------------------------------------

// Where the reader's bytes come from.
class Source {
  public:
    virtual ~Source() = default;
    // The current size, or a negative status.
    virtual int64_t size() = 0;
    // Up to `count` bytes at `offset` into `buffer`; the byte count read (0 at the end), or a
    // negative status.
    virtual int64_t readAt(uint64_t offset, void* buffer, size_t count) = 0;
};

class MemorySource : public Source {
  public:
    explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
    int64_t size() override { return static_cast<int64_t>(bytes_.size()); }
    int64_t readAt(uint64_t offset, void* buffer, size_t count) override;

  private:
    std::string_view bytes_;
};

// A file open for reading; the descriptor stays the caller's. A caller that has just examined
// the file may give its size, which then stands for the current one (no second fstat).
class FdSource : public Source {
  public:
    explicit FdSource(int fd, int64_t knownSize = -1) : fd_(fd), knownSize_(knownSize) {}
    int64_t size() override;
    int64_t readAt(uint64_t offset, void* buffer, size_t count) override;

  private:
    int fd_;
    int64_t knownSize_;
};

// The header alone, checked entirely (magic, version, limits, layout, header checksum, names,
// extension list) against the source's size; the body is not read.
int32_t readHeader(Source& source, PatternInfo* info);
// The header as above and the body's checksum; the source must end exactly at the declared
// length also after the body was read.
int32_t readPattern(Source& source, PatternInfo* info);

// The same on a file by path: kNotFound, kIoError, or the reader's result.
int32_t readHeaderFile(const char* path, PatternInfo* info);
int32_t readPatternFile(const char* path, PatternInfo* info);

// --- Writing -----------------------------------------------------------------------------------

// The header bytes of a pattern holding `content` and a body of `bodyLength` bytes with XXH3-64
// `bodyChecksum`. `content` must pass checkContent.
std::string encodeHeader(const PatternContent& content, uint64_t bodyLength, uint64_t bodyChecksum);
// A whole pattern in memory.
std::string encodePattern(const PatternContent& content, std::string_view body);

uint64_t bodyChecksum(std::string_view body);

// Recomputes the header checksum of `file` over the header length its own field gives (for
// tests that change a field and want the change seen past the checksum). Does nothing to a
// text too short for its header.
void sealHeader(std::string* file);

// The deterministic body of `length` bytes that the generated patterns carry, drawn from
// `seed`; fills `buffer` with the bytes at `offset` (a multiple of 8).
void generateBody(uint64_t seed, uint64_t offset, char* buffer, size_t count);

// Writes a pattern with a generated body of `bodyLength` bytes to `fd`, in order from its
// start (so a pipe or a slow copy sees the header first). kOk or kIoError (errno kept).
int32_t writePattern(int fd, const PatternContent& content, uint64_t bodyLength, uint64_t seed);

// Makes `path` a pattern atomically: a temporary file ".<name>.XXXXXX" in the same directory
// (a name no pattern search matches), written, flushed and renamed over `path`. kOk, the result
// of checkContent when `content` fails it, or kIoError; `*error` says what failed.
int32_t writePatternFileAtomically(const std::string& path, const PatternContent& content,
                                   uint64_t bodyLength, uint64_t seed, std::string* error);

}  // namespace marlin32
