// The engines behind the facade. Each holds a pointer to one of the process-wide engine
// handles; the general task engine answers pattern, whitelist and restore questions, the full
// and quick scan engines run one scan each and are thrown away after it, and the real-time
// engine cleans threats by name.
//
// Cleaning never follows a backup that did not take an item: the engine's backup set is
// written to a temporary, flushed and renamed into place before any item counts as backed up,
// an item the backup could not take is deselected (and reported), and the engine's clean
// removes only items that the set holds.
#include <cgishare/trace.h>

#include <cstring>
#include <vector>

#include "platform/test_stop.h"
#include "spyware/tarsk_internal.h"

namespace nvl::tarsk {

namespace {

void copyText(char16_t* out, size_t size, std::u16string_view text) {
    if (size == 0)
        return;
    size_t n = std::min(text.size(), size - 1);
    std::memcpy(out, text.data(), n * sizeof(char16_t));
    out[n] = 0;
}

// True when `status` is TK_OK; otherwise the failure is traced at level 2 with the engine's
// text and code.
bool succeeded(int32_t status, uint32_t handle, const char16_t* failure) {
    if (status == TK_OK)
        return true;
    EngineError e = lastEngineError(handle);
    TARSK_TRACE(2, kGeneralEngineSource, failure, e.text, static_cast<long>(e.code));
    return false;
}

}  // namespace

struct ScanTexts {
    const char16_t* mode;  // TK_CFG_ENGINEMODE
    DispatchKind dispatch;
    const char16_t* noPattern;
    const char16_t* begin;
    const char16_t* performing;
    const char16_t* cookieTrace;
    const char16_t* modeFailed;
    const char16_t* operation;
    const char16_t* completePrint;
    const char16_t* completeTrace;
    const char16_t* stoppedPrint;
    const char16_t* deinit;
};

namespace {

const ScanTexts kFullScan = {
    u"1",
    DispatchKind::FullScan,
    u"[TARSKMOD][FS RunEngine] RunEngine() failed, the pattern has not been loaded. [%s|%d]",
    u"[TARSKMOD][FS RunEngine] Full Scan begin...",
    u"Performing Full Scan...\n",
    u"[TARSKMOD][FS RunEngine] cookie scanner is being disabled.",
    u"[TARSKMOD][FS RunEngine] TkSetOption() failed, failed to configure TK_CFG_ENGINEMODE. "
    u"Error Code: %ld, [%s|%d]",
    u"full scan",
    u"Full Scan Complete. Time=%f.\n",
    u"[TARSKMOD][FS RunEngine] Full Scan Complete! Time=%f.",
    u"Full scan was stopped! Time=%f.\n",
    u"[TARSKMOD][RunDeInitEngine] Deinitialise Full Scan Engine...",
};

const ScanTexts kQuickScan = {
    u"2",
    DispatchKind::QuickScan,
    u"[TARSKMOD][QS RunEngine] The pattern has not been loaded. [%s|%d]",
    u"[TARSKMOD][QS RunEngine] Quick Scan begin...",
    u"Performing Quick Scan...\n",
    u"[TARSKMOD][QS RunEngine] cookie scanner is being disabled.",
    u"[TARSKMOD][QS RunEngine] TkSetOption() failed, failed to configure TK_CFG_ENGINEMODE. "
    u"Error Code: %ld, [%s|%d]",
    u"quick scan",
    u"Quick Scan Complete. Time=%f.\n",
    u"[TARSKMOD][QS RunEngine] Quick Scan Complete! Time=%f.",
    u"Quick scan was stopped! Time=%f.\n",
    u"[TARSKMOD][RunDeInitEngine] Deinitialise Quick Scan Engine...",
};

}  // namespace

// --- Releasing a handle -----------------------------------------------------------------

int ReleaseEngineHandle(std::atomic<uint32_t>* engine) {
    uint32_t h = engine->load();
    if (h == 0)
        return 1;
    if (tk.TkQuit(h) != TK_OK) {
        TARSK_TRACE(2, kLoadSource,
                    u"[TARSKMOD][RunDeInitEngine] TkQuit() failed, failed to deinitialise engine "
                    u"handle.");
        tarskPrint(u"[RunDeInitEngine] TkQuit() failed, failed to deinitialise engine handle.\n");
        return 0;
    }
    TARSK_TRACE(8, kLoadSource, u"[TARSKMOD][RunDeInitEngine] TkQuit() succeeded!");
    tarskPrint(u"[RunDeInitEngine] TkQuit(): Engine De-initialisation succeeded!\n");
    engine->store(0);
    return 1;
}

// --- The generic engine -----------------------------------------------------------------

CTARSKfGenericScannerEngine::~CTARSKfGenericScannerEngine() {
    if (callback_ != nullptr)
        setDispatchTarget(dispatch_, nullptr);
}

void CTARSKfGenericScannerEngine::setCallback(DispatchKind kind,
                                              std::unique_ptr<CTARSKfCallBackBase> callback) {
    if (callback_ != nullptr)
        setDispatchTarget(dispatch_, nullptr);
    dispatch_ = kind;
    callback_ = std::move(callback);
    setDispatchTarget(kind, callback_.get());
    tk.TkSetCallbackFunc(handle(), dispatcherFor(kind));
}

int CTARSKfGenericScannerEngine::RunDeInitEngine() {
    return ReleaseEngineHandle(handle_);
}

int CTARSKfGenericScannerEngine::RunStopScan() {
    uint32_t h = handle();
    if (h == 0) {
        TARSK_TRACE(5, kEngineSource,
                    u"[TARSKMOD][RunStopScan] Engine instance was not initialised. Stop scan "
                    u"command is ignored.");
        return 0;
    }
    uint32_t status = 0;
    tk.TkGetEngineStatus(h, &status);
    TARSK_TRACE(8, kEngineSource, u"[TARSKMOD][RunStopScan] Engine Status=%d.",
                static_cast<int>(status));
    // An engine that scans is told to stop even when another engine has set the stop request
    // already: the request alone would only be seen after the scan's end.
    if ((status & TK_STATUS_SCANNING) == 0) {
        if (stopRequested.load() != 0)
            return 1;
        TARSK_TRACE(8, kEngineSource,
                    u"[TARSKMOD][RunStopScan] Scanning stopped without calling TkStopScan().");
        stopRequested = 1;
        return 1;
    }
    if (tk.TkStopScan(h) != TK_OK) {
        EngineError e = lastEngineError(h);
        TARSK_TRACE(2, kEngineSource,
                    u"[TARSKMOD][RunStopScan] TkStopScan() failed, failed perform stop scan "
                    u"operation. '%s'. Error Code: %ld",
                    e.text, static_cast<long>(e.code));
        return 0;
    }
    stopRequested = 1;
    TARSK_TRACE(8, kEngineSource,
                u"[TARSKMOD][RunStopScan] TkStopScan() suceeded, stops the current scan operation "
                u"successfully.");
    return 1;
}

void CTARSKfGenericScannerEngine::RunLoadPattern(const char16_t* patternDirectory, bool shared) {
    uint32_t h = handle();
    if (h == 0)
        throwTarsk(
            u"[TARSKMOD][RunLoadPattern] RunLoadPattern() aborted, the engine instance was "
            u"uninitialised. [%s|%d]",
            kEngineSource, __LINE__);
    int32_t status;
    {
        std::lock_guard lock(generalEngineLock());
        status =
            tk.TkReadSpywarePattern(h, 0, patternDirectory != nullptr ? patternDirectory : u"", 0);
    }
    if (status != TK_OK) {
        EngineError e = lastEngineError(h);
        if (shared)
            throwTarsk(
                u"[TARSKMOD][RunLoadPattern] Shared pattern loading failed, failed to load "
                u"spyware definitions. '%s'. Error Code: %ld, [%s|%d]",
                e.text, static_cast<long>(e.code), kEngineSource, __LINE__);
        throwTarsk(
            u"[TARSKMOD][RunLoadPattern] Failed to load spyware definitions for the single "
            u"engine. '%s'. Error Code: %ld, [%s|%d]",
            e.text, static_cast<long>(e.code), kEngineSource, __LINE__);
    }
    if (shared) {
        TARSK_TRACE(8, kEngineSource,
                    u"[TARSKMOD][RunLoadPattern] Load shared spyware definition succeed!");
    } else {
        TARSK_TRACE(8, kEngineSource,
                    u"[TARSKMOD][RunLoadPattern] Load spyware definition succeed!");
        tarskPrint(u"[RunLoadPattern] Load spyware definition succeed!\n");
    }
    // The saved white and black lists belong with the pattern: a handle starts with empty ones.
    if (tk.TkLoadWhitelist(h) != TK_OK || tk.TkLoadBlacklist(h) != TK_OK) {
        EngineError e = lastEngineError(h);
        TARSK_TRACE(4, kEngineSource,
                    u"[TARSKMOD][RunLoadPattern] The saved white or black list cannot be read. "
                    u"'%s'. Error Code: %ld",
                    e.text, static_cast<long>(e.code));
    }
    patternLoaded_ = true;
}

int CTARSKfGenericScannerEngine::RunQueryVersion(TarskVersionInfo* info) {
    if (!patternLoaded_)
        throwTarsk(u"[TARSKMOD][RunQueryVersion] The pattern has not been loaded. [%s|%d]",
                   kFacadeSource, __LINE__);
    uint32_t h = handle();
    std::memset(info, 0, sizeof *info);
    struct Query {
        bool engine;
        int32_t property;
        char16_t* out;
        const char16_t* failure;
    } queries[] = {
        {false, TKPP_VERSION, info->patternVersion,
         u"[TARSKMOD] TkGetPatternProperty() failed for TKPP_VERSION. '%s'. Error Code: %ld"},
        {false, TKPP_DATE, info->patternDate,
         u"[TARSKMOD] TkGetPatternProperty() failed for TKPP_DATE. '%s'. Error Code: %ld"},
        {false, TKPP_SIGCOUNT, info->patternSignatures,
         u"[TARSKMOD] TkGetPatternProperty() failed for TKPP_SIGCOUNT. '%s'. Error Code: %ld"},
        {true, TKEP_UDVERSION, info->engineVersion,
         u"[TARSKMOD] TkGetEngineProperty() failed for TKEP_UDVERSION. '%s'. Error Code: %ld"},
    };
    for (const Query& q : queries) {
        char16_t buffer[256] = {};
        int32_t status = q.engine ? tk.TkGetEngineProperty(h, q.property, buffer, 256)
                                  : tk.TkGetPatternProperty(h, q.property, buffer, 256);
        if (status != TK_OK) {
            EngineError e = lastEngineError(h);
            TARSK_TRACE(5, kEngineSource, q.failure, e.text, static_cast<long>(e.code));
            continue;
        }
        buffer[255] = 0;
        copyText(q.out, 256, buffer);
    }
    return 1;
}

bool CTARSKfGenericScannerEngine::ItemName(uint32_t itemId, std::u16string* name) {
    auto item = std::make_unique<TkItem>();
    item->size = sizeof(TkItem);
    if (tk.TkGetItem(handle(), itemId, item.get()) != TK_OK)
        return false;
    item->threatName[std::size(item->threatName) - 1] = 0;
    if (item->threatName[0] != 0) {
        *name = item->threatName;
        return true;
    }
    *name = ThreatName(item->threatId);
    return !name->empty();
}

std::u16string CTARSKfGenericScannerEngine::ThreatName(uint32_t threatId) {
    uint32_t row = 0;
    char16_t text[TK_NAME_CHARS] = {};
    if (tk.TkGetRowById(handle(), TK_TABLE_THREAT, threatId, &row) != TK_OK ||
        tk.TkParseField(handle(), TK_TABLE_THREAT, row, TK_FIELD_NAME, text, TK_NAME_CHARS) !=
            TK_OK)
        return {};
    text[TK_NAME_CHARS - 1] = 0;
    return text;
}

int CTARSKfGenericScannerEngine::RunSpywareRestore(const char16_t* backupFile) {
    tarskPrint(u"Restore from backup file %s\n", backupFile);
    TARSK_TRACE(8, kEngineSource, u"[TARSKMOD][RunSpywareRestore] Restore from backup file \"%s\".",
                backupFile);
    int32_t status = tk.TkRestore(handle(), backupFile);
    if (status != TK_OK) {
        EngineError e = lastEngineError(handle());
        throwTarsk(
            u"[TARSKMOD][RunSpywareRestore] RunSpywareRestore() failed. '%s'. Error Code: "
            u"%ld, [%s|%d]",
            e.text, static_cast<long>(e.code), kEngineSource, __LINE__);
    }
    return 1;
}

int CTARSKfGenericScannerEngine::RunGenericScan(const char16_t* target, const char16_t* operation) {
    uint32_t h = handle();
    if (h == 0)
        throwTarsk(
            u"[TARSKMOD][RunGenericScan] RunGenericScan() aborted, the engine instance was "
            u"uninitialised. [%s|%d]",
            kEngineSource, __LINE__);
    if (stopRequested.load() != 0)
        throwStop(
            u"[TARSKMOD][RunGenericScan] Stop scan succeeded, stops the current %s task "
            u"before launching the scan successfully. [%s|%d]",
            operation, kEngineSource, __LINE__);
    nvl::sys::testStopPoint("scan-locked");
    if (tk.TkScan(h, target != nullptr ? target : u"") != TK_OK) {
        EngineError e = lastEngineError(h);
        throwTarsk(
            u"[TARSKMOD][RunGenericScan] TkScan() failed, failed to perform %s operation. "
            u"'%s'. Error Code: %ld, [%s|%d]",
            operation, e.text, static_cast<long>(e.code), kEngineSource, __LINE__);
    }
    CheckForStopEvent(handle_, operation);
    int32_t count = 0;
    tk.TkGetItemCount(h, &count);
    TARSK_TRACE(8, kEngineSource, u"[TARSKMOD][RunGenericScan] %s found %d spywares...", operation,
                static_cast<int>(count));
    tarskPrint(u"%s found %d spywares..\n", operation, static_cast<int>(count));
    return count;
}

void CTARSKfGenericScannerEngine::RunMarkItems() {
    uint32_t h = handle();
    if (h == 0)
        throwTarsk(
            u"[TARSKMOD][RunMarkItems] RunMarkItems() aborted, the engine instance was "
            u"uninitialised. [%s|%d]",
            kEngineSource, __LINE__);
    tk.TkSelectItems(h, 1);
    int32_t count = 0;
    tk.TkGetItemCount(h, &count);
    TARSK_TRACE(8, kEngineSource, u"[TARSKMOD][RunMarkItems] Marked %d spywares for cleaning...",
                static_cast<int>(count));
    tarskPrint(u"Marked %d spywares for cleaning..\n", static_cast<int>(count));
}

void CTARSKfGenericScannerEngine::RunBackup() {
    uint32_t h = handle();
    if (h == 0)
        throwTarsk(
            u"[TARSKMOD][RunBackup] RunBackup() aborted, the engine instance was "
            u"uninitialised. [%s|%d]",
            kEngineSource, __LINE__);
    tk.TkSetOption(h, TK_CFG_BACKUPDESC, u"Clean Session");
    int32_t status = tk.TkBackup(h, u"");
    if (status != TK_OK && status != TK_E_PARTIAL) {
        EngineError e = lastEngineError(h);
        throwTarsk(u"[TARSKMOD][RunBackup] TkBackup() failed. '%s'. Error Code: %ld, [%s|%d]",
                   e.text, static_cast<long>(e.code), kEngineSource, __LINE__);
    }
    backupMade_ = true;
    if (status == TK_OK) {
        TARSK_TRACE(8, kEngineSource, u"[TARSKMOD][RunBackup] Spyware backup is complete!");
        return;
    }
    // Whatever the backup could not take stays where it is: it is not cleaned.
    int32_t count = 0;
    tk.TkGetItemCount(h, &count);
    auto item = std::make_unique<TkItem>();
    for (int32_t id = 1; id <= count; ++id) {
        if (tk.TkGetItem(h, static_cast<uint32_t>(id), item.get()) != TK_OK ||
            item->state != TK_ITEM_FAILED)
            continue;
        tk.TkSelectByItem(h, static_cast<uint32_t>(id), 0);
        item->location[TK_PATH_CHARS - 1] = 0;
        TARSK_TRACE(2, kEngineSource, u"[TARSKMOD][RunBackup] %s item could not be backed up!",
                    item->location);
    }
}

void CTARSKfGenericScannerEngine::RunClean() {
    uint32_t h = handle();
    if (h == 0)
        throwTarsk(
            u"[TARSKMOD][RunClean] RunClean() aborted, the engine instance was "
            u"uninitialised. [%s|%d]",
            kEngineSource, __LINE__);
    CheckForStopEvent(handle_, u"clean");
    tarskPrint(u"Performing Clean...\n");
    ScanStopwatch watch;
    watch.start();
    int32_t status = tk.TkClean(h);
    if (status != TK_OK && status != TK_E_PARTIAL) {
        EngineError e = lastEngineError(h);
        throwTarsk(
            u"[TARSKMOD][RunClean] TkClean() failed, failed to perform clean operation. "
            u"'%s'. Error Code: %ld, [%s|%d]",
            e.text, static_cast<long>(e.code), kEngineSource, __LINE__);
    }
    TARSK_TRACE(8, kEngineSource, u"[TARSKMOD][RunClean] Spyware clean is complete! Time=%f.",
                watch.stop());
}

void CTARSKfGenericScannerEngine::RunProcessScanResult(TarskScanRequest* request, uint32_t status,
                                                       bool publish) {
    uint32_t h = handle();
    if (h == 0)
        throwTarsk(
            u"[TARSKMOD][RunProcessScanResult] RunProcessScanResult() aborted, the engine "
            u"instance was uninitialised. [%s|%d]",
            kEngineSource, __LINE__);
    int32_t count = 0;
    tk.TkGetItemCount(h, &count);
    if (publish)
        putProgressNumber(kDetectedValue, static_cast<uint32_t>(count));
    if (request == nullptr || request->resultSize < sizeof(TarskScanResult))
        return;
    TarskScanResult& result = request->result;
    result.status |= status;
    result.found = static_cast<uint32_t>(count);
    result.cleaned = 0;
    result.listed = 0;
    result.backupSet[0] = 0;
    if (backupMade_) {
        char16_t set[TK_PATH_CHARS] = {};
        if (tk.TkGetOption(h, TK_CFG_LASTBACKUPSET, set, TK_PATH_CHARS) == TK_OK)
            copyText(result.backupSet, std::size(result.backupSet), set);
    }
    size_t room = (request->resultSize - sizeof(TarskScanResult)) / sizeof(TarskFinding);
    TarskFinding* findings = TarskScanFindings(request);
    auto item = std::make_unique<TkItem>();
    bool cleaningAsked = request->action == TARSK_ACTION_CLEAN && (status & TARSK_RESULT_DONE);
    for (int32_t id = 1; id <= count; ++id) {
        if (tk.TkGetItem(h, static_cast<uint32_t>(id), item.get()) != TK_OK)
            continue;
        item->threatName[std::size(item->threatName) - 1] = 0;
        item->location[TK_PATH_CHARS - 1] = 0;
        if (item->state == TK_ITEM_CLEANED)
            ++result.cleaned;
        else if (cleaningAsked)
            result.status |= TARSK_RESULT_NOT_CLEANED;
        std::u16string name = item->threatName;
        if (name.empty())
            name = ThreatName(item->threatId);
        if (name.empty())
            TARSK_TRACE(4, kEngineSource,
                        u"[TARSKMOD][RunProcessScanResult] Can not obtain the spyware name of the "
                        u"item located in '%s' Product item id: '%ld'.",
                        item->location, static_cast<long>(id));
        if (result.listed >= room) {
            result.status |= TARSK_RESULT_TRUNCATED;
            continue;
        }
        TarskFinding& f = findings[result.listed++];
        std::memset(&f, 0, sizeof f);
        f.itemId = item->itemId;
        f.threatId = item->threatId;
        f.scannerId = item->scannerId;
        f.state = item->state;
        copyText(f.threatName, std::size(f.threatName), name);
        copyText(f.location, std::size(f.location), item->location);
    }
}

int CTARSKfGenericScannerEngine::GetEnabledScannerCount() {
    uint32_t h = handle();
    if (h == 0)
        throwTarsk(
            u"[TARSKMOD][GetEnabledScannerCount] GetEnabledScannerCount() aborted, the "
            u"engine instance were uninitialised. [%s|%d]",
            kEngineSource, __LINE__);
    TkScannerInfo info{};
    int32_t status = tk.TkGetScannerInfo(h, &info);
    if (status != TK_OK)
        throwTarsk(
            u"[TARSKMOD][GetEnabledScannerCount] TkGetScannerInfo() failed. Error Code: "
            u"%ld, [%s|%d]",
            static_cast<long>(status), kEngineSource, __LINE__);
    tarskPrint(u"Total Number of Scanner Modules = %ld\n", static_cast<long>(info.total));
    tarskPrint(u"Number of Default Scanner Modules = %ld\n", static_cast<long>(info.defaults));
    tarskPrint(u"Number of Enabled Scanner Modules = %ld\n", static_cast<long>(info.enabled));
    TARSK_TRACE(8, kEngineSource, u"Total Number of Scanner Modules = %ld\n",
                static_cast<long>(info.total));
    TARSK_TRACE(8, kEngineSource, u"Number of Default Scanner Modules = %ld\n",
                static_cast<long>(info.defaults));
    TARSK_TRACE(8, kEngineSource, u"Number of Enabled Scanner Modules = %ld\n",
                static_cast<long>(info.enabled));
    TARSK_TRACE(8, kEngineSource,
                u"[TARSKMOD][GetEnabledScannerCount] Number of basic scanners that quick/full scan "
                u"would use: %d",
                static_cast<int>(info.basicEnabled));
    return info.basicEnabled;
}

// --- The general task engine ------------------------------------------------------------

CTARSKfGeneralTaskEngine::CTARSKfGeneralTaskEngine(std::atomic<uint32_t>* handle,
                                                   const char16_t* patternDirectory,
                                                   bool sharedPattern)
    : CTARSKfGenericScannerEngine(handle) {
    try {
        RunLoadPattern(patternDirectory, sharedPattern);
        setCallback(DispatchKind::General, std::make_unique<CTARSKfScanCallBack>(this, false, 2));
    } catch (const CTARSKfException& e) {
        TARSK_TRACE(4, kGeneralEngineSource, u"[TARSKMOD][CTARSKfGeneralTaskEngine] %s",
                    e.GetMessage());
    }
}

int CTARSKfGeneralTaskEngine::RunQueryPatternSPYNames(TarskNameVisitor visit, void* context) {
    if (!patternLoaded_)
        throwTarsk(u"[TARSKMOD][RunQueryPatternSPYNames] The pattern has not been loaded. [%s|%d]",
                   kGeneralEngineSource, __LINE__);
    uint32_t h = handle();
    uint32_t table = 0;
    if (tk.TkOpenTableSeqEnum(h, TK_TABLE_THREAT, &table) != TK_OK)
        throwTarsk(
            u"[TARSKMOD][RunQueryPatternSPYNames] Could not open company table from "
            u"pattern file. [%s|%d]",
            kGeneralEngineSource, __LINE__);
    uint32_t row = 0;
    for (int32_t status = tk.TkGetFirstRow(table, &row); status == TK_OK;
         status = tk.TkGetNextRow(table, &row)) {
        char16_t id[32] = {};
        char16_t name[TK_NAME_CHARS] = {};
        int32_t s1 = tk.TkParseField(h, TK_TABLE_THREAT, row, TK_FIELD_ID, id, 32);
        int32_t s2 = tk.TkParseField(h, TK_TABLE_THREAT, row, TK_FIELD_NAME, name, TK_NAME_CHARS);
        if (s1 != TK_OK || s2 != TK_OK) {
            TARSK_TRACE(4, kGeneralEngineSource,
                        u"[TARSKMOD][RunQueryPatternSPYNames] TkParseField failed! Can not obtain "
                        u"the spyware name of the item. Error code %ld",
                        static_cast<long>(s1 != TK_OK ? s1 : s2));
            continue;
        }
        uint32_t threatId = 0;
        for (const char16_t* p = id; *p >= u'0' && *p <= u'9'; ++p)
            threatId = threatId * 10 + static_cast<uint32_t>(*p - u'0');
        if (visit != nullptr && visit(threatId, name, context) == 0)
            break;
    }
    tk.TkCloseHandle(table);
    return 1;
}

int CTARSKfGeneralTaskEngine::RunResetWhitelistItem() {
    uint32_t h = handle();
    TARSK_TRACE(8, kGeneralEngineSource,
                u"[TARSKMOD][RunResetWhitelistItem] Whitelist is being reset...\n");
    if (!succeeded(tk.TkRemoveWhitelistItems(h), h,
                   u"[TARSKMOD][RunResetWhitelistItem] Fail to reset the whitelist. '%s'. Error "
                   u"Code: %ld") ||
        !succeeded(tk.TkSaveWhitelist(h), h,
                   u"[TARSKMOD][RunResetWhitelistItem] Fail to save the whitelist. '%s'. Error "
                   u"Code: %ld"))
        return 0;
    TARSK_TRACE(8, kGeneralEngineSource,
                u"[TARSKMOD][RunResetWhitelistItem] Whitelist reset successfully!");
    return 1;
}

int CTARSKfGeneralTaskEngine::RunAddWhitelistItem(uint32_t threatId, const char16_t* location) {
    uint32_t h = handle();
    TARSK_TRACE(8, kGeneralEngineSource,
                u"[TARSKMOD][RunAddWhitelistItem] Whitelist items are being added...");
    // Add to the saved list as it is now, not to this process's copy of it.
    tk.TkLoadWhitelist(h);
    auto entry = std::make_unique<TkListItem>();
    entry->threatId = threatId;
    entry->enabled = 1;
    copyText(entry->location, TK_PATH_CHARS, location != nullptr ? location : u"");
    if (!succeeded(tk.TkAddWhitelistItem(h, entry.get()), h,
                   u"[TARSKMOD][RunAddWhitelistItem] Failed add item to the whitelist. '%s'. "
                   u"Error Code: %ld") ||
        !succeeded(tk.TkSaveWhitelist(h), h,
                   u"[TARSKMOD][RunAddWhitelistItem] Failed save the updated whitelist. '%s'. "
                   u"Error Code: %ld"))
        return 0;
    TARSK_TRACE(8, kGeneralEngineSource,
                u"[TARSKMOD][RunAddWhitelistItem] Whitelist items added!.");
    return 1;
}

// --- Full and quick scans ---------------------------------------------------------------

CTARSKfScanEngineBase::CTARSKfScanEngineBase(std::atomic<uint32_t>* handle,
                                             const char16_t* patternDirectory,
                                             const ScanTexts& texts)
    : CTARSKfGenericScannerEngine(handle), texts_(texts) {
    try {
        RunLoadPattern(patternDirectory, false);
    } catch (const CTARSKfException& e) {
        TARSK_TRACE(4, kEngineSource, u"[TARSKMOD][RunLoadPattern] %s", e.GetMessage());
    }
}

CTARSKfFullScanEngine::CTARSKfFullScanEngine(std::atomic<uint32_t>* handle,
                                             const char16_t* patternDirectory)
    : CTARSKfScanEngineBase(handle, patternDirectory, kFullScan) {}

CTARSKfQuickScanEngine::CTARSKfQuickScanEngine(std::atomic<uint32_t>* handle,
                                               const char16_t* patternDirectory)
    : CTARSKfScanEngineBase(handle, patternDirectory, kQuickScan) {}

int CTARSKfScanEngineBase::RunDeInitEngine() {
    TARSK_TRACE(8, kEngineSource, texts_.deinit);
    return CTARSKfGenericScannerEngine::RunDeInitEngine();
}

int CTARSKfScanEngineBase::RunEngine(TarskScanRequest* request) {
    if (!patternLoaded_)
        throwTarsk(texts_.noPattern, kEngineSource, __LINE__);
    uint32_t h = handle();
    bool clean = request->action == TARSK_ACTION_CLEAN;
    bool publish = request->publishProgress != 0;
    stopRequested = 0;
    auto callback = std::make_unique<CTARSKfScanCallBack>(this, publish, clean ? 1 : 2);
    CTARSKfScanCallBack* scanCallback = callback.get();
    setCallback(texts_.dispatch, std::move(callback));

    TARSK_TRACE(8, kEngineSource, texts_.begin);
    ScanStopwatch watch;
    watch.start();
    tarskPrint(texts_.performing);
    try {
        tk.TkEnableScanner(h, TK_SCANNER_ALL, 0);
        tk.TkEnableScanner(h, TK_SCANNER_DEFAULTS, 1);
        if (request->keepCookieScanner == 0) {
            tk.TkEnableScanner(h, TK_SCANNER_COOKIE, 0);
            TARSK_TRACE(8, kEngineSource, texts_.cookieTrace);
            tarskPrint(u"Cookie scanner is being disabled.\n");
        }
        int32_t status = tk.TkSetOption(h, TK_CFG_ENGINEMODE, texts_.mode);
        if (status != TK_OK)
            throwTarsk(texts_.modeFailed, static_cast<long>(status), kEngineSource, __LINE__);
        // The progress sum shares among the basic scanners this scan really uses.
        scanCallback->setBasicScanners(GetEnabledScannerCount());

        int found = RunGenericScan(u"", texts_.operation);
        double seconds = watch.stop();
        tarskPrint(texts_.completePrint, seconds);
        TARSK_TRACE(8, kEngineSource, texts_.completeTrace, seconds);
        if (clean && found > 0) {
            RunMarkItems();
            RunBackup();
            RunClean();
        } else if (clean && publish) {
            putProgressNumber(kProgressValue, 98);
        }
        RunProcessScanResult(request, TARSK_RESULT_DONE, publish);
    } catch (const CTARSKfStopScanException& e) {
        double seconds = watch.stop();
        tarskPrint(texts_.stoppedPrint, seconds);
        tarskPrint(u"%s\n", e.GetMessage());
        RunProcessScanResult(request, TARSK_RESULT_STOPPED, publish);
    }
    return 1;
}

// --- The real-time engine ---------------------------------------------------------------

CTARSKfRTSEngine::CTARSKfRTSEngine(std::atomic<uint32_t>* handle, const char16_t* patternDirectory,
                                   bool sharedPattern)
    : CTARSKfGenericScannerEngine(handle) {
    try {
        RunLoadPattern(patternDirectory, sharedPattern);
        setCallback(DispatchKind::RealTime, std::make_unique<CTARSKfRTSCallBack>(this));
    } catch (const CTARSKfException& e) {
        TARSK_TRACE(4, kEngineSource, u"[TARSKMOD][CTARSKfRTSEngine] %s", e.GetMessage());
    }
}

int CTARSKfRTSEngine::RunDeInitEngine() {
    TARSK_TRACE(8, kEngineSource,
                u"[TARSKMOD][RunDeInitEngine] Deinitialise Real-time Scan Engine...");
    return CTARSKfGenericScannerEngine::RunDeInitEngine();
}

int CTARSKfRTSEngine::RunCleanByName(const char16_t* threatName, uint32_t* cleaned) {
    uint32_t h = handle();
    if (!patternLoaded_)
        throwTarsk(u"[TARSKMOD][RunRTSCleanByName] The pattern has not been loaded. [%s|%d]",
                   kFacadeSource, __LINE__);
    stopRequested = 0;
    tk.TkSetOption(h, TK_CFG_BACKUPDESC, u"Clean Session");
    int32_t status = tk.TkCleanByName(h, threatName);
    if (status != TK_OK && status != TK_E_PARTIAL) {
        EngineError e = lastEngineError(h);
        throwTarsk(
            u"[TARSKMOD][RunRTSCleanByName] TkCleanByName() failed. '%s'. Error Code: %ld, "
            u"[%s|%d]",
            e.text, static_cast<long>(e.code), kFacadeSource, __LINE__);
    }
    int32_t count = 0;
    tk.TkGetItemCount(h, &count);
    uint32_t done = 0;
    auto item = std::make_unique<TkItem>();
    for (int32_t id = 1; id <= count; ++id)
        if (tk.TkGetItem(h, static_cast<uint32_t>(id), item.get()) == TK_OK &&
            item->state == TK_ITEM_CLEANED)
            ++done;
    if (cleaned != nullptr)
        *cleaned = done;
    return status == TK_OK ? 1 : 0;
}

}  // namespace nvl::tarsk
