// The current pattern file of a kind, chosen by the internal versions the scan engine reads;
// what the calls promise is set out in <cgishare/component_info.h>.
//
// Design:
//   - One narrow core serves both forms. File names are bytes of the ANSI code page, the
//     engine takes narrow paths, and the server directory comes from getHomeDir in that code
//     page; the UTF-16 form converts the one path it reports, not every candidate.
//   - Each candidate is asked once, without retries: a file the engine cannot read is not the
//     current pattern now, and a service told about an older complete file loses nothing.
//   - A path that does not fit the caller's buffer is reported as none (version 0, empty
//     path). A cut path was once left unterminated, or could name another file; a caller
//     writes this path into the services' settings, where a wrong file is worse than none.
//   - Traces are UTF-16, as this module always traced.
#include <cgishare/component_info.h>
#include <cgishare/config.h>
#include <cgishare/trace.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/marlin.h"
#include "platform/codepage.h"
#include "platform/dir_search.h"
#include "platform/error.h"
#include "platform/paths.h"
#include "trace/trace_sources.h"

#define COMPONENT_TRACE(level, ...) \
    DebugTraceW(level, nvl::trace::kComponentInfoSource, __LINE__, __VA_ARGS__)

namespace {

namespace sys = nvl::sys;

constexpr size_t kServerDirectorySize = 261;  // 260 characters and the NUL

enum class Outcome { kNoCandidate, kFound };

// The highest internal version among the candidates of `componentType` and the full path of the
// file that has it ("" with version 0 when none could be read).
Outcome currentComponent(int componentType, uint32_t* version, std::string* path) {
    COMPONENT_TRACE(8, u"==> getCurrentComponentVer nComponentType = %d", componentType);
    *version = 0;
    path->clear();
    char directory[kServerDirectorySize];
    if (getHomeDir(directory, sizeof directory) == 0) {
        COMPONENT_TRACE(5, u"getCurrentComponentVer: no server directory");
        return Outcome::kNoCandidate;
    }
    const char* pattern = componentType == 0   ? "sig$vpf.*"
                          : componentType == 1 ? "hlaptn.*"
                                               : nullptr;
    if (pattern == nullptr)
        return Outcome::kNoCandidate;
    std::string search = std::string(directory) + pattern;
    std::vector<sys::FoundFile> found;
    if (sys::findFiles(search, &found) != sys::kSuccess || found.empty()) {
        COMPONENT_TRACE(5, u"Can not find file %s", sys::ansiToWide(search).c_str());
        return Outcome::kNoCandidate;
    }
    const nvl::engine::Marlin* engine = nvl::engine::marlin();
    if (engine == nullptr) {
        COMPONENT_TRACE(2, u"getCurrentComponentVer: MARLIN32 not available (%u)",
                        static_cast<unsigned>(sys::lastError()));
        return Outcome::kFound;
    }
    std::string base = sys::resolvePath(directory);
    std::string candidate;
    for (const sys::FoundFile& file : found) {
        candidate.assign(base).append(file.name);
        uint32_t value = 0;
        uint16_t other = 0;
        if (engine->getPatternInternalVersion(candidate.c_str(), &value, &other) != 0)
            continue;  // unreadable: counts as 0, never chosen
        if (value > *version) {
            *version = value;
            *path = candidate;
        }
    }
    return Outcome::kFound;
}

}  // namespace

int getCurrentComponentVer(int componentType, unsigned int* version, char16_t* path,
                           unsigned int pathSize) {
    if (version == nullptr || path == nullptr)
        return 0;
    uint32_t best = 0;
    std::string narrow;
    Outcome outcome = currentComponent(componentType, &best, &narrow);
    *version = 0;
    if (outcome == Outcome::kNoCandidate)
        return 0;
    std::u16string wide = sys::ansiToWide(narrow);
    if (wide.size() < pathSize) {
        std::memcpy(path, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
        *version = best;
    } else if (pathSize > 0) {
        COMPONENT_TRACE(5, u"getCurrentComponentVer: path does not fit (%u) %s", pathSize,
                        wide.c_str());
        path[0] = u'\0';
    }
    return 1;
}

int getCurrentComponentVerA(int componentType, unsigned int* version, char* path, int pathSize) {
    if (version == nullptr || path == nullptr)
        return 0;
    uint32_t best = 0;
    std::string narrow;
    Outcome outcome = currentComponent(componentType, &best, &narrow);
    *version = 0;
    if (outcome == Outcome::kNoCandidate)
        return 0;
    if (pathSize > 0 && narrow.size() < static_cast<size_t>(pathSize)) {
        std::memcpy(path, narrow.c_str(), narrow.size() + 1);
        *version = best;
    } else if (pathSize > 0) {
        COMPONENT_TRACE(5, u"getCurrentComponentVer: path does not fit (%d) %hs", pathSize,
                        narrow.c_str());
        path[0] = '\0';
    }
    return 1;
}
