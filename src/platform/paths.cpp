#include "platform/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/error.h"
#include "platform/file.h"

namespace nvl::sys {

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string modeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Why a directory with status `st` may not be what others cannot write to; "" when it is fine.
std::string writableByOthers(const struct stat& st) {
    if ((st.st_mode & S_IWOTH) != 0)
        return "it is writable by every account (mode " + modeText(st.st_mode) + ")";
    if ((st.st_mode & S_IWGRP) != 0 && (st.st_mode & S_ISGID) == 0)
        return "it is writable by its group without being set-group-id (mode " +
               modeText(st.st_mode) + "; a shared directory has mode 2770)";
    return {};
}

enum class Place {
    kTrusted,  // $NVL_RUNTIME_DIR or /run/norvel: the caller's or root's
    kPrivate,  // a fallback: the caller's, mode 0700
};

// Why the runtime directory candidate with status `st` (from lstat) is refused; "" when it
// is accepted.
std::string refusalOf(const struct stat& st, uid_t euid, Place place) {
    if (S_ISLNK(st.st_mode))
        return "it is a symbolic link";
    if (!S_ISDIR(st.st_mode))
        return "it is not a directory";
    bool rootMayOwn = place == Place::kTrusted;
    if (st.st_uid != euid && !(rootMayOwn && st.st_uid == 0))
        return "it is owned by uid " + std::to_string(st.st_uid) + ", not by this account (uid " +
               std::to_string(euid) + (rootMayOwn ? ") or root" : ")");
    if (place == Place::kPrivate && (st.st_mode & 07777) != 0700)
        return "it has mode " + modeText(st.st_mode) + ", not 0700";
    return writableByOthers(st);
}

// lstat of `path`, making the directory (mode 0700, whatever the umask) when it is missing.
// False, with errno set, when it neither exists nor can be made.
bool statOrMake(const std::string& path, struct stat* st) {
    if (::lstat(path.c_str(), st) == 0)
        return true;
    if (errno != ENOENT)
        return false;
    if (::mkdir(path.c_str(), 0700) == 0) {
        ::chmod(path.c_str(), 0700);
    } else if (errno != EEXIST) {
        return false;
    }
    return ::lstat(path.c_str(), st) == 0;
}

RuntimeDirChoice judge(std::string path, const struct stat& st, uid_t euid, Place place) {
    RuntimeDirChoice choice;
    choice.path = std::move(path);
    choice.refusal = refusalOf(st, euid, place);
    choice.error = choice.refusal.empty() ? kSuccess : kErrAccessDenied;
    choice.groupShared = choice.error == kSuccess && (st.st_mode & S_ISGID) != 0;
    choice.group = st.st_gid;
    return choice;
}

RuntimeDirChoice examine(std::string path, uid_t euid, Place place) {
    struct stat st {};
    if (!statOrMake(path, &st)) {
        RuntimeDirChoice choice;
        choice.refusal = std::string("it cannot be examined or made: ") + std::strerror(errno);
        choice.path = std::move(path);
        choice.error = kErrAccessDenied;
        return choice;
    }
    return judge(std::move(path), st, euid, place);
}

// XDG_RUNTIME_DIR is the caller's own only when it says so itself: after su or sudo it may
// still name the directory of the account that started the session.
bool ownRuntimeDirectory(const std::string& path, uid_t euid) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == euid &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// One verdict, for one value of the variables and one effective uid. Verdicts are never
// changed or freed once published, so they are read without a lock (and after fork); a process
// sees a handful of them.
struct Verdict {
    std::string configured;  // $NVL_RUNTIME_DIR
    std::string xdg;         // $XDG_RUNTIME_DIR, only when $NVL_RUNTIME_DIR is unset
    uid_t euid;
    RuntimeDirChoice choice;
    const Verdict* next;
};

std::atomic<const Verdict*> g_verdicts{nullptr};
std::atomic<bool> g_reported{false};

std::string_view environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string_view(value) : std::string_view();
}

const RuntimeDirChoice& currentChoice() {
    std::string_view configured = environment("NVL_RUNTIME_DIR");
    std::string_view xdg = configured.empty() ? environment("XDG_RUNTIME_DIR") : "";
    uid_t euid = ::geteuid();
    const Verdict* head = g_verdicts.load(std::memory_order_acquire);
    for (const Verdict* v = head; v != nullptr; v = v->next) {
        if (v->euid == euid && v->configured == configured && v->xdg == xdg)
            return v->choice;
    }
    // Two threads may both choose; both verdicts say the same, and either may be found later.
    auto* made = new Verdict{std::string(configured), std::string(xdg), euid,
                             chooseRuntimeDir(configured, "/run/norvel", xdg, "/tmp"), head};
    while (!g_verdicts.compare_exchange_weak(head, made, std::memory_order_acq_rel))
        made->next = head;
    return made->choice;
}

void reportRefusal(const std::string& path, const std::string& why) {
    if (g_reported.exchange(true))
        return;
    std::fprintf(stderr,
                 "libcgishare: refusing the runtime directory %s: %s. Named objects and the "
                 "trace pipe are unavailable to this process (see NVL_RUNTIME_DIR).\n",
                 path.c_str(), why.c_str());
}

// Why an existing subdirectory (status from fstat of a descriptor opened without following a
// link) is refused; "" when it is accepted. In a group-shared runtime directory another of the
// server's accounts may have made it: it then carries the set-group-id bit and the group.
std::string subdirectoryRefusal(const struct stat& st, uid_t euid, const RuntimeDirChoice& in) {
    bool madeByGroup = in.groupShared && st.st_gid == in.group && (st.st_mode & S_ISGID) != 0;
    if (st.st_uid != euid && st.st_uid != 0 && !madeByGroup)
        return "it is owned by uid " + std::to_string(st.st_uid) + ", not by this account (uid " +
               std::to_string(euid) + ") or root";
    return writableByOthers(st);
}

}  // namespace

RuntimeDirChoice chooseRuntimeDir(std::string_view configured, std::string_view system,
                                  std::string_view xdgRuntimeDir, std::string_view tmp) {
    uid_t euid = ::geteuid();
    if (!configured.empty())
        return examine(std::string(configured), euid, Place::kTrusted);
    // The place an installation prepares: used when it is there or this account may make it.
    struct stat st {};
    if (std::string path(system); statOrMake(path, &st))
        return judge(std::move(path), st, euid, Place::kTrusted);
    if (std::string xdg(xdgRuntimeDir); !xdg.empty() && ownRuntimeDirectory(xdg, euid))
        return examine(xdg + "/norvel", euid, Place::kPrivate);
    return examine(std::string(tmp) + "/norvel-" + std::to_string(euid), euid, Place::kPrivate);
}

std::string runtimeDir() {
    return currentChoice().path;
}

uint32_t checkedRuntimeDir(std::string* dir) {
    const RuntimeDirChoice& choice = currentChoice();
    if (choice.error != kSuccess) {
        reportRefusal(choice.path, choice.refusal);
        return choice.error;
    }
    *dir = choice.path;
    return kSuccess;
}

uint32_t openRuntimeSubdirectory(std::string_view name, RuntimeSubdirectory* out) {
    const RuntimeDirChoice& runtime = currentChoice();
    if (runtime.error != kSuccess) {
        reportRefusal(runtime.path, runtime.refusal);
        return runtime.error;
    }
    const std::string path = runtime.path + "/" + std::string(name);
    // Not sticky when shared: an account must be able to remove a stale file another one left.
    const mode_t mode = runtime.groupShared ? 02770 : 0700;
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd fd(::open(path.c_str(), kFlags));
    bool made = false;
    if (!fd && errno == ENOENT) {
        made = ::mkdir(path.c_str(), mode) == 0;
        if (!made && errno != EEXIST)
            return errnoToError(errno);
        fd.reset(::open(path.c_str(), kFlags));
    }
    if (!fd) {
        int error = errno;
        if (error == ELOOP || error == ENOTDIR) {
            reportRefusal(path, "it is not a directory, or a symbolic link");
            return kErrAccessDenied;
        }
        return errnoToError(error);
    }
    // The umask narrowed what mkdir made; the set-group-id bit it inherited stays.
    if (made)
        ::fchmod(fd.get(), mode);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return errnoToError(errno);
    if (std::string why = subdirectoryRefusal(st, ::geteuid(), runtime); !why.empty()) {
        reportRefusal(path, why);
        return kErrAccessDenied;
    }
    out->path = path;
    out->fd = std::move(fd);
    out->fileMode = runtime.groupShared ? 0660 : 0600;
    return kSuccess;
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

std::string driveCDirectory() {
    const char* env = std::getenv("NVL_DRIVE_C");
    std::string dir = env != nullptr && *env != '\0' ? env : "/var/lib/norvel/c";
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

std::string mapDriveCPath(std::string_view windowsPath) {
    bool onDriveC = windowsPath.size() >= 3 && (windowsPath[0] == 'c' || windowsPath[0] == 'C') &&
                    windowsPath[1] == ':' && (windowsPath[2] == '\\' || windowsPath[2] == '/');
    if (!onDriveC)
        return std::string(windowsPath);
    std::string rest(windowsPath.substr(3));
    std::replace(rest.begin(), rest.end(), '\\', '/');
    std::string dir = driveCDirectory();
    if (dir.back() != '/')
        dir += '/';
    return dir + rest;
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
