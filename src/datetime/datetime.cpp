// Date and time texts of a moment, and the locale's date and time pictures; what they promise
// is set out in <cgishare/datetime.h>.
//
// Every form comes down to one formatter that takes a SYSTEMTIME: the date part (at most 63
// bytes) and the time part (at most 63 bytes) are made by the platform's locale module, joined
// by one space in a 128-byte buffer on the stack, and copied out. The W forms make the narrow
// text and convert it; every form works with the same 127 bytes of text.
//
// All locale calls ask for text in the process's ANSI code page (LOCALE_USE_CP_ACP): the custom
// pictures are ANSI text, the W forms convert from the ANSI code page, and a cut must know which
// bytes start characters. Without it a thread locale whose code page differs from the process's
// (a Japanese thread on a Western server) would hand back bytes that the conversion misreads.
//
// The date part: the locale's short date for Gregorian calendars, with its year widened to four
// digits (the console never shows a two-digit year), or the fixed d/M/yyyy; era calendars keep
// the locale's own short date. Finding the year skips text in quotes, so a literal such as
// 'day' is not taken for a year. The time part: the locale's time format (or the custom
// picture) forced to 24 hours without the AM/PM marker.
//
// The formatting path does only what the flags ask: no locale call for a part that is not
// wanted, no look at the custom pictures without DTFMT_CUSTOM, and no look at the calendar and
// short date when a custom date picture replaces them (both calendar paths format a custom
// picture the same way). A DTLOC_SYSTEM call reads the system locale's own values, which do not
// change while the process runs, so each thread keeps its widened date picture.
//
// A date picture cannot be formatted with LOCALE_NOUSEROVERRIDE (the platform refuses the
// pair); a DTLOC_SYSTEM call still sees none of the user's overrides, calendar included, since
// it names the locale as LOCALE_SYSTEM_DEFAULT, to which they never apply.
//
// A time_t becomes local time with localtime_r (thread-safe; the process's time zone as it was
// first read). A moment the C library cannot convert, or whose fields do not fit the 16-bit
// fields of a SYSTEMTIME, gives the empty text rather than a wrapped-around date.
#include <cgishare/datetime.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <string_view>

#include "datetime/datetime_internal.h"
#include "platform/codepage.h"
#include "platform/locale.h"

namespace nvl::datetime {

namespace {

namespace sys = nvl::sys;

// A date or time part and its NUL; a picture of the locale.
constexpr int kPartBytes = 64;
// The whole text and its NUL.
constexpr int kTextBytes = 128;
constexpr int kCalendarBytes = 8;
constexpr int kSeparatorBytes = 16;
constexpr int kStandardLocaleFlags = 129;
constexpr char kDayMonthYear[] = "d/M/yyyy";

constexpr uint32_t kAnsiText = sys::kLocaleUseCpAcp;

// The locale a call works in and the override flag of its queries.
struct CallLocale {
    explicit CallLocale(int localeFlags)
        : lcid((localeFlags & DTLOC_SYSTEM) != 0 ? sys::kLocaleSystemDefault : sys::threadLocale()),
          noOverride((localeFlags & DTLOC_SYSTEM) != 0 ? uint32_t{sys::kLocaleNoUserOverride}
                                                       : 0u) {}
    sys::Lcid lcid;
    uint32_t noOverride;
};

// Reads a locale value into `out` (`size` bytes); the empty text when it cannot.
void localeInfo(const CallLocale& locale, uint32_t type, char* out, int size) {
    if (sys::getLocaleInfoA(locale.lcid, type | locale.noOverride | kAnsiText, out, size) == 0)
        out[0] = '\0';
}

bool isGregorian(const CallLocale& locale) {
    char text[kCalendarBytes];
    localeInfo(locale, sys::kLocaleICalendarType, text, sizeof text);
    // As atoi reads it; a value that cannot be read counts as Gregorian.
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-')
        ++p;
    int calendar = 0;
    for (; *p >= '0' && *p <= '9' && calendar < 1000; ++p)
        calendar = calendar * 10 + (*p - '0');
    return negative || calendar <= 2;
}

// Copies `text` into `out` (`size` bytes, size > 0) in whole characters, NUL-terminated.
void copyOut(std::string_view text, char* out, size_t size) {
    size_t length = wholeCharacters(text, size - 1);
    std::memcpy(out, text.data(), length);
    out[length] = '\0';
}

void copyOut(std::string_view text, char16_t* out, size_t size) {
    sys::ConvertResult converted = sys::decodeSome(sys::kCodePageAnsi, text, out, size - 1);
    out[converted.written] = u'\0';
}

// The picture with its year made four digits (kPartBytes): the first run of y outside quotes
// becomes yyyy; without one, yyyy and the locale's date separator go in front. The second byte
// of a double-byte character can be a 'y' (0x79) and is stepped over.
void widenYear(const CallLocale& locale, std::string_view picture, char* out) {
    char text[kPartBytes * 2];
    size_t length = 0;
    auto append = [&](std::string_view part) {
        size_t n = std::min(part.size(), sizeof text - length);
        std::memcpy(text + length, part.data(), n);
        length += n;
    };
    size_t year = std::string_view::npos;
    bool quoted = false;
    uint32_t codePage = sys::ansiCodePage();
    for (size_t i = 0; i < picture.size(); ++i) {
        if (sys::isLeadByte(codePage, static_cast<unsigned char>(picture[i]))) {
            ++i;
        } else if (picture[i] == '\'') {
            quoted = !quoted;
        } else if (!quoted && picture[i] == 'y') {
            year = i;
            break;
        }
    }
    if (year != std::string_view::npos) {
        size_t after = year;
        while (after < picture.size() && (picture[after] == 'y' || picture[after] == 'Y'))
            ++after;
        append(picture.substr(0, year));
        append("yyyy");
        append(picture.substr(after));
    } else {
        char separator[kSeparatorBytes];
        localeInfo(locale, sys::kLocaleSDate, separator, sizeof separator);
        append("yyyy");
        append(separator);
        append(picture);
    }
    copyOut(std::string_view(text, length), out, kPartBytes);
}

// What the date part takes from the locale: whether its calendar is Gregorian, and its date
// picture as the console shows it (the short date, with the year widened when Gregorian).
struct DateInfo {
    bool gregorian;
    char picture[kPartBytes];
};

void readDateInfo(const CallLocale& locale, DateInfo* info) {
    info->gregorian = isGregorian(locale);
    char shortDate[kPartBytes];
    localeInfo(locale, sys::kLocaleSShortDate, shortDate, sizeof shortDate);
    if (info->gregorian) {
        widenYear(locale, shortDate, info->picture);
    } else {
        std::memcpy(info->picture, shortDate, sizeof shortDate);
    }
}

// A DTLOC_SYSTEM call asks for the system locale's own values, which stay the same while the
// process runs: each thread keeps the last ones it read, with the locale and the code page they
// were read for. The standard call pays for the date picture once instead of three locale
// queries every time. Calls in the thread's locale read afresh: the user's overrides may change.
void dateInfo(const CallLocale& locale, DateInfo* info) {
    if (locale.noOverride == 0) {
        readDateInfo(locale, info);
        return;
    }
    struct Kept {
        sys::Lcid lcid;
        uint32_t codePage;
        DateInfo info;
    };
    thread_local Kept kept{};
    sys::Lcid lcid = sys::systemDefaultLcid();
    uint32_t codePage = sys::ansiCodePage();
    if (kept.lcid != lcid || kept.codePage != codePage) {
        readDateInfo(locale, &kept.info);
        kept.lcid = lcid;
        kept.codePage = codePage;
    }
    *info = kept.info;
}

void datePart(const sys::SystemTime& date, const CallLocale& locale, int localeFlags,
              const char* customDate, char* out) {
    int written;
    if (customDate != nullptr && customDate[0] != '\0') {
        written = sys::getDateFormatA(locale.lcid, kAnsiText, &date, customDate, out, kPartBytes);
    } else {
        DateInfo info;
        dateInfo(locale, &info);
        if (info.gregorian) {
            const char* picture = (localeFlags & DTLOC_DMY) != 0 ? kDayMonthYear : info.picture;
            written = sys::getDateFormatA(locale.lcid, kAnsiText, &date, picture, out, kPartBytes);
        } else {
            written = sys::getDateFormatA(locale.lcid,
                                          locale.noOverride | sys::kDateShortDate | kAnsiText,
                                          &date, nullptr, out, kPartBytes);
        }
    }
    if (written == 0)
        out[0] = '\0';
}

void timePart(const sys::SystemTime& time, const CallLocale& locale, const char* customTime,
              char* out) {
    constexpr uint32_t k24Hours = sys::kTimeNoTimeMarker | sys::kTimeForce24HourFormat;
    bool custom = customTime != nullptr && customTime[0] != '\0';
    uint32_t flags = (custom ? 0 : locale.noOverride) | k24Hours | kAnsiText;
    if (sys::getTimeFormatA(locale.lcid, flags, &time, custom ? customTime : nullptr, out,
                            kPartBytes) == 0)
        out[0] = '\0';
}

// The text of `moment` (kTextBytes); returns its length.
size_t formatMoment(const SYSTEMTIME& moment, int formatFlags, int localeFlags, char* text) {
    bool wantDate = (formatFlags & DTFMT_DATE) != 0;
    bool wantTime = (formatFlags & DTFMT_TIME) != 0;
    if (!wantDate && !wantTime) {
        text[0] = '\0';
        return 0;
    }
    CallLocale locale(localeFlags);
    sys::SystemTime time{moment.wYear, moment.wMonth,  moment.wDayOfWeek, moment.wDay,
                         moment.wHour, moment.wMinute, moment.wSecond,    moment.wMilliseconds};
    CustomPictures custom;
    bool useCustom = (formatFlags & DTFMT_CUSTOM) != 0;
    if (useCustom)
        readCustomPictures(&custom);
    size_t length = 0;
    if (wantDate) {
        datePart(time, locale, localeFlags, useCustom ? custom.date : nullptr, text);
        length = std::strlen(text);
    }
    if (wantDate && wantTime)
        text[length++] = ' ';
    if (wantTime) {
        timePart(time, locale, useCustom ? custom.time : nullptr, text + length);
        length += std::strlen(text + length);
    }
    static_assert(2 * (kPartBytes - 1) + 1 < kTextBytes);
    return length;
}

template <class Char>
void formatInto(const SYSTEMTIME* moment, Char* out, int size, int formatFlags, int localeFlags) {
    if (out == nullptr || size <= 0 || moment == nullptr)
        return;
    char text[kTextBytes];
    size_t length = formatMoment(*moment, formatFlags, localeFlags, text);
    copyOut(std::string_view(text, length), out, static_cast<size_t>(size));
}

// --- Moments ----------------------------------------------------------------------------------

bool toWord(int64_t value, uint16_t* word) {
    if (value < 0 || value > std::numeric_limits<uint16_t>::max())
        return false;
    *word = static_cast<uint16_t>(value);
    return true;
}

bool fromTm(const tm& calendar, SYSTEMTIME* moment) {
    *moment = SYSTEMTIME{};
    return toWord(int64_t{calendar.tm_year} + 1900, &moment->wYear) &&
           toWord(int64_t{calendar.tm_mon} + 1, &moment->wMonth) &&
           toWord(calendar.tm_mday, &moment->wDay) && toWord(calendar.tm_hour, &moment->wHour) &&
           toWord(calendar.tm_min, &moment->wMinute) && toWord(calendar.tm_sec, &moment->wSecond);
}

bool fromTimeT(int64_t seconds, SYSTEMTIME* moment) {
    if (seconds < 0)
        return false;
    time_t t = static_cast<time_t>(seconds);
    tm calendar;
    return localtime_r(&t, &calendar) != nullptr && fromTm(calendar, moment);
}

// A time_t in decimal, read as atoi reads but in 64 bits: false when it does not fit.
template <class Char>
bool readSeconds(const Char* text, int64_t* seconds) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    bool negative = *text == '-';
    if (*text == '+' || *text == '-')
        ++text;
    uint64_t magnitude = 0;
    constexpr uint64_t kLimit = uint64_t{1} << 63;  // the magnitude of the lowest int64
    for (; *text >= '0' && *text <= '9'; ++text) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(*text - '0');
        if (magnitude > kLimit)
            return false;
    }
    if (!negative && magnitude == kLimit)
        return false;
    *seconds = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

template <class Char>
void emptyText(Char* out, int size) {
    if (out != nullptr && size > 0)
        out[0] = Char{0};
}

template <class Char>
void formatSeconds(int64_t seconds, Char* out, int size, int formatFlags, int localeFlags) {
    if (out == nullptr || size <= 0)
        return;
    SYSTEMTIME moment;
    if (!fromTimeT(seconds, &moment)) {
        emptyText(out, size);
        return;
    }
    formatInto(&moment, out, size, formatFlags, localeFlags);
}

template <class Char>
void formatSecondsText(const Char* t, Char* out, int size, int formatFlags, int localeFlags) {
    if (t == nullptr || out == nullptr || size <= 0)
        return;
    int64_t seconds;
    if (!readSeconds(t, &seconds)) {
        emptyText(out, size);
        return;
    }
    formatSeconds(seconds, out, size, formatFlags, localeFlags);
}

template <class Char>
void formatCalendar(const tm* t, Char* out, int size, int formatFlags, int localeFlags) {
    if (t == nullptr || out == nullptr || size <= 0)
        return;
    SYSTEMTIME moment;
    if (!fromTm(*t, &moment)) {
        emptyText(out, size);
        return;
    }
    formatInto(&moment, out, size, formatFlags, localeFlags);
}

// --- Pictures ---------------------------------------------------------------------------------

template <class Char>
void dateFormat(Char* out, int size, int localeFlags) {
    if (out == nullptr || size <= 0)
        return;
    DateInfo info;
    dateInfo(CallLocale(localeFlags), &info);
    copyOut(info.picture, out, static_cast<size_t>(size));
}

template <class Char>
void timeFormat(Char* out, int size, int localeFlags) {
    if (out == nullptr || size <= 0)
        return;
    char picture[kTextBytes];
    localeInfo(CallLocale(localeFlags), sys::kLocaleSTimeFormat, picture, sizeof picture);
    copyOut(picture, out, static_cast<size_t>(size));
}

}  // namespace

}  // namespace nvl::datetime

namespace dt = nvl::datetime;

void _hlGetDateTimeStringA(long t, char* out, int size, int formatFlags, int localeFlags) {
    dt::formatSeconds(t, out, size, formatFlags, localeFlags);
}
void _hlGetDateTimeStringA(const char* t, char* out, int size, int formatFlags, int localeFlags) {
    dt::formatSecondsText(t, out, size, formatFlags, localeFlags);
}
void _hlGetDateTimeStringA(const tm* t, char* out, int size, int formatFlags, int localeFlags) {
    dt::formatCalendar(t, out, size, formatFlags, localeFlags);
}
void _hlGetDateTimeStringA(const SYSTEMTIME* t, char* out, int size, int formatFlags,
                           int localeFlags) {
    dt::formatInto(t, out, size, formatFlags, localeFlags);
}

void _hlGetDateTimeStringW(long t, char16_t* out, int size, int formatFlags, int localeFlags) {
    dt::formatSeconds(t, out, size, formatFlags, localeFlags);
}
void _hlGetDateTimeStringW(const char16_t* t, char16_t* out, int size, int formatFlags,
                           int localeFlags) {
    dt::formatSecondsText(t, out, size, formatFlags, localeFlags);
}
void _hlGetDateTimeStringW(const tm* t, char16_t* out, int size, int formatFlags, int localeFlags) {
    dt::formatCalendar(t, out, size, formatFlags, localeFlags);
}
void _hlGetDateTimeStringW(const SYSTEMTIME* t, char16_t* out, int size, int formatFlags,
                           int localeFlags) {
    dt::formatInto(t, out, size, formatFlags, localeFlags);
}

void _hlGetDateFormatA(char* out, int size, int localeFlags) {
    dt::dateFormat(out, size, localeFlags);
}
void _hlGetDateFormatW(char16_t* out, int size, int localeFlags) {
    dt::dateFormat(out, size, localeFlags);
}
void _hlGetTimeFormatA(char* out, int size, int localeFlags) {
    dt::timeFormat(out, size, localeFlags);
}
void _hlGetTimeFormatW(char16_t* out, int size, int localeFlags) {
    dt::timeFormat(out, size, localeFlags);
}

extern "C" {

void __hlGetDateTimeStringA_t(long t, char* out, int size, int formatFlags, int localeFlags) {
    _hlGetDateTimeStringA(t, out, size, formatFlags, localeFlags);
}
void __hlGetDateTimeStringA_tstr(const char* t, char* out, int size, int formatFlags,
                                 int localeFlags) {
    _hlGetDateTimeStringA(t, out, size, formatFlags, localeFlags);
}
void __hlGetDateTimeStringA_tm(const tm* t, char* out, int size, int formatFlags, int localeFlags) {
    _hlGetDateTimeStringA(t, out, size, formatFlags, localeFlags);
}
void __hlGetDateTimeStringA_syst(const SYSTEMTIME* t, char* out, int size, int formatFlags,
                                 int localeFlags) {
    _hlGetDateTimeStringA(t, out, size, formatFlags, localeFlags);
}
void __hlGetDateTimeStringW_t(long t, char16_t* out, int size, int formatFlags, int localeFlags) {
    _hlGetDateTimeStringW(t, out, size, formatFlags, localeFlags);
}
void __hlGetDateTimeStringW_tstr(const char16_t* t, char16_t* out, int size, int formatFlags,
                                 int localeFlags) {
    _hlGetDateTimeStringW(t, out, size, formatFlags, localeFlags);
}
void __hlGetDateTimeStringW_tm(const tm* t, char16_t* out, int size, int formatFlags,
                               int localeFlags) {
    _hlGetDateTimeStringW(t, out, size, formatFlags, localeFlags);
}
void __hlGetDateTimeStringW_syst(const SYSTEMTIME* t, char16_t* out, int size, int formatFlags,
                                 int localeFlags) {
    _hlGetDateTimeStringW(t, out, size, formatFlags, localeFlags);
}

void __hlGetDateFormatA_c(char* out, int size) {
    _hlGetDateFormatA(out, size, dt::kStandardLocaleFlags);
}
void __hlGetDateFormatW_c(char16_t* out, int size) {
    _hlGetDateFormatW(out, size, dt::kStandardLocaleFlags);
}
void __hlGetTimeFormatA_c(char* out, int size) {
    _hlGetTimeFormatA(out, size, dt::kStandardLocaleFlags);
}
void __hlGetTimeFormatW_c(char16_t* out, int size) {
    _hlGetTimeFormatW(out, size, dt::kStandardLocaleFlags);
}

}  // extern "C"
