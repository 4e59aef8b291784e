#include "platform/paths.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/file.h"

namespace nvl::sys {

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool usableDirectory(const std::string& dir) {
    return makeDirectories(dir, 0755) == 0 && ::access(dir.c_str(), W_OK | X_OK) == 0;
}

std::string defaultRuntimeDir() {
    static const std::string dir = [] {
        if (usableDirectory("/run/norvel"))
            return std::string("/run/norvel");
        std::string fallback = "/tmp/norvel-" + std::to_string(::getuid());
        makeDirectories(fallback, 0700);
        return fallback;
    }();
    return dir;
}

}  // namespace

std::string runtimeDir() {
    const char* env = std::getenv("NVL_RUNTIME_DIR");
    if (env != nullptr && *env != '\0')
        return env;
    return defaultRuntimeDir();
}

std::string registryPath() {
    const char* env = std::getenv("NVL_REGISTRY");
    if (env != nullptr && *env != '\0')
        return env;
    return "/etc/norvel/registry.reg";
}

std::string systemDirectory() {
    std::string reg = registryPath();
    size_t slash = reg.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : reg.substr(0, slash);
}

std::string resolvePath(std::string_view path) {
    std::string full(path);
    if (full.empty() || exists(full))
        return full;

    std::string result;
    size_t pos = 0;
    if (full[0] == '/') {
        result = "/";
        pos = 1;
    }
    bool matching = true;  // once a component matches nothing, the rest is kept as given
    while (pos <= full.size()) {
        size_t end = full.find('/', pos);
        if (end == std::string::npos)
            end = full.size();
        std::string component = full.substr(pos, end - pos);
        pos = end + 1;
        if (component.empty())
            continue;
        std::string base = result.empty() ? "." : result;
        std::string candidate = result + component;
        if (matching && !exists(result.empty() ? component : candidate)) {
            matching = false;
            if (DIR* dir = ::opendir(base.c_str())) {
                while (dirent* entry = ::readdir(dir)) {
                    if (::strcasecmp(entry->d_name, component.c_str()) == 0) {
                        candidate = result + entry->d_name;
                        matching = true;
                        break;
                    }
                }
                ::closedir(dir);
            }
        }
        result = candidate;
        if (end < full.size())
            result += '/';
    }
    return result;
}

}  // namespace nvl::sys
