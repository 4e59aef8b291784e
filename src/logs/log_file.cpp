#include "logs/log_file.h"

#include <fcntl.h>

#include <cerrno>

#include "platform/paths.h"

namespace nvl::logs {

sys::UniqueFd openForAppend(const std::string& path) {
    return sys::UniqueFd(
        sys::fileOps().open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
}

sys::UniqueFd openServerFile(const std::string& path, int flags) {
    const sys::FileOps& ops = sys::fileOps();
    sys::UniqueFd fd(ops.open(path.c_str(), (flags & ~O_CREAT) | O_CLOEXEC, 0));
    if (!fd && errno == ENOENT)
        fd.reset(ops.open(sys::resolvePath(path).c_str(), flags | O_CLOEXEC, 0666));
    return fd;
}

ssize_t appendRecord(int fd, std::string_view record) {
    const sys::FileOps& ops = sys::fileOps();
    ssize_t written;
    do {
        // A write interrupted before it wrote anything wrote nothing: repeating it is safe.
        written = ops.write(fd, record.data(), record.size());
    } while (written < 0 && errno == EINTR);
    if (written > 0 && static_cast<size_t>(written) < record.size() && record.back() == '\n') {
        int savedErrno = errno;
        (void)ops.write(fd, "\n", 1);
        errno = savedErrno;
    }
    return written;
}

}  // namespace nvl::logs
