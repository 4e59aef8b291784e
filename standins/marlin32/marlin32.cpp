// MARLIN32.so: the scan engine's entry points over the pattern reader (pattern_format.h).
//
// Handles are 32-bit numbers in one process-wide table guarded by a mutex; each names a small
// state of its own (the pattern it read, the configuration set) guarded by its own mutex, and
// callers hold a reference to it while they use it, so one thread may release a handle while
// another still finishes a call on it. A pattern is read without any lock held and swapped in
// whole, so a query sees the old pattern or the new one, never a mix. A failed read leaves the
// handle with no pattern at all rather than the previous one, which a caller could take for the
// file it just named.
//
// Only the entry points of marlin32.h leave the library (default visibility here, and the
// version script marlin32.map for everything else, the C++ run-time's inline symbols included).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "pattern_format.h"
#include "platform/dir_search.h"
#include "platform/error.h"
#include "platform/paths.h"

#pragma GCC visibility push(default)
#include "marlin32.h"
#pragma GCC visibility pop

namespace marlin32 {
namespace {

constexpr size_t kMaxHandles = 4096;
constexpr char kVirusStem[] = "sig$vpf";

struct HandleState {
    std::mutex mutex;
    std::shared_ptr<const PatternContent> pattern;  // null: none read
    uint32_t threadId = 0;
    uint32_t profile = 0;
};

class HandleTable {
  public:
    int32_t open(uint32_t threadId, MrHandle* handle) {
        auto state = std::make_shared<HandleState>();
        state->threadId = threadId;
        std::lock_guard lock(mutex_);
        if (handles_.size() >= kMaxHandles)
            return kNoResources;
        // Values are not reused until the counter wraps, so a released handle stays invalid.
        do {
            ++next_;
        } while (next_ == 0 || handles_.count(next_) != 0);
        handles_.emplace(next_, std::move(state));
        *handle = next_;
        return kOk;
    }

    std::shared_ptr<HandleState> find(MrHandle handle) {
        std::lock_guard lock(mutex_);
        auto it = handles_.find(handle);
        return it != handles_.end() ? it->second : nullptr;
    }

    bool close(MrHandle handle) {
        std::lock_guard lock(mutex_);
        return handles_.erase(handle) != 0;
    }

  private:
    std::mutex mutex_;
    std::unordered_map<MrHandle, std::shared_ptr<HandleState>> handles_;
    MrHandle next_ = 0x4d520000;
};

// Never destroyed: a thread may still call in while the process exits.
HandleTable& table() {
    static HandleTable* instance = new HandleTable;
    return *instance;
}

std::shared_ptr<const PatternContent> patternOf(HandleState& state) {
    std::lock_guard lock(state.mutex);
    return state.pattern;
}

// "<stem>.<digits>": the generation number's digits, or "" for any other name.
std::string_view generationDigits(std::string_view name, std::string_view stem) {
    if (name.size() <= stem.size() + 1 || name[stem.size()] != '.')
        return {};
    std::string_view digits = name.substr(stem.size() + 1);
    for (char c : digits) {
        if (c < '0' || c > '9')
            return {};
    }
    return digits;
}

// Compares two digit strings as the numbers they write, leading zeros aside.
int compareNumbers(std::string_view a, std::string_view b) {
    auto strip = [](std::string_view d) {
        size_t zeros = d.find_first_not_of('0');
        return zeros == std::string_view::npos ? std::string_view() : d.substr(zeros);
    };
    a = strip(a);
    b = strip(b);
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

struct Generation {
    std::string name;
    std::string digits;
    uint32_t version = 0;
    struct stat st {};
};

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace
}  // namespace marlin32

using namespace marlin32;

extern "C" {

int32_t MrInit(uint32_t threadId, const char* reserved, uint32_t flags, MrHandle* handle) {
    (void)reserved;
    if (handle == nullptr || flags != 0)
        return kBadArgument;
    try {
        return table().open(threadId, handle);
    } catch (const std::bad_alloc&) {
        return kNoResources;
    }
}

int32_t MrRelease(MrHandle handle) {
    return table().close(handle) ? kOk : kBadHandle;
}

int32_t MrReadPatternInFile(MrHandle handle, const char* path, uint32_t flags) {
    std::shared_ptr<HandleState> state = table().find(handle);
    if (!state)
        return kBadHandle;
    if (path == nullptr || flags != 0)
        return kBadArgument;
    try {
        PatternInfo info;
        int32_t status = readPatternFile(path, &info);
        std::shared_ptr<const PatternContent> pattern;
        if (status == kOk)
            pattern = std::make_shared<const PatternContent>(std::move(info.content));
        std::lock_guard lock(state->mutex);
        state->pattern = std::move(pattern);
        return status;
    } catch (const std::bad_alloc&) {
        std::lock_guard lock(state->mutex);
        state->pattern.reset();
        return kNoResources;
    }
}

int32_t MrSetConfig(MrHandle handle, uint32_t item, uint32_t value, uint32_t flags) {
    std::shared_ptr<HandleState> state = table().find(handle);
    if (!state)
        return kBadHandle;
    if (flags != 0)
        return kBadArgument;
    if (item != MR_CONFIG_SCAN_PROFILE || value != 2)
        return kUnsupported;
    std::lock_guard lock(state->mutex);
    state->profile = value;
    return kOk;
}

int32_t MrGetPatternProperty(MrHandle handle, uint32_t property, uint32_t flags,
                             MrPatternPropertyRequest* request) {
    std::shared_ptr<HandleState> state = table().find(handle);
    if (!state)
        return kBadHandle;
    if (flags != 0 || request == nullptr || request->room < 0 ||
        (request->room > 0 && request->entries == nullptr)) {
        return kBadArgument;
    }
    if (property != MR_PROPERTY_MAJOR_TYPES)
        return kUnsupported;
    std::shared_ptr<const PatternContent> pattern = patternOf(*state);
    if (!pattern)
        return kNoPattern;
    size_t count = pattern->types.size();
    size_t filled = std::min(count, static_cast<size_t>(request->room));
    for (size_t i = 0; i < filled; ++i) {
        const MajorType& type = pattern->types[i];
        MrMajorTypeEntry entry{};
        entry.firstAction = type.firstAction;
        entry.secondAction = type.secondAction;
        std::memcpy(entry.name, type.name.data(), std::min(type.name.size(), kNameBytes));
        std::memcpy(&request->entries[i], &entry, sizeof entry);
    }
    return static_cast<int32_t>(count);
}

int32_t MrGetExtListSize(MrHandle handle, uint32_t* size) {
    std::shared_ptr<HandleState> state = table().find(handle);
    if (!state)
        return kBadHandle;
    if (size == nullptr)
        return kBadArgument;
    std::shared_ptr<const PatternContent> pattern = patternOf(*state);
    if (!pattern)
        return kNoPattern;
    *size = static_cast<uint32_t>(pattern->extList.size() + 1);
    return kOk;
}

int32_t MrGetExtList(MrHandle handle, char* buffer) {
    std::shared_ptr<HandleState> state = table().find(handle);
    if (!state)
        return kBadHandle;
    if (buffer == nullptr)
        return kBadArgument;
    std::shared_ptr<const PatternContent> pattern = patternOf(*state);
    if (!pattern)
        return kNoPattern;
    std::memcpy(buffer, pattern->extList.c_str(), pattern->extList.size() + 1);
    return kOk;
}

int32_t MrDeleteUnusedPattern(const char* directory, const char* stem, int32_t keep) {
    if (directory == nullptr || *directory == '\0' || keep < 1)
        return kBadArgument;
    std::string_view stemText = stem != nullptr ? stem : kVirusStem;
    if (stemText.empty() || stemText.find_first_of("/*?") != std::string_view::npos)
        return kBadArgument;
    try {
        std::string dir = nvl::sys::resolvePath(directory);
        if (dir.back() != '/')
            dir += '/';
        std::vector<nvl::sys::FoundFile> found;
        if (nvl::sys::findFiles(dir + std::string(stemText) + ".*", &found) != nvl::sys::kSuccess)
            return kIoError;

        // The generations this engine can read; anything else (a file being copied in, a
        // damaged one, another name) is not looked at again.
        std::vector<Generation> generations;
        for (const nvl::sys::FoundFile& file : found) {
            std::string_view digits = generationDigits(file.name, stemText);
            if (digits.empty())
                continue;
            Generation g;
            g.name = file.name;
            g.digits = digits;
            std::string path = dir + file.name;
            int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
            if (fd < 0)
                continue;
            PatternInfo info;
            bool readable = ::fstat(fd, &g.st) == 0 && S_ISREG(g.st.st_mode);
            if (readable) {
                FdSource source(fd, g.st.st_size);
                readable = readHeader(source, &info) == kOk;
            }
            ::close(fd);
            if (!readable)
                continue;
            g.version = info.content.internalVersion;
            generations.push_back(std::move(g));
        }
        std::sort(generations.begin(), generations.end(),
                  [](const Generation& a, const Generation& b) {
                      if (a.version != b.version)
                          return a.version > b.version;
                      int byNumber = compareNumbers(a.digits, b.digits);
                      return byNumber != 0 ? byNumber > 0 : a.name < b.name;
                  });

        int32_t result = kOk;
        for (size_t i = static_cast<size_t>(keep); i < generations.size(); ++i) {
            std::string path = dir + generations[i].name;
            // Only the file that was read: one replaced or rewritten since is left alone.
            struct stat now {};
            if (::lstat(path.c_str(), &now) != 0 || !sameFile(now, generations[i].st))
                continue;
            if (::unlink(path.c_str()) != 0 && errno != ENOENT)
                result = kIoError;
        }
        return result;
    } catch (const std::bad_alloc&) {
        return kNoResources;
    }
}

int32_t MrGetPatternInternalVersion(const char* path, uint32_t* version, uint16_t* other) {
    if (other != nullptr)
        *other = 0;
    if (version == nullptr)
        return kBadArgument;
    *version = 0;
    try {
        PatternInfo info;
        int32_t status = readHeaderFile(path, &info);
        if (status == kOk)
            *version = info.content.internalVersion;
        return status;
    } catch (const std::bad_alloc&) {
        return kNoResources;
    }
}

}  // extern "C"
