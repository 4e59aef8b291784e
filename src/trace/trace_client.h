// Inside the trace client: its limits, the debug library's entry points and test hooks.
//
// The client's state is process-wide and unlocked: the route flag, skip counter and failure
// tick are single words that threads may race on, which only changes how soon a closed route
// is tried again. The module tag, the debug library and its entries are set by
// InitLogClient, which must not overlap trace calls on other threads; a page that does not
// call it gets the shared library's tag from its first trace (libraryTag below). The
// executable names are computed once, at the first trace that needs them.
//
// The debug library is an optional shared object named by the host. Its entries, looked up by
// name, have these forms here:
//   int  SD_InitDebug_with_Ini_0200(const char* iniPath, const char* buildDate,
//                                   const char* buildTime)   date "Aug 31 2006", time "09:41:07"
//   void SD_TraceA_0200(const char* sourceFile, int line, int level, const char* format, ...)
//   void SD_TraceW_0200(const char16_t* sourceFile, int line, int level,
//                       const char16_t* format, ...)          looked up, never called
//   void SD_TraceW(int, int, int, const char16_t* sourceFile, int line, int level,
//                  const char16_t* text)                      called with zeros first
//   SD_SetDebugMsg, SD_DbLogTrace                              looked up, never called
#pragma once

#include <cstddef>
#include <cstdint>

namespace nvl::trace {

constexpr size_t kLineUnits = 4096;  // a trace line, terminator included
constexpr size_t kTagBytes = 1024;
constexpr size_t kExecutableBytes = 260;
constexpr int kRetrySkips = 10;           // refused calls before a retry is considered
constexpr uint32_t kRetryDelayMs = 5000;  // ... and the least time since the failure
constexpr uint32_t kPipeBusyWaitMs = 20000;
constexpr const char* kLogPipeName = "Log_ServerNamePipe";

extern "C" {
using SdInitDebugWithIni = int (*)(const char* iniPath, const char* buildDate,
                                   const char* buildTime);
using SdTraceA0200 = void (*)(const char* sourceFile, int line, int level, const char* format, ...);
using SdTraceW = void (*)(int, int, int, const char16_t* sourceFile, int line, int level,
                          const char16_t* text);
}

// The module tag of the shared library's traces, "CGIShare". Only libcgishare.so defines it
// (library_attach.cpp): the object is never pulled out of the static archive, so in programs
// that link the archive the weak reference stays null and the tag stays empty until they call
// InitLogClient. Traces take it when they first write a line; a process that loads the library
// gets the effect of InitLogClient("", "", "CGIShare", true) without the library running
// anything when it is loaded.
extern const char libraryTag[] __attribute__((weak));

// Puts the route, the skip counter, the failure tick and the log-server complaint back to
// their initial state (tests only).
void resetClientForTesting();

}  // namespace nvl::trace
