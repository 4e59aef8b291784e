// Resource string numbers of the log pages' texts (the event and audit logs, the update log),
// in standins/cgires/catalog/ under "Event, audit and update logs (2100-2199)". A text with
// "%s" has one value put in by the page (a date, a size).
#pragma once

namespace console {

enum LogText : int {
    kLogsTitle = 2100,
    kUpdateLogTitle = 2101,
    kLogLabel = 2102,
    kEventLogName = 2103,
    kAuditLogName = 2104,
    kPageSizeLabel = 2105,
    kEventNumberLabel = 2106,
    kFromLabel = 2107,
    kToLabel = 2108,
    kShowButton = 2109,
    kNewerLink = 2110,
    kOlderLink = 2111,
    kCsvLink = 2112,
    kNoRecords = 2113,
    kFilterLegend = 2114,
    kColumnDate = 2115,
    kKindLabel = 2116,
    kColumnValue1 = 2117,
    kColumnValue2 = 2118,
    kColumnMessage = 2119,
    kPagerLabel = 2120,
    kColumnClock = 2121,      // the time of day, beside kColumnDate
    kBadLineNotice = 2130,    // %s: the file's date
    kScanLimitNotice = 2131,  // %s: megabytes read
    kReadErrorNotice = 2132,  // %s: the file's date
    kBadLogChoice = 2133,
    kBadPageSize = 2134,
    kBadEventNumber = 2135,
    kBadKind = 2136,
    kBadFromDate = 2137,
    kBadToDate = 2138,
    kDatesReversed = 2139,
    kBadPosition = 2140,
    kBadDownload = 2141,
    kUpdateReadError = 2142,
};

}  // namespace console
