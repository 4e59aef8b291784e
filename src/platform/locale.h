// Locales: locale information and the date and time pictures of the original platform
// (GetLocaleInfo, GetDateFormat, GetTimeFormat, GetThreadLocale and their kin).
//
// Which locale
//   A locale is named by its LCID. The pseudo-LCIDs resolve first: LOCALE_USER_DEFAULT (0x0400),
//   LOCALE_NEUTRAL (0) and LOCALE_CUSTOM_DEFAULT (0x0C00) to the user locale,
//   LOCALE_SYSTEM_DEFAULT (0x0800) to the system locale, LOCALE_CUSTOM_UI_DEFAULT (0x1400) to the
//   user locale as well (the console has no separate UI language); LOCALE_CUSTOM_UNSPECIFIED
//   (0x1000) names nothing. The sort bits (16 to 23) are dropped, bits above them make the LCID
//   invalid, and a language without a sublanguage (0x0011) means its default one (0x0411;
//   Chinese 0x0004 means zh-CN).
//   - System locale: the default value of HKLM\SYSTEM\CurrentControlSet\Control\Nls\Locale, a
//     hexadecimal LCID ("00000411", REG_SZ); absent, of another type, garbage or naming no
//     locale known here, 0x0409. Read once per process: the original fixes it when the machine
//     starts.
//   - User locale: the value Locale under HKCU\Control Panel\International, read the same way,
//     else the system locale. Read once per process (it belongs to the log-on session).
//   - Thread locale: per thread, starting as the user locale; setThreadLocale stores the
//     resolved LANGID (pseudo-LCIDs and sort bits resolved as above).
//
// Where the data comes from
//   - A built-in table of the original platform's values for en-US, en-GB, ja-JP, zh-TW, zh-CN,
//     ko-KR, de-DE, fr-FR and the invariant locale (0x007F): short date, date separator, time
//     format, long date, year-month, calendar type, optional calendar, AM/PM texts, era texts,
//     ANSI code page. Legacy output must not change with ICU releases. Short dates, separators,
//     time formats and AM/PM texts are the Windows 7 and later values (de-DE and fr-FR have no
//     AM/PM texts there); long dates and year-months those of current Windows.
//   - Every other locale that ICU knows: ICU's patterns translated into pictures (short date
//     with every year as yyyy, medium time, full date as the long date, the best pattern for
//     "yMMMM" as the year-month; letters without a picture equivalent approximated or dropped,
//     see locale_icu.h), the separator taken from the short date (the text between its first two
//     day, month or year fields), ICU's AM/PM and era texts, the Gregorian calendar only, and the
//     ANSI code page the original gives the language (1250 central European Latin, 1251
//     Cyrillic, 1253 Greek, 1254 Turkish, 1255 Hebrew, 1256 Arabic script, 1257 Baltic, 1258
//     Vietnamese, 874 Thai, 932/936/949/950 East Asian, 0 for scripts no ANSI code page holds,
//     else 1252). LOCALE_SNAME is ICU's id with hyphens ("it-IT", "sr-Latn-CS").
//   - Names: en-US, en-GB and the invariant locale have the original's English names built in
//     (Monday, Jan, ... "Sep", where ICU's en-GB says "Sept"); every other locale takes them from
//     ICU: the nominative (LOCALE_SMONTHNAME, and MMMM apart from a day number) is ICU's
//     stand-alone form, the genitive (MMMM beside a day number) its format form, day names and
//     abbreviations stand-alone. ja-JP and ko-KR abbreviate months as the numbers 1 to 12, as
//     the original does.
//   - ICU is loaded on first use only (dlopen, locale_icu.h): numeric pictures, the table
//     locales' own pictures and their values other than names never load it. Without ICU, the
//     table locales still format everything; names other than the built-in English ones come
//     out empty (ja and ko abbreviated months stay numbers), Japanese eras come from a built-in
//     list (Meiji to Reiwa), and a locale that only ICU knows fails with kErrInvalidParameter.
//   - User overrides: sShortDate, sDate, sTimeFormat and iCalendarType under
//     HKCU\Control Panel\International replace the locale's own values when the locale of the
//     call is the user locale, named by its LCID or a pseudo-LCID of the user locale, and the
//     call does not carry LOCALE_NOUSEROVERRIDE. LOCALE_SYSTEM_DEFAULT names the system's own
//     settings: no override applies to it, also when the system and user locales are the same
//     (so a picture formatted for the system locale uses the system's calendar, whatever the
//     user chose). They are read at every call, so
//     a change made by another process is seen by the next call. A value that is not REG_SZ,
//     is empty, longer than the original allows (79 characters for the pictures, 3 for sDate),
//     holds control characters or bytes that are not UTF-8, or for iCalendarType is not one or
//     two digits naming a calendar of the locale, counts as absent. Without an sDate override,
//     an sShortDate override gives the separator (as above) when it has one.
//
// Calendars (LOCALE_ICALENDARTYPE, iCalendarType): every locale's own calendar is 1, Gregorian
// (localised). The optional calendar (LOCALE_IOPTIONALCALENDAR, 0 when none) is 2 for en-US
// (Gregorian with U.S. English texts: English names, era A.D.), 3 for ja-JP (Japanese emperor
// era), 4 for zh-TW (Taiwan, year = Gregorian - 1911), 5 for ko-KR (Tangun era, year =
// Gregorian + 2333; not ICU's lunisolar "dangi"). A calendar changes the short date, long date
// and year-month pictures (LOCALE_SSHORTDATE answers with the calendar's):
//   ja-JP 3: "gg y/M/d", "gg y'年'M'月'd'日'", "gg y'年'M'月'"; era texts 明治 大正 昭和 平成 令和
//            (ICU's names and start dates from Meiji on; Meiji starts 1868-01-01 as on the
//            original, where ICU starts it in September; earlier dates fail).
//   zh-TW 4: "yyyy/M/d", "yyyy'年'M'月'd'日'", "yyyy'年'M'月'"; era text 中華民國; dates before
//            1912 fail.
//   ko-KR 5: "gg yyyy-MM-dd", "gg yyyy'년' M'월' d'일' dddd", "gg yyyy'년' M'월'"; era 단기.
// Gregorian era texts: A.D. (en-US, en-GB, invariant), 西暦, 西元, 公元, 서기, n. Chr., ap. J.-C.
//
// Texts
//   The A functions take and give text in the locale's ANSI code page (LOCALE_IDEFAULTANSICODEPAGE:
//   1252 for the Western locales, 932, 936, 949, 950 for the Asian ones), or in the process's
//   ANSI code page with LOCALE_USE_CP_ACP, and a locale whose code page is 0 or not supported
//   here uses the process's. An A picture is decoded whole before it is read (a trail byte of a
//   double-byte character can look like 'd' or 'M'). Sizes of the A functions count bytes of
//   that code page, those of the W functions UTF-16 units; both count the terminating NUL. A
//   character the code page cannot hold becomes '?'. Size 0 returns the size needed; too small
//   a size fails with kErrInsufficientBuffer (the buffer's contents are then undefined), a
//   negative size or a null buffer with a size with kErrInvalidParameter. Failures return 0 and
//   set lastError(); a success leaves lastError() as it was.
//
// Pictures (GetDateFormat / GetTimeFormat notation; our own formatter, ICU never reads one)
//   Date: d dd (day), ddd dddd (abbreviated / full weekday; more than four d are dddd),
//   M MM (month), MMM MMMM (abbreviated / full month name; more than four M are MMMM; the full
//   name is the genitive form where the locale has one when the nearest day field before or
//   after it is d or dd, and the nominative when that field is a weekday or there is none),
//   y (the year within the century without a leading zero: 2002 gives 2, 2010 gives 10),
//   yy (two digits), yyy and more (the full year), g gg and more (the era text; nothing where
//   the calendar has none). In the Japanese and Taiwan calendars years count from the era:
//   y is the whole year and yy and more give at least two digits (平成 3: y 3, yy and yyyy 03;
//   民國 113: 113). Time letters in a date picture are literal text.
//   Time: h hh (1-12), H HH (0-23), m mm, s ss, t (first character of the AM/PM text),
//   tt (the whole text); more than two of one letter count as two. Date letters in a time
//   picture are literal text.
//   Quoting: text between single quotes is literal, '' inside quotes is one quote, '' outside
//   quotes is an empty quoted text, an unterminated quote runs to the end.
//   Time flags: TIME_NOSECONDS drops s/ss with the literal text back to the previous field and
//   the literal text after it up to a space or the next field; TIME_NOMINUTESORSECONDS the
//   same for minutes and seconds; TIME_NOTIMEMARKER drops t/tt with the literal text back to
//   the previous field and on to the next one; TIME_FORCE24HOURFORMAT reads h/hh as H/HH (a
//   marker stays unless TIME_NOTIMEMARKER drops it, and none is added).
//   Errors: a picture together with a DATE_* flag or LOCALE_NOUSEROVERRIDE, more than one of
//   DATE_SHORTDATE, DATE_LONGDATE, DATE_YEARMONTH, unknown flag bits, or an unknown LCTYPE:
//   kErrInvalidFlags. A date before 1601-01-01, after 30827, or not in the calendar (month 13,
//   30 February), a date before the first of an era calendar, a time field out of range, a
//   locale that cannot be resolved: kErrInvalidParameter. A wrong day of the week is
//   recomputed; GetDateFormat ignores the time fields, GetTimeFormat the date fields. A null
//   moment means the current local time. Without a picture GetDateFormat uses the short date
//   (DATE_SHORTDATE when no DATE_* flag is given), the long date or the year-month of the
//   call's calendar, GetTimeFormat the time format, each with the overrides above.
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

// LCTYPE values and modifiers of getLocaleInfo. Plain constants, not enumerations: calls
// combine them with the flags below (DATE_SHORTDATE | LOCALE_NOUSEROVERRIDE).
using LocaleType = uint32_t;
constexpr LocaleType kLocaleSDate = 0x001D;
constexpr LocaleType kLocaleSShortDate = 0x001F;
constexpr LocaleType kLocaleSLongDate = 0x0020;
constexpr LocaleType kLocaleS1159 = 0x0028;
constexpr LocaleType kLocaleS2359 = 0x0029;
constexpr LocaleType kLocaleSDayName1 = 0x002A;  // Monday; ...7 is Sunday
constexpr LocaleType kLocaleSAbbrevDayName1 = 0x0031;
constexpr LocaleType kLocaleSMonthName1 = 0x0038;  // January, nominative; ...12
constexpr LocaleType kLocaleSAbbrevMonthName1 = 0x0044;
constexpr LocaleType kLocaleSTimeFormat = 0x1003;
constexpr LocaleType kLocaleIDefaultAnsiCodePage = 0x1004;
constexpr LocaleType kLocaleSYearMonth = 0x1006;
constexpr LocaleType kLocaleICalendarType = 0x1009;
constexpr LocaleType kLocaleIOptionalCalendar = 0x100B;
constexpr LocaleType kLocaleSName = 0x005C;  // "ja-JP"

constexpr LocaleType kLocaleNoUserOverride = 0x80000000;
constexpr LocaleType kLocaleUseCpAcp = 0x40000000;

// Flags of getDateFormat.
using DateFlags = uint32_t;
constexpr DateFlags kDateShortDate = 0x01;
constexpr DateFlags kDateLongDate = 0x02;
constexpr DateFlags kDateYearMonth = 0x08;

// Flags of getTimeFormat.
using TimeFlags = uint32_t;
constexpr TimeFlags kTimeNoMinutesOrSeconds = 0x01;
constexpr TimeFlags kTimeNoSeconds = 0x02;
constexpr TimeFlags kTimeNoTimeMarker = 0x04;
constexpr TimeFlags kTimeForce24HourFormat = 0x08;

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
    uint16_t month;      // 1-12
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
