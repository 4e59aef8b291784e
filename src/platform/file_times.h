// File times: what the original read with _stat and GetFileTime.
//
// The original platform keeps a creation time for every file. Linux keeps a birth time on most
// local file systems (ext4, xfs, btrfs) and reports it through statx(STATX_BTIME); where
// the file system has none (older NFS, some FUSE file systems) or the kernel refuses statx, the
// creation time is st_ctime, the time of the file's last status change, and `birthTime` says so.
// The modification time is st_mtime. Symbolic links are followed, as _stat followed nothing but
// the file itself.
//
// Paths arrive as the library's callers hold them: in the ANSI code page, perhaps with
// backslashes. serverFilePath() makes the file system's path of them (UTF-8, '/', each missing
// component matched without regard to case, see resolvePath).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace nvl::sys {

struct FileTimes {
    time_t modified = 0;
    time_t created = 0;      // the birth time, or st_ctime when `birthTime` is false
    bool birthTime = false;  // whether `created` is a real birth time
};

// The times of the file at `path` (a file system path). kSuccess, or the error of stat.
uint32_t getFileTimes(const std::string& path, FileTimes* out);

// The file system path for a path in the ANSI code page (see above).
std::string serverFilePath(std::string_view ansiPath);

}  // namespace nvl::sys
