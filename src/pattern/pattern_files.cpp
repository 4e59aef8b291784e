// Pattern files, versions and deletion; engine package versions; quarantine paths. What the
// calls promise is set out in <cgishare/pattern_files.h>.
//
// Design:
//   - Files are always reached by the names the directory search found. An earlier design
//     listed files, kept only their numbers and formatted names from the numbers again, so
//     "hlf007.ptn" became "hlf7.ptn": the old file stayed, or a different one was deleted. A
//     name whose number is not plain digits fitting an int (ptn_atoi would wrap it) is no
//     generation at all, so no listing ever holds two files for one wrapped number.
//   - Paths stay inside the library. The caller's version buffers receive numbers, never a
//     full path "for a moment", which under a long directory ran past their 260 bytes.
//   - The listing has no cap: a directory left with thousands of generations is cleaned up in
//     one call instead of 1024 at a time.
//   - Whether a file is a usable pattern is the engine's answer alone. A file being copied in
//     has a header that promises more bytes than the file holds, the engine refuses it, and so
//     it is neither current nor deleted (the engine deletes only what it can read).
//   - The engine is bound once per process (engine/marlin.h). When it is missing every call
//     here fails at once, traced, without the retry pauses, which are for a file that may
//     still be growing and not for a library that is not there.
//   - The one-second pause between failed reads of an internal version is a process-wide
//     setting that tests shorten (pattern_files_testing.h).
#include <cgishare/config.h>
#include <cgishare/pattern_files.h>
#include <cgishare/trace.h>
#include <cgishare/validation.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "engine/marlin.h"
#include "pattern/pattern_files_internal.h"
#include "pattern/pattern_files_testing.h"
#include "platform/dir_search.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "trace/trace_sources.h"

#define DELETE_TRACE(level, ...) \
    DebugTraceA(level, nvl::trace::kDeletePtnFileSource, __LINE__, __VA_ARGS__)
#define SHARE_TRACE(level, ...) DebugTraceA(level, nvl::trace::kShareSource, __LINE__, __VA_ARGS__)

namespace nvl::pattern {

namespace {

constexpr size_t kPathBuffer = 260;  // the original's path buffers, NUL included
constexpr int kGenerationsKept = 5;
constexpr int kVersionAttempts = 6;
constexpr char kVirusStem[] = "sig$vpf";
constexpr size_t kVirusStemLength = sizeof kVirusStem - 1;

std::atomic<unsigned> g_pauseMs{1000};

// `dir` with its trailing '/', or the home directory when `dir` is null or empty; "" when the
// home directory cannot be read.
std::string directoryOrHome(const char* dir) {
    if (dir != nullptr && dir[0] != '\0') {
        std::string directory = dir;
        if (directory.back() != '/')
            directory += '/';
        return directory;
    }
    char home[kPathBuffer];
    return getHomeDir(home, sizeof home) != 0 ? std::string(home) : std::string();
}

const engine::Marlin* engineFor(const char* function) {
    const engine::Marlin* engine = engine::marlin();
    if (engine == nullptr)
        SHARE_TRACE(2, "[%s] MARLIN32 not available (%u)", function,
                    static_cast<unsigned>(sys::lastError()));
    return engine;
}

const char* stemOf(int kind) {
    switch (kind) {
        case 0:
            return kVirusStem;
        case 6:
            return "hlwhite";
        case 7:
            return "hlblack";
        case 9:
            return "tkaptn";
        default:
            return "hlaptn";
    }
}

// Kinds the engine deletes: their stems and trace names, in the order they are tested.
struct EngineKind {
    int kind;
    const char* stem;  // null: the virus pattern
    const char* traceName;
};
constexpr EngineKind kEngineKinds[] = {
    {0, nullptr, "PTN_VIRUS"},
    {1, "hlaptn", "PTN_SPYWARE"},
    {9, "tkaptn", "PTN_HLA_TKA"},
    {6, "hlwhite", "PTN_HEXLOCK_WHITELIST"},
    {7, "hlblack", "PTN_HEXLOCK_BLACKLIST"},
};

// The digits of a kind-5 name "hlf<digits>.ptn", or false for any other name.
bool kind5Digits(std::string_view name, std::string_view* digits) {
    constexpr std::string_view kPrefix = "hlf";
    constexpr std::string_view kSuffix = ".ptn";
    if (name.size() < kPrefix.size() + kSuffix.size() ||
        ::strncasecmp(name.data(), kPrefix.data(), kPrefix.size()) != 0 ||
        ::strncasecmp(name.data() + name.size() - kSuffix.size(), kSuffix.data(), kSuffix.size()) !=
            0)
        return false;
    *digits = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
    return true;
}

// The extension of a virus pattern name "sig$vpf.<ext>", or false.
bool virusExtension(std::string_view name, std::string_view* extension) {
    if (name.size() <= kVirusStemLength || name[kVirusStemLength] != '.')
        return false;
    *extension = name.substr(kVirusStemLength + 1);
    return true;
}

}  // namespace

void setInternalVersionPauseForTesting(unsigned milliseconds) {
    g_pauseMs.store(milliseconds, std::memory_order_relaxed);
}

bool generationNumber(std::string_view digits, int32_t* number) {
    if (digits.empty())
        return false;
    int64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
        if (value > INT32_MAX)
            return false;
    }
    *number = static_cast<int32_t>(value);
    return true;
}

std::vector<PatternFile> getPatternFilesVersion(const std::string& directory, int kind) {
    std::vector<PatternFile> files;
    if (kind != 5)
        return files;
    std::vector<sys::FoundFile> found;
    if (sys::findFiles(directory + "hlf*.ptn", &found) != sys::kSuccess)
        return files;
    for (const sys::FoundFile& file : found) {
        std::string_view digits;
        int32_t number = 0;
        if (!kind5Digits(file.name, &digits) || !generationNumber(digits, &number)) {
            DELETE_TRACE(5, "[P1K] getPatternFilesVersion( ) %s is no pattern generation",
                         file.name.c_str());
            continue;
        }
        DELETE_TRACE(5,
                     "[P1K] getPatternFilesVersion( ) PtnInfo[%d] = PTNFILE_%d (%u), filename = %s",
                     static_cast<int>(files.size()), number, static_cast<unsigned>(number),
                     file.name.c_str());
        files.push_back({file.name, number});
    }
    std::stable_sort(files.begin(), files.end(), [](const PatternFile& a, const PatternFile& b) {
        return a.number > b.number;
    });
    return files;
}

void deletePtnAndZipFile(const std::string& directory, const std::vector<PatternFile>& files,
                         int /*kind*/) {
    std::string base = sys::resolvePath(directory);
    for (size_t i = kGenerationsKept; i < files.size(); ++i) {
        std::string path = base + files[i].name;
        DELETE_TRACE(6, "[deletePtnAndZipFile] %s.", path.c_str());
        if (sys::fileOps().unlink(path.c_str()) != 0)
            DELETE_TRACE(6, "[deletePtnAndZipFile][DeleteFile] failed(%d)",
                         static_cast<int>(sys::errnoToError(errno)));
    }
}

bool readInternalVersion(const std::string& path, uint32_t* version) {
    SHARE_TRACE(5, "[getInternal_ptn] lpPtnFame = %s", path.c_str());
    const engine::Marlin* engine = engineFor("getInternal_ptn");
    if (engine == nullptr)
        return false;
    for (int attempt = 0; attempt < kVersionAttempts; ++attempt) {
        uint32_t value = 0;
        uint16_t other = 0;
        int32_t result = engine->getPatternInternalVersion(path.c_str(), &value, &other);
        if (result == 0) {
            *version = value;
            SHARE_TRACE(5, "[getInternal_ptn] InternalVer = %u", static_cast<unsigned>(value));
            return true;
        }
        SHARE_TRACE(5,
                    "[getInternal_ptn] MrGetPatternInternalVersion Failed! ret = %d. Sleep 1 sec "
                    "and try again.",
                    static_cast<int>(result));
        unsigned pause = g_pauseMs.load(std::memory_order_relaxed);
        if (pause != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    }
    return false;
}

bool chooseVirusPatterns(const char* directory, VirusPatternChoice* choice) {
    *choice = VirusPatternChoice{};
    std::string base = directoryOrHome(directory);
    if (base.empty())
        return false;
    std::vector<sys::FoundFile> found;
    if (sys::findFiles(base + kVirusStem + ".*", &found) != sys::kSuccess || found.empty())
        return false;
    if (engineFor("getInternal_ptn") == nullptr)
        return false;
    std::string resolved = sys::resolvePath(base);
    uint32_t best = 0;
    uint32_t second = 0;
    for (const sys::FoundFile& file : found) {
        std::string_view extension;
        int32_t number = 0;
        if (!virusExtension(file.name, &extension) || !generationNumber(extension, &number))
            continue;
        std::string path = resolved + file.name;
        uint32_t version = 0;
        bool read = readInternalVersion(path, &version);
        if (read)
            SHARE_TRACE(5, "[P1K] getPtnFileVersion( ) buf = %u", static_cast<unsigned>(version));
        else
            SHARE_TRACE(5, "[P1K] getPtnFileVersion( ) buf = ");
        if (version > best) {
            if (best != 0) {
                choice->previous = choice->current;
                choice->previousPath = choice->currentPath;
                choice->previousVersion = best;
                choice->hasPrevious = true;
                second = best;
            }
            best = version;
            choice->current = {file.name, number};
            choice->currentPath = path;
            choice->currentVersion = version;
        } else if (version > second) {
            second = version;
            choice->previous = {file.name, number};
            choice->previousPath = path;
            choice->previousVersion = version;
            choice->hasPrevious = true;
        }
    }
    return best != 0;
}

}  // namespace nvl::pattern

using nvl::pattern::PatternFile;

namespace {

void clearText(char* text) {
    if (text != nullptr)
        *text = '\0';
}

// The display text of a file's creation date into `date` (skipped when null).
void createDate(const std::string& path, char* date) {
    if (date == nullptr)
        return;
    std::string copy = path;
    GetFileCreateDate(copy.data(), date);
}

}  // namespace

void deletePtnFile(char* dir, int kind) {
    if (dir == nullptr || dir[0] == '\0')
        return;
    std::string directory = dir;
    if (directory.back() != '/')
        directory += '/';
    for (const auto& engineKind : nvl::pattern::kEngineKinds) {
        if (engineKind.kind != kind)
            continue;
        const nvl::engine::Marlin* engine = nvl::pattern::engineFor("deletePtnFile");
        if (engine == nullptr)
            return;
        int32_t result = engine->deleteUnusedPattern(directory.c_str(), engineKind.stem,
                                                     nvl::pattern::kGenerationsKept);
        DELETE_TRACE(5, "[deletePtnFile] MrDeleteUnusedPattern %s (%d) return %d",
                     engineKind.traceName, nvl::pattern::kGenerationsKept,
                     static_cast<int>(result));
        return;
    }
    std::vector<PatternFile> files = nvl::pattern::getPatternFilesVersion(directory, kind);
    DELETE_TRACE(5, "[deletePtnFile]numPtnFiles(%d)", static_cast<int>(files.size()));
    if (files.size() > static_cast<size_t>(nvl::pattern::kGenerationsKept)) {
        DELETE_TRACE(5, "More than 5 pattern files were found.");
        nvl::pattern::deletePtnAndZipFile(directory, files, kind);
    }
}

void getInternal_ptn(char* ext, char* out, char* dir, int kind) {
    if (ext == nullptr || out == nullptr)
        return;
    if (std::strpbrk(ext, "/\\") != nullptr) {
        SHARE_TRACE(5, "[getInternal_ptn] refused extension %s", ext);
        return;
    }
    std::string directory = nvl::pattern::directoryOrHome(dir);
    if (directory.empty()) {
        SHARE_TRACE(5, "[getInternal_ptn] no home directory");
        return;
    }
    std::string path = nvl::sys::resolvePath(directory + nvl::pattern::stemOf(kind) + "." + ext);
    uint32_t version = 0;
    if (nvl::pattern::readInternalVersion(path, &version))
        std::snprintf(out, 11, "%u", static_cast<unsigned>(version));
}

int getPtnFileVersion(char* curVersion, char* curDate, char* prevVersion, char* prevDate,
                      char* dir) {
    for (char* text : {curVersion, curDate, prevVersion, prevDate})
        clearText(text);
    nvl::pattern::VirusPatternChoice choice;
    if (!nvl::pattern::chooseVirusPatterns(dir, &choice))
        return 0;
    SHARE_TRACE(5, "[P1K] getPtnFileVersion( ) _current_version = %s", choice.currentPath.c_str());
    if (curVersion != nullptr)
        std::snprintf(curVersion, 12, "%d", static_cast<int>(choice.current.number));
    createDate(choice.currentPath, curDate);
    if (!choice.hasPrevious) {
        // One generation only: the previous one is the current one.
        if (prevVersion != nullptr)
            std::snprintf(prevVersion, 12, "%d", static_cast<int>(choice.current.number));
        createDate(choice.currentPath, prevDate);
        return 1;
    }
    SHARE_TRACE(5, "[P1K] getPtnFileVersion( ) _prev_version = %s", choice.previousPath.c_str());
    if (prevVersion != nullptr)
        std::snprintf(prevVersion, 12, "%u", static_cast<unsigned>(choice.previous.number));
    createDate(choice.previousPath, prevDate);
    return 1;
}

namespace {

// One platform's engine package: its version keys and package files.
struct EnginePackage {
    const char* currentKey;
    const char* package;  // under the home directory
    const char* previousKey;
    const char* previousPackage;
};

constexpr size_t kVersionValueSize = 261;  // 260 characters and the NUL

// The modification date of <home><package> into `date`; the empty text when the home
// directory cannot be read or the path would not fit the original's 260-byte buffer (a cut
// path would name another file).
void packageDate(const char* package, char* date) {
    char home[nvl::pattern::kPathBuffer];
    std::string path;
    if (getHomeDir(home, sizeof home) != 0)
        path = std::string(home) + package;
    if (path.empty() || path.size() >= nvl::pattern::kPathBuffer) {
        *date = '\0';
        return;
    }
    GetFileModifyDate(path.data(), date);
}

int engineFileVersion(const EnginePackage& engine, char* curVersion, char* curDate,
                      char* prevVersion, char* prevDate) {
    char currentSection[] = "INI_PROGRAM_VERSION_SECTION";
    char previousSection[] = "INI_ROLLBACK_SECTION";
    char empty[] = "";
    std::string currentKey = engine.currentKey;
    std::string previousKey = engine.previousKey;

    int result = 1;
    char current[kVersionValueSize] = {};
    getINIString(current, currentSection, currentKey.data(), empty, sizeof current, nullptr);
    char previous[kVersionValueSize] = {};
    getINIString(previous, previousSection, previousKey.data(), empty, sizeof previous, nullptr);
    if (current[0] == '\0')
        result = 0;  // the current outputs say so rather than keep what they held

    // The version and date of one package, or empty texts for a version that is empty.
    auto fill = [](const char* version, const char* package, char* versionOut, char* dateOut) {
        if (versionOut != nullptr)
            std::strcpy(versionOut, version);
        if (dateOut == nullptr)
            return;
        if (version[0] == '\0')
            *dateOut = '\0';
        else
            packageDate(package, dateOut);
    };
    fill(current, engine.package, curVersion, curDate);
    // No previous version: the previous outputs repeat the current ones.
    if (previous[0] == '\0')
        fill(current, engine.package, prevVersion, prevDate);
    else
        fill(previous, engine.previousPackage, prevVersion, prevDate);
    return result;
}

constexpr EnginePackage kEngineNT = {"EngineNT_Version", "Download/hlengNT.zip",
                                     "RollBack_Previous_NT_Engine",
                                     "Download/Rollback/hlengNT.zip"};
constexpr EnginePackage kEngineIA64 = {"EngineIA64_Version", "Download/hlengIA64.zip",
                                       "RollBack_Previous_IA64_Engine",
                                       "Download/Rollback/hlengIA64.zip"};
constexpr EnginePackage kEngineX64 = {"EngineX64_Version", "Download/hlengX64.zip",
                                      "RollBack_Previous_X64_Engine",
                                      "Download/Rollback/hlengX64.zip"};
constexpr EnginePackage kEngine95 = {"Engine95_Version", "Download/hleng95.zip",
                                     "RollBack_Previous_WIN95_Engine",
                                     "Download/Rollback/hleng95.zip"};

bool startsWithHttp(const char* path) {
    return ::strncasecmp(path, "http://", 7) == 0;
}

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

int getNTEngineFileVersion(char* curVersion, char* curDate, char* prevVersion, char* prevDate) {
    return engineFileVersion(kEngineNT, curVersion, curDate, prevVersion, prevDate);
}

int getIA64EngineFileVersion(char* curVersion, char* curDate, char* prevVersion, char* prevDate) {
    return engineFileVersion(kEngineIA64, curVersion, curDate, prevVersion, prevDate);
}

int getX64EngineFileVersion(char* curVersion, char* curDate, char* prevVersion, char* prevDate) {
    return engineFileVersion(kEngineX64, curVersion, curDate, prevVersion, prevDate);
}

int get95EngineFileVersion(char* curVersion, char* curDate, char* prevVersion, char* prevDate) {
    return engineFileVersion(kEngine95, curVersion, curDate, prevVersion, prevDate);
}

int ChkQuarantinePath(char* path) {
    if (path == nullptr)
        return 0;
    if (startsWithHttp(path)) {
        // Scheme and host only: the rest of a URL is no part of where quarantined files go.
        if (char* slash = std::strchr(path + 7, '/'))
            *slash = '\0';
        return 1;
    }
    if (path[0] == '\\' && path[1] == '\\')
        return 1;
    return isAsciiLetter(path[0]) && path[1] == ':' && path[2] == '\\' ? 1 : 0;
}
