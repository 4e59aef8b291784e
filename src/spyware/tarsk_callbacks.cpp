// The engine's events: what each one reports, how a scan's progress is summed from its
// scanners and published in the registry, and how a requested stop ends an operation.
//
// The engine calls one dispatcher per engine kind; the dispatcher hands the event to the
// callback object of the engine that runs now. Events arrive on the thread of the engine call
// that causes them, inside that call; nothing thrown here may reach the engine's frames, so a
// dispatcher without a callback object traces and returns.
//
// Publishing: progress only rises within a task (a lower value is never written). The running
// percentage and the location being scanned are each written at most every 500 ms: every write
// replaces the registry file, and the engine reports far more often than anyone reads.
#include <cgishare/trace.h>

#include <algorithm>
#include <ctime>

#include "spyware/tarsk_internal.h"

namespace nvl::tarsk {

std::atomic<int> stopRequested{0};

namespace {

constexpr int64_t kLocationIntervalMs = 500;
constexpr int64_t kProgressIntervalMs = 500;

int64_t monotonicMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

const char16_t* recordLocation(const TkItem* record) {
    if (record == nullptr)
        return u"";
    // The location starts at byte 1052 of the engine's record.
    return reinterpret_cast<const char16_t*>(reinterpret_cast<const unsigned char*>(record) + 1052);
}

uint32_t recordItemId(const TkItem* record) {
    return record != nullptr ? record->itemId : 0;
}

// The 18 scanner modules of the engine, by id, with their display names.
const char16_t* scannerName(int32_t id) {
    static constexpr const char16_t* kNames[] = {u"",
                                                 u"Process",
                                                 u"Module",
                                                 u"Service",
                                                 u"Driver",
                                                 u"Browser Helper",
                                                 u"Toolbar",
                                                 u"Startup Folder",
                                                 u"Scheduled Task",
                                                 u"Shell Extension",
                                                 u"File",
                                                 u"Registry",
                                                 u"Cookie",
                                                 u"Autostart",
                                                 u"Directory",
                                                 u"Memory",
                                                 u"Network Filter",
                                                 u"Print Monitor",
                                                 u"Hosts"};
    return id >= 1 && id <= 18 ? kNames[id] : u"";
}

std::atomic<CTARSKfCallBackBase*> targets[4];

int32_t dispatch(DispatchKind kind, uint32_t handle, int32_t event, int32_t scanner, int32_t value,
                 const TkItem* record) {
    CTARSKfCallBackBase* callback = targets[static_cast<int>(kind)].load();
    if (callback == nullptr) {
        bool longText = kind == DispatchKind::RealTime || kind == DispatchKind::FullScan;
        TARSK_TRACE(2, kScanCallbackSource,
                    longText ? u"[TARSKMOD][TARSKCallbackDispatcher] TARSKCallbackDispatcher() "
                               u"failed. Call back object does not exist for dispatching. Error "
                               u"Code: %ld, [%s|%d]"
                             : u"[TARSKMOD][TARSKCallbackDispatcher] Call back object does not "
                               u"exist for dispatching. Error Code: %ld, [%s|%d]",
                    static_cast<long>(event), kScanCallbackSource, __LINE__);
        return 0;
    }
    // A stop asked for before the engine's scan got under way reaches it with its next event.
    if (stopRequested.load() != 0 &&
        (kind == DispatchKind::FullScan || kind == DispatchKind::QuickScan) &&
        tk.TkStopScan != nullptr) {
        uint32_t status = 0;
        if (tk.TkGetEngineStatus(handle, &status) == TK_OK &&
            (status & (TK_STATUS_SCANNING | TK_STATUS_STOP_REQUESTED)) == TK_STATUS_SCANNING)
            tk.TkStopScan(handle);
    }
    try {
        return callback->TARSKCallback(handle, event, scanner, value, record);
    } catch (const CTARSKfException& e) {
        TARSK_TRACE(2, kScanCallbackSource, u"[TARSKMOD][TARSKCallbackDispatcher] %s",
                    e.GetMessage());
    } catch (const std::exception&) {
        TARSK_TRACE(2, kScanCallbackSource,
                    u"[TARSKMOD][TARSKCallbackDispatcher] The event could not be handled.");
    }
    return 0;
}

template <DispatchKind kind>
int32_t dispatcher(uint32_t handle, int32_t event, int32_t scanner, int32_t value,
                   const TkItem* record) {
    return dispatch(kind, handle, event, scanner, value, record);
}

// Publishes the progress of a running task at most every kProgressIntervalMs: every write
// replaces the registry file, and the engine reports far more often than anyone reads. The
// values that end a phase (98) are written by publishProgress directly.
void publishRunningProgress(uint32_t percent) {
    static std::atomic<int64_t> last{0};
    int64_t now = monotonicMs();
    if (now - last.load() < kProgressIntervalMs)
        return;
    last = now;
    publishProgress(percent);
}

// Publishes the location at most every kLocationIntervalMs; `force` writes it regardless.
void publishLocation(const char16_t* text, bool force) {
    static std::atomic<int64_t> last{0};
    int64_t now = monotonicMs();
    if (!force && now - last.load() < kLocationIntervalMs)
        return;
    last = now;
    putProgressText(kLocationValue, text);
}

}  // namespace

bool isBasicScanner(int32_t scanner) {
    return (scanner >= 10 && scanner <= 14) || scanner == 18;
}

TkCallbackFunc dispatcherFor(DispatchKind kind) {
    switch (kind) {
        case DispatchKind::General:
            return dispatcher<DispatchKind::General>;
        case DispatchKind::FullScan:
            return dispatcher<DispatchKind::FullScan>;
        case DispatchKind::QuickScan:
            return dispatcher<DispatchKind::QuickScan>;
        case DispatchKind::RealTime:
            return dispatcher<DispatchKind::RealTime>;
    }
    return nullptr;
}

void setDispatchTarget(DispatchKind kind, CTARSKfCallBackBase* callback) {
    targets[static_cast<int>(kind)] = callback;
}

// --- The progress sum -------------------------------------------------------------------

void ProgressSum::reset() {
    file_ = directory_ = sharedStored_ = 0;
    fileStarted_ = directoryStarted_ = false;
    std::fill(std::begin(others_), std::end(others_), 0);
    std::fill(std::begin(othersStarted_), std::end(othersStarted_), false);
}

double ProgressSum::shared() const {
    // The other basic scanners share 30. With fewer than three basic scanners in use there is
    // nobody to share it: the part is then 0.
    int sharing = basicScanners_ - 2;
    if (sharing <= 0)
        return 0;
    double sum = 0;
    for (int32_t p : others_)
        sum += p;
    return sum * 30 / 100 / sharing;
}

double ProgressSum::report(int32_t scanner, int32_t percent) {
    percent = std::clamp(percent, 0, 100);
    if (scanner == 10 || scanner == 14) {
        double& part = scanner == 10 ? file_ : directory_;
        bool& started = scanner == 10 ? fileStarted_ : directoryStarted_;
        double weighted = percent * (scanner == 10 ? 40.0 : 20.0) / 100;
        if (weighted <= part) {
            sharedStored_ = shared();
            return file_ + directory_ + sharedStored_;
        }
        if (!started) {
            sharedStored_ = shared();
            started = true;
        }
        part = weighted;
        return file_ + directory_ + sharedStored_;
    }
    if (scanner < 0 || scanner > 18)
        return file_ + directory_ + sharedStored_;
    if (!othersStarted_[scanner]) {
        othersStarted_[scanner] = true;
        others_[scanner] = percent;
    } else if (percent > others_[scanner]) {
        others_[scanner] = percent;
    }
    sharedStored_ = shared();
    return file_ + directory_ + sharedStored_;
}

// --- The scan callback ------------------------------------------------------------------

namespace {

// The line printed and the line traced (level 8) for an event without an item.
struct EventTexts {
    int32_t event;
    const char16_t* printed;
    const char16_t* traced;
};

constexpr EventTexts kScanEventTexts[] = {
    {TKE_EVENT_STARTSCAN, u"Started Spyware Scanning\n",
     u"[TARSKMOD][TARSKCallback] Started Spyware Scanning..."},
    {TKE_EVENT_FINISHEDSCAN, u"Spyware Scanning Finished!\n",
     u"[TARSKMOD][TARSKCallback] Spyware Scanning Finished!"},
    {TKE_EVENT_STARTCLEAN, u"Started Clean\n",
     u"[TARSKMOD][TARSKCallback] Started Spyware Cleaning..."},
    {TKE_EVENT_FINISHEDCLEAN, u"Spyware Cleaning Finished!\n",
     u"[TARSKMOD][TARSKCallback] Spyware Cleaning Finished!"},
    {TKE_EVENT_STARTBACKUP, u"Started Backup\n", u"[TARSKMOD][TARSKCallback] Started Backup..."},
    {TKE_EVENT_FINISHEDBACKUP, u"Finished Backup\n", u"[TARSKMOD][TARSKCallback] Finished Backup!"},
    {TKE_EVENT_STARTRESTORE, u"Started Restore...\n",
     u"[TARSKMOD][TARSKCallback] Started Restore..."},
    {TKE_EVENT_FINISHEDRESTORE, u"Finished Restore.\n",
     u"[TARSKMOD][TARSKCallback] Finished Restore!"},
};

constexpr EventTexts kRtsEventTexts[] = {
    {TKE_EVENT_STARTSCAN, u"Started TkCleanByName Scanning\n", nullptr},
    {TKE_EVENT_FINISHEDSCAN, u"TkCleanByName-Scan Finished!\n",
     u"[TARSKMOD][TARSKCallback] TkCleanByName-Scan Finished!"},
    {TKE_EVENT_STARTCLEAN, u"TkCleanByName Started Clean...\n",
     u"[TARSKMOD][TARSKCallback] TkCleanByName Started Clean..."},
    {TKE_EVENT_FINISHEDCLEAN, u"TkCleanByName-Clean Finished!\n",
     u"[TARSKMOD][TARSKCallback] TkCleanByName-Clean Finished!"},
    {TKE_EVENT_STARTBACKUP, u"Started Backup\n", u"[TARSKMOD][TARSKCallback] Started Backup..."},
    {TKE_EVENT_FINISHEDBACKUP, u"Finished Backup\n", u"[TARSKMOD][TARSKCallback] Finished Backup!"},
    {TKE_EVENT_STARTRESTORE, u"Started Restore\n", u"[TARSKMOD][TARSKCallback] Started Restore..."},
    {TKE_EVENT_FINISHEDRESTORE, u"Finished Restore.\n",
     u"[TARSKMOD][TARSKCallback] Finished Restore!"},
};

template <size_t N>
void reportEvent(const EventTexts (&table)[N], const char16_t* source, int32_t event) {
    for (const EventTexts& t : table) {
        if (t.event != event)
            continue;
        tarskPrint(t.printed);
        if (t.traced != nullptr)
            DebugTraceW(8, source, __LINE__, u"%s", t.traced);
        return;
    }
}

// An item event: the printed and traced lines with the threat's name, or the trace of an item
// whose name the engine cannot give. False when the event is not about an item of a basic
// scanner.
struct ItemTexts {
    const char16_t* printed;  // name, location
    const char16_t* traced;   // name, location
    const char16_t* unnamed;  // location, item id (level 4)
};

bool reportItem(CTARSKfGenericScannerEngine* engine, const char16_t* source, const ItemTexts& texts,
                int32_t scanner, const TkItem* record, std::u16string* name) {
    uint32_t item = recordItemId(record);
    if (!isBasicScanner(scanner) || item == 0)
        return false;
    const char16_t* location = recordLocation(record);
    if (!engine->ItemName(item, name)) {
        if (texts.unnamed != nullptr)
            DebugTraceW(4, source, __LINE__, texts.unnamed, location, static_cast<long>(item));
        return false;
    }
    tarskPrint(texts.printed, name->c_str(), location);
    DebugTraceW(8, source, __LINE__, texts.traced, name->c_str(), location);
    return true;
}

constexpr ItemTexts kFoundTexts = {
    u"Spyware found [%s] in '%s'\n", u"[TARSKMOD][TARSKCallback] Spyware found [%s] in '%s'",
    u"[TARSKMOD][TARSKCallback] Spyware found [**Unable to query spyware name**] in '%s'"};
constexpr ItemTexts kCleanedTexts = {
    u"Cleaned [%s] in '%s'\n", u"[TARSKMOD][TARSKCallback] Cleaned [%s] in '%s'",
    u"[TARSKMOD][TARSKCallback] Cleaned [**Unable to query spyware name**] in '%s', Product "
    u"Item ID = %ld"};
constexpr ItemTexts kRtsFoundTexts = {u"TkCleanByName found [%s] in '%s'\n",
                                      u"[TARSKMOD][TARSKCallback] TkCleanByName found [%s] in '%s'",
                                      nullptr};
constexpr ItemTexts kRtsCleanedTexts = {
    u"TkCleanByName Cleaned [%s] in '%s'\n",
    u"[TARSKMOD][TARSKCallback] TkCleanByName Cleaned [%s] in '%s'",
    u"[TARSKMOD][TARSKCallback case TKE_EVENT_CLEANEDITEM] TkCleanByName Cleaned [**Unable to "
    u"query spyware name**] in '%s', Product Item ID = %ld"};

}  // namespace

CTARSKfScanCallBack::CTARSKfScanCallBack(CTARSKfGenericScannerEngine* engine, bool publish,
                                         int taskMode)
    : engine_(engine), publish_(publish), taskMode_(taskMode) {}

int CTARSKfScanCallBack::TARSKCallback(uint32_t, int32_t event, int32_t scanner, int32_t value,
                                       const TkItem* record) {
    reportEvent(kScanEventTexts, kScanCallbackSource, event);
    std::u16string name;
    switch (event) {
        case TKE_EVENT_PROGRESS:
            // Cleaning publishes its own progress (event 18); 0 would never raise it.
            if (isBasicScanner(scanner) && publish_ && !cleanPhase_)
                publishRunningProgress(
                    static_cast<uint32_t>(progress_.report(scanner, std::min(value, 100))));
            break;
        case TKE_EVENT_ITEMFOUND:
            reportItem(engine_, kScanCallbackSource, kFoundTexts, scanner, record, &name);
            break;
        case TKE_EVENT_STARTITEMSCAN:
            tarskPrint(u"Started Scanning '%s'\n", scannerName(scanner));
            TARSK_TRACE(8, kScanCallbackSource,
                        u"[TARSKMOD][TARSKCallback] Started Spyware Scanning with '%s' "
                        u"Scanner... ",
                        scannerName(scanner));
            break;
        case TKE_EVENT_FINISHEDITEMSCAN:
            tarskPrint(u"[TARSKCallback] TKE_EVENT_FINISHEDITEMSCAN Finished Scanning '%s'\n",
                       scannerName(scanner));
            break;
        case TKE_EVENT_STARTSCAN:
            if (publish_) {
                putProgressNumber(kProgressValue, 0);
                putProgressNumber(kCurrentTaskValue, 0);
            }
            progress_.reset();
            break;
        case TKE_EVENT_FINISHEDSCAN:
            if (publish_) {
                if (taskMode_ == 2)
                    publishProgress(98);
                publishLocation(u"", true);
            }
            break;
        case TKE_EVENT_CLEANEDITEM:
            if (reportItem(engine_, kScanCallbackSource, kCleanedTexts, scanner, record, &name) &&
                publish_)
                publishLocation(name.c_str(), false);
            break;
        case TKE_EVENT_STARTCLEAN:
            if (publish_) {
                cleanPhase_ = true;
                putProgressNumber(kCurrentTaskValue, 2);
                progress_.reset();
            }
            break;
        case TKE_EVENT_FINISHEDCLEAN:
            if (publish_ && taskMode_ == 1)
                publishProgress(98);
            break;
        case TKE_EVENT_STARTBACKUP:
            if (publish_)
                putProgressNumber(kCurrentTaskValue, 1);
            break;
        case TKE_EVENT_CLEANPROGRESS:
            if (publish_ && taskMode_ == 1)
                publishRunningProgress(
                    static_cast<uint32_t>(90 + (98 - 90) * std::clamp(value, 0, 100) / 100));
            break;
        case TKE_EVENT_LOCATION:
            if (isBasicScanner(scanner) && publish_)
                publishLocation(recordLocation(record), false);
            break;
        case TKE_EVENT_RESTOREDITEM:
            tarskPrint(u"Restored '%s'\n", recordLocation(record));
            TARSK_TRACE(8, kScanCallbackSource, u"[TARSKMOD][TARSKCallback] Restored '%s'\n",
                        recordLocation(record));
            break;
        default:
            break;
    }
    return 0;
}

// --- The real-time engine's callback ----------------------------------------------------

int CTARSKfRTSCallBack::TARSKCallback(uint32_t, int32_t event, int32_t scanner, int32_t,
                                      const TkItem* record) {
    reportEvent(kRtsEventTexts, kRtsCallbackSource, event);
    std::u16string name;
    switch (event) {
        case TKE_EVENT_STARTITEMSCAN:
            tarskPrint(u"Started TkCleanByName Scanning '%s'\n", scannerName(scanner));
            break;
        case TKE_EVENT_ITEMFOUND:
            reportItem(engine_, kRtsCallbackSource, kRtsFoundTexts, scanner, record, &name);
            break;
        case TKE_EVENT_CLEANEDITEM:
            reportItem(engine_, kRtsCallbackSource, kRtsCleanedTexts, scanner, record, &name);
            break;
        case TKE_EVENT_RESTOREDITEM:
            tarskPrint(u"Restored '%s' in '%s'\n", scannerName(scanner), recordLocation(record));
            TARSK_TRACE(8, kRtsCallbackSource, u"[TARSKMOD][TARSKCallback] Restored '%s'\n",
                        recordLocation(record));
            break;
        default:
            break;
    }
    return 0;
}

// --- Stop -------------------------------------------------------------------------------

void CheckForStopEvent(const std::atomic<uint32_t>* handle, const char16_t* operation) {
    uint32_t h = handle != nullptr ? handle->load() : 0;
    if (h == 0)
        throwTarsk(
            u"[TARSKMOD][CheckForStopEvent] CheckForStopEvent() aborted, the engine "
            u"instance were uninitialised. [%s|%d]",
            kScanCallbackSource, __LINE__);
    uint32_t status = 0;
    tk.TkGetEngineStatus(h, &status);
    if ((status & TK_STATUS_STOP_REQUESTED) != 0 || stopRequested.load() != 0)
        throwStop(
            u"[TARSKMOD][CheckForStopEvent] TkStopScan() succeeded, stops the current %s "
            u"operation successfully. [%s|%d]",
            operation, kScanCallbackSource, __LINE__);
}

}  // namespace nvl::tarsk
