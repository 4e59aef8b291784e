// tarsk32.so: the spyware scan engine stand-in (tarsk32.h, README.md).
//
// Handles are 32-bit ids in one process-wide table; each names an Engine held by shared_ptr,
// so a handle quit on one thread while another thread's call still runs on it stays valid for
// that call. One long operation (scan, backup, clean, restore) runs per handle at a time; a
// second one is TK_E_BUSY. TkStopScan only sets an atomic flag, which the running operation
// reads between files and between read buffers, so a stop takes effect within one buffer.
//
// Scanned trees are hostile. The walk opens every directory relative to its parent with
// O_NOFOLLOW, follows no symbolic link, opens no FIFO, device or socket (files are opened with
// O_NONBLOCK and checked with fstat before a byte is read), skips what it cannot read, survives
// files that change or vanish, and stops descending at kMaxDepth. Names are bytes; they reach
// the caller through the lossless UTF-16 form of tarsk_format.h, so clean and restore find the
// same file. Each found file or directory keeps its device and inode: backup copies only that
// object, and clean removes it only while the name still leads to it.
//
// Clean removes only what the last backup set holds completely and durably (the set is written,
// fsynced and renamed into place, and its directory fsynced, before any item counts as backed
// up); everything else stays and is reported. Restore writes only clean absolute locations,
// walks to each one from "/" without following a symbolic link, creates files exclusively
// (never over an existing one) and gives them back at most their permission bits.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include "matcher.h"
#include "platform/registry.h"
#include "platform/test_stop.h"
#include "tarsk_format.h"

#pragma GCC visibility push(default)
#include "tarsk32.h"
#pragma GCC visibility pop

static_assert(offsetof(TkItem, itemId) == 4, "item id is the second 32-bit field");
static_assert(offsetof(TkItem, location) == 1052, "the location starts at byte 1052");

namespace tarsk32 {
namespace {

constexpr char kEngineVersion[] = "2.5.1001";
constexpr char kPatternFile[] = "tarskptn.da5";
constexpr char kWhitelistFile[] = "tkwhite.lst";
constexpr char kBlacklistFile[] = "tkblack.lst";
constexpr size_t kMaxDepth = 256;
constexpr size_t kReadBuffer = 256 * 1024;
constexpr size_t kMaxTextFile = 4u << 20;  // hosts files, cookie jars, autostart entries
constexpr size_t kMaxHandles = 4096;
constexpr size_t kMaxItems = 100000;
constexpr size_t kMaxDirEntries = 10000;  // backup of a found directory
// A found file larger than this is not backed up, so never cleaned: a planted sparse file of a
// terabyte must not fill the backup directory's disk.
constexpr uint64_t kMaxBackupFile = 2ull << 30;

bool isBasic(int id) {
    return id == 10 || id == 11 || id == 12 || id == 13 || id == 14 || id == 18;
}

// The 18 scanner modules: id, the default-enabled mark, display name. Ids without a scanner in
// this stand-in can be enabled and find nothing.
struct ScannerModule {
    int id;
    bool byDefault;
    const char* name;
};
constexpr ScannerModule kModules[TK_SCANNER_COUNT] = {
    {1, false, "Process"},         {2, false, "Module"},
    {3, false, "Service"},         {4, false, "Driver"},
    {5, false, "Browser Helper"},  {6, false, "Toolbar"},
    {7, false, "Startup Folder"},  {8, false, "Scheduled Task"},
    {9, false, "Shell Extension"}, {10, true, "File"},
    {11, true, "Registry"},        {12, true, "Cookie"},
    {13, true, "Autostart"},       {14, true, "Directory"},
    {15, false, "Memory"},         {16, false, "Network Filter"},
    {17, false, "Print Monitor"},  {18, true, "Hosts"},
};

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::u16string widen(std::string_view ascii) {
    return bytesToWide(ascii);
}

std::string narrow(const char16_t* text) {
    if (text == nullptr)
        return {};
    std::u16string_view w(text);
    std::string out;
    if (!wideToBytes(w, &out))
        return {};
    return out;
}

// Copies `text` into a caller's buffer of `size` characters, NUL-terminated.
int32_t copyOut(std::u16string_view text, char16_t* out, uint32_t size) {
    if (out == nullptr || size == 0)
        return TK_E_BAD_ARGUMENT;
    size_t n = std::min<size_t>(text.size(), size - 1);
    std::copy_n(text.data(), n, out);
    out[n] = 0;
    return n < text.size() ? TK_E_BUFFER_TOO_SMALL : TK_OK;
}

// A pattern with the look-up structures the scanners use.
struct LoadedPattern {
    Pattern pattern;
    Matcher content;
    std::vector<uint32_t> contentThreat;  // by matcher id
    std::multimap<std::string, uint32_t> fileNames, dirNames, hosts, cookies;
    std::vector<std::pair<std::string, uint32_t>> autostart;
    std::vector<const Signature*> registry;
    std::map<uint32_t, const Threat*> threats;
    std::map<uint32_t, const Company*> companies;

    explicit LoadedPattern(Pattern p) : pattern(std::move(p)) {
        std::vector<std::string> content_;
        for (const auto& s : pattern.signatures) {
            switch (s.kind) {
                case kSigContent:
                    content_.push_back(s.data);
                    contentThreat.push_back(s.threat);
                    break;
                case kSigFileName:
                    fileNames.emplace(lower(s.data), s.threat);
                    break;
                case kSigDirectory:
                    dirNames.emplace(lower(s.data), s.threat);
                    break;
                case kSigHosts:
                    hosts.emplace(lower(s.data), s.threat);
                    break;
                case kSigCookie:
                    cookies.emplace(lower(s.data), s.threat);
                    break;
                case kSigAutostart:
                    autostart.emplace_back(s.data, s.threat);
                    break;
                case kSigRegistry:
                    registry.push_back(&s);
                    break;
                default:
                    break;
            }
        }
        content = Matcher(content_);
        for (const auto& t : pattern.threats)
            threats[t.id] = &t;
        for (const auto& c : pattern.companies)
            companies[c.id] = &c;
    }
    std::string threatName(uint32_t id) const {
        auto it = threats.find(id);
        return it != threats.end() ? it->second->name : std::string();
    }
};

enum class ItemKind { File, Directory, Line, Registry };

using Identity = std::tuple<dev_t, ino_t, time_t, long>;
Identity identityOf(const struct stat& st) {
    return {st.st_dev, st.st_ino, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
}

struct Item {
    uint32_t id = 0, threat = 0, scanner = 0;
    bool selected = true;
    uint32_t state = TK_ITEM_FOUND;
    ItemKind kind = ItemKind::File;
    std::string path;   // file or directory bytes; registry: key path
    std::string extra;  // line text; registry: value name
    dev_t dev = 0;
    ino_t ino = 0;
    // What the backup copied, by identity: device, inode and change time. The change time
    // tells a file deleted and replaced under a reused inode number, and a file written since
    // the backup, from the object whose bytes the set holds.
    std::set<Identity> backedUp;
    // A found file: the checksum of the bytes the backup holds. Inode numbers are reused and
    // change times are coarse, so clean also re-reads the file and removes it only when its
    // bytes are still the ones backed up: nothing that is not in the set can be lost.
    uint64_t contentHash = 0;

    std::string location() const {
        if (kind == ItemKind::Line)
            return path + ":" + extra;
        if (kind == ItemKind::Registry)
            return path + "\\" + extra;
        return path;
    }
};

struct ListState {
    std::vector<ListEntry> entries;
    size_t cursor = 0;
};

struct Engine {
    TkHandle handle = 0;
    std::mutex mutex;  // everything below but the atomics
    std::atomic<bool> busy{false};
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> status{0};
    std::shared_ptr<const LoadedPattern> pattern;
    std::map<int32_t, std::string> options;
    TkCallbackFunc callback = nullptr;
    bool enabled[TK_SCANNER_COUNT + 1] = {};
    std::vector<Item> items;
    ListState white, black;
    int32_t lastCode = 0;
    std::string lastText;
    std::string lastBackupSet;

    Engine() {
        for (const auto& m : kModules)
            enabled[m.id] = m.byDefault;
    }
};

struct TableEnum {
    std::shared_ptr<const LoadedPattern> pattern;
    int32_t table = 0;
    size_t cursor = 0;
};

// Handle table, process-wide options, and the last error of calls that have no live handle.
std::mutex gMutex;
std::unordered_map<TkHandle, std::shared_ptr<Engine>> gEngines;
std::unordered_map<TkHandle, std::shared_ptr<TableEnum>> gEnums;
std::map<int32_t, std::string> gOptions;
TkHandle gNext = 0x544b0000;
thread_local int32_t tLastCode = 0;
thread_local std::string tLastText;

TkHandle newId() {
    do {
        ++gNext;
    } while (gNext == 0 || gEngines.count(gNext) != 0 || gEnums.count(gNext) != 0);
    return gNext;
}

std::shared_ptr<Engine> find(TkHandle h) {
    std::lock_guard lock(gMutex);
    auto it = gEngines.find(h);
    return it != gEngines.end() ? it->second : nullptr;
}

int32_t setError(Engine* e, int32_t code, std::string text) {
    if (e != nullptr) {
        std::lock_guard lock(e->mutex);
        e->lastCode = code;
        e->lastText = text;
    }
    tLastCode = code;
    tLastText = std::move(text);
    return code;
}

int32_t badHandle(TkHandle h) {
    return setError(nullptr, TK_E_BAD_HANDLE, "not a live engine handle: " + std::to_string(h));
}

std::string option(Engine& e, int32_t id) {
    {
        std::lock_guard lock(e.mutex);
        auto it = e.options.find(id);
        if (it != e.options.end())
            return it->second;
    }
    std::lock_guard lock(gMutex);
    auto it = gOptions.find(id);
    return it != gOptions.end() ? it->second : std::string();
}

// Marks the handle busy for one long operation.
class BusyGuard {
  public:
    explicit BusyGuard(Engine& e) : e_(e) { ok_ = !e.busy.exchange(true); }
    ~BusyGuard() {
        if (ok_)
            e_.busy = false;
    }
    bool ok() const { return ok_; }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;

  private:
    Engine& e_;
    bool ok_ = false;
};

void fillItem(const Item& it, const LoadedPattern* p, TkItem* out) {
    std::memset(out, 0, sizeof *out);
    out->size = sizeof *out;
    out->itemId = it.id;
    out->threatId = it.threat;
    out->scannerId = it.scanner;
    out->selected = it.selected ? 1 : 0;
    out->state = it.state;
    if (p != nullptr)
        copyOut(bytesToWide(p->threatName(it.threat)), out->threatName,
                sizeof out->threatName / sizeof(char16_t));
    copyOut(bytesToWide(it.location()), out->location, TK_PATH_CHARS);
}

void emit(Engine& e, int32_t event, int32_t scanner, int32_t value, const TkItem* record) {
    TkCallbackFunc cb;
    {
        std::lock_guard lock(e.mutex);
        cb = e.callback;
    }
    if (cb != nullptr)
        cb(e.handle, event, scanner, value, record);
}

void emitItem(Engine& e, int32_t event, const Item& it, const LoadedPattern* p) {
    auto record = std::make_unique<TkItem>();
    fillItem(it, p, record.get());
    emit(e, event, static_cast<int32_t>(it.scanner), static_cast<int32_t>(it.id), record.get());
}

// --- Safe paths ----------------------------------------------------------------------------

void closeFd(int fd) {
    if (fd >= 0)
        ::close(fd);
}

// Opens the directory that holds `path` (clean, absolute) by walking from "/" without
// following any symbolic link; creates missing directories (mode 0700) when asked. Returns the
// descriptor and the last component, or -1.
int openParent(const std::string& path, bool create, std::string* leaf) {
    if (!isCleanAbsolutePath(path))
        return -1;
    int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    size_t at = 1;
    while (fd >= 0) {
        size_t slash = path.find('/', at);
        if (slash == std::string::npos) {
            *leaf = path.substr(at);
            return fd;
        }
        std::string part = path.substr(at, slash - at);
        int next = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && create && ::mkdirat(fd, part.c_str(), 0700) == 0)
            next = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(fd);
        fd = next;
        at = slash + 1;
    }
    return -1;
}

bool readAllFd(int fd, std::string* out, size_t limit) {
    out->clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (out->size() + static_cast<size_t>(n) > limit)
            return false;
        out->append(buf, static_cast<size_t>(n));
    }
}

bool writeAllFd(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Replaces `leaf` in `dirFd` with `data` durably: a temporary beside it, fsync, rename, fsync
// of the directory.
bool replaceAt(int dirFd, const std::string& leaf, std::string_view data, mode_t mode) {
    char tmp[64];
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::snprintf(tmp, sizeof tmp, ".tarsk-%d-%d.tmp", static_cast<int>(::getpid()), attempt);
        int fd = ::openat(dirFd, tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            return false;
        bool ok = writeAllFd(fd, data) && ::fchmod(fd, mode & 0777) == 0 && ::fsync(fd) == 0;
        ::close(fd);
        if (ok && ::renameat(dirFd, tmp, dirFd, leaf.c_str()) == 0)
            return ::fsync(dirFd) == 0;
        ::unlinkat(dirFd, tmp, 0);
        return false;
    }
    return false;
}

// XXH3-64 of a whole file, read from its start.
bool hashFd(int fd, uint64_t* hash) {
    XXH3_state_t state;
    XXH3_64bits_reset(&state);
    std::vector<char> buf(kReadBuffer);
    for (off_t at = 0;;) {
        ssize_t n = ::pread(fd, buf.data(), buf.size(), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        XXH3_64bits_update(&state, buf.data(), static_cast<size_t>(n));
        at += n;
    }
    *hash = XXH3_64bits_digest(&state);
    return true;
}

// Splits text into lines without their line breaks.
std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        lines.push_back(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    }
    return lines;
}

bool splitKey(const std::string& path, nvl::sys::RegHive* hive, std::string* key) {
    return nvl::sys::splitRegistryPath(path, hive, key);
}

// --- Scanning --------------------------------------------------------------------------------

class Scan {
  public:
    Scan(Engine& e, std::shared_ptr<const LoadedPattern> p, uint32_t onlyThreat)
        : e_(e), p_(std::move(p)), onlyThreat_(onlyThreat), buffer_(kReadBuffer) {
        std::lock_guard lock(e.mutex);
        std::copy(std::begin(e.enabled), std::end(e.enabled), enabled_);
        white_ = e.white.entries;
        black_ = e.black.entries;
    }

    // Full scan of roots, or a quick scan of the pattern's locations under them.
    void run(const std::vector<std::string>& roots, bool quick) {
        emit(e_, TKE_EVENT_STARTSCAN, 0, 0, nullptr);
        if (enabled_[TK_SCANNER_REGISTRY] && !stopped()) {
            emit(e_, TKE_EVENT_STARTITEMSCAN, TK_SCANNER_REGISTRY, 0, nullptr);
            scanRegistry();
            emit(e_, TKE_EVENT_PROGRESS, TK_SCANNER_REGISTRY, 100, nullptr);
            emit(e_, TKE_EVENT_FINISHEDITEMSCAN, TK_SCANNER_REGISTRY, 0, nullptr);
        }
        for (int id : {10, 12, 13, 14, 18})
            if (enabled_[id])
                walked_.push_back(id);
        std::vector<std::string> targets;
        for (const auto& root : roots) {
            if (!quick) {
                targets.push_back(root);
                continue;
            }
            for (const auto& l : p_->pattern.locations)
                targets.push_back(root == "/" ? "/" + l.path : root + "/" + l.path);
        }
        if (!walked_.empty()) {
            for (int id : walked_)
                emit(e_, TKE_EVENT_STARTITEMSCAN, id, 0, nullptr);
            counting_ = true;
            for (const auto& t : targets)
                walkRoot(t);
            counting_ = false;
            total_ = std::max<uint64_t>(visited_, 1);
            visited_ = 0;
            for (const auto& t : targets)
                walkRoot(t);
            checkBlacklist();
            for (int id : walked_) {
                if (!stopped())
                    emit(e_, TKE_EVENT_PROGRESS, id, 100, nullptr);
                emit(e_, TKE_EVENT_FINISHEDITEMSCAN, id, 0, nullptr);
            }
        }
        emit(e_, TKE_EVENT_FINISHEDSCAN, 0, 0, nullptr);
    }

    std::vector<Item>& items() { return items_; }
    bool stopped() const { return e_.stop.load(std::memory_order_relaxed); }

  private:
    bool wanted(uint32_t threat) const { return onlyThreat_ == 0 || threat == onlyThreat_; }

    bool whitelisted(uint32_t threat, const std::string& location) const {
        return std::any_of(white_.begin(), white_.end(), [&](const ListEntry& w) {
            return w.enabled && w.threat == threat &&
                   (w.location.empty() || w.location == location);
        });
    }

    void add(Item it) {
        if (!wanted(it.threat) || items_.size() >= kMaxItems)
            return;
        std::string where = it.kind == ItemKind::Line ? it.path : it.location();
        if (whitelisted(it.threat, where))
            return;
        for (const auto& x : items_)
            if (x.threat == it.threat && x.kind == it.kind && x.path == it.path &&
                x.extra == it.extra)
                return;
        it.id = static_cast<uint32_t>(items_.size() + 1);
        items_.push_back(std::move(it));
        {
            // The item is the handle's at once, so that TkGetItem answers for it while its
            // event is delivered.
            std::lock_guard lock(e_.mutex);
            e_.items.push_back(items_.back());
        }
        emitItem(e_, TKE_EVENT_ITEMFOUND, items_.back(), p_.get());
    }

    void scanRegistry() {
        for (const Signature* s : p_->registry) {
            nvl::sys::RegHive hive;
            std::string key;
            nvl::sys::RegValue value;
            if (!wanted(s->threat) || !splitKey(s->data, &hive, &key) ||
                nvl::sys::RegistryKey::getValue(hive, key, s->extra, &value) != 0)
                continue;
            Item it;
            it.threat = s->threat;
            it.scanner = TK_SCANNER_REGISTRY;
            it.kind = ItemKind::Registry;
            it.path = s->data;
            it.extra = s->extra;
            add(std::move(it));
        }
    }

    void progress(const std::string& path) {
        if (counting_)
            return;
        auto percent = static_cast<int32_t>(std::min<uint64_t>(visited_ * 100 / total_, 99));
        if (percent == lastPercent_)
            return;
        lastPercent_ = percent;
        Item where;
        where.path = path;
        auto record = std::make_unique<TkItem>();
        fillItem(where, nullptr, record.get());
        emit(e_, TKE_EVENT_LOCATION, TK_SCANNER_FILE, percent, record.get());
        for (int id : walked_)
            emit(e_, TKE_EVENT_PROGRESS, id, percent, nullptr);
    }

    // A root or quick-scan target: a directory is walked, a regular file is checked.
    void walkRoot(const std::string& path) {
        std::string leaf;
        if (path == "/") {
            int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd >= 0) {
                walkDir(fd, "", 0);
                ::close(fd);
            }
            return;
        }
        int parent = openParent(path, false, &leaf);
        if (parent < 0)
            return;
        struct stat st {};
        if (::fstatat(parent, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            visitEntry(parent, path.substr(0, path.size() - leaf.size() - 1), leaf, st, 0);
        ::close(parent);
    }

    void visitEntry(int dirFd, const std::string& dirPath, const std::string& name,
                    const struct stat& st, size_t depth) {
        if (stopped())
            return;
        ++visited_;
        std::string path = dirPath + "/" + name;
        progress(path);
        if (S_ISDIR(st.st_mode)) {
            if (!counting_ && enabled_[TK_SCANNER_DIRECTORY]) {
                auto [lo, hi] = p_->dirNames.equal_range(lower(name));
                bool found = false;
                for (auto it = lo; it != hi; ++it) {
                    Item item;
                    item.threat = it->second;
                    item.scanner = TK_SCANNER_DIRECTORY;
                    item.kind = ItemKind::Directory;
                    item.path = path;
                    item.dev = st.st_dev;
                    item.ino = st.st_ino;
                    size_t before = items_.size();
                    add(std::move(item));
                    found = found || items_.size() > before;
                }
                if (found)
                    return;  // its contents go with it
            }
            if (depth + 1 >= kMaxDepth)
                return;
            int fd = ::openat(dirFd, name.c_str(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
            if (fd < 0)
                return;
            struct stat again {};
            if (::fstat(fd, &again) == 0 && again.st_dev == st.st_dev && again.st_ino == st.st_ino)
                walkDir(fd, path, depth + 1);
            ::close(fd);
            return;
        }
        if (!S_ISREG(st.st_mode) || counting_)
            return;
        checkFile(dirFd, dirPath, path, name, st);
    }

    void walkDir(int fd, const std::string& path, size_t depth) {
        int dupFd = ::dup(fd);
        if (dupFd < 0)
            return;
        DIR* dir = ::fdopendir(dupFd);
        if (dir == nullptr) {
            ::close(dupFd);
            return;
        }
        std::vector<std::pair<std::string, unsigned char>> names;
        while (dirent* d = ::readdir(dir)) {
            if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0)
                continue;
            names.emplace_back(d->d_name, d->d_type);
        }
        ::closedir(dir);
        std::sort(names.begin(), names.end());
        for (const auto& [name, type] : names) {
            if (stopped())
                return;
            // The counting pass needs no inode: the directory entry's type is enough.
            if (counting_ && type != DT_UNKNOWN && type != DT_DIR) {
                ++visited_;
                continue;
            }
            struct stat st {};
            if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;  // vanished
            visitEntry(fd, path, name, st, depth);
        }
    }

    void checkFile(int dirFd, const std::string& dirPath, const std::string& path,
                   const std::string& name, const struct stat& st) {
        auto fileItem = [&](uint32_t threat, uint32_t scanner) {
            Item it;
            it.threat = threat;
            it.scanner = scanner;
            it.path = path;
            it.dev = st.st_dev;
            it.ino = st.st_ino;
            add(std::move(it));
        };
        std::string lname = lower(name);
        if (enabled_[TK_SCANNER_FILE]) {
            auto [lo, hi] = p_->fileNames.equal_range(lname);
            for (auto it = lo; it != hi; ++it)
                fileItem(it->second, TK_SCANNER_FILE);
        }
        bool hostsFile = enabled_[TK_SCANNER_HOSTS] && lname == "hosts" && !p_->hosts.empty();
        bool cookieJar =
            enabled_[TK_SCANNER_COOKIE] && lname == "cookies.txt" && !p_->cookies.empty();
        size_t slash = dirPath.rfind('/');
        bool autostart =
            enabled_[TK_SCANNER_AUTOSTART] && !p_->autostart.empty() && lname.size() > 8 &&
            lname.ends_with(".desktop") &&
            lower(dirPath.substr(slash == std::string::npos ? 0 : slash + 1)) == "autostart";
        bool content = enabled_[TK_SCANNER_FILE] && !p_->content.empty();
        if (!content && !hostsFile && !cookieJar && !autostart)
            return;
        int fd = ::openat(dirFd, name.c_str(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return;  // unreadable or vanished
        struct stat now {};
        if (::fstat(fd, &now) != 0 || !S_ISREG(now.st_mode) || now.st_dev != st.st_dev ||
            now.st_ino != st.st_ino) {
            ::close(fd);
            return;  // replaced between the listing and the open
        }
        if (content)
            scanContent(fd, [&](uint32_t threat) { fileItem(threat, TK_SCANNER_FILE); });
        if (hostsFile || cookieJar || autostart) {
            std::string text;
            if (::lseek(fd, 0, SEEK_SET) == 0 && readAllFd(fd, &text, kMaxTextFile))
                checkText(text, path, st, hostsFile, cookieJar, autostart);
        }
        ::close(fd);
    }

    // Reads the file's data through the one buffer. Holes are not read: a signature is at most
    // kMaxContentBytes long and the matcher's state depends on no more than that many last
    // bytes, so feeding the first 256 zeros of a hole finds every signature that ends in it
    // and leaves the state that the whole hole would. A sparse file of any size costs a scan
    // of its data, and a hostile one of a terabyte does not hold the scan up.
    template <class F>
    void scanContent(int fd, F&& found) {
        static const unsigned char kZeros[256] = {};
        static_assert(sizeof kZeros > kMaxContentBytes);
        std::set<uint32_t> seen;
        auto match = [&](uint32_t id) { seen.insert(p_->contentThreat[id]); };
        uint32_t state = 0;
        off_t pos = 0;
        off_t dataEnd = ::lseek(fd, 0, SEEK_HOLE);  // -1: no hole information, read on
        for (;;) {
            if (stopped())
                return;
            if (dataEnd >= 0 && pos >= dataEnd) {
                off_t next = ::lseek(fd, pos, SEEK_DATA);
                struct stat st {};
                off_t gapEnd = next;
                if (next < 0 && errno == ENXIO && ::fstat(fd, &st) == 0)
                    gapEnd = st.st_size;  // a hole up to the end
                if (gapEnd < pos) {
                    dataEnd = -1;
                    continue;
                }
                state = p_->content.feed(
                    state, kZeros, static_cast<size_t>(std::min<off_t>(gapEnd - pos, 256)), match);
                if (next < 0)
                    break;
                pos = next;
                dataEnd = ::lseek(fd, pos, SEEK_HOLE);
                continue;
            }
            size_t want = buffer_.size();
            if (dataEnd >= 0)
                want =
                    static_cast<size_t>(std::min<off_t>(static_cast<off_t>(want), dataEnd - pos));
            ssize_t n = ::pread(fd, buffer_.data(), want, pos);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            state = p_->content.feed(state, buffer_.data(), static_cast<size_t>(n), match);
            pos += n;
        }
        for (uint32_t threat : seen)
            found(threat);
    }

    void checkText(const std::string& text, const std::string& path, const struct stat& st,
                   bool hostsFile, bool cookieJar, bool autostart) {
        auto lineItem = [&](uint32_t threat, uint32_t scanner, std::string_view line) {
            Item it;
            it.threat = threat;
            it.scanner = scanner;
            it.kind = ItemKind::Line;
            it.path = path;
            it.extra.assign(line);
            it.dev = st.st_dev;
            it.ino = st.st_ino;
            add(std::move(it));
        };
        for (std::string_view line : splitLines(text)) {
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (hostsFile) {
                // "address name [name...]"; a comment starts with '#'.
                std::string_view body = line.substr(0, line.find('#'));
                std::vector<std::string> words;
                size_t at = 0;
                while ((at = body.find_first_not_of(" \t", at)) != std::string_view::npos) {
                    size_t end = body.find_first_of(" \t", at);
                    words.push_back(lower(body.substr(at, end - at)));
                    at = end;
                }
                for (size_t w = 1; w < words.size(); ++w) {
                    auto [lo, hi] = p_->hosts.equal_range(words[w]);
                    for (auto it = lo; it != hi; ++it)
                        lineItem(it->second, TK_SCANNER_HOSTS, line);
                }
            }
            if (cookieJar && !line.empty() && (line[0] != '#' || line.starts_with("#HttpOnly_"))) {
                // Netscape cookie file: the domain is the first tab-separated field.
                std::string domain = lower(line.substr(0, line.find('\t')));
                if (domain.starts_with("#httponly_"))
                    domain.erase(0, 10);
                while (!domain.empty() && domain.front() == '.')
                    domain.erase(0, 1);
                for (const auto& [d, threat] : p_->cookies)
                    if (domain == d || (domain.size() > d.size() && domain.ends_with(d) &&
                                        domain[domain.size() - d.size() - 1] == '.'))
                        lineItem(threat, TK_SCANNER_COOKIE, line);
            }
        }
        if (autostart) {
            for (std::string_view line : splitLines(text)) {
                if (!line.starts_with("Exec="))
                    continue;
                for (const auto& [needle, threat] : p_->autostart) {
                    if (line.find(needle) == std::string_view::npos)
                        continue;
                    Item it;
                    it.threat = threat;
                    it.scanner = TK_SCANNER_AUTOSTART;
                    it.path = path;
                    it.dev = st.st_dev;
                    it.ino = st.st_ino;
                    add(std::move(it));
                }
            }
        }
    }

    // Black-listed locations are reported as their threat wherever they still exist.
    void checkBlacklist() {
        for (const auto& b : black_) {
            if (!b.enabled || b.location.empty() || stopped() || p_->threats.count(b.threat) == 0)
                continue;
            std::string leaf;
            int parent = openParent(b.location, false, &leaf);
            if (parent < 0)
                continue;
            struct stat st {};
            if (::fstatat(parent, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
                Item it;
                it.threat = b.threat;
                it.scanner = S_ISDIR(st.st_mode) ? TK_SCANNER_DIRECTORY : TK_SCANNER_FILE;
                it.kind = S_ISDIR(st.st_mode) ? ItemKind::Directory : ItemKind::File;
                it.path = b.location;
                it.dev = st.st_dev;
                it.ino = st.st_ino;
                add(std::move(it));
            }
            ::close(parent);
        }
    }

    Engine& e_;
    std::shared_ptr<const LoadedPattern> p_;
    uint32_t onlyThreat_;
    bool enabled_[TK_SCANNER_COUNT + 1] = {};
    std::vector<ListEntry> white_, black_;
    std::vector<int> walked_;
    std::vector<Item> items_;
    std::vector<unsigned char> buffer_;
    bool counting_ = false;
    uint64_t visited_ = 0, total_ = 1;
    int32_t lastPercent_ = -1;
};

std::vector<std::string> configuredRoots(Engine& e) {
    std::string text = option(e, TK_CFG_SCANROOTS);
    if (text.empty()) {
        const char* env = std::getenv("TARSK_SCAN_ROOTS");
        if (env != nullptr && *env != '\0') {
            text = env;
            std::replace(text.begin(), text.end(), ':', '\n');
        }
    }
    std::vector<std::string> roots;
    for (std::string_view line : splitLines(text))
        if (line == "/" || isCleanAbsolutePath(line))
            roots.emplace_back(line);
    return roots;
}

int32_t runScan(Engine& e, const std::string& target, uint32_t onlyThreat) {
    std::shared_ptr<const LoadedPattern> p;
    {
        std::lock_guard lock(e.mutex);
        p = e.pattern;
    }
    if (p == nullptr)
        return setError(&e, TK_E_NO_PATTERN, "no spyware pattern loaded");
    std::vector<std::string> roots;
    if (!target.empty()) {
        std::string t = target.size() > 1 && target.back() == '/'
                            ? target.substr(0, target.size() - 1)
                            : target;
        if (t != "/" && !isCleanAbsolutePath(t))
            return setError(&e, TK_E_BAD_ARGUMENT, "the target is not a clean absolute path");
        roots.push_back(t);
    } else {
        roots = configuredRoots(e);
        if (roots.empty())
            return setError(&e, TK_E_BAD_ARGUMENT,
                            "no scan roots configured (TK_CFG_SCANROOTS or TARSK_SCAN_ROOTS)");
    }
    bool quick = option(e, TK_CFG_ENGINEMODE) == "2";
    e.stop = false;
    e.status = (e.status & TK_STATUS_PATTERN_LOADED) | TK_STATUS_SCANNING;
    {
        std::lock_guard lock(e.mutex);
        e.items.clear();
    }
    Scan scan(e, p, onlyThreat);
    scan.run(roots, quick);
    {
        std::lock_guard lock(e.mutex);
        e.items = std::move(scan.items());
    }
    e.status &= ~static_cast<uint32_t>(TK_STATUS_SCANNING);
    return TK_OK;
}

// --- Backup, clean, restore -------------------------------------------------------------------

std::string backupDir(Engine& e) {
    std::string dir = option(e, TK_CFG_BACKUPDIR);
    if (dir.empty()) {
        std::string config = option(e, TK_CFG_CONFIGDIR);
        if (!config.empty())
            dir = config + "/BackupAS";
    }
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

// Opens the backup directory, making it (0700) at first use; refuses anything but a real
// directory of ours.
int openBackupDir(Engine& e, std::string* why) {
    std::string dir = backupDir(e);
    if (!isCleanAbsolutePath(dir)) {
        *why = "no usable backup directory configured (TK_CFG_BACKUPDIR)";
        return -1;
    }
    std::string leaf;
    int parent = openParent(dir, false, &leaf);
    if (parent < 0) {
        *why = "the backup directory's parent cannot be opened: " + dir;
        return -1;
    }
    if (::mkdirat(parent, leaf.c_str(), 0700) != 0 && errno != EEXIST) {
        *why = "cannot make the backup directory " + dir + ": " + std::strerror(errno);
        ::close(parent);
        return -1;
    }
    int fd = ::openat(parent, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(parent);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_uid != ::geteuid()) {
        closeFd(fd);
        *why = "the backup directory is not a directory of this account: " + dir;
        return -1;
    }
    return fd;
}

bool isSafeSetName(std::string_view name) {
    if (name.empty() || name.size() > 200 || name.front() == '.')
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_' || c == '.';
    });
}

// The names in the directory open on `fd` but "." and "..", in name order.
bool entryNames(int fd, std::vector<std::string>* names) {
    int dupFd = ::dup(fd);
    DIR* d = dupFd >= 0 ? ::fdopendir(dupFd) : nullptr;
    if (d == nullptr) {
        closeFd(dupFd);
        return false;
    }
    while (dirent* ent = ::readdir(d))
        if (std::strcmp(ent->d_name, ".") != 0 && std::strcmp(ent->d_name, "..") != 0)
            names->emplace_back(ent->d_name);
    ::closedir(d);
    std::sort(names->begin(), names->end());
    return true;
}

// Backs up one directory tree: every directory and regular file, nothing else.
bool backupTree(int fd, const std::string& path, size_t depth, BackupWriter& w, Item& it,
                size_t* entries) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || depth > 32)
        return false;
    BackupRecord dir{kBackupDirectory, it.threat, it.scanner, st.st_mode & 07777u, path, "", 0, 0};
    if (!w.add(dir, std::string_view()))
        return false;
    it.backedUp.insert(identityOf(st));
    std::vector<std::string> names;
    if (!entryNames(fd, &names))
        return false;
    for (const auto& name : names) {
        if (++*entries > kMaxDirEntries)
            return false;
        int child = ::openat(fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat cs {};
        if (child < 0 || ::fstat(child, &cs) != 0) {
            closeFd(child);
            return false;
        }
        bool ok = false;
        if (S_ISDIR(cs.st_mode)) {
            ok = backupTree(child, path + "/" + name, depth + 1, w, it, entries);
        } else if (S_ISREG(cs.st_mode)) {
            BackupRecord r{kBackupFile,       it.threat, it.scanner, cs.st_mode & 07777u,
                           path + "/" + name, "",        0,          0};
            ok = w.add(r, child, static_cast<uint64_t>(cs.st_size));
            if (ok)
                it.backedUp.insert(identityOf(cs));
        }
        ::close(child);
        if (!ok)
            return false;  // a link, FIFO or device inside, or a file that changed
    }
    return true;
}

bool backupItem(Item& it, BackupWriter& w) {
    it.backedUp.clear();
    switch (it.kind) {
        case ItemKind::File:
        case ItemKind::Directory: {
            std::string leaf;
            int parent = openParent(it.path, false, &leaf);
            if (parent < 0)
                return false;
            int fd = ::openat(parent, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            ::close(parent);
            struct stat st {};
            bool ok =
                fd >= 0 && ::fstat(fd, &st) == 0 && st.st_dev == it.dev && st.st_ino == it.ino;
            if (ok && it.kind == ItemKind::File) {
                BackupRecord r{kBackupFile, it.threat, it.scanner, st.st_mode & 07777u,
                               it.path,     "",        0,          0};
                ok = S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= kMaxBackupFile &&
                     w.add(r, fd, static_cast<uint64_t>(st.st_size));
                if (ok)
                    it.backedUp.insert(identityOf(st));
                ok = ok && hashFd(fd, &it.contentHash);
            } else if (ok) {
                size_t entries = 0;
                ok = S_ISDIR(st.st_mode) && backupTree(fd, it.path, 0, w, it, &entries);
            }
            closeFd(fd);
            return ok;
        }
        case ItemKind::Line: {
            BackupRecord r{kBackupLine, it.threat, it.scanner, 0, it.path, it.extra, 0, 0};
            return w.add(r, std::string_view());
        }
        case ItemKind::Registry: {
            nvl::sys::RegHive hive;
            std::string key;
            nvl::sys::RegValue value;
            if (!splitKey(it.path, &hive, &key) ||
                nvl::sys::RegistryKey::getValue(hive, key, it.extra, &value) != 0)
                return false;
            BackupRecord r{kBackupRegistry, it.threat, it.scanner, value.type,
                           it.path,         it.extra,  0,          0};
            return w.add(r, value.data);
        }
    }
    return false;
}

int32_t runBackup(Engine& e, const std::string& requestedName) {
    std::vector<Item> items;
    std::shared_ptr<const LoadedPattern> p;
    {
        std::lock_guard lock(e.mutex);
        items = e.items;
        p = e.pattern;
    }
    if (!requestedName.empty() && !isSafeSetName(requestedName))
        return setError(&e, TK_E_BAD_ARGUMENT,
                        "a backup set name is letters, digits, '-', '_', '.'");
    std::string why;
    int dirFd = openBackupDir(e, &why);
    if (dirFd < 0)
        return setError(&e, TK_E_IO, why);
    emit(e, TKE_EVENT_STARTBACKUP, 0, 0, nullptr);
    std::string name = requestedName;
    if (name.empty()) {
        char text[64];
        std::time_t now = std::time(nullptr);
        std::tm tm{};
        ::gmtime_r(&now, &tm);
        static std::atomic<unsigned> serial{0};
        std::snprintf(text, sizeof text, "%04d%02d%02d-%02d%02d%02d-%d-%u.tbk", tm.tm_year + 1900,
                      tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                      static_cast<int>(::getpid()), serial++);
        name = text;
    }
    std::string tmp = "." + name + ".tmp";
    ::unlinkat(dirFd, tmp.c_str(), 0);
    int fd = ::openat(dirFd, tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        ::close(dirFd);
        emit(e, TKE_EVENT_FINISHEDBACKUP, 0, 0, nullptr);
        return setError(&e, TK_E_IO,
                        "cannot create the backup set: " + std::string(std::strerror(errno)));
    }
    BackupWriter w(fd);
    bool ok = w.begin(option(e, TK_CFG_BACKUPDESC));
    std::vector<uint32_t> done;
    size_t failed = 0;
    for (auto& it : items) {
        if (!it.selected || it.state == TK_ITEM_CLEANED)
            continue;
        if (ok && !e.stop && backupItem(it, w)) {
            done.push_back(it.id);
            nvl::sys::testStopPoint("backup-item");
        } else {
            ++failed;
            it.state = TK_ITEM_FAILED;
        }
    }
    ok = ok && w.finish() && ::fsync(fd) == 0;
    ::close(fd);
    if (ok) {
        struct stat st {};
        // Never over another set: the name must be free.
        ok = ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT &&
             ::renameat(dirFd, tmp.c_str(), dirFd, name.c_str()) == 0 && ::fsync(dirFd) == 0;
    }
    if (!ok)
        ::unlinkat(dirFd, tmp.c_str(), 0);
    ::close(dirFd);
    std::string setPath = backupDir(e) + "/" + name;
    {
        std::lock_guard lock(e.mutex);
        for (auto& mine : e.items) {
            auto src = std::find_if(items.begin(), items.end(),
                                    [&](const Item& x) { return x.id == mine.id; });
            if (src == items.end() || !mine.selected || mine.state == TK_ITEM_CLEANED)
                continue;
            bool backed = ok && std::count(done.begin(), done.end(), mine.id) != 0;
            mine.state = backed ? TK_ITEM_BACKED_UP : TK_ITEM_FAILED;
            mine.backedUp = src->backedUp;
            mine.contentHash = src->contentHash;
        }
        if (ok)
            e.lastBackupSet = setPath;
    }
    nvl::sys::testStopPoint("backup-done");
    emit(e, TKE_EVENT_FINISHEDBACKUP, 0, 0, nullptr);
    if (!ok)
        return setError(&e, TK_E_IO, "the backup set could not be written durably");
    if (failed > 0)
        return setError(&e, TK_E_PARTIAL,
                        std::to_string(failed) + " item(s) could not be backed up");
    return TK_OK;
}

// Removes the tree of a found directory: only the objects its backup holds.
bool removeTree(int fd, const Item& it) {
    std::vector<std::string> names;
    if (!entryNames(fd, &names))
        return false;
    bool ok = true;
    for (const auto& name : names) {
        struct stat st {};
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            it.backedUp.count(identityOf(st)) == 0) {
            ok = false;  // not in the backup: stays
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            int child = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            ok = child >= 0 && removeTree(child, it) && ok;
            closeFd(child);
            ok = ::unlinkat(fd, name.c_str(), AT_REMOVEDIR) == 0 && ok;
        } else {
            ok = ::unlinkat(fd, name.c_str(), 0) == 0 && ok;
        }
    }
    return ok;
}

bool cleanObject(const Item& it) {
    std::string leaf;
    int parent = openParent(it.path, false, &leaf);
    if (parent < 0)
        return false;
    struct stat st {};
    bool ok = ::fstatat(parent, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
              it.backedUp.count(identityOf(st)) != 0;
    if (ok && it.kind == ItemKind::File) {
        int fd = ::openat(parent, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat now {};
        uint64_t hash = 0;
        ok = fd >= 0 && ::fstat(fd, &now) == 0 && S_ISREG(now.st_mode) &&
             identityOf(now) == identityOf(st) && hashFd(fd, &hash) && hash == it.contentHash &&
             ::unlinkat(parent, leaf.c_str(), 0) == 0;
        closeFd(fd);
    } else if (ok) {
        int fd = ::openat(parent, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ok = fd >= 0 && removeTree(fd, it);
        closeFd(fd);
        ok = ok && ::unlinkat(parent, leaf.c_str(), AT_REMOVEDIR) == 0;
    }
    ::close(parent);
    return ok;
}

// Removes the found lines of one file in one rewrite (a rename would change the inode that
// the file's other items check).
bool cleanLines(const std::string& path, dev_t dev, ino_t ino, const std::set<std::string>& lines) {
    std::string leaf;
    int parent = openParent(path, false, &leaf);
    if (parent < 0)
        return false;
    int fd = ::openat(parent, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    std::string text;
    bool ok = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == dev &&
              st.st_ino == ino && readAllFd(fd, &text, kMaxTextFile);
    closeFd(fd);
    if (ok) {
        std::string kept;
        for (std::string_view line : splitLines(text)) {
            std::string_view bare = line;
            if (!bare.empty() && bare.back() == '\r')
                bare.remove_suffix(1);
            if (lines.count(std::string(bare)) == 0) {
                kept.append(line);
                kept.push_back('\n');
            }
        }
        ok = replaceAt(parent, leaf, kept, st.st_mode);
    }
    ::close(parent);
    return ok;
}

bool cleanRegistry(const Item& it) {
    nvl::sys::RegHive hive;
    std::string key;
    nvl::sys::RegistryKey k;
    return splitKey(it.path, &hive, &key) && nvl::sys::RegistryKey::open(hive, key, &k) == 0 &&
           k.deleteValue(it.extra) == 0;
}

int32_t runClean(Engine& e) {
    std::vector<Item> items;
    std::shared_ptr<const LoadedPattern> p;
    {
        std::lock_guard lock(e.mutex);
        items = e.items;
        p = e.pattern;
    }
    e.status |= TK_STATUS_CLEANING;
    emit(e, TKE_EVENT_STARTCLEAN, 0, 0, nullptr);
    size_t todo = static_cast<size_t>(
        std::count_if(items.begin(), items.end(), [](const Item& x) { return x.selected; }));
    size_t done = 0, failed = 0;
    std::set<uint32_t> handled;
    for (auto& it : items) {
        if (!it.selected || it.state == TK_ITEM_CLEANED || handled.count(it.id) != 0)
            continue;
        if (it.state != TK_ITEM_BACKED_UP || e.stop) {
            ++failed;  // never clean what is not safely backed up
            continue;
        }
        std::vector<Item*> group{&it};
        bool ok;
        if (it.kind == ItemKind::Line) {
            std::set<std::string> lines;
            for (auto& other : items)
                if (other.kind == ItemKind::Line && other.selected &&
                    other.state == TK_ITEM_BACKED_UP && other.path == it.path &&
                    handled.count(other.id) == 0) {
                    lines.insert(other.extra);
                    if (&other != &it)
                        group.push_back(&other);
                }
            ok = cleanLines(it.path, it.dev, it.ino, lines);
        } else if (it.kind == ItemKind::Registry) {
            ok = cleanRegistry(it);
        } else {
            ok = cleanObject(it);
        }
        nvl::sys::testStopPoint("clean-item");
        for (Item* g : group) {
            handled.insert(g->id);
            g->state = ok ? TK_ITEM_CLEANED : TK_ITEM_FAILED;
            ++done;
            if (ok)
                emitItem(e, TKE_EVENT_CLEANEDITEM, *g, p.get());
            else
                ++failed;
            emit(e, TKE_EVENT_CLEANPROGRESS, static_cast<int32_t>(g->scanner),
                 static_cast<int32_t>(done * 100 / std::max<size_t>(todo, 1)), nullptr);
        }
    }
    {
        std::lock_guard lock(e.mutex);
        for (auto& mine : e.items)
            for (const auto& x : items)
                if (x.id == mine.id)
                    mine.state = x.state;
    }
    emit(e, TKE_EVENT_FINISHEDCLEAN, 0, 0, nullptr);
    e.status &= ~static_cast<uint32_t>(TK_STATUS_CLEANING);
    if (failed > 0)
        return setError(&e, TK_E_PARTIAL,
                        std::to_string(failed) +
                            " item(s) were not cleaned (not backed up, "
                            "changed or gone)");
    return TK_OK;
}

int openBackupSet(Engine& e, const std::string& set, std::string* why) {
    std::string path = set;
    if (set.find('/') == std::string::npos) {
        if (!isSafeSetName(set)) {
            *why = "not a backup set name: " + set;
            return -1;
        }
        path = backupDir(e) + "/" + set;
    }
    std::string leaf;
    int parent = openParent(path, false, &leaf);
    if (parent < 0) {
        *why = "no such backup set: " + path;
        return -1;
    }
    int fd = ::openat(parent, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    ::close(parent);
    if (fd < 0)
        *why = "no such backup set: " + path;
    return fd;
}

bool copyRange(int from, uint64_t offset, uint64_t size, int to) {
    std::vector<char> buf(std::min<uint64_t>(size, kReadBuffer) + 1);
    while (size > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(size, kReadBuffer));
        ssize_t n = ::pread(from, buf.data(), want, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || !writeAllFd(to, std::string_view(buf.data(), static_cast<size_t>(n))))
            return false;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<uint64_t>(n);
    }
    return true;
}

bool restoreRecord(int setFd, const BackupRecord& r) {
    if (r.kind == kBackupRegistry) {
        nvl::sys::RegHive hive;
        std::string key;
        nvl::sys::RegistryKey k;
        nvl::sys::RegValue value, existing;
        value.type = r.mode;
        value.data.resize(static_cast<size_t>(r.dataSize));
        if (!splitKey(r.path, &hive, &key) ||
            ::pread(setFd, value.data.data(), value.data.size(),
                    static_cast<off_t>(r.dataOffset)) != static_cast<ssize_t>(value.data.size()))
            return false;
        if (nvl::sys::RegistryKey::create(hive, key, &k) != 0)
            return false;
        if (k.queryValue(r.extra, &existing) == 0)
            return existing.type == value.type && existing.data == value.data;
        return k.setValue(r.extra, value) == 0;
    }
    std::string leaf;
    int parent = openParent(r.path, true, &leaf);
    if (parent < 0)
        return false;
    bool ok = false;
    if (r.kind == kBackupDirectory) {
        ok = ::mkdirat(parent, leaf.c_str(), r.mode & 0777) == 0;
        struct stat st {};
        if (!ok && errno == EEXIST)
            ok = ::fstatat(parent, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                 S_ISDIR(st.st_mode);
    } else if (r.kind == kBackupFile) {
        int fd = ::openat(parent, leaf.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ok = copyRange(setFd, r.dataOffset, r.dataSize, fd) &&
                 ::fchmod(fd, r.mode & 0777) == 0 && ::fsync(fd) == 0;
            ::close(fd);
            if (!ok)
                ::unlinkat(parent, leaf.c_str(), 0);
        }
    } else if (r.kind == kBackupLine) {
        int fd = ::openat(parent, leaf.c_str(),
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        struct stat st {};
        std::string text;
        if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            readAllFd(fd, &text, kMaxTextFile)) {
            std::vector<std::string_view> lines = splitLines(text);
            if (std::find(lines.begin(), lines.end(), r.extra) != lines.end()) {
                ok = true;
            } else {
                std::string add =
                    (text.empty() || text.back() == '\n' ? "" : "\n") + r.extra + "\n";
                ok = writeAllFd(fd, add) && ::fsync(fd) == 0;
            }
        }
        closeFd(fd);
    }
    ::close(parent);
    return ok;
}

int32_t runRestore(Engine& e, const std::string& set) {
    std::string why;
    int fd = openBackupSet(e, set, &why);
    if (fd < 0)
        return setError(&e, TK_E_NOT_FOUND, why);
    BackupSet contents;
    if (!readBackupSet(fd, &contents, &why)) {
        ::close(fd);
        return setError(&e, TK_E_BAD_BACKUP, "bad backup set: " + why);
    }
    emit(e, TKE_EVENT_STARTRESTORE, 0, 0, nullptr);
    size_t failed = 0;
    uint32_t n = 0;
    for (const auto& r : contents.records) {
        ++n;
        if (!restoreRecord(fd, r)) {
            ++failed;
            continue;
        }
        Item it;
        it.id = n;
        it.threat = r.threat;
        it.scanner = r.scanner;
        it.path = r.path;
        it.kind = r.kind == kBackupLine       ? ItemKind::Line
                  : r.kind == kBackupRegistry ? ItemKind::Registry
                                              : ItemKind::File;
        it.extra = r.extra;
        it.state = TK_ITEM_FOUND;
        std::shared_ptr<const LoadedPattern> p;
        {
            std::lock_guard lock(e.mutex);
            p = e.pattern;
        }
        emitItem(e, TKE_EVENT_RESTOREDITEM, it, p.get());
    }
    ::close(fd);
    emit(e, TKE_EVENT_FINISHEDRESTORE, 0, 0, nullptr);
    if (failed > 0)
        return setError(&e, TK_E_PARTIAL,
                        std::to_string(failed) +
                            " record(s) not restored (the place is taken, unsafe or unwritable)");
    return TK_OK;
}

// --- Lists -------------------------------------------------------------------------------------

ListState& listOf(Engine& e, bool white) {
    return white ? e.white : e.black;
}

int32_t loadList(Engine& e, bool white) {
    std::string dir = option(e, TK_CFG_CONFIGDIR);
    if (dir.empty())
        return setError(&e, TK_E_BAD_ARGUMENT, "no configuration directory (TK_CFG_CONFIGDIR)");
    std::string path = dir + "/" + (white ? kWhitelistFile : kBlacklistFile);
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    std::vector<ListEntry> entries;
    if (fd < 0 && errno != ENOENT)
        return setError(&e, TK_E_IO, "cannot open " + path);
    if (fd >= 0) {
        struct stat st {};
        std::string bytes, why;
        bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && readAllFd(fd, &bytes, 64u << 20);
        ::close(fd);
        if (!ok)
            return setError(&e, TK_E_IO, "cannot read " + path);
        if (!readList(bytes, &entries, &why))
            return setError(&e, TK_E_BAD_LIST, path + ": " + why);
    }
    std::lock_guard lock(e.mutex);
    listOf(e, white).entries = std::move(entries);
    listOf(e, white).cursor = 0;
    return TK_OK;
}

int32_t saveList(Engine& e, bool white) {
    std::string dir = option(e, TK_CFG_CONFIGDIR);
    if (dir.empty() || !isCleanAbsolutePath(dir))
        return setError(&e, TK_E_BAD_ARGUMENT, "no configuration directory (TK_CFG_CONFIGDIR)");
    std::string bytes;
    {
        std::lock_guard lock(e.mutex);
        bytes = writeList(listOf(e, white).entries);
    }
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    bool ok = fd >= 0 && replaceAt(fd, white ? kWhitelistFile : kBlacklistFile, bytes, 0644);
    closeFd(fd);
    return ok ? TK_OK : setError(&e, TK_E_IO, "cannot save the list in " + dir);
}

int32_t listItem(Engine& e, bool white, bool first, TkListItem* out) {
    if (out == nullptr)
        return setError(&e, TK_E_BAD_ARGUMENT, "null item");
    std::lock_guard lock(e.mutex);
    ListState& l = listOf(e, white);
    if (first)
        l.cursor = 0;
    if (l.cursor >= l.entries.size())
        return TK_E_NOT_FOUND;
    const ListEntry& entry = l.entries[l.cursor++];
    std::memset(out, 0, sizeof *out);
    out->threatId = entry.threat;
    out->enabled = entry.enabled ? 1 : 0;
    copyOut(bytesToWide(entry.location), out->location, TK_PATH_CHARS);
    return TK_OK;
}

int32_t addListItem(Engine& e, bool white, const TkListItem* in) {
    if (in == nullptr || in->threatId == 0)
        return setError(&e, TK_E_BAD_ARGUMENT, "a list item names a threat");
    std::u16string_view loc(
        in->location, std::find(in->location, in->location + TK_PATH_CHARS, 0) - in->location);
    ListEntry entry;
    entry.threat = in->threatId;
    entry.enabled = in->enabled != 0;
    if (!wideToBytes(loc, &entry.location) ||
        (!entry.location.empty() && !isCleanAbsolutePath(entry.location)) ||
        (!white && entry.location.empty()))
        return setError(&e, TK_E_BAD_ARGUMENT, "a list location is a clean absolute path");
    std::lock_guard lock(e.mutex);
    auto& entries = listOf(e, white).entries;
    for (auto& x : entries)
        if (x.threat == entry.threat && x.location == entry.location) {
            x.enabled = entry.enabled;
            return TK_OK;
        }
    if (entries.size() >= 100000)
        return TK_E_NO_RESOURCES;
    entries.push_back(std::move(entry));
    return TK_OK;
}

int32_t checkList(Engine& e, bool white, uint32_t threat, const char16_t* location,
                  int32_t* listed) {
    if (listed == nullptr)
        return setError(&e, TK_E_BAD_ARGUMENT, "null result");
    std::string loc = narrow(location);
    std::lock_guard lock(e.mutex);
    const auto& entries = listOf(e, white).entries;
    *listed = std::any_of(entries.begin(), entries.end(), [&](const ListEntry& x) {
        return x.enabled && x.threat == threat && (x.location.empty() || x.location == loc);
    });
    return TK_OK;
}

// Runs `f` on a live engine, or reports the bad handle.
template <class F>
int32_t withEngine(TkHandle h, F&& f) {
    auto e = find(h);
    if (e == nullptr)
        return badHandle(h);
    return f(*e);
}

template <class F>
int32_t longOperation(TkHandle h, F&& f) {
    return withEngine(h, [&](Engine& e) {
        BusyGuard busy(e);
        if (!busy.ok())
            return setError(&e, TK_E_BUSY, "another operation runs on this handle");
        return f(e);
    });
}

int32_t readPatternDir(Engine& e, const std::string& dir) {
    std::string path = (dir.empty() ? option(e, TK_CFG_CONFIGDIR) : dir) + "/" + kPatternFile;
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    auto unload = [&](int32_t code, std::string text) {
        {
            std::lock_guard lock(e.mutex);
            e.pattern = nullptr;
        }
        e.status &= ~static_cast<uint32_t>(TK_STATUS_PATTERN_LOADED);
        return setError(&e, code, std::move(text));
    };
    if (fd < 0)
        return unload(errno == ENOENT ? TK_E_NOT_FOUND : TK_E_IO, "cannot open " + path);
    struct stat st {};
    std::string bytes, why;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<uint64_t>(st.st_size) <= kMaxPatternBytes &&
              readAllFd(fd, &bytes, kMaxPatternBytes);
    ::close(fd);
    if (!ok)
        return unload(TK_E_BAD_PATTERN, path + ": not a regular file of at most 64 MiB");
    Pattern p;
    if (!readPattern(bytes, &p, &why))
        return unload(TK_E_BAD_PATTERN, path + ": " + why);
    std::shared_ptr<const LoadedPattern> loaded;
    try {
        loaded = std::make_shared<const LoadedPattern>(std::move(p));
    } catch (const std::bad_alloc&) {
        return unload(TK_E_NO_RESOURCES, "out of memory building the pattern");
    }
    {
        std::lock_guard lock(e.mutex);
        e.pattern = std::move(loaded);
    }
    e.status |= TK_STATUS_PATTERN_LOADED;
    return TK_OK;
}

int32_t notSupported(const char* name) {
    return setError(nullptr, TK_E_NOT_SUPPORTED,
                    std::string(name) + " is not supported by this engine");
}

std::shared_ptr<TableEnum> findEnum(TkHandle h) {
    std::lock_guard lock(gMutex);
    auto it = gEnums.find(h);
    return it != gEnums.end() ? it->second : nullptr;
}

std::vector<uint32_t> rowIds(const LoadedPattern& p, int32_t table) {
    std::vector<uint32_t> ids;
    if (table == TK_TABLE_COMPANY)
        for (const auto& c : p.pattern.companies)
            ids.push_back(c.id);
    else if (table == TK_TABLE_THREAT)
        for (const auto& t : p.pattern.threats)
            ids.push_back(t.id);
    else if (table == TK_TABLE_LOCATION)
        for (const auto& l : p.pattern.locations)
            ids.push_back(l.id);
    return ids;
}

int32_t nextRow(TkHandle h, bool first, uint32_t* row) {
    auto en = findEnum(h);
    if (en == nullptr)
        return badHandle(h);
    if (row == nullptr)
        return setError(nullptr, TK_E_BAD_ARGUMENT, "null row");
    std::vector<uint32_t> ids = rowIds(*en->pattern, en->table);
    std::lock_guard lock(gMutex);
    if (first)
        en->cursor = 0;
    if (en->cursor >= ids.size())
        return TK_E_NOT_FOUND;
    *row = ids[en->cursor++];
    return TK_OK;
}

// The number of items found by `scannerId` (all scanners when negative), of the selected ones
// only when `selectedOnly`.
int32_t countItems(TkHandle handle, int32_t scannerId, bool selectedOnly, int32_t* count) {
    return withEngine(handle, [&](Engine& e) {
        if (count == nullptr)
            return setError(&e, TK_E_BAD_ARGUMENT, "null result");
        std::lock_guard lock(e.mutex);
        *count =
            static_cast<int32_t>(std::count_if(e.items.begin(), e.items.end(), [&](const Item& x) {
                return (!selectedOnly || x.selected) &&
                       (scannerId < 0 || x.scanner == static_cast<uint32_t>(scannerId));
            }));
        return TK_OK;
    });
}

}  // namespace
}  // namespace tarsk32

using namespace tarsk32;

extern "C" {

int32_t TkInit(const char16_t* callerId, int32_t interfaceVersion, TkHandle* handle) {
    if (callerId == nullptr || handle == nullptr || interfaceVersion != TK_INTERFACE_VERSION)
        return setError(nullptr, TK_E_BAD_ARGUMENT, "TkInit takes a caller id, 12 and a handle");
    std::u16string_view id(callerId);
    if (id.size() != 38 || id.front() != u'{' || id.back() != u'}')
        return setError(nullptr, TK_E_BAD_ARGUMENT, "the caller id is a GUID in braces");
    auto e = std::make_shared<Engine>();
    std::lock_guard lock(gMutex);
    if (gEngines.size() + gEnums.size() >= kMaxHandles)
        return TK_E_NO_RESOURCES;
    e->handle = newId();
    gEngines.emplace(e->handle, e);
    *handle = e->handle;
    return TK_OK;
}

int32_t TkQuit(TkHandle handle) {
    std::shared_ptr<Engine> e;
    {
        std::lock_guard lock(gMutex);
        auto it = gEngines.find(handle);
        if (it == gEngines.end())
            return badHandle(handle);
        e = it->second;
        gEngines.erase(it);
    }
    e->stop = true;  // a running operation on another thread ends at its next check
    return TK_OK;
}

int32_t TkReadSpywarePattern(TkHandle handle, uint32_t, const char16_t* directory, uint32_t) {
    return withEngine(handle, [&](Engine& e) {
        if (e.busy)
            return setError(&e, TK_E_BUSY, "an operation runs on this handle");
        std::string dir = narrow(directory);
        while (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        return readPatternDir(e, dir);
    });
}

int32_t TkGetPatternProperty(TkHandle handle, int32_t property, char16_t* text, uint32_t size) {
    return withEngine(handle, [&](Engine& e) {
        std::shared_ptr<const LoadedPattern> p;
        {
            std::lock_guard lock(e.mutex);
            p = e.pattern;
        }
        if (p == nullptr)
            return setError(&e, TK_E_NO_PATTERN, "no spyware pattern loaded");
        switch (property) {
            case TKPP_VERSION:
                return copyOut(widen(p->pattern.version), text, size);
            case TKPP_DATE:
                return copyOut(widen(formatDate(p->pattern.date)), text, size);
            case TKPP_SIGCOUNT:
                return copyOut(widen(std::to_string(p->pattern.signatures.size())), text, size);
            default:
                return setError(&e, TK_E_BAD_ARGUMENT, "unknown pattern property");
        }
    });
}

int32_t TkIsSpywarePatternLoaded(TkHandle handle, int32_t* loaded) {
    return withEngine(handle, [&](Engine& e) {
        if (loaded == nullptr)
            return setError(&e, TK_E_BAD_ARGUMENT, "null result");
        *loaded = (e.status & TK_STATUS_PATTERN_LOADED) != 0;
        return TK_OK;
    });
}

int32_t TkScan(TkHandle handle, const char16_t* target) {
    return longOperation(handle, [&](Engine& e) {
        std::string t;
        if (target != nullptr && *target != 0 && !wideToBytes(target, &t))
            return setError(&e, TK_E_BAD_ARGUMENT, "the target is not a valid name");
        return runScan(e, t, 0);
    });
}

int32_t TkScanDir(TkHandle handle, const char16_t* directory) {
    if (directory == nullptr || *directory == 0)
        return setError(find(handle).get(), TK_E_BAD_ARGUMENT, "TkScanDir takes a directory");
    return TkScan(handle, directory);
}

int32_t TkScanFile(TkHandle handle, const char16_t* path) {
    if (path == nullptr || *path == 0)
        return setError(find(handle).get(), TK_E_BAD_ARGUMENT, "TkScanFile takes a file");
    return TkScan(handle, path);
}

int32_t TkCleanFile(TkHandle, const char16_t*) {
    return notSupported("TkCleanFile");
}
int32_t TkScanDomain(TkHandle, const char16_t*) {
    return notSupported("TkScanDomain");
}
int32_t TkScanRelatedReferences(TkHandle, uint32_t) {
    return notSupported("TkScanRelatedReferences");
}

int32_t TkStopScan(TkHandle handle) {
    return withEngine(handle, [&](Engine& e) {
        e.stop = true;
        e.status |= TK_STATUS_STOP_REQUESTED;
        return TK_OK;
    });
}

int32_t TkGetOption(TkHandle handle, int32_t opt, char16_t* text, uint32_t size) {
    if (handle == 0) {
        std::lock_guard lock(gMutex);
        auto it = gOptions.find(opt);
        return copyOut(it != gOptions.end() ? bytesToWide(it->second) : u"", text, size);
    }
    return withEngine(handle, [&](Engine& e) {
        if (opt == TK_CFG_LASTBACKUPSET) {
            std::lock_guard lock(e.mutex);
            return copyOut(bytesToWide(e.lastBackupSet), text, size);
        }
        return copyOut(bytesToWide(option(e, opt)), text, size);
    });
}

int32_t TkSetOption(TkHandle handle, int32_t opt, const char16_t* value) {
    std::string v;
    Engine* target = nullptr;
    std::shared_ptr<Engine> e;
    if (handle != 0) {
        e = find(handle);
        if (e == nullptr)
            return badHandle(handle);
        target = e.get();
    }
    if (value == nullptr || !wideToBytes(value, &v))
        return setError(target, TK_E_BAD_ARGUMENT, "the option value is not a valid text");
    bool ok = false;
    switch (opt) {
        case TK_CFG_CONFIGDIR:
        case TK_CFG_BACKUPDIR:
            while (v.size() > 1 && v.back() == '/')
                v.pop_back();
            ok = isCleanAbsolutePath(v);
            break;
        case TK_CFG_LOGFILEPATH:
        case TK_CFG_BACKUPDESC:
            ok = v.size() <= 255;
            break;
        case TK_CFG_LOGLEVEL:
            ok = v.size() == 1 && v[0] >= '0' && v[0] <= '9';
            break;
        case TK_CFG_ENGINEMODE:
            ok = v == "1" || v == "2";
            break;
        case TK_CFG_SCANROOTS: {
            ok = true;
            for (std::string_view line : splitLines(v))
                ok = ok && (line == "/" || isCleanAbsolutePath(line));
            break;
        }
        case TK_CFG_REBOOTLESS:
            ok = v == "true" || v == "false";
            break;
        default:
            break;
    }
    if (!ok)
        return setError(target, TK_E_BAD_ARGUMENT,
                        "option " + std::to_string(opt) + ": unknown, or a value it does not take");
    if (target == nullptr) {
        std::lock_guard lock(gMutex);
        gOptions[opt] = v;
    } else {
        std::lock_guard lock(target->mutex);
        target->options[opt] = v;
    }
    return TK_OK;
}

int32_t TkSetCallbackFunc(TkHandle handle, TkCallbackFunc callback) {
    return withEngine(handle, [&](Engine& e) {
        std::lock_guard lock(e.mutex);
        e.callback = callback;
        return TK_OK;
    });
}

int32_t TkEnableScanner(TkHandle handle, int32_t id, int32_t enable) {
    return withEngine(handle, [&](Engine& e) {
        std::lock_guard lock(e.mutex);
        if (id == TK_SCANNER_ALL || id == TK_SCANNER_DEFAULTS) {
            for (const auto& m : kModules)
                if (id == TK_SCANNER_ALL || m.byDefault)
                    e.enabled[m.id] = enable != 0;
            return TK_OK;
        }
        if (id < 1 || id > TK_SCANNER_COUNT) {
            e.lastCode = TK_E_BAD_ARGUMENT;
            e.lastText = "no scanner with id " + std::to_string(id);
            return TK_E_BAD_ARGUMENT;
        }
        e.enabled[id] = enable != 0;
        return TK_OK;
    });
}

int32_t TkGetScannerInfo(TkHandle handle, TkScannerInfo* info) {
    return withEngine(handle, [&](Engine& e) {
        if (info == nullptr)
            return setError(&e, TK_E_BAD_ARGUMENT, "null result");
        std::memset(info, 0, sizeof *info);
        std::lock_guard lock(e.mutex);
        info->total = TK_SCANNER_COUNT;
        for (const auto& m : kModules) {
            info->defaults += m.byDefault;
            info->isEnabled[m.id] = e.enabled[m.id];
            info->enabled += e.enabled[m.id];
            info->basicEnabled += e.enabled[m.id] && isBasic(m.id);
        }
        return TK_OK;
    });
}

int32_t TkGetEngineProperty(TkHandle handle, int32_t property, char16_t* text, uint32_t size) {
    return withEngine(handle, [&](Engine& e) {
        if (property != TKEP_UDVERSION)
            return setError(&e, TK_E_BAD_ARGUMENT, "unknown engine property");
        return copyOut(widen(kEngineVersion), text, size);
    });
}

int32_t TkGetItemCount(TkHandle handle, int32_t* count) {
    return TkGetItemCountByScannerId(handle, -1, count);
}

int32_t TkGetItemCountByScannerId(TkHandle handle, int32_t scannerId, int32_t* count) {
    return countItems(handle, scannerId, false, count);
}

int32_t TkGetItem(TkHandle handle, uint32_t itemId, TkItem* item) {
    return withEngine(handle, [&](Engine& e) {
        if (item == nullptr)
            return setError(&e, TK_E_BAD_ARGUMENT, "null item");
        std::lock_guard lock(e.mutex);
        if (itemId == 0 || itemId > e.items.size())
            return TK_E_NOT_FOUND;
        fillItem(e.items[itemId - 1], e.pattern.get(), item);
        return TK_OK;
    });
}

int32_t TkSelectItems(TkHandle handle, int32_t select) {
    return withEngine(handle, [&](Engine& e) {
        std::lock_guard lock(e.mutex);
        for (auto& x : e.items)
            x.selected = select != 0;
        return TK_OK;
    });
}

int32_t TkAddItem(TkHandle, const TkItem*) {
    return notSupported("TkAddItem");
}
int32_t TkUpdateItem(TkHandle, const TkItem*) {
    return notSupported("TkUpdateItem");
}

int32_t TkRemoveItems(TkHandle handle) {
    return withEngine(handle, [&](Engine& e) {
        if (e.busy)
            return setError(&e, TK_E_BUSY, "an operation runs on this handle");
        std::lock_guard lock(e.mutex);
        e.items.clear();
        return TK_OK;
    });
}

int32_t TkGetCountSelectedByScannerId(TkHandle handle, int32_t scannerId, int32_t* count) {
    return countItems(handle, scannerId, true, count);
}

int32_t TkSelectByItem(TkHandle handle, uint32_t itemId, int32_t select) {
    return withEngine(handle, [&](Engine& e) {
        std::lock_guard lock(e.mutex);
        if (itemId == 0 || itemId > e.items.size())
            return TK_E_NOT_FOUND;
        e.items[itemId - 1].selected = select != 0;
        return TK_OK;
    });
}

int32_t TkLoadWhitelist(TkHandle h) {
    return withEngine(h, [](Engine& e) { return loadList(e, true); });
}
int32_t TkLoadBlacklist(TkHandle h) {
    return withEngine(h, [](Engine& e) { return loadList(e, false); });
}
int32_t TkSaveWhitelist(TkHandle h) {
    return withEngine(h, [](Engine& e) { return saveList(e, true); });
}
int32_t TkSaveBlacklist(TkHandle h) {
    return withEngine(h, [](Engine& e) { return saveList(e, false); });
}
int32_t TkGetFirstWhitelistItem(TkHandle h, TkListItem* item) {
    return withEngine(h, [&](Engine& e) { return listItem(e, true, true, item); });
}
int32_t TkGetNextWhitelistItem(TkHandle h, TkListItem* item) {
    return withEngine(h, [&](Engine& e) { return listItem(e, true, false, item); });
}
int32_t TkGetFirstBlacklistItem(TkHandle h, TkListItem* item) {
    return withEngine(h, [&](Engine& e) { return listItem(e, false, true, item); });
}
int32_t TkGetNextBlacklistItem(TkHandle h, TkListItem* item) {
    return withEngine(h, [&](Engine& e) { return listItem(e, false, false, item); });
}
int32_t TkAddWhitelistItem(TkHandle h, const TkListItem* item) {
    return withEngine(h, [&](Engine& e) { return addListItem(e, true, item); });
}
int32_t TkAddBlacklistItem(TkHandle h, const TkListItem* item) {
    return withEngine(h, [&](Engine& e) { return addListItem(e, false, item); });
}
int32_t TkRemoveWhitelistItems(TkHandle h) {
    return withEngine(h, [](Engine& e) {
        std::lock_guard lock(e.mutex);
        e.white = {};
        return TK_OK;
    });
}
int32_t TkRemoveBlacklistItems(TkHandle h) {
    return withEngine(h, [](Engine& e) {
        std::lock_guard lock(e.mutex);
        e.black = {};
        return TK_OK;
    });
}
int32_t TkToggleWhitelistItems(TkHandle h, int32_t enable) {
    return withEngine(h, [&](Engine& e) {
        std::lock_guard lock(e.mutex);
        for (auto& x : e.white.entries)
            x.enabled = enable != 0;
        return TK_OK;
    });
}
int32_t TkToggleBlacklistItems(TkHandle h, int32_t enable) {
    return withEngine(h, [&](Engine& e) {
        std::lock_guard lock(e.mutex);
        for (auto& x : e.black.entries)
            x.enabled = enable != 0;
        return TK_OK;
    });
}
int32_t TkCheckWhitelist(TkHandle h, uint32_t threat, const char16_t* location, int32_t* listed) {
    return withEngine(h, [&](Engine& e) { return checkList(e, true, threat, location, listed); });
}
int32_t TkCheckBlacklist(TkHandle h, uint32_t threat, const char16_t* location, int32_t* listed) {
    return withEngine(h, [&](Engine& e) { return checkList(e, false, threat, location, listed); });
}
int32_t TkGetWhitelistCount(TkHandle h, int32_t* count) {
    return withEngine(h, [&](Engine& e) {
        if (count == nullptr)
            return setError(&e, TK_E_BAD_ARGUMENT, "null result");
        std::lock_guard lock(e.mutex);
        *count = static_cast<int32_t>(e.white.entries.size());
        return TK_OK;
    });
}
int32_t TkGetBlacklistCount(TkHandle h, int32_t* count) {
    return withEngine(h, [&](Engine& e) {
        if (count == nullptr)
            return setError(&e, TK_E_BAD_ARGUMENT, "null result");
        std::lock_guard lock(e.mutex);
        *count = static_cast<int32_t>(e.black.entries.size());
        return TK_OK;
    });
}

int32_t TkClean(TkHandle handle) {
    return longOperation(handle, [](Engine& e) { return runClean(e); });
}

int32_t TkBackup(TkHandle handle, const char16_t* name) {
    return longOperation(handle, [&](Engine& e) {
        std::string n;
        if (name != nullptr && *name != 0 && !wideToBytes(name, &n))
            return setError(&e, TK_E_BAD_ARGUMENT, "not a valid set name");
        return runBackup(e, n);
    });
}

int32_t TkCleanByName(TkHandle handle, const char16_t* threatName) {
    return longOperation(handle, [&](Engine& e) {
        std::string name = lower(narrow(threatName));
        std::shared_ptr<const LoadedPattern> p;
        {
            std::lock_guard lock(e.mutex);
            p = e.pattern;
        }
        if (p == nullptr)
            return setError(&e, TK_E_NO_PATTERN, "no spyware pattern loaded");
        uint32_t threat = 0;
        for (const auto& t : p->pattern.threats)
            if (lower(t.name) == name)
                threat = t.id;
        if (threat == 0)
            return setError(&e, TK_E_NOT_FOUND, "no threat of that name in the pattern");
        int32_t rc = runScan(e, "", threat);
        if (rc != TK_OK || e.stop)
            return rc;
        rc = runBackup(e, "");
        int32_t cleaned = runClean(e);
        return rc != TK_OK ? rc : cleaned;
    });
}

int32_t TkRestore(TkHandle handle, const char16_t* backupSet) {
    return longOperation(handle, [&](Engine& e) {
        std::string set;
        if (backupSet == nullptr || *backupSet == 0 || !wideToBytes(backupSet, &set))
            return setError(&e, TK_E_BAD_ARGUMENT, "TkRestore takes a backup set");
        return runRestore(e, set);
    });
}

int32_t TkGetBackupItems(TkHandle handle, const char16_t* backupSet, TkBackupItem* items,
                         uint32_t room, uint32_t* count) {
    return withEngine(handle, [&](Engine& e) {
        std::string set, why;
        if (count == nullptr || (room > 0 && items == nullptr) || backupSet == nullptr ||
            !wideToBytes(backupSet, &set))
            return setError(&e, TK_E_BAD_ARGUMENT, "TkGetBackupItems takes a set and a count");
        int fd = openBackupSet(e, set, &why);
        if (fd < 0)
            return setError(&e, TK_E_NOT_FOUND, why);
        BackupSet contents;
        bool ok = readBackupSet(fd, &contents, &why);
        ::close(fd);
        if (!ok)
            return setError(&e, TK_E_BAD_BACKUP, "bad backup set: " + why);
        *count = static_cast<uint32_t>(contents.records.size());
        for (uint32_t i = 0; i < room && i < contents.records.size(); ++i) {
            const auto& r = contents.records[i];
            TkBackupItem& out = items[i];
            std::memset(&out, 0, sizeof out);
            out.kind = r.kind;
            out.threatId = r.threat;
            out.scannerId = r.scanner;
            out.mode = r.mode;
            out.bytes = r.dataSize;
            std::string loc = r.kind == kBackupLine       ? r.path + ":" + r.extra
                              : r.kind == kBackupRegistry ? r.path + "\\" + r.extra
                                                          : r.path;
            copyOut(bytesToWide(loc), out.location, TK_PATH_CHARS);
        }
        return room < contents.records.size() ? TK_E_BUFFER_TOO_SMALL : TK_OK;
    });
}

int32_t TkOpenTableSeqEnum(TkHandle handle, int32_t table, TkHandle* enumHandle) {
    return withEngine(handle, [&](Engine& e) {
        if (enumHandle == nullptr || table < TK_TABLE_COMPANY || table > TK_TABLE_LOCATION)
            return setError(&e, TK_E_BAD_ARGUMENT, "unknown table");
        auto en = std::make_shared<TableEnum>();
        {
            std::lock_guard lock(e.mutex);
            en->pattern = e.pattern;
        }
        if (en->pattern == nullptr)
            return setError(&e, TK_E_NO_PATTERN, "no spyware pattern loaded");
        en->table = table;
        std::lock_guard lock(gMutex);
        if (gEngines.size() + gEnums.size() >= kMaxHandles)
            return TK_E_NO_RESOURCES;
        *enumHandle = newId();
        gEnums.emplace(*enumHandle, std::move(en));
        return TK_OK;
    });
}

int32_t TkOpenTableStrEnum(TkHandle, int32_t, const char16_t*, TkHandle*) {
    return notSupported("TkOpenTableStrEnum");
}
int32_t TkOpenTableLongEnum(TkHandle, int32_t, int32_t, TkHandle*) {
    return notSupported("TkOpenTableLongEnum");
}

int32_t TkCloseHandle(TkHandle enumHandle) {
    std::lock_guard lock(gMutex);
    if (gEnums.erase(enumHandle) == 0)
        return TK_E_BAD_HANDLE;
    return TK_OK;
}

int32_t TkGetFirstRow(TkHandle enumHandle, uint32_t* rowId) {
    return nextRow(enumHandle, true, rowId);
}
int32_t TkGetNextRow(TkHandle enumHandle, uint32_t* rowId) {
    return nextRow(enumHandle, false, rowId);
}

int32_t TkGetRowById(TkHandle handle, int32_t table, uint32_t id, uint32_t* rowId) {
    return withEngine(handle, [&](Engine& e) {
        std::shared_ptr<const LoadedPattern> p;
        {
            std::lock_guard lock(e.mutex);
            p = e.pattern;
        }
        if (p == nullptr)
            return setError(&e, TK_E_NO_PATTERN, "no spyware pattern loaded");
        if (rowId == nullptr)
            return setError(&e, TK_E_BAD_ARGUMENT, "null row");
        std::vector<uint32_t> ids = rowIds(*p, table);
        if (std::find(ids.begin(), ids.end(), id) == ids.end())
            return TK_E_NOT_FOUND;
        *rowId = id;
        return TK_OK;
    });
}

int32_t TkGetFirstRowByField(TkHandle, int32_t, const char16_t*, uint32_t*) {
    return notSupported("TkGetFirstRowByField");
}
int32_t TkGetNextRowByField(TkHandle, uint32_t*) {
    return notSupported("TkGetNextRowByField");
}
int32_t TkGetFirstRowByStrKey(TkHandle, uint32_t*) {
    return notSupported("TkGetFirstRowByStrKey");
}
int32_t TkGetNextRowByStrKey(TkHandle, uint32_t*) {
    return notSupported("TkGetNextRowByStrKey");
}
int32_t TkGetFirstRowByLongKey(TkHandle, uint32_t*) {
    return notSupported("TkGetFirstRowByLongKey");
}
int32_t TkGetNextRowByLongKey(TkHandle, uint32_t*) {
    return notSupported("TkGetNextRowByLongKey");
}

int32_t TkParseField(TkHandle handle, int32_t table, uint32_t rowId, int32_t field, char16_t* text,
                     uint32_t size) {
    return withEngine(handle, [&](Engine& e) {
        std::shared_ptr<const LoadedPattern> p;
        {
            std::lock_guard lock(e.mutex);
            p = e.pattern;
        }
        if (p == nullptr)
            return setError(&e, TK_E_NO_PATTERN, "no spyware pattern loaded");
        std::string value;
        bool found = false;
        if (table == TK_TABLE_COMPANY) {
            auto it = p->companies.find(rowId);
            found = it != p->companies.end() && (field == TK_FIELD_ID || field == TK_FIELD_NAME);
            if (found)
                value = field == TK_FIELD_ID ? std::to_string(rowId) : it->second->name;
        } else if (table == TK_TABLE_THREAT) {
            auto it = p->threats.find(rowId);
            found =
                it != p->threats.end() && field >= TK_FIELD_ID && field <= TK_FIELD_COMPANY_NAME;
            if (found) {
                const Threat& t = *it->second;
                value = field == TK_FIELD_ID           ? std::to_string(t.id)
                        : field == TK_FIELD_NAME       ? t.name
                        : field == TK_FIELD_COMPANY_ID ? std::to_string(t.company)
                                                       : p->companies.at(t.company)->name;
            }
        } else if (table == TK_TABLE_LOCATION) {
            for (const auto& l : p->pattern.locations)
                if (l.id == rowId && (field == TK_FIELD_ID || field == TK_FIELD_NAME)) {
                    found = true;
                    value = field == TK_FIELD_ID ? std::to_string(l.id) : l.path;
                }
        }
        if (!found)
            return setError(&e, TK_E_NOT_FOUND, "no such row or field");
        return copyOut(bytesToWide(value), text, size);
    });
}

int32_t TkGetEngineStatus(TkHandle handle, uint32_t* status) {
    return withEngine(handle, [&](Engine& e) {
        if (status == nullptr)
            return setError(&e, TK_E_BAD_ARGUMENT, "null result");
        *status = e.status.load();
        return TK_OK;
    });
}

int32_t TkGetLastError(TkHandle handle, int32_t* code, char16_t* text, uint32_t size) {
    if (code == nullptr)
        return TK_E_BAD_ARGUMENT;
    auto e = find(handle);
    std::string message;
    if (e != nullptr) {
        std::lock_guard lock(e->mutex);
        *code = e->lastCode;
        message = e->lastText;
    } else {
        *code = tLastCode;
        message = tLastText;
    }
    if (text == nullptr)
        return TK_OK;
    return copyOut(bytesToWide(message), text, size);
}

}  // extern "C"
