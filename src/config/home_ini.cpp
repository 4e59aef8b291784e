// The server's home directory and the accessors of its INI files.
//
// The home directory is read afresh from the registry on every call and handed to the caller in
// the ANSI code page, with exactly one trailing '/'. The INI accessors are thin: they form the
// path (the caller's, or nvlscan.ini in the home directory) and pass names and values unchanged
// to the profile functions, which own every rule about the file itself.
//
// Limits: the home directory used for the default INI path is read into a 256-byte buffer, as
// it always was; when it does not fit, or cannot be read at all, the path is the bare name
// nvlscan.ini (which the profile functions look for in the system directory). Paths themselves
// are not cut to 255 characters: a longer explicit path is used as given.
//
// The trailing run of separators ('/' and '\\') is removed from the stored UTF-8 text, before it
// is converted to the ANSI code page: removed afterwards, a path ending in a double-byte
// character whose second byte is 0x5C would lose half of that character.
//
// getHomeDir fails (returns 0) rather than return a directory without its trailing '/' when the
// caller's buffer has no room for it: a caller appends file names to the result, and a missing
// separator would silently name a different file.
//
// Keys that belong together (a list with its count) are written by the library as one batch
// (writeINIStrings, config/home_ini.h), so that no reader sees half of them.
#include <cgishare/config.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/home_ini.h"
#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/profile.h"
#include "platform/registry.h"

namespace {

constexpr char kInformationKey[] = "SOFTWARE\\HaldenLabs\\Norvel\\service\\Information";
constexpr char kLocalPathValue[] = "Local_Path";
constexpr char kServerIniName[] = "nvlscan.ini";
constexpr size_t kPathBufferSize = 256;  // home directory read for the default INI path
constexpr size_t kIntTextSize = 256;     // an integer value read as text

}  // namespace

namespace nvl::config {

std::string iniPathFor(const char* iniPath) {
    if (iniPath != nullptr)
        return iniPath;
    char home[kPathBufferSize] = {};
    if (getHomeDir(home, sizeof home) == 0)
        home[0] = '\0';
    return std::string(home) + kServerIniName;
}

bool writeINIStrings(std::span<const sys::ProfileWrite> writes, const char* iniPath) {
    std::string path = iniPathFor(iniPath);
    return sys::writePrivateProfileStrings(writes, path.c_str());
}

}  // namespace nvl::config

int getHomeDir(char* buffer, unsigned long size) {
    using namespace nvl::sys;
    if (buffer == nullptr || size == 0)
        return 0;
    RegValue value;
    if (RegistryKey::getValue(RegHive::LocalMachine, kInformationKey, kLocalPathValue, &value) !=
        kSuccess)
        return 0;
    // The type is not checked: a value of another type is taken as the bytes it holds.
    bool isText = value.type == kRegSz || value.type == kRegExpandSz;
    std::string_view text(value.data.c_str());
    // The separators are stripped before the text goes to the ANSI code page: there a
    // backslash byte may be the second half of a double-byte character (0x5C in Shift-JIS).
    size_t end = text.find_last_not_of("/\\");
    text = text.substr(0, end == std::string_view::npos ? 0 : end + 1);
    // ASCII is the same bytes in every ANSI code page: only other text needs converting.
    std::string converted;
    if (isText && !std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; })) {
        converted = utf8ToAnsi(text);
        text = converted;
    }
    if (text.size() + 2 > size)
        return 0;
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '/';
    buffer[text.size() + 1] = '\0';
    return 1;
}

unsigned long getINIString(char* value, char* section, char* key, char* defaultValue,
                           unsigned long size, char* iniPath) {
    std::string path = nvl::config::iniPathFor(iniPath);
    uint32_t capacity = size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
    return nvl::sys::getPrivateProfileString(section, key, defaultValue, value, capacity,
                                             path.c_str());
}

int getINIint(char* section, char* key, int defaultValue, char* iniPath) {
    char fallback[kIntTextSize];
    std::snprintf(fallback, sizeof fallback, "%d", defaultValue);
    char text[kIntTextSize] = {};
    getINIString(text, section, key, fallback, sizeof text, iniPath);
    // The original's long held 32 bits: out-of-range numbers saturate there.
    long number = std::strtol(text, nullptr, 10);
    if (number > INT_MAX)
        return INT_MAX;
    if (number < INT_MIN)
        return INT_MIN;
    return static_cast<int>(number);
}

int writeINIString(char* section, char* key, char* value, char* iniPath) {
    std::string path = nvl::config::iniPathFor(iniPath);
    return nvl::sys::writePrivateProfileString(section, key, value, path.c_str()) ? 1 : 0;
}
