// The time stamp (YYYYMMDDhhmmss) and the long date of a file: getCurrentTime, GetFileDate and
// the helpers the other date functions share.
//
// A stamp is read strictly: exactly 14 ASCII digits. The original cut the text into fields
// with atoi, so a damaged stamp ("2006O831...") still came out as some date; a date made up
// from garbage is worse than none on a status page, so such a stamp is refused.
//
// Local time is the process's time zone, and tzset() is called before every conversion: the
// runtime's localtime_r keeps the zone it read first, and a page (or a test) that changes TZ
// expects the next call to see it.
//
// The long date of GetFileDate is the classic runtime's "%#x" in its default locale, and the
// server's status pages were written for that English text. strftime would follow the locale
// the process happens to run under (LC_TIME from the web server's environment), so the text is
// formed here: dddd, MMMM dd, yyyy with English names.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cgishare/validation.h"
#include "config/date_stamp.h"
#include "platform/error.h"
#include "platform/file_times.h"

namespace nvl::config {

namespace {

constexpr size_t kLongDateSize = 246;  // the buffer the original formatted into

bool calendarTime(time_t t, bool local, struct tm* out) {
    ::tzset();
    return (local ? ::localtime_r(&t, out) : ::gmtime_r(&t, out)) != nullptr;
}

int field(const char* digits, size_t count) {
    int value = 0;
    for (size_t i = 0; i < count; ++i)
        value = value * 10 + (digits[i] - '0');
    return value;
}

}  // namespace

bool formatStamp(time_t t, bool local, char* stamp) {
    stamp[0] = '\0';
    struct tm tm {};
    if (!calendarTime(t, local, &tm))
        return false;
    // 14 digits hold the years 0 to 9999 only.
    if (tm.tm_year < -1900 || tm.tm_year > 9999 - 1900)
        return false;
    char text[64];  // room for any int: the compiler cannot know the fields' ranges
    std::snprintf(text, sizeof text, "%.4d%.2d%.2d%.2d%.2d%.2d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::memcpy(stamp, text, kStampLength);
    stamp[kStampLength] = '\0';
    return true;
}

bool stampToLocalTime(const char* stamp, struct tm* out) {
    if (stamp == nullptr)
        return false;
    size_t length = 0;
    for (; stamp[length] != '\0'; ++length) {
        if (length == kStampLength || stamp[length] < '0' || stamp[length] > '9')
            return false;
    }
    if (length != kStampLength)
        return false;
    struct tm tm {};
    tm.tm_year = field(stamp, 4) - 1900;
    tm.tm_mon = field(stamp + 4, 2) - 1;
    tm.tm_mday = field(stamp + 6, 2);
    tm.tm_hour = field(stamp + 8, 2);
    tm.tm_min = field(stamp + 10, 2);
    tm.tm_sec = field(stamp + 12, 2);
    // The original passed the daylight-saving flag of the moment of the call, so in winter a
    // summer stamp came out an hour late. mktime decides it for the stamp's own moment.
    tm.tm_isdst = -1;
    tm.tm_yday = -1;  // mktime sets it on success: (time_t)-1 is also a valid moment
    ::tzset();
    if (::mktime(&tm) == static_cast<time_t>(-1) && tm.tm_yday == -1)
        return false;
    *out = tm;
    return true;
}

std::string longDate(const struct tm& t) {
    static const char* const kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                        "Thursday", "Friday", "Saturday"};
    static const char* const kMonths[] = {"January",   "February", "March",    "April",
                                          "May",       "June",     "July",     "August",
                                          "September", "October",  "November", "December"};
    if (t.tm_wday < 0 || t.tm_wday > 6 || t.tm_mon < 0 || t.tm_mon > 11)
        return {};
    char text[kLongDateSize];
    std::snprintf(text, sizeof text, "%s, %s %02d, %04lld", kDays[t.tm_wday], kMonths[t.tm_mon],
                  t.tm_mday, static_cast<long long>(t.tm_year) + 1900);
    return text;
}

}  // namespace nvl::config

void getCurrentTime(char* stamp, int local) {
    if (stamp == nullptr)
        return;
    nvl::config::formatStamp(std::time(nullptr), local != 0, stamp);
}

int GetFileDate(char* path, char* text, int local) {
    if (path == nullptr || text == nullptr)
        return 0;
    nvl::sys::FileTimes times;
    if (nvl::sys::getFileTimes(nvl::sys::serverFilePath(path), &times) != nvl::sys::kSuccess)
        return 0;
    struct tm tm {};
    if (!nvl::config::calendarTime(times.modified, local != 0, &tm))
        return 0;
    std::string date = nvl::config::longDate(tm);
    std::memcpy(text, date.c_str(), date.size() + 1);
    return 1;
}
