// Process facts: tick count, wall-clock time, process and thread ids, the running executable.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace nvl::sys {

// Milliseconds since an arbitrary start, monotonic, wrapping after 49.7 days like
// GetTickCount. Tests may replace the source with setTickCountSourceForTesting.
uint32_t tickCount();
void setTickCountSourceForTesting(uint32_t (*source)());

// Seconds since the epoch, as time() gives them. Tests that depend on the calendar (a new log
// file each day) replace the source with setCurrentTimeSourceForTesting; null restores time().
time_t currentTime();
void setCurrentTimeSourceForTesting(time_t (*source)());

uint32_t currentProcessId();
uint32_t currentThreadId();

// The absolute path of the running executable, or "" when it cannot be read.
std::string executablePath();

}  // namespace nvl::sys
