// Patterns and engines: the current and previous virus pattern with their dates, the pattern
// files the services were given, the spyware pattern, the scan engines of the four client
// platforms, the major virus types with their default actions and the default extension lists
// as the server's configuration holds them. Two POST actions: read the major virus types and the
// extension list from the current virus pattern, and notify the services of the current
// patterns.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "audit.h"
#include "frame.h"
#include "patterns_texts.h"
#include "serverinfo_texts.h"

namespace {

using console::text;

constexpr char kProgram[] = "patterns.cgi";
constexpr int kField = 261;  // a path or version and its NUL, as the library's outputs hold

std::string escaped(const char* raw) {
    return console::htmlEscape(raw);
}

// An INI value of `file` (nvlscan.ini when null).
std::string iniValue(const char* section, const char* key, const char* file = nullptr) {
    char value[kField] = {};
    std::string sectionName = section, keyName = key, none, path = file != nullptr ? file : "";
    getINIString(value, sectionName.data(), keyName.data(), none.data(), sizeof value,
                 file != nullptr ? path.data() : nullptr);
    return value;
}

std::string homeDirectory() {
    char home[kField] = {};
    return getHomeDir(home, sizeof home) != 0 ? home : "";
}

// The file name of a path, for the page's messages.
std::string fileName(const std::string& path) {
    std::string::size_type slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What a POST did: a message and whether it went well.
struct Outcome {
    std::string message;
    bool ok = false;
};

Outcome readFromCurrentPattern() {
    unsigned int version = 0;
    char path[kField] = {};
    bool found = getCurrentComponentVerA(0, &version, path, sizeof path) != 0 && path[0] != '\0';
    console::writeAudit(console::kAuditPatternRead, console::administrator().c_str(), found);
    if (!found)
        return {text(console::kReadFailed), false};
    UD_QueryMajorVirusTypes(path);
    UD_QueryExtList(path);
    std::string message = text(console::kReadDone);
    std::string::size_type at = message.find("%s");
    if (at != std::string::npos)
        message.replace(at, 2, "<code>" + escaped(fileName(path).c_str()) + "</code>");
    return {message, true};
}

Outcome notifyServices() {
    notifyPatternUpdate();
    console::writeAudit(console::kAuditServicesNotified, console::administrator().c_str(), true);
    return {text(console::kNotifyDone), true};
}

void section(OutputStreamConverter& out, const char* id, int heading) {
    out << "<section class=\"panel\" id=\"" << id << "\">\n<h2>" << text(heading).c_str()
        << "</h2>\n";
}

void virusPattern(OutputStreamConverter& out) {
    char current[kField] = {}, currentDate[kField] = {}, previous[kField] = {},
         previousDate[kField] = {};
    bool found = getPtnFileVersion(current, currentDate, previous, previousDate, nullptr) != 0;
    section(out, "virus-pattern", console::kVirusPatternHeading);
    if (!found) {
        out << "<p class=\"empty\" id=\"no-pattern\">" << text(console::kNoPattern).c_str()
            << "</p>\n</section>\n";
        return;
    }
    out << "<dl class=\"status\">\n<dt>" << text(console::kCurrentLabel).c_str()
        << "</dt><dd id=\"pattern-current\"><span class=\"version\">" << escaped(current).c_str()
        << "</span> <span class=\"date\">" << escaped(currentDate).c_str() << "</span></dd>\n<dt>"
        << text(console::kPreviousLabel).c_str()
        << "</dt><dd id=\"pattern-previous\"><span class=\"version\">" << escaped(previous).c_str()
        << "</span> <span class=\"date\">" << escaped(previousDate).c_str()
        << "</span></dd>\n</dl>\n</section>\n";
}

void servicePaths(OutputStreamConverter& out, const std::string& home) {
    std::string settings = home.empty() ? "" : home + "Private/nvlserver.ini";
    section(out, "service-paths", console::kServicePathsHeading);
    out << "<dl class=\"status\">\n";
    const struct {
        const char* id;
        int label;
        const char* key;
    } rows[] = {{"path-virus", console::kVirusPatternPath, "VIRUS_PATTERN"},
                {"path-spyware", console::kSpywarePatternPath, "SPYWARE_PATTERN"}};
    for (const auto& row : rows) {
        std::string value =
            settings.empty() ? "" : iniValue("FILE_PATH_SECTION", row.key, settings.c_str());
        out << "<dt>" << text(row.label).c_str() << "</dt><dd id=\"" << row.id << "\">";
        if (value.empty())
            out << "<span class=\"empty\">" << text(console::kNotRead).c_str() << "</span>";
        else
            out << "<code>" << escaped(value.c_str()).c_str() << "</code>";
        out << "</dd>\n";
    }
    out << "</dl>\n</section>\n";
}

void spywarePattern(OutputStreamConverter& out) {
    unsigned int version = 0;
    char path[kField] = {};
    bool found = getCurrentComponentVerA(1, &version, path, sizeof path) != 0 && path[0] != '\0';
    section(out, "spyware-pattern", console::kSpywareHeading);
    out << "<dl class=\"status\">\n<dt>" << text(console::kPatternFile).c_str()
        << "</dt><dd id=\"spyware-file\">";
    if (found)
        out << "<code>" << escaped(fileName(path).c_str()).c_str() << "</code>";
    else
        out << "<span class=\"empty\">" << text(console::kNotRead).c_str() << "</span>";
    out << "</dd>\n<dt>" << text(console::kInternalVersion).c_str()
        << "</dt><dd id=\"spyware-version\">" << (found ? std::to_string(version) : "").c_str()
        << "</dd>\n</dl>\n</section>\n";
}

void engines(OutputStreamConverter& out) {
    using Reader = int (*)(char*, char*, char*, char*);
    const struct {
        const char* id;
        int platform;
        Reader read;
    } rows[] = {{"engine-NT", console::kPlatformNT, getNTEngineFileVersion},
                {"engine-95", console::kPlatform95, get95EngineFileVersion},
                {"engine-X64", console::kPlatformX64, getX64EngineFileVersion},
                {"engine-IA64", console::kPlatformIA64, getIA64EngineFileVersion}};
    section(out, "engines", console::kEnginesHeading);
    out << "<div class=\"scroll\"><table>\n<thead><tr><th scope=\"col\">"
        << text(console::kColumnPlatform).c_str() << "</th><th scope=\"col\">"
        << text(console::kColumnCurrent).c_str() << "</th><th scope=\"col\">"
        << text(console::kColumnPrevious).c_str() << "</th></tr></thead>\n<tbody>\n";
    for (const auto& row : rows) {
        char current[kField] = {}, currentDate[kField] = {}, previous[kField] = {},
             previousDate[kField] = {};
        row.read(current, currentDate, previous, previousDate);
        out << "<tr id=\"" << row.id << "\"><th scope=\"row\">" << text(row.platform).c_str()
            << "</th><td class=\"current\"><span class=\"version\">" << escaped(current).c_str()
            << "</span> <span class=\"date\">" << escaped(currentDate).c_str()
            << "</span></td><td class=\"previous\"><span class=\"version\">"
            << escaped(previous).c_str() << "</span> <span class=\"date\">"
            << escaped(previousDate).c_str() << "</span></td></tr>\n";
    }
    out << "</tbody>\n</table></div>\n</section>\n";
}

// The label of a stored action code.
int actionLabel(const std::string& code) {
    if (code == "1")
        return console::kActionClean;
    if (code == "2")
        return console::kActionDelete;
    if (code == "3")
        return console::kActionRename;
    if (code == "4")
        return console::kActionPass;
    if (code == "5")
        return console::kActionQuarantine;
    if (code == "25")
        return console::kActionRecommended;
    return console::kUnknownAction;
}

std::string actionCell(const std::string& code) {
    return "<td class=\"action\"><span class=\"code\">" + escaped(code.c_str()) +
           "</span> <span class=\"label\">" + text(actionLabel(code)) + "</span></td>";
}

void majorTypes(OutputStreamConverter& out) {
    constexpr char kSection[] = "INI_MAJOR_VIRUS_TYPE_SECTION";
    section(out, "major-types", console::kMajorTypesHeading);
    long count = std::strtol(iniValue(kSection, "Count").c_str(), nullptr, 10);
    if (count <= 0) {
        out << "<p class=\"empty\" id=\"no-major-types\">" << text(console::kNoMajorTypes).c_str()
            << "</p>\n</section>\n";
        return;
    }
    out << "<div class=\"scroll\"><table id=\"major-type-list\">\n<thead><tr><th scope=\"col\">"
        << text(console::kColumnTypeName).c_str() << "</th><th scope=\"col\">"
        << text(console::kColumnFirstAction).c_str() << "</th><th scope=\"col\">"
        << text(console::kColumnSecondAction).c_str() << "</th></tr></thead>\n<tbody>\n";
    constexpr long kShownAtMost = 999;  // the keys have three digits
    for (long i = 1; i <= count && i <= kShownAtMost; ++i) {
        char key[32];
        std::snprintf(key, sizeof key, "Name_%03ld", i);
        std::string name = iniValue(kSection, key);
        std::snprintf(key, sizeof key, "1st_Act_%03ld", i);
        std::string first = iniValue(kSection, key);
        std::snprintf(key, sizeof key, "2nd_Act_%03ld", i);
        std::string second = iniValue(kSection, key);
        out << "<tr><th scope=\"row\" class=\"name\">" << escaped(name.c_str()).c_str() << "</th>"
            << actionCell(first).c_str() << actionCell(second).c_str() << "</tr>\n";
    }
    out << "</tbody>\n</table></div>\n</section>\n";
}

void extensionLists(OutputStreamConverter& out) {
    const struct {
        const char* id;
        int label;
        const char* section;
    } rows[] = {{"ext-manual", console::kManualScan, "Manual Scan Configuration"},
                {"ext-realtime", console::kRealTimeScan, "Real Time Scan Configuration"},
                {"ext-scheduled", console::kScheduledScan, "Prescheduled Scan Configuration"},
                {"ext-scannow", console::kScanNow, "Scan Now Configuration"}};
    section(out, "extension-lists", console::kExtListsHeading);
    out << "<dl class=\"status\">\n";
    for (const auto& row : rows) {
        std::string value = iniValue(row.section, "DefaultExtList");
        out << "<dt>" << text(row.label).c_str() << "</dt><dd id=\"" << row.id << "\">";
        if (value.empty())
            out << "<span class=\"empty\">" << text(console::kNotRead).c_str() << "</span>";
        else
            out << "<code>" << escaped(value.c_str()).c_str() << "</code>";
        out << "</dd>\n";
    }
    out << "</dl>\n</section>\n";
}

void actions(OutputStreamConverter& out, const std::string& token) {
    section(out, "pattern-actions", console::kActionsHeading);
    const struct {
        const char* action;
        int button;
        int hint;
    } forms[] = {{"read", console::kReadButton, console::kReadHint},
                 {"notify", console::kNotifyButton, console::kNotifyHint}};
    for (const auto& form : forms) {
        out << "<form method=\"POST\" action=\"" << kProgram << "\" id=\"" << form.action
            << "-form\" accept-charset=\"UTF-8\">\n"
            << token.c_str() << "<input type=\"hidden\" name=\"action\" value=\"" << form.action
            << "\">\n<p><button type=\"submit\" id=\"" << form.action << "\">"
            << text(form.button).c_str() << "</button> <span class=\"note\">"
            << text(form.hint).c_str() << "</span></p>\n</form>\n";
    }
    out << "</section>\n";
}

}  // namespace

int main() {
    console::Page page(console::kPatternsTitle);
    if (!page.admitted())
        return page.finish();
    OutputStreamConverter& out = page.body();

    if (page.isPost()) {
        std::string_view action = page.form().value("action");
        Outcome outcome;
        if (action == "read")
            outcome = readFromCurrentPattern();
        else if (action == "notify")
            outcome = notifyServices();
        if (!outcome.message.empty()) {
            out << "<p id=\"message\" class=\"notice " << (outcome.ok ? "ok" : "error")
                << "\" role=\"" << (outcome.ok ? "status" : "alert") << "\">"
                << outcome.message.c_str() << "</p>\n";
        }
    }

    std::string home = homeDirectory();
    out << "<div class=\"panels\">\n";
    virusPattern(out);
    spywarePattern(out);
    servicePaths(out, home);
    out << "</div>\n";
    engines(out);
    majorTypes(out);
    extensionLists(out);
    actions(out, page.tokenField());
    return page.finish();
}
