// The validators, the 14-digit time stamp and GetFileDate.
#include <cgishare/validation.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "config/date_stamp.h"
#include "support/test_env.h"

namespace {

using nvl::test::TestEnv;

// Berlin's rule (CET, summer time from the last Sunday of March to the last of October), spelt
// out so that the tests need no time zone database.
constexpr char kBerlin[] = "CET-1CEST,M3.5.0,M10.5.0/3";

// Sets TZ for one test and puts the previous value back.
class ScopedTz {
  public:
    explicit ScopedTz(const char* tz) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTz() {
        if (had_) {
            ::setenv("TZ", old_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

  private:
    bool had_ = false;
    std::string old_;
};

TEST(ValidationTest, Validators) {
    const struct {
        const char* text;
        bool number, phone, ascii;
    } cases[] = {
        {"", true, true, true},
        {"0123456789", true, true, true},
        {"12a", false, false, true},
        {"03-1234,5678", false, true, true},
        {"03 1234", false, false, true},
        {"+81-3-1234", false, false, true},
        {"12\x80", false, false, false},
        {"\xb9", false, false, false},  // a superscript 1 in 1252: no digit
        {"caf\xe9", false, false, false},
        {"\x7f", false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        EXPECT_EQ(isNumber(text.data()), c.number);
        EXPECT_EQ(isPhoneNumber(text.data()), c.phone);
        EXPECT_EQ(isASCII(text.data()), c.ascii);
    }
    EXPECT_FALSE(isNumber(nullptr));
    EXPECT_FALSE(isPhoneNumber(nullptr));
    EXPECT_FALSE(isASCII(nullptr));
}

TEST(ValidationTest, ExtensionLists) {
    const struct {
        const char* text;
        bool plain, commaAndSpace, wildcards, both;
    } cases[] = {
        {"", true, true, true, true},
        {"exe", true, true, true, true},
        {"exe,com", false, true, false, true},
        {"exe com", false, true, false, true},
        {"*.tmp", false, false, true, true},
        {"do?", false, false, true, true},
        {"exe,*.tmp", false, false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        EXPECT_EQ(isExtention(text.data(), false, false), c.plain);
        EXPECT_EQ(isExtention(text.data(), true, false), c.commaAndSpace);
        EXPECT_EQ(isExtention(text.data(), false, true), c.wildcards);
        EXPECT_EQ(isExtention(text.data(), true, true), c.both);
    }
    // Never allowed, whatever the flags.
    for (const char* text : {"a\\b", "a/b", "c:", "a;b", "\"x\"", "<x", "x>", "a|b"}) {
        SCOPED_TRACE(text);
        std::string t = text;
        EXPECT_FALSE(isExtention(t.data(), true, true));
    }
    EXPECT_FALSE(isExtention(nullptr, true, true));
}

TEST(ValidationTest, StampIsReadStrictly) {
    ScopedTz tz(kBerlin);
    const char* refused[] = {
        "",
        "2006083109410",    // 13 digits
        "200608310941070",  // 15 digits
        "2006O831094107",   // a letter O where atoi would stop and still make a date
        " 0060831094107",
        "+006083109410 ",
        "2006-8-31 9:41",
        "200608310941\3777",  // a byte above 127
    };
    for (const char* stamp : refused) {
        SCOPED_TRACE(stamp);
        struct tm tm {};
        EXPECT_FALSE(nvl::config::stampToLocalTime(stamp, &tm));
    }
    struct tm tm {};
    EXPECT_FALSE(nvl::config::stampToLocalTime(nullptr, &tm));
}

TEST(ValidationTest, StampKeepsItsOwnHourInSummerAndWinter) {
    // The original took the daylight-saving flag of the day it ran, so one of these two came
    // out an hour off whatever the season of the run.
    ScopedTz tz(kBerlin);
    const struct {
        const char* stamp;
        int year, month, day, hour, minute, second, isdst;
    } cases[] = {
        {"20060831094107", 2006, 8, 31, 9, 41, 7, 1},
        {"20061215094107", 2006, 12, 15, 9, 41, 7, 0},
        {"20060832094107", 2006, 9, 1, 9, 41, 7, 1},     // day 32 rolls over
        {"20061301000000", 2007, 1, 1, 0, 0, 0, 0},      // so does month 13
        {"20060229120000", 2006, 3, 1, 12, 0, 0, 0},     // no 29 February in 2006
        {"20061029023000", 2006, 10, 29, 2, 30, 0, -2},  // the hour that comes twice: either
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stamp);
        struct tm tm {};
        ASSERT_TRUE(nvl::config::stampToLocalTime(c.stamp, &tm));
        EXPECT_EQ(tm.tm_year + 1900, c.year);
        EXPECT_EQ(tm.tm_mon + 1, c.month);
        EXPECT_EQ(tm.tm_mday, c.day);
        EXPECT_EQ(tm.tm_hour, c.hour);
        EXPECT_EQ(tm.tm_min, c.minute);
        EXPECT_EQ(tm.tm_sec, c.second);
        if (c.isdst >= 0) {
            EXPECT_EQ(tm.tm_isdst, c.isdst);
        }
    }
}

TEST(ValidationTest, CurrentTimeLocalAndUtc) {
    ScopedTz tz("JST-9");
    char local[15], utc[15];
    time_t before = std::time(nullptr);
    getCurrentTime(local, 1);
    getCurrentTime(utc, 0);
    time_t after = std::time(nullptr);
    ASSERT_EQ(std::strlen(local), 14u);
    ASSERT_EQ(std::strlen(utc), 14u);
    struct tm l {};
    struct tm u {};
    ASSERT_TRUE(nvl::config::stampToLocalTime(local, &l));
    ASSERT_TRUE(nvl::config::stampToLocalTime(utc, &u));
    // Read back as local time, the local stamp is now; the UTC one is nine hours earlier.
    time_t localMoment = std::mktime(&l);
    EXPECT_GE(localMoment, before);
    EXPECT_LE(localMoment, after);
    EXPECT_NEAR(static_cast<double>(localMoment - std::mktime(&u)), 9 * 3600.0, 1.0);
    getCurrentTime(nullptr, 1);  // nothing to write into: no crash
}

// A file whose modification time is `moment`.
std::string fileModifiedAt(const TestEnv& env, const char* name, time_t moment) {
    std::string path = env.writeFile(name, "x");
    struct timespec times[2] = {{moment, 0}, {moment, 0}};
    EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    return path;
}

TEST(ValidationTest, FileDateIsTheEnglishLongDate) {
    TestEnv env;
    ScopedTz tz("JST-9");
    struct tm t {};
    t.tm_year = 2006 - 1900;
    t.tm_mon = 7;
    t.tm_mday = 31;
    t.tm_hour = 20;  // 05:00 on 1 September in Tokyo
    std::string path = fileModifiedAt(env, "file.txt", ::timegm(&t));
    t.tm_mday = 5;
    t.tm_hour = 0;
    std::string early = fileModifiedAt(env, "early.txt", ::timegm(&t));

    char text[246];
    EXPECT_EQ(GetFileDate(path.data(), text, 0), 1);
    EXPECT_STREQ(text, "Thursday, August 31, 2006");
    EXPECT_EQ(GetFileDate(path.data(), text, 1), 1);
    EXPECT_STREQ(text, "Friday, September 01, 2006");
    EXPECT_EQ(GetFileDate(early.data(), text, 0), 1);
    EXPECT_STREQ(text, "Saturday, August 05, 2006");

    std::strcpy(text, "untouched");
    std::string missing = env.root() + "/missing.txt";
    EXPECT_EQ(GetFileDate(missing.data(), text, 1), 0);
    EXPECT_STREQ(text, "untouched");
    EXPECT_EQ(GetFileDate(nullptr, text, 1), 0);
    EXPECT_EQ(GetFileDate(path.data(), nullptr, 1), 0);
}

TEST(ValidationTest, FileDateFindsBackslashAndCaseVariants) {
    TestEnv env;
    std::string path = fileModifiedAt(env, "home/Download/a.zip", 86400 * 365);
    std::string windowsForm = env.root() + "\\home\\download\\A.ZIP";
    char text[246];
    EXPECT_EQ(GetFileDate(windowsForm.data(), text, 0), 1);
    EXPECT_STREQ(text, "Friday, January 01, 1971");
}

}  // namespace
