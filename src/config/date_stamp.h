// The library's 14-digit time stamp (YYYYMMDDhhmmss) and the classic runtime's long date,
// shared by the date functions of validation.h; internal to the library.
#pragma once

#include <ctime>
#include <string>

namespace nvl::config {

constexpr size_t kStampLength = 14;
constexpr size_t kDisplaySize = 256;  // every display text the library hands out

// `t` as a time stamp in local time (`local`) or UTC into `stamp` (15 bytes). False, with
// `stamp` empty, when the moment has no calendar time or its year has more than four digits.
bool formatStamp(time_t t, bool local, char* stamp);

// A stamp read as local time, normalised by mktime: fields out of range roll over, and the
// daylight-saving flag is the one of the stamp's own moment. False for a null text, anything but
// exactly 14 digits, or a moment mktime cannot represent.
bool stampToLocalTime(const char* stamp, struct tm* out);

// "%#x" of the classic ("C") runtime locale: dddd, MMMM dd, yyyy in English,
// "Thursday, August 31, 2006". Fields out of range give "".
std::string longDate(const struct tm& t);

}  // namespace nvl::config
