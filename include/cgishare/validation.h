// Checks of form input, the library's time stamp, and the dates of files.
//
// Validators: each tells whether a text is made only of characters of one kind. An empty text
// passes every one of them; a null text passes none. Texts are bytes of the ANSI code page and
// are judged byte by byte.
//
// Time stamp: 14 digits YYYYMMDDhhmmss, the form in which nvlscan.ini and the update log keep
// moments. A stamp is shown to people through converDateString: the stamp is read as local time,
// out-of-range fields roll over (day 32 of August is 1 September), and whether daylight-saving
// time applies is decided for the stamp's own moment, so a summer stamp keeps its hour in winter.
// Anything but exactly 14 digits gives the empty text: nothing is guessed from a damaged stamp.
//
// File dates: the modification time is st_mtime. The creation time is the birth time where the
// file system keeps one (statx, STATX_BTIME: ext4, xfs, btrfs); elsewhere it is st_ctime,
// the time of the last change of the file's status, which is the nearest the system offers.
// Paths are in the ANSI code page; a backslash counts as a directory separator, and a path
// component whose exact spelling does not exist is matched without regard to case.
//
// Output buffers: a stamp takes 15 bytes, a display text 256 (the sizes the original fixed).
// A null output makes a call do nothing; a null input gives the empty text.
#pragma once

#include <cgishare/export.h>

// Only the digits 0-9.
CGISHARE_API bool isNumber(char* text);

// Only digits, '-' and ','.
CGISHARE_API bool isPhoneNumber(char* text);

// Only bytes below 128.
CGISHARE_API bool isASCII(char* text);

// None of the characters that may not appear in a list of file extensions: \ / : ; " < > |
// always; ',' and ' ' unless `allowCommaAndSpace`; '*' and '?' unless `allowWildcards`.
CGISHARE_API bool isExtention(char* text, bool allowCommaAndSpace, bool allowWildcards);

// The current moment as a time stamp into `stamp` (15 bytes): local time when `local` is
// non-zero, else UTC.
CGISHARE_API void getCurrentTime(char* stamp, int local);

// A time stamp (local time) as the console's date-and-time text into `display` (256 bytes); the
// empty text for anything but 14 digits, or a moment that cannot be represented. `flag` has no
// effect.
CGISHARE_API void converDateString(char* stamp, char* display, int flag);

// The file's modification date as the classic runtime's long date, in English whatever the
// locale: "Thursday, August 31, 2006" (dddd, MMMM dd, yyyy), in local time when `local` is
// non-zero, else UTC. `text` must hold 246 bytes. Returns 1, or 0 when the file cannot be
// examined (`text` is then untouched).
CGISHARE_API int GetFileDate(char* path, char* text, int local);

// The file's creation (see above) or modification moment as the display text of
// converDateString; the empty text when the file cannot be examined.
CGISHARE_API void GetFileCreateDate(char* path, char* display);
CGISHARE_API void GetFileModifyDate(char* path, char* display);

// GetFileCreateDate for the file `name` of the home directory's Download directory. `name` is
// one file name: a name holding '/' or '\', an empty name, "." and "..", and a path longer than
// 259 bytes give the empty text, so no name reaches outside Download.
CGISHARE_API void GetDownloadFileCreateDate(const char* name, char* display);
