// The library's own access to the server's INI files, beside the exported accessors of
// <cgishare/config.h>: keys that belong together written as one change.
#pragma once

#include <span>
#include <string>

#include "platform/profile.h"

namespace nvl::config {

// The path the INI accessors use: `iniPath`, or nvlscan.ini in the home directory when null.
std::string iniPathFor(const char* iniPath);

// Writes `writes` into the INI file as one change (platform/profile.h): a reader sees all of
// them or none, and no other writer's change lands between them. Returns false, with nothing
// written, when any of them cannot be written or the file cannot be replaced (lastError()).
bool writeINIStrings(std::span<const sys::ProfileWrite> writes, const char* iniPath);

}  // namespace nvl::config
