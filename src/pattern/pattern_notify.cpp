// The pattern update notice: the current pattern paths written where the services look for
// them, then the services' events set. What callers see is set out in
// <cgishare/component_info.h>.
//
// The two paths are decided and written under the settings file's writers' lock
// (sys::updatePrivateProfile): the directory is listed and the versions read while no other
// notifier can write, and both keys land in one replacement. Decided outside the lock, a
// notifier that listed the directory just before another process added a newer pattern could
// write its older choice after that process wrote the newer one, and the service, told twice,
// would reload the older pattern last.
//
// The events are opened, never created, and set once each; a service that is not running has
// no event and is not told. Setting an auto-reset event that is set already changes nothing,
// so notices that come faster than a service reloads merge into one, which reads the paths as
// they are by then.
#include <cstdio>
#include <string>
#include <vector>

#include "cgishare/component_info.h"
#include "cgishare/config.h"
#include "cgishare/trace.h"
#include "platform/error.h"
#include "platform/named_object.h"
#include "platform/profile.h"
#include "trace/trace_sources.h"

#define NOTIFY_TRACE(...) DebugTraceA(8, nvl::trace::kHlengWrapperSource, __LINE__, __VA_ARGS__)

namespace {

namespace sys = nvl::sys;

// The server directory and the settings file path were held in buffers of this size.
constexpr size_t kPathBufferSize = 260;
constexpr char kSettingsFile[] = "Private/nvlserver.ini";
constexpr char kFilePathSection[] = "FILE_PATH_SECTION";
constexpr const char* kEvents[] = {
    "HLENG_WRAPPER_NOTIFY_PATTERN_UPDATE_NVLSERVICE_LOGTHREAD",
    "HLENG_WRAPPER_NOTIFY_PATTERN_UPDATE_UNIT_TEST",
};

struct Kind {
    int componentType;
    const char* key;
    const char* label;
};
constexpr Kind kKinds[] = {
    {0, "VIRUS_PATTERN", "virus pattern"},
    {1, "SPYWARE_PATTERN", "spyware pattern"},
};

}  // namespace

void generatePatternFilePath() {
    NOTIFY_TRACE("generatePatternFilePath enter");
    char home[kPathBufferSize + 1] = {};
    if (getHomeDir(home, sizeof home) == 0)
        return;
    std::string settings = std::string(home) + kSettingsFile;
    if (settings.size() >= kPathBufferSize) {
        NOTIFY_TRACE("generatePatternFilePath settings file path too long: %s", settings.c_str());
        return;
    }

    std::vector<std::string> traces;
    auto decide = [&] {
        std::vector<sys::ProfileWrite> writes;
        traces.clear();
        for (const Kind& kind : kKinds) {
            unsigned int version = 0;
            char path[kPathBufferSize + 1] = {};
            if (getCurrentComponentVerA(kind.componentType, &version, path, sizeof path) == 0)
                continue;
            writes.push_back({kFilePathSection, kind.key, std::string(path)});
            traces.push_back(std::string("generatePatternFilePath ") + kind.label + ": " + path);
        }
        return writes;
    };
    if (!sys::updatePrivateProfile(settings.c_str(), decide)) {
        NOTIFY_TRACE("generatePatternFilePath can't write %s (error %u)", settings.c_str(),
                     sys::lastError());
        return;
    }
    for (const std::string& text : traces)
        NOTIFY_TRACE("%s", text.c_str());
}

void notifyPatternUpdate() {
    NOTIFY_TRACE("notifyPatternUpdate enter");
    generatePatternFilePath();
    for (const char* name : kEvents) {
        sys::Handle event = sys::openEvent(name);
        if (!event) {
            NOTIFY_TRACE("notifyPatternUpdate OpenEvent %s failed", name);
            continue;
        }
        bool set = sys::setEvent(event.get());
        event.reset();
        NOTIFY_TRACE("notifyPatternUpdate SetEvent %s %s", name, set ? "succeeded" : "failed");
    }
}
