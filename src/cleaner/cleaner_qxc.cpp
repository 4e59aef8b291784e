// The cleaner pattern versions for the hot-fix rebuild: open the cleaner library on the tool's
// directory <home>/Admin, ask one context for the version, close it again.
//
// The process lock (a std::mutex) is held by getQXCPattern and getKPWSpyPattern from the open
// to the close, so two threads of one process never open, re-point or close the one library
// under each other; processes have libraries of their own and need no lock across them.
//
// InitQXCLIB leaves nothing open when it fails: a context that cannot be made closes the
// library again (the original left it open, and every later call then failed with "already
// open"). Without a home directory there is no tool directory to open: 0, traced.
//
// Traces are at level 5 (failures included, as the server's log readers expect them).
#include <cgishare/config.h>
#include <cgishare/trace.h>

#include <mutex>
#include <string>

#include "cleaner/cleaner.h"
#include "cleaner/cleaner_settings.h"
#include "trace/trace_sources.h"

#define QXC_TRACE(...) DebugTraceA(5, nvl::trace::kQxcSource, __LINE__, __VA_ARGS__)

namespace nvl::cleaner {

namespace {

constexpr char kToolDirectory[] = "Admin";

std::mutex g_processLock;

enum class Pattern { Cleaner, Spyware };

// One query of the pattern version, under the process lock, with the failure traces.
int queryPatternVersion(Pattern pattern, unsigned long* version) {
    if (version == nullptr)
        return 0;
    *version = 0;
    std::lock_guard lock(g_processLock);
    CleanerContext* ctx = nullptr;
    if (InitQXCLIB(&ctx) == 0)
        return 0;
    if (pattern == Pattern::Spyware)
        CleanerSetOption(ctx, kOptionPatternName, kSpywarePatternName);
    unsigned long value = 0;
    uint32_t status = CleanerGetProperty(ctx, kPropertyPatternVersion, &value);
    int result = 1;
    if (status == kCleanerOk) {
        *version = value;
    } else if (pattern == Pattern::Cleaner) {
        QXC_TRACE("[getQXCPattern] Bad QXC pattern number, error code = %d!!",
                  static_cast<int>(status));
        result = 0;
    } else {
        QXC_TRACE("[getKPWSpyPattern] Bad KPW Spyware pattern number, error code = %d!!",
                  static_cast<int>(status));
        result = 0;
    }
    QuitQXCLIB(&ctx);
    return result;
}

}  // namespace

int InitQXCLIB(CleanerContext** ctx) {
    char home[kTextField];
    if (getHomeDir(home, sizeof home) == 0) {
        QXC_TRACE("[InitQXCLIB] Can't get the server home directory!!");
        return 0;
    }
    std::string directory = std::string(home) + kToolDirectory;
    uint32_t status = CleanerLibInit(directory.c_str(), nullptr);
    if (status != kCleanerOk) {
        QXC_TRACE("[InitQXCLIB] Init Lib fail, error code = 0x%X!!", static_cast<unsigned>(status));
        return 0;
    }
    status = CleanerContextInit(ctx, 0);
    if (status != kCleanerOk) {
        QXC_TRACE("[InitQXCLIB] Init Context fail, error code = %d!!", static_cast<int>(status));
        CleanerLibQuit();
        return 0;
    }
    return 1;
}

void QuitQXCLIB(CleanerContext** ctx) {
    uint32_t status = CleanerContextQuit(ctx != nullptr ? *ctx : nullptr);
    if (status != kCleanerOk)
        QXC_TRACE("[QuitQXCLIB] Quit Context fail, error code = %d!!", static_cast<int>(status));
    else
        *ctx = nullptr;
    status = CleanerLibQuit();
    if (status != kCleanerOk)
        QXC_TRACE("[QuitQXCLIB] Quit Lib fail, error code = %d!!", static_cast<int>(status));
}

int getQXCPattern(unsigned long* version) {
    return queryPatternVersion(Pattern::Cleaner, version);
}

int getKPWSpyPattern(unsigned long* version) {
    return queryPatternVersion(Pattern::Spyware, version);
}

}  // namespace nvl::cleaner
