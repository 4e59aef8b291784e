// The event log: class filter, record format, directory setting, daily files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cgishare/event_log.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/process.h"
#include "support/test_env.h"

namespace {

constexpr time_t kAug31_094107 = 1157017267;  // 2006-08-31 09:41:07 UTC
constexpr time_t kAug31_235959 = 1157068799;

time_t g_now = kAug31_094107;
time_t fixedNow() {
    return g_now;
}

char* text(const char* s) {
    return const_cast<char*>(s);
}

class EventLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        g_now = kAug31_094107;
        nvl::sys::setCurrentTimeSourceForTesting(fixedNow);
        dir_ = env_.root() + "/logs";
        nvl::sys::makeDirectories(dir_);
        SetEventLogDir(text(dir_.c_str()));
        SetEventLogFlag(0xFFFFFFFFu);
    }
    void TearDown() override {
        nvl::sys::setCurrentTimeSourceForTesting(nullptr);
        SetEventLogDir(nullptr);
        SetEventLogFlag(0);
    }

    std::string today() const { return nvl::test::readFile(dir_ + "/nvl20060831.log"); }

    nvl::test::TestEnv env_;
    std::string dir_;
};

TEST_F(EventLogTest, RecordHasTheDocumentedForm) {
    EventLog(NVL_EVENT_PATTERN_UPDATED, nullptr, true, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(today(), "2006/08/31, 09:41:07, 3, pattern updated, -, success, -,\n");
}

TEST_F(EventLogTest, EveryEventHasItsTextAndClass) {
    struct Class {
        unsigned flag;
        int first, last;
    };
    const Class classes[] = {{0x001, 1, 2},   {0x002, 3, 6},   {0x004, 7, 9},   {0x008, 10, 13},
                             {0x010, 14, 21}, {0x020, 22, 27}, {0x040, 28, 31}, {0x080, 32, 43},
                             {0x100, 44, 46}, {0x200, 47, 68}, {0, 69, 78}};
    const char* const texts[] = {"client start up",
                                 "client shutdown",
                                 "pattern updated",
                                 "program updated",
                                 "engine updated",
                                 "HotFix updated",
                                 "client installed",
                                 "client uninstalled",
                                 "client purged",
                                 "manual scan",
                                 "realtime scan",
                                 "scheduled scan",
                                 "scan now",
                                 "INI requested",
                                 "manual scan cfg requested",
                                 "realtime scan cfg requested",
                                 "scheduled scan cfg requested",
                                 "scan now cfg requested",
                                 "exclusive file cfg requested",
                                 "all scan cfg requested",
                                 "alert msg requested",
                                 "manual scan cfg changed",
                                 "realtime scan cfg changed",
                                 "schedule scan cfg changed",
                                 "scan now cfg changed",
                                 "exclusive file cfg changed",
                                 "alert msg changed",
                                 "manual scan cfg reported",
                                 "realtime scan cfg reported",
                                 "scheduled scan cfg reported",
                                 "exclusive file cfg reported",
                                 "manual pattern downloading",
                                 "manual pattern downloaded",
                                 "manual program downloading",
                                 "manual program downloaded",
                                 "manual engine downloading",
                                 "manual engine downloaded",
                                 "scheduled pattern downloading",
                                 "scheduled pattern downloaded",
                                 "scheduled program downloading",
                                 "scheduled program downloaded",
                                 "scheduled engine downloading",
                                 "scheduled engine downloaded",
                                 "virus detected",
                                 "outbreak alert",
                                 "virus log purged",
                                 "manual scan cfg notified",
                                 "realtime scan cfg notified",
                                 "scheduled scan cfg notified",
                                 "remote scan cfg notified",
                                 "exclusive file cfg notified",
                                 "scan now notified",
                                 "stop scan now notified",
                                 "uninstall notified",
                                 "expire notified",
                                 "rollback notified",
                                 "alert msg notified",
                                 "proxy notified",
                                 "privilege notified",
                                 "protocol notified",
                                 "server setting notified",
                                 "update notified",
                                 "config change notfied",
                                 "stop realtime service",
                                 "start realtime service",
                                 "restart service",
                                 "change new guid",
                                 "new startup",
                                 "unknown event1",
                                 "unknown event2",
                                 "unknown event3",
                                 "unknown event4",
                                 "unknown event5",
                                 "unknown event6",
                                 "unknown event7",
                                 "unknown event8",
                                 "unknown event9",
                                 "unknown event10"};
    static_assert(std::size(texts) == 78);

    // Each event is written with only its own class on, and is filtered with every other
    // class on; events without a class are written either way.
    std::string expected;
    for (const Class& c : classes) {
        for (int id = c.first; id <= c.last; ++id) {
            SetEventLogFlag(c.flag);
            EventLog(static_cast<NvlEventID>(id), nullptr, true, nullptr, nullptr, nullptr,
                     nullptr);
            SetEventLogFlag(~c.flag);
            EventLog(static_cast<NvlEventID>(id), nullptr, true, nullptr, nullptr, nullptr,
                     nullptr);
            std::string line = "2006/08/31, 09:41:07, " + std::to_string(id) + ", " +
                               texts[id - 1] + ", -, success, -,\n";
            expected += line;
            if (c.flag == 0)
                expected += line;
        }
    }
    EXPECT_EQ(today(), expected);
}

TEST_F(EventLogTest, MaskFiltersClassesAndNothingElse) {
    struct Case {
        unsigned mask;
        int id;
        bool written;
    };
    const Case cases[] = {
        {0, 3, false},     {0, 70, true},      {0x080, 35, true}, {0x080, 44, false},
        {0x200, 68, true}, {0x1FF, 68, false}, {0, 69, true},     {0, 78, true},
        {~0u, 0, false},   {~0u, 79, false},   {~0u, -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mask " << c.mask << " id " << c.id);
        ::unlink((dir_ + "/nvl20060831.log").c_str());
        SetEventLogFlag(c.mask);
        EventLog(static_cast<NvlEventID>(c.id), text("d"), true, nullptr, nullptr, nullptr,
                 nullptr);
        EXPECT_EQ(!today().empty(), c.written);
    }
}

TEST_F(EventLogTest, DescriptionResultAndDetailFields) {
    struct Case {
        const char* description;
        bool success;
        const char* format;
        const char* d1;
        const char* d2;
        const char* d3;
        const char* fields;  // what follows "..., 5, engine updated, "
    };
    const Case cases[] = {
        {nullptr, true, nullptr, nullptr, nullptr, nullptr, "-, success, -,"},
        {"", false, nullptr, nullptr, nullptr, nullptr, "-, fail, -,"},
        {"client A, B", true, "", nullptr, nullptr, nullptr, "client A, B, success, ,"},
        {"d", true, "%s/%s/%s", "a", "b", "c", "d, success, a/b/c,"},
        {"d", true, "[%5s|%-3s|%.2s]", "ab", "c", "xyz", "d, success, [   ab|c  |xy],"},
        {"d", true, "100%% %s", "done", nullptr, nullptr, "d, success, 100% done,"},
        // A null text prints as printf prints it; conversions that take no text, and a
        // fourth text, are copied as they stand instead of reading past the three texts.
        {"d", true, "%s", nullptr, nullptr, nullptr, "d, success, (null),"},
        {"d", true, "%d %n %x %p %s", "t", nullptr, nullptr, "d, success, %d %n %x %p t,"},
        {"d", true, "%s%s%s%s", "1", "2", "3", "d, success, 123%s,"},
        {"d", true, "%", nullptr, nullptr, nullptr, "d, success, %,"},
        // A line break in caller text would start a false record.
        {"two\r\nlines", true, "x\n%s", "y\rz", nullptr, nullptr, "two  lines, success, x y z,"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields);
        ::unlink((dir_ + "/nvl20060831.log").c_str());
        EventLog(NVL_EVENT_ENGINE_UPDATED, text(c.description), c.success, text(c.format),
                 text(c.d1), text(c.d2), text(c.d3));
        EXPECT_EQ(today(),
                  std::string("2006/08/31, 09:41:07, 5, engine updated, ") + c.fields + "\n");
    }
}

TEST_F(EventLogTest, OverlongRecordIsCutToOneWholeLine) {
    const std::string big(3 * kEventLogMaxRecord, 'x');
    struct Case {
        const char* description;
        const char* format;
    };
    const Case cases[] = {
        {big.c_str(), nullptr}, {"d", big.c_str()}, {"d", "%s%s%s"}, {big.c_str(), "%9999s"}};
    for (const Case& c : cases) {
        ::unlink((dir_ + "/nvl20060831.log").c_str());
        EventLog(NVL_EVENT_UNKNOWN_EVENT1, text(c.description), false, text(c.format),
                 text(big.c_str()), text(big.c_str()), text(big.c_str()));
        std::string line = today();
        EXPECT_EQ(line.size(), kEventLogMaxRecord);
        EXPECT_EQ(line.rfind(",\n"), line.size() - 2);
        EXPECT_EQ(line.find('\n'), line.size() - 1);
        EXPECT_NE(line.find(", fail, "), std::string::npos);
    }
}

TEST_F(EventLogTest, DirectorySetting) {
    struct Case {
        const char* set;
        const char* get;
    };
    const std::string tooLong(255, 'd');  // 255 characters leave no room for the '/'
    const std::string fits = std::string(254, 'd');
    const Case cases[] = {
        {"/srv/Logs", "/srv/Logs/"},
        {"/srv/Logs/", "/srv/Logs/"},
        {"relative", "relative/"},
        {nullptr, ""},
        {"", ""},
        {fits.c_str(), nullptr},  // nullptr: fits + "/"
    };
    for (const Case& c : cases) {
        SetEventLogDir(text(c.set));
        EXPECT_EQ(GetEventLogDir(), std::string(c.get != nullptr ? c.get : (fits + "/")));
    }
    SetEventLogDir(text("/kept"));
    SetEventLogDir(text(tooLong.c_str()));
    EXPECT_STREQ(GetEventLogDir(), "/kept/");
}

TEST_F(EventLogTest, EmptyDirectoryWritesToTheCurrentDirectory) {
    char saved[4096];
    ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(::chdir(dir_.c_str()), 0);
    SetEventLogDir(nullptr);
    EventLog(NVL_EVENT_UNKNOWN_EVENT2, nullptr, true, nullptr, nullptr, nullptr, nullptr);
    ASSERT_EQ(::chdir(saved), 0);
    EXPECT_EQ(today(), "2006/08/31, 09:41:07, 70, unknown event2, -, success, -,\n");
}

TEST_F(EventLogTest, EachLocalDayHasItsOwnFile) {
    g_now = kAug31_235959;
    EventLog(NVL_EVENT_UNKNOWN_EVENT1, text("before"), true, nullptr, nullptr, nullptr, nullptr);
    g_now = kAug31_235959 + 1;
    EventLog(NVL_EVENT_UNKNOWN_EVENT1, text("after"), true, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(today(), "2006/08/31, 23:59:59, 69, unknown event1, before, success, -,\n");
    EXPECT_EQ(nvl::test::readFile(dir_ + "/nvl20060901.log"),
              "2006/09/01, 00:00:00, 69, unknown event1, after, success, -,\n");

    // The day is the local one: 20:00 UTC on August 31st is September 1st at UTC+9.
    ::setenv("TZ", "JST-9", 1);
    ::tzset();
    g_now = 1157054400;  // 2006-08-31 20:00:00 UTC
    EventLog(NVL_EVENT_UNKNOWN_EVENT1, text("local"), true, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(nvl::test::readFile(dir_ + "/nvl20060901.log"),
              "2006/09/01, 00:00:00, 69, unknown event1, after, success, -,\n"
              "2006/09/01, 05:00:00, 69, unknown event1, local, success, -,\n");
}

TEST_F(EventLogTest, PathLongerThan255CharactersWritesNothing) {
    // 240 characters of directory plus "nvl20060831.log" is exactly 255.
    std::string base = dir_ + "/";
    std::string fits = base + std::string(240 - base.size() - 1, 'f') + "/";
    std::string over = base + std::string(241 - base.size() - 1, 'o') + "/";
    ASSERT_EQ(nvl::sys::makeDirectories(fits), 0u);
    ASSERT_EQ(nvl::sys::makeDirectories(over), 0u);
    for (const std::string& d : {fits, over}) {
        SetEventLogDir(text(d.c_str()));
        EventLog(NVL_EVENT_UNKNOWN_EVENT3, nullptr, true, nullptr, nullptr, nullptr, nullptr);
    }
    EXPECT_FALSE(nvl::test::readFile(fits + "nvl20060831.log").empty());
    EXPECT_TRUE(nvl::test::readFile(over + "nvl20060831.log").empty());
}

}  // namespace
