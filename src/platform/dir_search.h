// Directory searches: the stand-in for FindFirstFile / FindNextFile.
//
// A search names a directory and a pattern in one path, as the original did:
// "/srv/norvel/sig$vpf.*". The pattern is the last component; '*' matches any run of characters
// (none included) and '?' exactly one, and the rest matches without regard to ASCII case. The
// directory part is resolved as resolvePath() does (paths.h): a spelling that does not exist is
// matched without regard to case.
//
// What the original's matching did and this one keeps: "*.*" matches every name, also one
// without a dot; a pattern ending in ".*" also matches the name without the dot ("sig$vpf.*"
// matches "sig$vpf"). Only regular files are returned (not directories, not symbolic links, not
// devices), in byte order of their names, so "the first file found" is the same on every run.
// Names are bytes as the file system holds them (the ANSI code page on a server).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nvl::sys {

struct FoundFile {
    std::string name;  // the file name, without the directory
};

// The regular files matching `pathPattern`, in name order. kSuccess with an empty list when
// nothing matches or the directory does not exist (the original's "file not found" is an empty
// result here); another error of error.h when the directory cannot be read.
uint32_t findFiles(std::string_view pathPattern, std::vector<FoundFile>* out);

// Whether `name` matches `pattern` by the rules above.
bool matchesPattern(std::string_view pattern, std::string_view name);

}  // namespace nvl::sys
