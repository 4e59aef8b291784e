// Loading tarsk32.so and binding its 66 entry points into one process-wide table.
//
// The table and the loaded flag have no lock of their own: the facade loads and unloads only
// under its initialisation lock, and no operation runs meanwhile (it waits for them).
#include <cgishare/trace.h>

#include "platform/byte_text.h"
#include "platform/error.h"
#include "platform/library.h"
#include "spyware/tarsk_internal.h"

namespace nvl::tarsk {

TarskApi tk;
std::atomic<int32_t> tarskLoaded{0};

namespace {

nvl::sys::Library& module() {
    static nvl::sys::Library* held = new nvl::sys::Library;
    return *held;
}

}  // namespace

uint32_t LoadTARSK(const char16_t* path) {
    std::string bytes;
    if (path == nullptr || !nvl::sys::wideToBytes(path, &bytes))
        return nvl::sys::kErrInvalidParameter;
    nvl::sys::Library loaded = nvl::sys::Library::load(bytes);
    if (!loaded)
        return nvl::sys::lastError();
    // A second load replaces the first: the table then points into the library now held.
    module() = std::move(loaded);
#define NVL_TARSK_BIND(name)                                                          \
    tk.name = module().function<decltype(&::name)>(#name);                            \
    if (tk.name == nullptr) {                                                         \
        uint32_t error = nvl::sys::lastError();                                       \
        TARSK_TRACE(2, kLoadSource,                                                   \
                    u"[TARSKMOD][LoadTARSK] GetProcAddress() for " #name " failed."); \
        return error;                                                                 \
    }
    NVL_TARSK_ENTRY_POINTS(NVL_TARSK_BIND)
#undef NVL_TARSK_BIND
    return 0;
}

void UnloadTARSK() {
    module().reset();
}

}  // namespace nvl::tarsk
