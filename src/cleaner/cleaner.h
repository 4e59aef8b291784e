// The cleaner library: the system cleaner tool's settings, its executable's checks and its
// pattern versions, and the two calls the hot-fix rebuild makes of it.
//
// The server keeps the cleaner tool in <home>/Admin: QXC.EXE, its settings file QXC.INI, the
// cleaner pattern (qxc.ptn unless the settings name another) and the spyware-cleanup pattern
// hladce.ptn. getQXCPattern and getKPWSpyPattern open the library on that directory, ask one
// context for the pattern version and close it again.
//
// Calling order: CleanerLibInit, then any number of contexts (CleanerContextInit ...
// CleanerContextQuit), then CleanerLibQuit. Every operation but CleanerLibInit answers
// kCleanerNotOpen while the library is closed. The library writes no traces; the four
// QXCLIB/pattern calls do (level 5).
//
// Threads: the library state is process-wide. Every library operation holds the state's lock
// while it runs, so calls from several threads never race on it; the sequence open, context,
// query, close of getQXCPattern and getKPWSpyPattern holds a second, process-wide lock (a
// std::mutex: the "process lock") from open to close, so two of them never close the library
// under each other. Other processes have libraries of their own.
#pragma once

#include <cstdint>
#include <string>

namespace nvl::cleaner {

// Status codes of the library: 0 is success, every other code has the top bit set.
enum CleanerStatus : uint32_t {
    kCleanerOk = 0,
    // General failure: also a pattern file that cannot be opened for a reason other than the
    // two below, a short or unreadable pattern header, a header walk that does not end.
    kCleanerFailure = 0x80000001,
    // Null pointer, text or path too long for its 260-byte field (NUL included), option not
    // settable, property not found, a handle that is not a live context.
    kCleanerInvalidArgument = 0x80000005,
    kCleanerPatternNotFound = 0x80000008,
    // The executable failed its checks: it cannot be opened or read, its appended signature
    // and its publisher signature both fail, or its version is missing or below 3.5.
    kCleanerExecutableRefused = 0x80000009,
    // The pattern file is held by another process (a write lease on it).
    kCleanerPatternLocked = 0x8000000a,
    kCleanerExecutableUnreadable = 0x8000000c,  // (publisher check: no path)
    kCleanerSettingsFailed = 0x8000000d,
    kCleanerOptionNotSupported = 0x8000000e,  // options 10 and 11
    kCleanerPatternOpenFailed = 0x8000000f,   // (no errno of this system maps to it)
    kCleanerBufferTooSmall = 0x80000011,
    kCleanerAlreadyOpen = 0x80000012,
    kCleanerNotOpen = 0x80000013,
    kCleanerOwnSignatureInvalid = 0x80000014,  // (publisher check: not passed)
};

// Option and property ids.
enum CleanerOptionId : int {
    kOptionPatternDir = 1,
    kOptionBackupDir = 2,
    kOptionDebugLogDir = 3,
    kOptionReportDir = 4,
    kOptionExtraOutputs = 5,  // accumulating text
    kOptionPatternName = 6,
    kOptionBackupFile = 0x1000001,
    kOptionVirusMsgbox = 0x1000002,
    kOptionNoneMsgbox = 0x1000003,
    kOptionDisableConsoleOutput = 0x1000004,
    kOptionDisableReportOutput = 0x1000005,
    kOptionDisableDebugOutput = 0x1000007,
    kOptionDebugInfoLevel = 0x2000001,
    kPropertyPatternVersion = 0x2000002,  // computed on each query, never stored
    kOptionInterfaceVersion = 0x2000003,  // always 0x10001
    kOptionIncludeList = 0x2000004,       // with kOptionExcludeList: two exclusive integer lists
    kOptionExcludeList = 0x2000005,
};

// The handle given to callers. Valid from CleanerContextInit to CleanerContextQuit; the
// library keeps the set of live contexts, so a handle it did not make, or one already released,
// is refused (kCleanerInvalidArgument) without being read.
class CleanerOptionStore;
struct CleanerContext {
    uint32_t marker;  // kContextMarker while valid, 0 once released
    CleanerOptionStore* store;
};
constexpr uint32_t kContextMarker = 0x2BDFFDB2;

// Opens the library on `directory` (the tool's directory) for the executable `executableName`
// in it (null: "QXC.EXE"): checks the executable, reads its version, loads QXC.INI.
uint32_t CleanerLibInit(const char* directory, const char* executableName);
uint32_t CleanerLibQuit();
uint32_t CleanerContextInit(CleanerContext** out, uint32_t reserved);
uint32_t CleanerContextQuit(CleanerContext* ctx);
uint32_t CleanerGetProperty(CleanerContext* ctx, int id, unsigned long* value);
uint32_t CleanerSetOption(CleanerContext* ctx, int id, const char* value);

// The pattern file the library would read in `directory`, by the settings file there (its
// PatternDir and PatternName), or named `patternName` when not null, and its version, without
// opening the library and so without judging the executable (the console shows both). Returns
// the status the version query would; `*path` is set whenever the settings could be read.
uint32_t readPatternFileOf(const char* directory, const char* patternName, std::string* path,
                           uint16_t* version);

// Opens the library on <home>/Admin and makes one context: 1, or 0 with the library closed
// again and a trace.
int InitQXCLIB(CleanerContext** ctx);
// Releases the context and closes the library, tracing failures.
void QuitQXCLIB(CleanerContext** ctx);

// The version of the cleaner pattern (qxc.ptn, or the settings' PatternName) and of the
// spyware-cleanup pattern hladce.ptn: 1 with `*version` set, or 0 with `*version` 0.
int getQXCPattern(unsigned long* version);
int getKPWSpyPattern(unsigned long* version);

}  // namespace nvl::cleaner
