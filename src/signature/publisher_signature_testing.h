// Test hooks of the publisher check.
#pragma once

namespace nvl::signature {

// Makes the publisher check load `file` (a path, or a bare name looked up as
// platform/library.h describes) for all three trust libraries; null restores "wintrust.so".
void setTrustLibraryForTesting(const char* file);

}  // namespace nvl::signature
