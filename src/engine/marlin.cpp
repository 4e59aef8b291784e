// The binding of the virus scan engine: MARLIN32.dll, loaded once per process.
//
// The first call of marlin() loads the library and binds all nine entry points by name under
// one lock; every later call reads the verdict with one atomic load and no lock, so a listing
// of a thousand pattern files pays nothing for asking again. A library that cannot be loaded,
// or that lacks an entry point, is a verdict as well: it is kept, and every later call answers
// null at once with lastError() set to the code of the first failure (kErrModNotFound or
// kErrProcNotFound). There is no retry: an engine installed while a page runs is seen by the
// next page, never half way through this one.
//
// The library is never unloaded: callers hold its entry points for as long as the process
// lives, and a page is a short process. The failure to load is traced once, with the loader's
// text, when the verdict is made; each caller traces its own failed call.
//
// Tests point the binding at another file and start over (marlin_testing.h), while no other
// thread asks for the engine; a library bound before stays loaded.
#include "engine/marlin.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "cgishare/trace.h"
#include "engine/marlin_testing.h"
#include "platform/error.h"
#include "platform/library.h"
#include "trace/trace_sources.h"

namespace nvl::engine {

namespace {

constexpr char kEngineLibrary[] = "MARLIN32.dll";

struct Binding {
    std::mutex lock;
    std::atomic<bool> decided{false};
    Marlin table{};  // written under the lock before `decided`
    bool bound = false;
    uint32_t error = sys::kSuccess;
    std::string libraryName = kEngineLibrary;
};

Binding& binding() {
    static Binding* state = new Binding;  // never destroyed: entry points outlive static exit
    return *state;
}

template <typename Fn>
bool bindEntry(const sys::Library& library, const char* name, Fn* entry) {
    *entry = library.function<Fn>(name);
    return *entry != nullptr;
}

// Loads the library and binds every entry point; the caller holds the lock.
void decide(Binding& state) {
    std::string loaderText;
    sys::Library library = sys::Library::load(state.libraryName, &loaderText);
    if (!library) {
        state.error = sys::kErrModNotFound;
        DebugTraceA(2, trace::kShareSource, __LINE__, "[MARLIN32] can't load %s (%s)",
                    state.libraryName.c_str(), loaderText.c_str());
        return;
    }
    Marlin* table = &state.table;
    *table = Marlin{};
    const char* missing = nullptr;
    auto bind = [&](const char* name, auto* entry) {
        if (missing == nullptr && !bindEntry(library, name, entry))
            missing = name;
    };
    bind("MrInit", &table->init);
    bind("MrRelease", &table->release);
    bind("MrReadPatternInFile", &table->readPatternInFile);
    bind("MrSetConfig", &table->setConfig);
    bind("MrGetPatternProperty", &table->getPatternProperty);
    bind("MrGetExtListSize", &table->getExtListSize);
    bind("MrGetExtList", &table->getExtList);
    bind("MrDeleteUnusedPattern", &table->deleteUnusedPattern);
    bind("MrGetPatternInternalVersion", &table->getPatternInternalVersion);
    if (missing != nullptr) {
        *table = Marlin{};
        state.error = sys::kErrProcNotFound;
        DebugTraceA(2, trace::kShareSource, __LINE__, "[MARLIN32] %s has no entry %s",
                    library.path().c_str(), missing);
        return;
    }
    library.release();  // stays loaded until the process ends
    state.bound = true;
    state.error = sys::kSuccess;
}

}  // namespace

const Marlin* marlin() {
    Binding& state = binding();
    if (!state.decided.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> guard(state.lock);
        if (!state.decided.load(std::memory_order_relaxed)) {
            decide(state);
            state.decided.store(true, std::memory_order_release);
        }
    }
    if (!state.bound) {
        sys::setLastError(state.error);
        return nullptr;
    }
    return &state.table;
}

void setMarlinLibraryForTesting(const char* libraryName) {
    Binding& state = binding();
    std::lock_guard<std::mutex> guard(state.lock);
    state.libraryName = libraryName != nullptr ? libraryName : kEngineLibrary;
    // A library bound before stays loaded, so its entry points stay callable.
    state.bound = false;
    state.error = sys::kSuccess;
    state.decided.store(false, std::memory_order_release);
}

}  // namespace nvl::engine
