// The console's reader of event-log files (the writer is EventLog in the library): daily files
// <directory><prefix>YYYYMMDD.log of records
//
//   2006/08/31, 09:41:07, 3, pattern updated, -, success, -,
//
// read newest first. The audit log has the same form with prefix "audit".
//
// Files: only names of exactly <prefix>YYYYMMDD.log with a calendar date are read, newest
// date first; anything else in the directory is ignored. Within a file the reader goes
// backwards from the end in blocks, so a page costs about what it shows, however large the
// log: the newest 50 records of a 1 GiB file are a few kilobytes of reading.
//
// How a line is read (parseEventRecord):
//   - date "YYYY/MM/DD" (a calendar date), ", ", time "HH:MM:SS", ", ", the event's number
//     (1 to 9 digits), ", ", the event's text (not empty, up to the next ", "), ", ", and then
//     description, result and detail, the line ending in ",". A CR before the line feed is
//     allowed.
//   - The description and the detail are free text and may hold commas. The result is the
//     first ", success, " or ", fail, " after the event's text: the description is what comes
//     before it, the detail what follows it. A description that itself holds one of those two
//     texts therefore reads shorter, its rest going to the detail; no byte of the line is
//     lost, and the audit log (whose texts are cleaned of commas) always reads exactly.
//   - A line longer than kEventLogMaxRecord (line feed included), one with a NUL byte, an
//     empty line, a line without the line feed (other than the newest file's last line, see
//     below), or one that does not have the form above is a bad line.
//
// A bad line stops a listing there: the listing says so (stop == kBadLine) and its `older`
// position lies before the bad line, so the next page goes on past it. (A page that is full
// before it reaches the bad line ends as usual; the next page then starts with the bad line and
// reports it.) The newest file's last line without a line feed is one still being written, and
// is left for the next look.
//
// Positions (EventPosition) page through a log without counting from the top: a page link
// carries where the page starts, so records written meanwhile never shift the pages, and a
// page deep in the log costs what a page at the top costs. The newer neighbour of a page is
// found by reading forward from the page's start.
//
// Work is bounded: a listing stops after reading about kEventScanLimit bytes in each direction
// (a filter that few records match cannot make one request read a whole large log) and says
// so (kScanLimit) with the position to go on from; memory is the records of one page and one
// read buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace console {

struct EventRecord {
    std::string date;         // "2006/08/31"
    std::string time;         // "09:41:07"
    int id = 0;               // the event's number
    std::string event;        // the event's text
    std::string description;  // "-" when none
    bool success = false;
    std::string detail;  // "-" when none
};

// The newest `count` records of the daily files, newest first. A bad line ends the list: the
// records newer than it are given, nothing older.
std::vector<EventRecord> newestEvents(const std::string& directory, std::string_view prefix,
                                      size_t count);

// Reads one record line (without its line feed) by the rule above. False, with `*record` in
// any state, for a bad line.
bool parseEventRecord(std::string_view line, EventRecord* record);

// The record's date "YYYY/MM/DD" as the number YYYYMMDD.
int recordDate(const EventRecord& record);

// A place between two records: the records that begin before byte `offset` of the daily file
// of `date` come after it (older), then every record of the older files. Date 0 is the top of
// the log, before its newest record.
struct EventPosition {
    int date = 0;  // YYYYMMDD of the daily file
    long offset = 0;

    bool top() const { return date == 0; }
    // "YYYYMMDD-OFFSET", as parseLogPosition (query.h) reads it; "" for the top.
    std::string text() const;
};

// Which records a listing shows. Zero in a field means no condition.
struct EventFilter {
    int kind = 0;  // the event's number
    int from = 0;  // YYYYMMDD: the first day shown (by file name and by the record's date)
    int to = 0;    // YYYYMMDD: the last day shown
};

inline constexpr uint64_t kEventScanLimit = 64u << 20;

struct EventListing {
    enum Stop { kComplete, kBadLine, kScanLimit, kReadError };

    std::vector<EventRecord> records;  // newest first
    // Where the listing began: `at`, or at the top the end of the newest file as read, so a
    // link to it shows the same records again later.
    EventPosition start;
    bool hasOlder = false;
    EventPosition older;  // the next page's start
    bool hasNewer = false;
    EventPosition newer;  // the previous page's start (the top when that is the first page)
    Stop stop = kComplete;
    int stopDate = 0;        // the daily file of the bad line or of the read error
    uint64_t bytesRead = 0;  // what the listing read, both directions together
};

// At most `count` records matching `filter`, starting at `at` and going back in time. A
// `scanLimit` below 64 KiB counts as 64 KiB: enough for every listing to move on by at least
// one line.
EventListing listEvents(const std::string& directory, std::string_view prefix,
                        const EventFilter& filter, const EventPosition& at, size_t count,
                        uint64_t scanLimit = kEventScanLimit);

}  // namespace console
