// converDateString and the dates of files, as the console shows them (the system locale is
// en-US here: M/d/yyyy and H:mm:ss).
#include <cgishare/validation.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "support/test_env.h"

namespace {

using nvl::test::TestEnv;

// Berlin's rule (CET, summer time from the last Sunday of March to the last of October), spelt
// out so that the tests need no time zone database.
constexpr char kBerlin[] = "CET-1CEST,M3.5.0,M10.5.0/3";

class FileDatesTest : public ::testing::Test {
  protected:
    FileDatesTest() {
        const char* old = std::getenv("TZ");
        hadTz_ = old != nullptr;
        if (hadTz_)
            oldTz_ = old;
        ::setenv("TZ", kBerlin, 1);
        ::tzset();
    }
    ~FileDatesTest() override {
        if (hadTz_) {
            ::setenv("TZ", oldTz_.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

    static std::string display(const char* stamp) {
        std::string text(256, '#');
        std::string copy = stamp != nullptr ? stamp : "";
        converDateString(stamp != nullptr ? copy.data() : nullptr, text.data(), 0);
        return text.c_str();
    }

    // The display text of the moment `t`.
    static std::string displayOf(time_t t) {
        char stamp[15];
        struct tm tm {};
        ::localtime_r(&t, &tm);
        std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &tm);
        return display(stamp);
    }

    std::string fileModifiedAt(const std::string& name, time_t moment) {
        std::string path = env_.writeFile(name, "x");
        struct timespec times[2] = {{moment, 0}, {moment, 0}};
        EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        return path;
    }

    TestEnv env_;
    std::string oldTz_;
    bool hadTz_ = false;
};

TEST_F(FileDatesTest, StampsShowTheirOwnMoment) {
    const struct {
        const char* stamp;
        const char* shown;
    } cases[] = {
        // Summer and winter both keep their hour, whatever the season of the run.
        {"20060831094107", "8/31/2006 9:41:07"},
        {"20061215094107", "12/15/2006 9:41:07"},
        {"20060832094107", "9/1/2006 9:41:07"},  // day 32 rolls over
        {"20061231235960", "1/1/2007 0:00:00"},
        {"2006083109410", ""},
        {"200608310941070", ""},
        {"2006O831094107", ""},  // atoi would have made August of some year of it
        {"2006-8-31 9:41", ""},
        {"", ""},
        {nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stamp != nullptr ? c.stamp : "(null)");
        EXPECT_EQ(display(c.stamp), c.shown);
    }
    char stamp[] = "20060831094107";
    converDateString(stamp, nullptr, 0);  // nothing to write into: no crash
}

TEST_F(FileDatesTest, ModificationAndCreationDates) {
    struct tm t {};
    t.tm_year = 2006 - 1900;
    t.tm_mon = 7;
    t.tm_mday = 31;
    t.tm_hour = 7;  // 09:41:07 in Berlin
    t.tm_min = 41;
    t.tm_sec = 7;
    time_t before = std::time(nullptr);
    std::string path = fileModifiedAt("data/file.txt", ::timegm(&t));
    time_t after = std::time(nullptr);

    char text[256];
    GetFileModifyDate(path.data(), text);
    EXPECT_STREQ(text, "8/31/2006 9:41:07");
    // Created now, whatever its modification time says (birth time, or the change time that
    // setting the modification time moved to now).
    GetFileCreateDate(path.data(), text);
    bool now = false;
    for (time_t s = before; s <= after && !now; ++s)
        now = displayOf(s) == text;
    EXPECT_TRUE(now) << text;

    std::string missing = env_.root() + "/data/missing.txt";
    for (auto* reader : {&GetFileModifyDate, &GetFileCreateDate}) {
        std::strcpy(text, "stale");
        reader(missing.data(), text);
        EXPECT_STREQ(text, "");
        std::strcpy(text, "stale");
        reader(nullptr, text);
        EXPECT_STREQ(text, "");
        reader(path.data(), nullptr);
    }
}

TEST_F(FileDatesTest, DownloadFileStaysInDownload) {
    env_.writeFile("home/download/a.zip", "x");  // spelt in lower case
    env_.writeFile("home/a.zip", "x");
    env_.writeFile("a.zip", "x");
    std::string longName(230, 'n');  // the path is then longer than 259 bytes
    std::string shortName(190, 's');
    ASSERT_GT(env_.home().size() + 9 + longName.size(), 259u);
    ASSERT_LE(env_.home().size() + 9 + shortName.size(), 259u);
    env_.writeFile("home/download/" + longName, "x");
    env_.writeFile("home/download/" + shortName, "x");

    const struct {
        std::string name;
        bool found;
    } cases[] = {
        {"a.zip", true},        {shortName, true},   {longName, false},
        {"missing.zip", false}, {"../a.zip", false}, {"..\\a.zip", false},
        {"../../a.zip", false}, {"/a.zip", false},   {"..", false},
        {".", false},           {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char expected[256] = "";
        if (c.found) {
            std::string path = env_.home() + "download/" + c.name;
            GetFileCreateDate(path.data(), expected);
            ASSERT_STRNE(expected, "");
        }
        char text[256] = "stale";
        GetDownloadFileCreateDate(c.name.c_str(), text);
        EXPECT_STREQ(text, expected);
    }
    char text[256] = "stale";
    GetDownloadFileCreateDate(nullptr, text);
    EXPECT_STREQ(text, "");
    GetDownloadFileCreateDate("a.zip", nullptr);
}

}  // namespace
