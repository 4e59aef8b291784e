#include "throttle.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <unordered_map>
#include <vector>

#include "crypto.h"
#include "security.h"

namespace console {

namespace {

constexpr char kStateName[] = "logon-failures";
constexpr size_t kKeyDigits = 64;
constexpr size_t kCountDigits = 9;

struct Entry {
    std::string key;
    int failures;
};

// A descriptor that closes itself.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

std::string keyOf(std::string_view user) {
    Sha256Digest digest = sha256(user);
    return hex(digest.data(), digest.size());
}

// A regular file of this account that nobody else may read or write.
bool privateFile(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 077) == 0;
}

bool parseLine(std::string_view line, Entry* entry) {
    if (line.size() < kKeyDigits + 2 || line.size() > kKeyDigits + 1 + kCountDigits ||
        line[kKeyDigits] != ' ')
        return false;
    std::string_view key = line.substr(0, kKeyDigits);
    std::string_view count = line.substr(kKeyDigits + 1);
    bool hex = std::all_of(key.begin(), key.end(),
                           [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
    if (!hex || count[0] == '0')
        return false;
    int failures = 0;
    for (char c : count) {
        if (c < '0' || c > '9')
            return false;
        failures = failures * 10 + (c - '0');
    }
    entry->key.assign(key);
    entry->failures = std::min(failures, kMostFailures);
    return true;
}

std::string statePath(const std::string& directory) {
    return directory + kStateName;
}

// The entries of the state file, oldest change first, one per name.
std::vector<Entry> readState(const std::string& path) {
    std::vector<Entry> entries;
    Fd file{::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
    if (file.fd < 0 || !privateFile(file.fd))
        return entries;
    std::string content(kStateFileLimit, '\0');
    size_t size = 0;
    while (size < content.size()) {
        ssize_t n = ::read(file.fd, content.data() + size, content.size() - size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        size += static_cast<size_t>(n);
    }
    content.resize(size);

    std::unordered_map<std::string, size_t> seen;
    Entry entry;
    // Only whole lines count: a last line without its line feed is one cut short.
    for (size_t start = 0, end; (end = content.find('\n', start)) != std::string::npos;
         start = end + 1) {
        if (!parseLine(std::string_view(content).substr(start, end - start), &entry))
            continue;
        auto [at, added] = seen.emplace(entry.key, entries.size());
        if (added) {
            entries.push_back(entry);
        } else {
            // A name twice (the file was not written here) keeps the larger count.
            Entry& earlier = entries[at->second];
            earlier.failures = std::max(earlier.failures, entry.failures);
        }
    }
    return entries;
}

// Writes the entries aside and renames them over the state file.
void writeState(const std::string& directory, const std::vector<Entry>& entries) {
    std::string content;
    content.reserve(entries.size() * (kKeyDigits + 4));
    for (const Entry& entry : entries) {
        content += entry.key;
        content += ' ';
        content += std::to_string(entry.failures);
        content += '\n';
    }
    std::string temporary = statePath(directory) + ".XXXXXX";
    Fd file{::mkostemp(temporary.data(), O_CLOEXEC)};  // mode 0600
    if (file.fd < 0)
        return;
    bool written = true;
    for (size_t done = 0; written && done < content.size();) {
        ssize_t n = ::write(file.fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        written = n > 0;
        done += written ? static_cast<size_t>(n) : 0;
    }
    if (!written || ::fsync(file.fd) != 0 ||
        ::rename(temporary.c_str(), statePath(directory).c_str()) != 0)
        ::unlink(temporary.c_str());
}

// Holds the exclusive lock of the state file while it lives; locked() false when the lock
// cannot be had (then the state is left alone).
class StateLock {
  public:
    explicit StateLock(const std::string& directory) {
        std::string path = statePath(directory) + ".lock";
        lock_.fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (lock_.fd < 0 || !privateFile(lock_.fd))
            return;
        int result;
        do {
            result = ::flock(lock_.fd, LOCK_EX);
        } while (result != 0 && errno == EINTR);
        locked_ = result == 0;
    }
    bool locked() const { return locked_; }

  private:
    Fd lock_;  // closing it lets go of the lock
    bool locked_ = false;
};

// Drops entries other than the newest (the one just changed) while there are too many: the
// oldest of those not waited on yet, or the oldest of all when every one is waited on.
void keepBounded(std::vector<Entry>* entries) {
    while (entries->size() > kKeptNames) {
        auto others = entries->end() - 1;
        auto victim = std::find_if(entries->begin(), others, [](const Entry& entry) {
            return entry.failures < kFreeFailures;
        });
        entries->erase(victim != others ? victim : entries->begin());
    }
}

}  // namespace

std::chrono::milliseconds delayAfter(int failures) {
    if (failures < kFreeFailures)
        return std::chrono::milliseconds(0);
    int doublings = failures - kFreeFailures;
    // 2^5 s is past the cap already; larger shifts would overflow.
    if (doublings >= 5)
        return kLongestLogonDelay;
    return std::min(std::chrono::milliseconds(1000 << doublings), kLongestLogonDelay);
}

int logonFailures(std::string_view user) {
    std::string directory = privateDirectory();
    if (directory.empty())
        return 0;
    // The file is only ever replaced whole, so reading needs no lock.
    std::string key = keyOf(user);
    for (const Entry& entry : readState(statePath(directory))) {
        if (entry.key == key)
            return entry.failures;
    }
    return 0;
}

std::chrono::milliseconds logonDelay(std::string_view user) {
    return delayAfter(logonFailures(user));
}

void waitLogonDelay(std::string_view user) {
    std::chrono::milliseconds delay = logonDelay(user);
    if (delay.count() <= 0)
        return;
    timespec left{static_cast<time_t>(delay.count() / 1000),
                  static_cast<long>(delay.count() % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

namespace {

// Under the lock: counts one more failure of `user` (`failed`) or clears its count. Clearing a
// name without an entry leaves the file alone.
void updateEntry(std::string_view user, bool failed) {
    std::string directory = privateDirectory();
    if (directory.empty())
        return;
    StateLock lock(directory);
    if (!lock.locked())
        return;
    std::vector<Entry> entries = readState(statePath(directory));
    std::string key = keyOf(user);
    auto found = std::find_if(entries.begin(), entries.end(),
                              [&](const Entry& entry) { return entry.key == key; });
    int failures = 0;
    if (found != entries.end()) {
        failures = found->failures;
        entries.erase(found);
    } else if (!failed) {
        return;
    }
    if (failed) {
        // The newest change goes last.
        entries.push_back({key, std::min(failures + 1, kMostFailures)});
        keepBounded(&entries);
    }
    writeState(directory, entries);
}

}  // namespace

void recordLogonFailure(std::string_view user) {
    updateEntry(user, true);
}

void clearLogonFailures(std::string_view user) {
    updateEntry(user, false);
}

}  // namespace console
