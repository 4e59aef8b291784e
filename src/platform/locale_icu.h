// Locale data from ICU, bound at run time: the part of the locale module that knows ICU.
//
// ICU is a data source only: day and month names, AM/PM and era texts, the Japanese emperor
// eras, and for locales without a row in the built-in table their date and time patterns,
// translated here into the original platform's picture notation. It never interprets a
// picture; the picture formatter is our own (locale_picture.h).
//
// Binding. libcgishare.so does not link ICU: a console page that formats no date, or only
// numbers, must not pay for loading it (ICU's libraries and their data are large). The first
// call that needs ICU opens libicuuc.so.NN and libicui18n.so.NN, NN being the major version of
// the headers we compile against, and looks up the versioned C entry points ("udat_open_72").
// The C API is stable across a major version, and the versioned names make a mismatch fail at
// the look-up instead of at a call. The handles stay open for the life of the process. When
// ICU cannot be loaded (or a look-up fails), available() is false for good and every function
// below answers "unknown"; the callers fall back to the built-in table.
//
// Caching. What is read for one locale is kept for the life of the process: the values never
// change while it runs, and reading them opens formatters that cost far more than a look-up.
// One mutex guards the cache and the binding; entries are never changed or freed once made,
// so the pointers handed out stay valid without the lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/locale.h"

namespace nvl::sys::icu {

// The names a picture or a locale query can ask for. Day arrays start with Sunday.
struct NameSet {
    std::u16string_view day[7];
    std::u16string_view abbrevDay[7];
    std::u16string_view month[12];          // nominative (ICU's stand-alone context)
    std::u16string_view monthGenitive[12];  // as inside a date (ICU's format context)
    std::u16string_view abbrevMonth[12];
};

// One locale as ICU has it, with its patterns already in picture notation.
struct LocaleData {
    std::string name;       // "it-IT"
    uint32_t codePage = 0;  // the original platform's ANSI code page for the language; 0: none
    std::u16string shortDate, dateSeparator, timeFormat, longDate, yearMonth;
    std::u16string am, pm, era;  // era: the Gregorian era of the present ("d.C.")
    NameSet names;

    // Storage behind `names`.
    std::u16string nameText[7 + 7 + 12 + 12 + 12];
};

// Whether ICU is loaded (loads it on the first call).
bool available();

// The data of a LANGID (sort bits and pseudo-LCIDs already resolved), or null when ICU is not
// available or does not know the LCID. Loads and caches it on first use.
const LocaleData* localeData(uint32_t langId);

// Whether ICU maps the LCID to a locale (without reading the locale's data).
bool knowsLcid(uint32_t langId);

// The Japanese emperor era of a Gregorian date, from Meiji on (the original platform has no
// earlier ones; Meiji counts from 1868-01-01 as there, where ICU starts it in September).
// False for a date before 1868. Era names and start dates come from ICU, so an era that a
// newer ICU adds is seen; without ICU, the built-in five (Meiji to Reiwa) serve.
bool japaneseEra(int year, int month, int day, int* eraYear, std::u16string_view* eraName);

// Translates an ICU (CLDR) date or time pattern into a picture: letters as in the original
// platform's notation where one exists (nearest where not, dropped where none: time zones,
// quarters, weeks, fractions), every year of a short date as yyyy, no-break spaces as spaces,
// literal text that holds ASCII letters or quotes quoted. Pure; exposed for tests.
std::u16string translatePattern(std::u16string_view pattern, bool shortDate);

// Makes available() false (true) from now on, as if ICU could not be loaded: for tests of the
// paths without ICU. Cached data is not handed out while disabled.
void setDisabledForTesting(bool disabled);

}  // namespace nvl::sys::icu
