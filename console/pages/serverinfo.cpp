// Server information: the versions and update dates of the server program, of the client
// program and scan engine of every client platform, of the firewall engine, and the time of the
// last pattern update; the server's time with the date and time pictures in use; the database
// tables with their files and modification dates. Read only.
#include <cstdio>
#include <ctime>
#include <string>

#include "frame.h"
#include "serverinfo_texts.h"

namespace {

using console::text;

// The library's standard locale flags: the system locale, without user overrides.
constexpr int kStandardLocale = 129;
// The library's outputs hold 256 characters.
constexpr int kField = 256;

struct Field {
    char value[kField] = {};
};

// One version row: the label, the version text (none for the pattern row) and the date.
void versionRow(OutputStreamConverter& out, const char* id, const std::string& label,
                const char* version, const char* date) {
    out << "<tr id=\"ver-" << id << "\"><th scope=\"row\">" << label.c_str()
        << "</th><td class=\"version\">";
    if (version != nullptr)
        out << console::htmlEscape(version).c_str();
    out << "</td><td class=\"date\">" << console::htmlEscape(date).c_str() << "</td></tr>\n";
}

// The resource text `id` with its "%s" replaced by the (already escaped) text of `platform`.
std::string labelFor(int id, int platform) {
    std::string label = text(id);
    std::string::size_type at = label.find("%s");
    if (at != std::string::npos)
        label.replace(at, 2, text(platform));
    return label;
}

void versions(OutputStreamConverter& out) {
    out << "<section class=\"panel\">\n<h2>" << text(console::kVersionsHeading).c_str()
        << "</h2>\n<div class=\"scroll\"><table id=\"versions\">\n<thead><tr><th scope=\"col\">"
        << text(console::kColumnComponent).c_str() << "</th><th scope=\"col\">"
        << text(console::kColumnVersion).c_str() << "</th><th scope=\"col\">"
        << text(console::kColumnLastUpdate).c_str() << "</th></tr></thead>\n<tbody>\n";

    Field version, date;
    getMiscVersion(version.value, date.value);
    versionRow(out, "Program", text(console::kServerProgram), version.value, date.value);

    using Reader = void (*)(char*, char*, char*, char*);
    struct Platform {
        Reader read;
        int name;
        const char* client;  // the keys' stems, which name the rows
        const char* engine;
    };
    const Platform platforms[] = {
        {getNTVersion, console::kPlatformNT, "VdxNT", "EngineNT"},
        {getWin95Version, console::kPlatform95, "Vdx95", "Engine95"},
        {getWin16Version, console::kPlatform16, "Vdxw16", "Engine31"},
        {getX64Version, console::kPlatformX64, "VdxX64", "EngineX64"},
        {getIA64Version, console::kPlatformIA64, "VdxIA64", "EngineIA64"},
    };
    for (const Platform& platform : platforms) {
        Field clientVersion, clientDate, engineVersion, engineDate;
        platform.read(clientVersion.value, clientDate.value, engineVersion.value, engineDate.value);
        versionRow(out, platform.client, labelFor(console::kClientProgram, platform.name),
                   clientVersion.value, clientDate.value);
        versionRow(out, platform.engine, labelFor(console::kScanEngine, platform.name),
                   engineVersion.value, engineDate.value);
    }

    Field firewallVersion, firewallDate, patternDate;
    getPfwNTVersion(firewallVersion.value, firewallDate.value);
    versionRow(out, "CFWEngNT", text(console::kFirewallEngine), firewallVersion.value,
               firewallDate.value);
    getPatternDate(patternDate.value);
    versionRow(out, "Pattern", text(console::kPatternUpdate), nullptr, patternDate.value);
    out << "</tbody>\n</table></div>\n</section>\n";
}

void timeItem(OutputStreamConverter& out, const char* id, int label, const char* value, bool code) {
    out << "<dt>" << text(label).c_str() << "</dt><dd id=\"" << id << "\">";
    if (*value == '\0')
        out << "<span class=\"empty\">" << text(console::kNotSet).c_str() << "</span>";
    else if (code)
        out << "<code>" << console::htmlEscape(value).c_str() << "</code>";
    else
        out << console::htmlEscape(value).c_str();
    out << "</dd>\n";
}

void dateAndTime(OutputStreamConverter& out) {
    hlGetCustomFormatFromServerRegistry();
    char now[128] = {}, datePicture[128] = {}, timePicture[128] = {};
    char customDate[128] = {}, customTime[128] = {};
    _hlGetDateTimeStringA(static_cast<long>(std::time(nullptr)), now, sizeof now,
                          DTFMT_DATE | DTFMT_TIME | DTFMT_CUSTOM, kStandardLocale);
    _hlGetDateFormatA(datePicture, sizeof datePicture, kStandardLocale);
    _hlGetTimeFormatA(timePicture, sizeof timePicture, kStandardLocale);
    hlGetCustomDateFormatA(customDate, sizeof customDate);
    hlGetCustomTimeFormatA(customTime, sizeof customTime);

    out << "<section class=\"panel\">\n<h2>" << text(console::kTimeHeading).c_str()
        << "</h2>\n<dl class=\"status\">\n";
    timeItem(out, "server-time", console::kServerTime, now, false);
    timeItem(out, "date-picture", console::kDatePicture, datePicture, true);
    timeItem(out, "time-picture", console::kTimePicture, timePicture, true);
    timeItem(out, "custom-date", console::kCustomDate, customDate, true);
    timeItem(out, "custom-time", console::kCustomTime, customTime, true);
    out << "</dl>\n<p class=\"note\">" << text(console::kTimeNote).c_str() << "</p>\n</section>\n";
}

void tables(OutputStreamConverter& out) {
    static const char* const kKeys[] = {"CIData", "CEData", "CXData", "NTData", "MSCfg",
                                        "PSCfg",  "RTCfg",  "SNCfg",  "EFCfg",  "MSLog",
                                        "PSLog",  "RTLog",  "SNLog",  "TempDB", "VCLog"};
    out << "<section class=\"panel\">\n<h2>" << text(console::kTablesHeading).c_str()
        << "</h2>\n<div class=\"scroll\"><table id=\"tables\">\n<thead><tr><th scope=\"col\">"
        << text(console::kColumnTable).c_str() << "</th><th scope=\"col\">"
        << text(console::kColumnPath).c_str() << "</th><th scope=\"col\">"
        << text(console::kColumnModified).c_str() << "</th></tr></thead>\n<tbody>\n";
    int type = 0;
    for (const char* key : kKeys) {
        char path[260] = {};
        getDBFile(path, sizeof path, static_cast<DataBaseType>(type++), nullptr);
        Field modified;
        if (path[0] != '\0')
            GetFileModifyDate(path, modified.value);
        out << "<tr id=\"table-" << key << "\"><th scope=\"row\">" << key
            << "</th><td class=\"path\"><code>" << console::htmlEscape(path).c_str()
            << "</code></td><td class=\"date\">";
        if (path[0] == '\0')
            out << "<span class=\"missing\">" << text(console::kNotRecorded).c_str() << "</span>";
        else if (modified.value[0] == '\0')
            out << "<span class=\"missing\">" << text(console::kMissing).c_str() << "</span>";
        else
            out << console::htmlEscape(modified.value).c_str();
        out << "</td></tr>\n";
    }
    out << "</tbody>\n</table></div>\n</section>\n";
}

}  // namespace

int main() {
    console::Page page(console::kServerInfoTitle);
    if (!page.admitted())
        return page.finish();
    OutputStreamConverter& out = page.body();
    versions(out);
    dateAndTime(out);
    tables(out);
    return page.finish();
}
