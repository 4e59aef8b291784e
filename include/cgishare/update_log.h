// The server update log: one comma-separated line per component update in Log/update.log
// under the home directory.
//
//   20060831094107,4,1,1,3.123.45
//
// Fields: a 14-character time stamp, a 1-character kind, two signed decimal numbers and a
// message of 0 to 1023 characters that may contain commas. The console writes records,
// counts them, lists them ten to a page through a callback and empties the file. The "Log"
// directory is found without regard to case and is not created here. A path that does not
// fit the original 260-character path buffer, or a missing home directory, counts as a file
// that cannot be opened: nothing is written to a path other than the one meant.
//
// Several processes write the file at once without a lock: each record is formed completely
// in memory and appended with one write(2) on a descriptor opened with O_APPEND, so records
// never interleave and every record is one whole line. Opening is retried three times with
// 500 ms waits (the count retries without waiting) for a file another process is replacing.
//
// A record is one line of at most kUpdateLogMaxRecord (1045) characters, line feed included,
// so that every reader with a 1046-byte line buffer reads one record per line:
//   - A record whose formatted line would be longer (a message near 1023 characters beside
//     numbers of several digits) is rejected as "message is too long" and not written.
//   - A carriage return or line feed inside a field is written as a space: it would otherwise
//     end the record early and start a second, false one.
// The reader counts and delivers physical lines: a line longer than the buffer, written by
// someone else, is one record cut to 1044 characters, never two. A line ending in CR LF is
// read as ending in LF, as the original text-mode reading did. A number too large for an int
// reads as INT_MAX or INT_MIN.
//
// Every failure is traced at level 6; the reading functions return the codes below.
#pragma once

#include <cgishare/export.h>

// Results of getRecordCountUpdateLog (a count when not negative) and readUpdateLog.
enum UpdateLogResult : int {
    UPDATE_LOG_OK = 0,
    UPDATE_LOG_FAILED = -1,       // parameter error, allocation failure, page not found, or
                                  // (for the count) open failure
    UPDATE_LOG_OPEN_FAILED = -2,  // readUpdateLog could not open the file
    UPDATE_LOG_READ_ERROR = -3,
};

// The longest record line, line feed included.
inline constexpr int kUpdateLogMaxRecord = 1045;
// Records per page of readUpdateLog.
inline constexpr int kUpdateLogPageSize = 10;

// Called once per record in file order. The texts point into the reader's line buffer and
// are valid only during the call; a field the line does not have is null (texts) or 0.
typedef void (*UpdateLogCallback)(char* timeStamp, char* kind, int number1, int number2,
                                  char* message, void* context);

// Appends one record. `timeStamp` must be 14 characters, `kind` 1, `message` at most 1023;
// a null text is a parameter error. `baseDirectory`, when non-null and non-empty, replaces
// the home directory as the base of the path (a missing trailing '/' is supplied).
CGISHARE_API void writeUpdateLog(char* timeStamp, char* kind, int number1, int number2,
                                 char* message, char* baseDirectory);

// Empties the file (creating it when it is missing); the file itself is never removed.
CGISHARE_API void deleteUpdateLog();

// The number of records (0 for an empty file), or UPDATE_LOG_FAILED when the file cannot be
// opened, UPDATE_LOG_READ_ERROR when it cannot be read.
CGISHARE_API int getRecordCountUpdateLog();

// Calls `callback` for the records of page `startPage` (10 records; pages count from 1), or
// for every record when `startPage` is 0. UPDATE_LOG_FAILED for a negative page, a null
// callback, or a page that starts beyond the last record (no callback is made).
CGISHARE_API int readUpdateLog(int startPage, UpdateLogCallback callback, void* context);
