// Reading the cleaner pattern's version; the format and the walk are set out in
// pattern_header.h.
//
// The file is opened with O_NONBLOCK: opening a file on which another process holds a write
// lease (how this system stands in for a file opened without sharing while it is written) then
// fails at once with EWOULDBLOCK, which is the "pattern file locked" of the original platform,
// instead of waiting up to the lease-break time; and a FIFO planted under the pattern's name
// cannot hang the page. Only a regular file is read. Of the original's open errors, "not found"
// and "locked" have a Linux counterpart; "open failed" (system error 110) has none, so every
// other errno is the general failure.
#include "cleaner/pattern_header.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "cleaner/cleaner.h"
#include "platform/file.h"
#include "platform/file_times.h"

namespace nvl::cleaner {

namespace {

uint16_t get16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t get32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Reads up to `size` bytes at `offset`; the count read, which is short only at the end of the
// file or on an error.
size_t readAt(int fd, unsigned char* buffer, size_t size, uint64_t offset) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

}  // namespace

uint32_t readPatternVersionFd(int fd, uint16_t* version) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0)
        return kCleanerFailure;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const uint64_t maxReads = size / kPatternHeaderSize;
    unsigned char header[kPatternHeaderSize];
    uint64_t position = 0;
    for (uint64_t reads = 1;; ++reads) {
        if (reads > maxReads)
            return kCleanerFailure;  // shorter than a header, or a walk that does not end
        if (readAt(fd, header, sizeof header, position) < sizeof header)
            return kCleanerFailure;
        if (get32(header) == kPatternMagic)
            break;
        position =
            uint64_t{get16(header + kPatternCountBOffset)} * get16(header + kPatternCountAOffset) +
            kPatternHeaderSize;
        if (position >= size)
            return kCleanerFailure;
    }
    *version = get16(header + kPatternVersionOffset);
    return kCleanerOk;
}

uint32_t readPatternVersionFile(const std::string& path, uint16_t* version) {
    std::string fsPath = sys::serverFilePath(path);
    sys::UniqueFd fd(::open(fsPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        switch (errno) {
            case ENOENT:
                return kCleanerPatternNotFound;
            case EWOULDBLOCK:
                return kCleanerPatternLocked;
            default:
                return kCleanerFailure;
        }
    }
    return readPatternVersionFd(fd.get(), version);
}

}  // namespace nvl::cleaner
