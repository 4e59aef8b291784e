#include "platform/registry.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/registry_format.h"

namespace nvl::sys {

namespace {

using regformat::Document;
using regformat::Tree;

const regformat::Limits kLimits;

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t mtimeNs = 0;
    int64_t ctimeNs = 0;

    static FileIdentity of(const struct stat& st) {
        return {st.st_dev, st.st_ino, st.st_size,
                static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec};
    }
    bool operator==(const FileIdentity&) const = default;
};

// One parsed state of the file. `file` pins the inode the snapshot was read from.
struct Snapshot {
    Document doc;
    Tree tree;
    UniqueFd file;
};

// The change counter beside the file, "<file>.gen": an 8-byte number that every writer of this
// module adds one to (release order) after it replaced the file, under the writers' lock. A
// reader maps it once, read-only, and compares it with the value it read before its last check
// of the file: while it is unchanged, no change went through this module, and the look-up needs
// no system call. The number means nothing but "changed or not": garbage in the file is just
// another value, and a file too short to hold it is not mapped at all.
constexpr size_t kCounterBytes = sizeof(uint64_t);
// How long a process trusts the counter alone: changes made by other means (an editor, a copy)
// are seen at the first look-up after this many milliseconds.
constexpr uint32_t kRecheckMilliseconds = 1000;

std::string counterPath(const std::string& path) {
    return path + ".gen";
}

// Owns one mapping of the counter.
class CounterMapping {
  public:
    CounterMapping() = default;
    ~CounterMapping() { reset(); }
    CounterMapping(const CounterMapping&) = delete;
    CounterMapping& operator=(const CounterMapping&) = delete;

    // Maps the first bytes of `fd`, a regular file long enough to hold the counter.
    bool map(int fd, const struct stat& st, bool writable) {
        reset();
        if (!S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(kCounterBytes))
            return false;
        void* address = ::mmap(nullptr, kCounterBytes,
                               writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
        if (address == MAP_FAILED)
            return false;
        word_ = static_cast<uint64_t*>(address);
        device_ = st.st_dev;
        inode_ = st.st_ino;
        return true;
    }
    void reset() {
        if (word_ != nullptr)
            ::munmap(word_, kCounterBytes);
        word_ = nullptr;
    }
    bool mapped() const { return word_ != nullptr; }
    bool isFile(const struct stat& st) const {
        return mapped() && st.st_dev == device_ && st.st_ino == inode_;
    }
    uint64_t load() const {
        return std::atomic_ref<uint64_t>(*word_).load(std::memory_order_acquire);
    }
    void bump() { std::atomic_ref<uint64_t>(*word_).fetch_add(1, std::memory_order_release); }

  private:
    uint64_t* word_ = nullptr;  // page-aligned, so the 8 bytes are one atomic word
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// Maps the counter of the file at `path` for reading. A reader creates a missing counter only
// beside an existing file, so a mistyped path scatters nothing; a counter of a third account
// (planted in a directory others may write to) is not trusted, since its owner could freeze or
// truncate it under every reader.
void mapCounterForReading(const std::string& path, CounterMapping* counter) {
    const std::string name = counterPath(path);
    struct stat st {};
    if (counter->mapped() && ::stat(name.c_str(), &st) == 0 && counter->isFile(st))
        return;
    counter->reset();
    struct stat file {};
    if (::stat(path.c_str(), &file) != 0)
        return;
    UniqueFd fd(fileOps().open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0));
    if (!fd && errno == ENOENT) {
        // Created at full length, so that no reader maps a counter shorter than the number.
        fd.reset(
            fileOps().open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (fd && ::ftruncate(fd.get(), kCounterBytes) != 0)
            return;
        if (!fd && errno == EEXIST)
            fd.reset(fileOps().open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0));
    }
    if (!fd || fileOps().fstat(fd.get(), &st) != 0)
        return;
    if (st.st_uid != ::geteuid() && st.st_uid != 0 && st.st_uid != file.st_uid)
        return;
    counter->map(fd.get(), st, false);
}

// Adds one to the counter of the file at `path`, creating it when it is missing. The caller
// holds the writers' lock. A counter this process may not write (another account's) is left
// alone: the others then see the change at their next check of the file, as they see an edit.
void bumpCounter(const std::string& path) {
    const std::string name = counterPath(path);
    UniqueFd fd(fileOps().open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    struct stat st {};
    if (!fd || fileOps().fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    // A short counter (cut by hand) is lengthened; only growing it is safe for readers that map.
    if (st.st_size < static_cast<off_t>(kCounterBytes)) {
        if (::ftruncate(fd.get(), kCounterBytes) != 0)
            return;
        st.st_size = kCounterBytes;
    }
    CounterMapping counter;
    if (counter.map(fd.get(), st, true))
        counter.bump();
}

struct Cache {
    std::mutex mutex;
    std::string path;  // the file the rest describes
    // `snapshot` is the file as the last check found it (identity and presence); false before
    // the first check and after a write by this process.
    bool checked = false;
    bool present = false;
    FileIdentity identity;
    std::shared_ptr<const Snapshot> snapshot;
    uint32_t checkedAt = 0;   // tickCount() when the last check started
    uint64_t generation = 0;  // the counter as read before the last check
    CounterMapping counter;
    bool counterTried = false;
    uint32_t counterTriedAt = 0;
    // Checks are numbered as they start; a check stores its result only when no later one (or
    // a write, which takes a number too) stored before it, so a slow thread never brings back an
    // older state.
    uint64_t started = 0;
    uint64_t stored = 0;

    void forget() {
        checked = false;
        counterTried = false;
        stored = ++started;
    }
};

Cache& cache() {
    static Cache* instance = new Cache;  // never destroyed: callers may run at exit
    return *instance;
}

std::shared_ptr<const Snapshot> emptySnapshot() {
    static const std::shared_ptr<const Snapshot> empty = std::make_shared<const Snapshot>();
    return empty;
}

enum class Check {
    kWhenDue,  // a look-up: the cached state while the counter and the interval allow it
    kAlways,   // a writer under the lock: the file as it is now
};

// Keeps the result of a check that started as number `serial`, unless a later one was kept.
void store(Cache& c, const std::string& path, uint64_t serial, uint32_t startedAt,
           uint64_t generation, bool present, const FileIdentity& identity,
           std::shared_ptr<const Snapshot> snapshot) {
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.path != path || serial < c.stored)
        return;
    c.stored = serial;
    c.checked = true;
    c.present = present;
    c.identity = identity;
    c.snapshot = std::move(snapshot);
    c.checkedAt = startedAt;
    c.generation = generation;
}

// The current state of the file at `path`: the cached one while the file is unchanged.
uint32_t load(const std::string& path, Check check, std::shared_ptr<const Snapshot>* out) {
    Cache& c = cache();
    uint64_t serial = 0;
    uint64_t generation = 0;
    uint32_t now = 0;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        if (c.path != path) {
            c.path = path;
            c.snapshot.reset();
            c.counter.reset();
            c.forget();
        }
        now = tickCount();
        const bool due = now - c.checkedAt >= kRecheckMilliseconds;
        if (check == Check::kWhenDue && c.checked && !due && c.counter.mapped() &&
            c.counter.load() == c.generation) {
            *out = c.snapshot;
            return kSuccess;
        }
        if (!c.counterTried || now - c.counterTriedAt >= kRecheckMilliseconds) {
            mapCounterForReading(path, &c.counter);
            c.counterTried = true;
            c.counterTriedAt = now;
        }
        // Read before the file is: a write that races with this check moves the counter past
        // the value kept, and the next look-up checks again.
        generation = c.counter.mapped() ? c.counter.load() : 0;
        serial = ++c.started;
    }

    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return errnoToError(errno);
        *out = emptySnapshot();
        store(c, path, serial, now, generation, false, {}, *out);
        return kSuccess;
    }
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        if (c.path == path && c.checked && c.present && c.identity == FileIdentity::of(st)) {
            *out = c.snapshot;
            if (serial >= c.stored) {
                c.stored = serial;
                c.checkedAt = now;
                c.generation = generation;
            }
            return kSuccess;
        }
    }

    auto snapshot = std::make_shared<Snapshot>();
    snapshot->file.reset(fileOps().open(path.c_str(), O_RDONLY | O_CLOEXEC, 0));
    if (!snapshot->file) {
        if (errno != ENOENT)
            return errnoToError(errno);
        *out = emptySnapshot();
        store(c, path, serial, now, generation, false, {}, *out);
        return kSuccess;
    }
    if (fileOps().fstat(snapshot->file.get(), &st) != 0)
        return errnoToError(errno);
    std::string bytes;
    uint32_t error = readWholeFd(snapshot->file.get(), &bytes, kLimits.maxFileBytes);
    if (error != kSuccess)
        return error;
    if (!regformat::parse(bytes, kLimits, &snapshot->doc))
        return kErrInvalidData;
    snapshot->tree = Tree(snapshot->doc);
    *out = snapshot;
    store(c, path, serial, now, generation, true, FileIdentity::of(st), std::move(snapshot));
    return kSuccess;
}

bool validName(std::string_view name) {
    return std::none_of(name.begin(), name.end(),
                        [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

// The components of a key path; empty components (doubled or outer backslashes) are dropped.
bool splitKey(std::string_view subKey, std::vector<std::string>* parts) {
    parts->clear();
    if (!validName(subKey))
        return false;
    size_t pos = 0;
    while (pos <= subKey.size()) {
        size_t end = subKey.find('\\', pos);
        if (end == std::string_view::npos)
            end = subKey.size();
        if (end > pos)
            parts->emplace_back(subKey.substr(pos, end - pos));
        pos = end + 1;
    }
    return true;
}

// The key path with empty components dropped: the spelling a handle keeps.
std::string normalizeKey(std::string_view subKey) {
    bool clean = subKey.empty() || (subKey.front() != '\\' && subKey.back() != '\\' &&
                                    subKey.find("\\\\") == std::string_view::npos);
    if (clean)
        return std::string(subKey);
    std::vector<std::string> parts;
    splitKey(subKey, &parts);
    std::string out;
    for (const std::string& part : parts) {
        if (!out.empty())
            out += '\\';
        out += part;
    }
    return out;
}

// Applies one edit to the file under the writers' lock, from its current contents.
template <typename Edit>
uint32_t modify(Edit edit) {
    std::string path = registryPath();
    FileWriteLock lock(path);
    if (!lock.ok())
        return lock.error() == kErrFileNotFound ? kErrPathNotFound : lock.error();
    std::shared_ptr<const Snapshot> snapshot;
    uint32_t error = load(path, Check::kAlways, &snapshot);
    if (error != kSuccess)
        return error;
    Document doc = snapshot->doc;
    bool changed = false;
    error = edit(&doc, snapshot->tree, &changed);
    if (error != kSuccess || !changed)
        return error;
    error = replaceFileAtomically(path, regformat::serialize(doc), 0644);
    // Even a failed replacement may have renamed the file; a needless bump costs the others
    // one check.
    bumpCounter(path);
    Cache& c = cache();
    std::lock_guard<std::mutex> cacheLock(c.mutex);
    if (c.path == path)
        c.forget();
    return error;
}

// The node of an open key in the current state of the file; `snapshot` keeps it alive.
uint32_t findKey(bool valid, RegHive hive, const std::string& path,
                 std::shared_ptr<const Snapshot>* snapshot, const regformat::KeyNode** node) {
    if (!valid)
        return kErrInvalidHandle;
    uint32_t error = load(registryPath(), Check::kWhenDue, snapshot);
    if (error != kSuccess)
        return error;
    *node = (*snapshot)->tree.findPath(hive, path);
    return *node == nullptr ? kErrKeyDeleted : kSuccess;
}

// Lists names of the key at `path` into `out` (cleared first): `collect` appends them from
// the key's node, read from one state of the file.
template <typename Collect>
uint32_t listNames(bool valid, RegHive hive, const std::string& path, std::vector<std::string>* out,
                   Collect collect) {
    std::shared_ptr<const Snapshot> snapshot;
    const regformat::KeyNode* node = nullptr;
    uint32_t error = findKey(valid, hive, path, &snapshot, &node);
    if (error != kSuccess)
        return error;
    out->clear();
    collect(*node);
    return kSuccess;
}

// The key that this thread found by path last. Callers ask for the same few keys again and
// again (every page and every log record wants the server's home directory), and in one
// state of the file a path always leads to the same node. `snapshot` keeps the node alive.
struct FoundKey {
    std::shared_ptr<const Snapshot> snapshot;
    RegHive hive = RegHive::LocalMachine;
    std::string subKey;
    const regformat::KeyNode* node = nullptr;
};
thread_local FoundKey t_lastFound;

// The node of key `subKey` in the current state of the file, for opening it: kErrFileNotFound
// when there is no such key.
uint32_t findExistingKey(RegHive hive, std::string_view subKey,
                         std::shared_ptr<const Snapshot>* snapshot,
                         const regformat::KeyNode** node) {
    if (!validName(subKey))
        return kErrInvalidParameter;
    uint32_t error = load(registryPath(), Check::kWhenDue, snapshot);
    if (error != kSuccess)
        return error;
    FoundKey& last = t_lastFound;
    if (last.snapshot == *snapshot && last.hive == hive && last.subKey == subKey) {
        *node = last.node;
        return kSuccess;
    }
    *node = (*snapshot)->tree.findPath(hive, subKey);
    if (*node == nullptr)
        return kErrFileNotFound;
    last.snapshot = *snapshot;
    last.hive = hive;
    last.subKey.assign(subKey);
    last.node = *node;
    return kSuccess;
}

uint32_t readValue(const Snapshot& snapshot, const regformat::KeyNode& node, std::string_view name,
                   RegValue* out) {
    const regformat::ValueSlot* slot = node.value(name);
    if (slot == nullptr || !slot->present)
        return kErrFileNotFound;
    *out = slot->value(snapshot.doc);
    return kSuccess;
}

// Applies `edit` (a regformat edit without its key arguments) to an open key.
template <typename Edit>
uint32_t editKey(bool valid, RegHive hive, const std::string& path, Edit edit) {
    if (!valid)
        return kErrInvalidHandle;
    std::vector<std::string> parts;
    splitKey(path, &parts);
    return modify([&](Document* doc, const Tree& tree, bool* changed) {
        return edit(doc, tree, hive, parts, changed);
    });
}

}  // namespace

void forgetRegistryCache() {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.forget();
}

bool splitRegistryPath(std::string_view fullPath, RegHive* hive, std::string* subKey) {
    size_t slash = fullPath.find('\\');
    std::string_view first = fullPath.substr(0, slash);
    if (!regformat::parseHiveName(first, hive))
        return false;
    *subKey = slash == std::string_view::npos ? "" : std::string(fullPath.substr(slash + 1));
    return true;
}

std::string_view registryHiveName(RegHive hive) {
    return regformat::hiveName(hive);
}

std::string formatRegistryValue(std::string_view name, const RegValue& value) {
    std::string out;
    for (const std::string& line : regformat::formatValue(name, value)) {
        if (!out.empty())
            out += '\n';
        out += line;
    }
    return out;
}

uint32_t RegistryKey::open(RegHive hive, std::string_view subKey, RegistryKey* out) {
    std::shared_ptr<const Snapshot> snapshot;
    const regformat::KeyNode* node = nullptr;
    uint32_t error = findExistingKey(hive, subKey, &snapshot, &node);
    if (error != kSuccess)
        return error;
    out->hive_ = hive;
    out->path_ = normalizeKey(subKey);
    out->valid_ = true;
    return kSuccess;
}

uint32_t RegistryKey::getValue(RegHive hive, std::string_view subKey, std::string_view name,
                               RegValue* out) {
    std::shared_ptr<const Snapshot> snapshot;
    const regformat::KeyNode* node = nullptr;
    uint32_t error = findExistingKey(hive, subKey, &snapshot, &node);
    if (error != kSuccess)
        return error;
    return readValue(*snapshot, *node, name, out);
}

uint32_t RegistryKey::create(RegHive hive, std::string_view subKey, RegistryKey* out) {
    std::vector<std::string> parts;
    if (!splitKey(subKey, &parts))
        return kErrInvalidParameter;
    uint32_t error = modify([&](Document* doc, const Tree& tree, bool* changed) {
        return regformat::createKey(doc, tree, hive, parts, changed);
    });
    if (error != kSuccess)
        return error;
    out->hive_ = hive;
    out->path_ = normalizeKey(subKey);
    out->valid_ = true;
    return kSuccess;
}

uint32_t RegistryKey::deleteKey(RegHive hive, std::string_view subKey) {
    std::vector<std::string> parts;
    if (!splitKey(subKey, &parts))
        return kErrInvalidParameter;
    return modify([&](Document* doc, const Tree& tree, bool* changed) {
        return regformat::deleteKey(doc, tree, hive, parts, changed);
    });
}

uint32_t RegistryKey::queryValue(std::string_view name, RegValue* out) const {
    std::shared_ptr<const Snapshot> snapshot;
    const regformat::KeyNode* node = nullptr;
    uint32_t error = findKey(valid_, hive_, path_, &snapshot, &node);
    if (error != kSuccess)
        return error;
    return readValue(*snapshot, *node, name, out);
}

uint32_t RegistryKey::getString(std::string_view name, std::string* utf8) const {
    RegValue value;
    uint32_t error = queryValue(name, &value);
    if (error != kSuccess)
        return error;
    if (value.type != kRegSz && value.type != kRegExpandSz)
        return kErrInvalidData;
    *utf8 = std::move(value.data);
    return kSuccess;
}

uint32_t RegistryKey::getDword(std::string_view name, uint32_t* out) const {
    RegValue value;
    uint32_t error = queryValue(name, &value);
    if (error != kSuccess)
        return error;
    if (value.type == kRegDword && value.data.size() == 4) {
        uint32_t number = 0;
        for (int k = 3; k >= 0; --k)
            number = (number << 8) | static_cast<unsigned char>(value.data[static_cast<size_t>(k)]);
        *out = number;
        return kSuccess;
    }
    if (value.type != kRegSz)
        return kErrInvalidData;
    // A decimal number as text ("932"), blanks around it allowed.
    std::string_view text = value.data;
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    if (text.empty())
        return kErrInvalidData;
    uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return kErrInvalidData;
        number = number * 10 + static_cast<uint64_t>(c - '0');
        if (number > 0xFFFFFFFFu)
            return kErrInvalidData;
    }
    *out = static_cast<uint32_t>(number);
    return kSuccess;
}

uint32_t RegistryKey::setValue(std::string_view name, const RegValue& value) {
    if (!validName(name))
        return kErrInvalidParameter;
    return editKey(valid_, hive_, path_,
                   [&](Document* doc, const Tree& tree, RegHive hive,
                       const std::vector<std::string>& parts, bool* changed) {
                       return regformat::setValue(doc, tree, hive, parts, name, value, changed);
                   });
}

uint32_t RegistryKey::setString(std::string_view name, std::string_view utf8) {
    return setValue(name, RegValue{kRegSz, std::string(utf8)});
}

uint32_t RegistryKey::setDword(std::string_view name, uint32_t number) {
    RegValue value{kRegDword, std::string(4, '\0')};
    for (size_t k = 0; k < 4; ++k)
        value.data[k] = static_cast<char>((number >> (8 * k)) & 0xFF);
    return setValue(name, value);
}

uint32_t RegistryKey::deleteValue(std::string_view name) {
    return editKey(valid_, hive_, path_,
                   [&](Document* doc, const Tree& tree, RegHive hive,
                       const std::vector<std::string>& parts, bool* changed) {
                       return regformat::deleteValue(doc, tree, hive, parts, name, changed);
                   });
}

uint32_t RegistryKey::valueNames(std::vector<std::string>* out) const {
    return listNames(valid_, hive_, path_, out, [out](const regformat::KeyNode& node) {
        for (const regformat::ValueSlot& slot : node.values) {
            if (slot.present)
                out->push_back(slot.name);
        }
    });
}

uint32_t RegistryKey::subKeyNames(std::vector<std::string>* out) const {
    return listNames(valid_, hive_, path_, out, [out](const regformat::KeyNode& node) {
        for (const auto& child : node.children)
            out->push_back(child->name);
    });
}

}  // namespace nvl::sys
