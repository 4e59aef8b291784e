// The appended signature check; see appended_signature.h.
#include "signature/appended_signature.h"

#include <fcntl.h>
#include <string.h>  // explicit_bzero
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>

namespace nvl::signature {

namespace {

constexpr uint64_t kTrailerSize = 4;

// Reads up to `length` bytes at `offset`, retrying after signals and short reads until the
// length is reached or the file ends. Returns the bytes read, or -1 on a read error.
ssize_t readAt(int fd, uint8_t* buffer, size_t length, uint64_t offset) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// The wiped-on-return working memory of one check.
struct Workspace {
    SignatureVerifyContext ctx;
    uint8_t signature[kMaxSignatureBytes];
    std::unique_ptr<uint8_t[]> buffer;

    Workspace() : buffer(new (std::nothrow) uint8_t[kAppendedReadBuffer]) {}
    ~Workspace() {
        wipeVerifyContext(&ctx);
        explicit_bzero(signature, sizeof signature);
        if (buffer)
            explicit_bzero(buffer.get(), kAppendedReadBuffer);
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;
};

}  // namespace

int verifyAppendedSignatureFdWithKey(int fd, const RsaPublicKey& key) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0)
        return -1;
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size < kTrailerSize)
        return 0;

    uint8_t trailer[kTrailerSize];
    ssize_t got = readAt(fd, trailer, sizeof trailer, size - kTrailerSize);
    if (got < 0)
        return -1;
    if (static_cast<size_t>(got) != sizeof trailer)
        return 0;
    uint32_t n = uint32_t{trailer[0]} | uint32_t{trailer[1]} << 8 | uint32_t{trailer[2]} << 16 |
                 uint32_t{trailer[3]} << 24;
    if (n == 0 || n >= size - kTrailerSize || n > kMaxSignatureBytes)
        return 0;

    Workspace work;
    if (!work.buffer)
        return -1;
    uint64_t signatureAt = size - kTrailerSize - n;
    got = readAt(fd, work.signature, n, signatureAt);
    if (got < 0)
        return -1;
    if (static_cast<uint32_t>(got) != n)
        return 0;

    if (SignatureVerifyInit(&work.ctx, kDigestMd5) != kVerifyOk)
        return -1;
    uint64_t offset = 0;
    uint64_t remaining = signatureAt;
    while (remaining != 0) {
        size_t want =
            remaining < kAppendedReadBuffer ? static_cast<size_t>(remaining) : kAppendedReadBuffer;
        got = readAt(fd, work.buffer.get(), want, offset);
        if (got < 0)
            return -1;
        if (got == 0)
            break;  // the file ended early: judged on what was read
        if (SignatureVerifyUpdate(&work.ctx, work.buffer.get(), static_cast<size_t>(got)) !=
            kVerifyOk)
            return -1;
        offset += static_cast<uint64_t>(got);
        remaining -= static_cast<uint64_t>(got);
    }
    return SignatureVerifyFinal(&work.ctx, work.signature, n, &key) == kVerifyOk ? 1 : 0;
}

int verifyAppendedSignatureFd(int fd) {
    return verifyAppendedSignatureFdWithKey(fd, CleanerSigningKey);
}

int VerifyAppendedSignature(const char* path) {
    if (path == nullptr)
        return -1;
    // Non-blocking, so that a FIFO in the executable's place cannot stall the open (fstat then
    // refuses it as not a regular file).
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    int result = verifyAppendedSignatureFd(fd);
    ::close(fd);
    return result;
}

}  // namespace nvl::signature
