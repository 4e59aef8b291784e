// Directory searches (see dir_search.h).
//
// One pass of readdir over the directory; the entry's type as readdir gives it decides what is
// a regular file, and only on a file system that does not give types is a matching name looked
// at with fstatat (no symbolic link followed). So a search costs the readdir calls and nothing
// per file: the callers open what they found anyway, and a file that went in between fails
// there. The list is sorted afterwards: readdir's order depends on the
// file system's hashing and would make "the first file found" differ between two machines.
#include "platform/dir_search.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/error.h"
#include "platform/paths.h"

namespace nvl::sys {

namespace {

char foldCase(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// '*' and '?' against `name`, letters without regard to ASCII case. The usual single backtrack
// point: on a mismatch after a '*', that star takes one more character and matching resumes,
// which is enough because a later star can always take over what an earlier one would.
bool wildcardMatch(std::string_view pattern, std::string_view name) {
    size_t p = 0;
    size_t n = 0;
    size_t starAt = std::string_view::npos;  // position in the pattern just after the last '*'
    size_t resumeAt = 0;                     // where in the name that star's match ends
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starAt = ++p;
            resumeAt = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' || foldCase(pattern[p]) == foldCase(name[n]))) {
            ++p;
            ++n;
        } else if (starAt != std::string_view::npos) {
            p = starAt;
            n = ++resumeAt;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

}  // namespace

bool matchesPattern(std::string_view pattern, std::string_view name) {
    if (pattern.empty() || name.empty())
        return false;
    if (wildcardMatch(pattern, name))
        return true;
    // "name.*" also finds "name" itself, and so "*.*" finds every name.
    return pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*" &&
           wildcardMatch(pattern.substr(0, pattern.size() - 2), name);
}

uint32_t findFiles(std::string_view pathPattern, std::vector<FoundFile>* out) {
    out->clear();
    size_t slash = pathPattern.rfind('/');
    std::string_view pattern =
        slash == std::string_view::npos ? pathPattern : pathPattern.substr(slash + 1);
    std::string directory;
    if (slash == std::string_view::npos)
        directory = ".";
    else if (slash == 0)
        directory = "/";
    else
        directory = resolvePath(pathPattern.substr(0, slash));
    if (pattern.empty())
        return kSuccess;

    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        int error = errno;
        return error == ENOENT || error == ENOTDIR ? kSuccess : errnoToError(error);
    }
    int dirFd = ::dirfd(dir);
    uint32_t result = kSuccess;
    for (;;) {
        errno = 0;
        dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            if (errno != 0)
                result = errnoToError(errno);
            break;
        }
        std::string_view name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN)
            continue;
        if (!matchesPattern(pattern, name))
            continue;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st {};
            // Gone since readdir, or not a regular file after all: not found.
            if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISREG(st.st_mode))
                continue;
        }
        out->push_back(FoundFile{std::string(name)});
    }
    ::closedir(dir);
    if (result != kSuccess) {
        out->clear();
        return result;
    }
    std::sort(out->begin(), out->end(),
              [](const FoundFile& a, const FoundFile& b) { return a.name < b.name; });
    return kSuccess;
}

}  // namespace nvl::sys
