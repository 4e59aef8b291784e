// What the hot-fix page asks of an uploaded file before it goes anywhere near the server's own
// files: is it a sound file of its kind, and which version does it hold.
//
// Each kind is read by the reader the server itself uses for it:
//   - the scan engine's patterns (virus pattern, spyware pattern, white and black lists, the
//     engine's spyware pattern: kinds 0, 1, 6, 7, 9) by the scan engine MARLIN32.so, bound from
//     the page's own directory, which reads the whole file and checks both its checksums (the
//     library's getInternal_ptn reads the header alone and pauses a second after each failed
//     try, for files that may still be growing; an upload is complete, so a failure is final);
//   - the system cleaner (kind 2) by the cleaner library's acceptance check, the same one the
//     Components page shows, so a cleaner the library would refuse never becomes the package;
//   - the cleaner's patterns (kinds 3, 4) by the cleaner library's pattern reader;
//   - the spyware engine's pattern (kind 8) by the spyware engine through the library's facade,
//     initialised on the directory that holds the upload: a pattern the engine cannot load has
//     no version. Checking it here, rather than leaving it to the rebuild, keeps a damaged file
//     from replacing the server's pattern before anything notices.
// A reader that is not there (no scan engine beside the page, no spyware engine in the home's
// Engine directory) leaves the file unchecked, and the page places nothing.
#pragma once

#include <cstdint>
#include <string>

#include "hotfix_kinds.h"

namespace console {

struct HotfixCheck {
    enum class Verdict { Valid, Invalid, Unavailable };
    Verdict verdict = Verdict::Invalid;
    std::string version;  // the file's version as text, for the page and the comparisons
    uint64_t number = 0;  // generations: the internal version, which orders them
};

// Checks the file `name` in `directory` as a source of `kind`. `home` (ending in '/') locates
// the spyware engine.
HotfixCheck checkHotfixFile(const HotfixKind& kind, const std::string& directory,
                            const std::string& name, const std::string& home);

// For a generation kind: the highest internal version among the readable generations in the
// home directory, with its file's name; 0 when there is none.
uint32_t newestGeneration(const HotfixKind& kind, const std::string& home, std::string* name);

// The number the manifest records for a version text of `kind`: the rebuild announces the
// spyware engine's pattern "1.204" as 1204, every other number as it stands. Used to tell "the
// package holds this version already" from a failed rebuild.
std::string manifestNumber(const HotfixKind& kind, const std::string& version);

}  // namespace console
