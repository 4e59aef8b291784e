// The paths of the server's database tables: getDBFile and getNvlDBFile.
//
// Every path comes from [INI_DBFILE_SECTION] of one nvlscan.ini through getINIString, read
// afresh at each call. Three tables have no default of their own and live beside another table
// (CXData and NTData beside CIData, VCLog beside MSLog). That other table is always read from
// the home directory's nvlscan.ini, whatever file the caller named: the server's tables live
// beside the server's own client table, and callers that name another file rely on that.
//
// The defaults are the original's paths on drive C, mapped once to this system
// (mapDriveCPath); a stored path is handed out byte for byte, in whatever form it was written.
// Cutting a stored path at its directory goes by characters of the ANSI code page, so the second
// byte of a double-byte character (0x5C in Shift-JIS) is never taken for a backslash.
//
// Buffers: the original wrote the derived path, and formed the INI path, without looking at
// the room it had. Here a path is only ever handed out whole: one that does not fit gives the
// empty text, since a cut path would name another file.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "cgishare/config.h"
#include "cgishare/dbfile.h"
#include "cgishare/pattern_files.h"
#include "platform/codepage.h"
#include "platform/paths.h"

namespace {

constexpr char kSection[] = "INI_DBFILE_SECTION";
constexpr char kServerIniName[] = "nvlscan.ini";
constexpr size_t kIniPathLimit = 255;  // characters of the INI path, as the original allowed
constexpr size_t kLongestPath = 4096;  // PATH_MAX: no longer stored value can name a file

struct Table {
    const char* key;
    const char* defaultPath;  // on the original's drive C; null: derived
    DataBaseType besideOf;    // for a derived table: the table it lives beside
    const char* fileName;     // for a derived table: its file name
};

constexpr Table kTables[] = {
    {"CIData", "c:\\Temp\\dBCIData.dbf", DB_CI_DATA, nullptr},
    {"CEData", "c:\\Temp\\dBCEData.dbf", DB_CI_DATA, nullptr},
    {"CXData", nullptr, DB_CI_DATA, "dBCXData.dbf"},
    {"NTData", nullptr, DB_CI_DATA, "dBNTData.dbf"},
    {"MSCfg", "c:\\Temp\\dBMSCfg.dbf", DB_CI_DATA, nullptr},
    {"PSCfg", "c:\\Temp\\dBPSCfg.dbf", DB_CI_DATA, nullptr},
    {"RTCfg", "c:\\Temp\\dBRTCfg.dbf", DB_CI_DATA, nullptr},
    {"SNCfg", "c:\\Temp\\dBSNCfg.dbf", DB_CI_DATA, nullptr},
    {"EFCfg", "c:\\Temp\\dBEFCfg.dbf", DB_CI_DATA, nullptr},
    {"MSLog", "c:\\Temp\\dBMSLog.dbf", DB_CI_DATA, nullptr},
    {"PSLog", "c:\\Temp\\dBPSLog.dbf", DB_CI_DATA, nullptr},
    {"RTLog", "c:\\Temp\\dBRTLog.dbf", DB_CI_DATA, nullptr},
    {"SNLog", "c:\\Temp\\dBSNLog.dbf", DB_CI_DATA, nullptr},
    {"TempDB", "c:\\dbtemp.dbf", DB_CI_DATA, nullptr},
    {"VCLog", nullptr, DB_MS_LOG, "dBVCLog.dbf"},
};

// The value of `key` (or `fallback` when it is absent), whole; false when it is longer than
// `limit` characters.
bool readPath(const char* key, const std::string& fallback, size_t limit, char* iniPath,
              std::string* out) {
    size_t capacity = std::min(limit, kLongestPath) + 1;
    std::vector<char> buffer(capacity + 1);  // one more: a value of `capacity` characters is cut
    std::string section = kSection, name = key, dflt = fallback;
    unsigned long n = getINIString(buffer.data(), section.data(), name.data(), dflt.data(),
                                   buffer.size(), iniPath);
    if (n >= capacity)
        return false;
    out->assign(buffer.data(), n);
    return true;
}

// The length of `path` up to and including its last '/' or '\', whole characters of the ANSI
// code page; 0 when it has neither.
size_t directoryLength(const std::string& path) {
    uint32_t codePage = nvl::sys::ansiCodePage();
    size_t length = 0;
    for (size_t i = 0; i < path.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        if (nvl::sys::isLeadByte(codePage, c) && i + 1 < path.size()) {
            ++i;
        } else if (c == '/' || c == '\\') {
            length = i + 1;
        }
    }
    return length;
}

// The path of table `type`, or false when it does not fit `limit` characters.
bool tablePath(DataBaseType type, size_t limit, char* iniPath, std::string* out) {
    const Table& table = kTables[type];
    if (table.defaultPath != nullptr)
        return readPath(table.key, nvl::sys::mapDriveCPath(table.defaultPath), limit, iniPath, out);
    if (!readPath(table.key, "", limit, iniPath, out))
        return false;
    if (!out->empty())
        return true;
    std::string neighbour;
    const Table& beside = kTables[table.besideOf];
    // The neighbour itself may be longer than the result may be: only the directory counts.
    if (!readPath(beside.key, nvl::sys::mapDriveCPath(beside.defaultPath), kLongestPath, nullptr,
                  &neighbour))
        return false;
    size_t directory = directoryLength(neighbour);
    std::string derived =
        directory != 0 ? neighbour.substr(0, directory) : nvl::sys::mapDriveCPath("c:\\Temp\\");
    derived += table.fileName;
    if (derived.size() > limit)
        return false;
    *out = std::move(derived);
    return true;
}

}  // namespace

void getDBFile(char* path, int size, DataBaseType type, char* iniPath) {
    if (path == nullptr || size <= 0)
        return;
    path[0] = '\0';
    if (type < DB_CI_DATA || type > DB_VC_LOG)
        return;
    std::string result;
    if (tablePath(type, static_cast<size_t>(size) - 1, iniPath, &result))
        std::memcpy(path, result.c_str(), result.size() + 1);
}

NvlDBFileCodeBase* getNvlDBFile(DataBaseType type, char* directory) {
    auto* file = new (std::nothrow) NvlDBFileCodeBase{"", {}, 1};
    if (file == nullptr)
        return nullptr;
    if (directory == nullptr) {
        getDBFile(file->path, sizeof file->path, type, nullptr);
        return file;
    }
    std::string iniPath = directory;
    if (!iniPath.empty() && directoryLength(iniPath) != iniPath.size())
        iniPath += '/';
    iniPath += kServerIniName;
    // The original's INI path held 255 characters; a longer one names another file when cut.
    if (iniPath.size() <= kIniPathLimit)
        getDBFile(file->path, sizeof file->path, type, iniPath.data());
    return file;
}

namespace {

constexpr char kFilterSection[] = "INI_FILTER_SECTION";
constexpr char kVersionSection[] = "INI_PROGRAM_VERSION_SECTION";

template <size_t N>
void readText(const char* section, const char* key, unsigned long capacity, char (&out)[N]) {
    std::string sectionName = section, name = key, none;
    static_assert(N > 0);
    out[0] = '\0';
    getINIString(out, sectionName.data(), name.data(), none.data(),
                 std::min<unsigned long>(capacity, N), nullptr);
}

int readNumber(const char* key, int fallback) {
    std::string section = kFilterSection, name = key;
    return getINIint(section.data(), name.data(), fallback, nullptr);
}

// A caller's bound into a 64-character field: false when it is missing or does not fit (a cut
// bound would select other clients than asked).
template <size_t N>
bool copyBound(const char* bound, char (&field)[N]) {
    if (bound == nullptr || std::strlen(bound) >= N)
        return false;
    std::memcpy(field, bound, std::strlen(bound) + 1);
    return true;
}

}  // namespace

bool getFilterConfig(ClientFilter* filter, int mode, char* upperBound, char* lowerBound) {
    if (filter == nullptr)
        return true;
    filter->flags = static_cast<uint32_t>(readNumber("Filter_Flag", 0));
    filter->one = 1;
    char current[260] = {}, currentDate[260] = {}, previous[260] = {}, previousDate[260] = {};
    getPtnFileVersion(current, currentDate, previous, previousDate, nullptr);
    filter->currentPattern = std::atoi(current);
    filter->patternTo = filter->currentPattern;
    filter->patternFrom = 0;
    readText(kFilterSection, "Computer", 120, filter->computer);
    readText(kFilterSection, "Domain", 120, filter->domain);
    filter->clientType = readNumber("Client_type", 1);
    filter->startUp = readNumber("Start_Up", 1) == 1;
    readText(kFilterSection, "Ip_Address", 15, filter->ipAddress);
    readText(kVersionSection, "Vdx95_Version", 63, filter->programTo);
    readText(kVersionSection, "Engine95_Version", 63, filter->engineTo);
    std::strcpy(filter->programFrom, "0.00");
    std::strcpy(filter->engineFrom, "0.000");
    filter->callerText2[0] = '\0';
    if (mode < 0)
        return true;

    uint32_t flags = static_cast<uint32_t>(mode);
    const int typeOf[][2] = {{0x400, 0}, {0x800, 2}, {0x1000, 1}};
    for (const auto& [bit, type] : typeOf) {
        if ((flags & static_cast<uint32_t>(bit)) != 0) {
            filter->clientType = type;
            flags |= kFilterClientType;
        }
    }
    if ((flags & kFilterPatternRange) != 0) {
        if (upperBound != nullptr && lowerBound != nullptr) {
            filter->patternFrom = std::atoi(lowerBound);
            filter->patternTo = std::atoi(upperBound);
        } else {
            flags = 0;
        }
    }
    const struct {
        uint32_t bit;
        char (&from)[64];
        char (&to)[64];
    } ranges[] = {{kFilterProgramRange, filter->programFrom, filter->programTo},
                  {kFilterEngineRange, filter->engineFrom, filter->engineTo}};
    for (const auto& range : ranges) {
        if ((static_cast<uint32_t>(mode) & range.bit) == 0)
            continue;
        char from[64], to[64];
        if (copyBound(lowerBound, from) && copyBound(upperBound, to)) {
            std::memcpy(range.from, from, sizeof from);
            std::memcpy(range.to, to, sizeof to);
            flags |= range.bit;
        } else {
            flags = 0;
        }
    }
    if ((static_cast<uint32_t>(mode) & (0x8000 | 0x10000)) != 0) {
        flags |= kFilterStartUp;
        filter->startUp = (static_cast<uint32_t>(mode) & 0x8000) != 0;
    }
    filter->flags = flags;
    return true;
}
