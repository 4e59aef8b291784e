// What the Spyware page reads and shows besides the facade's answers: the report nvl-spyscan
// leaves of its last scan, the backup sets in the engine's BackupAS directory, and file names
// and threat names turned into HTML and JSON that no byte can break.
//
// The report (nvl-spyscan --report FILE) is UTF-8 lines, written atomically at the end of a
// scan: a key, one blank (or tab), its value; an item's fields are separated by tabs:
//
//   nvl-spyscan-report 1
//   status done|stopped|failed        type full|quick        clean 0|1
//   found N    cleaned N    backup PATH-or-empty    started S    finished S   (Unix seconds)
//   item<TAB>SCANNER<TAB>STATE<TAB>THREAT<TAB>LOCATION     (STATE found|backed-up|cleaned|failed)
//
// The location is the last field and takes the rest of its line: the raw bytes of a file name
// (not always UTF-8), or "path:line" for a line of a file (the command writes the tabs and line
// ends of a location as blanks).
// parseSpywareReport takes the whole file or nothing: a header line missing, repeated or out of
// form, an item short of a field, a NUL byte or a last line without its line end refuses it (a
// file written atomically is never cut short, so damage shows). Lines of other keys are
// skipped, so a newer command's additions do not blind an older page.
//
// Display: names come as bytes (the report) or as the facade's UTF-16, in which a byte b of a
// name that is not UTF-8 travels as the lone surrogate U+DC00 + b. Both are shown the same way:
// ASCII as it is (HTML-escaped), other characters as numeric character references, so the
// markup is ASCII whatever the page's encoding; a byte that is not UTF-8 as a visible "\xNN", a
// control or direction-changing character as "U+NNNN" (a file name must not reorder the text
// around it), each in <span class="byte">. The JSON form is the same text without the markup.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace console {

struct SpywareFinding {
    enum class State { Found, BackedUp, Cleaned, Failed };
    uint32_t scanner = 0;  // 10 file, 11 registry, 12 cookie, 13 autostart, 14 directory, 18 hosts
    State state = State::Found;
    std::string threat;    // as written (UTF-8 from the pattern)
    std::string location;  // raw bytes, never empty
};

struct SpywareReport {
    enum class Status { Done, Stopped, Failed };
    Status status = Status::Done;
    bool quick = false;
    bool clean = false;
    uint64_t found = 0;
    uint64_t cleaned = 0;
    std::string backup;  // the backup set's path, "" when none was made
    int64_t started = 0;
    int64_t finished = 0;
    std::vector<SpywareFinding> findings;
};

// A report is read whole up to this size; a larger one is refused as damaged.
inline constexpr size_t kSpywareReportLimit = size_t{16} << 20;

// True and `*report` filled when `bytes` is a whole, well-formed report; false otherwise
// (`*report` is then unspecified).
bool parseSpywareReport(std::string_view bytes, SpywareReport* report);

enum class ReportRead { Missing, Unreadable, Read };
// Reads and parses the report at `path`: not followed through a symbolic link, a regular file
// of at most kSpywareReportLimit bytes.
ReportRead readSpywareReport(const std::string& path, SpywareReport* report);

// What identifies the file at `path` as it is now (device, inode, size, modification time in
// nanoseconds), "" when there is none. A report replaced by a newer one has another stamp.
std::string fileStamp(const std::string& path);

// HTML for a name given as bytes or as the facade's UTF-16 (see above). ASCII only.
std::string htmlFromBytes(std::string_view bytes);
std::string htmlFromUtf16(std::u16string_view text);
// A JSON string literal (quotes included) with the text htmlFromUtf16 shows. ASCII only.
std::string jsonFromUtf16(std::u16string_view text);

// A file name's bytes as the facade takes them (valid UTF-8 as UTF-16, every other byte b as
// U+DC00 + b), and back; bytesFromUtf16(utf16FromBytes(x)) == x for every x without NUL.
std::u16string utf16FromBytes(std::string_view bytes);
std::string bytesFromUtf16(std::u16string_view text);

// True when `name` is a backup set's file name the page acts on: [A-Za-z0-9._-]+ ending in
// ".tbk", not starting with '.', at most 255 bytes. Nothing else ever reaches a path.
bool isBackupSetName(std::string_view name);

struct BackupSetFile {
    std::string name;
    int64_t modified = 0;  // seconds
    long modifiedNanoseconds = 0;
};
// The backup sets in `directory`: regular files (not symbolic links) whose names
// isBackupSetName takes, newest first (by modification time, then name). `limit` caps the
// list; `*more` tells whether more were there.
std::vector<BackupSetFile> listBackupSets(const std::string& directory, size_t limit, bool* more);
// True when `name` is a set isBackupSetName takes that lies in `directory` as a regular file.
bool backupSetExists(const std::string& directory, std::string_view name);

// Whether what a backup record names is there now. Kinds 1 and 2 (a file, a directory): the
// path exists (its last component not followed). Kind 3 (a line of a file, "path:line" with
// the path's own colons possible): some file the location starts with holds that line (files
// of at most 4 MiB are read, as the engine reads them). A registry value (kind 4) and other
// kinds are not looked at here.
enum class Presence { Present, Absent, Unknown };
Presence recordPresence(uint32_t kind, std::string_view location);

}  // namespace console
