// The parts of the virus-type queries that the library, its tests and the fuzz target use
// beside the two exported calls.
#pragma once

#include <string>
#include <string_view>

#include "marlin32.h"

// Reads the pattern file at `ptnPath` into a new engine handle and configures it for the
// server's queries. 0 with the handle in *out (the caller releases it with MrRelease); -1 on
// any failure, with no handle left open. A path of 260 characters or more is refused.
int UD_LoadPattern(const char* ptnPath, MrHandle* out);

namespace nvl::pattern {

// The engine's extension list ("{*;EXE;COM}") as the console stores it ("EXE,.COM"): every
// "{*;" removed (the scan going on from where each was), then the last character (both braces
// when the rest is still enclosed in them, as "{}" and "{EXE}" are), then each ';' replaced
// by ",.".
std::string consoleExtList(std::string_view engineList);

}  // namespace nvl::pattern
