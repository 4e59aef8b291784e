// Major virus types and the default extension list, read out of a virus pattern through the
// scan engine and stored in nvlscan.ini; what callers see is set out in <cgishare/virus_types.h>.
//
// Each call makes its own engine handle (MrInit with the calling thread's id), reads and
// configures the pattern, queries it and releases the handle before it returns, on every path.
// Nothing is kept between calls, so calls from several threads or processes need no lock of
// ours; the engine is thread-safe.
//
// The engine's answers are not trusted further than its interface promises: a count must be
// positive and no more than the room given, a size must be non-zero, and texts are read only
// within the bytes the engine was given (a name within its 17 bytes, the extension list within
// the size it reported), terminated or not.
//
// All keys of one call go to the file in one batch (config/home_ini.h): the count and the
// entries of the type list, or the four copies of the extension list. Written key by key, two
// calls at once (a pattern rebuild and the console) could leave a count of one pattern over the
// names of another, and a reader between two keys would see half a list.
#include "cgishare/virus_types.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cgishare/trace.h"
#include "config/home_ini.h"
#include "engine/marlin.h"
#include "pattern/virus_types_internal.h"
#include "platform/error.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "trace/trace_sources.h"

#define VT_TRACE(...) DebugTraceA(6, nvl::trace::kShareSource, __LINE__, __VA_ARGS__)

namespace {

namespace sys = nvl::sys;
using nvl::engine::Marlin;

// The original copied the path into a buffer of this size; a longer one would be cut.
constexpr size_t kPathBufferSize = 260;
constexpr char kMajorTypeSection[] = "INI_MAJOR_VIRUS_TYPE_SECTION";
constexpr char kExtListKey[] = "DefaultExtList";
constexpr const char* kScanSections[] = {
    "Manual Scan Configuration",
    "Real Time Scan Configuration",
    "Prescheduled Scan Configuration",
    "Scan Now Configuration",
};
constexpr uint32_t kServerProfileValue = 2;

// Engine action codes and the codes the console stores for them; any other code becomes
// kDefaultFirstAction or kDefaultSecondAction.
struct ActionRow {
    uint16_t engine;
    int console;
};
constexpr ActionRow kActionTable[] = {{0, 1}, {1, 3}, {2, 4}, {3, 5}, {4, 2}, {25, 25}};
constexpr int kDefaultFirstAction = 5;
constexpr int kDefaultSecondAction = 4;

int consoleAction(uint16_t engineCode, int fallback) {
    for (const ActionRow& row : kActionTable) {
        if (row.engine == engineCode)
            return row.console;
    }
    return fallback;
}

// Releases an engine handle when the scope ends.
class HandleGuard {
  public:
    HandleGuard(const Marlin* engine, MrHandle handle) : engine_(engine), handle_(handle) {}
    ~HandleGuard() { engine_->release(handle_); }
    HandleGuard(const HandleGuard&) = delete;
    HandleGuard& operator=(const HandleGuard&) = delete;

  private:
    const Marlin* engine_;
    MrHandle handle_;
};

// Creates a handle, reads the pattern into it and configures it; `who` names the caller in the
// traces. On success the caller owns *handle.
bool openPattern(const char* who, const char* ptnPath, const Marlin** engineOut, MrHandle* handle) {
    if (ptnPath == nullptr) {
        VT_TRACE("[%s] cszPtnPath is NULL", who);
        return false;
    }
    size_t length = strnlen(ptnPath, kPathBufferSize);
    if (length >= kPathBufferSize) {
        VT_TRACE("[%s] cszPtnPath is %zu characters or longer, refused", who, kPathBufferSize);
        return false;
    }
    const Marlin* engine = nvl::engine::marlin();
    if (engine == nullptr) {
        VT_TRACE("[%s] scan engine not available (error %u)", who, sys::lastError());
        return false;
    }
    MrHandle created = 0;
    if (engine->init(sys::currentThreadId(), "", 0, &created) != 0) {
        VT_TRACE("[%s] MrInit failed", who);
        return false;
    }
    if (engine->readPatternInFile(created, ptnPath, 0) != 0) {
        VT_TRACE("[%s]MrReadPatternInFile(%s) failed", who, ptnPath);
        engine->release(created);
        return false;
    }
    if (engine->setConfig(created, MR_CONFIG_SCAN_PROFILE, kServerProfileValue, 0) != 0) {
        VT_TRACE("[%s]MrSetConfig(%s) failed", who, ptnPath);
        engine->release(created);
        return false;
    }
    *engineOut = engine;
    *handle = created;
    return true;
}

std::string decimal(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return text;
}

std::string numberedKey(const char* prefix, int32_t index) {
    char key[32];
    std::snprintf(key, sizeof key, "%s%03d", prefix, index);
    return key;
}

// A name as the engine filled it: up to its NUL, within the field.
std::string entryName(const MrMajorTypeEntry& entry) {
    return std::string(entry.name, strnlen(entry.name, sizeof entry.name));
}

// Queries the major types of a configured pattern and stores them. Returns when there is
// nothing to store; the caller releases the handle.
void storeMajorTypes(const Marlin* engine, MrHandle handle, const char* ptnPath) {
    constexpr char kWho[] = "UD_QueryMajorVirusTypes";
    MrMajorTypeEntry first{};
    MrPatternPropertyRequest request{1, &first};
    int32_t count = engine->getPatternProperty(handle, MR_PROPERTY_MAJOR_TYPES, 0, &request);
    if (count < 0) {
        VT_TRACE("[%s]MrGetPatternProperty(%s) failed", kWho, ptnPath);
        return;
    }
    if (count == 0) {
        VT_TRACE("[%s]MrGetPatternProperty(%s) no major type", kWho, ptnPath);
        return;
    }
    VT_TRACE("[%s] major type counts [%d]", kWho, count);

    // The list is always asked for with room for all of it, a single type as well: whether the
    // counting call filled its one entry is the engine's business.
    std::unique_ptr<MrMajorTypeEntry, decltype(&std::free)> entries(
        static_cast<MrMajorTypeEntry*>(std::calloc(static_cast<size_t>(count), sizeof first)),
        &std::free);
    if (!entries) {
        VT_TRACE("[%s] no memory for %d major types", kWho, count);
        return;
    }
    request.room = count;
    request.entries = entries.get();
    int32_t filled = engine->getPatternProperty(handle, MR_PROPERTY_MAJOR_TYPES, 0, &request);
    if (filled <= 0 || filled > count) {
        VT_TRACE("[%s]MrGetPatternProperty(%s) filled %d of %d", kWho, ptnPath, filled, count);
        return;
    }

    struct Row {
        std::string name;
        int firstAction, secondAction;
    };
    std::vector<Row> rows;
    std::vector<sys::ProfileWrite> writes;
    rows.reserve(static_cast<size_t>(filled));
    writes.reserve(1 + 3 * static_cast<size_t>(filled));
    writes.push_back({kMajorTypeSection, "Count", decimal(filled)});
    for (int32_t i = 1; i <= filled; ++i) {
        const MrMajorTypeEntry& entry = entries.get()[i - 1];
        Row row{entryName(entry), consoleAction(entry.firstAction, kDefaultFirstAction),
                consoleAction(entry.secondAction, kDefaultSecondAction)};
        if (row.name.find_first_of("\r\n") != std::string::npos) {
            // A line break cannot be stored in the file. The entry keeps an empty name rather
            // than whatever name an earlier pattern left under its key.
            VT_TRACE("[%s] major type %d has a line break in its name, stored without it", kWho, i);
            row.name.clear();
        }
        writes.push_back({kMajorTypeSection, numberedKey("1st_Act_", i), decimal(row.firstAction)});
        writes.push_back(
            {kMajorTypeSection, numberedKey("2nd_Act_", i), decimal(row.secondAction)});
        writes.push_back({kMajorTypeSection, numberedKey("Name_", i), row.name});
        rows.push_back(std::move(row));
    }
    if (!nvl::config::writeINIStrings(writes, nullptr)) {
        VT_TRACE("[%s] can't write the major types of %s (error %u)", kWho, ptnPath,
                 sys::lastError());
        return;
    }
    for (const Row& row : rows)
        VT_TRACE("[%s] write [%s %d %d]", kWho, row.name.c_str(), row.firstAction,
                 row.secondAction);
}

}  // namespace

int UD_LoadPattern(const char* ptnPath, MrHandle* out) {
    const Marlin* engine = nullptr;
    MrHandle handle = 0;
    if (out == nullptr || !openPattern("UD_LoadPattern", ptnPath, &engine, &handle))
        return -1;
    *out = handle;
    return 0;
}

namespace nvl::pattern {

std::string consoleExtList(std::string_view engineList) {
    // After a removal the search goes on at the same place, which now holds what followed the
    // removed text: one pass over the input that skips each "{*;" where it starts.
    constexpr std::string_view kPrefix = "{*;";
    std::string kept;
    kept.reserve(engineList.size());
    for (size_t i = 0; i < engineList.size();) {
        if (engineList.compare(i, kPrefix.size(), kPrefix) == 0) {
            i += kPrefix.size();
            continue;
        }
        kept.push_back(engineList[i++]);
    }
    // The closing brace goes. A list without the "*" item ("{EXE;COM}", the empty "{}") still
    // has its opening brace as well, which would otherwise end up as part of an extension.
    if (kept.size() >= 2 && kept.front() == '{' && kept.back() == '}')
        kept = kept.substr(1, kept.size() - 2);
    else if (!kept.empty())
        kept.pop_back();
    std::string out;
    out.reserve(kept.size() + kept.size() / 2);
    for (char c : kept) {
        if (c == ';')
            out += ",.";
        else
            out.push_back(c);
    }
    return out;
}

}  // namespace nvl::pattern

void UD_QueryMajorVirusTypes(const char* ptnPath) {
    const Marlin* engine = nullptr;
    MrHandle handle = 0;
    if (!openPattern("UD_QueryMajorVirusTypes", ptnPath, &engine, &handle))
        return;
    storeMajorTypes(engine, handle, ptnPath);
    engine->release(handle);
    VT_TRACE("[UD_QueryMajorVirusTypes]return success");
}

void UD_QueryExtList(const char* ptnPath) {
    constexpr char kWho[] = "UD_QueryExtList";
    MrHandle handle = 0;
    if (UD_LoadPattern(ptnPath, &handle) != 0)
        return;
    const Marlin* engine = nvl::engine::marlin();  // bound: UD_LoadPattern used it
    HandleGuard guard(engine, handle);
    uint32_t size = 0;
    int32_t status = engine->getExtListSize(handle, &size);
    if (status != 0 || size == 0) {
        VT_TRACE("[%s]MrGetExtListSize(%s) failed (%d, size %u)", kWho, ptnPath, status, size);
        return;
    }
    std::unique_ptr<char, decltype(&std::free)> buffer(static_cast<char*>(std::calloc(size, 1)),
                                                       &std::free);
    if (!buffer) {
        VT_TRACE("[%s] no memory for an extension list of %u bytes", kWho, size);
        return;
    }
    status = engine->getExtList(handle, buffer.get());
    if (status != 0) {
        VT_TRACE("[%s]MrGetExtList(%s) failed (%d)", kWho, ptnPath, status);
        return;
    }
    std::string value =
        nvl::pattern::consoleExtList(std::string_view(buffer.get(), strnlen(buffer.get(), size)));
    std::vector<sys::ProfileWrite> writes;
    for (const char* section : kScanSections)
        writes.push_back({section, kExtListKey, value});
    if (!nvl::config::writeINIStrings(writes, nullptr)) {
        VT_TRACE("[%s] can't write the extension list of %s (error %u)", kWho, ptnPath,
                 sys::lastError());
    }
}
