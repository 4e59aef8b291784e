#include "platform/locale.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <ctime>
#include <optional>
#include <string_view>

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/locale_icu.h"
#include "platform/locale_picture.h"
#include "platform/registry.h"

namespace nvl::sys {

namespace {

using picture::Text;

// --- The built-in table ---------------------------------------------------------------------

struct CalendarRow {
    uint32_t id;  // 0: none
    const char16_t* shortDate;
    const char16_t* longDate;
    const char16_t* yearMonth;
    const char16_t* era;  // null: the Japanese emperor era of the date
};

struct TableRow {
    uint16_t langId;
    const char* name;
    uint16_t codePage;
    const char16_t* dateSeparator;
    const char16_t* timeFormat;
    const char16_t* am;
    const char16_t* pm;
    bool englishNames;         // built in, ICU not needed
    bool numericAbbrevMonths;  // abbreviated months are "1" to "12"
    CalendarRow gregorian;
    CalendarRow optional;
};

// clang-format off
constexpr TableRow kTable[] = {
    {0x0409, "en-US", 1252, u"/", u"h:mm:ss tt", u"AM", u"PM", true, false,
     {kCalGregorian, u"M/d/yyyy", u"dddd, MMMM d, yyyy", u"MMMM yyyy", u"A.D."},
     {kCalGregorianUs, u"M/d/yyyy", u"dddd, MMMM d, yyyy", u"MMMM yyyy", u"A.D."}},
    {0x0809, "en-GB", 1252, u"/", u"HH:mm:ss", u"AM", u"PM", true, false,
     {kCalGregorian, u"dd/MM/yyyy", u"dd MMMM yyyy", u"MMMM yyyy", u"A.D."},
     {}},
    {0x0411, "ja-JP", 932, u"/", u"H:mm:ss", u"午前", u"午後", false, true,
     {kCalGregorian, u"yyyy/MM/dd", u"yyyy'年'M'月'd'日'", u"yyyy'年'M'月'", u"西暦"},
     {kCalJapan, u"gg y/M/d", u"gg y'年'M'月'd'日'", u"gg y'年'M'月'", nullptr}},
    {0x0404, "zh-TW", 950, u"/", u"tt hh:mm:ss", u"上午", u"下午", false, false,
     {kCalGregorian, u"yyyy/M/d", u"yyyy'年'M'月'd'日'", u"yyyy'年'M'月'", u"西元"},
     {kCalTaiwan, u"yyyy/M/d", u"yyyy'年'M'月'd'日'", u"yyyy'年'M'月'", u"中華民國"}},
    {0x0804, "zh-CN", 936, u"/", u"H:mm:ss", u"上午", u"下午", false, false,
     {kCalGregorian, u"yyyy/M/d", u"yyyy'年'M'月'd'日'", u"yyyy'年'M'月'", u"公元"},
     {}},
    {0x0412, "ko-KR", 949, u"-", u"tt h:mm:ss", u"오전", u"오후", false, true,
     {kCalGregorian, u"yyyy-MM-dd", u"yyyy'년' M'월' d'일' dddd", u"yyyy'년' M'월'", u"서기"},
     {kCalKorea, u"gg yyyy-MM-dd", u"gg yyyy'년' M'월' d'일' dddd", u"gg yyyy'년' M'월'",
      u"단기"}},
    {0x0407, "de-DE", 1252, u".", u"HH:mm:ss", u"", u"", false, false,
     {kCalGregorian, u"dd.MM.yyyy", u"dddd, d. MMMM yyyy", u"MMMM yyyy", u"n. Chr."},
     {}},
    {0x040C, "fr-FR", 1252, u"/", u"HH:mm:ss", u"", u"", false, false,
     {kCalGregorian, u"dd/MM/yyyy", u"dddd d MMMM yyyy", u"MMMM yyyy", u"ap. J.-C."},
     {}},
    {0x007F, "", 1252, u"/", u"HH:mm:ss", u"AM", u"PM", true, false,
     {kCalGregorian, u"MM/dd/yyyy", u"dddd, dd MMMM yyyy", u"yyyy MMMM", u"A.D."},
     {}},
};
// clang-format on

const TableRow* findRow(uint32_t langId) {
    for (const TableRow& row : kTable) {
        if (row.langId == langId)
            return &row;
    }
    return nullptr;
}

constexpr icu::NameSet kEnglishNames = {
    {u"Sunday", u"Monday", u"Tuesday", u"Wednesday", u"Thursday", u"Friday", u"Saturday"},
    {u"Sun", u"Mon", u"Tue", u"Wed", u"Thu", u"Fri", u"Sat"},
    {u"January", u"February", u"March", u"April", u"May", u"June", u"July", u"August", u"September",
     u"October", u"November", u"December"},
    {u"January", u"February", u"March", u"April", u"May", u"June", u"July", u"August", u"September",
     u"October", u"November", u"December"},
    {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun", u"Jul", u"Aug", u"Sep", u"Oct", u"Nov",
     u"Dec"},
};

constexpr std::u16string_view kMonthNumbers[12] = {u"1", u"2", u"3", u"4",  u"5",  u"6",
                                                   u"7", u"8", u"9", u"10", u"11", u"12"};

// --- Which locale ---------------------------------------------------------------------------

constexpr std::string_view kNlsLocaleKey = "SYSTEM\\CurrentControlSet\\Control\\Nls\\Locale";
constexpr std::string_view kInternationalKey = "Control Panel\\International";

std::atomic<uint32_t> g_systemLcid{0};  // 0: not read yet
std::atomic<uint32_t> g_userLcid{0};
thread_local Lcid t_threadLcid = 0;  // 0: follows the user locale

bool isPseudo(uint32_t langId) {
    return langId == kLocaleNeutral || langId == kLocaleUserDefault ||
           langId == kLocaleSystemDefault || langId == kLocaleCustomDefault ||
           langId == kLocaleCustomUiDefault || langId == 0x1000;  // LOCALE_CUSTOM_UNSPECIFIED
}

// The LANGID of a real (non-pseudo) LCID: sort bits dropped, a language without a sublanguage
// given its default one. 0 for bits above the sort version.
uint32_t baseLangId(Lcid lcid) {
    if ((lcid & 0xFF000000u) != 0)
        return 0;
    uint32_t langId = lcid & 0xFFFF;
    if (langId != kLocaleInvariant && langId != 0 && (langId & 0xFC00) == 0)
        langId = langId == 0x0004 ? 0x0804 : (langId | 0x0400);  // Chinese: simplified
    return langId;
}

bool knownLangId(uint32_t langId) {
    return langId != 0 && !isPseudo(langId) &&
           (findRow(langId) != nullptr || icu::knowsLcid(langId));
}

// A registry value naming an LCID ("00000411"): the LCID, or 0 when absent or garbage.
Lcid readLcidValue(RegHive hive, std::string_view key, std::string_view name) {
    RegValue value;
    if (RegistryKey::getValue(hive, key, name, &value) != kSuccess || value.type != kRegSz ||
        value.data.empty() || value.data.size() > 8)
        return 0;
    uint32_t lcid = 0;
    for (char c : value.data) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0)
            return 0;
        lcid = lcid << 4 | static_cast<uint32_t>(digit);
    }
    return knownLangId(baseLangId(lcid)) ? lcid : 0;
}

// Resolves pseudo-LCIDs; 0 when `lcid` names nothing known. `row`: the table row, if any.
uint32_t resolveLangId(Lcid lcid, const TableRow** row = nullptr) {
    uint32_t low = lcid & 0xFFFF;
    if ((lcid & 0xFFFF0000u) == 0 && isPseudo(low)) {
        if (low == 0x1000)
            return 0;
        lcid = low == kLocaleSystemDefault ? systemDefaultLcid() : userDefaultLcid();
    }
    uint32_t langId = baseLangId(lcid);
    const TableRow* found = findRow(langId);
    if (row != nullptr)
        *row = found;
    if (found != nullptr)
        return langId;
    return langId != 0 && !isPseudo(langId) && icu::knowsLcid(langId) ? langId : 0;
}

// --- One resolved locale --------------------------------------------------------------------

struct Locale {
    uint32_t langId = 0;
    const TableRow* row = nullptr;
    const icu::LocaleData* icu = nullptr;  // locales without a table row
    bool overrides = false;                // the user's overrides apply to this call

    const CalendarRow& calendarRow(uint32_t calendar) const {
        return calendar == row->optional.id && calendar != 0 ? row->optional : row->gregorian;
    }
    bool hasCalendar(uint32_t calendar) const {
        return calendar == kCalGregorian || (row != nullptr && row->optional.id == calendar);
    }
    uint32_t codePage() const { return row != nullptr ? row->codePage : icu->codePage; }
    std::u16string_view shortDate(uint32_t calendar) const {
        return row != nullptr ? calendarRow(calendar).shortDate : view(icu->shortDate);
    }
    std::u16string_view longDate(uint32_t calendar) const {
        return row != nullptr ? calendarRow(calendar).longDate : view(icu->longDate);
    }
    std::u16string_view yearMonth(uint32_t calendar) const {
        return row != nullptr ? calendarRow(calendar).yearMonth : view(icu->yearMonth);
    }
    std::u16string_view dateSeparator() const {
        return row != nullptr ? row->dateSeparator : view(icu->dateSeparator);
    }
    std::u16string_view timeFormat() const {
        return row != nullptr ? row->timeFormat : view(icu->timeFormat);
    }
    std::u16string_view am() const { return row != nullptr ? row->am : view(icu->am); }
    std::u16string_view pm() const { return row != nullptr ? row->pm : view(icu->pm); }

  private:
    // Both arms of a conditional as views: a std::u16string arm would turn a table literal
    // into a temporary string.
    static std::u16string_view view(const std::u16string& text) { return text; }
};

bool isUserLocale(uint32_t langId) {
    return baseLangId(userDefaultLcid()) == langId;
}

bool openLocale(Lcid lcid, uint32_t flags, Locale* out) {
    uint32_t langId = resolveLangId(lcid, &out->row);
    if (langId == 0)
        return false;
    out->langId = langId;
    if (out->row == nullptr) {
        out->icu = icu::localeData(langId);
        if (out->icu == nullptr)
            return false;
    }
    // LOCALE_SYSTEM_DEFAULT names the system's settings: the user's overrides never apply to
    // it, also when the user locale is the same locale.
    out->overrides = (flags & kLocaleNoUserOverride) == 0 &&
                     (lcid & 0xFFFF) != kLocaleSystemDefault && isUserLocale(langId);
    return true;
}

// The names of a locale in a calendar; the Gregorian calendar with English texts and the
// English table locales have them built in, the others ask ICU on first need.
class LocaleNames final : public picture::NameSource {
  public:
    LocaleNames(const Locale& locale, uint32_t calendar) : locale_(locale), calendar_(calendar) {}

    const icu::NameSet* names() override {
        if (calendar_ == kCalGregorianUs || (locale_.row != nullptr && locale_.row->englishNames))
            return &kEnglishNames;
        const icu::LocaleData* data =
            locale_.icu != nullptr ? locale_.icu : icu::localeData(locale_.langId);
        bool numeric = locale_.row != nullptr && locale_.row->numericAbbrevMonths;
        if (data == nullptr && !numeric)
            return nullptr;
        icu::NameSet& set = set_.emplace(data != nullptr ? data->names : icu::NameSet{});
        if (numeric) {
            for (int i = 0; i < 12; ++i)
                set.abbrevMonth[i] = kMonthNumbers[i];
        }
        return &set;
    }

  private:
    const Locale& locale_;
    uint32_t calendar_;
    std::optional<icu::NameSet> set_;  // made only when names are asked for
};

// --- User overrides -------------------------------------------------------------------------

// Limits of the original platform's values, terminator excluded.
constexpr size_t kMaxPicture = 79;
constexpr size_t kMaxSeparator = 3;

// A text override: false when absent, of another type than REG_SZ, empty, too long, or
// holding control characters or bytes that are not UTF-8.
bool readTextOverride(std::string_view name, size_t maxUnits, char16_t* buffer, size_t* length) {
    RegValue value;
    if (RegistryKey::getValue(RegHive::CurrentUser, kInternationalKey, name, &value) != kSuccess ||
        value.type != kRegSz || value.data.empty() || value.data.size() > maxUnits * 4)
        return false;
    ConvertResult r = decodeSome(kCodePageUtf8, value.data, buffer, maxUnits);
    if (r.read != value.data.size())
        return false;
    for (size_t i = 0; i < r.written; ++i) {
        if (buffer[i] < 0x20 || buffer[i] == 0x7F || buffer[i] == 0xFFFD)
            return false;
    }
    *length = r.written;
    return true;
}

// The calendar of a call: the user's iCalendarType when overrides apply and it names a
// calendar of the locale, else the locale's own (Gregorian for every locale here).
uint32_t calendarOf(const Locale& locale) {
    if (!locale.overrides)
        return kCalGregorian;
    char16_t text[4];
    size_t length = 0;
    if (!readTextOverride("iCalendarType", 2, text, &length))
        return kCalGregorian;
    uint32_t calendar = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < u'0' || text[i] > u'9')
            return kCalGregorian;
        calendar = calendar * 10 + (text[i] - u'0');
    }
    return locale.hasCalendar(calendar) ? calendar : kCalGregorian;
}

// A value with room for an override or a number; `text` points into `buffer` or at data that
// lives as long as the process.
struct Value {
    char16_t buffer[kMaxPicture + 1];
    std::u16string_view text;

    void number(uint32_t n) {
        size_t i = sizeof buffer / sizeof buffer[0];
        do {
            buffer[--i] = static_cast<char16_t>(u'0' + n % 10);
            n /= 10;
        } while (n != 0);
        text = std::u16string_view(buffer + i, sizeof buffer / sizeof buffer[0] - i);
    }
    bool override(std::string_view name, size_t maxUnits) {
        size_t length = 0;
        if (!readTextOverride(name, maxUnits, buffer, &length))
            return false;
        text = std::u16string_view(buffer, length);
        return true;
    }
};

std::u16string_view shortDateOf(const Locale& locale, Value* value) {
    if (locale.overrides && value->override("sShortDate", kMaxPicture))
        return value->text;
    return locale.shortDate(calendarOf(locale));
}

// --- Output ---------------------------------------------------------------------------------

bool checkBuffer(const void* out, int size) {
    if (size < 0 || (size > 0 && out == nullptr)) {
        setLastError(kErrInvalidParameter);
        return false;
    }
    return true;
}

// The code page of an A call: the locale's, the process's with LOCALE_USE_CP_ACP or when
// the locale's has no tables here.
uint32_t codePageOf(const Locale& locale, uint32_t flags) {
    if ((flags & kLocaleUseCpAcp) != 0)
        return kCodePageAnsi;
    if (locale.row != nullptr)
        return locale.row->codePage;  // all of them have tables here
    uint32_t codePage = locale.codePage();
    return codePage == 0 || !isCodePageSupported(codePage) ? kCodePageAnsi : codePage;
}

// Writes `text` and a NUL; the count of units or bytes written, or needed when size is 0.
int emit(std::u16string_view text, char16_t* out, int size) {
    if (text.size() >= static_cast<size_t>(INT_MAX)) {
        setLastError(kErrInvalidParameter);
        return 0;
    }
    int needed = static_cast<int>(text.size()) + 1;
    if (size == 0)
        return needed;
    if (size < needed) {
        setLastError(kErrInsufficientBuffer);
        return 0;
    }
    if (!text.empty())
        std::memcpy(out, text.data(), text.size() * sizeof(char16_t));
    out[text.size()] = u'\0';
    return needed;
}

int emit(std::u16string_view text, uint32_t codePage, char* out, int size) {
    if (size == 0) {
        if (text.empty())
            return 1;
        int n =
            wideCharToMultiByte(codePage, text.data(), static_cast<int>(text.size()), nullptr, 0);
        return n > 0 ? n + 1 : 0;
    }
    // ASCII is the same in every code page here: the numeric pictures' results.
    bool ascii = true;
    for (char16_t c : text)
        ascii = ascii && c < 0x80;
    if (ascii) {
        if (static_cast<size_t>(size) <= text.size()) {
            setLastError(kErrInsufficientBuffer);
            return 0;
        }
        for (size_t i = 0; i < text.size(); ++i)
            out[i] = static_cast<char>(text[i]);
        out[text.size()] = '\0';
        return static_cast<int>(text.size()) + 1;
    }
    // Whole characters while they fit, the NUL after them.
    ConvertResult r = encodeSome(codePage, text, out, static_cast<size_t>(size) - 1);
    if (r.read != text.size()) {
        setLastError(kErrInsufficientBuffer);
        return 0;
    }
    out[r.written] = '\0';
    return static_cast<int>(r.written) + 1;
}

// An A picture in UTF-16: decoded whole from the code page before it is read, since a trail
// byte of a double-byte character can look like a picture letter or a quote.
void decodePicture(const char* picture, uint32_t codePage, Text* out) {
    size_t length = std::strlen(picture);
    char16_t* to = out->reserve(length);
    bool ascii = true;
    for (size_t i = 0; i < length && ascii; ++i)
        ascii = static_cast<unsigned char>(picture[i]) < 0x80;
    if (ascii) {
        for (size_t i = 0; i < length; ++i)
            to[i] = static_cast<char16_t>(picture[i]);
        out->setSize(length);
        return;
    }
    ConvertResult r = decodeSome(codePage, std::string_view(picture, length), to, length);
    out->setSize(r.written);
}

// --- Dates and times ------------------------------------------------------------------------

int daysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// 0 = Sunday.
int dayOfWeek(int y, int m, int d) {
    static constexpr int kOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (m < 3)
        --y;
    return (y + y / 4 - y / 100 + y / 400 + kOffsets[m - 1] + d) % 7;
}

SystemTime now() {
    time_t t = ::time(nullptr);
    struct tm local {};
    ::localtime_r(&t, &local);
    SystemTime st{};
    st.year = static_cast<uint16_t>(local.tm_year + 1900);
    st.month = static_cast<uint16_t>(local.tm_mon + 1);
    st.dayOfWeek = static_cast<uint16_t>(local.tm_wday);
    st.day = static_cast<uint16_t>(local.tm_mday);
    st.hour = static_cast<uint16_t>(local.tm_hour);
    st.minute = static_cast<uint16_t>(local.tm_min);
    st.second = static_cast<uint16_t>(local.tm_sec > 59 ? 59 : local.tm_sec);
    return st;
}

// The date in a calendar; false when the calendar has no such date.
bool datePartsOf(const Locale& locale, uint32_t calendar, const SystemTime& st,
                 picture::DateParts* parts) {
    parts->year = st.year;
    parts->month = st.month;
    parts->day = st.day;
    parts->dayOfWeek = dayOfWeek(st.year, st.month, st.day);
    parts->eraYears = false;
    switch (calendar) {
        case kCalGregorianUs:
            parts->era = u"A.D.";
            return true;
        case kCalJapan:
            parts->eraYears = true;
            return icu::japaneseEra(st.year, st.month, st.day, &parts->year, &parts->era);
        case kCalTaiwan:
            parts->eraYears = true;
            parts->year = st.year - 1911;
            parts->era = locale.row->optional.era;
            return parts->year >= 1;
        case kCalKorea:
            parts->year = st.year + 2333;
            parts->era = locale.row->optional.era;
            return true;
        default:
            parts->era = locale.row != nullptr ? std::u16string_view(locale.row->gregorian.era)
                                               : std::u16string_view(locale.icu->era);
            return true;
    }
}

// Whether the fields a picture has can depend on the user's calendar: for the Western table
// locales only the era and the names can (their other calendar is Gregorian with English
// texts), so a numeric picture there needs no registry read.
bool pictureNeedsCalendar(const Locale& locale, const picture::DatePicture& picture) {
    if (!locale.overrides || locale.row == nullptr || locale.row->optional.id == 0)
        return false;
    unsigned needs = picture.needs();
    if (locale.row->optional.id == kCalGregorianUs)
        needs &= ~static_cast<unsigned>(picture::kNeedsYear);
    return needs != 0;
}

constexpr uint32_t kDateFlags = kDateShortDate | kDateLongDate | kDateYearMonth;
constexpr uint32_t kTimeFlags =
    kTimeNoMinutesOrSeconds | kTimeNoSeconds | kTimeNoTimeMarker | kTimeForce24HourFormat;

// Formats a date into `text`; false with lastError set on failure. `pictureA` or `pictureW`
// (at most one) is the caller's picture; `codePage` decodes an A picture.
bool formatDate(Lcid lcid, uint32_t flags, const SystemTime* date, const char* pictureA,
                const char16_t* pictureW, bool ansi, Text* text, uint32_t* codePage) {
    bool hasPicture = pictureA != nullptr || pictureW != nullptr;
    uint32_t kinds = flags & kDateFlags;
    if ((flags & ~(kDateFlags | kLocaleNoUserOverride | kLocaleUseCpAcp)) != 0 ||
        (hasPicture && (flags & (kDateFlags | kLocaleNoUserOverride)) != 0) ||
        (kinds & (kinds - 1)) != 0) {
        setLastError(kErrInvalidFlags);
        return false;
    }
    Locale locale;
    if (!openLocale(lcid, flags, &locale)) {
        setLastError(kErrInvalidParameter);
        return false;
    }
    SystemTime st = date != nullptr ? *date : now();
    if (st.year < 1601 || st.year > 30827 || st.month < 1 || st.month > 12 || st.day < 1 ||
        st.day > daysInMonth(st.year, st.month)) {
        setLastError(kErrInvalidParameter);
        return false;
    }
    if (ansi)
        *codePage = codePageOf(locale, flags);

    Text pictureText;
    Value value;
    std::u16string_view pictureView;
    uint32_t calendar = kCalGregorian;
    if (hasPicture) {
        if (pictureA != nullptr) {
            decodePicture(pictureA, *codePage, &pictureText);
            pictureView = pictureText.view();
        } else {
            pictureView = pictureW;
        }
    } else {
        calendar = calendarOf(locale);
        if (kinds == kDateLongDate) {
            pictureView = locale.longDate(calendar);
        } else if (kinds == kDateYearMonth) {
            pictureView = locale.yearMonth(calendar);
        } else if (locale.overrides && value.override("sShortDate", kMaxPicture)) {
            pictureView = value.text;
        } else {
            pictureView = locale.shortDate(calendar);
        }
    }
    picture::DatePicture picture(pictureView);
    if (hasPicture && pictureNeedsCalendar(locale, picture))
        calendar = calendarOf(locale);

    picture::DateParts parts{};
    if (!datePartsOf(locale, calendar, st, &parts)) {
        setLastError(kErrInvalidParameter);
        return false;
    }
    LocaleNames names(locale, calendar);
    picture.format(parts, names, text);
    return true;
}

bool formatTime(Lcid lcid, uint32_t flags, const SystemTime* time, const char* pictureA,
                const char16_t* pictureW, bool ansi, Text* text, uint32_t* codePage) {
    bool hasPicture = pictureA != nullptr || pictureW != nullptr;
    if ((flags & ~(kTimeFlags | kLocaleNoUserOverride | kLocaleUseCpAcp)) != 0 ||
        (hasPicture && (flags & kLocaleNoUserOverride) != 0)) {
        setLastError(kErrInvalidFlags);
        return false;
    }
    Locale locale;
    if (!openLocale(lcid, flags, &locale)) {
        setLastError(kErrInvalidParameter);
        return false;
    }
    SystemTime st = time != nullptr ? *time : now();
    if (st.hour > 23 || st.minute > 59 || st.second > 59 || st.milliseconds > 999) {
        setLastError(kErrInvalidParameter);
        return false;
    }
    if (ansi)
        *codePage = codePageOf(locale, flags);

    Text pictureText;
    Value value;
    std::u16string_view pictureView;
    if (pictureA != nullptr) {
        decodePicture(pictureA, *codePage, &pictureText);
        pictureView = pictureText.view();
    } else if (pictureW != nullptr) {
        pictureView = pictureW;
    } else if (locale.overrides && value.override("sTimeFormat", kMaxPicture)) {
        pictureView = value.text;
    } else {
        pictureView = locale.timeFormat();
    }
    picture::formatTime(pictureView, flags & kTimeFlags, st.hour, st.minute, st.second, locale.am(),
                        locale.pm(), text);
    return true;
}

// --- Locale information ---------------------------------------------------------------------

// The value of one LCTYPE into `value`; false with lastError set on failure.
bool localeInfo(Lcid lcid, uint32_t type, Value* value, uint32_t* codePage) {
    uint32_t flags = type & (kLocaleNoUserOverride | kLocaleUseCpAcp);
    uint32_t base = type & ~(kLocaleNoUserOverride | kLocaleUseCpAcp);
    Locale locale;
    if (!openLocale(lcid, flags, &locale)) {
        setLastError(kErrInvalidParameter);
        return false;
    }
    *codePage = codePageOf(locale, flags);

    if (base >= kLocaleSDayName1 && base < kLocaleSAbbrevMonthName1 + 12) {
        LocaleNames source(locale, kCalGregorian);
        const icu::NameSet* names = source.names();
        uint32_t i = 0;
        value->text = {};
        if (names == nullptr)
            return true;  // ICU is missing: the names are unknown
        if (base < kLocaleSAbbrevDayName1) {
            i = base - kLocaleSDayName1;
            value->text = names->day[(i + 1) % 7];
        } else if (base < kLocaleSMonthName1) {
            i = base - kLocaleSAbbrevDayName1;
            value->text = names->abbrevDay[(i + 1) % 7];
        } else if (base < kLocaleSAbbrevMonthName1) {
            value->text = names->month[base - kLocaleSMonthName1];
        } else {
            value->text = names->abbrevMonth[base - kLocaleSAbbrevMonthName1];
        }
        return true;
    }

    switch (base) {
        case kLocaleICalendarType:
            value->number(calendarOf(locale));
            return true;
        case kLocaleIOptionalCalendar:
            value->number(locale.row != nullptr ? locale.row->optional.id : 0);
            return true;
        case kLocaleIDefaultAnsiCodePage:
            value->number(locale.codePage());
            return true;
        case kLocaleSName: {
            std::string_view name = locale.row != nullptr ? std::string_view(locale.row->name)
                                                          : std::string_view(locale.icu->name);
            size_t n = name.size() < kMaxPicture ? name.size() : kMaxPicture;
            for (size_t i = 0; i < n; ++i)
                value->buffer[i] = static_cast<char16_t>(static_cast<unsigned char>(name[i]));
            value->text = std::u16string_view(value->buffer, n);
            return true;
        }
        case kLocaleSShortDate:
            value->text = shortDateOf(locale, value);
            return true;
        case kLocaleSLongDate:
            value->text = locale.longDate(calendarOf(locale));
            return true;
        case kLocaleSYearMonth:
            value->text = locale.yearMonth(calendarOf(locale));
            return true;
        case kLocaleSDate:
            if (locale.overrides && value->override("sDate", kMaxSeparator))
                return true;
            if (locale.overrides) {
                Value shortDate;
                if (shortDate.override("sShortDate", kMaxPicture)) {
                    std::u16string_view separator =
                        picture::dateSeparator(shortDate.text, value->buffer, kMaxSeparator);
                    if (!separator.empty()) {
                        value->text = separator;
                        return true;
                    }
                }
            }
            value->text = locale.dateSeparator();
            return true;
        case kLocaleSTimeFormat:
            if (!(locale.overrides && value->override("sTimeFormat", kMaxPicture)))
                value->text = locale.timeFormat();
            return true;
        case kLocaleS1159:
            value->text = locale.am();
            return true;
        case kLocaleS2359:
            value->text = locale.pm();
            return true;
        default:
            setLastError(kErrInvalidFlags);
            return false;
    }
}

}  // namespace

// --- Public calls ---------------------------------------------------------------------------

Lcid systemDefaultLcid() {
    uint32_t lcid = g_systemLcid.load(std::memory_order_acquire);
    if (lcid != 0)
        return lcid;
    uint32_t saved = lastError();
    lcid = readLcidValue(RegHive::LocalMachine, kNlsLocaleKey, "");
    if (lcid == 0)
        lcid = kLocaleEnUs;
    g_systemLcid.store(lcid, std::memory_order_release);
    setLastError(saved);
    return lcid;
}

Lcid userDefaultLcid() {
    uint32_t lcid = g_userLcid.load(std::memory_order_acquire);
    if (lcid != 0)
        return lcid;
    uint32_t saved = lastError();
    lcid = readLcidValue(RegHive::CurrentUser, kInternationalKey, "Locale");
    if (lcid == 0)
        lcid = systemDefaultLcid();
    g_userLcid.store(lcid, std::memory_order_release);
    setLastError(saved);
    return lcid;
}

Lcid threadLocale() {
    return t_threadLcid != 0 ? t_threadLcid : userDefaultLcid();
}

bool setThreadLocale(Lcid lcid) {
    uint32_t langId = resolveLangId(lcid);
    if (langId == 0) {
        setLastError(kErrInvalidParameter);
        return false;
    }
    t_threadLcid = langId;
    return true;
}

Lcid resolveLcid(Lcid lcid) {
    return resolveLangId(lcid);
}

namespace {

// The frame of every public call: checks the output, produces the text with `produce`
// (which sets lastError on failure), writes it in the call's width, and keeps the caller's
// last error on success.
template <typename Char, typename Produce>
int answer(Char* out, int size, Produce produce) {
    if (!checkBuffer(out, size))
        return 0;
    uint32_t saved = lastError();
    uint32_t codePage = kCodePageAnsi;
    std::u16string_view text;
    Value value;  // the storage of whichever producer runs
    Text formatted;
    if (!produce(&value, &formatted, &codePage, &text))
        return 0;
    int n;
    if constexpr (std::is_same_v<Char, char>)
        n = emit(text, codePage, out, size);
    else
        n = emit(text, out, size);
    if (n != 0)
        setLastError(saved);
    return n;
}

template <typename Char>
int localeInfoCall(Lcid lcid, uint32_t type, Char* data, int size) {
    return answer(data, size, [&](Value* value, Text*, uint32_t* codePage, auto* text) {
        if (!localeInfo(lcid, type, value, codePage))
            return false;
        *text = value->text;
        return true;
    });
}

template <typename Char>
int dateCall(Lcid lcid, uint32_t flags, const SystemTime* date, const Char* picture, Char* out,
             int size) {
    constexpr bool kAnsi = std::is_same_v<Char, char>;
    return answer(out, size, [&](Value*, Text* formatted, uint32_t* codePage, auto* text) {
        bool done;
        if constexpr (kAnsi)
            done = formatDate(lcid, flags, date, picture, nullptr, true, formatted, codePage);
        else
            done = formatDate(lcid, flags, date, nullptr, picture, false, formatted, codePage);
        *text = formatted->view();
        return done;
    });
}

template <typename Char>
int timeCall(Lcid lcid, uint32_t flags, const SystemTime* time, const Char* picture, Char* out,
             int size) {
    constexpr bool kAnsi = std::is_same_v<Char, char>;
    return answer(out, size, [&](Value*, Text* formatted, uint32_t* codePage, auto* text) {
        bool done;
        if constexpr (kAnsi)
            done = formatTime(lcid, flags, time, picture, nullptr, true, formatted, codePage);
        else
            done = formatTime(lcid, flags, time, nullptr, picture, false, formatted, codePage);
        *text = formatted->view();
        return done;
    });
}

}  // namespace

int getLocaleInfoA(Lcid lcid, uint32_t type, char* data, int size) {
    return localeInfoCall(lcid, type, data, size);
}

int getLocaleInfoW(Lcid lcid, uint32_t type, char16_t* data, int size) {
    return localeInfoCall(lcid, type, data, size);
}

int getDateFormatA(Lcid lcid, uint32_t flags, const SystemTime* date, const char* picture,
                   char* out, int size) {
    return dateCall(lcid, flags, date, picture, out, size);
}

int getDateFormatW(Lcid lcid, uint32_t flags, const SystemTime* date, const char16_t* picture,
                   char16_t* out, int size) {
    return dateCall(lcid, flags, date, picture, out, size);
}

int getTimeFormatA(Lcid lcid, uint32_t flags, const SystemTime* time, const char* picture,
                   char* out, int size) {
    return timeCall(lcid, flags, time, picture, out, size);
}

int getTimeFormatW(Lcid lcid, uint32_t flags, const SystemTime* time, const char16_t* picture,
                   char16_t* out, int size) {
    return timeCall(lcid, flags, time, picture, out, size);
}

void resetLocalesForTesting() {
    g_systemLcid.store(0);
    g_userLcid.store(0);
    t_threadLcid = 0;
}

}  // namespace nvl::sys
