// The event log and the audit log (?log=event|audit), newest first: a page of a chosen size,
// filtered by event number and by date range, with links to the newer and older pages and a
// CSV download of exactly the records shown. Nothing here changes anything: GET forms only.
//
// Query values besides those of log_view.h: log ("event" or "audit"), kind (an event number,
// 1 to 9999) and at (a position "YYYYMMDD-OFFSET" as the page's links carry it).
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "audit.h"
#include "event_reader.h"
#include "frame.h"
#include "log_texts.h"
#include "log_view.h"
#include "query.h"

namespace {

using console::text;

constexpr char kProgram[] = "logs.cgi";
constexpr char kEventPrefix[] = "nvl";

struct Request {
    bool audit = false;
    console::LogQuery query;
    console::EventFilter filter;
    console::EventPosition at;
};

Request readRequest(const console::Form& form) {
    Request request;
    request.query = console::readLogQuery(form);
    std::vector<int>& messages = request.query.messages;
    std::string_view log = form.value("log");
    if (log == "audit")
        request.audit = true;
    else if (!log.empty() && log != "event")
        messages.push_back(console::kBadLogChoice);
    std::string_view kind = form.value("kind");
    long number = 0;
    if (!kind.empty()) {
        if (console::parseInteger(kind, 1, 9999, &number))
            request.filter.kind = static_cast<int>(number);
        else
            messages.push_back(console::kBadEventNumber);
    }
    request.filter.from = request.query.from;
    request.filter.to = request.query.to;
    std::string_view at = form.value("at");
    if (!at.empty() && !console::parseLogPosition(at, &request.at.date, &request.at.offset))
        messages.push_back(console::kBadPosition);
    return request;
}

// The query of a link to this page with the same log, size and filter, at `at`.
std::string link(const Request& request, const console::EventPosition& at, bool csv = false) {
    return console::pageLink(
        kProgram, {{"log", request.audit ? "audit" : "event"},
                   {"size", std::to_string(request.query.size)},
                   {"kind", request.filter.kind != 0 ? std::to_string(request.filter.kind) : ""},
                   {"from", console::dateValue(request.filter.from)},
                   {"to", console::dateValue(request.filter.to)},
                   {"at", at.text()},
                   {"csv", csv ? "1" : ""}});
}

std::string resource(int id) {
    const char* value = getResourceString(id);
    return value != nullptr ? value : "";
}

void writeCsv(console::Page& page, const Request& request, const console::EventListing& listing) {
    const std::vector<console::EventRecord>& records = listing.records;
    std::string name =
        console::csvFileName(request.audit ? "audit" : "events",
                             records.empty() ? 0 : console::recordDate(records.back()),
                             records.empty() ? 0 : console::recordDate(records.front()));
    std::ostream& stream = page.download("text/csv; charset=utf-8", name.c_str());
    stream << console::kCsvByteOrderMark;
    // The log's texts are in the server's code page, as the resource strings are; the
    // converter writes both as UTF-8.
    OutputStreamConverter csv(UTF_8, &stream);
    std::string row;
    for (int column : std::initializer_list<int>{console::kColumnDate, console::kColumnClock,
                                                 console::kEventNumberLabel, console::kColumnEvent,
                                                 console::kColumnDescription,
                                                 console::kColumnResult, console::kColumnDetail})
        console::appendCsvText(&row, resource(column));
    csv << (row + "\r\n").c_str();
    for (const console::EventRecord& record : records) {
        row.clear();
        console::appendCsvText(&row, record.date);
        console::appendCsvText(&row, record.time);
        console::appendCsvNumber(&row, record.id);
        console::appendCsvText(&row, record.event);
        console::appendCsvText(&row, record.description);
        console::appendCsvText(&row, resource(record.success ? console::kSuccess : console::kFail));
        console::appendCsvText(&row, record.detail);
        csv << (row + "\r\n").c_str();
    }
    csv.flush();
}

void writeTable(OutputStreamConverter& out, const Request& request,
                const std::vector<console::EventRecord>& records) {
    if (records.empty()) {
        out << "<p class=\"empty\" id=\"no-records\">" << text(console::kNoRecords).c_str()
            << "</p>\n";
        return;
    }
    out << "<div class=\"scroll\"><table id=\"records\">\n<caption>"
        << text(request.audit ? console::kAuditLogName : console::kEventLogName).c_str()
        << "</caption>\n<thead><tr>";
    for (int column : std::initializer_list<int>{console::kColumnTime, console::kEventNumberLabel,
                                                 console::kColumnEvent, console::kColumnDescription,
                                                 console::kColumnResult, console::kColumnDetail})
        out << "<th scope=\"col\">" << text(column).c_str() << "</th>";
    out << "</tr></thead>\n<tbody>\n";
    for (const console::EventRecord& record : records) {
        out << "<tr><td>" << console::htmlEscape(record.date.c_str()).c_str() << " "
            << console::htmlEscape(record.time.c_str()).c_str() << "</td><td>" << record.id
            << "</td><td>" << console::htmlEscape(record.event.c_str()).c_str() << "</td><td>"
            << console::htmlEscape(record.description.c_str()).c_str() << "</td><td class=\""
            << (record.success ? "ok" : "error") << "\">"
            << text(record.success ? console::kSuccess : console::kFail).c_str() << "</td><td>"
            << console::htmlEscape(record.detail.c_str()).c_str() << "</td></tr>\n";
    }
    out << "</tbody>\n</table></div>\n";
}

std::string slashDate(int yyyymmdd) {
    std::string date = console::dateValue(yyyymmdd);
    for (char& c : date) {
        if (c == '-')
            c = '/';
    }
    return date;
}

}  // namespace

int main() {
    console::Page page(console::kLogsTitle);
    if (!page.admitted())
        return page.finish();
    Request request = readRequest(page.form());
    console::EventListing listing = console::listEvents(
        console::logDirectory(), request.audit ? console::kAuditFilePrefix : kEventPrefix,
        request.filter, request.at, static_cast<size_t>(request.query.size));

    // A download is made only from a request whose every value was used.
    if (request.query.csv && request.query.messages.empty()) {
        writeCsv(page, request, listing);
        return page.finish();
    }

    std::vector<std::string> notices;
    for (int message : request.query.messages)
        notices.push_back(text(message));
    switch (listing.stop) {
        case console::EventListing::kBadLine:
            notices.push_back(
                console::textWith(console::kBadLineNotice, slashDate(listing.stopDate)));
            break;
        case console::EventListing::kScanLimit:
            notices.push_back(console::textWith(console::kScanLimitNotice,
                                                std::to_string(console::kEventScanLimit >> 20)));
            break;
        case console::EventListing::kReadError:
            notices.push_back(
                console::textWith(console::kReadErrorNotice, slashDate(listing.stopDate)));
            break;
        case console::EventListing::kComplete:
            break;
    }

    OutputStreamConverter& out = page.body();
    std::string fields =
        "<label for=\"log\">" + text(console::kLogLabel) +
        "</label> <select id=\"log\" name=\"log\"><option value=\"event\"" +
        (request.audit ? "" : " selected") + ">" + text(console::kEventLogName) +
        "</option><option value=\"audit\"" + (request.audit ? " selected" : "") + ">" +
        text(console::kAuditLogName) + "</option></select>\n<label for=\"kind\">" +
        text(console::kEventNumberLabel) +
        "</label> <input type=\"number\" id=\"kind\" name=\"kind\" min=\"1\" max=\"9999\" "
        "inputmode=\"numeric\" value=\"" +
        (request.filter.kind != 0 ? std::to_string(request.filter.kind) : "") + "\">\n";
    console::writeFilterForm(out, kProgram, fields, request.query);
    console::writeNotices(out, notices, page.form().error() != 0);
    writeTable(out, request, listing.records);
    console::writePager(out, listing.hasNewer ? link(request, listing.newer) : "",
                        listing.hasOlder ? link(request, listing.older) : "",
                        listing.records.empty() ? "" : link(request, listing.start, true));
    return page.finish();
}
