// The spyware facade's inside: the binding of tarsk32.so, the engines, the callbacks and the
// helpers they share. The public face is include/cgishare/spyware.h.
//
// Layout
//   tarsk_binding.cpp    loads tarsk32.so and binds its 66 entry points into one table
//   tarsk_support.cpp    exceptions, report lines, registry helpers, the scan lock, progress
//   tarsk_callbacks.cpp  the engine's events: report lines, the progress sum, publishing
//   tarsk_engines.cpp    the general task, full, quick and real-time engines
//   tarsk_facade.cpp     the facade, its proxy and GetTarskFacade
//
// Failures inside are CTARSKfException, formatted where they happen; every public operation
// catches them, traces them and returns 0. Nothing here lets an exception reach the engine's
// frames: a callback that fails traces and returns.
#pragma once

#include <cgishare/spyware.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "platform/named_object.h"
#include "platform/registry.h"
#include "tarsk32.h"

namespace nvl::tarsk {

// --- Trace sources ----------------------------------------------------------------------
inline constexpr char16_t kLoadSource[] =
    u"src\\Client\\VdxNT\\Service\\libCNTHlTARSKFacade\\tarskfacade_LoadTARSKDll";
inline constexpr char16_t kFacadeSource[] =
    u"src\\Client\\VdxNT\\Service\\libCNTHlTARSKFacade\\tarskfacade_TARSKFacade";
inline constexpr char16_t kEngineSource[] =
    u"src\\Client\\VdxNT\\Service\\libCNTHlTARSKFacade\\tarskfacade_GenericScannerEngine";
inline constexpr char16_t kGeneralEngineSource[] =
    u"src\\Client\\VdxNT\\Service\\libCNTHlTARSKFacade\\tarskfacade_GeneralTaskEngine";
inline constexpr char16_t kScanCallbackSource[] =
    u"src\\Client\\VdxNT\\Service\\libCNTHlTARSKFacade\\tarskfacade_ScanCallBack";
inline constexpr char16_t kRtsCallbackSource[] =
    u"src\\Client\\VdxNT\\Service\\libCNTHlTARSKFacade\\tarskfacade_RTSCallBack";
inline constexpr char16_t kHelperSource[] =
    u"src\\Client\\VdxNT\\Service\\libCNTHlTARSKFacade\\tarskfacade_EngineHelper";

// --- The binding ------------------------------------------------------------------------
#define NVL_TARSK_ENTRY_POINTS(X)    \
    X(TkInit)                        \
    X(TkQuit)                        \
    X(TkReadSpywarePattern)          \
    X(TkGetPatternProperty)          \
    X(TkIsSpywarePatternLoaded)      \
    X(TkScan)                        \
    X(TkScanDir)                     \
    X(TkScanFile)                    \
    X(TkCleanFile)                   \
    X(TkScanDomain)                  \
    X(TkStopScan)                    \
    X(TkScanRelatedReferences)       \
    X(TkGetOption)                   \
    X(TkSetOption)                   \
    X(TkSetCallbackFunc)             \
    X(TkEnableScanner)               \
    X(TkGetScannerInfo)              \
    X(TkGetEngineProperty)           \
    X(TkGetItemCount)                \
    X(TkGetItemCountByScannerId)     \
    X(TkGetItem)                     \
    X(TkSelectItems)                 \
    X(TkAddItem)                     \
    X(TkUpdateItem)                  \
    X(TkRemoveItems)                 \
    X(TkGetCountSelectedByScannerId) \
    X(TkSelectByItem)                \
    X(TkGetFirstWhitelistItem)       \
    X(TkLoadWhitelist)               \
    X(TkGetNextWhitelistItem)        \
    X(TkAddWhitelistItem)            \
    X(TkRemoveWhitelistItems)        \
    X(TkToggleWhitelistItems)        \
    X(TkCheckWhitelist)              \
    X(TkGetWhitelistCount)           \
    X(TkSaveWhitelist)               \
    X(TkLoadBlacklist)               \
    X(TkGetFirstBlacklistItem)       \
    X(TkGetNextBlacklistItem)        \
    X(TkAddBlacklistItem)            \
    X(TkRemoveBlacklistItems)        \
    X(TkToggleBlacklistItems)        \
    X(TkCheckBlacklist)              \
    X(TkGetBlacklistCount)           \
    X(TkSaveBlacklist)               \
    X(TkClean)                       \
    X(TkCleanByName)                 \
    X(TkBackup)                      \
    X(TkRestore)                     \
    X(TkGetBackupItems)              \
    X(TkOpenTableSeqEnum)            \
    X(TkOpenTableStrEnum)            \
    X(TkOpenTableLongEnum)           \
    X(TkCloseHandle)                 \
    X(TkGetFirstRow)                 \
    X(TkGetNextRow)                  \
    X(TkGetRowById)                  \
    X(TkGetFirstRowByField)          \
    X(TkGetNextRowByField)           \
    X(TkGetFirstRowByStrKey)         \
    X(TkGetNextRowByStrKey)          \
    X(TkGetFirstRowByLongKey)        \
    X(TkGetNextRowByLongKey)         \
    X(TkParseField)                  \
    X(TkGetEngineStatus)             \
    X(TkGetLastError)

// One pointer per entry point, null until bound.
struct TarskApi {
#define NVL_TARSK_POINTER(name) decltype(&::name) name = nullptr;
    NVL_TARSK_ENTRY_POINTS(NVL_TARSK_POINTER)
#undef NVL_TARSK_POINTER
};

// The process-wide binding: the table and the loaded flag (1 after a successful load).
extern TarskApi tk;
extern std::atomic<int32_t> tarskLoaded;

// Loads the library at `path` ("…/tarsk32.dll", which names tarsk32.so) and binds every entry
// point: 0, or the system error of the failing load or look-up.
uint32_t LoadTARSK(const char16_t* path);
// Frees the library. The pointers stay as they are; the loaded flag guards them.
void UnloadTARSK();

// --- Exceptions and report lines --------------------------------------------------------
class CTARSKfException {
  public:
    explicit CTARSKfException(std::u16string message) : message_(std::move(message)) {}
    virtual ~CTARSKfException() = default;
    virtual const char16_t* GetMessage() const { return message_.c_str(); }

  private:
    std::u16string message_;
};

class CTARSKfStopScanException : public CTARSKfException {
  public:
    using CTARSKfException::CTARSKfException;
};

// printf into a wide string, with the wide-format rules of platform/wide_format.h.
std::u16string formatW(const char16_t* format, ...);
// Throws CTARSKfException with the formatted message.
[[noreturn]] void throwTarsk(const char16_t* format, ...);
[[noreturn]] void throwStop(const char16_t* format, ...);
// One report line (the format ends in "\n"): to the sink when one is set, else standard error.
void tarskPrint(const char16_t* format, ...);

#define TARSK_TRACE(level, source, ...) DebugTraceW(level, source, __LINE__, __VA_ARGS__)

// The engine's last error on `handle` as the text and code the messages show.
struct EngineError {
    char16_t text[1024] = {};
    int32_t code = 0;
};
EngineError lastEngineError(uint32_t handle);

// Seconds between start() and stop(), on the monotonic clock.
class ScanStopwatch {
  public:
    void start();
    double stop();

  private:
    int64_t startNs_ = 0;
};

// --- Registry helpers -------------------------------------------------------------------
inline constexpr char16_t kSpywareKey[] =
    u"SOFTWARE\\HaldenLabs\\VeridexNTCorp\\CurrentVersion\\Manual Scan Configuration\\Spyware "
    u"Configuration";
inline constexpr char16_t kProgressValue[] = u"SPYProgress";
inline constexpr char16_t kCurrentTaskValue[] = u"CurrentTask";
inline constexpr char16_t kLocationValue[] = u"SPYScanLocation";
inline constexpr char16_t kDetectedValue[] = u"NumOfDetectedSPY";
inline constexpr char16_t kRunningValue[] = u"SPYScanRunning";

// Writes a value (type 1: a wide text; type 4: a 32-bit number), creating the key when it is
// missing. Failures are traced and otherwise ignored.
void PutRegSetting(nvl::sys::RegHive hive, const char16_t* key, const char16_t* valueName,
                   const void* data, uint32_t type);
// Reads a 32-bit value: true with *value, or false (traced).
bool GetRegDWSetting(nvl::sys::RegHive hive, const char16_t* key, const char16_t* valueName,
                     uint32_t* value);
void putProgressNumber(const char16_t* valueName, uint32_t value);
void putProgressText(const char16_t* valueName, const char16_t* text);
// Raises "SPYProgress" to `percent` (98 for anything above 100); never lowers it.
void publishProgress(uint32_t percent);

// --- The scan lock ----------------------------------------------------------------------
// Held by a scan or a clean by name from its start to its end, across every process of the
// server; a second one is refused. It is a named mutex: a holder that dies lets it go.
class ScanLock {
  public:
    ScanLock();
    ~ScanLock();
    ScanLock(const ScanLock&) = delete;
    ScanLock& operator=(const ScanLock&) = delete;
    bool acquired() const { return acquired_; }

  private:
    nvl::sys::Handle mutex_;
    bool acquired_ = false;
};
inline constexpr char kScanMutexName[] = "NvlSpywareScan";

// --- Engines and callbacks --------------------------------------------------------------
class CTARSKfGenericScannerEngine;

// The overall progress of a scan from the scanners' own percentages: the file scanner (10)
// weighs 40, the directory scanner (14) 20, and the other basic scanners share 30.
class ProgressSum {
  public:
    void reset();
    void setBasicScanners(int count) { basicScanners_ = count; }
    // A progress report of a basic scanner: the new overall percentage.
    double report(int32_t scanner, int32_t percent);

  private:
    double shared() const;
    int basicScanners_ = 0;
    double file_ = 0, directory_ = 0, sharedStored_ = 0;
    bool fileStarted_ = false, directoryStarted_ = false;
    int32_t others_[19] = {};
    bool othersStarted_[19] = {};
};

bool isBasicScanner(int32_t scanner);

class CTARSKfCallBackBase {
  public:
    virtual ~CTARSKfCallBackBase() = default;
    virtual int TARSKCallback(uint32_t context, int32_t event, int32_t scanner, int32_t value,
                              const TkItem* record) = 0;
};

class CTARSKfScanCallBack : public CTARSKfCallBackBase {
  public:
    // taskMode 1: the scan is followed by cleaning; 2: scan only.
    CTARSKfScanCallBack(CTARSKfGenericScannerEngine* engine, bool publish, int taskMode);
    int TARSKCallback(uint32_t context, int32_t event, int32_t scanner, int32_t value,
                      const TkItem* record) override;
    void setBasicScanners(int count) { progress_.setBasicScanners(count); }

  private:
    CTARSKfGenericScannerEngine* engine_;
    bool publish_;
    int taskMode_;
    bool cleanPhase_ = false;
    ProgressSum progress_;
};

class CTARSKfRTSCallBack : public CTARSKfCallBackBase {
  public:
    explicit CTARSKfRTSCallBack(CTARSKfGenericScannerEngine* engine) : engine_(engine) {}
    int TARSKCallback(uint32_t context, int32_t event, int32_t scanner, int32_t value,
                      const TkItem* record) override;

  private:
    CTARSKfGenericScannerEngine* engine_;
};

// Which dispatcher an engine registers; each forwards to its current callback object.
enum class DispatchKind { General, FullScan, QuickScan, RealTime };
TkCallbackFunc dispatcherFor(DispatchKind kind);
void setDispatchTarget(DispatchKind kind, CTARSKfCallBackBase* callback);

// Ends the running operation with CTARSKfStopScanException when a stop was asked for.
void CheckForStopEvent(const std::atomic<uint32_t>* handle, const char16_t* operation);

// The stop request: set by RunStopScan, cleared when a full or quick scan starts.
extern std::atomic<int> stopRequested;

class CTARSKfGenericScannerEngine {
  public:
    explicit CTARSKfGenericScannerEngine(std::atomic<uint32_t>* handle) : handle_(handle) {}
    virtual ~CTARSKfGenericScannerEngine();

    virtual int RunEngine(TarskScanRequest* request) = 0;
    virtual int RunStopScan();
    virtual int RunDeInitEngine();
    virtual int RunQueryPatternSPYNames(TarskNameVisitor, void*) { return 1; }
    virtual int RunQueryVersion(TarskVersionInfo* info);
    virtual int RunResetWhitelistItem() { return 1; }
    virtual int RunAddWhitelistItem(uint32_t, const char16_t*) { return 1; }
    virtual int RunSpywareRestore(const char16_t* backupFile);
    // The threat name of an item of the last scan on this engine's handle.
    virtual bool ItemName(uint32_t itemId, std::u16string* name);

    void RunLoadPattern(const char16_t* patternDirectory, bool shared);
    int RunGenericScan(const char16_t* target, const char16_t* operation);
    void RunMarkItems();
    void RunBackup();
    void RunClean();
    // Fills the request's result area (never beyond resultSize) and publishes the count.
    void RunProcessScanResult(TarskScanRequest* request, uint32_t status, bool publish);
    int GetEnabledScannerCount();

    uint32_t handle() const { return handle_->load(); }
    const std::atomic<uint32_t>* handleVariable() const { return handle_; }
    bool patternLoaded() const { return patternLoaded_; }
    // The threat name of a pattern threat, "" when unknown.
    std::u16string ThreatName(uint32_t threatId);

  protected:
    std::atomic<uint32_t>* handle_;
    bool patternLoaded_ = false;
    bool backupMade_ = false;
    std::unique_ptr<CTARSKfCallBackBase> callback_;
    DispatchKind dispatch_ = DispatchKind::General;
    // Registers `callback` with the dispatcher of `kind` for this engine's handle.
    void setCallback(DispatchKind kind, std::unique_ptr<CTARSKfCallBackBase> callback);
};

class CTARSKfGeneralTaskEngine : public CTARSKfGenericScannerEngine {
  public:
    // Loads the pattern (own, or the shared one) and sets the callback up; a failure is
    // traced and leaves the engine without a pattern.
    CTARSKfGeneralTaskEngine(std::atomic<uint32_t>* handle, const char16_t* patternDirectory,
                             bool sharedPattern);
    int RunEngine(TarskScanRequest*) override { return 1; }
    int RunQueryPatternSPYNames(TarskNameVisitor visit, void* context) override;
    int RunResetWhitelistItem() override;
    int RunAddWhitelistItem(uint32_t threatId, const char16_t* location) override;
};

// The full and quick scans differ only in their mode and texts.
struct ScanTexts;
class CTARSKfScanEngineBase : public CTARSKfGenericScannerEngine {
  public:
    CTARSKfScanEngineBase(std::atomic<uint32_t>* handle, const char16_t* patternDirectory,
                          const ScanTexts& texts);
    int RunEngine(TarskScanRequest* request) override;
    int RunDeInitEngine() override;

  private:
    const ScanTexts& texts_;
};

class CTARSKfFullScanEngine : public CTARSKfScanEngineBase {
  public:
    CTARSKfFullScanEngine(std::atomic<uint32_t>* handle, const char16_t* patternDirectory);
};

class CTARSKfQuickScanEngine : public CTARSKfScanEngineBase {
  public:
    CTARSKfQuickScanEngine(std::atomic<uint32_t>* handle, const char16_t* patternDirectory);
};

class CTARSKfRTSEngine : public CTARSKfGenericScannerEngine {
  public:
    CTARSKfRTSEngine(std::atomic<uint32_t>* handle, const char16_t* patternDirectory,
                     bool sharedPattern);
    int RunEngine(TarskScanRequest*) override { return 1; }
    int RunDeInitEngine() override;
    // Scans for one threat, backs its findings up and cleans them.
    int RunCleanByName(const char16_t* threatName, uint32_t* cleaned);
};

// Held by IsGeneralTaskEngineInitialised and every pattern load.
std::recursive_mutex& generalEngineLock();

// Releases an engine handle: 1 when released or already 0, 0 when TkQuit fails.
int ReleaseEngineHandle(std::atomic<uint32_t>* engine);

}  // namespace nvl::tarsk
