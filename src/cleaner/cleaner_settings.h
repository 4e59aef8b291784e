// The cleaner library's records: its settings, the options of the tool's settings file
// QXC.INI, and what the library reads of its executable.
//
// Texts are kept in 260-byte fields, as the tool's own records hold them: a text fits when it
// has at most 259 characters, so that its NUL fits too. A path that would not fit is refused
// (kCleanerInvalidArgument): cut, it would name another file. Only the executable's
// special-build text, which names nothing, is cut to fit (at a character boundary of the ANSI
// code page).
//
// Paths are server paths of this system: '/' joins the library directory and its files, and
// the pattern directory of the settings file is made absolute against the current directory
// ("." and ".." resolved by their names, as the original's full-path call did). Every text is in
// the ANSI code page; the file system's names are reached through sys::serverFilePath.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nvl::cleaner {

constexpr size_t kTextField = 260;

// Copies `text` into a 260-byte field. False, leaving the field as it was, when it does not fit
// with its NUL.
bool setField(char (&field)[kTextField], std::string_view text);

// The process-wide settings of the open library.
struct CleanerSettings {
    char libraryDir[kTextField] = {};
    char patternDir[kTextField] = {};
    char patternName[kTextField] = {};
    char executablePath[kTextField] = {};
    char patternVersion[kTextField] = {};
    char executableVersion[kTextField] = {};  // "major.minor", empty without a version resource
    char specialBuild[kTextField] = {};       // read for the console; not used by the library
    char settingsPath[kTextField] = {};       // <library directory>/QXC.INI
    uint32_t reserved[2] = {};
};

// The values read from QXC.INI. Booleans are 0 or 1.
struct CleanerIniOptions {
    CleanerSettings* settings = nullptr;
    char extraOutputs[kTextField] = {};
    char reportDir[kTextField] = {};
    char backupDir[kTextField] = {};
    char debugLogDir[kTextField] = {};
    char fullPatternDir[kTextField] = {};
    char patternName[kTextField] = {};
    uint32_t disableConsoleOutput = 0;
    uint32_t disableReportOutput = 0;
    uint32_t disableDebugOutput = 0;
    uint32_t backupFile = 0;
    uint32_t virusMsgbox = 0;
    uint32_t noneMsgbox = 0;
    int32_t debugInfoLevel = 0;
};

// The settings file's vocabulary.
inline constexpr char kDefaultSettingsFile[] = ".\\qxc.ini";  // not used: QXC.INI is read
inline constexpr char kSettingsFileName[] = "QXC.INI";
inline constexpr char kDefaultExecutableName[] = "QXC.EXE";
inline constexpr char kDefaultPatternName[] = "qxc.ptn";
inline constexpr char kSpywarePatternName[] = "hladce.ptn";
inline constexpr char kDefaultDebugDir[] = "debug";
inline constexpr char kDefaultBackupDir[] = "backup";
inline constexpr char kDefaultReportDir[] = "report";

// Loads `options->settings->settingsPath` into `options` (every value read afresh; a missing
// file or key gives the defaults) and sets the settings' pattern directory and name.
// kCleanerOk, or kCleanerSettingsFailed when the pattern directory cannot be made absolute
// within its field (no current directory, or too long).
uint32_t loadSettingsFile(CleanerIniOptions* options);

// `path` made absolute against the current directory, with "." and ".." components and
// repeated separators resolved by name. False when the current directory cannot be read.
bool absolutePath(std::string_view path, std::string* out);

// Whether the executable's version text is at least 3.5: "major.minor" of decimal numbers,
// compared as numbers (3.10 and 10.0 are newer than 3.5). Anything else, the empty text of an
// executable without a version resource included, is not.
bool versionMeetsMinimum(const char* versionText);

}  // namespace nvl::cleaner
