#include "hotfix_check.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cgishare/cgishare.h>
#include <cgishare/spyware.h>
#include <string_view>
#include <vector>

#include "marlin32.h"
#include "spyware_view.h"

namespace console {

namespace {

// The scan engine's entry points the checks use.
struct ScanEngine {
    decltype(&::MrInit) init = nullptr;
    decltype(&::MrRelease) release = nullptr;
    decltype(&::MrReadPatternInFile) readPatternInFile = nullptr;
    decltype(&::MrGetPatternInternalVersion) internalVersion = nullptr;
};

std::string programDirectory() {
    char path[4096];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return {};
    std::string directory(path, static_cast<size_t>(length));
    return directory.substr(0, directory.rfind('/') + 1);
}

// The engine beside the running program, bound once; null when it or an entry is missing.
const ScanEngine* scanEngine() {
    static const ScanEngine* const bound = []() -> const ScanEngine* {
        std::string path = programDirectory() + "MARLIN32.so";
        void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr)
            return nullptr;
        static ScanEngine engine;
        engine.init = reinterpret_cast<decltype(engine.init)>(::dlsym(library, "MrInit"));
        engine.release = reinterpret_cast<decltype(engine.release)>(::dlsym(library, "MrRelease"));
        engine.readPatternInFile = reinterpret_cast<decltype(engine.readPatternInFile)>(
            ::dlsym(library, "MrReadPatternInFile"));
        engine.internalVersion = reinterpret_cast<decltype(engine.internalVersion)>(
            ::dlsym(library, "MrGetPatternInternalVersion"));
        if (engine.init == nullptr || engine.release == nullptr ||
            engine.readPatternInFile == nullptr || engine.internalVersion == nullptr) {
            ::dlclose(library);
            return nullptr;
        }
        return &engine;
    }();
    return bound;
}

std::string joined(const std::string& directory, const std::string& name) {
    return directory.empty() || directory.back() == '/' ? directory + name : directory + "/" + name;
}

HotfixCheck enginePattern(const std::string& path) {
    HotfixCheck check;
    const ScanEngine* engine = scanEngine();
    MrHandle handle = 0;
    if (engine == nullptr || engine->init(static_cast<uint32_t>(::gettid()), "", 0, &handle) != 0) {
        check.verdict = HotfixCheck::Verdict::Unavailable;
        return check;
    }
    int32_t read = engine->readPatternInFile(handle, path.c_str(), 0);
    engine->release(handle);
    uint32_t version = 0;
    uint16_t other = 0;
    if (read != 0 || engine->internalVersion(path.c_str(), &version, &other) != 0)
        return check;
    check.verdict = HotfixCheck::Verdict::Valid;
    check.number = version;
    check.version = std::to_string(version);
    return check;
}

HotfixCheck cleaner(const std::string& directory, const std::string& name) {
    HotfixCheck check;
    ExecutableCheck executable;
    checkExecutable(joined(directory, name).c_str(), &executable);
    if (checkCleanerExecutable(directory.c_str(), name.c_str()) == 0 &&
        executable.version[0] != '\0') {
        check.verdict = HotfixCheck::Verdict::Valid;
        check.version = executable.version;
    }
    return check;
}

HotfixCheck cleanerPattern(const std::string& directory, const std::string& name) {
    HotfixCheck check;
    std::vector<char> path(4096, '\0');
    unsigned long version = 0;
    if (getCleanerPatternFile(directory.c_str(), name.c_str(), path.data(), path.size(),
                              &version) == 0) {
        check.verdict = HotfixCheck::Verdict::Valid;
        check.number = version;
        check.version = std::to_string(version);
    }
    return check;
}

// The facade's report lines go to the trace, as on the Spyware page.
void traceFacadeLine(const char16_t* line, void*) {
    DebugTraceW(8, u"console/lib/hotfix_check.cpp", __LINE__, u"%s", line);
}

HotfixCheck spywareEnginePattern(const std::string& directory, const std::string& home) {
    HotfixCheck check;
    std::string engineDirectory = homePath(home, "Engine");
    struct stat st {};
    if (::stat(homePath(engineDirectory + "/", "tarsk32.so").c_str(), &st) != 0) {
        check.verdict = HotfixCheck::Verdict::Unavailable;
        return check;
    }
    SetTarskMessageSink(traceFacadeLine, nullptr);
    std::u16string engine = utf16FromBytes(engineDirectory);
    std::u16string patterns = utf16FromBytes(directory);
    CTARSKfFacadeBase* facade = GetTarskFacade();
    if (facade->RunInitTARSK(engine.c_str(), patterns.c_str(), 0) != 1)
        return check;
    TarskVersionInfo info{};
    bool read = facade->RunQueryVersion(&info) == 1;
    facade->RunDeInitTARSK();
    std::string version;
    for (const char16_t* p = info.patternVersion; read && *p != 0 && version.size() < 32; ++p)
        version += *p >= 0x20 && *p < 0x7F ? static_cast<char>(*p) : '?';
    if (version.empty())
        return check;
    check.verdict = HotfixCheck::Verdict::Valid;
    check.version = version;
    return check;
}

}  // namespace

HotfixCheck checkHotfixFile(const HotfixKind& kind, const std::string& directory,
                            const std::string& name, const std::string& home) {
    switch (kind.kind) {
        case 2:
            return cleaner(directory, name);
        case 3:
        case 4:
            return cleanerPattern(directory, name);
        case 8:
            return spywareEnginePattern(directory, home);
        default:
            return enginePattern(joined(directory, name));
    }
}

uint32_t newestGeneration(const HotfixKind& kind, const std::string& home, std::string* name) {
    name->clear();
    const ScanEngine* engine = scanEngine();
    DIR* dir = kind.stem != nullptr && engine != nullptr ? ::opendir(home.c_str()) : nullptr;
    if (dir == nullptr)
        return 0;
    uint32_t newest = 0;
    while (const dirent* entry = ::readdir(dir)) {
        std::string placed;
        if (kindOfName(entry->d_name, &placed) != &kind)
            continue;
        uint32_t version = 0;
        uint16_t other = 0;
        if (engine->internalVersion(joined(home, entry->d_name).c_str(), &version, &other) == 0 &&
            version > newest) {
            newest = version;
            *name = entry->d_name;
        }
    }
    ::closedir(dir);
    return newest;
}

std::string manifestNumber(const HotfixKind& kind, const std::string& version) {
    if (kind.kind != 8)
        return version;
    std::string number = version;
    size_t dot = number.find('.');
    if (dot != std::string::npos)
        number.erase(dot, 1);
    // As the rebuild reads it: the leading digits, without leading zeros.
    size_t digits = 0;
    while (digits < number.size() && number[digits] >= '0' && number[digits] <= '9')
        ++digits;
    number.resize(digits);
    size_t first = number.find_first_not_of('0');
    return first == std::string::npos ? (digits > 0 ? "0" : "") : number.substr(first);
}

}  // namespace console
