// Test hooks of the pattern file functions.
#pragma once

namespace nvl::pattern {

// The pause after each failed read of an internal version (1000 ms unless changed), so that
// tests of unreadable files do not wait six seconds per file. Children forked later inherit it.
void setInternalVersionPauseForTesting(unsigned milliseconds);

}  // namespace nvl::pattern
