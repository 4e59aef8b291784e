// Test hooks of the scan engine's binding.
#pragma once

namespace nvl::engine {

// Makes the next marlin() load `libraryName` (a path, or a bare name looked up as
// platform/library.h describes) and bind afresh; null restores "MARLIN32.dll". Only while no
// other thread uses the binding. A library bound before stays loaded.
void setMarlinLibraryForTesting(const char* libraryName);

}  // namespace nvl::engine
