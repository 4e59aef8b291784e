#include "platform/locale_icu.h"

#include <dlfcn.h>
#include <unicode/ucal.h>
#include <unicode/udat.h>
#include <unicode/udatpg.h>
#include <unicode/uloc.h>
#include <unicode/uvernum.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <span>
#include <unordered_map>
#include <vector>

#include "platform/locale_picture.h"

namespace nvl::sys::icu {

namespace {

#define NVL_ICU_STRINGIFY2(x) #x
#define NVL_ICU_STRINGIFY(x) NVL_ICU_STRINGIFY2(x)
// The versioned name of an entry point: udat_open is a macro for udat_open_72 in ICU's headers.
#define NVL_ICU_NAME(function) NVL_ICU_STRINGIFY(function)

constexpr const char* kUcLibrary = "libicuuc.so." NVL_ICU_STRINGIFY(U_ICU_VERSION_MAJOR_NUM);
constexpr const char* kI18nLibrary = "libicui18n.so." NVL_ICU_STRINGIFY(U_ICU_VERSION_MAJOR_NUM);

struct Api {
    decltype(&uloc_getLocaleForLCID) getLocaleForLcid = nullptr;
    decltype(&udat_open) datOpen = nullptr;
    decltype(&udat_close) datClose = nullptr;
    decltype(&udat_toPattern) datToPattern = nullptr;
    decltype(&udat_getSymbols) datGetSymbols = nullptr;
    decltype(&udatpg_open) pgOpen = nullptr;
    decltype(&udatpg_getBestPattern) pgBestPattern = nullptr;
    decltype(&udatpg_close) pgClose = nullptr;
    decltype(&ucal_open) calOpen = nullptr;
    decltype(&ucal_close) calClose = nullptr;
    decltype(&ucal_setMillis) calSetMillis = nullptr;
    decltype(&ucal_get) calGet = nullptr;
    decltype(&ucal_getLimit) calGetLimit = nullptr;
};

std::mutex g_mutex;  // guards everything below
Api g_api;
int g_state = 0;  // 0 not tried, 1 loaded, -1 not available
std::atomic<bool> g_disabled{false};
std::unordered_map<uint32_t, std::unique_ptr<LocaleData>> g_locales;  // null: ICU knows it not

template <typename Fn>
bool bind(void* handle, const char* name, Fn* out) {
    *out = reinterpret_cast<Fn>(::dlsym(handle, name));
    return *out != nullptr;
}

// Under g_mutex.
bool loadLocked() {
    if (g_state != 0)
        return g_state > 0;
    g_state = -1;
    void* uc = ::dlopen(kUcLibrary, RTLD_NOW | RTLD_LOCAL);
    void* i18n = uc != nullptr ? ::dlopen(kI18nLibrary, RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (i18n == nullptr)
        return false;  // the handle of uc stays: closing ICU is never safe once it ran
    Api api;
    bool ok = bind(uc, NVL_ICU_NAME(uloc_getLocaleForLCID), &api.getLocaleForLcid) &&
              bind(i18n, NVL_ICU_NAME(udat_open), &api.datOpen) &&
              bind(i18n, NVL_ICU_NAME(udat_close), &api.datClose) &&
              bind(i18n, NVL_ICU_NAME(udat_toPattern), &api.datToPattern) &&
              bind(i18n, NVL_ICU_NAME(udat_getSymbols), &api.datGetSymbols) &&
              bind(i18n, NVL_ICU_NAME(udatpg_open), &api.pgOpen) &&
              bind(i18n, NVL_ICU_NAME(udatpg_getBestPattern), &api.pgBestPattern) &&
              bind(i18n, NVL_ICU_NAME(udatpg_close), &api.pgClose) &&
              bind(i18n, NVL_ICU_NAME(ucal_open), &api.calOpen) &&
              bind(i18n, NVL_ICU_NAME(ucal_close), &api.calClose) &&
              bind(i18n, NVL_ICU_NAME(ucal_setMillis), &api.calSetMillis) &&
              bind(i18n, NVL_ICU_NAME(ucal_get), &api.calGet) &&
              bind(i18n, NVL_ICU_NAME(ucal_getLimit), &api.calGetLimit);
    if (!ok)
        return false;
    g_api = api;
    g_state = 1;
    return true;
}

// ICU's locale id of an LCID ("it_IT"); empty when ICU has none. Under g_mutex, ICU loaded.
std::string icuName(uint32_t langId) {
    char name[ULOC_FULLNAME_CAPACITY] = {};
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = g_api.getLocaleForLcid(langId, name, sizeof name - 1, &status);
    if (U_FAILURE(status) || n <= 0 || n >= static_cast<int32_t>(sizeof name))
        return {};
    std::string result(name, static_cast<size_t>(n));
    if (result == "root")  // what ICU answers for the pseudo-LCIDs and a few others
        return {};
    return result;
}

// --- Reading ICU ----------------------------------------------------------------------------

class DateFormat {
  public:
    DateFormat(UDateFormatStyle time, UDateFormatStyle date, const std::string& locale) {
        UErrorCode status = U_ZERO_ERROR;
        format_ = g_api.datOpen(time, date, locale.c_str(), u"UTC", -1, nullptr, -1, &status);
        if (U_FAILURE(status) && format_ != nullptr) {
            g_api.datClose(format_);
            format_ = nullptr;
        }
    }
    ~DateFormat() {
        if (format_ != nullptr)
            g_api.datClose(format_);
    }
    DateFormat(const DateFormat&) = delete;
    DateFormat& operator=(const DateFormat&) = delete;

    bool ok() const { return format_ != nullptr; }

    std::u16string pattern() const {
        char16_t buffer[256];
        UErrorCode status = U_ZERO_ERROR;
        int32_t n = g_api.datToPattern(format_, false, buffer, 256, &status);
        if (U_FAILURE(status) || n < 0 || n > 256)
            return {};
        return std::u16string(buffer, static_cast<size_t>(n));
    }

    std::u16string symbol(UDateFormatSymbolType type, int32_t index) const {
        char16_t buffer[128];
        UErrorCode status = U_ZERO_ERROR;
        int32_t n = g_api.datGetSymbols(format_, type, index, buffer, 128, &status);
        if (U_FAILURE(status) || n < 0 || n > 128)
            return {};
        return std::u16string(buffer, static_cast<size_t>(n));
    }

  private:
    UDateFormat* format_ = nullptr;
};

std::u16string bestPattern(const std::string& locale, const char16_t* skeleton) {
    UErrorCode status = U_ZERO_ERROR;
    UDateTimePatternGenerator* generator = g_api.pgOpen(locale.c_str(), &status);
    if (generator == nullptr)
        return {};
    char16_t buffer[256];
    int32_t n =
        U_SUCCESS(status) ? g_api.pgBestPattern(generator, skeleton, -1, buffer, 256, &status) : 0;
    g_api.pgClose(generator);
    if (U_FAILURE(status) || n <= 0 || n > 256)
        return {};
    return std::u16string(buffer, static_cast<size_t>(n));
}

// The original platform's ANSI code page of a language (ICU locale id "sr_Latn_CS"): the
// Latin languages of central Europe 1250, Cyrillic 1251, Greek 1253, Turkish and its
// neighbours 1254, Hebrew 1255, Arabic script 1256, Baltic 1257, Vietnamese 1258, Thai 874,
// the East Asian ones their double-byte pages, languages with scripts that no ANSI code page
// holds 0 ("Unicode only"), everything else 1252.
uint32_t codePageFor(std::string_view name) {
    std::string_view language = name.substr(0, name.find_first_of("_@"));
    std::string_view script;
    size_t underscore = name.find('_');
    if (underscore != std::string_view::npos && name.size() >= underscore + 5 &&
        (name.size() == underscore + 5 || name[underscore + 5] == '_' ||
         name[underscore + 5] == '@')) {
        script = name.substr(underscore + 1, 4);
    }
    auto in = [&](std::initializer_list<std::string_view> list) {
        for (std::string_view item : list) {
            if (item == language)
                return true;
        }
        return false;
    };
    if (language == "zh")
        return script == "Hant" || name.find("_TW") != std::string_view::npos ||
                       name.find("_HK") != std::string_view::npos ||
                       name.find("_MO") != std::string_view::npos
                   ? 950
                   : 936;
    if (language == "ja")
        return 932;
    if (language == "ko")
        return 949;
    if (in({"sr", "bs", "az", "uz"}) && script == "Cyrl")
        return 1251;
    if (in({"sr"}) && script.empty())
        return 1251;
    if (in({"cs", "hu", "pl", "ro", "sk", "sl", "sq", "hr", "bs", "sr", "tk", "hsb", "dsb"}))
        return 1250;
    if (in({"ru", "uk", "be", "bg", "mk", "kk", "ky", "tt", "mn", "ba", "sah", "tg", "cv"}))
        return 1251;
    if (language == "el")
        return 1253;
    if (in({"tr", "az", "uz"}))
        return 1254;
    if (in({"he", "yi"}))
        return 1255;
    if (in({"ar", "fa", "ur", "ps", "ug", "sd", "ckb", "prs"}))
        return 1256;
    if (in({"et", "lv", "lt"}))
        return 1257;
    if (language == "vi")
        return 1258;
    if (language == "th")
        return 874;
    if (in({"hi", "mr", "sa",  "kok", "bn", "pa", "gu", "or",  "ta",  "te", "kn",
            "ml", "as", "si",  "ne",  "km", "lo", "am", "hy",  "ka",  "dv", "syr",
            "bo", "iu", "chr", "ti",  "my", "dz", "ii", "brx", "mni", "sat"}))
        return 0;
    return 1252;
}

// Under g_mutex, ICU loaded. Null when ICU does not know the LCID.
std::unique_ptr<LocaleData> readLocale(uint32_t langId) {
    std::string name = icuName(langId);
    if (name.empty())
        return nullptr;
    std::string locale =
        name + (name.find('@') == std::string::npos ? "@" : ";") + "calendar=gregorian";
    DateFormat shortDate(UDAT_NONE, UDAT_SHORT, locale);
    DateFormat fullDate(UDAT_NONE, UDAT_FULL, locale);
    DateFormat mediumTime(UDAT_MEDIUM, UDAT_NONE, locale);
    if (!shortDate.ok() || !fullDate.ok() || !mediumTime.ok())
        return nullptr;

    auto data = std::make_unique<LocaleData>();
    data->name = name.substr(0, name.find('@'));
    for (char& c : data->name) {
        if (c == '_')
            c = '-';
    }
    data->codePage = codePageFor(name);
    data->shortDate = translatePattern(shortDate.pattern(), true);
    data->timeFormat = translatePattern(mediumTime.pattern(), false);
    data->longDate = translatePattern(fullDate.pattern(), false);
    data->yearMonth = translatePattern(bestPattern(locale, u"yMMMM"), false);
    if (data->yearMonth.empty())
        data->yearMonth = u"MMMM yyyy";
    data->am = shortDate.symbol(UDAT_AM_PMS, 0);
    data->pm = shortDate.symbol(UDAT_AM_PMS, 1);
    data->era = shortDate.symbol(UDAT_ERAS, 1);

    char16_t separator[3];
    data->dateSeparator = picture::dateSeparator(data->shortDate, separator, 3);
    if (data->dateSeparator.empty())
        data->dateSeparator = u"/";

    // Names. Stand-alone forms are the nominative ones the original returns; format forms
    // of the month are the genitive ones it puts next to a day number.
    std::u16string* text = data->nameText;
    auto keep = [&](std::u16string value) -> std::u16string_view {
        *text = std::move(value);
        return *text++;
    };
    for (int i = 0; i < 7; ++i) {
        data->names.day[i] = keep(shortDate.symbol(UDAT_STANDALONE_WEEKDAYS, i + 1));
        data->names.abbrevDay[i] = keep(shortDate.symbol(UDAT_STANDALONE_SHORT_WEEKDAYS, i + 1));
    }
    for (int i = 0; i < 12; ++i) {
        data->names.month[i] = keep(shortDate.symbol(UDAT_STANDALONE_MONTHS, i));
        data->names.monthGenitive[i] = keep(shortDate.symbol(UDAT_MONTHS, i));
        data->names.abbrevMonth[i] = keep(shortDate.symbol(UDAT_STANDALONE_SHORT_MONTHS, i));
    }
    return data;
}

// --- Japanese eras --------------------------------------------------------------------------

struct Era {
    int32_t startDay;  // days since 1970-01-01
    int32_t startYear;
    std::u16string_view name;
};

constexpr int32_t daysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    int era = (y >= 0 ? y : y - 399) / 400;
    int yoe = y - era * 400;
    int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int yearOfDay(int32_t day) {
    day += 719468;
    int era = (day >= 0 ? day : day - 146096) / 146097;
    int doe = day - era * 146097;
    int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int mp = (5 * doy + 2) / 153;
    int month = mp < 10 ? mp + 3 : mp - 9;
    return yoe + era * 400 + (month <= 2);
}

constexpr Era kBuiltInEras[] = {
    {daysFromCivil(1868, 1, 1), 1868, u"明治"},   {daysFromCivil(1912, 7, 30), 1912, u"大正"},
    {daysFromCivil(1926, 12, 25), 1926, u"昭和"}, {daysFromCivil(1989, 1, 8), 1989, u"平成"},
    {daysFromCivil(2019, 5, 1), 2019, u"令和"},
};

// The eras read from ICU, once; their names live in g_eraNames.
std::vector<Era> g_eras;
std::vector<std::u16string> g_eraNames;

// Reads the eras into g_eras and g_eraNames; false when ICU does not give them. Under g_mutex,
// ICU loaded.
bool readEras() {
    const char* locale = "ja_JP@calendar=japanese";
    UErrorCode status = U_ZERO_ERROR;
    UCalendar* calendar = g_api.calOpen(u"UTC", -1, locale, UCAL_TRADITIONAL, &status);
    if (calendar == nullptr)
        return false;
    DateFormat format(UDAT_NONE, UDAT_SHORT, locale);
    std::vector<Era> eras;
    std::vector<std::u16string> names;
    auto eraOf = [&](int32_t day) {
        UErrorCode s = U_ZERO_ERROR;
        g_api.calSetMillis(calendar, (static_cast<double>(day) + 0.5) * 86400000.0, &s);
        int32_t era = g_api.calGet(calendar, UCAL_ERA, &s);
        return U_SUCCESS(s) ? era : -1;
    };
    int32_t meiji = eraOf(daysFromCivil(1900, 1, 1));
    int32_t last = g_api.calGetLimit(calendar, UCAL_ERA, UCAL_MAXIMUM, &status);
    if (U_SUCCESS(status) && format.ok() && meiji > 0 && last >= meiji && last - meiji < 100) {
        eras.push_back({daysFromCivil(1868, 1, 1), 1868, {}});
        names.push_back(format.symbol(UDAT_ERAS, meiji));
        int32_t low = daysFromCivil(1900, 1, 1);
        const int32_t limit = daysFromCivil(2999, 12, 31);
        for (int32_t era = meiji + 1; era <= last; ++era) {
            if (eraOf(limit) < era)
                break;             // an era ICU lists but that starts at no date we format
            int32_t high = limit;  // first day of `era` lies in (low, high]
            while (high - low > 1) {
                int32_t mid = low + (high - low) / 2;
                (eraOf(mid) >= era ? high : low) = mid;
            }
            eras.push_back({high, yearOfDay(high), {}});
            names.push_back(format.symbol(UDAT_ERAS, era));
            low = high;
        }
    }
    g_api.calClose(calendar);
    for (const std::u16string& name : names) {
        if (name.empty())
            return false;
    }
    g_eraNames = std::move(names);
    for (size_t i = 0; i < eras.size(); ++i)
        eras[i].name = g_eraNames[i];
    g_eras = std::move(eras);
    return !g_eras.empty();
}

// The eras to use: ICU's when it gives them, else the built-in ones.
std::span<const Era> eras() {
    static std::once_flag once;
    static bool fromIcu = false;
    if (!g_disabled.load(std::memory_order_relaxed)) {
        std::call_once(once, [] {
            std::lock_guard<std::mutex> lock(g_mutex);
            fromIcu = loadLocked() && readEras();
        });
        if (fromIcu)
            return {g_eras.data(), g_eras.size()};
    }
    return {kBuiltInEras, std::size(kBuiltInEras)};
}

// --- Pattern translation --------------------------------------------------------------------

struct Piece {
    bool field;
    char16_t letter;  // a field's picture letter
    int count;
    std::u16string text;  // a literal's text
};

bool isAsciiLetter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// The picture field for an ICU field; false when the picture notation has none.
bool mapField(char16_t letter, int count, bool shortDate, char16_t* out, int* outCount) {
    auto set = [&](char16_t l, int n) {
        *out = l;
        *outCount = n;
        return true;
    };
    switch (letter) {
        case u'G':
            return set(u'g', 2);
        case u'y':
        case u'Y':
        case u'u':
        case u'U':
        case u'r':
            return set(u'y', !shortDate && count == 2 ? 2 : 4);
        case u'M':
        case u'L':
            return set(u'M', count <= 2 ? count : count == 4 ? 4 : 3);
        case u'd':
            return set(u'd', count > 2 ? 2 : count);
        case u'E':
            return set(u'd', count == 4 ? 4 : 3);
        case u'c':
        case u'e':
            if (count <= 2)
                return false;  // a weekday number
            return set(u'd', count == 4 ? 4 : 3);
        case u'a':
        case u'b':
        case u'B':
            return set(u't', 2);
        case u'h':
        case u'K':  // 0-11: the nearest the notation has
            return set(u'h', count > 2 ? 2 : count);
        case u'H':
        case u'k':  // 1-24
            return set(u'H', count > 2 ? 2 : count);
        case u'm':
        case u's':
            return set(letter, count > 2 ? 2 : count);
        default:
            return false;
    }
}

}  // namespace

std::u16string translatePattern(std::u16string_view pattern, bool shortDate) {
    std::vector<Piece> pieces;
    auto literal = [&](char16_t c) {
        if (c == 0x00A0 || c == 0x202F)
            c = u' ';
        if (pieces.empty() || pieces.back().field)
            pieces.push_back({false, 0, 0, {}});
        pieces.back().text += c;
    };
    for (size_t i = 0; i < pattern.size();) {
        char16_t c = pattern[i];
        if (c == u'\'') {
            if (i + 1 < pattern.size() && pattern[i + 1] == u'\'') {  // '' is a quote
                literal(c);
                i += 2;
                continue;
            }
            for (++i; i < pattern.size(); ++i) {
                if (pattern[i] == u'\'') {
                    if (i + 1 < pattern.size() && pattern[i + 1] == u'\'') {
                        literal(u'\'');
                        ++i;
                        continue;
                    }
                    ++i;
                    break;
                }
                literal(pattern[i]);
            }
            continue;
        }
        if (!isAsciiLetter(c)) {
            literal(c);
            ++i;
            continue;
        }
        size_t run = i;
        while (run < pattern.size() && pattern[run] == c)
            ++run;
        int count = static_cast<int>(run - i);
        Piece piece{true, 0, 0, {}};
        if (mapField(c, count, shortDate, &piece.letter, &piece.count)) {
            pieces.push_back(piece);
        } else {
            // A field the notation cannot show goes with the separator that joins it to
            // the text before it, or when it comes first, to the text after it.
            bool fieldBefore = false;
            for (const Piece& p : pieces)
                fieldBefore = fieldBefore || p.field;
            if (fieldBefore) {
                if (!pieces.empty() && !pieces.back().field)
                    pieces.pop_back();
            } else {
                pieces.clear();
                while (run < pattern.size() && !isAsciiLetter(pattern[run]) &&
                       pattern[run] != u'\'')
                    ++run;
            }
        }
        i = run;
    }

    std::u16string out;
    for (const Piece& piece : pieces) {
        if (piece.field) {
            out.append(static_cast<size_t>(piece.count), piece.letter);
            continue;
        }
        // A word that holds ASCII letters or quotes goes in quotes (from its first such
        // character, with the other letters of the word: "'năm'"); the rest stays as it is.
        bool quoted = false;
        for (char16_t c : piece.text) {
            bool special = isAsciiLetter(c) || c == u'\'' || (quoted && c >= 0x80);
            if (special != quoted) {
                out += u'\'';
                quoted = special;
            }
            out += c;
            if (c == u'\'')
                out += c;
        }
        if (quoted)
            out += u'\'';
    }
    return out;
}

bool available() {
    if (g_disabled.load(std::memory_order_relaxed))
        return false;
    std::lock_guard<std::mutex> lock(g_mutex);
    return loadLocked();
}

bool knowsLcid(uint32_t langId) {
    if (g_disabled.load(std::memory_order_relaxed))
        return false;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!loadLocked())
        return false;
    auto it = g_locales.find(langId);
    if (it != g_locales.end())
        return it->second != nullptr;
    return !icuName(langId).empty();
}

const LocaleData* localeData(uint32_t langId) {
    if (g_disabled.load(std::memory_order_relaxed))
        return nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!loadLocked())
        return nullptr;
    auto it = g_locales.find(langId);
    if (it == g_locales.end())
        it = g_locales.emplace(langId, readLocale(langId)).first;
    return it->second.get();
}

bool japaneseEra(int year, int month, int day, int* eraYear, std::u16string_view* eraName) {
    std::span<const Era> list = eras();
    int32_t when = daysFromCivil(year, month, day);
    for (size_t i = list.size(); i-- > 0;) {
        if (when >= list[i].startDay) {
            *eraYear = year - list[i].startYear + 1;
            *eraName = list[i].name;
            return true;
        }
    }
    return false;
}

void setDisabledForTesting(bool disabled) {
    g_disabled.store(disabled);
}

}  // namespace nvl::sys::icu
