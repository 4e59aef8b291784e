// The spyware engine's files: the pattern (tarskptn.da5) and its text source, the white and
// black list files, and backup sets; plus the lossless UTF-16 form of file names.
//
// One reader per file serves the engine (tarsk32.so), the tarsk-pattern command, the tests and
// the fuzz targets, so "the engine takes this file" means the same everywhere. Layouts are in
// README.md beside this file. Every reader bounds a field before it uses it, checks the whole
// file's checksum before it believes anything past the header, and either returns the complete
// contents or nothing with a reason: no caller ever holds half a pattern, list or set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/byte_text.h"

namespace tarsk32 {

// File names through UTF-16, losslessly (platform/byte_text.h).
using nvl::sys::bytesToWide;
using nvl::sys::wideToBytes;

// --- The pattern --------------------------------------------------------------------------
enum SignatureKind : uint8_t {
    kSigFileName = 1,   // scanner 10: a file's name, ASCII case ignored
    kSigContent = 2,    // scanner 10: bytes anywhere in a file
    kSigDirectory = 3,  // scanner 14: a directory's name, ASCII case ignored
    kSigRegistry = 4,   // scanner 11: key path (data) and value name (extra)
    kSigCookie = 5,     // scanner 12: a cookie domain, itself or any subdomain
    kSigAutostart = 6,  // scanner 13: text in the Exec= line of an autostart entry
    kSigHosts = 7,      // scanner 18: a host name mapped in a hosts file
};

struct Company {
    uint32_t id = 0;
    std::string name;
};
struct Threat {
    uint32_t id = 0;
    uint32_t company = 0;
    std::string name;
};
struct Location {
    uint32_t id = 0;
    std::string path;  // relative to a scan root, no "..", no leading '/'
};
struct Signature {
    uint8_t kind = 0;
    uint32_t threat = 0;
    std::string data;
    std::string extra;
};

struct Pattern {
    std::string version;  // "6.064": 1 to 15 printable ASCII characters
    uint32_t date = 0;    // yyyymmdd
    std::vector<Company> companies;
    std::vector<Threat> threats;
    std::vector<Location> locations;
    std::vector<Signature> signatures;
};

constexpr size_t kPatternHeaderSize = 64;
constexpr size_t kMaxPatternBytes = 64u << 20;
constexpr size_t kMaxTableRows = 100000;
constexpr size_t kMaxNameBytes = 255;
constexpr size_t kMaxPathBytes = 1024;
constexpr size_t kMinContentBytes = 4;
constexpr size_t kMaxContentBytes = 255;

// The text source ("version 6.064", "threat 7 1 Adware.Demo", ...; README.md). False with a
// message naming the line on the first fault; the result is then checked as the reader checks.
bool parsePatternSource(std::string_view text, Pattern* out, std::string* error);
// The file's bytes; the pattern must pass checkPattern.
std::string writePattern(const Pattern& pattern);
// Reads a whole file's bytes; false with a reason, `out` untouched, on any fault.
bool readPattern(std::string_view bytes, Pattern* out, std::string* error);
// Every rule of the format on contents (limits, names, references, unique ids).
bool checkPattern(const Pattern& pattern, std::string* error);
// "2026-12-01".
std::string formatDate(uint32_t yyyymmdd);

// --- White and black lists -----------------------------------------------------------------
struct ListEntry {
    uint32_t threat = 0;
    bool enabled = true;
    std::string location;  // file-name bytes; empty: everywhere
};
std::string writeList(const std::vector<ListEntry>& entries);
bool readList(std::string_view bytes, std::vector<ListEntry>* out, std::string* error);

// --- Backup sets ---------------------------------------------------------------------------
enum BackupKind : uint8_t {
    kBackupFile = 1,       // path, mode, bytes
    kBackupDirectory = 2,  // path, mode
    kBackupLine = 3,       // path, the line (extra), without its newline
    kBackupRegistry = 4,   // key path (path), value name (extra), type (mode), data bytes
};

struct BackupRecord {
    uint8_t kind = 0;
    uint32_t threat = 0;
    uint32_t scanner = 0;
    uint32_t mode = 0;
    std::string path;
    std::string extra;
    uint64_t dataOffset = 0;  // where the data starts in the set file (reader)
    uint64_t dataSize = 0;
};

struct BackupSet {
    std::string description;
    std::vector<BackupRecord> records;
};

constexpr size_t kBackupHeaderSize = 40;
constexpr size_t kMaxBackupRecords = 100000;

// Writes a set record by record into an open file; finish() fills in the header. Data comes
// from a descriptor (file records) or from memory.
class BackupWriter {
  public:
    explicit BackupWriter(int fd) : fd_(fd) {}
    ~BackupWriter();
    BackupWriter(const BackupWriter&) = delete;
    BackupWriter& operator=(const BackupWriter&) = delete;

    bool begin(std::string_view description);
    // Copies `size` bytes from `dataFd` (from its start); false if it holds fewer or more.
    bool add(const BackupRecord& record, int dataFd, uint64_t size);
    bool add(const BackupRecord& record, std::string_view data);
    bool finish();

  private:
    bool put(std::string_view bytes);
    int fd_;
    uint64_t offset_ = 0;
    uint32_t count_ = 0;
    void* hash_ = nullptr;  // XXH3 state of everything after the header
    std::vector<char> buffer_;
};

// Reads and checks a set from a descriptor (positional reads: the data stays in the file).
// Paths of file, directory and line records must be absolute, without "." or ".." components.
bool readBackupSet(int fd, BackupSet* out, std::string* error);

// True for an absolute path with no empty, "." or ".." component and no NUL.
bool isCleanAbsolutePath(std::string_view path);

}  // namespace tarsk32
