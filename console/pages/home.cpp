// The console's home: a dashboard of the server's state (master service, log server, home
// directory), the administrator's log-ons, the latest audit-log and event-log entries, and
// links to the console's pages.
#include <string>
#include <vector>

#include "audit.h"
#include "event_reader.h"
#include "frame.h"

namespace {

constexpr size_t kLatest = 5;
// How far back the previous log-on is looked for among the audit records.
constexpr size_t kLogOnLookBack = 200;

using console::text;

void statusItem(OutputStreamConverter& out, const char* id, int label, bool up, int upText,
                int downText) {
    out << "<dt>" << text(label).c_str() << "</dt><dd id=\"" << id << "\" class=\"state "
        << (up ? "up" : "down") << "\">" << text(up ? upText : downText).c_str() << "</dd>\n";
}

std::string when(const console::EventRecord& record) {
    return console::htmlEscape(record.date.c_str()) + " " +
           console::htmlEscape(record.time.c_str()) + " (" +
           console::htmlEscape(record.detail.c_str()) + ")";
}

void latestTable(OutputStreamConverter& out, const char* id, int heading,
                 const std::vector<console::EventRecord>& records) {
    out << "<section class=\"panel\">\n<h2>" << text(heading).c_str() << "</h2>\n";
    if (records.empty()) {
        out << "<p id=\"" << id << "\" class=\"empty\">" << text(console::kNoEntries).c_str()
            << "</p>\n</section>\n";
        return;
    }
    out << "<div class=\"scroll\"><table id=\"" << id << "\">\n<thead><tr><th scope=\"col\">"
        << text(console::kColumnTime).c_str() << "</th><th scope=\"col\">"
        << text(console::kColumnEvent).c_str() << "</th><th scope=\"col\">"
        << text(console::kColumnDescription).c_str() << "</th><th scope=\"col\">"
        << text(console::kColumnResult).c_str() << "</th><th scope=\"col\">"
        << text(console::kColumnDetail).c_str() << "</th></tr></thead>\n<tbody>\n";
    for (const console::EventRecord& record : records) {
        out << "<tr><td><span class=\"nowrap\">" << console::htmlEscape(record.date.c_str()).c_str()
            << "</span> <span class=\"nowrap\">" << console::htmlEscape(record.time.c_str()).c_str()
            << "</span></td><td>" << console::htmlEscape(record.event.c_str()).c_str()
            << "</td><td>" << console::htmlEscape(record.description.c_str()).c_str()
            << "</td><td class=\"" << (record.success ? "ok" : "error") << "\">"
            << text(record.success ? console::kSuccess : console::kFail).c_str() << "</td><td>"
            << console::htmlEscape(record.detail.c_str()).c_str() << "</td></tr>\n";
    }
    out << "</tbody>\n</table></div>\n</section>\n";
}

}  // namespace

int main() {
    console::Page page(console::kMenuHome, "home");
    if (!page.admitted())
        return page.finish();
    OutputStreamConverter& out = page.body();

    std::string logs = console::logDirectory();
    std::vector<console::EventRecord> audit =
        console::newestEvents(logs, console::kAuditFilePrefix, kLogOnLookBack);
    // This log-on is the newest successful one, the previous log-on the one before it.
    std::vector<const console::EventRecord*> logOns;
    for (const console::EventRecord& record : audit) {
        if (record.id == console::kAuditLogOn && record.success && logOns.size() < 2)
            logOns.push_back(&record);
    }

    char home[1024] = {};
    getHomeDir(home, sizeof home);
    out << "<div class=\"panels\">\n<section class=\"panel\">\n<h2>"
        << text(console::kStatusHeading).c_str() << "</h2>\n<dl class=\"status\">\n";
    statusItem(out, "status-master", console::kMasterService, isAliveMasterService(),
               console::kRunning, console::kStopped);
    statusItem(out, "status-logserver", console::kLogServer, isLogServerReachable(),
               console::kReachable, console::kNotReachable);
    out << "<dt>" << text(console::kHomeDirectory).c_str() << "</dt><dd id=\"home-dir\"><code>"
        << console::htmlEscape(home).c_str() << "</code></dd>\n";
    for (int i = 0; i < 2; ++i) {
        out << "<dt>" << text(i == 0 ? console::kThisLogOn : console::kPreviousLogOn).c_str()
            << "</dt><dd id=\"" << (i == 0 ? "logon-this" : "logon-previous") << "\">"
            << (static_cast<size_t>(i) < logOns.size() ? when(*logOns[i])
                                                       : text(console::kNotKnown))
                   .c_str()
            << "</dd>\n";
    }
    out << "</dl>\n</section>\n<section class=\"panel\">\n<h2>"
        << text(console::kPagesHeading).c_str() << "</h2>\n<ul class=\"pages\" id=\"pages\">\n";
    for (const console::MenuEntry& entry : console::installedPages()) {
        out << "<li><a href=\"" << entry.program << "\">" << text(entry.titleId).c_str()
            << "</a></li>\n";
    }
    out << "</ul>\n</section>\n</div>\n";

    if (audit.size() > kLatest)
        audit.resize(kLatest);
    latestTable(out, "latest-audit", console::kLatestAudit, audit);
    latestTable(out, "latest-events", console::kLatestEvents,
                console::newestEvents(logs, "nvl", kLatest));
    return page.finish();
}
