// The update log (<home>Log/update.log), newest first: a page of a chosen size made from the
// library's ten-record pages, filtered by kind and by date range, with links to the newer and
// older pages and a CSV download of exactly the records shown. GET forms only.
//
// Query values besides those of log_view.h: kind (one printable ASCII character other than a
// comma, as the writer's kind field holds one) and at (the number of the page's newest record,
// as the page's links carry it).
#include <initializer_list>
#include <string>
#include <vector>

#include "frame.h"
#include "log_texts.h"
#include "log_view.h"
#include "query.h"
#include "update_reader.h"

namespace {

using console::text;

constexpr char kProgram[] = "updatelog.cgi";

struct Request {
    console::LogQuery query;
    console::UpdateFilter filter;
    long at = 0;
};

Request readRequest(const console::Form& form) {
    Request request;
    request.query = console::readLogQuery(form);
    std::vector<int>& messages = request.query.messages;
    std::string_view kind = form.value("kind");
    if (!kind.empty()) {
        if (kind.size() == 1 && kind[0] > ' ' && kind[0] <= '~' && kind[0] != ',')
            request.filter.kind = kind[0];
        else
            messages.push_back(console::kBadKind);
    }
    request.filter.from = request.query.from;
    request.filter.to = request.query.to;
    std::string_view at = form.value("at");
    if (!at.empty() && !console::parseInteger(at, 1, 999999999999999999L, &request.at))
        messages.push_back(console::kBadPosition);
    return request;
}

std::string link(const Request& request, long at, bool csv = false) {
    return console::pageLink(
        kProgram, {{"size", std::to_string(request.query.size)},
                   {"kind", request.filter.kind != '\0' ? std::string(1, request.filter.kind) : ""},
                   {"from", console::dateValue(request.query.from)},
                   {"to", console::dateValue(request.query.to)},
                   {"at", at > 0 ? std::to_string(at) : ""},
                   {"csv", csv ? "1" : ""}});
}

std::string resource(int id) {
    const char* value = getResourceString(id);
    return value != nullptr ? value : "";
}

// "2006/08/31 09:41:07" from "20060831094107"; anything else as it stands.
std::string when(const std::string& timeStamp) {
    if (timeStamp.size() != 14 || timeStamp.find_first_not_of("0123456789") != std::string::npos)
        return timeStamp;
    return timeStamp.substr(0, 4) + "/" + timeStamp.substr(4, 2) + "/" + timeStamp.substr(6, 2) +
           " " + timeStamp.substr(8, 2) + ":" + timeStamp.substr(10, 2) + ":" +
           timeStamp.substr(12, 2);
}

void writeCsv(console::Page& page, const std::vector<console::UpdateRecord>& records) {
    std::string name = console::csvFileName(
        "updates", records.empty() ? 0 : console::updateDate(records.back().timeStamp),
        records.empty() ? 0 : console::updateDate(records.front().timeStamp));
    std::ostream& stream = page.download("text/csv; charset=utf-8", name.c_str());
    stream << console::kCsvByteOrderMark;
    OutputStreamConverter csv(UTF_8, &stream);  // from the server's code page
    std::string row;
    for (int column : std::initializer_list<int>{console::kColumnTime, console::kKindLabel,
                                                 console::kColumnValue1, console::kColumnValue2,
                                                 console::kColumnMessage})
        console::appendCsvText(&row, resource(column));
    csv << (row + "\r\n").c_str();
    for (const console::UpdateRecord& record : records) {
        row.clear();
        console::appendCsvText(&row, when(record.timeStamp));
        console::appendCsvText(&row, record.kind);
        console::appendCsvNumber(&row, record.number1);
        console::appendCsvNumber(&row, record.number2);
        console::appendCsvText(&row, record.message);
        csv << (row + "\r\n").c_str();
    }
    csv.flush();
}

void writeTable(OutputStreamConverter& out, const std::vector<console::UpdateRecord>& records) {
    if (records.empty()) {
        out << "<p class=\"empty\" id=\"no-records\">" << text(console::kNoRecords).c_str()
            << "</p>\n";
        return;
    }
    out << "<div class=\"scroll\"><table id=\"records\">\n<caption>"
        << text(console::kUpdateLogTitle).c_str() << "</caption>\n<thead><tr>";
    for (int column : std::initializer_list<int>{console::kColumnTime, console::kKindLabel,
                                                 console::kColumnValue1, console::kColumnValue2,
                                                 console::kColumnMessage})
        out << "<th scope=\"col\">" << text(column).c_str() << "</th>";
    out << "</tr></thead>\n<tbody>\n";
    for (const console::UpdateRecord& record : records) {
        out << "<tr><td>" << console::htmlEscape(when(record.timeStamp).c_str()).c_str()
            << "</td><td>" << console::htmlEscape(record.kind.c_str()).c_str() << "</td><td>"
            << record.number1 << "</td><td>" << record.number2 << "</td><td>"
            << console::htmlEscape(record.message.c_str()).c_str() << "</td></tr>\n";
    }
    out << "</tbody>\n</table></div>\n";
}

}  // namespace

int main() {
    console::Page page(console::kUpdateLogTitle);
    if (!page.admitted())
        return page.finish();
    Request request = readRequest(page.form());
    console::UpdateListing listing =
        console::listUpdates(request.filter, request.at, static_cast<size_t>(request.query.size));

    if (request.query.csv && request.query.messages.empty()) {
        writeCsv(page, listing.records);
        return page.finish();
    }

    std::vector<std::string> notices;
    for (int message : request.query.messages)
        notices.push_back(text(message));
    if (listing.readError)
        notices.push_back(text(console::kUpdateReadError));

    OutputStreamConverter& out = page.body();
    std::string kind = request.filter.kind != '\0' ? std::string(1, request.filter.kind) : "";
    std::string fields = "<label for=\"kind\">" + text(console::kKindLabel) +
                         "</label> <input type=\"text\" id=\"kind\" name=\"kind\" maxlength=\"1\" "
                         "size=\"2\" value=\"" +
                         console::htmlEscape(kind.c_str()) + "\">\n";
    console::writeFilterForm(out, kProgram, fields, request.query);
    console::writeNotices(out, notices, page.form().error() != 0);
    writeTable(out, listing.records);
    console::writePager(out, listing.hasNewer ? link(request, listing.newer) : "",
                        listing.hasOlder ? link(request, listing.older) : "",
                        listing.records.empty() ? "" : link(request, listing.start, true));
    return page.finish();
}
