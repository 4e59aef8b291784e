// Spyware: the spyware engine's pattern and version, a full or quick scan of the server's scan
// directory (report only, or back up and clean) with its progress, the findings of the last
// scan, and the backup sets the cleans made, each of which can be restored.
//
// A scan takes minutes on a real tree, longer than a page may take, so the page starts the
// command nvl-spyscan detached (console/lib/detached_process.h) with --report naming a fixed
// file under the engine directory, and answers at once; while the scan runs, html/spyware.js
// asks this page for its progress (GET ?progress=1, JSON) and shows the results when the
// report is replaced. The scan directory is the server's setting ([INI_SPYWARE_SECTION]
// Scan_Directory in nvlscan.ini), never a value of the request. One scan runs at a time on the
// server: the page does not start one while the facade reports a scan running, and the engine
// refuses a second one anyway.
//
// Restore runs in the page's own process through the facade; the set is named by its file name
// only, which must be one of the sets in the engine's BackupAS directory.
//
// Names of threats and files reach the page as bytes or UTF-16 that need not be valid text;
// they are written through console/lib/spyware_view.h, which turns any of them into ASCII markup.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <cgishare/spyware.h>

#include "audit.h"
#include "detached_process.h"
#include "frame.h"
#include "spyware_texts.h"
#include "spyware_view.h"

namespace {

using console::text;

constexpr char kProgram[] = "spyware.cgi";
// The library's standard locale flags: the system locale, without user overrides.
constexpr int kStandardLocale = 129;
constexpr size_t kFindingsShownAtMost = 1000;
constexpr size_t kSetsShownAtMost = 20;
constexpr size_t kRecordsShownAtMost = 200;
// How long a start waits to see the scan take the server's scan lock (or end at once).
constexpr auto kStartWait = std::chrono::seconds(5);

// Where the spyware engine's things live on the server.
struct Paths {
    std::string home;           // ends in '/'
    std::string engine;         // tarsk32.so and nvl-spyscan
    std::string report;         // what nvl-spyscan --report writes
    std::string log;            // the last started scan's messages
    std::string backups;        // BackupAS, where the cleans' backup sets go
    std::string scanDirectory;  // the server's setting; "" when not set
};

Paths serverPaths() {
    Paths paths;
    std::vector<char> buffer(4096);
    if (getHomeDir(buffer.data(), buffer.size()) != 0)
        paths.home = buffer.data();
    if (paths.home.empty())
        return paths;
    paths.engine = paths.home + "Engine";
    paths.report = paths.engine + "/LastSpywareScan.txt";
    paths.log = paths.engine + "/LastSpywareScan.log";
    paths.backups = paths.engine + "/BackupAS";
    std::string section = "INI_SPYWARE_SECTION", key = "Scan_Directory", none;
    buffer.assign(buffer.size(), '\0');
    getINIString(buffer.data(), section.data(), key.data(), none.data(), buffer.size(), nullptr);
    paths.scanDirectory = buffer.data();
    return paths;
}

// The facade's report lines are for a terminal; a page's standard error is the web server's,
// so they go to the trace with the rest of what the page does.
void traceFacadeLine(const char16_t* line, void*) {
    DebugTraceW(8, u"console/pages/spyware.cpp", __LINE__, u"%s", line);
}

// The facade, made ready for this request and released at its end.
class Facade {
  public:
    explicit Facade(const Paths& paths)
        : engine_(console::utf16FromBytes(paths.engine)),
          home_(console::utf16FromBytes(paths.home)),
          facade_(GetTarskFacade()) {
        ready_ =
            !paths.home.empty() && facade_->RunInitTARSK(engine_.c_str(), home_.c_str(), 0) == 1;
    }
    ~Facade() {
        if (ready_)
            facade_->RunDeInitTARSK();
    }
    Facade(const Facade&) = delete;
    Facade& operator=(const Facade&) = delete;

    bool ready() const { return ready_; }
    CTARSKfFacadeBase* operator->() const { return facade_; }

  private:
    std::u16string engine_, home_;  // the facade keeps pointers to them
    CTARSKfFacadeBase* facade_;
    bool ready_ = false;
};

std::string filled(std::string message, const char* mark, const std::string& value) {
    std::string::size_type at = message.find(mark);
    if (at != std::string::npos)
        message.replace(at, std::char_traits<char>::length(mark), value);
    return message;
}

std::string codeHtml(const std::string& bytes) {
    return "<code>" + console::htmlFromBytes(bytes) + "</code>";
}

std::string dateTime(int64_t seconds) {
    char value[128] = {};
    _hlGetDateTimeStringA(static_cast<long>(seconds), value, sizeof value,
                          DTFMT_DATE | DTFMT_TIME | DTFMT_CUSTOM, kStandardLocale);
    return console::htmlEscape(value);
}

std::string fileName(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int scannerLabel(uint32_t scanner) {
    switch (scanner) {
        case 10:
            return console::kScannerFile;
        case 11:
            return console::kScannerRegistry;
        case 12:
            return console::kScannerCookie;
        case 13:
            return console::kScannerAutostart;
        case 14:
            return console::kScannerDirectory;
        case 18:
            return console::kScannerHosts;
        default:
            return console::kScannerOther;
    }
}

std::string scannerText(uint32_t scanner) {
    return filled(text(scannerLabel(scanner)), "%d", std::to_string(scanner));
}

TarskScanProgress currentProgress() {
    TarskScanProgress progress{};
    if (QueryTarskScanProgress(&progress) != 1)
        progress = TarskScanProgress{};
    progress.location[std::size(progress.location) - 1] = 0;
    return progress;
}

const char* stateName(int32_t state) {
    return state == TARSK_SCAN_RUNNING       ? "running"
           : state == TARSK_SCAN_INTERRUPTED ? "interrupted"
                                             : "idle";
}

// --- Progress (GET ?progress=1) ----------------------------------------------------------

int progressReply(console::Page& page, const Paths& paths) {
    TarskScanProgress progress = currentProgress();
    std::ostream& out = page.download("application/json; charset=utf-8", "progress.json");
    out << "{\"state\":\"" << stateName(progress.state)
        << "\",\"percent\":" << std::min<uint32_t>(progress.progress, 100)
        << ",\"task\":" << progress.currentTask << ",\"detected\":" << progress.detected
        << ",\"location\":" << console::jsonFromUtf16(progress.location) << ",\"report\":\""
        << console::fileStamp(paths.report) << "\"}\n";
    return page.finish();
}

// --- Starting a scan (POST action=scan) ----------------------------------------------------

struct Outcome {
    std::string message;  // HTML
    bool ok = false;
};

// What the page knows of a scan it started: the report's stamp before the start, so that the
// progress script sees the report the scan writes as new.
struct Started {
    bool polling = false;
    std::string reportBefore;
};

// The environment of the scan: what locates the server (registry, runtime directory, drive C,
// trust roots), the engine's test stops, the loader's and sanitizers' settings, time zone and
// language; nothing of the request.
std::vector<std::string> scanEnvironment() {
    static constexpr const char* kPassed[] = {"NVL_REGISTRY",
                                              "NVL_RUNTIME_DIR",
                                              "NVL_DRIVE_C",
                                              "NVL_TRUST_ROOTS",
                                              "TARSK_TEST_STOP_AT",
                                              "LD_LIBRARY_PATH",
                                              "ASAN_OPTIONS",
                                              "UBSAN_OPTIONS",
                                              "LSAN_OPTIONS",
                                              "TZ",
                                              "LANG",
                                              "LC_ALL"};
    std::vector<std::string> environment = {"PATH=/usr/local/bin:/usr/bin:/bin"};
    for (const char* name : kPassed) {
        if (const char* value = std::getenv(name))
            environment.push_back(std::string(name) + "=" + value);
    }
    return environment;
}

// Whether process `pid` still lives (a zombie does not).
bool alive(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* file = std::fopen(path, "re");
    if (file == nullptr)
        return false;
    char line[512] = {};
    bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    const char* end = read ? std::strrchr(line, ')') : nullptr;
    return end != nullptr && end[1] == ' ' && end[2] != 'Z' && end[2] != 'X';
}

// Holds an exclusive lock on a file of the engine directory while one page starts a scan, so
// that two starts at once do not both find the server idle.
class StartLock {
  public:
    explicit StartLock(const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600)) {
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~StartLock() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    StartLock(const StartLock&) = delete;
    StartLock& operator=(const StartLock&) = delete;

  private:
    int fd_;
};

enum class Launch { Started, Refused, Failed };

// After the start: the scan runs once it holds the scan lock, or has run when its report is
// new. A command that ended without either was refused (another scan holds the lock) or failed.
Launch awaitLaunch(pid_t pid, const Paths& paths, const std::string& reportBefore) {
    auto until = std::chrono::steady_clock::now() + kStartWait;
    for (;;) {
        bool gone = !alive(pid);
        if (console::fileStamp(paths.report) != reportBefore)
            return Launch::Started;
        bool running = currentProgress().state == TARSK_SCAN_RUNNING;
        if (gone)
            return running ? Launch::Refused : Launch::Failed;
        if (running || std::chrono::steady_clock::now() >= until)
            return Launch::Started;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool usableScanDirectory(const std::string& path) {
    struct stat st {};
    return !path.empty() && path[0] == '/' && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Outcome startScan(const console::Form& form, const Paths& paths, Started* started) {
    std::string_view type = form.value("type"), mode = form.value("mode");
    if ((type != "full" && type != "quick") || (mode != "report" && mode != "clean"))
        return {text(console::kBadScanRequest), false};
    if (paths.scanDirectory.empty())
        return {text(console::kNoScanDirectory), false};
    if (!usableScanDirectory(paths.scanDirectory))
        return {text(console::kBadScanDirectory), false};
    std::string user = console::administrator();

    StartLock lock(paths.engine + "/.spyscan-start.lock");
    if (currentProgress().state == TARSK_SCAN_RUNNING) {
        console::writeAudit(console::kAuditSpywareScan, user.c_str(), false);
        return {text(console::kScanRunningAlready), false};
    }
    std::string before = console::fileStamp(paths.report);
    std::vector<std::string> argv = {paths.engine + "/nvl-spyscan"};
    if (type == "quick")
        argv.push_back("--quick");
    if (mode == "clean")
        argv.push_back("--clean");
    for (const std::string& arg :
         {std::string("--report"), paths.report, std::string("--engine"), paths.engine,
          std::string("--pattern"), paths.home, paths.scanDirectory})
        argv.push_back(arg);
    pid_t pid = -1;
    int error = 0;
    Launch launch = Launch::Failed;
    if (console::startDetached(argv, scanEnvironment(), paths.log, &pid, &error))
        launch = awaitLaunch(pid, paths, before);
    console::writeAudit(console::kAuditSpywareScan, user.c_str(), launch == Launch::Started);
    switch (launch) {
        case Launch::Started:
            started->polling = true;
            started->reportBefore = before;
            return {text(console::kScanStarted), true};
        case Launch::Refused:
            return {text(console::kScanRunningAlready), false};
        default:
            return {filled(text(console::kScanNotStarted), "%s", codeHtml(paths.log)), false};
    }
}

// --- Restore (POST action=restore) ---------------------------------------------------------

Outcome restore(const console::Form& form, const Paths& paths, Facade& facade) {
    std::string name = form.value("set");
    if (paths.home.empty() || !console::backupSetExists(paths.backups, name))
        return {text(console::kBadBackupSet), false};
    std::string nameHtml = codeHtml(name);
    if (currentProgress().state == TARSK_SCAN_RUNNING)
        return {text(console::kRestoreWhileScanning), false};
    if (!facade.ready())
        return {text(console::kEngineMissing), false};
    // A set the engine cannot read restores nothing; say so rather than "not completely".
    std::u16string path = console::utf16FromBytes(paths.backups + "/" + name);
    auto first = [](const TarskBackupRecord*, void*) { return 0; };
    if (ListTarskBackupSet(path.c_str(), first, nullptr) != 1)
        return {filled(text(console::kRestoreUnreadable), "%s", nameHtml), false};
    bool restored = facade->RunSpywareRestore(path.c_str()) == 1;
    console::writeAudit(console::kAuditSpywareRestore, console::administrator().c_str(), restored);
    if (restored)
        return {filled(text(console::kRestored), "%s", nameHtml), true};
    return {filled(text(console::kRestoreIncomplete), "%s", nameHtml), false};
}

// --- The page's parts --------------------------------------------------------------------

void item(OutputStreamConverter& out, const char* id, int label, const std::string& html) {
    out << "<dt>" << text(label).c_str() << "</dt><dd id=\"" << id << "\">" << html.c_str()
        << "</dd>\n";
}

std::string valueOrNone(const char16_t* value) {
    if (*value == u'\0')
        return "<span class=\"empty\">" + text(console::kNoValue) + "</span>";
    return console::htmlFromUtf16(value);
}

void engine(OutputStreamConverter& out, const Paths& paths, Facade& facade) {
    out << "<section class=\"panel\" id=\"engine\">\n<h2>" << text(console::kEngineHeading).c_str()
        << "</h2>\n";
    if (!facade.ready()) {
        out << "<p class=\"bad\" id=\"engine-missing\">" << text(console::kEngineMissing).c_str()
            << "</p>\n";
    }
    TarskVersionInfo info{};
    if (!facade.ready() || facade->RunQueryVersion(&info) != 1)
        info = TarskVersionInfo{};
    out << "<dl class=\"status\">\n";
    item(out, "pattern-version", console::kPatternVersion, valueOrNone(info.patternVersion));
    item(out, "pattern-date", console::kPatternDate, valueOrNone(info.patternDate));
    item(out, "pattern-signatures", console::kPatternSignatures,
         valueOrNone(info.patternSignatures));
    item(out, "engine-version", console::kEngineVersion, valueOrNone(info.engineVersion));
    item(out, "engine-directory", console::kEngineDirectory, codeHtml(paths.engine));
    out << "</dl>\n</section>\n";
}

void radio(OutputStreamConverter& out, const char* name, const char* value, int label,
           bool checked) {
    out << "<label><input type=\"radio\" name=\"" << name << "\" value=\"" << value << "\" id=\""
        << name << "-" << value << "\"" << (checked ? " checked" : "") << "> "
        << text(label).c_str() << "</label>\n";
}

void scan(OutputStreamConverter& out, const Paths& paths, const TarskScanProgress& progress,
          const Started& started, const std::string& tokenField) {
    out << "<section class=\"panel\" id=\"scan\">\n<h2>" << text(console::kScanHeading).c_str()
        << "</h2>\n<dl class=\"status\">\n";
    item(out, "scan-directory", console::kScanDirectory,
         paths.scanDirectory.empty()
             ? "<span class=\"bad\">" + text(console::kNoScanDirectory) + "</span>"
             : codeHtml(paths.scanDirectory));
    out << "</dl>\n";

    // The progress box: what the page knows now, and for the script what it needs to follow a
    // running scan (its labels in the page's language). A scan this request started counts as
    // running until the script learns otherwise.
    bool running = progress.state == TARSK_SCAN_RUNNING;
    bool shownRunning = running || started.polling;
    const char* state = shownRunning ? "running" : stateName(progress.state);
    int stateLabel = shownRunning                               ? console::kStateRunning
                     : progress.state == TARSK_SCAN_INTERRUPTED ? console::kStateInterrupted
                                                                : console::kStateIdle;
    std::string stamp = started.polling ? started.reportBefore : console::fileStamp(paths.report);
    std::string task, location, percent = "0";
    if (running) {
        task = text(console::kTaskScanning +
                    static_cast<int>(std::min<uint32_t>(progress.currentTask, 2)));
        location = console::htmlFromUtf16(progress.location);
        percent = std::to_string(std::min<uint32_t>(progress.progress, 100));
    }
    out << "<div id=\"scan-progress\" class=\"progress\" role=\"status\" data-state=\"" << state
        << "\" data-poll=\"" << (shownRunning ? "1" : "0") << "\" data-report=\"" << stamp.c_str()
        << "\" data-url=\"" << kProgram << "?progress=1\" data-page=\"" << kProgram << "\"";
    const struct {
        const char* name;
        int label;
    } labels[] = {{"idle", console::kStateIdle},
                  {"running", console::kStateRunning},
                  {"task-0", console::kTaskScanning},
                  {"task-1", console::kTaskBackingUp},
                  {"task-2", console::kTaskCleaning},
                  {"done", console::kStateDone},
                  {"interrupted", console::kStateInterrupted},
                  {"lost", console::kStateLost}};
    for (const auto& label : labels)
        out << " data-label-" << label.name << "=\"" << text(label.label).c_str() << "\"";
    out << ">\n<p><span id=\"scan-state\">" << text(stateLabel).c_str()
        << "</span> <span id=\"scan-task\">" << task.c_str() << "</span></p>\n";
    out << "<p id=\"scan-meter\"" << (running ? "" : " hidden")
        << "><progress id=\"scan-percent\" max=\"100\" value=\"" << percent.c_str()
        << "\"></progress> <span id=\"scan-percent-text\">" << percent.c_str() << " %</span></p>\n";
    out << "<p class=\"location\"><code id=\"scan-location\">" << location.c_str()
        << "</code></p>\n<p hidden id=\"results-link\"><a href=\"" << kProgram << "\">"
        << text(console::kShowResults).c_str() << "</a></p>\n</div>\n";

    out << "<form method=\"POST\" action=\"" << kProgram
        << "\" id=\"scan-form\" accept-charset=\"UTF-8\">\n"
        << tokenField.c_str() << "<input type=\"hidden\" name=\"action\" value=\"scan\">\n"
        << "<fieldset><legend>" << text(console::kScanType).c_str() << "</legend>\n";
    radio(out, "type", "full", console::kFullScan, true);
    radio(out, "type", "quick", console::kQuickScan, false);
    out << "</fieldset>\n<fieldset><legend>" << text(console::kAfterScan).c_str() << "</legend>\n";
    radio(out, "mode", "report", console::kReportOnly, true);
    radio(out, "mode", "clean", console::kBackUpAndClean, false);
    out << "</fieldset>\n<p><button type=\"submit\" id=\"start-scan\">"
        << text(console::kStartScan).c_str() << "</button> <span class=\"note\">"
        << text(console::kStartHint).c_str() << "</span></p>\n</form>\n</section>\n";
}

int findingLabel(console::SpywareFinding::State state) {
    using State = console::SpywareFinding::State;
    switch (state) {
        case State::Found:
            return console::kFindingFound;
        case State::BackedUp:
            return console::kFindingBackedUp;
        case State::Cleaned:
            return console::kFindingCleaned;
        default:
            return console::kFindingFailed;
    }
}

const char* findingName(console::SpywareFinding::State state) {
    using State = console::SpywareFinding::State;
    switch (state) {
        case State::Found:
            return "found";
        case State::BackedUp:
            return "backed-up";
        case State::Cleaned:
            return "cleaned";
        default:
            return "failed";
    }
}

void lastScan(OutputStreamConverter& out, const Paths& paths) {
    out << "<section class=\"panel\" id=\"report\">\n<h2>" << text(console::kReportHeading).c_str()
        << "</h2>\n";
    console::SpywareReport report;
    console::ReportRead read = paths.home.empty()
                                   ? console::ReportRead::Missing
                                   : console::readSpywareReport(paths.report, &report);
    if (read == console::ReportRead::Missing) {
        out << "<p class=\"empty\" id=\"no-report\">" << text(console::kNoReport).c_str()
            << "</p>\n</section>\n";
        return;
    }
    if (read == console::ReportRead::Unreadable) {
        out << "<p class=\"bad\" id=\"report-unreadable\">"
            << text(console::kReportUnreadable).c_str() << "</p>\n</section>\n";
        return;
    }
    using Status = console::SpywareReport::Status;
    const char* status = report.status == Status::Done      ? "done"
                         : report.status == Status::Stopped ? "stopped"
                                                            : "failed";
    int statusLabel = report.status == Status::Done      ? console::kResultDone
                      : report.status == Status::Stopped ? console::kResultStopped
                                                         : console::kResultFailed;
    out << "<dl class=\"status\" data-status=\"" << status << "\">\n";
    item(out, "report-status", console::kReportResult,
         std::string("<span class=\"") + (report.status == Status::Done ? "ok" : "bad") + "\">" +
             text(statusLabel) + "</span>");
    item(out, "report-type", console::kReportScan,
         text(report.quick ? console::kQuickScan : console::kFullScan));
    item(out, "report-mode", console::kReportMode,
         text(report.clean ? console::kBackUpAndClean : console::kReportOnly));
    item(out, "report-found", console::kReportFound, std::to_string(report.found));
    item(out, "report-cleaned", console::kReportCleaned, std::to_string(report.cleaned));
    std::string backup = "<span class=\"empty\">" + text(console::kNoValue) + "</span>";
    if (!report.backup.empty()) {
        std::string name = fileName(report.backup);
        backup = console::isBackupSetName(name)
                     ? "<a href=\"#set-" + name + "\">" + codeHtml(name) + "</a>"
                     : codeHtml(report.backup);
    }
    item(out, "report-backup", console::kReportBackup, backup);
    item(out, "report-started", console::kReportStarted, dateTime(report.started));
    item(out, "report-finished", console::kReportFinished, dateTime(report.finished));
    out << "</dl>\n";

    if (report.findings.empty()) {
        out << "<p class=\"empty\" id=\"no-findings\">" << text(console::kNoFindings).c_str()
            << "</p>\n</section>\n";
        return;
    }
    out << "<div class=\"scroll\"><table id=\"findings\">\n<thead><tr>";
    for (int column : {console::kColumnScanner, console::kColumnThreat, console::kColumnLocation,
                       console::kColumnState})
        out << "<th scope=\"col\">" << text(column).c_str() << "</th>";
    out << "</tr></thead>\n<tbody>\n";
    size_t shown = std::min(report.findings.size(), kFindingsShownAtMost);
    for (size_t i = 0; i < shown; ++i) {
        const console::SpywareFinding& finding = report.findings[i];
        out << "<tr data-scanner=\"" << static_cast<int>(finding.scanner) << "\" data-state=\""
            << findingName(finding.state) << "\"><td class=\"scanner\">"
            << scannerText(finding.scanner).c_str() << "</td><td class=\"threat\">"
            << console::htmlFromBytes(finding.threat).c_str()
            << "</td><td class=\"location\"><code>"
            << console::htmlFromBytes(finding.location).c_str()
            << "</code></td><td class=\"state\">" << text(findingLabel(finding.state)).c_str()
            << "</td></tr>\n";
    }
    out << "</tbody>\n</table></div>\n";
    if (report.findings.size() > shown)
        out << "<p class=\"note\">"
            << filled(text(console::kFindingsCut), "%d", std::to_string(shown)).c_str() << "</p>\n";
    out << "</section>\n";
}

struct Record {
    uint32_t kind;
    std::u16string threat;
    std::u16string location;
};

struct Records {
    std::vector<Record> list;
    bool more = false;
};

int collectRecord(const TarskBackupRecord* record, void* context) {
    auto* records = static_cast<Records*>(context);
    if (records->list.size() == kRecordsShownAtMost) {
        records->more = true;
        return 0;
    }
    auto bounded = [](const char16_t* text, size_t size) {
        return std::u16string(text, std::find(text, text + size, u'\0'));
    };
    records->list.push_back({record->kind,
                             bounded(record->threatName, std::size(record->threatName)),
                             bounded(record->location, std::size(record->location))});
    return 1;
}

void backupSet(OutputStreamConverter& out, const Paths& paths, Facade& facade,
               const console::BackupSetFile& set, const std::string& tokenField) {
    out << "<section class=\"backup-set\" id=\"set-" << set.name.c_str() << "\" data-set=\""
        << set.name.c_str() << "\">\n<h3><code>" << set.name.c_str()
        << "</code> <span class=\"note\">" << dateTime(set.modified).c_str() << "</span></h3>\n";
    Records records;
    std::u16string path = console::utf16FromBytes(paths.backups + "/" + set.name);
    bool read = facade.ready() && ListTarskBackupSet(path.c_str(), collectRecord, &records) == 1;
    if (!read) {
        out << "<p class=\"bad unreadable\">" << text(console::kBackupUnreadable).c_str()
            << "</p>\n";
    } else {
        out << "<div class=\"scroll\"><table class=\"records\">\n<thead><tr>";
        for (int column :
             {console::kColumnThreat, console::kColumnLocation, console::kColumnPresent})
            out << "<th scope=\"col\">" << text(column).c_str() << "</th>";
        out << "</tr></thead>\n<tbody>\n";
        for (const Record& record : records.list) {
            console::Presence presence =
                console::recordPresence(record.kind, console::bytesFromUtf16(record.location));
            const char* present = presence == console::Presence::Present  ? "yes"
                                  : presence == console::Presence::Absent ? "no"
                                                                          : "unknown";
            int label = presence == console::Presence::Present  ? console::kPresent
                        : presence == console::Presence::Absent ? console::kAbsent
                                                                : console::kNotChecked;
            out << "<tr data-kind=\"" << static_cast<int>(record.kind) << "\" data-present=\""
                << present << "\"><td class=\"threat\">"
                << (record.threat.empty()
                        ? "<span class=\"empty\">" + text(console::kNoValue) + "</span>"
                        : console::htmlFromUtf16(record.threat))
                       .c_str()
                << "</td><td class=\"location\"><code>"
                << console::htmlFromUtf16(record.location).c_str()
                << "</code></td><td class=\"present\">" << text(label).c_str() << "</td></tr>\n";
        }
        out << "</tbody>\n</table></div>\n";
        if (records.more)
            out << "<p class=\"note\">"
                << filled(text(console::kRecordsCut), "%d", std::to_string(kRecordsShownAtMost))
                       .c_str()
                << "</p>\n";
    }
    out << "<form method=\"POST\" action=\"" << kProgram
        << "\" class=\"restore-form\" accept-charset=\"UTF-8\">\n"
        << tokenField.c_str() << "<input type=\"hidden\" name=\"action\" value=\"restore\">"
        << "<input type=\"hidden\" name=\"set\" value=\"" << set.name.c_str() << "\">\n"
        << "<p><button type=\"submit\" class=\"restore\">" << text(console::kRestore).c_str()
        << "</button> <span class=\"note\">" << text(console::kRestoreHint).c_str()
        << "</span></p>\n</form>\n</section>\n";
}

void backupSets(OutputStreamConverter& out, const Paths& paths, Facade& facade,
                const std::string& tokenField) {
    out << "<section class=\"panel\" id=\"backup-sets\">\n<h2>"
        << text(console::kBackupHeading).c_str() << "</h2>\n";
    bool more = false;
    std::vector<console::BackupSetFile> sets;
    if (!paths.home.empty())
        sets = console::listBackupSets(paths.backups, kSetsShownAtMost, &more);
    if (sets.empty())
        out << "<p class=\"empty\" id=\"no-backup-sets\">" << text(console::kNoBackupSets).c_str()
            << "</p>\n";
    for (const console::BackupSetFile& set : sets)
        backupSet(out, paths, facade, set, tokenField);
    if (more)
        out << "<p class=\"note\">"
            << filled(text(console::kSetsCut), "%d", std::to_string(kSetsShownAtMost)).c_str()
            << "</p>\n";
    out << "</section>\n";
}

}  // namespace

int main() {
    console::Page page(console::kSpywareTitle);
    if (!page.admitted())
        return page.finish();
    Paths paths = serverPaths();
    if (!page.isPost() && *page.form().value("progress") != '\0')
        return progressReply(page, paths);

    hlGetCustomFormatFromServerRegistry();
    SetTarskMessageSink(traceFacadeLine, nullptr);
    Facade facade(paths);
    OutputStreamConverter& out = page.body();
    Started started;
    if (page.isPost()) {
        std::string_view action = page.form().value("action");
        Outcome outcome = action == "scan" ? startScan(page.form(), paths, &started)
                          : action == "restore"
                              ? restore(page.form(), paths, facade)
                              : Outcome{text(console::kUnknownSpywareAction), false};
        out << "<p id=\"message\" class=\"notice " << (outcome.ok ? "ok" : "error") << "\" role=\""
            << (outcome.ok ? "status" : "alert") << "\">" << outcome.message.c_str() << "</p>\n";
    }

    TarskScanProgress progress = currentProgress();
    out << "<div class=\"panels\">\n";
    engine(out, paths, facade);
    scan(out, paths, progress, started, page.tokenField());
    out << "</div>\n";
    lastScan(out, paths);
    backupSets(out, paths, facade, page.tokenField());
    out << "<script src=\"../html/spyware.js\" defer></script>\n";
    return page.finish();
}
