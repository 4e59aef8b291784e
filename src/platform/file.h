// Files: the one table through which the platform layer reaches the file system, and the
// building blocks the registry and profile files are written with.
//
// Every facility that reads or writes a file goes through fileOps(), so a test can swap the
// table (ScopedFileOps) and inject short writes, I/O errors or a crash between the write of a
// temporary file and its rename, and check that nothing is lost or torn.
//
// Files shared by several processes are replaced atomically: the new contents go to a
// temporary file in the same directory, are flushed to disk and renamed over the old name, so
// a reader sees the old or the new file, never a torn one. Writers serialise on an exclusive
// flock of a sidecar file "<name>.lock" beside the file; the lock dies with its holder.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nvl::sys {

struct FileOps {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void* buffer, size_t size);
    ssize_t (*write)(int fd, const void* buffer, size_t size);
    int (*fsync)(int fd);
    int (*fstat)(int fd, struct stat* st);
    int (*rename)(const char* from, const char* to);
    int (*unlink)(const char* path);
};

// The table in force; the real system calls unless a test swapped it.
const FileOps& fileOps();

// Puts `ops` in force for the lifetime of the object (tests only; not thread-safe).
class ScopedFileOps {
  public:
    explicit ScopedFileOps(const FileOps& ops);
    ~ScopedFileOps();
    ScopedFileOps(const ScopedFileOps&) = delete;
    ScopedFileOps& operator=(const ScopedFileOps&) = delete;

  private:
    const FileOps* previous_;
};

// Owns one file descriptor.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

// Reads the whole file into `out`, at most `limit` bytes (a longer file is an error:
// kErrInvalidData). Returns kSuccess or an error code; a missing file is kErrFileNotFound.
uint32_t readWholeFile(const std::string& path, std::string* out, size_t limit = 64u << 20);

// The same for a file already open for reading, from its current offset: for callers that
// keep the descriptor, for instance to know by fstat which file they read.
uint32_t readWholeFd(int fd, std::string* out, size_t limit = 64u << 20);

// Writes all of `data` to `fd`, retrying short writes and EINTR. Returns kSuccess or an error.
uint32_t writeAll(int fd, std::string_view data);

// Replaces the contents of `path` with `data` atomically (temporary file, fsync, rename).
// A new file gets `newFileMode` (before the umask); an existing one keeps its mode.
uint32_t replaceFileAtomically(const std::string& path, std::string_view data,
                               mode_t newFileMode = 0644);

// An exclusive, blocking lock of "<path>.lock" that serialises the writers of `path` across
// processes and threads. ok() is false when the lock file cannot be opened or created.
class FileWriteLock {
  public:
    explicit FileWriteLock(const std::string& path);
    bool ok() const { return static_cast<bool>(fd_); }
    uint32_t error() const { return error_; }

  private:
    UniqueFd fd_;
    uint32_t error_ = 0;
};

// The stand-in for GetTempFileName: creates a new, empty file "<prefix><8 random hex
// digits>.TMP" in `directory` (O_EXCL, `mode` before the umask, opened for reading and
// writing), drawing another name while one exists. The name never derives from anything but
// the prefix and the kernel's random generator. Returns kSuccess with `*path` and `*fd` set.
uint32_t createUniqueFile(const std::string& directory, std::string_view prefix, mode_t mode,
                          std::string* path, UniqueFd* fd);

// Whether another process has the existing regular file `path` open: the stand-in for opening
// it with no sharing, which the original platform refused while anyone else held it. It takes a
// write lease (F_SETLEASE), which the kernel grants only while no other descriptor of the file
// is open anywhere, and gives it back at once. kSuccess: nobody else has it open.
// kErrSharingViolation: somebody does. kErrFileNotFound and the like: it cannot be opened.
// kErrNotSupported: no lease can be taken here (a file of another owner without CAP_LEASE, a
// file system without leases); then nobody can tell, and the caller must guard what it does
// with the file otherwise (the hot-fix rebuild checks that the file's size and modification time
// do not change while it packs it).
uint32_t probeFileNotInUse(const std::string& path);

// Creates `path` and its missing parents with `mode`. Returns kSuccess when the directory
// exists afterwards.
uint32_t makeDirectories(const std::string& path, mode_t mode = 0755);

}  // namespace nvl::sys
