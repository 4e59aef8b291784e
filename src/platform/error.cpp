#include "platform/error.h"

#include <cerrno>

namespace nvl::sys {

namespace {
thread_local uint32_t t_lastError = kSuccess;
}

uint32_t lastError() {
    return t_lastError;
}
void setLastError(uint32_t error) {
    t_lastError = error;
}

uint32_t errnoToError(int errnoValue) {
    switch (errnoValue) {
        case 0:
            return kSuccess;
        case ENOENT:
            return kErrFileNotFound;
        case ENOTDIR:
            return kErrPathNotFound;
        case EMFILE:
        case ENFILE:
            return kErrTooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EROFS:
            return kErrAccessDenied;
        case EBADF:
            return kErrInvalidHandle;
        case ENOMEM:
            return kErrNotEnoughMemory;
        case EEXIST:
            return kErrAlreadyExists;
        case EINVAL:
            return kErrInvalidParameter;
        case EPIPE:
        case ECONNRESET:
            return kErrNoData;
        case ENOSPC:
        case EDQUOT:
            return kErrDiskFull;
        case ENAMETOOLONG:
            return kErrFilenameTooLong;
        case ENOTEMPTY:
            return kErrDirNotEmpty;
        case ETIMEDOUT:
            return kErrSemTimeout;
        case EAGAIN:
            return kErrPipeBusy;
        case ECONNREFUSED:
            return kErrFileNotFound;
        case EIO:
            return kErrWriteFault;
        default:
            return kErrInvalidParameter;
    }
}

}  // namespace nvl::sys
