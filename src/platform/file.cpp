#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/error.h"

namespace nvl::sys {

namespace {

int sysOpen(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}

const FileOps kSystemOps = {
    sysOpen, ::close, ::read, ::write, ::fsync, ::fstat, ::rename, ::unlink,
};

const FileOps* g_ops = &kSystemOps;

uint32_t lastErrnoError() {
    return errnoToError(errno);
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

}  // namespace

const FileOps& fileOps() {
    return *g_ops;
}

ScopedFileOps::ScopedFileOps(const FileOps& ops) : previous_(g_ops) {
    g_ops = &ops;
}
ScopedFileOps::~ScopedFileOps() {
    g_ops = previous_;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other)
        reset(other.release());
    return *this;
}

int UniqueFd::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0)
        fileOps().close(fd_);
    fd_ = fd;
}

uint32_t readWholeFile(const std::string& path, std::string* out, size_t limit) {
    UniqueFd fd(fileOps().open(path.c_str(), O_RDONLY | O_CLOEXEC, 0));
    if (!fd)
        return lastErrnoError();
    return readWholeFd(fd.get(), out, limit);
}

uint32_t readWholeFd(int fd, std::string* out, size_t limit) {
    const FileOps& ops = fileOps();
    struct stat st {};
    if (ops.fstat(fd, &st) != 0)
        return lastErrnoError();
    if (S_ISDIR(st.st_mode))
        return kErrAccessDenied;
    if (static_cast<uint64_t>(st.st_size) > limit)
        return kErrInvalidData;
    out->clear();
    // The size is a hint: the file may be growing or be a special file.
    out->resize(static_cast<size_t>(st.st_size) + 1);
    size_t used = 0;
    for (;;) {
        if (used == out->size()) {
            if (out->size() >= limit + 1)
                return kErrInvalidData;
            out->resize(std::min(limit + 1, out->size() * 2 + 4096));
        }
        ssize_t n = ops.read(fd, out->data() + used, out->size() - used);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return kErrReadFault;
        }
        if (n == 0)
            break;
        used += static_cast<size_t>(n);
    }
    if (used > limit)
        return kErrInvalidData;
    out->resize(used);
    return kSuccess;
}

uint32_t writeAll(int fd, std::string_view data) {
    const FileOps& ops = fileOps();
    while (!data.empty()) {
        ssize_t n = ops.write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return lastErrnoError();
        }
        if (n == 0)
            return kErrWriteFault;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return kSuccess;
}

uint32_t replaceFileAtomically(const std::string& path, std::string_view data, mode_t newFileMode) {
    const FileOps& ops = fileOps();
    // A new file gets `newFileMode` through the umask, as open() applies it; an existing
    // file keeps its own mode.
    struct stat st {};
    bool keepMode = ::stat(path.c_str(), &st) == 0;

    // The temporary lives in the same directory, so the rename never crosses file systems.
    std::string dir = directoryOf(path);
    std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    std::string temp;
    UniqueFd fd;
    for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
        static std::atomic<unsigned> counter{0};
        temp = dir + "/." + base + ".tmp" + std::to_string(::getpid()) + "." +
               std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
        fd.reset(ops.open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, newFileMode));
        if (!fd && errno != EEXIST)
            return lastErrnoError();
    }
    if (!fd)
        return kErrAlreadyExists;

    uint32_t error = writeAll(fd.get(), data);
    if (error == kSuccess && keepMode && ::fchmod(fd.get(), st.st_mode & 07777) != 0) {
        error = lastErrnoError();
    }
    if (error == kSuccess && ops.fsync(fd.get()) != 0)
        error = lastErrnoError();
    if (fd.get() >= 0 && ops.close(fd.release()) != 0 && error == kSuccess) {
        error = kErrWriteFault;
    }
    if (error == kSuccess && ops.rename(temp.c_str(), path.c_str()) != 0)
        error = lastErrnoError();
    if (error != kSuccess) {
        ops.unlink(temp.c_str());
        return error;
    }
    return kSuccess;
}

FileWriteLock::FileWriteLock(const std::string& path) {
    std::string lockPath = path + ".lock";
    // The lock file is opened read-only: flock needs no write access, so any account that may
    // write the file next to it can take the lock. It may sit in a directory every account can
    // write to, so a symbolic link planted under its name is refused, never followed.
    fd_.reset(fileOps().open(lockPath.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!fd_) {
        error_ = lastErrnoError();
        return;
    }
    while (::flock(fd_.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            error_ = lastErrnoError();
            fd_.reset();
            return;
        }
    }
}

uint32_t createUniqueFile(const std::string& directory, std::string_view prefix, mode_t mode,
                          std::string* path, UniqueFd* fd) {
    static const char kHex[] = "0123456789ABCDEF";
    for (int attempt = 0; attempt < 100; ++attempt) {
        uint32_t random = 0;
        if (::getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
            return kErrNotEnoughMemory;
        std::string name = directory;
        if (name.empty() || name.back() != '/')
            name += '/';
        name.append(prefix);
        for (int shift = 28; shift >= 0; shift -= 4)
            name += kHex[(random >> shift) & 0xF];
        name += ".TMP";
        fd->reset(fileOps().open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (*fd) {
            *path = std::move(name);
            return kSuccess;
        }
        if (errno != EEXIST)
            return lastErrnoError();
    }
    return kErrFileExists;
}

uint32_t makeDirectories(const std::string& path, mode_t mode) {
    if (path.empty())
        return kErrPathNotFound;
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        size_t next = path.find('/', pos + 1);
        partial = path.substr(0, next);
        pos = next;
        if (partial.empty() || partial == "/")
            continue;
        if (::mkdir(partial.c_str(), mode) != 0 && errno != EEXIST)
            return lastErrnoError();
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return lastErrnoError();
    return S_ISDIR(st.st_mode) ? kSuccess : kErrPathNotFound;
}

uint32_t probeFileNotInUse(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd)
        return lastErrnoError();
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return kErrAccessDenied;
    if (::fcntl(fd.get(), F_SETLEASE, F_WRLCK) != 0)
        return errno == EAGAIN || errno == EBUSY ? kErrSharingViolation : kErrNotSupported;
    ::fcntl(fd.get(), F_SETLEASE, F_UNLCK);
    return kSuccess;
}

}  // namespace nvl::sys
