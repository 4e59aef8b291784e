// The trace calls, the pipe gate and the binding of the debug library.
#include <cgishare/trace.h>

#include <atomic>
#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/library.h"
#include "platform/process.h"
#include "platform/wide_format.h"
#include "trace/log_command.h"
#include "trace/log_pipe_client.h"
#include "trace/trace_client.h"

static_assert(std::endian::native == std::endian::little,
              "the pipe command is UTF-16LE and is sent as the units are stored");

namespace nvl::trace {

namespace {

// --- Process-wide state; every object here is constant-initialised, so the library's load
// hook may run before or after any other initialiser.
char g_tag[kTagBytes];
char16_t g_wideTag[kTagBytes];
char g_executable[kExecutableBytes];
char16_t g_wideExecutable[kExecutableBytes];
std::atomic<bool> g_executableKnown{false};
std::atomic<bool> g_wideExecutableKnown{false};
std::mutex g_nameMutex;
// Whether the tag holds what it should: set by InitLogClient, or by the first trace that
// writes a prefix, which takes the shared library's tag (libraryTag) if this is the library.
std::atomic<bool> g_tagSet{false};

std::atomic<bool> g_pipeUsable{true};
std::atomic<int32_t> g_skipCounter{0};
std::atomic<uint32_t> g_failureTick{0};

SdInitDebugWithIni g_sdInit = nullptr;
void* g_sdTraceW0200 = nullptr;
SdTraceA0200 g_sdTraceA0200 = nullptr;
SdTraceW g_sdTraceW = nullptr;
void* g_sdSetDebugMsg = nullptr;
void* g_sdDbLogTrace = nullptr;
bool g_libraryLoaded = false;

// The skip counter is read and written as two steps on purpose: a lost increment between
// racing threads only delays a retry, and the refused path stays free of locked instructions.
__attribute__((always_inline)) inline bool gateOpen() {
    if (g_pipeUsable.load(std::memory_order_relaxed))
        return true;
    int32_t taken = g_skipCounter.load(std::memory_order_relaxed);
    g_skipCounter.store(taken + 1, std::memory_order_relaxed);
    if (taken < kRetrySkips)
        return false;
    g_skipCounter.store(0, std::memory_order_relaxed);
    // Unsigned difference: survives the tick count's wrap after 49.7 days.
    if (sys::tickCount() - g_failureTick.load(std::memory_order_relaxed) > kRetryDelayMs) {
        g_pipeUsable.store(true, std::memory_order_relaxed);
        return true;
    }
    return false;
}

void recordDelivery(bool delivered) {
    if (!delivered)
        g_failureTick.store(sys::tickCount(), std::memory_order_relaxed);
    g_pipeUsable.store(delivered, std::memory_order_relaxed);
}

// Requires g_nameMutex.
void computeExecutable() {
    std::memset(g_executable, 0, sizeof g_executable);
    std::string path = sys::executablePath();
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    name.copy(g_executable, sizeof g_executable - 1);
    g_executableKnown.store(true, std::memory_order_release);
}

const char* executableName() {
    if (!g_executableKnown.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(g_nameMutex);
        if (!g_executableKnown.load(std::memory_order_relaxed))
            computeExecutable();
    }
    return g_executable;
}

const char16_t* wideExecutableName() {
    if (!g_wideExecutableKnown.load(std::memory_order_acquire)) {
        const char* narrow = executableName();
        std::lock_guard<std::mutex> lock(g_nameMutex);
        if (!g_wideExecutableKnown.load(std::memory_order_relaxed)) {
            size_t n =
                sys::widenAnsi(narrow, std::strlen(narrow), g_wideExecutable, kExecutableBytes - 1);
            g_wideExecutable[n] = u'\0';
            g_wideExecutableKnown.store(true, std::memory_order_release);
        }
    }
    return g_wideExecutable;
}

void setTag(const char* tag) {
    std::memset(g_tag, 0, sizeof g_tag);
    std::memset(g_wideTag, 0, sizeof g_wideTag);
    if (tag != nullptr) {
        std::strncpy(g_tag, tag, kTagBytes - 1);
        sys::widenAnsi(g_tag, std::strlen(g_tag), g_wideTag, kTagBytes - 1);
    }
}

// The flag is raised only once the tag is complete, so a thread that finds it raised reads a
// finished tag, and one that does not waits on the lock for the thread that sets it.
void setDefaultTag() {
    if (g_tagSet.load(std::memory_order_acquire))
        return;
    std::lock_guard<std::mutex> lock(g_nameMutex);
    if (!g_tagSet.load(std::memory_order_relaxed)) {
        setTag(&libraryTag != nullptr ? libraryTag : nullptr);
        g_tagSet.store(true, std::memory_order_release);
    }
}

// "[tag][executable]" at the start of a zeroed line; returns its length.
size_t writePrefix(char* line) {
    setDefaultTag();
    const char* exe = executableName();
    return static_cast<size_t>(std::snprintf(line, kLineUnits, "[%s][%s]", g_tag, exe));
}

size_t writePrefix(char16_t* line) {
    setDefaultTag();
    const char16_t* exe = wideExecutableName();
    size_t n = 0;
    line[n++] = u'[';
    for (const char16_t* p = g_wideTag; *p != u'\0'; ++p)
        line[n++] = *p;
    line[n++] = u']';
    line[n++] = u'[';
    for (const char16_t* p = exe; *p != u'\0'; ++p)
        line[n++] = *p;
    line[n++] = u']';
    return n;
}

// Formats the caller's message after the prefix: at most 4095 units in all, the rest cut.
void formatLine(char16_t* line, const char16_t* format, va_list args) {
    size_t prefix = writePrefix(line);
    sys::formatWideV(line + prefix, kLineUnits - prefix, format, args);
    line[kLineUnits - 1] = u'\0';
}

bool deliver(int level, const char16_t* sourceFile, int sourceLength, int line,
             const char16_t* text, int textLength) {
    LogCommand command;
    command.add(u"LOG_WRITE");
    command.addSigned(static_cast<long long>(std::time(nullptr)));
    command.addUnsigned(sys::currentProcessId());
    command.addUnsigned(sys::currentThreadId());
    command.addSigned(level);
    command.add(sourceFile, sourceLength);
    command.addSigned(line);
    command.add(text, textLength);
    LogPipeClient client;
    return client.send(command.text().data(), command.byteSize());
}

bool wideLibraryRoute() {
    return g_libraryLoaded && g_sdInit != nullptr && g_sdTraceW0200 != nullptr &&
           g_sdTraceW != nullptr;
}

}  // namespace

void resetClientForTesting() {
    g_pipeUsable.store(true);
    g_skipCounter.store(0);
    g_failureTick.store(0);
    resetLogServerWarning();
}

}  // namespace nvl::trace

using namespace nvl::trace;  // NOLINT: the exported functions below are the module's API

namespace {

// The work of a trace once the gate let it through, kept out of the trace calls themselves so
// that a refused call does not pay for setting up the line buffers.
__attribute__((noinline)) void traceNarrow(int level, const char* sourceFile, int line,
                                           const char* format, va_list args) {
    try {
        char text[kLineUnits] = {};
        size_t prefix = writePrefix(text);
        if (format != nullptr) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
            std::vsnprintf(text + prefix, kLineUnits - prefix, format, args);
#pragma GCC diagnostic pop
        }
        text[kLineUnits - 1] = '\0';

        if (gateOpen()) {
            const size_t textLength = std::strlen(text);
            char16_t wideText[kLineUnits];
            size_t wideLength = nvl::sys::widenAnsi(text, textLength, wideText, kLineUnits);
            std::u16string wideSource;
            if (sourceFile != nullptr) {
                wideSource.resize(std::strlen(sourceFile));
                wideSource.resize(nvl::sys::widenAnsi(sourceFile, wideSource.size(),
                                                      wideSource.data(), wideSource.size()));
            }
            recordDelivery(deliver(level, wideSource.data(), static_cast<int>(wideSource.size()),
                                   line, wideText, static_cast<int>(wideLength)));
            return;
        }
        // Another thread closed the route between the two looks at the gate.
        if (g_libraryLoaded && g_sdInit != nullptr && g_sdTraceA0200 != nullptr) {
            g_sdTraceA0200(sourceFile, line, level, "%s", text);
        }
    } catch (...) {
        // Tracing never fails its caller.
    }
}

__attribute__((noinline)) void traceWide(int level, const char16_t* sourceFile, int line,
                                         const char16_t* format, va_list args) {
    try {
        char16_t text[kLineUnits] = {};
        formatLine(text, format, args);
        if (gateOpen()) {
            recordDelivery(deliver(level, sourceFile, -1, line, text, -1));
            return;
        }
        if (wideLibraryRoute())
            g_sdTraceW(0, 0, 0, sourceFile, line, level, text);
    } catch (...) {
    }
}

}  // namespace

void DebugTraceA(int level, const char* sourceFile, int line, const char* format, ...) {
    if (!gateOpen())
        return;
    va_list args;
    va_start(args, format);
    traceNarrow(level, sourceFile, line, format, args);
    va_end(args);
}

void DebugTraceW(int level, const char16_t* sourceFile, int line, const char16_t* format, ...) {
    if (!gateOpen())
        return;
    va_list args;
    va_start(args, format);
    traceWide(level, sourceFile, line, format, args);
    va_end(args);
}

void DebugTraceLibraryW(int level, const char16_t* sourceFile, int line, const char16_t* format,
                        ...) {
    if (!g_libraryLoaded || g_sdInit == nullptr || g_sdTraceW0200 == nullptr)
        return;
    try {
        char16_t text[kLineUnits] = {};
        va_list args;
        va_start(args, format);
        formatLine(text, format, args);
        va_end(args);
        if (g_sdTraceW != nullptr)
            g_sdTraceW(0, 0, 0, sourceFile, line, level, text);
    } catch (...) {
    }
}

int InitLogClient(const char* iniPath, const char* libraryPath, const char* tag, bool skipLibrary) {
    try {
        setTag(tag);
        g_tagSet.store(true, std::memory_order_release);

        int result = 0;
        if (!skipLibrary) {
            nvl::sys::Library library =
                nvl::sys::Library::load(libraryPath != nullptr ? libraryPath : "");
            if (library) {
                g_sdInit = reinterpret_cast<SdInitDebugWithIni>(
                    library.symbol("SD_InitDebug_with_Ini_0200"));
                if (g_sdInit != nullptr) {
                    g_sdInit(iniPath, __DATE__, __TIME__);
                    result = 1;
                }
                g_sdTraceW0200 = library.symbol("SD_TraceW_0200");
                g_sdTraceA0200 = reinterpret_cast<SdTraceA0200>(library.symbol("SD_TraceA_0200"));
                g_sdTraceW = reinterpret_cast<SdTraceW>(library.symbol("SD_TraceW"));
                g_sdSetDebugMsg = library.symbol("SD_SetDebugMsg");
                g_sdDbLogTrace = library.symbol("SD_DbLogTrace");
                // The debug library stays loaded until the process ends.
                library.release();
                g_libraryLoaded = true;
            }
        }

        {
            std::lock_guard<std::mutex> lock(g_nameMutex);
            computeExecutable();
        }
        return result;
    } catch (...) {
        return 0;
    }
}

void InitDebugLog() {}
