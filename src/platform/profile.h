// Profile (INI) files with the original platform's behaviour.
//
// nvlscan.ini and the other INI files of the server are shared with programs that were written
// against the original platform's profile functions, so the rules below are theirs. Where a rule
// comes from the platform's documentation of GetPrivateProfileStringA, GetPrivateProfileIntA,
// GetProfileStringA and WritePrivateProfileStringA it is marked [doc]; the rest is our own
// decision where that documentation is silent, marked [ours].
//
// File layout
//   - A section starts with a line "[name]"; "key=value" lines belong to the last section
//     above them. [doc]
//   - Leading blanks of a line are skipped. A header's name runs to the first ']' (or to the
//     end of the line when there is none); a key's name runs to the first '='. Names and values
//     are trimmed of blanks (space, tab, CR, VT, FF). [ours; the documented layout has no blanks]
//   - Lines starting with ';' are comments. Lines without '=' and lines whose key name is empty
//     are not keys. Neither is ever listed or matched; a write keeps them byte for byte. [ours]
//   - Lines end at LF; a CR before it belongs to the line end. Both CR LF and LF files are read,
//     and a write keeps the style of the file (taken from its first line end); a new file gets
//     CR LF, the original platform's line end, so files copied between systems stay alike. [ours]
//   - A UTF-8 byte-order mark is skipped when reading and kept when writing. A UTF-16 file
//     (byte-order mark FF FE or FE FF) is not a file of this system: reads see no keys and a
//     write refuses it (kErrInvalidData) rather than damage it. [ours]
//   - Any bytes are accepted: NUL bytes are ordinary characters of a line (a value is cut at its
//     first NUL, as a C string would be; a name holding NUL is never listed); there is no line
//     length limit; garbage lines are skipped. [ours]
//
// Reading
//   - Section and key names compare without regard to case (ASCII letters). [doc]
//   - A value enclosed in single or double quotation marks loses the marks: one pair, the same
//     mark at both ends, after trimming; blanks inside the marks are kept. [doc, GetProfileString]
//   - When a section or key occurs more than once, the sections of one name read as one section
//     in file order, and the first occurrence of a key wins. [ours]
//   - A null default is the empty text; trailing blanks of the default are removed. [doc]
//   - Returned count: characters copied without the terminator; a value cut to fit returns
//     size - 1; size 0 copies nothing and returns 0. [doc]
//   - A null section lists the section names, a null key the key names of the section: each
//     name ends with NUL and the list with one more NUL. A list cut to fit ends with two NULs
//     and returns size - 2 (size 1 gets one NUL and returns 0). Names are listed once each
//     (first spelling), in file order; a missing section is an empty list. [doc; ours for the
//     duplicates, the missing section and size 1]
//   - A missing file reads as empty, with lastError() kErrFileNotFound. [doc]
//   - GetPrivateProfileInt: the key's text as a decimal number with an optional sign, up to the
//     first non-digit; no digits give 0; a missing key gives the default. [doc; ours for the
//     exact number syntax]
//
// Writing
//   - A null value deletes the key, a null key deletes the section with all its keys. Every
//     occurrence goes, so a read afterwards finds nothing. Deleting what is not there succeeds
//     and leaves the file as it is. [doc; ours for duplicates]
//   - The first write creates the file; its directory must exist. [doc]
//   - A key that exists is changed in place: the line keeps its name, its spacing around '='
//     and its line end, and only the value is replaced. A new key is written "key=value" after
//     the last non-blank line of the first section of that name; a new section is added at the
//     end of the file. Every other line is kept byte for byte. [doc for where; ours for how]
//   - The value is written as given. A section holding ']' or a line break, a key holding '='
//     or a line break or starting with '[' or ';', and a value holding a line break would change
//     the file's structure (a value could smuggle in keys of its own): such writes are refused
//     with kErrInvalidParameter. [ours]
//
// Paths
//   - A name without a directory lives in systemDirectory(), the stand-in for the Windows
//     directory. [doc] A relative path with a directory part is relative to the current
//     directory. Backslashes are taken as directory separators, since callers carry paths of the
//     original platform. Components are matched without regard to case (resolvePath). [ours]
//   - Paths come in the ANSI code page, as the original's A functions take them, and are
//     converted to UTF-8 to reach the file system. [ours]
//
// Concurrency
//   A write takes the file's write lock (FileWriteLock), reads the file under it, changes it and
//   replaces it atomically, so writers of different keys in several processes lose nothing and a
//   reader, which takes no lock, sees the old or the new file, never a torn one.
//   Keys that belong together (a list and its count, one value in several sections) are written
//   as one batch: one lock, one read, one replacement, so a reader sees all of them or none of
//   them and no other writer's change lands between them. [ours; the original wrote key by key,
//   and two writers at once could leave a list mixed from both]
//
// Speed
//   A read loads the file once and scans it in one pass, line by line with memchr, without
//   building any structure, so a lookup costs about as much as reading the file.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nvl::sys {

// GetPrivateProfileStringA. A null section lists the section names, a null key the key
// names of the section (each NUL-terminated, one more NUL at the end). Returns the number of
// characters copied, not counting the terminator; size - 1 when a value was cut, size - 2
// when a list was cut.
uint32_t getPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                 char* out, uint32_t size, const char* path);

// GetPrivateProfileIntA.
uint32_t getPrivateProfileInt(const char* section, const char* key, int defaultValue,
                              const char* path);

// WritePrivateProfileStringA. A null value deletes the key, a null key the whole section.
// The first write creates the file. Returns true on success; lastError() tells why not.
bool writePrivateProfileString(const char* section, const char* key, const char* value,
                               const char* path);

// One write of a batch: the arguments of writePrivateProfileString, held as texts.
struct ProfileWrite {
    std::string section;
    std::optional<std::string> key;    // none: delete the section
    std::optional<std::string> value;  // none: delete the key
};

// Several writes to one file as one change (see Concurrency above): applied in order to the
// file as read under the writers' lock, then one replacement. A write that would be refused
// refuses the whole batch and leaves the file as it was. An empty batch changes nothing.
bool writePrivateProfileStrings(std::span<const ProfileWrite> writes, const char* path);

// The same, with the batch made by `compute` while the writers' lock is held: whatever it
// decides from (other files, the directory) cannot be overtaken by another writer of this file
// that decides under the lock as well, so the last batch written is made from the newest state.
// `compute` must not write the file itself.
bool updatePrivateProfile(const char* path,
                          const std::function<std::vector<ProfileWrite>()>& compute);

// The file system path a profile file name stands for (see Paths above).
std::string profilePath(std::string_view name);

// The text half of the profile functions: the rules above applied to the bytes of one file,
// without any I/O. The functions above are built on these; tests and the fuzz target use them
// directly.
namespace profile {

// The value of `key` in `section` (trimmed, one pair of quotation marks removed, cut at a NUL),
// or nothing when the key is absent. The view points into `file`.
std::optional<std::string_view> findValue(std::string_view file, std::string_view section,
                                          std::string_view key);

// Section names, or the key names of `section`, each once, in file order. Views into `file`.
std::vector<std::string_view> sectionNames(std::string_view file);
std::vector<std::string_view> keyNames(std::string_view file, std::string_view section);

// Applies one write (null key: delete the section; null value: delete the key) to `file` and
// stores the new contents in `out`. Returns kSuccess, kErrInvalidParameter for names or values
// that cannot be written, or kErrInvalidData for a file that is not ours (UTF-16).
uint32_t applyWrite(std::string_view file, std::string_view section, const char* key,
                    const char* value, std::string* out);

// Applies the writes of a batch in order; on the first refusal returns its code and leaves
// `out` unspecified.
uint32_t applyWrites(std::string_view file, std::span<const ProfileWrite> writes, std::string* out);

}  // namespace profile
}  // namespace nvl::sys
