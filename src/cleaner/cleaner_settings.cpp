// The cleaner library's settings file, its version minimum and its executable's version texts;
// the records and their limits are set out in cleaner_settings.h.
//
// Settings file: every read is a private-profile read of QXC.INI with an empty default, so an
// absent file or key simply gives the defaults. Texts the library only hands to the tool
// (ExtraOutputs, the report, backup and debug directories) are read into 260-byte buffers and a
// longer value is cut there, as the tool reads them. The pattern directory and name, which the
// library opens, are read whole: one that does not fit its field (after the directory is made
// absolute) fails the load rather than name another file. Switches are read into a 2-byte
// buffer, so only their first character counts ("1x" is true), and only a key with a value
// changes them. DebugInfoLevel is kept only when it is 0 to 5.
#include "cleaner/cleaner_settings.h"

#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cleaner/cleaner.h"
#include "platform/codepage.h"
#include "platform/profile.h"

namespace nvl::cleaner {

namespace {

constexpr char kAdvancedSection[] = "advanced";
constexpr char kOptionsSection[] = "options";
constexpr size_t kSwitchBuffer = 2;
constexpr size_t kWholeValueBuffer = 4096;  // the pattern directory and name, read whole
constexpr int kMaxDebugInfoLevel = 5;
constexpr unsigned kMinimumMajor = 3;
constexpr unsigned kMinimumMinor = 5;

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

void readText(const char* section, const char* key, char (&field)[kTextField], const char* path) {
    sys::getPrivateProfileString(section, key, "", field, kTextField, path);
}

// The whole value, or false when it is too long to be read whole (it would be cut).
bool readWholeText(const char* section, const char* key, const char* path, std::string* out) {
    std::vector<char> buffer(kWholeValueBuffer);
    uint32_t length = sys::getPrivateProfileString(section, key, "", buffer.data(),
                                                   static_cast<uint32_t>(buffer.size()), path);
    if (length + 1 >= buffer.size())
        return false;
    out->assign(buffer.data(), length);
    return true;
}

void readSwitch(const char* section, const char* key, uint32_t* value, const char* path) {
    char text[kSwitchBuffer] = {};
    sys::getPrivateProfileString(section, key, "", text, sizeof text, path);
    if (text[0] != '\0')
        *value = text[0] == '1' ? 1 : 0;
}

// '\' becomes '/' (a path written for the original platform), skipping the second byte of a
// double-byte character, which may be 0x5C.
std::string withSlashes(std::string_view path) {
    std::string out(path);
    uint32_t codePage = sys::ansiCodePage();
    for (size_t i = 0; i < out.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        if (sys::isLeadByte(codePage, c))
            ++i;
        else if (c == '\\')
            out[i] = '/';
    }
    return out;
}

// A decimal number of at most five digits and no more than 65535.
bool parseVersionPart(std::string_view text, unsigned* out) {
    if (text.empty() || text.size() > 5)
        return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 0xFFFF)
        return false;
    *out = value;
    return true;
}

}  // namespace

bool setField(char (&field)[kTextField], std::string_view text) {
    if (text.size() >= kTextField || text.find('\0') != std::string_view::npos)
        return false;
    std::memcpy(field, text.data(), text.size());
    field[text.size()] = '\0';
    return true;
}

bool absolutePath(std::string_view path, std::string* out) {
    std::string full = withSlashes(path);
    if (full.empty() || full[0] != '/') {
        std::vector<char> cwd(4096);
        while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
            if (errno != ERANGE || cwd.size() >= (1u << 20))
                return false;
            cwd.resize(cwd.size() * 2);
        }
        std::string base = cwd.data();
        if (!isAscii(base))
            base = sys::utf8ToAnsi(base);
        full = base + "/" + full;
    }
    std::vector<std::string_view> parts;
    std::string_view rest = full;
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string result;
    for (std::string_view part : parts) {
        result += '/';
        result += part;
    }
    *out = result.empty() ? "/" : result;
    return true;
}

uint32_t loadSettingsFile(CleanerIniOptions* options) {
    CleanerSettings* settings = options->settings;
    const char* path = settings->settingsPath;

    readText(kAdvancedSection, "ExtraOutputs", options->extraOutputs, path);
    readSwitch(kAdvancedSection, "DisableConsoleOutput", &options->disableConsoleOutput, path);
    readSwitch(kAdvancedSection, "DisableReportOutput", &options->disableReportOutput, path);
    readSwitch(kAdvancedSection, "DisableDebugOutput", &options->disableDebugOutput, path);

    char level[kTextField] = {};
    readText(kAdvancedSection, "DebugInfoLevel", level, path);
    errno = 0;
    long number = std::strtol(level, nullptr, 10);
    if (errno == 0 && number >= 0 && number <= kMaxDebugInfoLevel)
        options->debugInfoLevel = static_cast<int32_t>(number);

    readText(kAdvancedSection, "ReportDir", options->reportDir, path);
    if (options->reportDir[0] == '\0')
        setField(options->reportDir, kDefaultReportDir);
    readSwitch(kOptionsSection, "BackupFile", &options->backupFile, path);
    readText(kOptionsSection, "BackupDir", options->backupDir, path);
    if (options->backupDir[0] == '\0')
        setField(options->backupDir, kDefaultBackupDir);
    readText(kOptionsSection, "DebugLogDir", options->debugLogDir, path);
    if (options->debugLogDir[0] == '\0')
        setField(options->debugLogDir, kDefaultDebugDir);
    readSwitch(kOptionsSection, "VirusMsgbox", &options->virusMsgbox, path);
    readSwitch(kOptionsSection, "NoneMsgbox", &options->noneMsgbox, path);

    std::string patternDir;
    if (!readWholeText(kOptionsSection, "PatternDir", path, &patternDir))
        return kCleanerSettingsFailed;
    if (patternDir.empty())
        patternDir = settings->libraryDir;
    std::string fullPatternDir;
    if (!absolutePath(patternDir, &fullPatternDir) ||
        !setField(options->fullPatternDir, fullPatternDir) ||
        !setField(settings->patternDir, fullPatternDir))
        return kCleanerSettingsFailed;

    std::string patternName;
    if (!readWholeText(kAdvancedSection, "PatternName", path, &patternName))
        return kCleanerSettingsFailed;
    if (patternName.empty())
        patternName = kDefaultPatternName;
    if (!setField(options->patternName, patternName) ||
        !setField(settings->patternName, patternName))
        return kCleanerSettingsFailed;
    return kCleanerOk;
}

bool versionMeetsMinimum(const char* versionText) {
    if (versionText == nullptr)
        return false;
    std::string_view text(versionText);
    size_t point = text.find('.');
    unsigned major = 0;
    unsigned minor = 0;
    if (point == std::string_view::npos || !parseVersionPart(text.substr(0, point), &major) ||
        !parseVersionPart(text.substr(point + 1), &minor))
        return false;
    return major > kMinimumMajor || (major == kMinimumMajor && minor >= kMinimumMinor);
}

}  // namespace nvl::cleaner
