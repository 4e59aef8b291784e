// Strict readers of the values the console's pages take from query strings and forms. A value
// is accepted whole or not at all: no blanks, no signs where none is wanted, no overflow.
#pragma once

#include <string_view>

namespace console {

// A decimal integer of 1 to 18 digits, optionally led by '-' when `min` is negative, in
// [min, max]. False for anything else; `*out` is then left as it was.
bool parseInteger(std::string_view text, long min, long max, long* out);

// A calendar date "YYYY-MM-DD" (the value of an <input type="date">), year 1970 to 9999, as
// the number YYYYMMDD. False for anything else, 2026-02-30 included.
bool parseDate(std::string_view text, int* yyyymmdd);

// The date YYYYMMDD as "YYYY-MM-DD".
void formatDate(int yyyymmdd, char (&out)[11]);

// A calendar date written "YYYYMMDD" (as in the names of the daily log files), year 1970 to
// 9999, as the number YYYYMMDD. False for anything else.
bool parseCompactDate(std::string_view text, int* yyyymmdd);

// True when YYYYMMDD is a calendar date of the years 1970 to 9999.
bool isCalendarDate(long yyyymmdd);

// A position in a daily log, "YYYYMMDD-OFFSET": the file's date (a calendar date) and a byte
// offset of at most 18 digits. False for anything else; the outputs are then left as they
// were.
bool parseLogPosition(std::string_view text, int* date, long* offset);

}  // namespace console
