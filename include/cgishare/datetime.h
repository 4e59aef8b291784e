// Date and time texts for display.
//
// The console shows every moment one way, whatever the language of the machine: the date with a
// four-digit year, one space, the time in 24-hour form without an AM/PM marker ("8/31/2006
// 9:41:07" in en-US, "2006/08/31 9:41:07" in ja-JP), or in the date and time pictures the
// administrator configured for the console. A moment comes as a time_t, as the decimal text of
// one, as a struct tm or as a SYSTEMTIME; the texts are narrow in the ANSI code page, or UTF-16
// (char16_t) in the W forms.
//
// Format flags (formatFlags): DTFMT_DATE and DTFMT_TIME choose the parts; DTFMT_CUSTOM uses
// the custom pictures where they are non-empty. Locale flags (localeFlags): DTLOC_DMY takes the
// fixed picture d/M/yyyy instead of the locale's short date (Gregorian calendars only);
// DTLOC_SYSTEM takes the system locale and its own settings, ignoring the user's overrides,
// instead of the calling thread's locale. Other bits have no effect. 129 (0x81: DTLOC_SYSTEM and
// a bit without effect) is the library's standard choice of localeFlags, the one the _c forms
// pass.
//
// Pictures use the notation of the platform's date and time formatting (d, dd, M, MM, yyyy, H,
// HH, h, mm, ss, text in single quotes); see src/platform/locale.h. The short date of a
// Gregorian locale has its year widened to four digits (d/M/yy becomes d/M/yyyy); a short date
// without a year gets the year in front, with the locale's date separator (dd.MM becomes
// yyyy.dd.MM). Era calendars keep the locale's own short date.
//
// Sizes count characters of the output (bytes for narrow text, UTF-16 units for wide text),
// the terminating NUL included. A text that does not fit is cut at a character boundary and
// always ends with a NUL. A null output, a size of 0 or below, or a null moment does nothing;
// a moment that cannot be shown (a negative time_t, one beyond what the C library's localtime
// takes, or a struct tm whose fields do not fit a SYSTEMTIME) gives the empty text. A part the
// locale cannot format (a date before 1601, a time field out of range) is left empty.
//
// The custom pictures are process-wide (127 bytes each, ANSI code page), empty at start, set by
// the setters or from the server's registry. Setting them while other threads format is safe:
// every text is made with either the old or the new picture, never a mixture.
#pragma once

#include <cgishare/export.h>

#include <time.h>
#include <cstdint>

// The original platform's SYSTEMTIME.
struct SYSTEMTIME {
    uint16_t wYear;
    uint16_t wMonth;      // 1-12
    uint16_t wDayOfWeek;  // 0 = Sunday; not read when formatting
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};

// formatFlags.
inline constexpr int DTFMT_DATE = 0x01;
inline constexpr int DTFMT_TIME = 0x02;
inline constexpr int DTFMT_CUSTOM = 0x80;
// localeFlags.
inline constexpr int DTLOC_DMY = 0x02;
inline constexpr int DTLOC_SYSTEM = 0x80;

// --- The date and time of a moment ----------------------------------------------------------
// The decimal text is read as atoi reads (leading blanks, one sign, digits up to the first
// non-digit) but in 64 bits, so moments after 2038 are read right; a number beyond 64 bits
// gives the empty text.

CGISHARE_API void _hlGetDateTimeStringA(long t, char* out, int size, int formatFlags,
                                        int localeFlags);
CGISHARE_API void _hlGetDateTimeStringA(const char* t, char* out, int size, int formatFlags,
                                        int localeFlags);
CGISHARE_API void _hlGetDateTimeStringA(const tm* t, char* out, int size, int formatFlags,
                                        int localeFlags);
CGISHARE_API void _hlGetDateTimeStringA(const SYSTEMTIME* t, char* out, int size, int formatFlags,
                                        int localeFlags);

CGISHARE_API void _hlGetDateTimeStringW(long t, char16_t* out, int size, int formatFlags,
                                        int localeFlags);
CGISHARE_API void _hlGetDateTimeStringW(const char16_t* t, char16_t* out, int size, int formatFlags,
                                        int localeFlags);
CGISHARE_API void _hlGetDateTimeStringW(const tm* t, char16_t* out, int size, int formatFlags,
                                        int localeFlags);
CGISHARE_API void _hlGetDateTimeStringW(const SYSTEMTIME* t, char16_t* out, int size,
                                        int formatFlags, int localeFlags);

// --- The pictures ---------------------------------------------------------------------------
// The locale's short date (year widened as above; the custom picture and DTLOC_DMY take no
// part) and its time format (as the locale has it).

CGISHARE_API void _hlGetDateFormatA(char* out, int size, int localeFlags);
CGISHARE_API void _hlGetDateFormatW(char16_t* out, int size, int localeFlags);
CGISHARE_API void _hlGetTimeFormatA(char* out, int size, int localeFlags);
CGISHARE_API void _hlGetTimeFormatW(char16_t* out, int size, int localeFlags);

// --- The custom pictures --------------------------------------------------------------------
// A null picture changes nothing; a longer one keeps its first 127 bytes (whole characters).
// The W setters convert to the ANSI code page, composing a letter and a following combining
// mark into the precomposed letter where the code page has one.

CGISHARE_API void _hlSetDateFormatA(char* format);
CGISHARE_API void _hlSetDateFormatW(char16_t* format);
CGISHARE_API void _hlSetTimeFormatA(char* format);
CGISHARE_API void _hlSetTimeFormatW(char16_t* format);

// Loads both custom pictures from the values FmtDate and FmtTime (text) under
// HKEY_LOCAL_MACHINE\SOFTWARE\HaldenLabs\Norvel\service\Console, read afresh at each call. A
// missing key changes nothing. A missing value, one of another type, one that is not valid
// text, or one of 128 bytes or more in the ANSI code page empties its picture; a value that is
// read keeps its first 63 bytes (whole characters).
CGISHARE_API void hlGetCustomFormatFromServerRegistry();

// Additions for the console's pages: the custom date or time picture in use into `out`
// (capacity `size` bytes, NUL included, cut at a character boundary), the empty text when none
// is set. A null output or a size of 0 or below does nothing.
CGISHARE_API void hlGetCustomDateFormatA(char* out, int size);
CGISHARE_API void hlGetCustomTimeFormatA(char* out, int size);

// --- Plain-linkage entry points ---------------------------------------------------------------
extern "C" {

CGISHARE_API void __hlGetDateTimeStringA_t(long t, char* out, int size, int formatFlags,
                                           int localeFlags);
CGISHARE_API void __hlGetDateTimeStringA_tstr(const char* t, char* out, int size, int formatFlags,
                                              int localeFlags);
CGISHARE_API void __hlGetDateTimeStringA_tm(const tm* t, char* out, int size, int formatFlags,
                                            int localeFlags);
CGISHARE_API void __hlGetDateTimeStringA_syst(const SYSTEMTIME* t, char* out, int size,
                                              int formatFlags, int localeFlags);
CGISHARE_API void __hlGetDateTimeStringW_t(long t, char16_t* out, int size, int formatFlags,
                                           int localeFlags);
CGISHARE_API void __hlGetDateTimeStringW_tstr(const char16_t* t, char16_t* out, int size,
                                              int formatFlags, int localeFlags);
CGISHARE_API void __hlGetDateTimeStringW_tm(const tm* t, char16_t* out, int size, int formatFlags,
                                            int localeFlags);
CGISHARE_API void __hlGetDateTimeStringW_syst(const SYSTEMTIME* t, char16_t* out, int size,
                                              int formatFlags, int localeFlags);

// The pictures with localeFlags 129.
CGISHARE_API void __hlGetDateFormatA_c(char* out, int size);
CGISHARE_API void __hlGetDateFormatW_c(char16_t* out, int size);
CGISHARE_API void __hlGetTimeFormatA_c(char* out, int size);
CGISHARE_API void __hlGetTimeFormatW_c(char16_t* out, int size);

CGISHARE_API void __hlSetDateFormatA(char* format);
CGISHARE_API void __hlSetDateFormatW(char16_t* format);
CGISHARE_API void __hlSetTimeFormatA(char* format);
CGISHARE_API void __hlSetTimeFormatW(char16_t* format);

}  // extern "C"
