// What the log pages share: the strict reading of their query values, page links, CSV cells,
// and the update log newest first (pages both ways, filters) through the library's reader.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cgishare/cgishare.h>
#include <cgishare/update_log.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "log_texts.h"
#include "log_view.h"
#include "support/test_env.h"
#include "update_reader.h"

namespace {

using console::LogQuery;
using console::UpdateFilter;
using console::UpdateListing;

LogQuery queryOf(const char* queryString) {
    ::setenv("REQUEST_METHOD", "GET", 1);
    ::setenv("QUERY_STRING", queryString, 1);
    console::Form form;
    EXPECT_EQ(form.error(), 0) << queryString;
    return console::readLogQuery(form);
}

TEST(LogQueryValues, WrongValuesAreNotUsedAndSaySo) {
    struct Case {
        const char* query;
        int size, from, to;
        bool csv;
        std::vector<int> messages;
    };
    const Case kCases[] = {
        {"", 25, 0, 0, false, {}},
        {"size=100&from=2026-01-31&to=2026-02-01&csv=1", 100, 20260131, 20260201, true, {}},
        {"size=10&from=2024-02-29", 10, 20240229, 0, false, {}},
        {"size=&from=&to=&csv=", 25, 0, 0, false, {}},
        {"size=7", 25, 0, 0, false, {console::kBadPageSize}},
        {"size=-10", 25, 0, 0, false, {console::kBadPageSize}},
        {"size=050", 50, 0, 0, false, {}},
        {"size=1e2", 25, 0, 0, false, {console::kBadPageSize}},
        {"size=99999999999999999999999", 25, 0, 0, false, {console::kBadPageSize}},
        {"size=%2B50", 25, 0, 0, false, {console::kBadPageSize}},
        {"size=50%20", 25, 0, 0, false, {console::kBadPageSize}},
        {"from=2023-02-29", 25, 0, 0, false, {console::kBadFromDate}},
        {"from=1969-12-31&to=2026-13-01",
         25,
         0,
         0,
         false,
         {console::kBadFromDate, console::kBadToDate}},
        {"to=20260101", 25, 0, 0, false, {console::kBadToDate}},
        {"from=%EF%BC%92%EF%BC%90%EF%BC%92%EF%BC%96-01-01",
         25,
         0,
         0,
         false,
         {console::kBadFromDate}},
        {"from=2026-02-01&to=2026-01-31", 25, 0, 0, false, {console::kDatesReversed}},
        {"csv=yes", 25, 0, 0, false, {console::kBadDownload}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.query);
        LogQuery query = queryOf(c.query);
        EXPECT_EQ(query.size, c.size);
        EXPECT_EQ(query.from, c.from);
        EXPECT_EQ(query.to, c.to);
        EXPECT_EQ(query.csv, c.csv);
        EXPECT_EQ(query.messages, c.messages);
    }
}

TEST(LogLinks, CarryValuesEncodedAndEscaped) {
    EXPECT_EQ(console::pageLink("logs.cgi", {{"log", "event"}, {"kind", ""}, {"at", "20260101-5"}}),
              "logs.cgi?log=event&amp;at=20260101-5");
    EXPECT_EQ(console::pageLink("updatelog.cgi", {{"kind", "&"}, {"x", "\"<a b>'"}}),
              "updatelog.cgi?kind=%26&amp;x=%22%3Ca%20b%3E%27");
    EXPECT_EQ(console::pageLink("logs.cgi", {}), "logs.cgi");
    EXPECT_EQ(console::csvFileName("events", 20260101, 20260131), "events-20260101-20260131.csv");
    EXPECT_EQ(console::csvFileName("audit", 0, 0), "audit.csv");
}

TEST(CsvCells, AreQuotedAndNeverReadAsFormulas) {
    struct Case {
        const char* text;
        const char* cell;
    };
    const Case kCases[] = {
        {"plain", "\"plain\""},
        {"", "\"\""},
        {"a, b", "\"a, b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"=1+2", "\"'=1+2\""},
        {"+1", "\"'+1\""},
        {"-5", "\"'-5\""},
        {"@SUM(A1)", "\"'@SUM(A1)\""},
        {"\tx", "\"'\tx\""},
        {"\rx", "\"'\rx\""},
        {"-", "\"-\""},  // the log's "none"
        {"a=b", "\"a=b\""},
        {"=\"", "\"'=\"\"\""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.text);
        std::string row;
        console::appendCsvText(&row, c.text);
        EXPECT_EQ(row, c.cell);
    }
    std::string row;
    console::appendCsvText(&row, "a");
    console::appendCsvNumber(&row, -5);
    console::appendCsvText(&row, "b");
    EXPECT_EQ(row, "\"a\",-5,\"b\"");
}

class UpdateLogPages : public ::testing::Test {
  protected:
    void SetUp() override { ::mkdir((env_.home() + "Log").c_str(), 0755); }

    // Record i: kind 'a' or 'b' in turn, on day 1 + i / 10 of March 2026, message "m<i>".
    void write(int first, int count) {
        for (int i = first; i < first + count; ++i) {
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "202603%02d%06d", 1 + i / 10, i);
            std::string kind = i % 2 == 0 ? "a" : "b";
            std::string message = "m" + std::to_string(i);
            writeUpdateLog(stamp, kind.data(), i, -i, message.data(), nullptr);
        }
    }

    static std::vector<std::string> messages(const UpdateListing& listing) {
        std::vector<std::string> out;
        for (const console::UpdateRecord& record : listing.records)
            out.push_back(record.message);
        return out;
    }

    // Every record from the top following the older links, checking that the newer link of
    // each page leads to the page before it.
    std::vector<std::string> walk(const UpdateFilter& filter, size_t count) {
        std::vector<std::string> out;
        std::vector<long> starts;
        long at = 0;
        for (int pages = 0; pages < 1000; ++pages) {
            UpdateListing page = console::listUpdates(filter, at, count);
            EXPECT_FALSE(page.readError);
            if (!starts.empty()) {
                EXPECT_TRUE(page.hasNewer);
                EXPECT_EQ(page.newer, starts.size() == 1 ? 0 : starts.back());
            } else {
                EXPECT_FALSE(page.hasNewer);
            }
            starts.push_back(page.start);
            for (const std::string& m : messages(page))
                out.push_back(m);
            if (!page.hasOlder)
                return out;
            EXPECT_EQ(page.records.size(), count);
            at = page.older;
        }
        ADD_FAILURE() << "paging did not end";
        return out;
    }

    nvl::test::TestEnv env_;
};

TEST_F(UpdateLogPages, NewestFirstInPagesOfAnySizeBothWays) {
    write(0, 37);
    std::vector<std::string> all;
    for (int i = 36; i >= 0; --i)
        all.push_back("m" + std::to_string(i));
    for (size_t count : {1u, 7u, 10u, 25u, 37u, 100u}) {
        SCOPED_TRACE(count);
        EXPECT_EQ(walk({}, count), all);
    }
    UpdateListing top = console::listUpdates({}, 0, 3);
    ASSERT_EQ(top.records.size(), 3u);
    EXPECT_EQ(top.records[0].number, 37);
    EXPECT_EQ(top.records[0].timeStamp, "20260304000036");
    EXPECT_EQ(top.records[0].kind, "a");
    EXPECT_EQ(top.records[0].number1, 36);
    EXPECT_EQ(top.records[0].number2, -36);
    // A page keeps its records when the log grows.
    write(37, 5);
    EXPECT_EQ(messages(console::listUpdates({}, top.start, 3)),
              (std::vector<std::string>{"m36", "m35", "m34"}));
    EXPECT_EQ(messages(console::listUpdates({}, 999, 2)), (std::vector<std::string>{"m41", "m40"}));
}

TEST_F(UpdateLogPages, FiltersByKindAndDate) {
    write(0, 37);
    struct Case {
        UpdateFilter filter;
        std::vector<std::string> expected;
    };
    const Case kCases[] = {
        {{'b', 0, 0},
         {"m35", "m33", "m31", "m29", "m27", "m25", "m23", "m21", "m19", "m17", "m15", "m13", "m11",
          "m9", "m7", "m5", "m3", "m1"}},
        {{'\0', 20260302, 20260302},
         {"m19", "m18", "m17", "m16", "m15", "m14", "m13", "m12", "m11", "m10"}},
        {{'a', 20260303, 0}, {"m36", "m34", "m32", "m30", "m28", "m26", "m24", "m22", "m20"}},
        {{'a', 0, 20260301}, {"m8", "m6", "m4", "m2", "m0"}},
        {{'c', 0, 0}, {}},
        {{'\0', 20260305, 0}, {}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message()
                     << c.filter.kind << " " << c.filter.from << "-" << c.filter.to);
        for (size_t count : {1u, 4u, 10u, 50u})
            EXPECT_EQ(walk(c.filter, count), c.expected);
    }
}

TEST_F(UpdateLogPages, AMissingLogListsNothing) {
    UpdateListing listing = console::listUpdates({}, 0, 10);
    EXPECT_TRUE(listing.records.empty());
    EXPECT_FALSE(listing.hasOlder);
    EXPECT_FALSE(listing.hasNewer);
    EXPECT_TRUE(console::listUpdates({'a', 0, 0}, 5, 10).records.empty());
}

}  // namespace
