// What the log pages (logs.cgi: event and audit logs; updatelog.cgi: the update log) share:
// the strict reading of their query values, the filter form, the pager links, the notices and
// the CSV download.
//
// Query values: size (one of kPageSizes), from and to (YYYY-MM-DD, as <input type="date">
// sends them), at (the page's position) and csv=1 (the download of the records the page
// shows). A value that is not valid is not used: the page says so in #notice and shows the
// records as if the value had not been given, with the form showing what was applied. Nothing
// in a query can make a page fail.
//
// CSV (RFC 4180): UTF-8 with a byte order mark (so that spreadsheets read the Japanese texts),
// a header row, rows ending in CR LF, every text cell in double quotes with its quotes doubled
// (a cell may hold commas, quotes and line breaks). Against formula injection a text cell that
// starts with '=', '+', '-', '@', a tab or a carriage return is written with a leading
// apostrophe, which spreadsheets show as text; the log's "-" for "none" alone is left as it is,
// no spreadsheet reads it as a formula. Numbers the page formats itself are written bare.
#pragma once

#include <cgishare/cgishare.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "page.h"

namespace console {

inline constexpr int kPageSizes[] = {10, 25, 50, 100};
inline constexpr int kDefaultPageSize = 25;

struct LogQuery {
    int size = kDefaultPageSize;
    int from = 0;  // YYYYMMDD, 0: none
    int to = 0;
    bool csv = false;
    std::vector<int> messages;  // resource numbers of the notices for values not used
};

// Reads size, from, to and csv.
LogQuery readLogQuery(const Form& form);

// A link to `program` with the query `values` (name, value; empty values left out), its values
// percent-encoded and the whole escaped for an HTML attribute.
std::string pageLink(const char* program,
                     const std::vector<std::pair<const char*, std::string>>& values);

// Resource text `id`, HTML-escaped, with "%s" replaced by `value` (plain text, escaped here).
std::string textWith(int id, const std::string& value);

// <form id="filter">: `fields` is the HTML of the page's own fields (its log choice, its kind
// field); page size and dates follow, and the submit button.
void writeFilterForm(OutputStreamConverter& out, const char* program, const std::string& fields,
                     const LogQuery& query);

// <div id="notice"> with one paragraph per message (HTML), nothing when there is none. When
// the frame shows a notice of its own (`besideFrameNotice`) the id is "log-notice".
void writeNotices(OutputStreamConverter& out, const std::vector<std::string>& messages,
                  bool besideFrameNotice = false);

// <nav class="pager"> with a#previous (newer records), a#next (older) and a#csv; an empty link
// leaves its anchor out.
void writePager(OutputStreamConverter& out, const std::string& newer, const std::string& older,
                const std::string& csv);

// The date YYYYMMDD as "YYYY-MM-DD", "" for 0.
std::string dateValue(int yyyymmdd);

// The CSV file's name: "<stem>-<oldest>-<newest>.csv" with the dates YYYYMMDD of the shown
// records, "<stem>.csv" when none is shown.
std::string csvFileName(const char* stem, int oldest, int newest);

inline constexpr char kCsvByteOrderMark[] = "\xEF\xBB\xBF";

// Appends one text cell to a row (with the separator before it unless the row is empty).
void appendCsvText(std::string* row, std::string_view text);
// Appends one number cell.
void appendCsvNumber(std::string* row, long value);

}  // namespace console
