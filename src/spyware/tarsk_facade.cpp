// The spyware facade: GetTarskFacade's process-wide proxy and the one facade behind it.
//
// The proxy serialises initialisation and shutdown (the initialisation lock) and the pattern
// and whitelist operations (the task lock); scan, clean by name and stop take neither, so that
// a stop reaches a running scan. Beyond that, every operation holds a shared hold of the "use"
// lock and initialisation and shutdown an exclusive one: the library is never unloaded, nor an
// engine destroyed, under an operation that runs on another thread. Scans and cleans by name
// also hold the server-wide scan lock (a named mutex), so there is one at a time.
//
// Directories are copied when the facade is initialised; the engine directory defaults to the
// directory of the running program, the pattern directory to the engine's configuration
// directory.
#include <cgishare/trace.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <list>
#include <vector>

#include "platform/byte_text.h"
#include "platform/library.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "spyware/tarsk_internal.h"

CTARSKfFacadeBase::~CTARSKfFacadeBase() = default;

namespace nvl::tarsk {

std::recursive_mutex& generalEngineLock() {
    static std::recursive_mutex* lock = new std::recursive_mutex;
    return *lock;
}

namespace {

// The four engine handles: the global one (general task engine), the real-time engine's, the
// running scan's, and the one whose pattern the others share.
std::atomic<uint32_t> globalHandle{0}, rtsHandle{0}, scanHandle{0}, sharedHandle{0};

// The identifier this program gives the engine.
constexpr char16_t kCallerId[] = u"{6F1B7C52-3A0D-4E8B-9C41-2D5E7A9B0C13}";

constexpr size_t kMaxDirectory = 260;
constexpr uint32_t kMaxBackupRecordsListed = 1000;

std::recursive_mutex creationLock, initialisationLock, taskLock;
std::shared_mutex useLock;

bool fileExists(std::u16string_view path, bool library) {
    std::string bytes;
    if (!nvl::sys::wideToBytes(path, &bytes))
        return false;
    if (library)
        bytes = nvl::sys::resolvePath(nvl::sys::sharedObjectName(bytes));
    struct stat st {};
    return ::stat(bytes.c_str(), &st) == 0;
}

std::u16string joinPath(std::u16string directory, std::u16string_view name) {
    if (directory.empty() || directory.back() != u'/')
        directory.push_back(u'/');
    directory.append(name);
    return directory;
}

void markResult(TarskScanRequest* request, uint32_t status) {
    if (request != nullptr && request->resultSize >= sizeof(TarskScanResult))
        request->result.status |= status;
}

}  // namespace

class CTARSKfTARSKFacade : public CTARSKfFacadeBase {
  public:
    CTARSKfTARSKFacade() {
        std::string exe = nvl::sys::executablePath();
        size_t slash = exe.rfind('/');
        defaultDirectory_ = nvl::sys::bytesToWide(slash == std::string::npos ? std::string(".")
                                                  : slash == 0               ? std::string("/")
                                                               : exe.substr(0, slash));
    }

    int RunInitTARSK(const char16_t* engineDir, const char16_t* patternDir,
                     int writeVersionInfo) override {
        return initialise(false, engineDir, patternDir, writeVersionInfo);
    }

    int RunInitTARSKWithRTSEng(const char16_t* engineDir, const char16_t* patternDir,
                               int writeVersionInfo) override {
        return initialise(true, engineDir, patternDir, writeVersionInfo);
    }

    int RunDeInitTARSK() override {
        if (!initialised_ && !initialisedWithRts_ && sharedHandle.load() == 0) {
            TARSK_TRACE(8, kFacadeSource,
                        u"[TARSKMOD][RunDeInitTARSK] TARSK was already deinitialised. "
                        u"Deinitialisation skipped.");
            return 1;
        }
        {
            std::lock_guard lock(engineListLock_);
            for (CTARSKfGenericScannerEngine* engine : engines_) {
                engine->RunDeInitEngine();
                delete engine;
            }
            engines_.clear();
        }
        generalEngine_ = nullptr;
        rtsEngine_ = nullptr;
        if (tarskLoaded.load() != 0) {
            UnloadTARSK();
            tarskLoaded = 0;
            TARSK_TRACE(8, kFacadeSource, u"[TARSKMOD][RunDeInitTARSK] UnloadTARSK successfully!");
            tarskPrint(u"[RunDeInitTARSK] UnloadTARSK successfully!\n");
        }
        writeVersionInfo_ = 0;
        initialised_ = initialisedWithRts_ = 0;
        globalHandle = rtsHandle = scanHandle = sharedHandle = 0;
        haveEngineDir_ = havePatternDir_ = false;
        TARSK_TRACE(8, kFacadeSource, u"[TARSKMOD][RunDeInitTARSK] DeInitialising TARSK end!");
        tarskPrint(u"[RunDeInitTARSK] DeInitialising TARSK end!\n");
        return 1;
    }

    int RunSpywareScan(TarskScanRequest* request) override {
        if (request == nullptr)
            return 0;
        if (request->resultSize >= sizeof(TarskScanResult)) {
            std::memset(&request->result, 0, sizeof request->result);
        }
        try {
            if (!initialised_ && !initialisedWithRts_)
                throwTarsk(u"[TARSKMOD][RunSpywareScan] TARSK was not initialised. [%s|%d]",
                           kFacadeSource, __LINE__);
            if (request->scanType != TARSK_SCAN_FULL && request->scanType != TARSK_SCAN_QUICK)
                throwTarsk(
                    u"[TARSKMOD][RunSpywareScan] *UNKNOWN SCAN MODE - "
                    u"CTARSKfTARSKFacade::RunSpywareScan() ends without performing the "
                    u"scan. [%s|%d]",
                    kFacadeSource, __LINE__);
            ScanLock scanLock;
            if (!scanLock.acquired()) {
                refuse(u"RunSpywareScan");
                markResult(request, TARSK_RESULT_REFUSED);
                return 0;
            }
            RunInitSpecificEngine(&scanHandle, engineDirectory(), patternDirectory());
            std::unique_ptr<CTARSKfGenericScannerEngine> engine;
            if (request->scanType == TARSK_SCAN_FULL)
                engine = std::make_unique<CTARSKfFullScanEngine>(&scanHandle, patternDirectory());
            else
                engine = std::make_unique<CTARSKfQuickScanEngine>(&scanHandle, patternDirectory());
            ListedEngine listed(this, std::move(engine));
            return listed.engine->RunEngine(request);
        } catch (const CTARSKfException& e) {
            TARSK_TRACE(2, kFacadeSource, u"[TARSKMOD][RunSpywareScan] %s", e.GetMessage());
            markResult(request, TARSK_RESULT_FAILED);
            return 0;
        }
    }

    int RunRTSCleanByName(const char16_t* threatName, uint32_t* cleaned) override {
        if (cleaned != nullptr)
            *cleaned = 0;
        try {
            if (threatName == nullptr || *threatName == 0)
                throwTarsk(u"[TARSKMOD][RunRTSCleanByName] No threat name was given. [%s|%d]",
                           kFacadeSource, __LINE__);
            if (tarskLoaded.load() == 0)
                throwTarsk(u"[TARSKMOD][RunRTSCleanByName] The TARSK dll was not loaded. [%s|%d]",
                           kFacadeSource, __LINE__);
            if (!initialised_ && !initialisedWithRts_)
                throwTarsk(
                    u"[TARSKMOD][RunRTSCleanByName] The engine instance was uninitialised. "
                    u"[%s|%d]",
                    kFacadeSource, __LINE__);
            ScanLock scanLock;
            if (!scanLock.acquired()) {
                refuse(u"RunRTSCleanByName");
                return 0;
            }
            if (rtsEngine_ == nullptr) {
                if (sharedHandle.load() == 0)
                    throwTarsk(
                        u"[TARSKMOD][RunRTSCleanByName] The engine instance was "
                        u"uninitialised. [%s|%d]",
                        kFacadeSource, __LINE__);
                TARSK_TRACE(8, kFacadeSource,
                            u"[TARSKMOD][RunRTSCleanByName] RTS engine was uninitialised. Will "
                            u"attmpt to initialise the engine with pre-loaded engine handle");
                RunInitSpecificEngine(&rtsHandle, engineDirectory(), patternDirectory());
                rtsEngine_ = new CTARSKfRTSEngine(&rtsHandle, patternDirectory(), true);
                listEngine(rtsEngine_);
            }
            return rtsEngine_->RunCleanByName(threatName, cleaned);
        } catch (const CTARSKfException& e) {
            TARSK_TRACE(2, kFacadeSource, u"[TARSKMOD][RunRTSCleanByName] %s", e.GetMessage());
            return 0;
        }
    }

    int RunStopScan() override {
        std::lock_guard lock(engineListLock_);
        int result = 0;
        for (CTARSKfGenericScannerEngine* engine : engines_)
            result = engine->RunStopScan();
        return result;
    }

    int RunResetWhitelistItem() override {
        if (!generalReady(u"[TARSKMOD][RunResetWhitelistItem] The engine instance was "
                          u"uninitialised. [%s|%d]"))
            return 0;
        try {
            return generalEngine_->RunResetWhitelistItem();
        } catch (const CTARSKfException& e) {
            TARSK_TRACE(2, kFacadeSource, u"[TARSKMOD][RunResetWhitelistItem] %s", e.GetMessage());
            return 0;
        }
    }

    int RunAddWhitelistItem(uint32_t threatId, const char16_t* location) override {
        if (!generalReady(u"[TARSKMOD][RunAddWhitelistItem] The engine instance was "
                          u"uninitialised. [%s|%d]"))
            return 0;
        try {
            return generalEngine_->RunAddWhitelistItem(threatId, location);
        } catch (const CTARSKfException& e) {
            TARSK_TRACE(2, kFacadeSource, u"[TARSKMOD][RunAddWhitelistItem] %s", e.GetMessage());
            return 0;
        }
    }

    int RunQueryPatternSPYNames(TarskNameVisitor visit, void* context) override {
        if (!generalReady(u"[TARSKMOD][RunQueryPatternSPYNames] The engine instance was "
                          u"uninitialised. [%s|%d]"))
            return 0;
        try {
            return generalEngine_->RunQueryPatternSPYNames(visit, context);
        } catch (const CTARSKfException& e) {
            TARSK_TRACE(2, kFacadeSource, u"[TARSKMOD][RunQueryPatternSPYNames] %s",
                        e.GetMessage());
            return 0;
        }
    }

    int RunQueryVersion(TarskVersionInfo* info) override {
        try {
            if (info == nullptr || !IsGeneralTaskEngineInitialised()) {
                TARSK_TRACE(4, kFacadeSource,
                            u"[TARSKMOD][RunQueryVersion] The engine instance was uninitialised. "
                            u"[%s|%d]",
                            kFacadeSource, __LINE__);
                return 0;
            }
            return generalEngine_->RunQueryVersion(info);
        } catch (const CTARSKfException& e) {
            TARSK_TRACE(4, kFacadeSource, u"[TARSKMOD][RunQueryVersion] %s", e.GetMessage());
            return 0;
        }
    }

    int RunSpywareRestore(const char16_t* backupFile) override {
        if (!generalReady(u"[TARSKMOD][RunSpywareRestore] The engine instance was "
                          u"uninitialised. [%s|%d]"))
            return 0;
        if (backupFile == nullptr || !fileExists(backupFile, false)) {
            const char16_t* shown = backupFile != nullptr ? backupFile : u"";
            TARSK_TRACE(2, kFacadeSource,
                        u"[TARSKMOD][RunSpywareRestore] The specified backup file '%s' does not "
                        u"exist. [%s|%d]",
                        shown, kFacadeSource, __LINE__);
            tarskPrint(
                u"RunSpywareRestore() failed, the specified backup file '%s' does not "
                u"exist.\n",
                shown);
            return 0;
        }
        try {
            return generalEngine_->RunSpywareRestore(backupFile);
        } catch (const CTARSKfException& e) {
            TARSK_TRACE(2, kFacadeSource, u"%s", e.GetMessage());
            return 0;
        }
    }

    int RunGetSpywareNameByID(uint32_t threatId, char16_t* name, uint32_t size) override {
        if (name == nullptr || size == 0)
            return 0;
        if (!generalReady(u"[TARSKMOD][RunGetSpywareNameByID] The engine instance was "
                          u"uninitialised. [%s|%d]"))
            return 0;
        std::u16string found = generalEngine_->ThreatName(threatId);
        if (found.empty())
            return 0;
        size_t n = std::min<size_t>(found.size(), size - 1);
        std::memcpy(name, found.data(), n * sizeof(char16_t));
        name[n] = 0;
        return 1;
    }

    int ListBackupSet(const char16_t* backupFile, TarskBackupVisitor visit, void* context) {
        if (backupFile == nullptr || visit == nullptr ||
            !generalReady(u"[TARSKMOD][ListBackupSet] The engine instance was uninitialised. "
                          u"[%s|%d]"))
            return 0;
        uint32_t h = globalHandle.load();
        uint32_t count = 0;
        int32_t status = tk.TkGetBackupItems(h, backupFile, nullptr, 0, &count);
        if (status != TK_OK && status != TK_E_BUFFER_TOO_SMALL) {
            EngineError e = lastEngineError(h);
            TARSK_TRACE(4, kFacadeSource,
                        u"[TARSKMOD][ListBackupSet] The backup set '%s' cannot be read. '%s'. "
                        u"Error Code: %ld",
                        backupFile, e.text, static_cast<long>(e.code));
            return 0;
        }
        uint32_t room = std::min(count, kMaxBackupRecordsListed);
        std::vector<TkBackupItem> items(room);
        status = tk.TkGetBackupItems(h, backupFile, items.data(), room, &count);
        if (status != TK_OK && status != TK_E_BUFFER_TOO_SMALL)
            return 0;
        auto record = std::make_unique<TarskBackupRecord>();
        for (uint32_t i = 0; i < room && i < count; ++i) {
            const TkBackupItem& item = items[i];
            std::memset(record.get(), 0, sizeof *record);
            record->kind = item.kind;
            record->threatId = item.threatId;
            record->scannerId = item.scannerId;
            record->bytes = item.bytes;
            std::u16string name = generalEngine_->ThreatName(item.threatId);
            size_t n = std::min(name.size(), std::size(record->threatName) - 1);
            std::memcpy(record->threatName, name.data(), n * sizeof(char16_t));
            std::u16string_view location(item.location,
                                         std::char_traits<char16_t>::length(item.location));
            n = std::min(location.size(), std::size(record->location) - 1);
            std::memcpy(record->location, location.data(), n * sizeof(char16_t));
            if (visit(record.get(), context) == 0)
                break;
        }
        return 1;
    }

    // --- Operations 13 to 17 --------------------------------------------------------------

    int RunInitGlobalEngine(std::atomic<uint32_t>* handle, const char16_t* engineDir,
                            const char16_t* patternDir, int flag) {
        (void)patternDir;  // the pattern is read when the engines are made
        int32_t status;
        if (flag != 0 && (status = tk.TkSetOption(0, TK_CFG_LOGLEVEL, u"2")) != TK_OK)
            throwTarsk(
                u"[TARSKMOD][RunInitGlobalEngine] TkSetOption() failed, failed to configure "
                u"TK_CFG_LOGLEVEL. Error Code: %ld, [%s|%d]",
                static_cast<long>(status), kFacadeSource, __LINE__);
        // The engine's log path is drive C's directory here.
        std::u16string driveC = nvl::sys::bytesToWide(nvl::sys::driveCDirectory());
        if ((status = tk.TkSetOption(0, TK_CFG_LOGFILEPATH, driveC.c_str())) != TK_OK)
            throwTarsk(
                u"[TARSKMOD][RunInitGlobalEngine] TkSetOption() failed, failed to configure "
                u"TK_CFG_LOGFILEPATH. Error Code: %ld, [%s|%d]",
                static_cast<long>(status), kFacadeSource, __LINE__);
        std::u16string backup = joinPath(defaultDirectory_, u"BackupAS");
        if ((status = tk.TkSetOption(0, TK_CFG_BACKUPDIR, backup.c_str())) != TK_OK)
            throwTarsk(
                u"[TARSKMOD][RunInitGlobalEngine] TkSetOption() failed, failed to configure "
                u"TK_CFG_BACKUPDIR. Error Code: %ld, [%s|%d]",
                static_cast<long>(status), kFacadeSource, __LINE__);
        tk.TkSetOption(0, TK_CFG_REBOOTLESS, u"true");
        initEngine(handle, engineDir, u"RunInitGlobalEngine",
                   u"[RunInitGlobalEngine] Initialising global engine end!\n");
        return 1;
    }

    int RunInitSpecificEngine(std::atomic<uint32_t>* handle, const char16_t* engineDir,
                              const char16_t* patternDir) {
        (void)patternDir;
        initEngine(handle, engineDir, u"RunInitSpecificEngine",
                   u"[RunInitSpecificEngine] Initialising specific engine end!\n");
        return 1;
    }

    int RunLoadTARSKDll(const char16_t* directory) {
        TARSK_TRACE(8, kLoadSource, u"[TARSKMOD][RunLoadTARSKDll] Loading TARSK DLL begins...");
        tarskPrint(u"[RunLoadTARSKDll] Loading TARSK DLL begins...\n");
        std::u16string dir =
            directory != nullptr && *directory != 0 ? directory : defaultDirectory_;
        // A longer directory would be cut before the file name, and the cut name could lead to
        // a library somewhere else.
        if (dir.size() >= kMaxDirectory)
            throwTarsk(
                u"[TARSKMOD][RunLoadTARSKDll] The directory '%s' is %d characters long; "
                u"directories of %d characters or more are refused. [%s|%d]",
                dir.c_str(), static_cast<int>(dir.size()), static_cast<int>(kMaxDirectory),
                kLoadSource, __LINE__);
        std::u16string path = joinPath(dir, u"tarsk32.dll");
        if (!fileExists(path, true))
            throwTarsk(
                u"[TARSKMOD][RunLoadTARSKDll] PathFileExists() failed, TARSK file "
                u"tarsk32.dll does not exist. [%s|%d]",
                kLoadSource, __LINE__);
        uint32_t error = LoadTARSK(path.c_str());
        if (error != 0) {
            tarskLoaded = 0;
            throwTarsk(
                u"[TARSKMOD][RunLoadTARSKDll] RunLoadTARSKDll() failed, failed to load "
                u"TARSK. Error Code: %ld [%s|%d]",
                static_cast<long>(error), kLoadSource, __LINE__);
        }
        TARSK_TRACE(8, kLoadSource, u"[TARSKMOD][RunLoadTARSKDll] Loading TARSK DLL succeed!");
        tarskPrint(u"[TARSKMOD][RunLoadTARSKDll] Loading TARSK DLL succeed!\n");
        tarskLoaded = 1;
        return 1;
    }

    int RunDeInitEngine(std::atomic<uint32_t>* engine) { return ReleaseEngineHandle(engine); }

    int IsGeneralTaskEngineInitialised() {
        std::lock_guard lock(generalEngineLock());
        if (initialised_) {
            if (generalEngine_ != nullptr && globalHandle.load() != 0)
                return 1;
            TARSK_TRACE(4, kFacadeSource,
                        u"[TARSKMOD][IsGeneralTaskEngineInitialised] TARSk was uninitialised. "
                        u"[%s|%d]",
                        kFacadeSource, __LINE__);
            return 0;
        }
        if (initialisedWithRts_ && sharedHandle.load() != 0) {
            TARSK_TRACE(8, kFacadeSource,
                        u"[TARSKMOD][IsGeneralTaskEngineInitialised] General engine was "
                        u"uninitialised. Will attmpt to initialise the engine with pre-loaded "
                        u"engine handle.");
            tarskPrint(
                u"[IsGeneralTaskEngineInitialised] General engine was uninitialised. "
                u"Will attmpt to initialise the engine with pre-loaded engine handle.\n");
            RunInitSpecificEngine(&globalHandle, engineDirectory(), patternDirectory());
            initialised_ = 1;
            generalEngine_ = new CTARSKfGeneralTaskEngine(&globalHandle, patternDirectory(), true);
            listEngine(generalEngine_);
            TARSK_TRACE(8, kFacadeSource,
                        u"[TARSKMOD][IsGeneralTaskEngineInitialised] General engine has been "
                        u"successfully initialised!");
            return 1;
        }
        TARSK_TRACE(4, kFacadeSource,
                    u"[TARSKMOD][IsGeneralTaskEngineInitialised] TARSk was uninitialised. "
                    u"[%s|%d]",
                    kFacadeSource, __LINE__);
        return 0;
    }

  private:
    // RunInitTARSK (the general task engine on the global handle) and RunInitTARSKWithRTSEng
    // (the real-time engine on its own handle, whose pattern the others share later).
    int initialise(bool realTime, const char16_t* engineDir, const char16_t* patternDir,
                   int writeVersionInfo) {
        const char16_t* operation = realTime ? u"RunInitTARSKWithRTSEng" : u"RunInitTARSK";
        if (initialised_ || initialisedWithRts_) {
            TARSK_TRACE(8, kFacadeSource,
                        u"[TARSKMOD][%s] TARSK has already been initialised. Initialisation "
                        u"skipped.",
                        operation);
            return 1;
        }
        keepDirectories(engineDir, patternDir, writeVersionInfo);
        try {
            RunLoadTARSKDll(engineDirectory());
            std::atomic<uint32_t>* handle = realTime ? &rtsHandle : &globalHandle;
            RunInitGlobalEngine(handle, engineDirectory(), realTime ? nullptr : patternDirectory(),
                                writeVersionInfo_);
            CTARSKfGenericScannerEngine* engine;
            if (realTime)
                engine = rtsEngine_ = new CTARSKfRTSEngine(handle, patternDirectory(), false);
            else
                engine = generalEngine_ =
                    new CTARSKfGeneralTaskEngine(handle, patternDirectory(), false);
            sharedHandle = handle->load();
            listEngine(engine);
            (realTime ? initialisedWithRts_ : initialised_) = 1;
            if (writeVersionInfo_ != 0)
                writeVersionInformation();
            return 1;
        } catch (const CTARSKfException& e) {
            TARSK_TRACE(2, kFacadeSource, u"[TARSKMOD][%s] %s", operation, e.GetMessage());
            forgetInitialisation();
            return 0;
        }
    }

    // An engine in the list for the life of this object.
    struct ListedEngine {
        ListedEngine(CTARSKfTARSKFacade* f, std::unique_ptr<CTARSKfGenericScannerEngine> e)
            : facade(f), engine(std::move(e)) {
            facade->listEngine(engine.get());
        }
        ~ListedEngine() {
            facade->unlistEngine(engine.get());
            engine->RunDeInitEngine();
        }
        CTARSKfTARSKFacade* facade;
        std::unique_ptr<CTARSKfGenericScannerEngine> engine;
    };

    void listEngine(CTARSKfGenericScannerEngine* engine) {
        std::lock_guard lock(engineListLock_);
        engines_.push_back(engine);
    }

    void unlistEngine(CTARSKfGenericScannerEngine* engine) {
        std::lock_guard lock(engineListLock_);
        engines_.remove(engine);
    }

    void keepDirectories(const char16_t* engineDir, const char16_t* patternDir, int flag) {
        haveEngineDir_ = engineDir != nullptr && *engineDir != 0;
        engineDir_ = haveEngineDir_ ? engineDir : u"";
        havePatternDir_ = patternDir != nullptr && *patternDir != 0;
        patternDir_ = havePatternDir_ ? patternDir : u"";
        writeVersionInfo_ = flag;
    }

    const char16_t* engineDirectory() const {
        return haveEngineDir_ ? engineDir_.c_str() : nullptr;
    }
    const char16_t* patternDirectory() const {
        return havePatternDir_ ? patternDir_.c_str() : nullptr;
    }

    void forgetInitialisation() {
        writeVersionInfo_ = 0;
        initialised_ = initialisedWithRts_ = 0;
        // A handle the failed initialisation made is given back to the engine.
        ReleaseEngineHandle(&globalHandle);
        ReleaseEngineHandle(&rtsHandle);
        sharedHandle = 0;
        haveEngineDir_ = havePatternDir_ = false;
    }

    void initEngine(std::atomic<uint32_t>* handle, const char16_t* engineDir,
                    const char16_t* operation, const char16_t* endPrint) {
        std::u16string dir =
            engineDir != nullptr && *engineDir != 0 ? engineDir : defaultDirectory_;
        int32_t status = tk.TkSetOption(handle->load(), TK_CFG_CONFIGDIR, dir.c_str());
        TARSK_TRACE(4, kFacadeSource, u"[TARSKMOD][%s] engine path: %s", operation, dir.c_str());
        if (status != TK_OK)
            throwTarsk(
                u"[TARSKMOD][%s] TkSetOption() failed, failed to configure "
                u"TK_CFG_CONFIGDIR. Error Code: %ld, [%s|%d]",
                operation, static_cast<long>(status), kFacadeSource, __LINE__);
        TkHandle created = 0;
        status = tk.TkInit(kCallerId, TK_INTERFACE_VERSION, &created);
        if (status != TK_OK) {
            EngineError e = lastEngineError(handle->load());
            TARSK_TRACE(2, kFacadeSource,
                        u"[TARSKMOD][%s] TkInit() failed, failed to initialise TARSK. '%s'. Error "
                        u"Code: %ld",
                        operation, e.text, static_cast<long>(e.code));
            throwTarsk(
                u"[TARSKMOD][%s] TkInit() failed, failed to initialise TARSK. '%s'. Error "
                u"Code: %ld, [%s|%d]",
                operation, e.text, static_cast<long>(e.code), kFacadeSource, __LINE__);
        }
        handle->store(created);
        TARSK_TRACE(8, kFacadeSource, u"[TARSKMOD][%s] Initialising TARSK end!", operation);
        tarskPrint(endPrint);
    }

    void writeVersionInformation() {
        TarskVersionInfo info;
        if (RunQueryVersion(&info) == 0) {
            TARSK_TRACE(4, kFacadeSource,
                        u"[TARSKMOD][WriteDebugVersionInfo] Could not query the version "
                        u"information.");
            return;
        }
        tarskPrint(u"Pattern Version=%s\n", info.patternVersion);
        tarskPrint(u"Pattern Date=%s\n", info.patternDate);
        tarskPrint(u"Pattern Signatures=%s\n", info.patternSignatures);
        tarskPrint(u"TARSK Version=%s\n", info.engineVersion);
        TARSK_TRACE(8, kFacadeSource, u"[TARSKMOD][WriteDebugVersionInfo] Pattern Version=%s",
                    info.patternVersion);
        TARSK_TRACE(8, kFacadeSource, u"[TARSKMOD][WriteDebugVersionInfo] Pattern Date=%s",
                    info.patternDate);
        TARSK_TRACE(8, kFacadeSource, u"[TARSKMOD][WriteDebugVersionInfo] Pattern Signatures=%s",
                    info.patternSignatures);
        TARSK_TRACE(8, kFacadeSource, u"[TARSKMOD][WriteDebugVersionInfo] TARSK Version=%s",
                    info.engineVersion);
    }

    bool generalReady(const char16_t* uninitialised) {
        try {
            if (IsGeneralTaskEngineInitialised())
                return true;
        } catch (const CTARSKfException& e) {
            TARSK_TRACE(2, kFacadeSource, u"%s", e.GetMessage());
        }
        TARSK_TRACE(4, kFacadeSource, uninitialised, kFacadeSource, __LINE__);
        return false;
    }

    void refuse(const char16_t* operation) {
        TARSK_TRACE(2, kFacadeSource,
                    u"[TARSKMOD][%s] Another spyware scan is running; this one is refused. [%s|%d]",
                    operation, kFacadeSource, __LINE__);
        tarskPrint(u"[%s] Another spyware scan is running; this one is refused.\n", operation);
    }

    CTARSKfRTSEngine* rtsEngine_ = nullptr;
    CTARSKfGeneralTaskEngine* generalEngine_ = nullptr;
    int initialisedWithRts_ = 0;
    int initialised_ = 0;
    int writeVersionInfo_ = 0;
    std::u16string defaultDirectory_;
    std::u16string engineDir_, patternDir_;
    bool haveEngineDir_ = false, havePatternDir_ = false;
    std::list<CTARSKfGenericScannerEngine*> engines_;
    std::recursive_mutex engineListLock_;
};

namespace {

class CTARSKfFacadeProxy : public CTARSKfFacadeBase {
  public:
    explicit CTARSKfFacadeProxy(CTARSKfTARSKFacade* facade) : facade_(facade) {}

    int RunInitTARSK(const char16_t* e, const char16_t* p, int f) override {
        return initialising([&] { return facade_->RunInitTARSK(e, p, f); });
    }
    int RunInitTARSKWithRTSEng(const char16_t* e, const char16_t* p, int f) override {
        return initialising([&] { return facade_->RunInitTARSKWithRTSEng(e, p, f); });
    }
    int RunDeInitTARSK() override {
        return initialising([&] { return facade_->RunDeInitTARSK(); });
    }
    int RunSpywareScan(TarskScanRequest* r) override {
        std::shared_lock use(useLock);
        return facade_->RunSpywareScan(r);
    }
    int RunRTSCleanByName(const char16_t* n, uint32_t* c) override {
        std::shared_lock use(useLock);
        return facade_->RunRTSCleanByName(n, c);
    }
    int RunStopScan() override {
        std::shared_lock use(useLock);
        return facade_->RunStopScan();
    }
    int RunResetWhitelistItem() override {
        return task([&] { return facade_->RunResetWhitelistItem(); });
    }
    int RunAddWhitelistItem(uint32_t id, const char16_t* l) override {
        return task([&] { return facade_->RunAddWhitelistItem(id, l); });
    }
    int RunQueryPatternSPYNames(TarskNameVisitor v, void* c) override {
        return task([&] { return facade_->RunQueryPatternSPYNames(v, c); });
    }
    int RunQueryVersion(TarskVersionInfo* i) override {
        return task([&] { return facade_->RunQueryVersion(i); });
    }
    int RunSpywareRestore(const char16_t* b) override {
        return task([&] { return facade_->RunSpywareRestore(b); });
    }
    int RunGetSpywareNameByID(uint32_t id, char16_t* n, uint32_t s) override {
        return task([&] { return facade_->RunGetSpywareNameByID(id, n, s); });
    }
    int ListBackupSet(const char16_t* b, TarskBackupVisitor v, void* c) {
        return task([&] { return facade_->ListBackupSet(b, v, c); });
    }

  private:
    template <typename F>
    int initialising(F f) {
        std::lock_guard lock(initialisationLock);
        std::unique_lock use(useLock);
        return f();
    }
    template <typename F>
    int task(F f) {
        std::lock_guard lock(taskLock);
        std::shared_lock use(useLock);
        return f();
    }

    CTARSKfTARSKFacade* facade_;
};

std::atomic<CTARSKfFacadeProxy*> instance{nullptr};

CTARSKfFacadeProxy* proxy() {
    CTARSKfFacadeProxy* p = instance.load(std::memory_order_acquire);
    if (p != nullptr)
        return p;
    std::lock_guard lock(creationLock);
    p = instance.load(std::memory_order_relaxed);
    if (p == nullptr) {
        p = new CTARSKfFacadeProxy(new CTARSKfTARSKFacade);
        instance.store(p, std::memory_order_release);
    }
    return p;
}

}  // namespace

}  // namespace nvl::tarsk

CTARSKfFacadeBase* GetTarskFacade() {
    return nvl::tarsk::proxy();
}

int ListTarskBackupSet(const char16_t* backupFile, TarskBackupVisitor visit, void* context) {
    return nvl::tarsk::proxy()->ListBackupSet(backupFile, visit, context);
}
