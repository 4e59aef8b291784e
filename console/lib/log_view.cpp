#include "log_view.h"

#include <algorithm>

#include "log_texts.h"
#include "query.h"

namespace console {

namespace {

void separate(std::string* row) {
    if (!row->empty())
        *row += ',';
}

}  // namespace

LogQuery readLogQuery(const Form& form) {
    LogQuery query;
    std::string_view size = form.value("size");
    long value = 0;
    if (!size.empty()) {
        if (parseInteger(size, 1, 100, &value) &&
            std::find(std::begin(kPageSizes), std::end(kPageSizes), value) != std::end(kPageSizes))
            query.size = static_cast<int>(value);
        else
            query.messages.push_back(kBadPageSize);
    }
    std::string_view from = form.value("from"), to = form.value("to");
    if (!from.empty() && !parseDate(from, &query.from))
        query.messages.push_back(kBadFromDate);
    if (!to.empty() && !parseDate(to, &query.to))
        query.messages.push_back(kBadToDate);
    if (query.from != 0 && query.to != 0 && query.from > query.to) {
        query.messages.push_back(kDatesReversed);
        query.from = query.to = 0;
    }
    std::string_view csv = form.value("csv");
    if (csv == "1")
        query.csv = true;
    else if (!csv.empty())
        query.messages.push_back(kBadDownload);
    return query;
}

std::string pageLink(const char* program,
                     const std::vector<std::pair<const char*, std::string>>& values) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string link = program;
    char separator = '?';
    for (const auto& [name, value] : values) {
        if (value.empty())
            continue;
        link += separator;
        link += name;
        link += '=';
        for (unsigned char c : value) {
            if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                c == '-' || c == '_' || c == '.') {
                link += static_cast<char>(c);
            } else {
                link += '%';
                link += kHex[c >> 4];
                link += kHex[c & 15];
            }
        }
        separator = '&';
    }
    return htmlEscape(link.c_str());
}

std::string textWith(int id, const std::string& value) {
    std::string message = text(id);
    size_t at = message.find("%s");
    if (at != std::string::npos)
        message.replace(at, 2, htmlEscape(value.c_str()));
    return message;
}

std::string dateValue(int yyyymmdd) {
    if (yyyymmdd == 0)
        return {};
    char date[11];
    formatDate(yyyymmdd, date);
    return date;
}

void writeFilterForm(OutputStreamConverter& out, const char* program, const std::string& fields,
                     const LogQuery& query) {
    out << "<form id=\"filter\" method=\"get\" action=\"" << program
        << "\" accept-charset=\"utf-8\">\n<fieldset><legend>" << text(kFilterLegend).c_str()
        << "</legend>\n";
    out << fields.c_str();
    out << "<label for=\"size\">" << text(kPageSizeLabel).c_str()
        << "</label> <select id=\"size\" name=\"size\">";
    for (int size : kPageSizes) {
        out << "<option value=\"" << size << "\"" << (size == query.size ? " selected" : "") << ">"
            << size << "</option>";
    }
    out << "</select>\n<label for=\"from\">" << text(kFromLabel).c_str()
        << "</label> <input type=\"date\" id=\"from\" name=\"from\" min=\"1970-01-01\" "
           "max=\"9999-12-31\" value=\""
        << dateValue(query.from).c_str() << "\">\n<label for=\"to\">" << text(kToLabel).c_str()
        << "</label> <input type=\"date\" id=\"to\" name=\"to\" min=\"1970-01-01\" "
           "max=\"9999-12-31\" value=\""
        << dateValue(query.to).c_str() << "\">\n<button type=\"submit\" id=\"show\">"
        << text(kShowButton).c_str() << "</button>\n</fieldset>\n</form>\n";
}

void writeNotices(OutputStreamConverter& out, const std::vector<std::string>& messages,
                  bool besideFrameNotice) {
    if (messages.empty())
        return;
    out << "<div class=\"notice\" id=\"" << (besideFrameNotice ? "log-notice" : "notice")
        << "\" role=\"status\">";
    for (const std::string& message : messages)
        out << "<p>" << message.c_str() << "</p>";
    out << "</div>\n";
}

void writePager(OutputStreamConverter& out, const std::string& newer, const std::string& older,
                const std::string& csv) {
    if (newer.empty() && older.empty() && csv.empty())
        return;
    out << "<nav class=\"pager\" aria-label=\"" << text(kPagerLabel).c_str() << "\">";
    if (!newer.empty())
        out << "<a id=\"previous\" rel=\"prev\" href=\"" << newer.c_str() << "\">"
            << text(kNewerLink).c_str() << "</a>";
    if (!older.empty())
        out << "<a id=\"next\" rel=\"next\" href=\"" << older.c_str() << "\">"
            << text(kOlderLink).c_str() << "</a>";
    if (!csv.empty())
        out << "<a id=\"csv\" href=\"" << csv.c_str() << "\" download>" << text(kCsvLink).c_str()
            << "</a>";
    out << "</nav>\n";
}

std::string csvFileName(const char* stem, int oldest, int newest) {
    if (oldest == 0 || newest == 0)
        return std::string(stem) + ".csv";
    return std::string(stem) + "-" + std::to_string(oldest) + "-" + std::to_string(newest) + ".csv";
}

void appendCsvText(std::string* row, std::string_view text) {
    separate(row);
    *row += '"';
    static constexpr std::string_view kFormulaStarts = "=+-@\t\r";
    if (!text.empty() && text != "-" && kFormulaStarts.find(text[0]) != std::string_view::npos)
        *row += '\'';
    for (char c : text) {
        if (c == '"')
            *row += '"';
        *row += c;
    }
    *row += '"';
}

void appendCsvNumber(std::string* row, long value) {
    separate(row);
    *row += std::to_string(value);
}

}  // namespace console
