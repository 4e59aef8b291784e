#include "platform/file_times.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/paths.h"

namespace nvl::sys {

uint32_t getFileTimes(const std::string& path, FileTimes* out) {
    struct statx stx {};
    if (::statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT,
                STATX_MTIME | STATX_CTIME | STATX_BTIME, &stx) == 0) {
        out->modified = static_cast<time_t>(stx.stx_mtime.tv_sec);
        out->birthTime = (stx.stx_mask & STATX_BTIME) != 0;
        out->created =
            static_cast<time_t>(out->birthTime ? stx.stx_btime.tv_sec : stx.stx_ctime.tv_sec);
        return kSuccess;
    }
    // A kernel or sandbox without statx answers ENOSYS (or EPERM from a seccomp filter).
    if (errno != ENOSYS && errno != EPERM)
        return errnoToError(errno);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errnoToError(errno);
    out->modified = st.st_mtime;
    out->created = st.st_ctime;
    out->birthTime = false;
    return kSuccess;
}

std::string serverFilePath(std::string_view ansiPath) {
    bool ascii = std::all_of(ansiPath.begin(), ansiPath.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    // Converted first: in a double-byte code page a 0x5C byte may be half of a character.
    std::string path = ascii ? std::string(ansiPath) : ansiToUtf8(ansiPath);
    std::replace(path.begin(), path.end(), '\\', '/');
    return resolvePath(path);
}

}  // namespace nvl::sys
