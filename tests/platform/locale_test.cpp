#include "platform/locale.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/locale_icu.h"
#include "platform/registry.h"
#include "support/child_process.h"
#include "support/test_env.h"

extern char** environ;

namespace nvl::sys {
namespace {

using test::TestEnv;

constexpr Lcid kJa = 0x0411, kZhTw = 0x0404, kZhCn = 0x0804, kKo = 0x0412, kDe = 0x0407,
               kFr = 0x040C, kEnGb = 0x0809, kIt = 0x0410, kRu = 0x0419;
constexpr std::string_view kIntl = "Control Panel\\International";

SystemTime at(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    SystemTime st{};
    st.year = static_cast<uint16_t>(y);
    st.month = static_cast<uint16_t>(mo);
    st.day = static_cast<uint16_t>(d);
    st.hour = static_cast<uint16_t>(h);
    st.minute = static_cast<uint16_t>(mi);
    st.second = static_cast<uint16_t>(s);
    return st;
}

std::string utf8(std::u16string_view text) {
    std::string out(text.size() * 3, '\0');
    ConvertResult r = encodeSome(kCodePageUtf8, text, out.data(), out.size());
    out.resize(r.written);
    return out;
}

std::string error() {
    return "error " + std::to_string(lastError());
}

// A W call's result as UTF-8, or "error N"; the size query must agree with the result.
template <typename Call>
std::string wide(Call call) {
    setLastError(kSuccess);
    int needed = call(nullptr, 0);
    if (needed == 0)
        return error();
    std::u16string out(static_cast<size_t>(needed), u'#');
    int n = call(out.data(), needed);
    if (n != needed || out[static_cast<size_t>(n) - 1] != u'\0')
        return "size mismatch";
    return utf8(std::u16string_view(out.data(), static_cast<size_t>(n) - 1));
}

std::string dateW(Lcid lcid, uint32_t flags, SystemTime st, const char16_t* picture) {
    return wide([&](char16_t* out, int size) {
        return getDateFormatW(lcid, flags, &st, picture, out, size);
    });
}

std::string timeW(Lcid lcid, uint32_t flags, SystemTime st, const char16_t* picture) {
    return wide([&](char16_t* out, int size) {
        return getTimeFormatW(lcid, flags, &st, picture, out, size);
    });
}

std::string infoW(Lcid lcid, uint32_t type) {
    return wide([&](char16_t* out, int size) { return getLocaleInfoW(lcid, type, out, size); });
}

// An A call's bytes, or "error N".
template <typename Call>
std::string bytes(Call call) {
    setLastError(kSuccess);
    int needed = call(nullptr, 0);
    if (needed == 0)
        return error();
    std::string out(static_cast<size_t>(needed), '#');
    int n = call(out.data(), needed);
    if (n != needed || out[static_cast<size_t>(n) - 1] != '\0')
        return "size mismatch";
    out.resize(static_cast<size_t>(n) - 1);
    return out;
}

// A private registry; the system and user locales and the ANSI code page are read anew.
class LocaleTest : public ::testing::Test {
  protected:
    LocaleTest() { setRegistry(""); }
    ~LocaleTest() override {
        setRegistry("");
        icu::setDisabledForTesting(false);
    }

    // `sections`: registry file lines after the version line.
    void setRegistry(const std::string& sections) {
        env_.writeFile("etc/registry.reg",
                       "Windows Registry Editor Version 5.00\r\n\r\n" + sections);
        forgetRegistryCache();
        resetLocalesForTesting();
        resetAnsiCodePageForTesting();
    }

    void setUserLocale(const std::string& hexLcid) {
        setRegistry("[HKEY_CURRENT_USER\\Control Panel\\International]\r\n\"Locale\"=\"" + hexLcid +
                    "\"\r\n");
    }

    void setOverride(std::string_view name, const RegValue& value) {
        RegistryKey key;
        ASSERT_EQ(kSuccess, RegistryKey::create(RegHive::CurrentUser, kIntl, &key));
        ASSERT_EQ(kSuccess, key.setValue(name, value));
    }
    void setOverride(std::string_view name, std::string_view text) {
        setOverride(name, RegValue{kRegSz, std::string(text)});
    }

    TestEnv env_;
};

// --- Pictures: the original platform's own vectors (en-US) ---------------------------------

struct PictureCase {
    const char16_t* picture;
    uint32_t flags;
    SystemTime when;
    const char* expected;
};

TEST_F(LocaleTest, TimePictures) {
    const SystemTime t = at(2002, 5, 4, 8, 56, 13);
    const SystemTime pm = at(2002, 5, 4, 13, 56, 13);
    const SystemTime early = at(2002, 5, 4, 0, 5, 0);
    const PictureCase cases[] = {
        {u"h:m:s tt", 0, t, "8:56:13 AM"},
        {u"tt HH':'mm'@'ss", kTimeForce24HourFormat, t, "AM 08:56@13"},
        {u"h:m:s tt", kTimeNoSeconds, t, "8:56 AM"},
        {u"h.@:m.@:s.@:tt", kTimeNoSeconds, t, "8.@:56AM"},
        {u"s1s2s3", kTimeNoSeconds, t, ""},
        {u"m1s2m3s4", kTimeNoMinutesOrSeconds, t, ""},
        {nullptr, kTimeNoMinutesOrSeconds, t, "8 AM"},
        {nullptr, kTimeNoSeconds, t, "8:56 AM"},
        {u"h1t2tt3m", kTimeNoTimeMarker, pm, "156"},
        {u"'123'tt", kTimeNoTimeMarker, t, ""},
        {u"h:m:s tt", kTimeForce24HourFormat, pm, "13:56:13 PM"},
        {u"h:m:s", kTimeForce24HourFormat, pm, "13:56:13"},
        {nullptr, kTimeNoTimeMarker | kTimeForce24HourFormat, pm, "13:56:13"},
        {u"h/H/hh/HH", 0, early, "12/0/12/00"},
        {u"hhh HHH mmm sss", 0, t, "08 08 56 13"},
        {u"t|ttt", 0, pm, "P|PM"},
        {u"M:MM:MMM S:SS:SSS d y g", 0, t, "M:MM:MMM S:SS:SSS d y g"},
        // Quoting: '' inside quotes is a quote, outside an empty quoted text.
        {u"'abc''bar'", 0, t, "abc'bar"},
        {u"''''", 0, t, "'"},
        {u"''HHHHHH", 0, t, "08"},
        {u"'''HHHHHH'", 0, t, "'HHHHHH"},
        {u"'''HHHHHH", 0, t, "'HHHHHH"},
        {u"'''", 0, t, "'"},
        {u"'h' h", 0, t, "h 8"},
    };
    for (const PictureCase& c : cases) {
        SCOPED_TRACE(c.picture != nullptr ? utf8(c.picture) : "(locale's)");
        EXPECT_EQ(c.expected, timeW(kLocaleEnUs, c.flags, c.when, c.picture));
    }
}

TEST_F(LocaleTest, DatePictures) {
    const SystemTime may4 = at(2002, 5, 4);  // a Saturday
    SystemTime wrongWeekday = at(2002, 10, 23);
    wrongWeekday.dayOfWeek = 1;
    const PictureCase cases[] = {
        {u"ddd',' MMM dd yy", 0, may4, "Sat, May 04 02"},
        {u"''''yy", 0, may4, "'02"},
        {u"ddd',' MMM dd ''''yy", 0, may4, "Sat, May 04 '02"},
        {nullptr, 0, may4, "5/4/2002"},
        {nullptr, kDateShortDate, may4, "5/4/2002"},
        {nullptr, kDateLongDate, may4, "Saturday, May 4, 2002"},
        {nullptr, kDateYearMonth, may4, "May 2002"},
        {u"dddd d MMMM yyyy", 0, wrongWeekday, "Wednesday 23 October 2002"},
        {u"yyyy-MM-dd", 0, at(1601, 1, 1), "1601-01-01"},
        {u"d dd M MM", 0, at(2002, 1, 9), "9 09 1 01"},
        {u"y|yy|yyy|yyyy|yyyyy", 0, may4, "2|02|2002|2002|2002"},
        {u"y|yy", 0, at(2010, 1, 1), "10|10"},
        {u"dddddd MMMMMM", 0, may4, "Saturday May"},
        {u"g|gg|ggg", 0, may4, "A.D.|A.D.|A.D."},
        {u"h:m:s tt", 0, may4, "h:m:s tt"},
        {u"'d''M' d", 0, may4, "d'M 4"},
        {u"d日", 0, at(2000, 2, 29), "29日"},
    };
    for (const PictureCase& c : cases) {
        SCOPED_TRACE(c.picture != nullptr ? utf8(c.picture) : "(locale's)");
        EXPECT_EQ(c.expected, dateW(kLocaleEnUs, c.flags, c.when, c.picture));
    }
}

TEST_F(LocaleTest, Errors) {
    const SystemTime ok = at(2002, 5, 4, 8, 56, 13);
    auto dateA = [](Lcid lcid, uint32_t flags, SystemTime st, const char* picture) {
        return bytes([&](char* out, int size) {
            return getDateFormatA(lcid, flags, &st, picture, out, size);
        });
    };
    auto timeA = [](Lcid lcid, uint32_t flags, SystemTime st, const char* picture) {
        return bytes([&](char* out, int size) {
            return getTimeFormatA(lcid, flags, &st, picture, out, size);
        });
    };
    const std::string flagsError = "error 1004", parameterError = "error 87";
    EXPECT_EQ(flagsError, dateA(kLocaleEnUs, kDateLongDate, ok, "d"));
    EXPECT_EQ(flagsError, dateA(kLocaleEnUs, kLocaleNoUserOverride, ok, "d"));
    EXPECT_EQ(flagsError, dateA(kLocaleEnUs, kDateShortDate | kDateLongDate, ok, nullptr));
    EXPECT_EQ(flagsError, dateA(kLocaleEnUs, 0x100, ok, nullptr));
    EXPECT_EQ(flagsError, timeA(kLocaleEnUs, kLocaleNoUserOverride, ok, "h"));
    EXPECT_EQ(flagsError, timeA(kLocaleEnUs, 0x10, ok, nullptr));
    EXPECT_EQ(flagsError, infoW(kLocaleEnUs, 0x7777));

    EXPECT_EQ(parameterError, dateA(kLocaleEnUs, 0, at(1600, 12, 31), "d"));
    EXPECT_EQ(parameterError, dateA(kLocaleEnUs, 0, at(2002, 13, 1), "d"));
    EXPECT_EQ(parameterError, dateA(kLocaleEnUs, 0, at(2001, 2, 29), "d"));
    EXPECT_EQ(parameterError, dateA(kLocaleEnUs, 0, at(2002, 4, 0), "d"));
    EXPECT_EQ(parameterError, dateA(0x1000, 0, ok, "d"));
    EXPECT_EQ(parameterError, dateA(0x0FFF, 0, ok, "d"));
    EXPECT_EQ(parameterError, timeA(kLocaleEnUs, 0, at(2002, 5, 4, 24, 0, 0), "H"));
    EXPECT_EQ(parameterError, timeA(kLocaleEnUs, 0, at(2002, 5, 4, 1, 60, 0), "H"));
    EXPECT_EQ(parameterError, timeA(kLocaleEnUs, 0, at(2002, 5, 4, 1, 0, 60), "H"));
    // A time ignores the date, a date the time.
    EXPECT_EQ("8", timeA(kLocaleEnUs, 0, at(0, 60, 99, 8, 0, 0), "H"));
    EXPECT_EQ("4", dateA(kLocaleEnUs, 0, at(2002, 5, 4, 99, 99, 99), "d"));

    char out[8] = "xxxxxxx";
    SystemTime st = ok;
    setLastError(kSuccess);
    EXPECT_EQ(0, getDateFormatA(kLocaleEnUs, 0, &st, "d", out, -1));
    EXPECT_EQ(kErrInvalidParameter, lastError());
    EXPECT_EQ(0, getDateFormatA(kLocaleEnUs, 0, &st, "d", nullptr, 4));
    EXPECT_EQ(kErrInvalidParameter, lastError());
    EXPECT_EQ(0, getTimeFormatA(kLocaleEnUs, 0, &st, "hh:mm", out, 5));  // needs 6
    EXPECT_EQ(kErrInsufficientBuffer, lastError());
    EXPECT_EQ(0, getLocaleInfoA(kLocaleEnUs, kLocaleSShortDate, out, 8));  // needs 9
    EXPECT_EQ(kErrInsufficientBuffer, lastError());
    // A success leaves the last error alone.
    setLastError(kErrAccessDenied);
    EXPECT_EQ(6, getTimeFormatA(kLocaleEnUs, 0, &st, "hh:mm", out, 6));
    EXPECT_STREQ("08:56", out);
    EXPECT_EQ(kErrAccessDenied, lastError());
}

// --- A functions: the locale's code page ---------------------------------------------------

TEST_F(LocaleTest, AnsiCallsCountBytesOfTheLocalesCodePage) {
    SystemTime st = at(2002, 5, 4, 13, 5, 0);
    // 日 is two bytes in 932: "4日" needs 3 bytes and the NUL.
    char out[8] = {};
    EXPECT_EQ(4, getDateFormatA(kJa, 0, &st, "d\x93\xfa", nullptr, 0));
    EXPECT_EQ(0, getDateFormatA(kJa, 0, &st, "d\x93\xfa", out, 3));
    EXPECT_EQ(kErrInsufficientBuffer, lastError());
    EXPECT_EQ(4, getDateFormatA(kJa, 0, &st, "d\x93\xfa", out, 4));
    EXPECT_STREQ("4\x93\xfa", out);

    // The picture is decoded before it is read: in ッ (83 64) the trail byte is a 'd'.
    EXPECT_EQ(
        "\x83\x64"
        "4",
        bytes([&](char* o, int n) {
            return getDateFormatA(kJa, 0, &st,
                                  "\x83\x64"
                                  "d",
                                  o, n);
        }));
    // The result is in the locale's code page: 午後 in 932, in 936 for zh-CN's 下午, and with
    // LOCALE_USE_CP_ACP in the process's (1252 here, which cannot hold it).
    EXPECT_EQ("\x8c\xdf\x8c\xe3",
              bytes([&](char* o, int n) { return getTimeFormatA(kJa, 0, &st, "tt", o, n); }));
    EXPECT_EQ("\xcf\xc2\xce\xe7",
              bytes([&](char* o, int n) { return getTimeFormatA(kZhCn, 0, &st, "tt", o, n); }));
    EXPECT_EQ("??", bytes([&](char* o, int n) {
                  return getTimeFormatA(kJa, kLocaleUseCpAcp, &st, "tt", o, n);
              }));
    EXPECT_EQ("??", bytes([&](char* o, int n) {
                  return getLocaleInfoA(kJa, kLocaleS1159 | kLocaleUseCpAcp, o, n);
              }));
    EXPECT_EQ("932", bytes([&](char* o, int n) {
                  return getLocaleInfoA(kJa, kLocaleIDefaultAnsiCodePage, o, n);
              }));
}

// --- The built-in table --------------------------------------------------------------------

TEST_F(LocaleTest, TableLocales) {
    struct Row {
        Lcid lcid;
        const char* name;
        const char* shortDate;
        const char* separator;
        const char* timeFormat;
        const char* morning;  // 09:07:08 with TIME_NOTIMEMARKER | TIME_FORCE24HOURFORMAT
        const char* evening;  // 21:07:08, the same flags
        const char* date;     // 2024-03-05, DATE_SHORTDATE
        const char* am;
        const char* era;  // g in the Gregorian calendar
        const char* codePage;
    };
    const Row rows[] = {
        {kLocaleEnUs, "en-US", "M/d/yyyy", "/", "h:mm:ss tt", "9:07:08", "21:07:08", "3/5/2024",
         "AM", "A.D.", "1252"},
        {kEnGb, "en-GB", "dd/MM/yyyy", "/", "HH:mm:ss", "09:07:08", "21:07:08", "05/03/2024", "AM",
         "A.D.", "1252"},
        {kJa, "ja-JP", "yyyy/MM/dd", "/", "H:mm:ss", "9:07:08", "21:07:08", "2024/03/05", "午前",
         "西暦", "932"},
        {kZhTw, "zh-TW", "yyyy/M/d", "/", "tt hh:mm:ss", "09:07:08", "21:07:08", "2024/3/5", "上午",
         "西元", "950"},
        {kZhCn, "zh-CN", "yyyy/M/d", "/", "H:mm:ss", "9:07:08", "21:07:08", "2024/3/5", "上午",
         "公元", "936"},
        {kKo, "ko-KR", "yyyy-MM-dd", "-", "tt h:mm:ss", "9:07:08", "21:07:08", "2024-03-05", "오전",
         "서기", "949"},
        {kDe, "de-DE", "dd.MM.yyyy", ".", "HH:mm:ss", "09:07:08", "21:07:08", "05.03.2024", "",
         "n. Chr.", "1252"},
        {kFr, "fr-FR", "dd/MM/yyyy", "/", "HH:mm:ss", "09:07:08", "21:07:08", "05/03/2024", "",
         "ap. J.-C.", "1252"},
        {kLocaleInvariant, "", "MM/dd/yyyy", "/", "HH:mm:ss", "09:07:08", "21:07:08", "03/05/2024",
         "AM", "A.D.", "1252"},
    };
    const uint32_t flags = kTimeNoTimeMarker | kTimeForce24HourFormat;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const uint32_t fixed = kLocaleNoUserOverride;
        EXPECT_EQ(r.name, infoW(r.lcid, kLocaleSName));
        EXPECT_EQ(r.shortDate, infoW(r.lcid, kLocaleSShortDate | fixed));
        EXPECT_EQ(r.separator, infoW(r.lcid, kLocaleSDate | fixed));
        EXPECT_EQ(r.timeFormat, infoW(r.lcid, kLocaleSTimeFormat | fixed));
        EXPECT_EQ("1", infoW(r.lcid, kLocaleICalendarType | fixed));
        EXPECT_EQ(r.am, infoW(r.lcid, kLocaleS1159));
        EXPECT_EQ(r.codePage, infoW(r.lcid, kLocaleIDefaultAnsiCodePage));
        EXPECT_EQ(r.morning, timeW(r.lcid, flags | fixed, at(2024, 3, 5, 9, 7, 8), nullptr));
        EXPECT_EQ(r.evening, timeW(r.lcid, flags | fixed, at(2024, 3, 5, 21, 7, 8), nullptr));
        EXPECT_EQ(r.date, dateW(r.lcid, kDateShortDate | fixed, at(2024, 3, 5), nullptr));
        EXPECT_EQ(r.era, dateW(r.lcid, 0, at(2024, 3, 5), u"gg"));
    }
    // Names that differ from ICU's: numbers for the abbreviated months of ja and ko.
    EXPECT_EQ("5|5월", dateW(kKo, 0, at(2002, 5, 4), u"MMM|MMMM"));
    EXPECT_EQ("5", infoW(kJa, kLocaleSAbbrevMonthName1 + 4));
    EXPECT_EQ("Sep", infoW(kEnGb, kLocaleSAbbrevMonthName1 + 8));
    EXPECT_EQ("Monday", infoW(kEnGb, kLocaleSDayName1));
    EXPECT_EQ("Sun", infoW(kLocaleInvariant, kLocaleSAbbrevDayName1 + 6));
    EXPECT_EQ("3", infoW(kJa, kLocaleIOptionalCalendar));
    EXPECT_EQ("0", infoW(kDe, kLocaleIOptionalCalendar));
}

TEST_F(LocaleTest, NamesFromIcu) {
    if (!icu::available())
        GTEST_SKIP() << "ICU is not installed";
    EXPECT_EQ("土曜日 5月", dateW(kJa, 0, at(2002, 5, 4), u"dddd MMMM"));
    EXPECT_EQ("Samstag, 4. Mai 2002", dateW(kDe, kDateLongDate, at(2002, 5, 4), nullptr));
    EXPECT_EQ("samedi", infoW(kFr, kLocaleSDayName1 + 5));
    EXPECT_EQ("2002년 5월 4일 토요일", dateW(kKo, kDateLongDate, at(2002, 5, 4), nullptr));
}

// --- Era calendars -------------------------------------------------------------------------

TEST_F(LocaleTest, EraCalendars) {
    struct Case {
        const char* userLocale;
        const char* calendar;
        SystemTime when;
        const char16_t* picture;  // null: DATE_SHORTDATE
        const char* expected;
    };
    const Case cases[] = {
        {"00000411", "3", at(1989, 1, 7), nullptr, "昭和 64/1/7"},
        {"00000411", "3", at(1989, 1, 8), nullptr, "平成 1/1/8"},
        {"00000411", "3", at(2019, 4, 30), nullptr, "平成 31/4/30"},
        {"00000411", "3", at(2019, 5, 1), nullptr, "令和 1/5/1"},
        {"00000411", "3", at(1991, 7, 1), u"ggyy|yyyy|y", "平成03|03|3"},
        {"00000411", "3", at(1868, 1, 1), u"gg y", "明治 1"},
        {"00000411", "3", at(1867, 12, 31), u"gg y", "error 87"},
        {"00000411", "1", at(2019, 5, 1), nullptr, "2019/05/01"},
        {"00000404", "4", at(2024, 3, 5), nullptr, "113/3/5"},
        {"00000404", "4", at(2002, 3, 5), u"gg yyyy|yy|y", "中華民國 91|91|91"},
        {"00000404", "4", at(1911, 12, 31), nullptr, "error 87"},
        {"00000412", "5", at(2024, 3, 5), nullptr, "단기 4357-03-05"},
        {"00000409", "2", at(2024, 3, 5), u"gg yyyy", "A.D. 2024"},
        // A calendar the locale does not have reads as its own.
        {"00000412", "3", at(2024, 3, 5), nullptr, "2024-03-05"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.userLocale) + " calendar " + c.calendar);
        setUserLocale(c.userLocale);
        setOverride("iCalendarType", c.calendar);
        uint32_t flags = c.picture == nullptr ? kDateShortDate : 0u;
        EXPECT_EQ(c.expected, dateW(kLocaleUserDefault, flags, c.when, c.picture));
    }
    // LOCALE_NOUSEROVERRIDE: the locale's own calendar and short date.
    setUserLocale("00000411");
    setOverride("iCalendarType", "3");
    EXPECT_EQ("3", infoW(kJa, kLocaleICalendarType));
    EXPECT_EQ("gg y/M/d", infoW(kJa, kLocaleSShortDate));
    EXPECT_EQ("1", infoW(kJa, kLocaleICalendarType | kLocaleNoUserOverride));
    EXPECT_EQ("2019/05/01",
              dateW(kJa, kDateShortDate | kLocaleNoUserOverride, at(2019, 5, 1), nullptr));
}

TEST_F(LocaleTest, JapaneseErasFromIcuMatchTheBuiltInOnes) {
    if (!icu::available())
        GTEST_SKIP() << "ICU is not installed";
    const SystemTime dates[] = {
        at(1868, 1, 1), at(1912, 7, 29), at(1912, 7, 30), at(1926, 12, 24), at(1926, 12, 25),
        at(1989, 1, 7), at(1989, 1, 8),  at(2019, 4, 30), at(2019, 5, 1),   at(2100, 1, 1)};
    for (const SystemTime& d : dates) {
        int icuYear = 0, builtInYear = 0;
        std::u16string_view icuName, builtInName;
        ASSERT_TRUE(icu::japaneseEra(d.year, d.month, d.day, &icuYear, &icuName));
        icu::setDisabledForTesting(true);
        ASSERT_TRUE(icu::japaneseEra(d.year, d.month, d.day, &builtInYear, &builtInName));
        icu::setDisabledForTesting(false);
        EXPECT_EQ(builtInYear, icuYear) << d.year << "-" << d.month << "-" << d.day;
        EXPECT_EQ(utf8(builtInName), utf8(icuName));
    }
}

// --- Locales from ICU ----------------------------------------------------------------------

TEST_F(LocaleTest, PatternTranslation) {
    struct Case {
        const char16_t* pattern;
        bool shortDate;
        const char16_t* expected;
    };
    const Case cases[] = {
        {u"M/d/yy", true, u"M/d/yyyy"},
        {u"yy. M. d.", true, u"yyyy. M. d."},
        {u"dd/MM/y", true, u"dd/MM/yyyy"},
        {u"d.MM.yy", false, u"d.MM.yy"},
        {u"h:mm:ss\u202Fa", false, u"h:mm:ss tt"},
        {u"Bh:mm:ss", false, u"tth:mm:ss"},
        {u"K:mm\u00A0a", false, u"h:mm tt"},
        {u"kk:mm", false, u"HH:mm"},
        {u"HH:mm:ss z", false, u"HH:mm:ss"},
        {u"zzzz HH:mm", false, u"HH:mm"},
        {u"EEEE d MMMM y", false, u"dddd d MMMM yyyy"},
        {u"EEEEEE, LLLL y G", false, u"ddd, MMMM yyyy gg"},
        {u"d 'de' MMMM 'de' y", false, u"d 'de' MMMM 'de' yyyy"},
        {u"EEEE, d MMMM y 'г'.", false, u"dddd, d MMMM yyyy г."},
        {u"h 'o''clock' a", false, u"h 'o''clock' tt"},
        {u"HH''mm", false, u"HH''''mm"},
        {u"H 'h' mm", false, u"H 'h' mm"},
        {u"y年M月d日", true, u"yyyy年M月d日"},
        {u"MMMM 'năm' y", false, u"MMMM 'năm' yyyy"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(utf8(c.pattern));
        EXPECT_EQ(utf8(c.expected), utf8(icu::translatePattern(c.pattern, c.shortDate)));
    }
}

TEST_F(LocaleTest, LocalesFromIcu) {
    if (!icu::available())
        GTEST_SKIP() << "ICU is not installed";
    EXPECT_EQ("it-IT", infoW(kIt, kLocaleSName));
    EXPECT_EQ("dd/MM/yyyy", infoW(kIt, kLocaleSShortDate));
    EXPECT_EQ("/", infoW(kIt, kLocaleSDate));
    EXPECT_EQ("HH:mm:ss", infoW(kIt, kLocaleSTimeFormat));
    EXPECT_EQ("1252", infoW(kIt, kLocaleIDefaultAnsiCodePage));
    EXPECT_EQ("04/05/2002", dateW(kIt, 0, at(2002, 5, 4), nullptr));

    // Russian: genitive month names next to a day number, nominative elsewhere.
    EXPECT_EQ("dd.MM.yyyy", infoW(kRu, kLocaleSShortDate));
    EXPECT_EQ(".", infoW(kRu, kLocaleSDate));
    const PictureCase cases[] = {
        {u"d MMMM yyyy", 0, at(2002, 1, 5), "5 января 2002"},
        {u"ddMMMM", 0, at(2002, 1, 5), "05января"},
        {u"MMMMdd", 0, at(2002, 1, 5), "января05"},
        {u"MMMMddd", 0, at(2002, 1, 5), "январьсб"},
        {u"dd dddMMMM", 0, at(2002, 1, 5), "05 сбянварь"},
        {u"MMMM yyyy", 0, at(2002, 1, 5), "январь 2002"},
    };
    for (const PictureCase& c : cases) {
        SCOPED_TRACE(utf8(c.picture));
        EXPECT_EQ(c.expected, dateW(kRu, c.flags, c.when, c.picture));
    }
    EXPECT_EQ("январь", infoW(kRu, kLocaleSMonthName1));
    // Its A calls speak 1251.
    SystemTime st = at(2002, 1, 5);
    EXPECT_EQ("5 \xff\xed\xe2\xe0\xf0\xff",
              bytes([&](char* o, int n) { return getDateFormatA(kRu, 0, &st, "d MMMM", o, n); }));
}

TEST_F(LocaleTest, IcuDataIsSharedSafelyBetweenThreads) {
    if (!icu::available())
        GTEST_SKIP() << "ICU is not installed";
    const Lcid lcids[] = {0x0415, 0x0405, 0x0413, 0x041D};  // not read by another test
    std::vector<std::string> first(4);
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                Lcid lcid = lcids[(t + i) % 4];
                std::string text = dateW(lcid, kDateLongDate, at(2002, 5, 4), nullptr);
                if (text.empty() || text.rfind("error", 0) == 0)
                    ++mismatches;
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(0, mismatches.load());
}

// --- Which locale --------------------------------------------------------------------------

TEST_F(LocaleTest, ResolvesPseudoLcids) {
    setRegistry(
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\Locale]\r\n"
        "@=\"00000411\"\r\n"
        "[HKEY_CURRENT_USER\\Control Panel\\International]\r\n"
        "\"Locale\"=\"00000407\"\r\n");
    EXPECT_EQ(kJa, systemDefaultLcid());
    EXPECT_EQ(kDe, userDefaultLcid());
    const std::pair<Lcid, Lcid> cases[] = {
        {kLocaleSystemDefault, kJa},
        {kLocaleUserDefault, kDe},
        {kLocaleNeutral, kDe},
        {kLocaleCustomDefault, kDe},
        {kLocaleCustomUiDefault, kDe},
        {0x10407, kDe},
        {0x0011, kJa},
        {0x0009, kLocaleEnUs},
        {0x0004, kZhCn},
        {0x007F, kLocaleInvariant},
        {0x1000, 0},
        {0x0FFF, 0},
        {0x01000409, 0},
    };
    for (auto [lcid, expected] : cases)
        EXPECT_EQ(expected, resolveLcid(lcid)) << std::hex << lcid;
    EXPECT_EQ("yyyy/MM/dd", infoW(kLocaleSystemDefault, kLocaleSShortDate));
    EXPECT_EQ("dd.MM.yyyy", infoW(kLocaleUserDefault, kLocaleSShortDate));
}

TEST_F(LocaleTest, GarbageLocaleValuesReadAsAbsent) {
    const char* garbage[] = {"\"zz\"", "\"00000400\"",   "\"000000000409\"",
                             "\"\"",   "dword:00000411", "\"00000FFF\""};
    for (const char* value : garbage) {
        SCOPED_TRACE(value);
        setRegistry(std::string("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\"
                                "Locale]\r\n@=") +
                    value + "\r\n[HKEY_CURRENT_USER\\Control Panel\\International]\r\n\"Locale\"=" +
                    value + "\r\n");
        EXPECT_EQ(kLocaleEnUs, systemDefaultLcid());
        EXPECT_EQ(kLocaleEnUs, userDefaultLcid());
    }
}

TEST_F(LocaleTest, ThreadLocale) {
    setUserLocale("00000412");
    EXPECT_EQ(kKo, threadLocale());
    ASSERT_TRUE(setThreadLocale(kJa));
    EXPECT_EQ(kJa, threadLocale());
    Lcid other = 0;
    std::thread([&] { other = threadLocale(); }).join();
    EXPECT_EQ(kKo, other);  // a thread starts with the user locale
    setLastError(kSuccess);
    EXPECT_FALSE(setThreadLocale(0x0FFF));
    EXPECT_EQ(kErrInvalidParameter, lastError());
    EXPECT_EQ(kJa, threadLocale());
    ASSERT_TRUE(setThreadLocale(kLocaleSystemDefault));
    EXPECT_EQ(kLocaleEnUs, threadLocale());
}

// --- User overrides ------------------------------------------------------------------------

TEST_F(LocaleTest, UserOverrides) {
    setOverride("sShortDate", "yy/MM/dd");
    setOverride("sTimeFormat", "HH.mm");
    setOverride("sDate", "-");
    const SystemTime st = at(2002, 5, 4, 8, 56, 13);
    // The user locale is the system locale en-US: overrides apply to the user's names of it,
    // not to LOCALE_SYSTEM_DEFAULT, which names the system's own settings.
    EXPECT_EQ("M/d/yyyy", infoW(kLocaleSystemDefault, kLocaleSShortDate));
    EXPECT_EQ("5/4/2002", dateW(kLocaleSystemDefault, kDateShortDate, st, nullptr));
    EXPECT_EQ("8:56:13 AM", timeW(kLocaleSystemDefault, 0, st, nullptr));
    for (Lcid lcid : {kLocaleEnUs, kLocaleUserDefault}) {
        SCOPED_TRACE(lcid);
        EXPECT_EQ("yy/MM/dd", infoW(lcid, kLocaleSShortDate));
        EXPECT_EQ("-", infoW(lcid, kLocaleSDate));
        EXPECT_EQ("HH.mm", infoW(lcid, kLocaleSTimeFormat));
        EXPECT_EQ("02/05/04", dateW(lcid, kDateShortDate, st, nullptr));
        EXPECT_EQ("08.56", timeW(lcid, 0, st, nullptr));
        // LOCALE_NOUSEROVERRIDE: the locale's own values.
        EXPECT_EQ("M/d/yyyy", infoW(lcid, kLocaleSShortDate | kLocaleNoUserOverride));
        EXPECT_EQ("/", infoW(lcid, kLocaleSDate | kLocaleNoUserOverride));
        EXPECT_EQ("5/4/2002", dateW(lcid, kDateShortDate | kLocaleNoUserOverride, st, nullptr));
        EXPECT_EQ("8:56:13 AM", timeW(lcid, kLocaleNoUserOverride, st, nullptr));
    }
    // Another locale keeps its own.
    EXPECT_EQ("dd.MM.yyyy", infoW(kDe, kLocaleSShortDate));
    EXPECT_EQ("HH:mm:ss", infoW(kDe, kLocaleSTimeFormat));
    // Without sDate the separator comes from the short date.
    RegistryKey key;
    ASSERT_EQ(kSuccess, RegistryKey::open(RegHive::CurrentUser, kIntl, &key));
    ASSERT_EQ(kSuccess, key.deleteValue("sDate"));
    EXPECT_EQ("/", infoW(kLocaleEnUs, kLocaleSDate));
    setOverride("sShortDate", "dd'.'MM'.'yyyy");
    EXPECT_EQ(".", infoW(kLocaleEnUs, kLocaleSDate));
}

TEST_F(LocaleTest, GarbageOverridesReadAsAbsent) {
    struct Garbage {
        const char* name;
        RegValue value;
    };
    const std::string dword3("\x03\0\0\0", 4);
    const Garbage cases[] = {
        {"sShortDate", {kRegSz, ""}},
        {"sShortDate", {kRegDword, dword3}},
        {"sShortDate", {kRegBinary, "yyyy"}},
        {"sShortDate", {kRegSz, std::string(80, 'd')}},
        {"sShortDate", {kRegSz, "yyyy\x01MM"}},
        {"sShortDate", {kRegSz, "yyyy\xff/MM"}},  // not UTF-8
        {"sDate", {kRegSz, "----"}},
        {"sDate", {kRegSz, ""}},
        {"sTimeFormat", {kRegExpandSz, "HH"}},
        {"sTimeFormat", {kRegSz, "HH\tmm"}},
        {"iCalendarType", {kRegSz, "abc"}},
        {"iCalendarType", {kRegSz, " 3"}},
        {"iCalendarType", {kRegSz, "3x"}},
        {"iCalendarType", {kRegSz, "-3"}},
        {"iCalendarType", {kRegSz, "4"}},  // a calendar, but not one of ja-JP
        {"iCalendarType", {kRegSz, "99"}},
        {"iCalendarType", {kRegDword, dword3}},
    };
    const SystemTime st = at(2019, 5, 1, 21, 7, 8);
    for (const Garbage& c : cases) {
        SCOPED_TRACE(std::string(c.name) + "=" + c.value.data);
        setUserLocale("00000411");
        setOverride(c.name, c.value);
        EXPECT_EQ("yyyy/MM/dd", infoW(kJa, kLocaleSShortDate));
        EXPECT_EQ("/", infoW(kJa, kLocaleSDate));
        EXPECT_EQ("H:mm:ss", infoW(kJa, kLocaleSTimeFormat));
        EXPECT_EQ("1", infoW(kJa, kLocaleICalendarType));
        EXPECT_EQ("2019/05/01", dateW(kJa, kDateShortDate, st, nullptr));
        EXPECT_EQ("21:07:08", timeW(kJa, 0, st, nullptr));
    }
}

TEST_F(LocaleTest, AnotherProcessesChangeIsSeenByTheNextCall) {
    setOverride("sShortDate", "yyyy-MM-dd");
    EXPECT_EQ("yyyy-MM-dd", infoW(kLocaleUserDefault, kLocaleSShortDate));
    test::Child child([] {
        RegistryKey key;
        if (RegistryKey::create(RegHive::CurrentUser, "Control Panel\\International", &key) !=
            kSuccess)
            return 1;
        return key.setString("sShortDate", "dd.MM.yyyy") == kSuccess ? 0 : 2;
    });
    ASSERT_EQ(0, child.wait());
    EXPECT_EQ("dd.MM.yyyy", infoW(kLocaleUserDefault, kLocaleSShortDate));
    EXPECT_EQ("04.05.2002", dateW(kLocaleUserDefault, 0, at(2002, 5, 4), nullptr));
}

// --- Without ICU ---------------------------------------------------------------------------

TEST_F(LocaleTest, WithoutIcuTableLocalesStillFormat) {
    icu::setDisabledForTesting(true);
    const SystemTime st = at(2002, 5, 4, 13, 5, 0);
    EXPECT_EQ("Saturday, May 4, 2002", dateW(kLocaleEnUs, kDateLongDate, st, nullptr));
    EXPECT_EQ("2002/05/04 13:05:00",
              dateW(kJa, 0, st, u"yyyy/MM/dd") + " " + timeW(kJa, 0, st, u"HH:mm:ss"));
    EXPECT_EQ("오후 1:05:00", timeW(kKo, 0, st, nullptr));
    EXPECT_EQ("|5|", dateW(kJa, 0, st, u"dddd|MMM|MMMM"));  // names unknown but the numbers
    EXPECT_EQ("", infoW(kDe, kLocaleSMonthName1));
    setUserLocale("00000411");
    setOverride("iCalendarType", "3");
    EXPECT_EQ("平成 14/5/4", dateW(kJa, kDateShortDate, st, nullptr));
    EXPECT_EQ("error 87", dateW(kIt, 0, st, u"d"));
    EXPECT_EQ(0u, resolveLcid(kIt));
}

// A numeric picture, a table locale's own short date and time and its locale values never
// load ICU: checked in a fresh process, where nothing else has loaded it yet.
TEST_F(LocaleTest, NumericCallsLeaveIcuUnloaded) {
    if (std::getenv("NVL_LOCALE_TEST_CHILD") != nullptr) {
        SystemTime st = at(2002, 5, 4, 8, 56, 13);
        char out[64];
        for (Lcid lcid : {kLocaleSystemDefault, kJa, kZhTw, kKo, kDe}) {
            ASSERT_GT(getDateFormatA(lcid, 0, &st, "M/d/yyyy", out, 64), 0);
            ASSERT_GT(
                getDateFormatA(lcid, kDateShortDate | kLocaleNoUserOverride, &st, nullptr, out, 64),
                0);
            ASSERT_GT(getTimeFormatA(lcid, kLocaleNoUserOverride | 0x0C, &st, nullptr, out, 64), 0);
            ASSERT_GT(getTimeFormatA(lcid, 0, &st, "tt h:mm", out, 64), 0);
            ASSERT_GT(getLocaleInfoA(lcid, kLocaleSShortDate, out, 64), 0);
            ASSERT_GT(getLocaleInfoA(lcid, kLocaleICalendarType, out, 64), 0);
        }
        std::ifstream maps("/proc/self/maps");
        std::string line;
        while (std::getline(maps, line))
            EXPECT_EQ(std::string::npos, line.find("libicu")) << line;
        std::fflush(stdout);
        std::_Exit(HasFailure() ? 1 : 42);  // 42: the check ran and held
    }
    std::string self = "/proc/self/exe";
    std::string filter = "--gtest_filter=LocaleTest.NumericCallsLeaveIcuUnloaded";
    char* argv[] = {self.data(), filter.data(), nullptr};
    ::setenv("NVL_LOCALE_TEST_CHILD", "1", 1);
    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ);
    ::unsetenv("NVL_LOCALE_TEST_CHILD");
    ASSERT_EQ(0, rc);
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 42) << status;
}

}  // namespace
}  // namespace nvl::sys
