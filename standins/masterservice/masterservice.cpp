// nvl-masterservice: the stand-in for the server's master service.
//
// It does, for real, what the console relies on: while it runs, the manual-reset event
// "Halden_Norvel_Server_Stop_Event" exists (the console's liveness test opens it), and the
// request ring's objects exist, so console pages can send records. It receives every record
// and writes one line per record to its log file and one trace:
//
//   2024-05-01 12:00:00.123 5 "hello"
//
// that is, local time, the number of bytes up to the last non-NUL byte, and those bytes in
// double quotes, printable ASCII as it is, a backslash doubled, any other byte as \xHH.
//
// It also holds the patterns the server's services scan with. Before it reports ready it creates
// the auto-reset event "HLENG_WRAPPER_NOTIFY_PATTERN_UPDATE_NVLSERVICE_LOGTHREAD", which the
// console's notifyPatternUpdate sets after it has written the current pattern paths into
// <home>Private/nvlserver.ini, [FILE_PATH_SECTION]. On each notice it reads VIRUS_PATTERN and
// SPYWARE_PATTERN there and loads each file through the scan engine (MARLIN32.so, beside the
// program), reading and checking the whole file, and logs and traces one line per kind:
//
//   2024-05-01 12:00:00.123 reload VIRUS_PATTERN "/srv/norvel/sig$vpf.123" internal version 1230
//   2024-05-01 12:00:00.124 reload SPYWARE_PATTERN refused: no path
//
// A refused file leaves the pattern loaded before in place. Several notices that arrive while a
// reload runs merge into one more reload, which reads the paths as they are by then. One wait
// takes the stop event first, then the notice, then the ring, so a stop is never held up by
// work behind it.
//
// It stops when its stop event is set: by SIGTERM or SIGINT, or by any process that opens the
// event and sets it. Then it logs the records still waiting (their senders were told they
// arrived) and closes everything, so the stop event can no longer be opened.
// Signals are blocked in every thread and taken by one thread with sigwait, which sets the
// event: no work is done in a signal handler. Settings: README.md beside this file.
#include <cgishare/config.h>
#include <cgishare/map_buffer.h>
#include <cgishare/trace.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "engine/marlin.h"
#include "pattern_format.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/named_object.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "ring_options.h"

namespace {

constexpr char kProgram[] = "nvl-masterservice";
constexpr char kStopEventName[] = "Halden_Norvel_Server_Stop_Event";
constexpr char kPatternEventName[] = "HLENG_WRAPPER_NOTIFY_PATTERN_UPDATE_NVLSERVICE_LOGTHREAD";
constexpr char kPatternSettings[] = "Private/nvlserver.ini";
constexpr const char* kPatternKeys[] = {"VIRUS_PATTERN", "SPYWARE_PATTERN"};

struct Options {
    nvl::standin::RingOptions ring;
    std::string log;
};

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: %s [--name BASE] [--record-size N] [--capacity N] [--log FILE]\n%s"
                 "  --capacity N        records the ring holds, 1 to 65536 (default 64)\n"
                 "  --log FILE          the request log (default $NVL_RUNTIME_DIR/"
                 "masterservice.log)\n",
                 kProgram, nvl::standin::kRingOptionsHelp);
}

// 0 to run, else the exit code.
int parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        int taken = nvl::standin::takeRingOption(kProgram, argc, argv, &i, &options->ring);
        if (taken < 0)
            return 2;
        if (taken > 0)
            continue;
        std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            usage(stdout);
            return -1;
        }
        if ((option == "--capacity" || option == "--log") && i + 1 < argc) {
            const char* value = argv[++i];
            if (option == "--log") {
                options->log = value;
            } else if (!nvl::standin::parseNumber(kProgram, "--capacity", value, 1, 65536,
                                                  &options->ring.capacity)) {
                return 2;
            }
            continue;
        }
        usage(stderr);
        return 2;
    }
    if (options->log.empty())
        options->log = nvl::sys::runtimeDir() + "/masterservice.log";
    return 0;
}

std::string render(const unsigned char* record, size_t size, size_t* length) {
    size_t n = size;
    while (n > 0 && record[n - 1] == 0)
        --n;
    *length = n;
    std::string text = "\"";
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = record[i];
        if (c == '\\') {
            text += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        }
    }
    return text + "\"";
}

std::string timestamp() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char text[40];
    size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03ld", now.tv_nsec / 1000000);
    return text;
}

void writeLogLine(int logFd, const std::string& text) {
    std::string line = timestamp() + " " + text + "\n";
    if (nvl::sys::writeAll(logFd, line) != nvl::sys::kSuccess)
        std::fprintf(stderr, "%s: cannot write the log\n", kProgram);
}

void logRecord(int logFd, const std::vector<unsigned char>& record) {
    size_t length = 0;
    std::string text = render(record.data(), record.size(), &length);
    writeLogLine(logFd, std::to_string(length) + " " + text);
    DebugTraceA(6, __FILE__, __LINE__, "[nvl-masterservice] request, %zu bytes: %s", length,
                text.c_str());
}

std::string statusWords(int32_t status) {
    return std::string(marlin32::statusName(status)) + " (" + std::to_string(status) +
           "): " + marlin32::statusText(status);
}

// The patterns the service holds: one engine handle per kind, 0 while none is loaded.
class LoadedPatterns {
  public:
    LoadedPatterns() = default;
    LoadedPatterns(const LoadedPatterns&) = delete;
    LoadedPatterns& operator=(const LoadedPatterns&) = delete;
    ~LoadedPatterns() {
        for (MrHandle handle : handles_) {
            if (handle != 0)
                nvl::engine::marlin()->release(handle);
        }
    }

    // Reads the current paths and loads each; one log line and one trace per kind.
    void reload(int logFd) {
        char home[261] = {};
        std::string settings;
        if (getHomeDir(home, sizeof home) != 0)
            settings = std::string(home) + kPatternSettings;
        for (size_t kind = 0; kind < std::size(kPatternKeys); ++kind) {
            std::string text = std::string("reload ") + kPatternKeys[kind] + " ";
            bool loaded = false;
            if (settings.empty()) {
                text += "refused: the server directory cannot be read";
            } else {
                loaded = load(kind, settings, &text);
            }
            writeLogLine(logFd, text);
            DebugTraceA(loaded ? 8 : 2, __FILE__, __LINE__, "[nvl-masterservice] %s", text.c_str());
        }
    }

  private:
    // Loads the file named under the kind's key into a new handle; on success the handle
    // replaces the kind's old one. `text` gets the path and the version, or why not.
    bool load(size_t kind, const std::string& settings, std::string* text) {
        // Longer than any path the console writes, so a value is never cut into another name.
        std::vector<char> path(4096);
        char section[] = "FILE_PATH_SECTION";
        std::string key = kPatternKeys[kind];
        char empty[] = "";
        unsigned long n = getINIString(path.data(), section, key.data(), empty, path.size(),
                                       const_cast<char*>(settings.c_str()));
        if (n == 0) {
            *text += "refused: no path in " + settings;
            return false;
        }
        size_t length = 0;
        *text += render(reinterpret_cast<const unsigned char*>(path.data()), n, &length) + " ";
        if (n + 1 >= path.size()) {
            *text += "refused: the path is too long";
            return false;
        }
        const nvl::engine::Marlin* engine = nvl::engine::marlin();
        if (engine == nullptr) {
            *text += "refused: the scan engine cannot be loaded (error " +
                     std::to_string(nvl::sys::lastError()) + ")";
            return false;
        }
        MrHandle handle = 0;
        if (int32_t status = engine->init(nvl::sys::currentThreadId(), "", 0, &handle);
            status != 0) {
            *text += "refused: MrInit " + statusWords(status);
            return false;
        }
        int32_t status = engine->readPatternInFile(handle, path.data(), 0);
        uint32_t version = 0;
        uint16_t other = 0;
        if (status == 0)
            status = engine->getPatternInternalVersion(path.data(), &version, &other);
        if (status != 0) {
            engine->release(handle);
            *text += "refused: " + statusWords(status);
            return false;
        }
        if (handles_[kind] != 0)
            engine->release(handles_[kind]);
        handles_[kind] = handle;
        *text += "internal version " + std::to_string(version);
        return true;
    }

    MrHandle handles_[std::size(kPatternKeys)] = {};
};

// Logs every record waiting in the ring. One wake-up may stand for several records.
void drain(NvlMapBuffer& ring, int logFd, std::vector<unsigned char>& record) {
    int retries = 1;  // a mutex whose last owner died is reported once, and free again
    for (;;) {
        int status = ring.GetBuffer(record.data());
        if (status == NvlMapBuffer::kOk) {
            logRecord(logFd, record);
        } else if (status == NvlMapBuffer::kMutexFailed && retries-- > 0) {
            continue;
        } else {
            if (status != NvlMapBuffer::kEmpty) {
                std::fprintf(stderr, "%s: GetBuffer returned %d\n", kProgram, status);
                DebugTraceA(2, __FILE__, __LINE__, "[nvl-masterservice] GetBuffer=%d", status);
            }
            return;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (int rc = parseOptions(argc, argv, &options); rc != 0)
        return rc < 0 ? 0 : rc;

    // Blocked before any thread starts, so every thread inherits the mask and only sigwait
    // below ever takes these signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    InitLogClient("", "", "MasterService", true);

    // The stop event first: it also tells whether a master service runs already, whose ring
    // a second CreateMapFile would empty.
    nvl::sys::Handle stop = nvl::sys::createEvent(kStopEventName, true, false);
    if (!stop) {
        std::fprintf(stderr, "%s: cannot create the stop event (error %u)\n", kProgram,
                     nvl::sys::lastError());
        return 1;
    }
    if (nvl::sys::lastError() == nvl::sys::kErrAlreadyExists) {
        std::fprintf(stderr, "%s: a master service is running already\n", kProgram);
        return 1;
    }

    // The pattern notice: made before the service says it is ready, so a notice sent after
    // that is never lost. The console only opens it.
    nvl::sys::Handle patternNotice = nvl::sys::createEvent(kPatternEventName, false, false);
    if (!patternNotice) {
        std::fprintf(stderr, "%s: cannot create the pattern event (error %u)\n", kProgram,
                     nvl::sys::lastError());
        return 1;
    }

    // The spyware engine's load mutex, which the real-time scan service keeps: whoever loads
    // the engine (the hot-fix rebuild of its pattern) takes it for the time of the load.
    nvl::sys::Handle tarskLoad = nvl::sys::createMutex("Halden_TARSK_Load_Mutex", false);
    if (!tarskLoad)
        std::fprintf(stderr, "%s: cannot create the spyware engine's load mutex (error %u)\n",
                     kProgram, nvl::sys::lastError());

    NvlMapBuffer ring(options.ring.name.c_str(), options.ring.recordSize);
    if (int status = ring.CreateMapFile(static_cast<int>(options.ring.capacity)); status != 0) {
        std::fprintf(stderr, "%s: CreateMapFile failed with %d\n", kProgram, status);
        return 1;
    }

    std::string logDir = options.log.substr(0, options.log.rfind('/') + 1);
    if (!logDir.empty())
        nvl::sys::makeDirectories(logDir);
    nvl::sys::UniqueFd log(
        ::open(options.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!log) {
        std::fprintf(stderr, "%s: cannot open the log %s\n", kProgram, options.log.c_str());
        return 1;
    }

    std::atomic<bool> signalled{false};
    std::thread signalTaker([&] {
        int signal = 0;
        if (sigwait(&stopSignals, &signal) == 0 && signal != 0) {
            signalled.store(true);
            nvl::sys::setEvent(stop.get());
        }
    });

    std::printf("%s: ready; ring %s, %ld records of %ld bytes; log %s\n", kProgram,
                options.ring.name.c_str(), options.ring.capacity, options.ring.recordSize,
                options.log.c_str());
    std::fflush(stdout);
    DebugTraceA(8, __FILE__, __LINE__, "[nvl-masterservice] started, ring %s",
                options.ring.name.c_str());

    int exitCode = 0;
    std::vector<unsigned char> record(static_cast<size_t>(options.ring.recordSize));
    LoadedPatterns patterns;
    void* own[] = {stop.get(), patternNotice.get()};
    for (;;) {
        unsigned long woken = ring.WaitRequestEx(2, own);
        if (woken == 0)
            break;  // stop: seen before any notice or request still pending
        if (woken == 1) {
            patterns.reload(log.get());
        } else if (woken == 2) {
            drain(ring, log.get(), record);
        } else {
            std::fprintf(stderr, "%s: wait failed (%lu)\n", kProgram, woken);
            exitCode = 1;
            break;
        }
    }
    // Records accepted before the stop are still logged: a sender was told they arrived.
    drain(ring, log.get(), record);

    // A stop that did not come by signal leaves the taker waiting: end it the same way.
    if (!signalled.load())
        pthread_kill(signalTaker.native_handle(), SIGTERM);
    signalTaker.join();
    ring.FreeMapFile();
    patternNotice.reset();
    stop.reset();
    DebugTraceA(8, __FILE__, __LINE__, "[nvl-masterservice] stopped");
    std::printf("%s: stopped\n", kProgram);
    return exitCode;
}
