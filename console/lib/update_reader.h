// The console's view of the update log (<home>Log/update.log), newest first, through the
// library's reader: getRecordCountUpdateLog and readUpdateLog's pages of ten records.
//
// Records are numbered 1 (the oldest) to the count in file order. The file only grows (or is
// emptied whole), so a number is a stable place in it: a page link carries the number of the
// page's newest record, and records written meanwhile never shift the pages.
//
// Without a filter a page of N records costs the count and the library pages that hold those
// N records; with a filter one pass over the file keeps the last N + 1 matching records before
// the page's start, so memory stays one page whatever the log's size.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace console {

struct UpdateRecord {
    long number = 0;        // its place in the file, 1 for the oldest
    std::string timeStamp;  // "20060831094107" as written ("" when the line lacks it)
    std::string kind;       // one character as written
    int number1 = 0;
    int number2 = 0;
    std::string message;
};

// Zero or '\0' in a field means no condition.
struct UpdateFilter {
    char kind = '\0';
    int from = 0;  // YYYYMMDD, by the time stamp's date
    int to = 0;
};

struct UpdateListing {
    std::vector<UpdateRecord> records;  // newest first
    long start = 0;                     // the number the listing started at (the count at the top)
    bool hasOlder = false;
    long older = 0;  // the next page's start
    bool hasNewer = false;
    long newer = 0;  // the previous page's start; 0 for the top
    bool readError = false;
};

// At most `count` records matching `filter` numbered `at` or lower (0: the top), newest
// first. A file that is missing or cannot be opened lists nothing.
UpdateListing listUpdates(const UpdateFilter& filter, long at, size_t count);

// The time stamp's date as YYYYMMDD, 0 when it does not start with a calendar date.
int updateDate(const std::string& timeStamp);

}  // namespace console
