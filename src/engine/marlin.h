// The virus scan engine, MARLIN32.dll (MARLIN32.so here), as the library binds it.
//
// The engine is loaded once per process, on the first call that needs it, by the rules of
// platform/library.h (beside the running program first, then the loader's search path), and
// all its entry points are bound then. A process that cannot load it, or finds an entry point
// missing, keeps that verdict: every later call fails at once (no retry, no pause), and the
// caller traces the failure.
#pragma once

#include <cstdint>

#include "marlin32.h"

namespace nvl::engine {

struct Marlin {
    decltype(&::MrInit) init;
    decltype(&::MrRelease) release;
    decltype(&::MrReadPatternInFile) readPatternInFile;
    decltype(&::MrSetConfig) setConfig;
    decltype(&::MrGetPatternProperty) getPatternProperty;
    decltype(&::MrGetExtListSize) getExtListSize;
    decltype(&::MrGetExtList) getExtList;
    decltype(&::MrDeleteUnusedPattern) deleteUnusedPattern;
    decltype(&::MrGetPatternInternalVersion) getPatternInternalVersion;
};

// The bound engine, or null when it cannot be loaded (lastError() tells why).
const Marlin* marlin();

}  // namespace nvl::engine
