// Test hooks of the cleaner library. They live in the library's hidden symbols: a program on
// the shared library cannot reach them, only tests linked with the static archive.
#pragma once

#include <cstdint>

#include "cleaner/cleaner_settings.h"

namespace nvl::cleaner {

// Stands in for the executable checks of CleanerLibInit (executable_checks.h) in this process:
// `check` gets the settings with the paths filled in and returns a status, kCleanerOk to accept
// (it may fill the version texts). Null restores the real checks. Children forked later keep
// it. For the tests of contexts, options and patterns, which are not about the executable.
using ExecutableCheck = uint32_t (*)(CleanerSettings* settings);
void setExecutableCheckForTesting(ExecutableCheck check);

// The number of live contexts (made and not yet released).
size_t liveContextCountForTesting();

}  // namespace nvl::cleaner
