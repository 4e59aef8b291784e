// Test hook of the resource strings: which library loadResource binds.
#pragma once

namespace nvl::config {

// Makes loadResource load `libraryName` (any name Library::load accepts, such as the full
// path of one language's CGIRes.so) instead of "CGIRes.dll"; null restores the default.
// Tests only; not thread-safe.
void setResourceLibraryForTesting(const char* libraryName);

}  // namespace nvl::config
