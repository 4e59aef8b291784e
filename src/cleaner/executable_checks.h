// The cleaner executable's checks: one open file judged by its signatures and its version.
//
// CleanerLibInit accepts the executable only when it comes from the server's maker and is
// recent enough. The file is opened once (O_RDONLY | O_CLOEXEC; O_NONBLOCK too, so that a FIFO
// or a file under another process's lease cannot hang the caller, and only a regular file is
// judged) and every check reads that descriptor by positional reads:
//
//   1. the appended signature (signature/appended_signature.h): valid, go on; the file cannot
//      be read, refuse; missing or invalid, then
//   2. the publisher signature (signature/publisher_signature.h) must pass;
//   3. the version resource is read into the settings (version and special-build texts), and
//      the version must be at least 3.5 (compared as numbers).
//
// Reading the path once per check, as the original did, let a file renamed over the executable
// between two checks pass on one file's signature and another's version. Here a replacement
// after the open is simply not seen; a replacement before it is judged whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cleaner/cleaner_settings.h"

namespace nvl::cleaner {

// Judges the executable at `settings->executablePath` and fills the settings' version texts.
// kCleanerOk, or kCleanerExecutableRefused (cannot be opened or read, signatures, version).
uint32_t checkExecutable(CleanerSettings* settings);

// Reads the version resource of the executable open on `fd` into the settings' version and
// special-build texts: the file version's major and minor number ("%u.%u"), and the
// "SpecialBuild" string of the first translation, cut at a character boundary to fit its field.
// A file without a resource (or without a translation, or the string) leaves the texts as they
// were.
void readExecutableVersion(int fd, CleanerSettings* settings);

// The length of the longest prefix of `text` of at most `limit` bytes that does not end inside
// a double-byte character of `codePage`.
size_t cutAtCharacter(std::string_view text, size_t limit, uint32_t codePage);

}  // namespace nvl::cleaner
