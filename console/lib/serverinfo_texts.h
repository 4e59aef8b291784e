// Resource string numbers of the server information page (2300-2349 in
// standins/cgires/catalog/).
#pragma once

namespace console {

enum ServerInfoText : int {
    kServerInfoTitle = 2300,
    kVersionsHeading = 2301,
    kColumnComponent = 2302,
    kColumnVersion = 2303,
    kColumnLastUpdate = 2304,
    kServerProgram = 2305,
    kClientProgram = 2306,  // "%s client program"
    kScanEngine = 2307,     // "%s scan engine"
    kFirewallEngine = 2308,
    kPatternUpdate = 2309,
    kPlatformNT = 2310,
    kPlatform95 = 2311,
    kPlatform16 = 2312,
    kPlatformX64 = 2313,
    kPlatformIA64 = 2314,
    kTimeHeading = 2320,
    kServerTime = 2321,
    kDatePicture = 2322,
    kTimePicture = 2323,
    kCustomDate = 2324,
    kCustomTime = 2325,
    kNotSet = 2326,
    kTimeNote = 2327,
    kTablesHeading = 2330,
    kColumnTable = 2331,
    kColumnPath = 2332,
    kColumnModified = 2333,
    kMissing = 2334,
    kNotRecorded = 2335,
};

}  // namespace console
