#include "platform/library.h"

#include <dlfcn.h>
#include <strings.h>
#include <sys/stat.h>

#include <utility>

#include "platform/error.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace nvl::sys {

namespace {

bool isFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string loaderError() {
    const char* text = ::dlerror();
    return text != nullptr ? text : "";
}

}  // namespace

std::string sharedObjectName(std::string_view libraryName) {
    std::string result(libraryName);
    size_t slash = libraryName.rfind('/');
    std::string_view base =
        slash == std::string_view::npos ? libraryName : libraryName.substr(slash + 1);
    size_t dot = base.rfind('.');
    if (dot == std::string_view::npos)
        return result + ".so";
    std::string extension(base.substr(dot));
    if (::strcasecmp(extension.c_str(), ".dll") == 0) {
        result.resize(result.size() - extension.size());
        result += ".so";
    }
    return result;
}

Library& Library::operator=(Library&& other) noexcept {
    if (this != &other) {
        reset();
        handle_ = std::exchange(other.handle_, nullptr);
        path_ = std::move(other.path_);
    }
    return *this;
}

Library Library::load(std::string_view libraryName, std::string* error) {
    Library library;
    if (libraryName.empty()) {
        if (error != nullptr)
            *error = "no library name";
        setLastError(kErrModNotFound);
        return library;
    }
    std::string file = sharedObjectName(libraryName);
    std::string target;
    if (file.find('/') != std::string::npos) {
        target = resolvePath(file);
    } else {
        // The copy beside the program wins over any installed one, as it did on the
        // original platform; dlopen itself would never look there.
        std::string exe = executablePath();
        size_t slash = exe.rfind('/');
        if (slash != std::string::npos) {
            std::string beside = resolvePath(exe.substr(0, slash + 1) + file);
            if (isFile(beside))
                target = beside;
        }
        if (target.empty())
            target = file;  // no slash: the loader's own search path
    }

    ::dlerror();
    library.handle_ = ::dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library.handle_ == nullptr) {
        std::string text = loaderError();
        if (error != nullptr)
            *error = text.empty() ? "cannot load " + target : text;
        setLastError(kErrModNotFound);
        return library;
    }
    library.path_ = std::move(target);
    if (error != nullptr)
        error->clear();
    return library;
}

void* Library::symbol(const char* name) const {
    if (handle_ == nullptr || name == nullptr) {
        setLastError(kErrProcNotFound);
        return nullptr;
    }
    ::dlerror();
    void* address = ::dlsym(handle_, name);
    if (address == nullptr)
        setLastError(kErrProcNotFound);
    return address;
}

void* Library::release() {
    path_.clear();
    return std::exchange(handle_, nullptr);
}

void Library::reset() {
    if (handle_ != nullptr)
        ::dlclose(handle_);
    handle_ = nullptr;
    path_.clear();
}

}  // namespace nvl::sys
