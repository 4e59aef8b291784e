// Locales: locale information and the date and time pictures of the original platform
// (GetLocaleInfo, GetDateFormat, GetTimeFormat, GetThreadLocale and their kin).
//
// Which locale
//   A locale is named by its LCID. The pseudo-LCIDs resolve first: LOCALE_USER_DEFAULT (0x0400),
//   LOCALE_NEUTRAL (0) and LOCALE_CUSTOM_DEFAULT (0x0C00) to the user locale,
//   LOCALE_SYSTEM_DEFAULT (0x0800) to the system locale, LOCALE_CUSTOM_UI_DEFAULT (0x1400) to the
//   user locale as well (the console has no separate UI language). The sort bits (16 to 23) are
//   dropped, and a language without a sublanguage (0x0011) means its default one (0x0411).
//   - System locale: the default value of HKLM\SYSTEM\CurrentControlSet\Control\Nls\Locale, a
//     hexadecimal LCID ("00000411"); absent or garbage, 0x0409. Read once per process: the
//     original fixes it when the machine starts.
//   - User locale: the value Locale under HKCU\Control Panel\International, else the system
//     locale. Read once per process, like the system locale (it belongs to the log-on session).
//   - Thread locale: per thread, starting as the user locale; setThreadLocale changes it.
//
// Where the data comes from
//   - A built-in table of the original platform's values for en-US, en-GB, ja-JP, zh-TW, zh-CN,
//     ko-KR, de-DE, fr-FR and the invariant locale (0x007F): short date, date separator, time
//     format, calendar type, optional calendars, AM/PM texts, era texts, ANSI code page, and the
//     names where the original differs from ICU (ja and ko abbreviated months are the numbers
//     1 to 12). Legacy output must not change with ICU releases.
//   - Every other locale that ICU knows: ICU's patterns translated into pictures (short date
//     with its year forced to yyyy, medium time, separator derived from the short date).
//   - Day and month names of every locale, and the Japanese and Taiwan era data, come from ICU,
//     which is loaded on first use only (dlopen): formatting pictures with numbers only, as the
//     console's default pictures are, never loads it.
//   - User overrides: sShortDate, sDate, sTimeFormat and iCalendarType under
//     HKCU\Control Panel\International replace the locale's own values when the locale asked
//     for is the user locale and the call does not carry LOCALE_NOUSEROVERRIDE. They are read
//     at every call, so a change made by another process is seen by the next call. A value of
//     the wrong type, empty, or garbage (a calendar type that is not a calendar of the locale)
//     counts as absent.
//
// Calendars (LOCALE_ICALENDARTYPE, iCalendarType): 1 Gregorian (localised), 2 Gregorian (U.S.
// English texts), 3 Japanese emperor era (ja-JP), 4 Taiwan (zh-TW, year = Gregorian - 1911),
// 5 Korean Tangun era (ko-KR, year = Gregorian + 2333). Each locale has its optional calendars
// (LOCALE_IOPTIONALCALENDAR); an override naming a calendar the locale does not have counts as
// absent.
//
// Texts
//   The A functions take and give text in the locale's ANSI code page (LOCALE_IDEFAULTANSICODEPAGE:
//   1252 for the Western locales, 932, 936, 949, 950 for the Asian ones), or in the process's
//   ANSI code page with LOCALE_USE_CP_ACP, and a locale whose code page is not supported here
//   uses the process's. Sizes of the A functions count bytes of that code page, those of the W
//   functions UTF-16 units; both count the terminating NUL. A character the code page cannot
//   hold becomes '?'. Size 0 returns the size needed; too small a size fails with
//   kErrInsufficientBuffer. Failures return 0 and set lastError().
//
// Pictures (GetDateFormat / GetTimeFormat notation; our own formatter, ICU never reads one)
//   Date: d dd (day), ddd dddd (abbreviated / full weekday; more than four d are dddd),
//   M MM (month), MMM MMMM (abbreviated / full month name; more than four M are MMMM; the full
//   name is the genitive form where the locale has one, when the nearest day field before or
//   after it is d or dd), y (the year within the century, no leading zero: 2002 gives 2, an era
//   year 6 gives 6), yy (two digits), yyy and more (the full year, four digits in the Gregorian
//   calendars), g gg and more (the era text; nothing where the calendar has none). Time letters
//   in a date picture are literal text.
//   Time: h hh (1-12), H HH (0-23), m mm, s ss, t (first character of the AM/PM text),
//   tt (the whole text); more than two of one letter count as two. Date letters in a time
//   picture are literal text.
//   Quoting: text between single quotes is literal, '' inside quotes is one quote, '' outside
//   quotes is an empty quoted text, an unterminated quote runs to the end.
//   Time flags: TIME_NOSECONDS drops s/ss with the literal text back to the previous field and
//   the literal text after it up to a space or the next field; TIME_NOMINUTESORSECONDS the
//   same for minutes and seconds; TIME_NOTIMEMARKER drops t/tt with the literal text before and
//   after it; TIME_FORCE24HOURFORMAT reads h/hh as H/HH (a marker stays unless
//   TIME_NOTIMEMARKER drops it).
//   Errors: a picture together with a DATE_* flag or LOCALE_NOUSEROVERRIDE, more than one of
//   DATE_SHORTDATE, DATE_LONGDATE, DATE_YEARMONTH, or unknown flag bits: kErrInvalidFlags. A
//   date before 1601-01-01 or not in the calendar (month 13, 30 February), a time field out of
//   range, a locale that cannot be resolved: kErrInvalidParameter. A wrong day of the week is
//   recomputed; GetDateFormat ignores the time fields, GetTimeFormat the date fields. A null
//   moment means the current local time.
#pragma once

#include <cstdint>
#include <string>

namespace nvl::sys {

using Lcid = uint32_t;

constexpr Lcid kLocaleNeutral = 0x0000;
constexpr Lcid kLocaleInvariant = 0x007F;
constexpr Lcid kLocaleUserDefault = 0x0400;
constexpr Lcid kLocaleSystemDefault = 0x0800;
constexpr Lcid kLocaleCustomDefault = 0x0C00;
constexpr Lcid kLocaleCustomUiDefault = 0x1400;
constexpr Lcid kLocaleEnUs = 0x0409;

// LCTYPE values and modifiers of getLocaleInfo.
enum LocaleType : uint32_t {
    kLocaleSDate = 0x001D,
    kLocaleSShortDate = 0x001F,
    kLocaleSLongDate = 0x0020,
    kLocaleS1159 = 0x0028,
    kLocaleS2359 = 0x0029,
    kLocaleSDayName1 = 0x002A,  // Monday; ...7 is Sunday
    kLocaleSAbbrevDayName1 = 0x0031,
    kLocaleSMonthName1 = 0x0038,  // January, nominative; ...12
    kLocaleSAbbrevMonthName1 = 0x0044,
    kLocaleSTimeFormat = 0x1003,
    kLocaleIDefaultAnsiCodePage = 0x1004,
    kLocaleICalendarType = 0x1009,
    kLocaleIOptionalCalendar = 0x100B,
    kLocaleSName = 0x005C,  // "ja-JP"

    kLocaleNoUserOverride = 0x80000000,
    kLocaleUseCpAcp = 0x40000000,
};

// Flags of getDateFormat.
enum DateFlags : uint32_t {
    kDateShortDate = 0x01,
    kDateLongDate = 0x02,
    kDateYearMonth = 0x08,
};

// Flags of getTimeFormat.
enum TimeFlags : uint32_t {
    kTimeNoMinutesOrSeconds = 0x01,
    kTimeNoSeconds = 0x02,
    kTimeNoTimeMarker = 0x04,
    kTimeForce24HourFormat = 0x08,
};

// Calendar identifiers (LOCALE_ICALENDARTYPE).
enum CalendarId : uint32_t {
    kCalGregorian = 1,
    kCalGregorianUs = 2,
    kCalJapan = 3,
    kCalTaiwan = 4,
    kCalKorea = 5,
};

// SYSTEMTIME.
struct SystemTime {
    uint16_t year;
    uint16_t month;  // 1-12
    uint16_t dayOfWeek;  // 0 = Sunday
    uint16_t day;
    uint16_t hour;
    uint16_t minute;
    uint16_t second;
    uint16_t milliseconds;
};

Lcid systemDefaultLcid();
Lcid userDefaultLcid();
Lcid threadLocale();
// False (kErrInvalidParameter) for an LCID that names no locale.
bool setThreadLocale(Lcid lcid);

// The LCID a call with `lcid` works on, after the pseudo-LCIDs and sort bits; 0 when it names
// no locale known here or to ICU.
Lcid resolveLcid(Lcid lcid);

// GetLocaleInfoA / W: the value as text ("1" for the calendar type), NUL included in the count.
int getLocaleInfoA(Lcid lcid, uint32_t type, char* data, int size);
int getLocaleInfoW(Lcid lcid, uint32_t type, char16_t* data, int size);

// GetDateFormatA / W and GetTimeFormatA / W. `picture` null means the locale's own picture
// (DATE_SHORTDATE when no DATE_* flag is given).
int getDateFormatA(Lcid lcid, uint32_t flags, const SystemTime* date, const char* picture,
                   char* out, int size);
int getDateFormatW(Lcid lcid, uint32_t flags, const SystemTime* date, const char16_t* picture,
                   char16_t* out, int size);
int getTimeFormatA(Lcid lcid, uint32_t flags, const SystemTime* time, const char* picture,
                   char* out, int size);
int getTimeFormatW(Lcid lcid, uint32_t flags, const SystemTime* time, const char16_t* picture,
                   char16_t* out, int size);

// Forgets the cached system and user locales, so that the next call reads the registry again.
// For tests; not for the library.
void resetLocalesForTesting();

}  // namespace nvl::sys
