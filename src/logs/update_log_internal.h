// Test hook of the update log.
#pragma once

namespace nvl::logs {

// Replaces the 500 ms wait between attempts to open the log (null restores the real wait),
// so that a test can count the waits without spending them.
void setUpdateLogWaitForTesting(void (*wait)(unsigned milliseconds));

}  // namespace nvl::logs
