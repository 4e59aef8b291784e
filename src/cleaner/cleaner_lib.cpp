// The cleaner library: its process-wide state, its contexts and their options, and the pattern
// version query. What each operation promises is set out in cleaner.h.
//
// Design:
//   - One state per process: the open flag, the settings and the settings file's options,
//     made by a successful CleanerLibInit and destroyed by CleanerLibQuit. CleanerLibInit builds
//     them aside and publishes them only when every step passed, so a failure leaves the library
//     closed with nothing half made. Records are wiped (explicit_bzero) before they are freed.
//   - The library knows its live contexts. The original took any pointer whose first word held
//     the marker as a context, and so read freed memory for a handle already released; here a
//     handle is valid only while it is in the set of contexts made and not yet released.
//     Contexts outlive CleanerLibQuit (the caller releases them, with the library open), as the
//     tool's own library does.
//   - Every operation holds the state's lock while it runs: misuse from several threads cannot
//     tear the state. getQXCPattern and getKPWSpyPattern hold the process lock on top
//     (cleaner_qxc.cpp).
//   - Limits: every text kept in a 260-byte field must fit with its NUL (and a path with its
//     separator); otherwise kCleanerInvalidArgument. The original counted 260 characters
//     without the NUL and wrote one byte past its fields.
//   - The pattern version is read once per query, from one open file: the original read the
//     header a second time to copy the text out, and a pattern replaced in between could fail
//     the query (a longer text than the first read announced).
#include <string.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

#include "cleaner/cleaner.h"
#include "cleaner/cleaner_settings.h"
#include "cleaner/cleaner_testing.h"
#include "cleaner/executable_checks.h"
#include "cleaner/option_store.h"
#include "cleaner/pattern_header.h"

namespace nvl::cleaner {

namespace {

template <class Record>
struct WipeDelete {
    void operator()(Record* record) const {
        ::explicit_bzero(record, sizeof *record);
        delete record;
    }
};
template <class Record>
using RecordPtr = std::unique_ptr<Record, WipeDelete<Record>>;

struct LibraryState {
    uint32_t open = 0;
    RecordPtr<CleanerSettings> settings;
    RecordPtr<CleanerIniOptions> options;
    std::unordered_set<CleanerContext*> contexts;
};

std::mutex g_stateLock;
LibraryState g_state;
std::atomic<ExecutableCheck> g_checkForTesting{nullptr};

bool isLive(CleanerContext* ctx) {
    return ctx != nullptr && g_state.contexts.count(ctx) != 0 && ctx->marker == kContextMarker;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// `directory` joined with `name` by one '/'.
std::string joinPath(std::string_view directory, std::string_view name) {
    std::string path(directory);
    if (path.empty() || path.back() != '/')
        path += '/';
    path += name;
    return path;
}

// The options of the settings file as the first items of a new store.
void fillStore(const CleanerIniOptions& options, CleanerOptionStore* store) {
    const std::pair<int32_t, const char*> texts[] = {
        {kOptionExtraOutputs, options.extraOutputs}, {kOptionReportDir, options.reportDir},
        {kOptionBackupDir, options.backupDir},       {kOptionDebugLogDir, options.debugLogDir},
        {kOptionPatternDir, options.fullPatternDir}, {kOptionPatternName, options.patternName},
    };
    for (const auto& [id, text] : texts) {
        if (text[0] != '\0')
            store->setText(id, text);
    }
    store->setFlag(kOptionDisableConsoleOutput, options.disableConsoleOutput != 0);
    store->setFlag(kOptionDisableReportOutput, options.disableReportOutput != 0);
    store->setFlag(kOptionDisableDebugOutput, options.disableDebugOutput != 0);
    store->setInteger(kOptionDebugInfoLevel, static_cast<uint32_t>(options.debugInfoLevel));
    store->setFlag(kOptionBackupFile, options.backupFile != 0);
    store->setFlag(kOptionVirusMsgbox, options.virusMsgbox != 0);
    store->setFlag(kOptionNoneMsgbox, options.noneMsgbox != 0);
    store->setInteger(kOptionInterfaceVersion, 0x10001);
}

// Reads the version of the settings' pattern file into the settings' version text.
uint32_t readPatternVersion(CleanerSettings* settings, uint16_t* version) {
    std::string path = joinPath(settings->patternDir, settings->patternName);
    if (path.size() >= kTextField)
        return kCleanerInvalidArgument;
    uint32_t status = readPatternVersionFile(path, version);
    if (status != kCleanerOk)
        return status;
    std::snprintf(settings->patternVersion, sizeof settings->patternVersion, "%u",
                  static_cast<unsigned>(*version));
    return kCleanerOk;
}

}  // namespace

void setExecutableCheckForTesting(ExecutableCheck check) {
    g_checkForTesting.store(check);
}

size_t liveContextCountForTesting() {
    std::lock_guard lock(g_stateLock);
    return g_state.contexts.size();
}

uint32_t CleanerLibInit(const char* directory, const char* executableName) {
    std::lock_guard lock(g_stateLock);
    if (g_state.open != 0)
        return kCleanerAlreadyOpen;
    if (directory == nullptr || directory[0] == '\0' ||
        ::strnlen(directory, kTextField) >= kTextField)
        return kCleanerInvalidArgument;
    const char* name = executableName != nullptr ? executableName : kDefaultExecutableName;
    if (::strnlen(name, kTextField) >= kTextField || isBlank(name[0]))
        return kCleanerInvalidArgument;

    RecordPtr<CleanerSettings> settings(new CleanerSettings);
    if (!setField(settings->libraryDir, directory) ||
        !setField(settings->executablePath, joinPath(directory, name)) ||
        !setField(settings->settingsPath, joinPath(directory, kSettingsFileName)))
        return kCleanerInvalidArgument;

    ExecutableCheck check = g_checkForTesting.load();
    uint32_t status = check != nullptr ? check(settings.get()) : checkExecutable(settings.get());
    if (status != kCleanerOk)
        return status;

    RecordPtr<CleanerIniOptions> options(new CleanerIniOptions);
    options->settings = settings.get();
    if (loadSettingsFile(options.get()) != kCleanerOk)
        return kCleanerSettingsFailed;

    g_state.settings = std::move(settings);
    g_state.options = std::move(options);
    g_state.open = 1;
    return kCleanerOk;
}

uint32_t readPatternFileOf(const char* directory, const char* patternName, std::string* path,
                           uint16_t* version) {
    *version = 0;
    if (directory == nullptr || directory[0] == '\0' ||
        ::strnlen(directory, kTextField) >= kTextField)
        return kCleanerInvalidArgument;
    RecordPtr<CleanerSettings> settings(new CleanerSettings);
    if (!setField(settings->libraryDir, directory) ||
        !setField(settings->settingsPath, joinPath(directory, kSettingsFileName)))
        return kCleanerInvalidArgument;
    RecordPtr<CleanerIniOptions> options(new CleanerIniOptions);
    options->settings = settings.get();
    if (loadSettingsFile(options.get()) != kCleanerOk)
        return kCleanerSettingsFailed;
    if (patternName != nullptr && !setField(settings->patternName, patternName))
        return kCleanerInvalidArgument;
    *path = joinPath(settings->patternDir, settings->patternName);
    return readPatternVersion(settings.get(), version);
}

uint32_t CleanerLibQuit() {
    std::lock_guard lock(g_stateLock);
    if (g_state.open == 0)
        return kCleanerNotOpen;
    g_state.options.reset();
    g_state.settings.reset();
    g_state.open = 0;
    return kCleanerOk;
}

uint32_t CleanerContextInit(CleanerContext** out, uint32_t /*reserved*/) {
    std::lock_guard lock(g_stateLock);
    if (g_state.open == 0)
        return kCleanerNotOpen;
    if (out == nullptr)
        return kCleanerInvalidArgument;
    auto store = std::make_unique<CleanerOptionStore>();
    store->executablePath = g_state.settings->executablePath;
    store->patternName = g_state.settings->patternName;
    fillStore(*g_state.options, store.get());
    auto ctx = std::make_unique<CleanerContext>(CleanerContext{kContextMarker, store.get()});
    g_state.contexts.insert(ctx.get());
    store.release();
    *out = ctx.release();
    return kCleanerOk;
}

uint32_t CleanerContextQuit(CleanerContext* ctx) {
    std::lock_guard lock(g_stateLock);
    if (g_state.open == 0)
        return kCleanerNotOpen;
    if (!isLive(ctx))
        return kCleanerInvalidArgument;
    g_state.contexts.erase(ctx);
    ctx->marker = 0;
    delete ctx->store;
    ctx->store = nullptr;
    delete ctx;
    return kCleanerOk;
}

uint32_t CleanerSetOption(CleanerContext* ctx, int id, const char* value) {
    std::lock_guard lock(g_stateLock);
    if (g_state.open == 0)
        return kCleanerNotOpen;
    if (value == nullptr)
        return kCleanerInvalidArgument;
    switch (id) {
        case kOptionPatternDir:
        case kOptionBackupDir:
        case kOptionDebugLogDir:
        case kOptionReportDir:
        case kOptionPatternName:
            if (::strnlen(value, kTextField) >= kTextField)
                return kCleanerInvalidArgument;
            break;
        case 7:
        case 8:
        case 12:
            return kCleanerInvalidArgument;
        case 10:
        case 11:
            return kCleanerOptionNotSupported;
        default:
            break;
    }
    if (!isLive(ctx))
        return kCleanerInvalidArgument;
    ctx->store->setText(id, value);
    if (id == kOptionPatternDir)
        setField(g_state.settings->patternDir, value);
    else if (id == kOptionPatternName)
        setField(g_state.settings->patternName, value);
    return kCleanerOk;
}

uint32_t CleanerGetProperty(CleanerContext* ctx, int id, unsigned long* value) {
    std::lock_guard lock(g_stateLock);
    if (g_state.open == 0)
        return kCleanerNotOpen;
    if (!isLive(ctx) || value == nullptr)
        return kCleanerInvalidArgument;
    if (id == kPropertyPatternVersion) {
        uint16_t version = 0;
        uint32_t status = readPatternVersion(g_state.settings.get(), &version);
        if (status == kCleanerOk)
            *value = version;
        return status;
    }
    const OptionItem* item = ctx->store->find(id);
    // A text has no 32-bit value to give (the original gave its address).
    if (item == nullptr || item->kind == OptionKind::Text)
        return kCleanerInvalidArgument;
    *value = item->number;
    return kCleanerOk;
}

}  // namespace nvl::cleaner
