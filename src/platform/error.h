// Error codes of the platform layer.
//
// The library's functions report and trace the original platform's numeric error codes
// ("Initial pipe client failed! err=%d"), so the platform layer speaks them too: every
// facility returns or records one of these values, and errnoToError() is the one place where
// errno values are translated.
#pragma once

#include <cstdint>

namespace nvl::sys {

enum Error : uint32_t {
    kSuccess = 0,
    kErrFileNotFound = 2,
    kErrPathNotFound = 3,
    kErrTooManyOpenFiles = 4,
    kErrAccessDenied = 5,
    kErrInvalidHandle = 6,
    kErrNotEnoughMemory = 8,
    kErrInvalidData = 13,
    kErrWriteFault = 29,
    kErrReadFault = 30,
    kErrSharingViolation = 32,
    kErrHandleEof = 38,
    kErrFileExists = 80,
    kErrInvalidParameter = 87,
    kErrBrokenPipe = 109,
    kErrDiskFull = 112,
    kErrSemTimeout = 121,
    kErrInsufficientBuffer = 122,
    kErrInvalidName = 123,
    kErrModNotFound = 126,
    kErrProcNotFound = 127,
    kErrDirNotEmpty = 145,
    kErrAlreadyExists = 183,
    kErrFilenameTooLong = 206,
    kErrBadPipe = 230,
    kErrPipeBusy = 231,
    kErrNoData = 232,
    kErrPipeNotConnected = 233,
    kErrMoreData = 234,
    kErrWaitTimeout = 258,
    kErrNoMoreItems = 259,
    kErrNotOwner = 288,
    kErrInvalidAddress = 487,
    kErrAbandonedWait = 735,
    kErrInvalidFlags = 1004,
    kErrKeyDeleted = 1018,
    kErrMappedAlignment = 1132,
    kErrBadFormat = 11,
    kErrNotSupported = 50,
    kErrBadExeFormat = 193,
    kErrResourceDataNotFound = 1812,
    kErrResourceTypeNotFound = 1813,
};

// The calling thread's last error, as GetLastError / SetLastError keep it.
uint32_t lastError();
void setLastError(uint32_t error);

// Translates an errno value into the nearest error code above.
uint32_t errnoToError(int errnoValue);

}  // namespace nvl::sys
