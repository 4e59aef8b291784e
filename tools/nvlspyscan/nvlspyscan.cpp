// nvl-spyscan: scans a directory tree for spyware with the server's spyware engine, through
// the library's spyware facade, and cleans what it finds on request; restores backup sets,
// reports versions and threats, and keeps the whitelist.
//
//   nvl-spyscan [--quick] [--clean] [--no-cookies] [--report FILE] [--verbose] DIR
//   nvl-spyscan --clean-name THREAT DIR
//   nvl-spyscan --restore SET
//   nvl-spyscan --versions | --threats
//   nvl-spyscan --whitelist-add THREAT-ID [LOCATION] | --whitelist-reset
// Each takes --engine DIR (where tarsk32.so lies; default: beside this program) and
// --pattern DIR (where tarskptn.da5 lies; default: the server's home directory).
//
// The scan publishes its progress like any scan of the server, so the console shows it too;
// on a terminal the command draws it as a bar. Ctrl-C (or SIGTERM) stops the scan through the
// facade: nothing is cleaned after a stop. Exit status: 0 nothing found, 1 found, 2 error,
// 3 stopped, 4 refused because another scan runs (the report is then left as it was).
//
// The report (--report) is written atomically at the end, for the console's spyware page:
//   nvl-spyscan-report 1 / status done|stopped|failed / type full|quick / clean 0|1 / found N /
//   cleaned N / backup PATH / started T / finished T / then "item" lines with the fields
//   scanner, state, threat and location separated by tabs (the location as the file name's
//   bytes; tabs and line ends in it are written as spaces).
#include <cgishare/config.h>
#include <cgishare/spyware.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../common/number_arg.h"
#include "platform/byte_text.h"
#include "platform/file.h"

namespace {

constexpr uint32_t kFindingsListed = 4096;

int usage() {
    std::fputs(
        "usage: nvl-spyscan [--quick] [--clean] [--no-cookies] [--report FILE] [--verbose] DIR\n"
        "       nvl-spyscan --clean-name THREAT DIR\n"
        "       nvl-spyscan --restore SET\n"
        "       nvl-spyscan --versions | --threats\n"
        "       nvl-spyscan --whitelist-add THREAT-ID [LOCATION] | --whitelist-reset\n"
        "options for all: --engine DIR (tarsk32.so), --pattern DIR (tarskptn.da5)\n",
        stderr);
    return 2;
}

std::string bytesOf(const char16_t* wide) {
    std::string bytes;
    if (nvl::sys::wideToBytes(wide, &bytes))
        return bytes;
    // Not a file name: show it with its odd units replaced.
    bytes.clear();
    for (const char16_t* p = wide; *p != 0; ++p)
        bytes.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
    return bytes;
}

const char* stateName(uint32_t state) {
    switch (state) {
        case TARSK_FINDING_BACKED_UP:
            return "backed-up";
        case TARSK_FINDING_CLEANED:
            return "cleaned";
        case TARSK_FINDING_FAILED:
            return "failed";
        default:
            return "found";
    }
}

const char* scannerName(uint32_t id) {
    switch (id) {
        case 10:
            return "file";
        case 11:
            return "registry";
        case 12:
            return "cookie";
        case 13:
            return "autostart";
        case 14:
            return "directory";
        case 18:
            return "hosts";
        default:
            return "other";
    }
}

// --- The terminal: a progress bar that report lines pass over ---------------------------

class Terminal {
  public:
    explicit Terminal(bool verbose) : verbose_(verbose), bar_(::isatty(STDERR_FILENO) == 1) {}

    void line(const std::string& text) {
        std::lock_guard lock(mutex_);
        clearBar();
        std::fprintf(stderr, "%s\n", text.c_str());
        drawBar();
    }
    // The facade's own report lines, shown with --verbose.
    static void sink(const char16_t* text, void* self) {
        auto* t = static_cast<Terminal*>(self);
        if (t->verbose_)
            t->line(bytesOf(text));
    }

    void startBar() {
        if (!bar_)
            return;
        polling_ = std::thread([this] {
            std::unique_lock lock(mutex_);
            while (!done_) {
                TarskScanProgress p;
                lock.unlock();
                QueryTarskScanProgress(&p);
                lock.lock();
                progress_ = p;
                drawBar();
                wake_.wait_for(lock, std::chrono::milliseconds(100));
            }
            clearBar();
        });
    }
    void stopBar() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        if (polling_.joinable())
            polling_.join();
    }

  private:
    void clearBar() {
        if (shown_)
            std::fputs("\r\033[K", stderr);
        shown_ = false;
    }
    void drawBar() {
        if (!bar_ || done_)
            return;
        winsize ws{};
        int width = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20 ? ws.ws_col : 80;
        unsigned percent = std::min(progress_.progress, 100u);
        static const char* kTasks[] = {"scanning", "backing up", "cleaning"};
        const char* task = progress_.currentTask < 3 ? kTasks[progress_.currentTask] : "";
        char head[64];
        int filled = static_cast<int>(percent * 20 / 100);
        std::snprintf(head, sizeof head, "[%.*s%.*s] %3u%% %s ", filled, "####################",
                      20 - filled, "....................", percent, task);
        std::string text = head + bytesOf(progress_.location);
        if (static_cast<int>(text.size()) > width - 1)
            text.resize(static_cast<size_t>(width - 1));
        std::fprintf(stderr, "\r\033[K%s", text.c_str());
        std::fflush(stderr);
        shown_ = true;
    }

    bool verbose_;
    bool bar_;
    bool shown_ = false;
    bool done_ = false;
    TarskScanProgress progress_{};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread polling_;
};

// --- Stopping on a signal ---------------------------------------------------------------

// SIGINT and SIGTERM are taken by one thread, which asks the facade to stop; the scan runs on
// the main thread. SIGUSR1 ends the waiting thread when the work is done.
class StopOnSignal {
  public:
    StopOnSignal() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
        waiter_ = std::thread([this] {
            for (;;) {
                int sig = 0;
                if (sigwait(&set_, &sig) != 0 || sig == SIGUSR1)
                    return;
                stopped_ = true;
                std::fputs("\nstopping the scan...\n", stderr);
                GetTarskFacade()->RunStopScan();
            }
        });
    }
    ~StopOnSignal() {
        pthread_kill(waiter_.native_handle(), SIGUSR1);
        waiter_.join();
    }
    bool stopped() const { return stopped_; }

  private:
    sigset_t set_{};
    std::atomic<bool> stopped_{false};
    std::thread waiter_;
};

std::string cleanText(std::string text) {
    for (char& c : text)
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    return text;
}

bool writeReport(const std::string& path, const TarskScanRequest* request, bool quick, bool clean,
                 time_t started) {
    const TarskScanResult& r = request->result;
    const char* status = (r.status & TARSK_RESULT_STOPPED) ? "stopped"
                         : (r.status & TARSK_RESULT_DONE)  ? "done"
                                                           : "failed";
    std::string text = "nvl-spyscan-report 1\n";
    text += std::string("status ") + status + "\n";
    text += std::string("type ") + (quick ? "quick" : "full") + "\n";
    text += std::string("clean ") + (clean ? "1" : "0") + "\n";
    text += "found " + std::to_string(r.found) + "\n";
    text += "cleaned " + std::to_string(r.cleaned) + "\n";
    text += "backup " + cleanText(bytesOf(r.backupSet)) + "\n";
    text += "started " + std::to_string(started) + "\n";
    text += "finished " + std::to_string(std::time(nullptr)) + "\n";
    const TarskFinding* f = TarskScanFindings(const_cast<TarskScanRequest*>(request));
    for (uint32_t i = 0; i < r.listed; ++i)
        text += "item\t" + std::to_string(f[i].scannerId) + "\t" + stateName(f[i].state) + "\t" +
                cleanText(bytesOf(f[i].threatName)) + "\t" + cleanText(bytesOf(f[i].location)) +
                "\n";
    uint32_t error = nvl::sys::replaceFileAtomically(path, text, 0644);
    if (error != 0)
        std::fprintf(stderr, "nvl-spyscan: cannot write the report %s (error %u)\n", path.c_str(),
                     error);
    return error == 0;
}

struct Options {
    std::string engine, pattern, report, target, threat, location;
    enum Action { Scan, CleanName, Restore, Versions, Threats, WhitelistAdd, WhitelistReset };
    Action action = Scan;
    bool quick = false, clean = false, cookies = true, verbose = false;
    uint32_t threatId = 0;
};

// An absolute, lexically clean form of a directory given on the command line.
bool absoluteDirectory(const std::string& given, std::string* out) {
    struct stat st {};
    if (::stat(given.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "nvl-spyscan: %s is not a directory\n", given.c_str());
        return false;
    }
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(given, ec).lexically_normal();
    *out = p.string();
    while (out->size() > 1 && out->back() == '/')
        out->pop_back();
    return !ec;
}

int runScan(const Options& o, CTARSKfFacadeBase* facade, Terminal& terminal) {
    TarskScanRequest* request = TarskAllocScanRequest(kFindingsListed);
    if (request == nullptr)
        return 2;
    request->action = o.clean ? TARSK_ACTION_CLEAN : TARSK_ACTION_REPORT;
    request->scanType = o.quick ? TARSK_SCAN_QUICK : TARSK_SCAN_FULL;
    request->publishProgress = 1;
    request->keepCookieScanner = o.cookies ? 1 : 0;
    time_t started = std::time(nullptr);
    int code;
    {
        StopOnSignal stop;
        terminal.startBar();
        facade->RunSpywareScan(request);
        terminal.stopBar();
    }
    const TarskScanResult& r = request->result;
    if (r.status & TARSK_RESULT_REFUSED) {
        std::fputs("nvl-spyscan: another spyware scan is running; try again when it is done\n",
                   stderr);
        TarskFreeScanRequest(request);
        return 4;
    }
    const TarskFinding* f = TarskScanFindings(request);
    for (uint32_t i = 0; i < r.listed; ++i)
        std::printf("%-9s  %-9s  %s  %s\n", stateName(f[i].state), scannerName(f[i].scannerId),
                    bytesOf(f[i].threatName).c_str(), bytesOf(f[i].location).c_str());
    if (r.status & TARSK_RESULT_TRUNCATED)
        std::printf("(%u more findings not listed)\n", r.found - r.listed);
    if (r.status & TARSK_RESULT_DONE) {
        std::fprintf(stderr, "%s scan of %s: %u found, %u cleaned\n", o.quick ? "quick" : "full",
                     o.target.c_str(), r.found, r.cleaned);
        if (r.backupSet[0] != 0)
            std::fprintf(stderr, "backup set: %s\n", bytesOf(r.backupSet).c_str());
        if (r.status & TARSK_RESULT_NOT_CLEANED)
            std::fputs("some findings could not be backed up, so they were left in place\n",
                       stderr);
        code = r.found > 0 ? 1 : 0;
    } else if (r.status & TARSK_RESULT_STOPPED) {
        std::fprintf(stderr, "the scan was stopped: %u found so far, nothing cleaned\n", r.found);
        code = 3;
    } else {
        std::fputs("nvl-spyscan: the scan failed (the trace says why)\n", stderr);
        code = 2;
    }
    if (!o.report.empty() && !writeReport(o.report, request, o.quick, o.clean, started))
        code = 2;
    TarskFreeScanRequest(request);
    return code;
}

int nameVisitor(uint32_t id, const char16_t* name, void*) {
    std::printf("%u\t%s\n", id, bytesOf(name).c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::vector<std::string> rest;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        bool ok = true;
        if (a == "--quick")
            o.quick = true;
        else if (a == "--clean")
            o.clean = true;
        else if (a == "--no-cookies")
            o.cookies = false;
        else if (a == "--verbose")
            o.verbose = true;
        else if (a == "--engine")
            ok = value(&o.engine);
        else if (a == "--pattern")
            ok = value(&o.pattern);
        else if (a == "--report")
            ok = value(&o.report);
        else if (a == "--clean-name")
            ok = value(&o.threat), o.action = Options::CleanName;
        else if (a == "--restore")
            ok = value(&o.location), o.action = Options::Restore;
        else if (a == "--versions")
            o.action = Options::Versions;
        else if (a == "--threats")
            o.action = Options::Threats;
        else if (a == "--whitelist-reset")
            o.action = Options::WhitelistReset;
        else if (a == "--whitelist-add") {
            std::string id;
            uint64_t n = 0;
            ok = value(&id) && nvl::tools::parseNumber(id, UINT32_MAX, &n) && n > 0;
            o.threatId = static_cast<uint32_t>(n);
            o.action = Options::WhitelistAdd;
        } else if (a.size() > 1 && a[0] == '-')
            ok = false;
        else
            rest.push_back(a);
        if (!ok)
            return usage();
    }
    bool needsDir = o.action == Options::Scan || o.action == Options::CleanName;
    if (o.action == Options::WhitelistAdd) {
        if (rest.size() > 1)
            return usage();
        if (!rest.empty())
            o.location = rest[0];
    } else if (rest.size() != (needsDir ? 1u : 0u)) {
        return usage();
    }
    if (needsDir) {
        if (!absoluteDirectory(rest[0], &o.target))
            return 2;
        // The engine scans its configured roots; this process's root is the directory given.
        ::setenv("TARSK_SCAN_ROOTS", o.target.c_str(), 1);
    }
    if (o.pattern.empty()) {
        char home[4096];
        if (getHomeDir(home, sizeof home) == 1)
            o.pattern = home;
    }
    // The engine takes absolute directories only.
    for (std::string* dir : {&o.engine, &o.pattern})
        if (!dir->empty() && !absoluteDirectory(*dir, dir))
            return 2;

    Terminal terminal(o.verbose);
    SetTarskMessageSink(Terminal::sink, &terminal);
    std::u16string engine = nvl::sys::bytesToWide(o.engine);
    std::u16string pattern = nvl::sys::bytesToWide(o.pattern);
    CTARSKfFacadeBase* facade = GetTarskFacade();
    if (facade->RunInitTARSK(engine.c_str(), pattern.c_str(), 0) == 0) {
        std::fputs("nvl-spyscan: the spyware engine cannot be loaded (the trace says why)\n",
                   stderr);
        return 2;
    }
    int code = 0;
    switch (o.action) {
        case Options::Scan:
            code = runScan(o, facade, terminal);
            break;
        case Options::CleanName: {
            uint32_t cleaned = 0;
            std::u16string name = nvl::sys::bytesToWide(o.threat);
            int ok;
            {
                StopOnSignal stop;
                ok = facade->RunRTSCleanByName(name.c_str(), &cleaned);
            }
            std::fprintf(stderr, "%s: %u cleaned%s\n", o.threat.c_str(), cleaned,
                         ok ? "" : " (not everything: the trace says why)");
            code = ok ? (cleaned > 0 ? 1 : 0) : 2;
            break;
        }
        case Options::Restore: {
            // The engine takes a set's name or its absolute path.
            std::string path =
                o.location.find('/') == std::string::npos
                    ? o.location
                    : std::filesystem::absolute(o.location).lexically_normal().string();
            std::u16string set = nvl::sys::bytesToWide(path);
            code = facade->RunSpywareRestore(set.c_str()) ? 0 : 2;
            std::fprintf(stderr,
                         code == 0 ? "restored %s\n"
                                   : "%s: not everything was restored (the trace says "
                                     "why)\n",
                         o.location.c_str());
            break;
        }
        case Options::Versions: {
            TarskVersionInfo v;
            if (facade->RunQueryVersion(&v) == 0) {
                std::fputs("nvl-spyscan: no pattern could be read\n", stderr);
                code = 2;
                break;
            }
            std::printf(
                "pattern version %s\npattern date %s\npattern signatures %s\n"
                "engine version %s\n",
                bytesOf(v.patternVersion).c_str(), bytesOf(v.patternDate).c_str(),
                bytesOf(v.patternSignatures).c_str(), bytesOf(v.engineVersion).c_str());
            break;
        }
        case Options::Threats:
            code = facade->RunQueryPatternSPYNames(nameVisitor, nullptr) ? 0 : 2;
            break;
        case Options::WhitelistAdd: {
            std::u16string where = nvl::sys::bytesToWide(o.location);
            code = facade->RunAddWhitelistItem(o.threatId, where.c_str()) ? 0 : 2;
            break;
        }
        case Options::WhitelistReset:
            code = facade->RunResetWhitelistItem() ? 0 : 2;
            break;
    }
    facade->RunDeInitTARSK();
    SetTarskMessageSink(nullptr, nullptr);
    return code;
}
