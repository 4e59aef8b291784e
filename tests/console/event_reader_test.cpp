// The console's event-log reader: the record rule (commas in descriptions, bad lines), daily
// files newest first, paging by position in both directions, filters, bad and unfinished
// lines, the scan limit, and that a page reads about what it shows however large the log.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cgishare/event_log.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "event_reader.h"
#include "platform/process.h"
#include "query.h"
#include "support/test_env.h"

namespace {

using console::EventFilter;
using console::EventListing;
using console::EventPosition;
using console::EventRecord;

// One record as the writer forms it.
std::string line(const std::string& date, const std::string& time, int id,
                 const std::string& description, bool success = true,
                 const std::string& detail = "-") {
    return date + ", " + time + ", " + std::to_string(id) + ", event " + std::to_string(id) + ", " +
           description + (success ? ", success, " : ", fail, ") + detail + ",\n";
}

// "2006/08/DD" for a day number.
std::string day(int d) {
    char text[16];
    std::snprintf(text, sizeof text, "2006/08/%02d", d);
    return text;
}

std::string clock(int second) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", second / 3600 % 24, second / 60 % 60,
                  second % 60);
    return text;
}

class LogDirectory : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = env_.root() + "/Log/";
        ::mkdir(dir_.c_str(), 0755);
    }

    void append(const std::string& name, const std::string& text) {
        FILE* file = std::fopen((dir_ + name).c_str(), "ab");
        ASSERT_NE(file, nullptr);
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
    }

    // `count` records in the file of August `d`, numbered from `first` in their descriptions
    // ("r<number>"), event ids cycling 1..3.
    void writeDay(int d, int first, int count) {
        std::string text;
        for (int i = first; i < first + count; ++i)
            text += line(day(d), clock(i), i % 3 + 1, "r" + std::to_string(i));
        char name[32];
        std::snprintf(name, sizeof name, "nvl200608%02d.log", d);
        append(name, text);
    }

    EventListing list(const EventFilter& filter = {}, const EventPosition& at = {},
                      size_t count = 10, uint64_t limit = console::kEventScanLimit) {
        return console::listEvents(dir_, "nvl", filter, at, count, limit);
    }

    // The position after the first line feed at or after `offset`.
    long lineAfter(const std::string& name, long offset) {
        std::string text = nvl::test::readFile(dir_ + name);
        return static_cast<long>(text.find('\n', static_cast<size_t>(offset)) + 1);
    }

    static std::vector<std::string> descriptions(const EventListing& listing) {
        std::vector<std::string> out;
        for (const EventRecord& record : listing.records)
            out.push_back(record.description);
        return out;
    }

    // Every record from `at` on, following the older links.
    std::vector<std::string> allOlder(const EventFilter& filter, size_t count,
                                      std::vector<EventPosition>* starts = nullptr) {
        std::vector<std::string> out;
        EventPosition at;
        for (int pages = 0; pages < 1000; ++pages) {
            EventListing page = list(filter, at, count);
            EXPECT_EQ(page.stop, EventListing::kComplete);
            if (starts != nullptr)
                starts->push_back(page.start);
            for (const std::string& d : descriptions(page))
                out.push_back(d);
            if (!page.hasOlder)
                return out;
            EXPECT_EQ(page.records.size(), count);
            at = page.older;
        }
        ADD_FAILURE() << "paging did not end";
        return out;
    }

    nvl::test::TestEnv env_;
    std::string dir_;
};

TEST(EventRecordRule, ReadsTheWritersLinesAndRefusesOthers) {
    struct Case {
        const char* line;
        bool good;
        const char* description;
        bool success;
        const char* detail;
    };
    const Case kCases[] = {
        {"2006/08/31, 09:41:07, 3, pattern updated, -, success, -,", true, "-", true, "-"},
        {"2006/08/31, 09:41:07, 3, pattern updated, -, fail, -,", true, "-", false, "-"},
        {"2006/08/31, 09:41:07, 3, pattern updated, -, success, -,\r", true, "-", true, "-"},
        // Commas in the description and the detail.
        {"2006/08/31, 09:41:07, 44, virus detected, a, b,c, fail, x, y,", true, "a, b,c", false,
         "x, y"},
        // The first result text ends the description; the rest is the detail.
        {"2006/08/31, 09:41:07, 3, e, a, success, b, fail, c,", true, "a", true, "b, fail, c"},
        {"2006/08/31, 09:41:07, 3, e, a, fail, b, success, c,", true, "a", false, "b, success, c"},
        {"2006/08/31, 09:41:07, 3, e, -, success, ,", true, "-", true, ""},
        {"2006/08/31, 23:59:60, 3, e, -, success, -,", true, "-", true, "-"},
        {"", false, "", false, ""},
        {"garbage", false, "", false, ""},
        {"2006/08/31, 09:41:07, 3, pattern updated, -, success, -", false, "", false, ""},
        {"2006/08/31, 09:41:07, 3, pattern updated, -, succ", false, "", false, ""},
        {"2006/08/31, 09:41:07, 3, pattern updated, -, successful, -,", false, "", false, ""},
        {"2006/08/31, 09:41:07, 3, , -, success, -,", false, "", false, ""},
        {"2006/08/31, 09:41:07, x, e, -, success, -,", false, "", false, ""},
        {"2006/08/31, 09:41:07, -3, e, -, success, -,", false, "", false, ""},
        {"2006/08/31, 09:41:07, 1234567890, e, -, success, -,", false, "", false, ""},
        {"2006/02/30, 09:41:07, 3, e, -, success, -,", false, "", false, ""},
        {"2006/8/31, 09:41:07, 3, e, -, success, -,", false, "", false, ""},
        {"2006/08/31, 24:00:00, 3, e, -, success, -,", false, "", false, ""},
        {"2006/08/31,09:41:07, 3, e, -, success, -,", false, "", false, ""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.line);
        EventRecord record;
        ASSERT_EQ(console::parseEventRecord(c.line, &record), c.good);
        if (!c.good)
            continue;
        EXPECT_EQ(record.date, "2006/08/31");
        EXPECT_EQ(record.description, c.description);
        EXPECT_EQ(record.success, c.success);
        EXPECT_EQ(record.detail, c.detail);
    }
    EventRecord record;
    std::string withNul = "2006/08/31, 09:41:07, 3, e, a";
    withNul += '\0';
    withNul += "b, success, -,";
    EXPECT_FALSE(console::parseEventRecord(withNul, &record));
}

TEST(EventRecordRule, PositionsReadBackAsTheyAreWritten) {
    EventPosition at{20060831, 1234};
    int date = 0;
    long offset = 0;
    ASSERT_TRUE(console::parseLogPosition(at.text(), &date, &offset));
    EXPECT_EQ(date, 20060831);
    EXPECT_EQ(offset, 1234);
    EXPECT_EQ(EventPosition().text(), "");
    for (const char* bad : {"", "20060831", "20060831-", "20060832-1", "2006083-1", "20060831-x",
                            "20060831--1", "20060831-+1", "20060831-1 ",
                            "20060831-99999999999999999999", "19691231-0", "20060831_1"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(console::parseLogPosition(bad, &date, &offset));
    }
}

TEST_F(LogDirectory, WriterRecordsReadBackNewestFirstAcrossDays) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    static time_t now = 0;
    nvl::sys::setCurrentTimeSourceForTesting([] { return now; });
    SetEventLogDir(const_cast<char*>(dir_.c_str()));
    SetEventLogFlag(0xFFFFFFFFu);
    char description[] = "a, b\nc, fail, d";
    char format[] = "%s, %s";
    char one[] = "x", two[] = "y";
    now = 1157017267;  // 2006-08-31 09:41:07
    EventLog(NVL_EVENT_PATTERN_UPDATED, nullptr, true, nullptr, nullptr, nullptr, nullptr);
    now += 86400;
    EventLog(NVL_EVENT_VIRUS_DETECTED, description, false, format, one, two, nullptr);
    nvl::sys::setCurrentTimeSourceForTesting(nullptr);
    SetEventLogDir(nullptr);
    SetEventLogFlag(0);

    std::vector<EventRecord> records = console::newestEvents(dir_, "nvl", 10);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].date, "2006/09/01");
    EXPECT_EQ(records[0].id, NVL_EVENT_VIRUS_DETECTED);
    EXPECT_EQ(records[0].event, "virus detected");
    // The writer's line break became a space; the description's own ", fail, " ends it early
    // by the rule, and nothing of the line is lost.
    EXPECT_EQ(records[0].description, "a, b c");
    EXPECT_FALSE(records[0].success);
    EXPECT_EQ(records[0].detail, "d, fail, x, y");
    EXPECT_EQ(records[1].date, "2006/08/31");
    EXPECT_EQ(records[1].time, "09:41:07");
    EXPECT_EQ(records[1].description, "-");
    EXPECT_TRUE(records[1].success);
}

TEST_F(LogDirectory, OnlyDailyFileNamesAreRead) {
    writeDay(30, 0, 2);
    writeDay(31, 2, 2);
    const std::string other = line(day(29), clock(0), 1, "other");
    for (const char* name :
         {"nvl2006083.log", "nvl200608299.log", "nvlx20060829.log", "nvl20060829.txt",
          "nvl20060229.log", "audit20060829.log", "nvl20060829.log~", "NVL20060829.log"})
        append(name, other);
    ::mkdir((dir_ + "nvl20060901.log").c_str(), 0755);
    ::mkfifo((dir_ + "nvl20060902.log").c_str(), 0644);
    EXPECT_EQ(descriptions(list()), (std::vector<std::string>{"r3", "r2", "r1", "r0"}));
    EXPECT_EQ(console::newestEvents(dir_, "audit", 5).size(), 1u);
}

TEST_F(LogDirectory, EmptyMissingAndUnnamedDirectoriesListNothing) {
    for (const std::string& directory : {dir_, env_.root() + "/missing/", std::string()}) {
        EventListing listing = console::listEvents(directory, "nvl", {}, {}, 10);
        EXPECT_TRUE(listing.records.empty());
        EXPECT_FALSE(listing.hasOlder);
        EXPECT_FALSE(listing.hasNewer);
        EXPECT_EQ(listing.stop, EventListing::kComplete);
    }
    // A position in a file that is gone goes on with the older files.
    writeDay(20, 0, 3);
    EXPECT_EQ(descriptions(list({}, {20060825, 999})),
              (std::vector<std::string>{"r2", "r1", "r0"}));
}

TEST_F(LogDirectory, PagesFollowEachOtherBothWaysAndStayPutWhenTheLogGrows) {
    writeDay(29, 0, 9);
    writeDay(30, 9, 1);
    writeDay(31, 10, 15);
    std::vector<std::string> expected;
    for (int i = 24; i >= 0; --i)
        expected.push_back("r" + std::to_string(i));
    for (size_t count : {1u, 4u, 7u, 25u, 100u}) {
        SCOPED_TRACE(count);
        std::vector<EventPosition> starts;
        EXPECT_EQ(allOlder({}, count, &starts), expected);
        // Back from the last page by the newer links: the same starts, then the top.
        for (size_t page = starts.size() - 1; page > 0; --page) {
            EventListing listing = list({}, starts[page], count);
            ASSERT_TRUE(listing.hasNewer);
            if (page == 1) {
                EXPECT_TRUE(listing.newer.top());
            } else {
                EXPECT_EQ(listing.newer.text(), starts[page - 1].text());
            }
        }
        EXPECT_FALSE(list({}, {}, count).hasNewer);
    }

    EventListing first = list({}, {}, 5);
    writeDay(31, 25, 3);
    writeDay(30, 99, 1);  // even a late record of an older day
    EventListing again = list({}, first.start, 5);
    EXPECT_EQ(descriptions(again), descriptions(first));
    EXPECT_EQ(descriptions(list({}, first.older, 5)),
              (std::vector<std::string>{"r19", "r18", "r17", "r16", "r15"}));
    EXPECT_EQ(descriptions(list({}, {}, 3)), (std::vector<std::string>{"r27", "r26", "r25"}));
    // The page after the first one, once the log grew, leads back to the new top.
    EventListing second = list({}, first.older, 5);
    ASSERT_TRUE(second.hasNewer);
    EXPECT_EQ(descriptions(list({}, second.newer, 5)),
              (std::vector<std::string>{"r24", "r23", "r22", "r21", "r20"}));
}

TEST_F(LogDirectory, FiltersSelectFilesByNameAndRecordsByKindAndDate) {
    writeDay(28, 0, 6);
    writeDay(29, 6, 6);
    writeDay(30, 12, 6);
    // A record dated otherwise than its file is judged by its own date.
    append("nvl20060831.log", line(day(27), clock(0), 2, "late") + line(day(31), clock(1), 2, "x"));
    struct Case {
        EventFilter filter;
        std::vector<std::string> expected;
    };
    const Case kCases[] = {
        {{2, 0, 0}, {"x", "late", "r16", "r13", "r10", "r7", "r4", "r1"}},
        {{0, 20060829, 20060829}, {"r11", "r10", "r9", "r8", "r7", "r6"}},
        {{0, 20060830, 0}, {"x", "r17", "r16", "r15", "r14", "r13", "r12"}},
        {{0, 0, 20060828}, {"r5", "r4", "r3", "r2", "r1", "r0"}},
        {{0, 20060827, 20060827}, {}},  // its record lies in the file of the 31st
        {{1, 20060829, 20060830}, {"r15", "r12", "r9", "r6"}},
        {{9, 0, 0}, {}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message()
                     << c.filter.kind << " " << c.filter.from << "-" << c.filter.to);
        EXPECT_EQ(allOlder(c.filter, 3), c.expected);
        EXPECT_EQ(descriptions(list(c.filter, {}, 100)), c.expected);
    }
    // Back from the last page of a filtered listing.
    EventListing second = list({2, 0, 0}, list({2, 0, 0}, {}, 3).older, 3);
    EXPECT_EQ(descriptions(second), (std::vector<std::string>{"r13", "r10", "r7"}));
    ASSERT_TRUE(second.hasNewer);
    EXPECT_TRUE(second.newer.top());
}

TEST_F(LogDirectory, ABadLineStopsTheListingAndTheNextPageGoesOnPastIt) {
    struct Case {
        const char* name;
        std::string bad;
    };
    const std::string tooLong = line(day(31), clock(0), 1, std::string(kEventLogMaxRecord, 'a'));
    const Case kCases[] = {
        {"truncated", "2006/08/31, 09:4"},
        {"garbage", "\x01\x02 not a record"},
        {"empty", ""},
        {"too long", tooLong.substr(0, tooLong.size() - 1)},
        {"very long", std::string(3 * 256 * 1024 + 17, 'z')},
        {"zeros", std::string(50000, '\0')},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ::unlink((dir_ + "nvl20060831.log").c_str());
        ::unlink((dir_ + "nvl20060830.log").c_str());
        writeDay(30, 0, 2);
        writeDay(31, 2, 3);
        append("nvl20060831.log", c.bad + "\n");
        writeDay(31, 5, 2);

        EventListing first = list({}, {}, 10);
        EXPECT_EQ(descriptions(first), (std::vector<std::string>{"r6", "r5"}));
        EXPECT_EQ(first.stop, EventListing::kBadLine);
        EXPECT_EQ(first.stopDate, 20060831);
        ASSERT_TRUE(first.hasOlder);
        EventListing second = list({}, first.older, 10);
        EXPECT_EQ(descriptions(second), (std::vector<std::string>{"r4", "r3", "r2", "r1", "r0"}));
        EXPECT_EQ(second.stop, EventListing::kComplete);
        // A full page ends before the bad line; the page after it reports it.
        EventListing full = list({}, {}, 2);
        EXPECT_EQ(full.stop, EventListing::kComplete);
        ASSERT_TRUE(full.hasOlder);
        EventListing next = list({}, full.older, 2);
        EXPECT_TRUE(next.records.empty());
        EXPECT_EQ(next.stop, EventListing::kBadLine);
        EXPECT_EQ(descriptions(list({}, next.older, 2)), (std::vector<std::string>{"r4", "r3"}));
        // Reading forward for the newer page passes over it.
        EventListing last = list({}, second.start, 2);
        ASSERT_TRUE(last.hasNewer);
        EXPECT_TRUE(last.newer.top());
    }
}

TEST_F(LogDirectory, ARecordAsLongAsTheWriterAllowsReadsWhereverTheBlocksFall) {
    const size_t shortLine = line(day(31), clock(0), 1, "r000").size();
    for (size_t over : {0u, 1u}) {
        for (int after = 0; after < 200; ++after) {
            SCOPED_TRACE(testing::Message() << "over " << over << ", after " << after);
            ::unlink((dir_ + "nvl20060831.log").c_str());
            std::string text;
            for (int i = 100; i < 300; ++i)
                text += line(day(31), clock(i), 1, "r" + std::to_string(i));
            std::string longest = line(day(31), clock(0), 2, "");
            longest = line(day(31), clock(0), 2,
                           std::string(kEventLogMaxRecord + over - longest.size(), 'd'));
            ASSERT_EQ(longest.size(), kEventLogMaxRecord + over);
            text += longest;
            for (int i = 0; i < after; ++i)
                text += line(day(31), clock(i), 1, "r" + std::to_string(300 + i));
            append("nvl20060831.log", text);

            EventListing all = list({}, {}, 1000);
            EXPECT_EQ(all.records.size(), over == 0 ? 201u + after : size_t(after));
            EXPECT_EQ(all.stop, over == 0 ? EventListing::kComplete : EventListing::kBadLine);
            // Reading forward for the newer page: the long record is the 200th after the
            // first one, or is passed over when it is one byte too long.
            EventListing first = list({}, {20060831, static_cast<long>(shortLine)}, 200);
            ASSERT_TRUE(first.hasNewer);
            EventListing newer = list({}, first.newer, 1);
            if (over == 0) {
                ASSERT_EQ(newer.records.size(), 1u);
                EXPECT_EQ(newer.records[0].id, 2);
            } else if (after > 0) {
                ASSERT_EQ(newer.records.size(), 1u);
                EXPECT_EQ(newer.records[0].description, "r300");
            }
        }
    }
}

TEST_F(LogDirectory, AnUnfinishedLastLineIsLeftForLaterOnlyAtTheTop) {
    writeDay(30, 0, 2);
    writeDay(31, 2, 2);
    std::string partial = line(day(31), clock(9), 1, "r9");
    append("nvl20060831.log", partial.substr(0, 20));
    EventListing top = list();
    EXPECT_EQ(descriptions(top), (std::vector<std::string>{"r3", "r2", "r1", "r0"}));
    EXPECT_EQ(top.stop, EventListing::kComplete);
    // At an explicit position the same bytes are a cut record.
    struct stat st {};
    ::stat((dir_ + "nvl20060831.log").c_str(), &st);
    EventListing at = list({}, {20060831, static_cast<long>(st.st_size)});
    EXPECT_EQ(at.stop, EventListing::kBadLine);
    // An older file ending without its line feed was cut: a bad line.
    append("nvl20060830.log", partial.substr(0, 30));
    EventListing older = list({}, top.start);
    EXPECT_EQ(descriptions(older), (std::vector<std::string>{"r3", "r2"}));
    EXPECT_EQ(older.stop, EventListing::kBadLine);
    EXPECT_EQ(older.stopDate, 20060830);
    // Once the record is finished it is read.
    append("nvl20060831.log", partial.substr(20));
    EXPECT_EQ(descriptions(list({}, {}, 1)), (std::vector<std::string>{"r9"}));
}

TEST_F(LogDirectory, TheScanLimitStopsAFruitlessSearchAndPagingGoesOn) {
    writeDay(31, 0, 20000);  // about 1.2 MB
    append("nvl20060831.log", line(day(31), clock(1), 7, "needle"));
    writeDay(31, 20000, 20000);
    const uint64_t limit = 256u << 10;
    EventPosition at;
    int pages = 0;
    std::vector<std::string> found;
    for (;; ++pages) {
        ASSERT_LT(pages, 100);
        EventListing page = list({7, 0, 0}, at, 10, limit);
        // Each direction reads at most one block past the limit.
        EXPECT_LE(page.bytesRead, 4 * limit);
        for (const std::string& d : descriptions(page))
            found.push_back(d);
        if (!page.hasOlder)
            break;
        EXPECT_EQ(page.stop, EventListing::kScanLimit);
        at = page.older;
    }
    EXPECT_GT(pages, 3);
    EXPECT_EQ(found, std::vector<std::string>{"needle"});
}

TEST_F(LogDirectory, APageReadsAboutWhatItShowsHoweverLargeTheLog) {
    writeDay(30, 0, 50000);
    writeDay(31, 0, 200000);  // about 12 MB
    EventListing top = list({}, {}, 50);
    ASSERT_EQ(top.records.size(), 50u);
    EXPECT_LT(top.bytesRead, 32u << 10);
    // A page deep in the log, the newer page found by reading forward included.
    EventListing deep = list({}, {20060831, lineAfter("nvl20060831.log", 6000000)}, 50);
    ASSERT_EQ(deep.records.size(), 50u);
    ASSERT_TRUE(deep.hasNewer);
    EXPECT_LT(deep.bytesRead, 64u << 10);
    // Across the day boundary.
    long two = static_cast<long>(line(day(31), clock(0), 1, "r0").size() +
                                 line(day(31), clock(1), 2, "r1").size());
    EventListing boundary = list({}, {20060831, two}, 50);
    ASSERT_EQ(boundary.records.size(), 50u);
    EXPECT_EQ(boundary.records.back().date, day(30));
    EXPECT_LT(boundary.bytesRead, 64u << 10);
}

}  // namespace
