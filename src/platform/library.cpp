#include "platform/library.h"

#include <dlfcn.h>
#include <strings.h>

#include "platform/error.h"
#include "platform/process.h"

namespace nvl::sys {

namespace {

void* open(const std::string& path) {
    return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

std::string sharedObjectName(std::string_view name) {
    std::string result(name);
    constexpr std::string_view kDll = ".dll";
    if (result.size() > kDll.size() &&
        ::strcasecmp(result.c_str() + result.size() - kDll.size(), kDll.data()) == 0) {
        result.replace(result.size() - kDll.size(), kDll.size(), ".so");
    }
    return result;
}

Library& Library::operator=(Library&& other) noexcept {
    if (this != &other) {
        reset();
        handle_ = other.release();
    }
    return *this;
}

Library Library::load(std::string_view name) {
    const std::string file = sharedObjectName(name);
    void* handle = nullptr;
    if (!file.empty()) {
        if (file.find('/') != std::string::npos) {
            handle = open(file);
        } else {
            std::string exe = executablePath();
            size_t slash = exe.rfind('/');
            if (slash != std::string::npos)
                handle = open(exe.substr(0, slash + 1) + file);
            if (handle == nullptr)
                handle = open(file);
        }
    }
    if (handle == nullptr)
        setLastError(kErrModNotFound);
    return Library(handle);
}

void* Library::symbol(const char* name) const {
    void* address = handle_ != nullptr ? ::dlsym(handle_, name) : nullptr;
    if (address == nullptr)
        setLastError(kErrProcNotFound);
    return address;
}

void* Library::release() {
    void* handle = handle_;
    handle_ = nullptr;
    return handle;
}

void Library::reset() {
    if (handle_ != nullptr)
        ::dlclose(handle_);
    handle_ = nullptr;
}

}  // namespace nvl::sys
