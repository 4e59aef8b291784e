// Where the server's database tables live.
//
// The server keeps its client list, scan configurations and scan logs in dBASE tables (.dbf).
// Each table's path is a key of [INI_DBFILE_SECTION] in nvlscan.ini; the table below gives the
// key and the path used when the key is absent. A stored path is returned exactly as stored,
// in whatever form the administrator wrote it.
//
//   type             key     when absent
//   DB_CI_DATA   0   CIData  <drive C>/Temp/dBCIData.dbf
//   DB_CE_DATA   1   CEData  <drive C>/Temp/dBCEData.dbf
//   DB_CX_DATA   2   CXData  dBCXData.dbf beside the CIData table
//   DB_NT_DATA   3   NTData  dBNTData.dbf beside the CIData table
//   DB_MS_CFG    4   MSCfg   <drive C>/Temp/dBMSCfg.dbf
//   DB_PS_CFG    5   PSCfg   <drive C>/Temp/dBPSCfg.dbf
//   DB_RT_CFG    6   RTCfg   <drive C>/Temp/dBRTCfg.dbf
//   DB_SN_CFG    7   SNCfg   <drive C>/Temp/dBSNCfg.dbf
//   DB_EF_CFG    8   EFCfg   <drive C>/Temp/dBEFCfg.dbf
//   DB_MS_LOG    9   MSLog   <drive C>/Temp/dBMSLog.dbf
//   DB_PS_LOG   10   PSLog   <drive C>/Temp/dBPSLog.dbf
//   DB_RT_LOG   11   RTLog   <drive C>/Temp/dBRTLog.dbf
//   DB_SN_LOG   12   SNLog   <drive C>/Temp/dBSNLog.dbf
//   DB_TEMP_DB  13   TempDB  <drive C>/dbtemp.dbf
//   DB_VC_LOG   14   VCLog   dBVCLog.dbf beside the MSLog table
//
// <drive C> is the directory that stands in for the original's drive C: $NVL_DRIVE_C, by
// default /var/lib/norvel/c (src/platform/paths.h). "Beside" a table means its path up to and
// including the last '/' or '\', followed by the file name; a table stored as a bare file name
// has the default directory, <drive C>/Temp/. The table it is derived from is always read from
// the home directory's nvlscan.ini, whatever file the caller named.
//
// A path that does not fit the caller's buffer is not cut (a cut path names another file): the
// caller gets the empty text instead. So does a type outside 0 to 14.
#pragma once

#include <cgishare/export.h>

#include <cstdint>

enum DataBaseType : int {
    DB_CI_DATA = 0,
    DB_CE_DATA = 1,
    DB_CX_DATA = 2,
    DB_NT_DATA = 3,
    DB_MS_CFG = 4,
    DB_PS_CFG = 5,
    DB_RT_CFG = 6,
    DB_SN_CFG = 7,
    DB_EF_CFG = 8,
    DB_MS_LOG = 9,
    DB_PS_LOG = 10,
    DB_RT_LOG = 11,
    DB_SN_LOG = 12,
    DB_TEMP_DB = 13,
    DB_VC_LOG = 14,
};

// A table as the programs that open it hold it. This library fills it and does nothing else
// with it: `name` and `state` belong to those programs. Allocated with new by getNvlDBFile;
// the caller deletes it.
struct NvlDBFileCodeBase {
    const char* name;  // the empty text here
    char path[260];    // the table's path, or the empty text (see above)
    int32_t state;     // 1 here
};

// Writes the path of table `type` into `path` (capacity `size`), read from `iniPath`, or from
// nvlscan.ini in the home directory when `iniPath` is null. A null `path` or a `size` of 0 or
// less does nothing.
CGISHARE_API void getDBFile(char* path, int size, DataBaseType type, char* iniPath);

// The table `type` of the nvlscan.ini in `directory` (a '/' is added when it has none), or of
// the home directory when `directory` is null, as a new object; null only when memory runs out.
// A path that does not fit 260 bytes, like an INI path of more than 255 bytes, leaves `path`
// empty.
CGISHARE_API NvlDBFileCodeBase* getNvlDBFile(DataBaseType type, char* directory);

// The criteria by which the console selects clients. Fields in the order the programs that use
// the record expect; the two texts marked as the caller's are not written here (the first
// character of the second one is cleared).
struct ClientFilter {
    uint32_t flags;          // active criteria (kFilter* bits) and the caller's other bits
    int32_t clientType;      // 0, 1 or 2
    int32_t currentPattern;  // the current virus pattern number
    int32_t one;             // always 1
    int32_t patternFrom;     // pattern number range
    int32_t patternTo;
    bool startUp;           // the start-up state asked for
    char computer[121];     // at most 119 characters
    char domain[121];       // at most 119 characters
    char callerText[128];   // the caller's
    char ipAddress[16];     // at most 14 characters
    char callerText2[121];  // the caller's; its first character is cleared
    char programFrom[64];   // program version range
    char programTo[64];
    char engineFrom[64];  // engine version range
    char engineTo[64];
};

// Criteria bits of ClientFilter::flags.
inline constexpr uint32_t kFilterClientType = 0x004;
inline constexpr uint32_t kFilterPatternRange = 0x008;
inline constexpr uint32_t kFilterProgramRange = 0x010;
inline constexpr uint32_t kFilterEngineRange = 0x020;
inline constexpr uint32_t kFilterStartUp = 0x080;

// Fills `filter` from [INI_FILTER_SECTION] of nvlscan.ini and the current virus pattern, then,
// unless `mode` is negative, from `mode` and the caller's bounds: 0x400, 0x800, 0x1000 choose the
// client type 0, 2 or 1 (the last given wins); 0x008, 0x010, 0x020 ask for the pattern, program
// or engine range between `lowerBound` and `upperBound`; 0x8000 (wins) or 0x10000 ask for
// clients started up or not. A requested range whose bound is missing, or longer than its field
// holds (63 characters), clears every criterion gathered so far. Always true; a null `filter`
// does nothing.
CGISHARE_API bool getFilterConfig(ClientFilter* filter, int mode, char* upperBound,
                                  char* lowerBound);
