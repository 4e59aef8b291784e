// The debug trace client.
//
// Every function of the library reports what it does through one trace call: a level, the
// call site's source file and line, and a printf-style message. The client turns that into one
// line ("[tag][executable]message") and hands it to the log server as one UTF-16 LOG_WRITE
// command over the pipe "Log_ServerNamePipe". When no log server runs, a trace costs almost
// nothing: a failed delivery closes the pipe route, and only one call in eleven, and none
// within 5 seconds of the failure, tries again.
//
// Trace calls never fail and never throw. Levels: 2 failures, 4 and 5 details, 6 file and log
// operations, 8 progress; the client passes the level through unchanged.
#pragma once

#include <cgishare/export.h>

// Narrow trace: `sourceFile` and `format` are in the ANSI code page, printf rules.
CGISHARE_API void DebugTraceA(int level, const char* sourceFile, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// UTF-16 trace. The format follows the original platform's wide rules: %s and %c take wide
// (char16_t) arguments, %hs / %S and %hc / %C narrow ones; %ls and %lc are wide as well.
CGISHARE_API void DebugTraceW(int level, const char16_t* sourceFile, int line,
                              const char16_t* format, ...);

// Wide trace that goes only to the debug library, never to the pipe; the pipe client reports
// its own failures through it so that a broken pipe never recurses into itself.
CGISHARE_API void DebugTraceLibraryW(int level, const char16_t* sourceFile, int line,
                                     const char16_t* format, ...);

// Sets the module tag, optionally binds the debug library at `libraryPath`, and computes the
// executable name. Returns 1 when the library's initialisation entry was found and called.
// A process on the shared library traces with the tag "CGIShare" from its first trace on, as
// if it had called InitLogClient("", "", "CGIShare", true).
CGISHARE_API int InitLogClient(const char* iniPath, const char* libraryPath, const char* tag,
                               bool skipLibrary);

// Kept for callers of older versions; does nothing.
CGISHARE_API void InitDebugLog();

// True when a log server takes connections on the trace pipe now: one attempt that never
// waits (a server whose backlog is full counts as running). The connection is closed at once
// without a message.
CGISHARE_API bool isLogServerReachable();
