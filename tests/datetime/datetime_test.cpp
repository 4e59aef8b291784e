#include <cgishare/datetime.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "datetime/datetime_internal.h"
#include "platform/codepage.h"
#include "platform/locale.h"
#include "support/child_process.h"
#include "support/test_env.h"

namespace {

namespace sys = nvl::sys;
using nvl::test::TestEnv;

constexpr int kStandard = 129;  // DTLOC_SYSTEM and a bit without effect
constexpr int kBoth = DTFMT_DATE | DTFMT_TIME;

// 31 August 2006 09:41:07.
constexpr SYSTEMTIME kMoment = {2006, 8, 0, 31, 9, 41, 7, 0};

// The machine's settings for one test.
struct Settings {
    const char* systemLocale = "00000409";
    const char* codePage = "1252";
    std::string international;  // value lines under HKCU\Control Panel\International
    std::string console;        // value lines under ...\service\Console; "-" no key at all
};

class DateTimeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("TZ", "Europe/Berlin", 1);
        ::tzset();
        apply(Settings{});
    }
    void TearDown() override { clearCustom(); }

    void apply(const Settings& s) {
        std::string reg =
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\Locale]\r\n"
            "@=\"" +
            std::string(s.systemLocale) +
            "\"\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage]\r\n"
            "\"ACP\"=\"" +
            s.codePage + "\"\r\n\r\n";
        if (!s.international.empty())
            reg +=
                "[HKEY_CURRENT_USER\\Control Panel\\International]\r\n" + s.international + "\r\n";
        if (s.console != "-")
            reg += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\HaldenLabs\\Norvel\\service\\Console]\r\n" +
                   s.console + "\r\n";
        env_.writeFile("etc/registry.reg", reg);
        sys::resetLocalesForTesting();
        sys::resetAnsiCodePageForTesting();
        sys::setThreadLocale(sys::userDefaultLcid());
        clearCustom();
    }

    static void clearCustom() {
        char empty[] = "";
        _hlSetDateFormatA(empty);
        _hlSetTimeFormatA(empty);
    }

    static std::string text(const SYSTEMTIME& moment, int formatFlags, int localeFlags,
                            int size = 129) {
        std::vector<char> out(static_cast<size_t>(size) + 1, '#');
        _hlGetDateTimeStringA(&moment, out.data(), size, formatFlags, localeFlags);
        return out.data();
    }

    static std::u16string wideText(const SYSTEMTIME& moment, int formatFlags, int localeFlags,
                                   int size = 129) {
        std::vector<char16_t> out(static_cast<size_t>(size) + 1, u'#');
        _hlGetDateTimeStringW(&moment, out.data(), size, formatFlags, localeFlags);
        return out.data();
    }

    TestEnv env_;
};

std::u16string widen(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

// The time_t of a local time in the test's time zone.
long localSeconds(int year, int month, int day, int hour, int minute, int second) {
    tm calendar{};
    calendar.tm_year = year - 1900;
    calendar.tm_mon = month - 1;
    calendar.tm_mday = day;
    calendar.tm_hour = hour;
    calendar.tm_min = minute;
    calendar.tm_sec = second;
    calendar.tm_isdst = -1;
    return static_cast<long>(std::mktime(&calendar));
}

// --- The text of a moment ---------------------------------------------------------------------

Settings english(const std::string& international = "", const std::string& console = "") {
    return {"00000409", "1252", international, console};
}

Settings japanese(const std::string& international = "") {
    return {"00000411", "932", international, ""};
}

std::string shortDate(const std::string& picture) {
    return "\"sShortDate\"=\"" + picture + "\"\r\n";
}

std::string timeFormat(const std::string& picture) {
    return "\"sTimeFormat\"=\"" + picture + "\"\r\n";
}

TEST_F(DateTimeTest, LocalesPicturesAndFlags) {
    const std::string dmy = shortDate("d/M/yy") + timeFormat("HH:mm:ss");
    const std::string noYear = shortDate("dd-MM") + "\"sDate\"=\"-\"\r\n";
    struct Case {
        const char* what;
        Settings settings;
        int formatFlags, localeFlags;
        std::string expected;
    } cases[] = {
        {"en-US", english(), kBoth, kStandard, "8/31/2006 9:41:07"},
        {"ja-JP system locale", japanese(), kBoth, kStandard, "2006/08/31 9:41:07"},
        {"d/M/yy, HH:mm:ss", english(dmy), kBoth, 0, "31/8/2006 09:41:07"},
        {"the system locale ignores overrides", english(dmy), kBoth, kStandard,
         "8/31/2006 9:41:07"},
        {"date only", english(), DTFMT_DATE, kStandard, "8/31/2006"},
        {"time only", english(), DTFMT_TIME, kStandard, "9:41:07"},
        {"neither", english(), 0, kStandard, ""},
        {"other bits", english(), kBoth | 0x7C, kStandard | 0x7D, "8/31/2006 9:41:07"},
        {"custom, both empty", english(), kBoth | DTFMT_CUSTOM, kStandard, "8/31/2006 9:41:07"},
        {"fixed d/M/yyyy", english(), kBoth, DTLOC_SYSTEM | DTLOC_DMY, "31/8/2006 9:41:07"},
        {"fixed d/M/yyyy, ja-JP", japanese(), DTFMT_DATE, DTLOC_SYSTEM | DTLOC_DMY, "31/8/2006"},
        {"yy-MM-dd", english(shortDate("yy-MM-dd")), DTFMT_DATE, 0, "2006-08-31"},
        {"a year of y and Y", english(shortDate("d.M.yYy")), DTFMT_DATE, 0, "31.8.2006"},
        {"no year: year, separator", english(noYear), DTFMT_DATE, 0, "2006-31-08"},
        {"a y in quotes", english(shortDate("d 'by' M yy")), DTFMT_DATE, 0, "31 by 8 2006"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        apply(c.settings);
        EXPECT_EQ(text(kMoment, c.formatFlags, c.localeFlags), c.expected);
        EXPECT_EQ(wideText(kMoment, c.formatFlags, c.localeFlags), widen(c.expected));
    }

    // A 12-hour time format gives 24 hours without the marker.
    apply(english(shortDate("d/M/yy") + timeFormat("h:mm:ss tt")));
    EXPECT_EQ(text(kMoment, kBoth, 0), "31/8/2006 9:41:07");
    EXPECT_EQ(text({2006, 8, 0, 31, 21, 41, 7, 0}, kBoth, 0), "31/8/2006 21:41:07");

    // A part the locale cannot format is left empty.
    apply(english());
    EXPECT_EQ(text({1600, 12, 0, 31, 9, 41, 7, 0}, kBoth, kStandard), " 9:41:07");
    EXPECT_EQ(text({2006, 8, 0, 31, 24, 0, 0, 0}, kBoth, kStandard), "8/31/2006 ");
}

// An era calendar keeps the locale's own short date: no four-digit year is forced on it.
TEST_F(DateTimeTest, EraCalendarKeepsTheLocalesShortDate) {
    apply(japanese("\"iCalendarType\"=\"3\"\r\n"));
    sys::SystemTime moment{2006, 8, 0, 31, 9, 41, 7, 0};
    char own[64];
    ASSERT_GT(sys::getDateFormatA(sys::threadLocale(),
                                  uint32_t{sys::kDateShortDate} | sys::kLocaleUseCpAcp, &moment,
                                  nullptr, own, sizeof own),
              0);
    EXPECT_EQ(text(kMoment, DTFMT_DATE, 0), own);
    EXPECT_EQ(text(kMoment, DTFMT_DATE, 0).find("2006"), std::string::npos);

    char picture[64], ownPicture[64];
    _hlGetDateFormatA(picture, sizeof picture, 0);
    ASSERT_GT(
        sys::getLocaleInfoA(sys::threadLocale(), sys::kLocaleSShortDate | sys::kLocaleUseCpAcp,
                            ownPicture, sizeof ownPicture),
        0);
    EXPECT_STREQ(picture, ownPicture);

    // A custom picture is formatted in the locale's calendar: yyyy is the era's year.
    char custom[] = "yyyy-MM-dd";
    _hlSetDateFormatA(custom);
    EXPECT_EQ(text(kMoment, DTFMT_DATE | DTFMT_CUSTOM, 0), "18-08-31");

    // The system locale is the same locale, but the user's calendar is not the system's.
    EXPECT_EQ(text(kMoment, kBoth, kStandard), "2006/08/31 9:41:07");
    EXPECT_EQ(text(kMoment, DTFMT_DATE | DTFMT_CUSTOM, kStandard), "2006-08-31");
}

TEST_F(DateTimeTest, CustomPictures) {
    char date[] = "yyyy-MM-dd";
    char time[] = "HH'h'mm";
    _hlSetDateFormatA(date);
    EXPECT_EQ(text(kMoment, kBoth | DTFMT_CUSTOM, kStandard), "2006-08-31 9:41:07");
    EXPECT_EQ(text(kMoment, kBoth, kStandard), "8/31/2006 9:41:07");
    _hlSetTimeFormatA(time);
    EXPECT_EQ(text(kMoment, kBoth | DTFMT_CUSTOM, kStandard), "2006-08-31 09h41");
    // A custom picture is used as it is: no year is forced on it.
    char noYear[] = "d.M";
    _hlSetDateFormatA(noYear);
    EXPECT_EQ(text(kMoment, kBoth | DTFMT_CUSTOM, DTLOC_SYSTEM | DTLOC_DMY), "31.8 09h41");
    // A null picture changes nothing.
    _hlSetDateFormatA(nullptr);
    _hlSetDateFormatW(nullptr);
    EXPECT_EQ(text(kMoment, DTFMT_DATE | DTFMT_CUSTOM, kStandard), "31.8");

    // The pictures in use, as the console shows them.
    char shown[8];
    hlGetCustomTimeFormatA(shown, sizeof shown);
    EXPECT_STREQ(shown, "HH'h'mm");
    hlGetCustomTimeFormatA(shown, 4);
    EXPECT_STREQ(shown, "HH'");
    clearCustom();
    hlGetCustomDateFormatA(shown, sizeof shown);
    EXPECT_STREQ(shown, "");
}

TEST_F(DateTimeTest, TimeValuesAndTheirText) {
    struct Case {
        const char* what;
        long seconds;
        std::string expected;
    } cases[] = {
        {"summer time", localSeconds(2006, 8, 31, 9, 41, 7), "8/31/2006 9:41:07"},
        {"winter time", 1137326400 /* 2006-01-15 12:00 UTC */, "1/15/2006 13:00:00"},
        {"the epoch", 0, "1/1/1970 1:00:00"},
        {"after 2038", 4102444800 /* 2100-01-01 00:00 UTC */, "1/1/2100 1:00:00"},
        {"negative", -1, ""},
        {"a year beyond a SYSTEMTIME", 3000000000000, ""},
        {"beyond localtime", 0x7FFFFFFFFFFFFFFF, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        char out[129] = "#";
        _hlGetDateTimeStringA(c.seconds, out, sizeof out, kBoth, kStandard);
        EXPECT_EQ(std::string(out), c.expected);
        std::string decimal = std::to_string(c.seconds);
        _hlGetDateTimeStringA(decimal.c_str(), out, sizeof out, kBoth, kStandard);
        EXPECT_EQ(std::string(out), c.expected);
        char16_t wide[129] = u"#";
        _hlGetDateTimeStringW(c.seconds, wide, 129, kBoth, kStandard);
        EXPECT_EQ(std::u16string(wide), widen(c.expected));
        std::u16string wideDecimal = widen(decimal);
        _hlGetDateTimeStringW(wideDecimal.c_str(), wide, 129, kBoth, kStandard);
        EXPECT_EQ(std::u16string(wide), widen(c.expected));
    }
}

// The text is read as atoi reads, in 64 bits.
TEST_F(DateTimeTest, DecimalTexts) {
    struct Case {
        const char* text;
        std::string expected;
    } cases[] = {
        {" \t+1137326400xyz", "1/15/2006 13:00:00"},
        {"4102444800", "1/1/2100 1:00:00"},  // beyond 32 bits
        {"-5", ""},
        {"-0", "1/1/1970 1:00:00"},
        {"abc", "1/1/1970 1:00:00"},  // no digits read as 0
        {"9223372036854775807", ""},
        {"9223372036854775808", ""},
        {"99999999999999999999999", ""},
        {"-9223372036854775808", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        char out[129] = "#";
        _hlGetDateTimeStringA(c.text, out, sizeof out, kBoth, kStandard);
        EXPECT_EQ(std::string(out), c.expected);
        char16_t wide[129] = u"#";
        std::u16string wideText = widen(c.text);
        _hlGetDateTimeStringW(wideText.c_str(), wide, 129, kBoth, kStandard);
        EXPECT_EQ(std::u16string(wide), widen(c.expected));
    }
}

TEST_F(DateTimeTest, CalendarTimes) {
    tm calendar{};
    calendar.tm_year = 106;
    calendar.tm_mon = 7;
    calendar.tm_mday = 31;
    calendar.tm_hour = 9;
    calendar.tm_min = 41;
    calendar.tm_sec = 7;
    calendar.tm_isdst = 1;
    char out[129] = "#";
    _hlGetDateTimeStringA(&calendar, out, sizeof out, kBoth, kStandard);
    EXPECT_STREQ(out, "8/31/2006 9:41:07");
    char16_t wide[129] = u"#";
    _hlGetDateTimeStringW(&calendar, wide, 129, kBoth, kStandard);
    EXPECT_EQ(std::u16string(wide), u"8/31/2006 9:41:07");

    // Fields that do not fit a SYSTEMTIME give the empty text, not a wrapped-around date.
    for (int tm::*field : {&tm::tm_year, &tm::tm_mday, &tm::tm_sec}) {
        tm wrong = calendar;
        wrong.*field = field == &tm::tm_year ? 65536 - 1900 : -1;
        _hlGetDateTimeStringA(&wrong, out, sizeof out, kBoth, kStandard);
        EXPECT_STREQ(out, "");
    }
}

// Null moments and outputs and sizes of 0 or below do nothing: not even the NUL is written.
TEST_F(DateTimeTest, NothingHappensWithoutRoom) {
    std::vector<char> block(32, '#');
    std::vector<char16_t> wideBlock(32, u'#');
    char* out = block.data() + 8;
    char16_t* wide = wideBlock.data() + 8;
    tm calendar{};
    for (int size : {0, -1, -100}) {
        SCOPED_TRACE(size);
        _hlGetDateTimeStringA(1137326400L, out, size, kBoth, kStandard);
        _hlGetDateTimeStringA("1137326400", out, size, kBoth, kStandard);
        _hlGetDateTimeStringA(&calendar, out, size, kBoth, kStandard);
        _hlGetDateTimeStringA(&kMoment, out, size, kBoth, kStandard);
        _hlGetDateTimeStringW(1137326400L, wide, size, kBoth, kStandard);
        _hlGetDateTimeStringW(u"1137326400", wide, size, kBoth, kStandard);
        _hlGetDateTimeStringW(&calendar, wide, size, kBoth, kStandard);
        _hlGetDateTimeStringW(&kMoment, wide, size, kBoth, kStandard);
        _hlGetDateFormatA(out, size, kStandard);
        _hlGetDateFormatW(wide, size, kStandard);
        _hlGetTimeFormatA(out, size, kStandard);
        _hlGetTimeFormatW(wide, size, kStandard);
    }
    _hlGetDateTimeStringA(static_cast<const char*>(nullptr), out, 16, kBoth, kStandard);
    _hlGetDateTimeStringA(static_cast<const tm*>(nullptr), out, 16, kBoth, kStandard);
    _hlGetDateTimeStringA(static_cast<const SYSTEMTIME*>(nullptr), out, 16, kBoth, kStandard);
    _hlGetDateTimeStringW(static_cast<const char16_t*>(nullptr), wide, 16, kBoth, kStandard);
    EXPECT_EQ(block, std::vector<char>(32, '#'));
    EXPECT_EQ(wideBlock, std::vector<char16_t>(32, u'#'));
    // Null outputs.
    _hlGetDateTimeStringA(1137326400L, nullptr, 16, kBoth, kStandard);
    _hlGetDateTimeStringW(&kMoment, nullptr, 16, kBoth, kStandard);
    _hlGetDateFormatA(nullptr, 16, kStandard);
    _hlGetTimeFormatW(nullptr, 16, kStandard);
}

// A text cut to the output's size ends at a character boundary: never half a double-byte
// character. All forms, the wide time_t one included, carry 127 characters.
TEST_F(DateTimeTest, CutsAndLongTexts) {
    apply(japanese());
    char date[] = "yyyy'\x94N'M'\x8C\x8E'd'\x93\xFA'";  // yyyy'年'M'月'd'日' in 932
    _hlSetDateFormatA(date);
    const std::string full =
        "2006\x94N8\x8C\x8E"
        "31\x93\xFA";
    ASSERT_EQ(text(kMoment, DTFMT_DATE | DTFMT_CUSTOM, kStandard), full);
    struct Case {
        int size;
        std::string narrow;   // bytes
        std::u16string wide;  // units
    } cases[] = {
        {1, "", u""},
        {5, "2006", u"2006"},
        {6, "2006", u"2006\u5E74"},
        {7, "2006\x94N", u"2006\u5E748"},
        {8, "2006\x94N8", u"2006\u5E748\u6708"},
        {9, "2006\x94N8", u"2006\u5E748\u67083"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        EXPECT_EQ(text(kMoment, DTFMT_DATE | DTFMT_CUSTOM, kStandard, c.size), c.narrow);
        EXPECT_EQ(wideText(kMoment, DTFMT_DATE | DTFMT_CUSTOM, kStandard, c.size), c.wide);
    }

    // 61 + 1 + 49 characters, in every form.
    std::string longDate = "'" + std::string(50, 'x') + "' yyyy-MM-dd";
    std::string longTime = "'" + std::string(40, 'z') + "' HH:mm:ss";
    _hlSetDateFormatA(longDate.data());
    _hlSetTimeFormatA(longTime.data());
    std::string expected =
        std::string(50, 'x') + " 2006-08-31 " + std::string(40, 'z') + " 09:41:07";
    ASSERT_EQ(expected.size(), 111u);
    long seconds = localSeconds(2006, 8, 31, 9, 41, 7);
    constexpr int kCustom = kBoth | DTFMT_CUSTOM;
    char out[200];
    char16_t wide[200];
    _hlGetDateTimeStringA(seconds, out, 200, kCustom, kStandard);
    EXPECT_EQ(std::string(out), expected);
    _hlGetDateTimeStringW(seconds, wide, 200, kCustom, kStandard);
    EXPECT_EQ(std::u16string(wide), widen(expected));
    std::u16string decimal = widen(std::to_string(seconds));
    _hlGetDateTimeStringW(decimal.c_str(), wide, 200, kCustom, kStandard);
    EXPECT_EQ(std::u16string(wide), widen(expected));
    EXPECT_EQ(wideText(kMoment, kCustom, kStandard, 200), widen(expected));
    EXPECT_EQ(text(kMoment, kCustom, kStandard, 20), expected.substr(0, 19));
}

// --- The pictures -----------------------------------------------------------------------------

TEST_F(DateTimeTest, PictureGetters) {
    struct Case {
        const char* what;
        Settings settings;
        int localeFlags;
        std::string date, time;
    } cases[] = {
        {"en-US", english(), kStandard, "M/d/yyyy", "h:mm:ss tt"},
        {"ja-JP", japanese(), kStandard, "yyyy/MM/dd", "H:mm:ss"},
        {"overrides", english(shortDate("d/M/yy") + timeFormat("HH:mm")), 0, "d/M/yyyy", "HH:mm"},
        {"overrides ignored", english(shortDate("d/M/yy")), kStandard, "M/d/yyyy", "h:mm:ss tt"},
        {"no year", english(shortDate("dd.MM") + "\"sDate\"=\".\"\r\n"), 0, "yyyy.dd.MM",
         "h:mm:ss tt"},
        // The second byte of 0x8A 0x79 is no year: the picture has none.
        {"a double-byte character ending in 'y'", japanese(shortDate("M/d\xE6\xA5\xBD")), 0,
         "yyyy/M/d\x8A\x79", "H:mm:ss"},
        {"fixed d/M/yyyy takes no part", english(), DTLOC_SYSTEM | DTLOC_DMY, "M/d/yyyy",
         "h:mm:ss tt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        apply(c.settings);
        char custom[] = "yyyy-MM-dd";
        _hlSetDateFormatA(custom);  // takes no part either
        _hlSetTimeFormatA(custom);
        char out[64];
        char16_t wide[64];
        _hlGetDateFormatA(out, sizeof out, c.localeFlags);
        EXPECT_EQ(std::string(out), c.date);
        _hlGetDateFormatW(wide, 64, c.localeFlags);
        EXPECT_EQ(std::u16string(wide), sys::ansiToWide(c.date));
        _hlGetTimeFormatA(out, sizeof out, c.localeFlags);
        EXPECT_EQ(std::string(out), c.time);
        _hlGetTimeFormatW(wide, 64, c.localeFlags);
        EXPECT_EQ(std::u16string(wide), sys::ansiToWide(c.time));
        if (c.localeFlags == kStandard) {
            __hlGetDateFormatA_c(out, sizeof out);
            EXPECT_EQ(std::string(out), c.date);
            __hlGetDateFormatW_c(wide, 64);
            EXPECT_EQ(std::u16string(wide), sys::ansiToWide(c.date));
            __hlGetTimeFormatA_c(out, sizeof out);
            EXPECT_EQ(std::string(out), c.time);
            __hlGetTimeFormatW_c(wide, 64);
            EXPECT_EQ(std::u16string(wide), sys::ansiToWide(c.time));
        }
        // Cut to the size given.
        _hlGetDateFormatA(out, 4, c.localeFlags);
        EXPECT_EQ(std::string(out), c.date.substr(0, 3));
        _hlGetTimeFormatW(wide, 3, c.localeFlags);
        EXPECT_EQ(std::u16string(wide), widen(c.time.substr(0, 2)));
    }
}

std::string storedDate() {
    nvl::datetime::CustomPictures pictures;
    nvl::datetime::readCustomPictures(&pictures);
    return pictures.date;
}

std::string storedTime() {
    nvl::datetime::CustomPictures pictures;
    nvl::datetime::readCustomPictures(&pictures);
    return pictures.time;
}

TEST_F(DateTimeTest, SettersKeepWholeCharacters) {
    std::string longest(200, 'd');
    _hlSetDateFormatA(longest.data());
    EXPECT_EQ(storedDate(), std::string(127, 'd'));
    __hlSetTimeFormatA(longest.data());
    EXPECT_EQ(storedTime(), std::string(127, 'd'));

    apply(japanese());
    std::string split = std::string(126, 'd') + "\x93\xFA";  // a double-byte character at 126
    _hlSetDateFormatA(split.data());
    EXPECT_EQ(storedDate(), std::string(126, 'd'));
    std::u16string wide = std::u16string(125, u'd') + u"\u65E5\u65E5";
    _hlSetTimeFormatW(wide.data());
    EXPECT_EQ(storedTime(), std::string(125, 'd') + "\x93\xFA");
}

// Wide pictures are converted with composition: a letter and a following combining mark become
// the precomposed letter where the code page holds it.
TEST_F(DateTimeTest, WideSettersCompose) {
    struct Case {
        const char* codePage;
        std::u16string picture;
        std::string stored;
    } cases[] = {
        {"1252", u"'e\u0301t\u00E9' yyyy", "'\xE9t\xE9' yyyy"},
        {"1252", u"n\u0303 A\u030A z\u030C", "\xF1 \xC5 \x9E"},
        {"1252", u"c\u030C", "c?"},                 // not in 1252: letter and mark apart
        {"1250", u"c\u030C", "\xE8"},               // but in 1250
        {"1252", u"e\u0301\u0301", "\xE9?"},        // one mark composes, the second stays
        {"1252", u"q\u0301", "q?"},                 // no precomposed letter at all
        {"1252", u"\u0301e", "?e"},                 // a mark first has nothing to compose with
        {"1251", u"\u0438\u0306", "\xE9"},          // Cyrillic short i
        {"932", u"\u65E5 e\u0301", "\x93\xFA e?"},  // no e-acute in 932
        {"1252", u"\u65E5", "?"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codePage + std::string(" ") + c.stored);
        apply({"00000409", c.codePage, "", ""});
        std::u16string picture = c.picture;
        __hlSetDateFormatW(picture.data());
        EXPECT_EQ(storedDate(), c.stored);
        __hlSetTimeFormatW(picture.data());
        EXPECT_EQ(storedTime(), c.stored);
    }
    apply({});
    std::u16string picture = u"d MMM yyyy 'e\u0301'";
    _hlSetDateFormatW(picture.data());
    EXPECT_EQ(text(kMoment, DTFMT_DATE | DTFMT_CUSTOM, kStandard), "31 Aug 2006 \xE9");
    EXPECT_EQ(wideText(kMoment, DTFMT_DATE | DTFMT_CUSTOM, kStandard), u"31 Aug 2006 \u00E9");
}

// --- The registry -----------------------------------------------------------------------------

TEST_F(DateTimeTest, PicturesFromTheRegistry) {
    const std::string hundred = "yyyy-MM-dd'" + std::string(88, 'x') + "'";
    ASSERT_EQ(hundred.size(), 100u);
    struct Case {
        const char* what;
        const char* codePage;
        std::string console;  // "-": no key
        std::string date, time;
    } cases[] = {
        {"both", "1252", "\"FmtDate\"=\"yyyy-MM-dd\"\r\n\"FmtTime\"=\"HH:mm\"\r\n", "yyyy-MM-dd",
         "HH:mm"},
        {"100 characters keep 63", "1252", "\"FmtDate\"=\"" + hundred + "\"\r\n",
         hundred.substr(0, 63), ""},
        {"127 bytes fit the value's buffer", "1252",
         "\"FmtDate\"=\"" + std::string(127, 'd') + "\"\r\n", std::string(63, 'd'), ""},
        {"128 bytes do not", "1252", "\"FmtDate\"=\"" + std::string(128, 'd') + "\"\r\n", "", ""},
        {"a number is not a picture", "1252",
         "\"FmtDate\"=dword:00000001\r\n\"FmtTime\"=\"HH\"\r\n", "", "HH"},
        {"binary data is not a picture", "1252", "\"FmtDate\"=hex:79,79,79,79\r\n", "", ""},
        {"invalid UTF-8", "1252", "\"FmtDate\"=\"yy\xFFyy\"\r\n\"FmtTime\"=\"HH\"\r\n", "", "HH"},
        {"UTF-8 to 1252", "1252", "\"FmtDate\"=\"d 'd\xC3\xA9j\xC3\xA0'\"\r\n", "d 'd\xE9j\xE0'",
         ""},
        // 60 three-byte characters of UTF-8 are 120 bytes in 932: read, then cut whole at 62.
        {"limits counted in the ANSI code page", "932",
         "\"FmtDate\"=\"" +
             [] {
                 std::string s;
                 for (int i = 0; i < 60; ++i)
                     s += "\xE6\x97\xA5";
                 return s;
             }() +
             "\"\r\n",
         [] {
             std::string s;
             for (int i = 0; i < 31; ++i)
                 s += "\x93\xFA";
             return s;
         }(),
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        apply({"00000409", c.codePage, "", c.console});
        char before[] = "before";
        _hlSetDateFormatA(before);
        _hlSetTimeFormatA(before);
        hlGetCustomFormatFromServerRegistry();
        EXPECT_EQ(storedDate(), c.date);
        EXPECT_EQ(storedTime(), c.time);
    }

    // No key: the pictures stay as they are.
    apply(english("", "-"));
    char before[] = "before";
    _hlSetDateFormatA(before);
    hlGetCustomFormatFromServerRegistry();
    EXPECT_EQ(storedDate(), "before");
}

// Another process changes FmtDate with nvl-reg; the next load here sees the change.
TEST_F(DateTimeTest, RegistryChangedByAnotherProcess) {
    apply(english("", "\"FmtDate\"=\"yyyy-MM-dd\"\r\n"));
    hlGetCustomFormatFromServerRegistry();
    EXPECT_EQ(text(kMoment, DTFMT_DATE | DTFMT_CUSTOM, kStandard), "2006-08-31");

    const std::string tool = std::string(CGISHARE_BINARY_DIR) + "/tools/nvlreg/nvl-reg";
    nvl::test::Child writer([&tool] {
        ::execl(tool.c_str(), "nvl-reg", "set",
                "HKLM\\SOFTWARE\\HaldenLabs\\Norvel\\service\\Console", "FmtDate", "sz",
                "dd.MM.yyyy", static_cast<char*>(nullptr));
        return 127;
    });
    ASSERT_EQ(writer.wait(), 0);
    hlGetCustomFormatFromServerRegistry();
    EXPECT_EQ(text(kMoment, DTFMT_DATE | DTFMT_CUSTOM, kStandard), "31.08.2006");
}

// --- Threads ----------------------------------------------------------------------------------

// A setter racing formatting threads: every text is made with the old or the new picture, whole.
TEST_F(DateTimeTest, SetterRacingFormatters) {
    std::string first = "yyyy-MM-dd";
    std::string second = "'" + std::string(40, '.') + "' d/M/yyyy";
    _hlSetDateFormatA(first.data());
    const std::string firstText = text(kMoment, DTFMT_DATE | DTFMT_CUSTOM, kStandard);
    _hlSetDateFormatA(second.data());
    const std::string secondText = text(kMoment, DTFMT_DATE | DTFMT_CUSTOM, kStandard);
    ASSERT_EQ(firstText, "2006-08-31");
    ASSERT_EQ(secondText, std::string(40, '.') + " 31/8/2006");

    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, made{0};
    std::vector<std::thread> formatters;
    for (int i = 0; i < 2; ++i) {
        formatters.emplace_back([&] {
            while (!stop.load(std::memory_order_relaxed)) {
                std::string t = text(kMoment, DTFMT_DATE | DTFMT_CUSTOM, kStandard);
                if (t != firstText && t != secondText)
                    wrong.fetch_add(1);
                made.fetch_add(1);
            }
        });
    }
    for (int i = 0; i < 20000 || made.load() < 20000; ++i) {
        _hlSetDateFormatA(i % 2 == 0 ? first.data() : second.data());
        if (i > 2000000)
            break;
    }
    stop = true;
    for (std::thread& t : formatters)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GE(made.load(), 20000);
}

// --- Exports ----------------------------------------------------------------------------------

// The plain-linkage names are exported by the shared library under those very names.
TEST(DateTimeExports, PlainLinkageNames) {
    std::string path = std::string(CGISHARE_BINARY_DIR) + "/libcgishare.so";
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    for (const char* name :
         {"__hlGetDateTimeStringA_t", "__hlGetDateTimeStringA_tstr", "__hlGetDateTimeStringA_tm",
          "__hlGetDateTimeStringA_syst", "__hlGetDateTimeStringW_t", "__hlGetDateTimeStringW_tstr",
          "__hlGetDateTimeStringW_tm", "__hlGetDateTimeStringW_syst", "__hlGetDateFormatA_c",
          "__hlGetDateFormatW_c", "__hlGetTimeFormatA_c", "__hlGetTimeFormatW_c",
          "__hlSetDateFormatA", "__hlSetDateFormatW", "__hlSetTimeFormatA", "__hlSetTimeFormatW"}) {
        EXPECT_NE(::dlsym(library, name), nullptr) << name;
    }
    ::dlclose(library);
}

TEST_F(DateTimeTest, PlainLinkageFormsForward) {
    tm calendar{};
    calendar.tm_year = 106;
    calendar.tm_mon = 7;
    calendar.tm_mday = 31;
    calendar.tm_hour = 9;
    calendar.tm_min = 41;
    calendar.tm_sec = 7;
    long seconds = localSeconds(2006, 8, 31, 9, 41, 7);
    std::string decimal = std::to_string(seconds);
    std::u16string wideDecimal = widen(decimal);
    const std::string expected = "8/31/2006 9:41:07";
    char out[64];
    char16_t wide[64];
    __hlGetDateTimeStringA_t(seconds, out, 64, kBoth, kStandard);
    EXPECT_EQ(std::string(out), expected);
    __hlGetDateTimeStringA_tstr(decimal.c_str(), out, 64, kBoth, kStandard);
    EXPECT_EQ(std::string(out), expected);
    __hlGetDateTimeStringA_tm(&calendar, out, 64, kBoth, kStandard);
    EXPECT_EQ(std::string(out), expected);
    __hlGetDateTimeStringA_syst(&kMoment, out, 64, kBoth, kStandard);
    EXPECT_EQ(std::string(out), expected);
    __hlGetDateTimeStringW_t(seconds, wide, 64, kBoth, kStandard);
    EXPECT_EQ(std::u16string(wide), widen(expected));
    __hlGetDateTimeStringW_tstr(wideDecimal.c_str(), wide, 64, kBoth, kStandard);
    EXPECT_EQ(std::u16string(wide), widen(expected));
    __hlGetDateTimeStringW_tm(&calendar, wide, 64, kBoth, kStandard);
    EXPECT_EQ(std::u16string(wide), widen(expected));
    __hlGetDateTimeStringW_syst(&kMoment, wide, 64, kBoth, kStandard);
    EXPECT_EQ(std::u16string(wide), widen(expected));
}

}  // namespace
