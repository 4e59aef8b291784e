// Profile (INI) files with the original platform's behaviour.
//
// nvlscan.ini and the other INI files of the server are shared with programs that were written
// against the original platform's profile functions, so the rules below are theirs. Where a rule
// is the platform's, as its documentation of GetPrivateProfileStringA, GetPrivateProfileIntA,
// GetProfileStringA and WritePrivateProfileStringA states it or as the platform was seen to
// behave, it is marked [doc]; the rest is our own decision where the platform gives no answer or
// a harmful one, marked [ours].
//
// File layout
//   - A section starts with a line "[name]"; "key=value" lines belong to the last section
//     above them. [doc]
//   - A line ends at CR LF, at LF or at a lone CR: a file with CR-only line ends reads exactly
//     like the same file with CR LF. [doc] A write gives the lines it adds the line end of the
//     file (its first one); a file without any gets CR LF, the original platform's line end, so
//     files copied between systems stay alike. [ours]
//   - Names and values read from the file are trimmed of spaces, tabs and vertical tabs. [doc]
//     Leading blanks of a line are skipped; a header's name runs to the first ']' (or to the end
//     of the line when there is none); a key's name runs to the first '='. [ours]
//   - A line "=value" is a key with the empty name, read and written with a key argument of ""
//     (not null). [doc]
//   - Lines starting with ';' are comments. Lines without '=' are not keys. Neither is ever
//     listed or matched; a write keeps them byte for byte. [ours]
//   - A UTF-8 byte-order mark is skipped when reading and kept when writing. A UTF-16 file
//     (byte-order mark FF FE or FE FF) is not a file of this system: reads see no keys and a
//     write refuses it (kErrInvalidData) rather than damage it. [ours]
//   - Any bytes are accepted: NUL bytes are ordinary characters of a line (a value is cut at its
//     first NUL, as a C string would be; a name holding NUL is never listed); there is no line
//     length limit; garbage lines are skipped. [ours]
//
// Reading
//   - Section and key names compare without regard to case (ASCII letters). [doc]
//   - Only spaces are trimmed from the section and key names a caller passes: a tab or vertical
//     tab before or after them is part of the name, so such a name is not found in the file. [doc]
//   - A value enclosed in single or double quotation marks loses the marks: one pair, the same
//     mark at both ends, after trimming; blanks inside the marks are kept. [doc, GetProfileString]
//   - Only the first section of a given name is searched for a key: a key that stands only in a
//     later section of the same name is not found. The first of two equal keys in a section
//     wins. [doc]
//   - A null default is the empty text; a default loses trailing spaces, not tabs. [doc]
//   - Returned count: characters copied without the terminator; a value cut to fit returns
//     size - 1; size 0 copies nothing and returns 0. [doc]
//   - A null section lists the section names, a null key the key names of the section: each
//     name ends with NUL and the list with one more NUL. A list cut to fit ends with two NULs
//     and returns size - 2 (size 1 gets one NUL and returns 0). Every occurrence is listed,
//     duplicates included, in file order. [doc] The keys listed are those of the first section
//     of that name, the one that is read; a missing section is an empty list; an empty name is
//     left out, since it would end the list early for whoever reads it. [ours]
//   - A missing file reads as empty, with lastError() kErrFileNotFound. [doc]
//   - GetPrivateProfileInt: the key's text as a decimal number with an optional sign, up to the
//     first non-digit; no digits give 0; a missing key gives the default. [doc; ours for the
//     exact number syntax]
//
// Writing
//   - A null value deletes the key, a null key deletes the section: its header and its keys go,
//     the comment lines inside it stay. [doc] A key goes with every occurrence in the first
//     section of that name and a section with every header of that name, so a read afterwards
//     finds nothing; blank lines and lines without '=' of a deleted section stay as well. [ours]
//   - A delete on a missing file succeeds and leaves an empty file; otherwise deleting what is
//     not there changes nothing but the final line end (below). [doc]
//   - The first write creates the file; its directory must exist. [doc]
//   - A key that exists (its first occurrence in the first section of that name) is changed in
//     place: the line keeps its name, its spacing around '=' and its line end, and only the
//     value is replaced. [doc for which line; ours for how]
//   - A new key is written "key=value" after the last key line of the first section of that
//     name (right after its header when it has none), so the comment lines after it stay where
//     they are; a new section is added at the end of the file. [doc] Every other line is kept
//     byte for byte. [ours]
//   - When the last line of the file has no line end, a write that keeps that line adds one
//     after it (CR LF, or the file's own, see above). [doc]
//   - Names are written as given once their spaces are trimmed: a tab or vertical tab stays
//     ("[\tsec\t]", "\tkey\t="), and a key that starts with ';' is written as well, although it
//     reads as a comment and is never found again, so each such write adds a line. The value is
//     written as given. [doc]
//   - A section holding ']' or a line break, a key holding '=' or a line break or starting with
//     '[' (after blanks), and a value holding a line break would change the file's structure (a
//     value could smuggle in keys or sections of its own): such writes are refused with
//     kErrInvalidParameter and nothing is written. [ours]
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
//   A read loads the file once and scans it in one pass without building any structure, so a
//   lookup costs about as much as reading the file: memchr for '[' jumps from header to header
//   over the sections it does not want, and inside the one it wants memchr finds each line's
//   end (the next LF is kept until it is passed, and the CR is looked for only before it).
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

// The value of `key` in the first section named `section` (trimmed, one pair of quotation marks
// removed, cut at a NUL), or nothing when the key is absent. The view points into `file`.
std::optional<std::string_view> findValue(std::string_view file, std::string_view section,
                                          std::string_view key);

// Section names, or the key names of the first section named `section`, every occurrence, in
// file order. Views into `file`.
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
