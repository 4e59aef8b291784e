// The component version records: the readers of [INI_PROGRAM_VERSION_SECTION].
//
// All eight readers are one routine over a table of key prefixes. A date is read into a work
// buffer and turned into the display text by converDateString, which refuses anything but a
// 14-digit stamp; a version goes straight into the caller's buffer. The order of the reads is
// the original's (client date, client version, engine date, engine version), which only matters
// to someone watching the file change between them. Null outputs are skipped, so a page that
// shows only the engine may pass null for the client.
#include <string>

#include "cgishare/config.h"
#include "cgishare/validation.h"
#include "cgishare/versions.h"

namespace {

constexpr unsigned long kOutputSize = 256;

void readKey(const std::string& key, char* out) {
    char section[] = "INI_PROGRAM_VERSION_SECTION";
    char empty[] = "";
    std::string name = key;
    getINIString(out, section, name.data(), empty, kOutputSize, nullptr);
}

void readDate(const std::string& key, char* date) {
    if (date == nullptr)
        return;
    char stamp[kOutputSize] = {};
    readKey(key, stamp);
    converDateString(stamp, date, 0);
}

void readVersion(const std::string& key, char* version) {
    if (version != nullptr)
        readKey(key, version);
}

// <name>_Last_Update into `date`, then <name>_Version into `version`.
void readComponent(const char* name, char* version, char* date) {
    readDate(std::string(name) + "_Last_Update", date);
    readVersion(std::string(name) + "_Version", version);
}

}  // namespace

void getNTVersion(char* clientVersion, char* clientDate, char* engineVersion, char* engineDate) {
    readComponent("VdxNT", clientVersion, clientDate);
    readComponent("EngineNT", engineVersion, engineDate);
}

void getWin95Version(char* clientVersion, char* clientDate, char* engineVersion, char* engineDate) {
    readComponent("Vdx95", clientVersion, clientDate);
    readComponent("Engine95", engineVersion, engineDate);
}

void getWin16Version(char* clientVersion, char* clientDate, char* engineVersion, char* engineDate) {
    readComponent("Vdxw16", clientVersion, clientDate);
    readComponent("Engine31", engineVersion, engineDate);
}

void getX64Version(char* clientVersion, char* clientDate, char* engineVersion, char* engineDate) {
    readComponent("VdxX64", clientVersion, clientDate);
    readComponent("EngineX64", engineVersion, engineDate);
}

void getIA64Version(char* clientVersion, char* clientDate, char* engineVersion, char* engineDate) {
    readComponent("VdxIA64", clientVersion, clientDate);
    readComponent("EngineIA64", engineVersion, engineDate);
}

void getMiscVersion(char* version, char* date) {
    readComponent("Program", version, date);
}

void getPfwNTVersion(char* version, char* date) {
    readComponent("CFWEngNT", version, date);
}

void getPatternDate(char* date) {
    readDate("Pattern_Last_Update", date);
}
