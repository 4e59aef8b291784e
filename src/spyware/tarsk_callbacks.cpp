// The engine's events: what each one reports, how a scan's progress is summed from its
// scanners and published in the registry, and how a requested stop ends an operation.
//
// The engine calls one dispatcher per engine kind; the dispatcher hands the event to the
// callback object of the engine that runs now. Events arrive on the thread of the engine call
// that causes them, inside that call; nothing thrown here may reach the engine's frames, so a
// dispatcher without a callback object traces and returns.
//
// Publishing: progress only rises within a task (a lower value is never written), and the
// location being scanned is written at most every kLocationIntervalMs, since the engine
// reports it far more often than anyone reads it.
#include <cgishare/trace.h>

#include <algorithm>
#include <ctime>

#include "spyware/tarsk_internal.h"

namespace nvl::tarsk {

std::atomic<int> stopRequested{0};

namespace {

constexpr int64_t kLocationIntervalMs = 250;

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

CTARSKfScanCallBack::CTARSKfScanCallBack(CTARSKfGenericScannerEngine* engine, bool publish,
                                         int taskMode)
    : engine_(engine), publish_(publish), taskMode_(taskMode) {}

int CTARSKfScanCallBack::TARSKCallback(uint32_t, int32_t event, int32_t scanner, int32_t value,
                                       const TkItem* record) {
    const char16_t* location = recordLocation(record);
    switch (event) {
        case TKE_EVENT_PROGRESS: {
            if (!isBasicScanner(scanner) || !publish_)
                break;
            // Cleaning publishes its own progress (event 18); 0 would never raise it.
            if (cleanPhase_)
                break;
            publishProgress(static_cast<uint32_t>(progress_.report(scanner, std::min(value, 100))));
            break;
        }
        case TKE_EVENT_ITEMFOUND: {
            uint32_t item = recordItemId(record);
            if (!isBasicScanner(scanner) || item == 0)
                break;
            std::u16string name;
            if (engine_->ItemName(item, &name)) {
                tarskPrint(u"Spyware found [%s] in '%s'\n", name.c_str(), location);
                TARSK_TRACE(8, kScanCallbackSource,
                            u"[TARSKMOD][TARSKCallback] Spyware found [%s] in '%s'", name.c_str(),
                            location);
            } else {
                TARSK_TRACE(4, kScanCallbackSource,
                            u"[TARSKMOD][TARSKCallback] Spyware found [**Unable to query spyware "
                            u"name**] in '%s'",
                            location);
            }
            break;
        }
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
            tarskPrint(u"Started Spyware Scanning\n");
            TARSK_TRACE(8, kScanCallbackSource,
                        u"[TARSKMOD][TARSKCallback] Started Spyware Scanning...");
            if (publish_) {
                putProgressNumber(kProgressValue, 0);
                putProgressNumber(kCurrentTaskValue, 0);
            }
            progress_.reset();
            break;
        case TKE_EVENT_FINISHEDSCAN:
            tarskPrint(u"Spyware Scanning Finished!\n");
            TARSK_TRACE(8, kScanCallbackSource,
                        u"[TARSKMOD][TARSKCallback] Spyware Scanning Finished!");
            if (publish_) {
                if (taskMode_ == 2)
                    publishProgress(98);
                publishLocation(u"", true);
            }
            break;
        case TKE_EVENT_CLEANEDITEM: {
            uint32_t item = recordItemId(record);
            if (!isBasicScanner(scanner) || item < 1)
                break;
            std::u16string name;
            if (engine_->ItemName(item, &name)) {
                tarskPrint(u"Cleaned [%s] in '%s'\n", name.c_str(), location);
                TARSK_TRACE(8, kScanCallbackSource,
                            u"[TARSKMOD][TARSKCallback] Cleaned [%s] in '%s'", name.c_str(),
                            location);
                if (publish_)
                    publishLocation(name.c_str(), false);
            } else {
                TARSK_TRACE(4, kScanCallbackSource,
                            u"[TARSKMOD][TARSKCallback] Cleaned [**Unable to query spyware "
                            u"name**] in '%s', Product Item ID = %ld",
                            location, static_cast<long>(item));
            }
            break;
        }
        case TKE_EVENT_STARTCLEAN:
            tarskPrint(u"Started Clean\n");
            TARSK_TRACE(8, kScanCallbackSource,
                        u"[TARSKMOD][TARSKCallback] Started Spyware Cleaning...");
            if (publish_) {
                cleanPhase_ = true;
                putProgressNumber(kCurrentTaskValue, 2);
                progress_.reset();
            }
            break;
        case TKE_EVENT_FINISHEDCLEAN:
            tarskPrint(u"Spyware Cleaning Finished!\n");
            TARSK_TRACE(8, kScanCallbackSource,
                        u"[TARSKMOD][TARSKCallback] Spyware Cleaning Finished!");
            if (publish_ && taskMode_ == 1)
                publishProgress(98);
            break;
        case TKE_EVENT_STARTBACKUP:
            tarskPrint(u"Started Backup\n");
            TARSK_TRACE(8, kScanCallbackSource, u"[TARSKMOD][TARSKCallback] Started Backup...");
            if (publish_)
                putProgressNumber(kCurrentTaskValue, 1);
            break;
        case TKE_EVENT_FINISHEDBACKUP:
            tarskPrint(u"Finished Backup\n");
            TARSK_TRACE(8, kScanCallbackSource, u"[TARSKMOD][TARSKCallback] Finished Backup!");
            break;
        case TKE_EVENT_STARTRESTORE:
            tarskPrint(u"Started Restore...\n");
            TARSK_TRACE(8, kScanCallbackSource, u"[TARSKMOD][TARSKCallback] Started Restore...");
            break;
        case TKE_EVENT_FINISHEDRESTORE:
            tarskPrint(u"Finished Restore.\n");
            TARSK_TRACE(8, kScanCallbackSource, u"[TARSKMOD][TARSKCallback] Finished Restore!");
            break;
        case TKE_EVENT_CLEANPROGRESS:
            if (publish_ && taskMode_ == 1)
                publishProgress(
                    static_cast<uint32_t>(90 + (98 - 90) * std::clamp(value, 0, 100) / 100));
            break;
        case TKE_EVENT_LOCATION:
            if (isBasicScanner(scanner) && publish_)
                publishLocation(location, false);
            break;
        case TKE_EVENT_RESTOREDITEM:
            tarskPrint(u"Restored '%s'\n", location);
            TARSK_TRACE(8, kScanCallbackSource, u"[TARSKMOD][TARSKCallback] Restored '%s'\n",
                        location);
            break;
        default:
            break;
    }
    return 0;
}

// --- The real-time engine's callback ----------------------------------------------------

int CTARSKfRTSCallBack::TARSKCallback(uint32_t, int32_t event, int32_t scanner, int32_t,
                                      const TkItem* record) {
    const char16_t* location = recordLocation(record);
    switch (event) {
        case TKE_EVENT_STARTSCAN:
            tarskPrint(u"Started TkCleanByName Scanning\n");
            break;
        case TKE_EVENT_STARTITEMSCAN:
            tarskPrint(u"Started TkCleanByName Scanning '%s'\n", scannerName(scanner));
            break;
        case TKE_EVENT_ITEMFOUND: {
            uint32_t item = recordItemId(record);
            std::u16string name;
            if (isBasicScanner(scanner) && item > 0 && engine_->ItemName(item, &name)) {
                tarskPrint(u"TkCleanByName found [%s] in '%s'\n", name.c_str(), location);
                TARSK_TRACE(8, kRtsCallbackSource,
                            u"[TARSKMOD][TARSKCallback] TkCleanByName found [%s] in '%s'",
                            name.c_str(), location);
            }
            break;
        }
        case TKE_EVENT_FINISHEDSCAN:
            tarskPrint(u"TkCleanByName-Scan Finished!\n");
            TARSK_TRACE(8, kRtsCallbackSource,
                        u"[TARSKMOD][TARSKCallback] TkCleanByName-Scan Finished!");
            break;
        case TKE_EVENT_STARTCLEAN:
            tarskPrint(u"TkCleanByName Started Clean...\n");
            TARSK_TRACE(8, kRtsCallbackSource,
                        u"[TARSKMOD][TARSKCallback] TkCleanByName Started Clean...");
            break;
        case TKE_EVENT_CLEANEDITEM: {
            uint32_t item = recordItemId(record);
            if (!isBasicScanner(scanner) || item < 1)
                break;
            std::u16string name;
            if (engine_->ItemName(item, &name)) {
                tarskPrint(u"TkCleanByName Cleaned [%s] in '%s'\n", name.c_str(), location);
                TARSK_TRACE(8, kRtsCallbackSource,
                            u"[TARSKMOD][TARSKCallback] TkCleanByName Cleaned [%s] in '%s'",
                            name.c_str(), location);
            } else {
                TARSK_TRACE(4, kRtsCallbackSource,
                            u"[TARSKMOD][TARSKCallback case TKE_EVENT_CLEANEDITEM] TkCleanByName "
                            u"Cleaned [**Unable to query spyware name**] in '%s', Product Item "
                            u"ID = %ld",
                            location, static_cast<long>(item));
            }
            break;
        }
        case TKE_EVENT_FINISHEDCLEAN:
            tarskPrint(u"TkCleanByName-Clean Finished!\n");
            TARSK_TRACE(8, kRtsCallbackSource,
                        u"[TARSKMOD][TARSKCallback] TkCleanByName-Clean Finished!");
            break;
        case TKE_EVENT_STARTBACKUP:
            tarskPrint(u"Started Backup\n");
            TARSK_TRACE(8, kRtsCallbackSource, u"[TARSKMOD][TARSKCallback] Started Backup...");
            break;
        case TKE_EVENT_FINISHEDBACKUP:
            tarskPrint(u"Finished Backup\n");
            TARSK_TRACE(8, kRtsCallbackSource, u"[TARSKMOD][TARSKCallback] Finished Backup!");
            break;
        case TKE_EVENT_STARTRESTORE:
            tarskPrint(u"Started Restore\n");
            TARSK_TRACE(8, kRtsCallbackSource, u"[TARSKMOD][TARSKCallback] Started Restore...");
            break;
        case TKE_EVENT_FINISHEDRESTORE:
            tarskPrint(u"Finished Restore.\n");
            TARSK_TRACE(8, kRtsCallbackSource, u"[TARSKMOD][TARSKCallback] Finished Restore!");
            break;
        case TKE_EVENT_RESTOREDITEM:
            tarskPrint(u"Restored '%s' in '%s'\n", scannerName(scanner), location);
            TARSK_TRACE(8, kRtsCallbackSource, u"[TARSKMOD][TARSKCallback] Restored '%s'\n",
                        location);
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
