// Appending records to a log file that several processes write at once.
//
// A record is one line formed completely in memory. It reaches the file with one write(2) on
// a descriptor opened with O_APPEND: the kernel moves to the end of the file and writes the
// whole line as one step, so records of different processes never interleave inside a line.
// The line is never written in pieces: a second write for the rest could land after another
// process's record and tear both lines.
//
// A short write (disk full, file size limit) leaves the start of a line without its line
// feed. appendRecord then ends that line with a lone "\n", so the next record still begins a
// line of its own and the damaged line stays a single, recognisable line.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/file.h"

namespace nvl::logs {

// Opens `path` for appending, creating it (mode 0666 less the umask, as fopen does). An
// invalid descriptor when it cannot be opened; errno tells why.
sys::UniqueFd openForAppend(const std::string& path);

// Opens a file under the server's home directory with open(2) `flags` (O_CLOEXEC is added;
// O_CREAT makes it with mode 0666 less the umask). The name as it is spelt is tried first, and
// only when it does not exist is each component matched without regard to case: the usual
// case costs one open, and a file that exists as UPDATE.LOG is never doubled by a new
// update.log beside it. Directories are not created. errno tells why it failed.
sys::UniqueFd openServerFile(const std::string& path, int flags);

// Appends `record` with one write. Returns what the write returned: record.size() on
// success, a shorter count or -1 (errno set) on failure.
ssize_t appendRecord(int fd, std::string_view record);

}  // namespace nvl::logs
