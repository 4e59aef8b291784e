// The spyware scan facade: one process-wide object in front of the spyware scan engine
// (tarsk32.so), which it loads at run time from the engine directory.
//
//   CTARSKfFacadeBase* f = GetTarskFacade();
//   f->RunInitTARSK(u"/srv/home/Engine", u"/srv/home", 0);   // loads the engine and its pattern
//   TarskVersionInfo info;
//   f->RunQueryVersion(&info);
//   ... RunSpywareScan, RunSpywareRestore, ...
//   f->RunDeInitTARSK();
//
// Every operation returns 1 for success and 0 for failure; failures are traced (tag
// "[TARSKMOD]"). Operations may be called from any thread. Initialisation and shutdown are
// serialised with each other, the pattern and whitelist operations with each other; scan,
// clean by name and stop take no lock, so RunStopScan reaches a scan running on another thread.
//
// One scan at a time on the whole server: RunSpywareScan and RunRTSCleanByName hold a named
// mutex for their run, and a second one, from this process or another, is refused (0, traced,
// TARSK_RESULT_REFUSED in the request's result). A scan killed midway leaves the mutex
// abandoned; the next scan goes on and QueryTarskScanProgress reports the killed one as
// interrupted until then.
//
// While a scan runs with publishProgress set, its progress is published in the registry under
// HKLM "SOFTWARE\HaldenLabs\VeridexNTCorp\CurrentVersion\Manual Scan Configuration\Spyware
// Configuration": "SPYProgress" (percent of the whole task, never lowered within it, 98 at its
// end), "CurrentTask" (0 scanning, 1 backing up, 2 cleaning), "SPYScanLocation" (what is being
// scanned, or the threat just cleaned) and "NumOfDetectedSPY" (findings of the last scan);
// "SPYScanRunning" is 1 from the start of a scan to its end.
//
// The facade reports what it does as lines on standard error (never standard output, which is
// a page's response), or to the sink set with SetTarskMessageSink.
//
// Texts are UTF-16. Locations of files whose names are not UTF-8 carry each such byte as the
// lone surrogate U+DC80 + (byte - 0x80), so that a location given back reaches the same file.
#pragma once

#include <cgishare/export.h>

#include <stddef.h>
#include <stdint.h>

// What RunQueryVersion reports.
struct TarskVersionInfo {
    char16_t patternVersion[256];     // "6.064"
    char16_t patternDate[256];        // "2026-12-01"
    char16_t patternSignatures[256];  // the number of signatures, in decimal
    char16_t engineVersion[256];      // "2.5.1001"
};

// TarskScanRequest.action and scanType.
enum : uint16_t { TARSK_ACTION_REPORT = 0, TARSK_ACTION_CLEAN = 1 };
enum : uint16_t { TARSK_SCAN_FULL = 1, TARSK_SCAN_QUICK = 2 };

// TarskFinding.state.
enum : uint32_t {
    TARSK_FINDING_FOUND = 0,      // reported, not cleaned
    TARSK_FINDING_BACKED_UP = 1,  // in the backup set, not (yet) cleaned
    TARSK_FINDING_CLEANED = 2,    // in the backup set and removed
    TARSK_FINDING_FAILED = 3,     // could not be backed up, so it was left in place
};

// TarskScanResult.status bits.
enum : uint32_t {
    TARSK_RESULT_DONE = 0x01,         // the scan ran to its end
    TARSK_RESULT_STOPPED = 0x02,      // RunStopScan ended it; nothing was cleaned
    TARSK_RESULT_NOT_CLEANED = 0x04,  // cleaning was asked, and some findings are not cleaned
    TARSK_RESULT_TRUNCATED = 0x08,    // more findings than the result area holds
    TARSK_RESULT_REFUSED = 0x10,      // another scan was running
    TARSK_RESULT_FAILED = 0x20,       // the scan could not run (see the trace)
};

// One finding of a scan.
struct TarskFinding {
    uint32_t itemId;
    uint32_t threatId;
    uint32_t scannerId;  // 10 file, 11 registry, 12 cookie, 13 autostart, 14 directory, 18 hosts
    uint32_t state;      // TARSK_FINDING_*
    char16_t threatName[256];
    char16_t location[4096];  // a path, "path:line" or a registry value; cut to fit
};

// The head of a scan's result area; `listed` findings follow it, as far as the area holds.
struct TarskScanResult {
    uint32_t status;  // TARSK_RESULT_*
    uint32_t found;   // findings of the scan ("NumOfDetectedSPY")
    uint32_t cleaned;
    uint32_t listed;           // TarskFinding records behind this head
    char16_t backupSet[1024];  // the backup set of this run's clean, "" when none was made
};

// A scan request. The result area starts at byte 20 and holds `resultSize` bytes; the facade
// never writes beyond it. Make one with TarskAllocScanRequest (room for some findings), or
// give a request with resultSize = sizeof(TarskScanResult) for the counts only.
struct TarskScanRequest {
    uint16_t action;             // TARSK_ACTION_*
    uint16_t scanType;           // TARSK_SCAN_*
    uint32_t publishProgress;    // 1: publish the progress values in the registry
    uint32_t keepCookieScanner;  // 0: the cookie scanner is left out
    uint32_t reserved;           // 0
    uint32_t resultSize;         // bytes of the result area
    TarskScanResult result;      // byte 20
};

static_assert(offsetof(TarskScanRequest, result) == 20, "the result area starts at byte 20");

// The findings behind the result head.
inline TarskFinding* TarskScanFindings(TarskScanRequest* request) {
    return reinterpret_cast<TarskFinding*>(reinterpret_cast<unsigned char*>(&request->result) +
                                           sizeof(TarskScanResult));
}

// A zeroed request with room for `findings` findings (resultSize set), or null when out of
// memory; free it with TarskFreeScanRequest.
CGISHARE_API TarskScanRequest* TarskAllocScanRequest(uint32_t findings);
CGISHARE_API void TarskFreeScanRequest(TarskScanRequest* request);

// Called with each threat of the pattern (RunQueryPatternSPYNames); return 0 to stop early.
typedef int (*TarskNameVisitor)(uint32_t threatId, const char16_t* name, void* context);

class CGISHARE_API CTARSKfFacadeBase {
  public:
    virtual ~CTARSKfFacadeBase();

    // Loads tarsk32.so from `engineDir` (the running program's directory when null or empty),
    // creates the engine and reads the pattern tarskptn.da5 from `patternDir` (the engine
    // directory when null or empty). A missing pattern does not fail the initialisation; it
    // shows when pattern data is asked for. `writeVersionInfo` non-zero reports the versions
    // after the initialisation. 1 when initialised (or already), 0 otherwise. The directories
    // are copied. A directory of 260 characters or more is refused.
    virtual int RunInitTARSK(const char16_t* engineDir, const char16_t* patternDir,
                             int writeVersionInfo) = 0;
    // The same for a host that only cleans by name: the engine is created without a pattern of
    // its own; the other engines are made on it when they are first needed.
    virtual int RunInitTARSKWithRTSEng(const char16_t* engineDir, const char16_t* patternDir,
                                       int writeVersionInfo) = 0;
    // Releases the engines and unloads the library. Always 1.
    virtual int RunDeInitTARSK() = 0;
    // A full or quick scan of the engine's scan roots (TARSK_SCAN_ROOTS, or the engine's
    // option), optionally followed by backup and clean; the result goes to the request's
    // result area. 1 when the scan ran (also when it was stopped), 0 otherwise.
    virtual int RunSpywareScan(TarskScanRequest* request) = 0;
    // Scans the roots for one threat (by name, ASCII case ignored), backs its findings up and
    // cleans them. `*cleaned` (when not null) receives the number cleaned.
    virtual int RunRTSCleanByName(const char16_t* threatName, uint32_t* cleaned) = 0;
    // Stops the running scan, within one read buffer of the file being read.
    virtual int RunStopScan() = 0;
    // Empties the whitelist and saves it.
    virtual int RunResetWhitelistItem() = 0;
    // Whitelists a threat (a threat id of the pattern) at `location`, or everywhere when it is
    // null or empty, and saves the whitelist.
    virtual int RunAddWhitelistItem(uint32_t threatId, const char16_t* location) = 0;
    // Calls `visit` for each threat of the pattern, in the pattern's order.
    virtual int RunQueryPatternSPYNames(TarskNameVisitor visit, void* context) = 0;
    // The pattern's version, date and signature count and the engine's version. A text the
    // engine cannot give stays empty.
    virtual int RunQueryVersion(TarskVersionInfo* info) = 0;
    // Puts back what a backup set holds: `backupFile` is the set's path.
    virtual int RunSpywareRestore(const char16_t* backupFile) = 0;
    // The name of threat `threatId`, cut to `size` characters with the terminator.
    virtual int RunGetSpywareNameByID(uint32_t threatId, char16_t* name, uint32_t size) = 0;
};

// The process-wide facade; never destroyed.
CGISHARE_API CTARSKfFacadeBase* GetTarskFacade();

// Where the facade's report lines go: `sink(line, context)` with each line (without its line
// end), or standard error when `sink` is null (the default). The sink is called on the thread
// that runs the facade operation, from several threads at once when several run; it may block
// (the operation waits) and must not change the sink.
typedef void (*TarskMessageSink)(const char16_t* line, void* context);
CGISHARE_API void SetTarskMessageSink(TarskMessageSink sink, void* context);

// The scan's progress as published, for a page or a command that shows it.
enum : int32_t {
    TARSK_SCAN_IDLE = 0,         // no scan runs
    TARSK_SCAN_RUNNING = 1,      // a scan runs now
    TARSK_SCAN_INTERRUPTED = 2,  // the last scan died before its end (killed, crashed)
};
struct TarskScanProgress {
    int32_t state;            // TARSK_SCAN_*
    uint32_t progress;        // "SPYProgress"
    uint32_t currentTask;     // "CurrentTask"
    uint32_t detected;        // "NumOfDetectedSPY"
    char16_t location[1024];  // "SPYScanLocation", cut to fit
};
// Reads the published values (absent ones are 0 or empty) and whether a scan runs. 1, or 0
// for a null argument.
CGISHARE_API int QueryTarskScanProgress(TarskScanProgress* progress);

// One record of a backup set.
struct TarskBackupRecord {
    uint32_t kind;  // 1 file, 2 directory, 3 line of a file, 4 registry value
    uint32_t threatId;
    uint32_t scannerId;
    uint64_t bytes;
    char16_t threatName[256];  // "" when the pattern does not know the threat
    char16_t location[4096];
};
typedef int (*TarskBackupVisitor)(const TarskBackupRecord* record, void* context);
// Calls `visit` with each record of the backup set at `backupFile` (the facade must be
// initialised). 1, or 0 when the set cannot be read (a missing, truncated or corrupt set).
CGISHARE_API int ListTarskBackupSet(const char16_t* backupFile, TarskBackupVisitor visit,
                                    void* context);
