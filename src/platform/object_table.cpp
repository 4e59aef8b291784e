#include "platform/object_table.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace nvl::sys {

namespace {

// --- Names ---------------------------------------------------------------------------------

constexpr size_t kMaxEncodedName = 200;

uint64_t rotl(uint64_t x, int bits) {
    return (x << bits) | (x >> (64 - bits));
}

// SipHash-2-4. Names that are too long for a file name are stored under this hash, which must
// be the same in every build and every process, so no standard library hash will do.
uint64_t sipHash24(uint64_t k0, uint64_t k1, std::string_view data) {
    uint64_t v0 = 0x736f6d6570736575ULL ^ k0;
    uint64_t v1 = 0x646f72616e646f6dULL ^ k1;
    uint64_t v2 = 0x6c7967656e657261ULL ^ k0;
    uint64_t v3 = 0x7465646279746573ULL ^ k1;
    auto round = [&] {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    };
    auto byteAt = [&](size_t i) { return static_cast<uint64_t>(static_cast<uint8_t>(data[i])); };
    size_t i = 0;
    for (; i + 8 <= data.size(); i += 8) {
        uint64_t m = 0;
        for (size_t j = 0; j < 8; ++j)
            m |= byteAt(i + j) << (8 * j);
        v3 ^= m;
        round();
        round();
        v0 ^= m;
    }
    uint64_t last = static_cast<uint64_t>(data.size()) << 56;
    for (size_t j = 0; i + j < data.size(); ++j)
        last |= byteAt(i + j) << (8 * j);
    v3 ^= last;
    round();
    round();
    v0 ^= last;
    v2 ^= 0xff;
    for (int r = 0; r < 4; ++r)
        round();
    return v0 ^ v1 ^ v2 ^ v3;
}

// The name without the namespace prefix that every process here resolves the same way.
std::string_view withoutPrefix(std::string_view name) {
    for (std::string_view prefix : {std::string_view("Global\\"), std::string_view("Local\\")}) {
        if (name.substr(0, prefix.size()) == prefix)
            return name.substr(prefix.size());
    }
    return name;
}

// Length in UTF-16 units, as the original counts it; bytes that are not UTF-8 count one each.
size_t nameLength(std::string_view name) {
    size_t units = 0;
    for (char c : name) {
        auto byte = static_cast<uint8_t>(c);
        if ((byte & 0xC0) != 0x80)
            ++units;
        if ((byte & 0xF8) == 0xF0)
            ++units;  // a surrogate pair
    }
    return units;
}

std::string encodeName(std::string_view key) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded = "n.";
    for (size_t i = 0; i < key.size(); ++i) {
        auto byte = static_cast<uint8_t>(key[i]);
        bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                     (byte >= '0' && byte <= '9') || byte == '_' || byte == '-' ||
                     (byte == '.' && i > 0);
        if (plain) {
            encoded += static_cast<char>(byte);
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 15];
        }
    }
    if (encoded.size() <= kMaxEncodedName)
        return encoded;
    char hashed[40];
    std::snprintf(hashed, sizeof hashed, "h.%016llx%016llx",
                  static_cast<unsigned long long>(sipHash24(0x6e766c2d6f626a31ULL, 0, key)),
                  static_cast<unsigned long long>(sipHash24(0x6e766c2d6f626a32ULL, 0, key)));
    return hashed;
}

// --- The table -----------------------------------------------------------------------------

struct Slot {
    objects::Entry* entry = nullptr;
    uint32_t generation = 0;
};

struct View {
    objects::Entry* entry;
    size_t length;
};

struct Table {
    std::mutex mutex;
    std::unordered_map<std::string, objects::Entry*> byPath;
    std::vector<Slot> slots;
    std::vector<uint32_t> freeSlots;
    std::unordered_map<const void*, View> views;
    uint32_t nextGeneration = 1;
};

void forgetAfterFork();

Table& table() {
    // Never destroyed: handles may still be closed by other static objects' destructors.
    static Table* const instance = [] {
        auto* created = new Table;
        ::pthread_atfork([] { table().mutex.lock(); }, [] { table().mutex.unlock(); },
                         [] {
                             forgetAfterFork();
                             table().mutex.unlock();
                         });
        return created;
    }();
    return *instance;
}

// In a forked child the descriptors share their open file descriptions, and so their locks,
// with the parent: keeping them would make the child a holder it cannot tell apart from the
// parent. The child lets go of them and starts with an empty table; mappings stay as memory.
void forgetAfterFork() {
    Table& t = table();
    std::vector<objects::Entry*> entries;
    for (const Slot& slot : t.slots) {
        if (slot.entry != nullptr)
            entries.push_back(slot.entry);
    }
    for (const auto& [address, view] : t.views)
        entries.push_back(view.entry);
    for (const auto& [path, entry] : t.byPath)
        entries.push_back(entry);
    std::sort(entries.begin(), entries.end());
    entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
    for (objects::Entry* entry : entries) {
        ::close(entry->fd);
        delete entry;
    }
    t.byPath.clear();
    t.slots.clear();
    t.freeSlots.clear();
    t.views.clear();
}

HandleValue encodeHandle(uint32_t index, uint32_t generation) {
    uint64_t raw = (static_cast<uint64_t>(generation & 0x3FFFFFFF) << 32) |
                   (static_cast<uint64_t>(index + 1) << 2);
    return reinterpret_cast<HandleValue>(static_cast<uintptr_t>(raw));
}

// The entry behind a handle value, nullptr for anything that is not a live handle.
objects::Entry* lookup(Table& t, HandleValue handle, uint32_t* index = nullptr) {
    auto raw = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
    if ((raw & 3) != 0)
        return nullptr;
    uint64_t low = (raw & 0xFFFFFFFF) >> 2;
    if (low == 0 || low > t.slots.size())
        return nullptr;
    const Slot& slot = t.slots[low - 1];
    if (slot.entry == nullptr || slot.generation != ((raw >> 32) & 0x3FFFFFFF))
        return nullptr;
    if (index != nullptr)
        *index = static_cast<uint32_t>(low - 1);
    return slot.entry;
}

HandleValue newHandle(Table& t, objects::Entry* entry) {
    uint32_t index;
    if (!t.freeSlots.empty()) {
        index = t.freeSlots.back();
        t.freeSlots.pop_back();
    } else {
        index = static_cast<uint32_t>(t.slots.size());
        t.slots.emplace_back();
    }
    uint32_t generation = t.nextGeneration++ & 0x3FFFFFFF;
    if (generation == 0)
        generation = t.nextGeneration++;
    t.slots[index] = {entry, generation};
    ++entry->handles;
    return encodeHandle(index, generation);
}

// --- Object files --------------------------------------------------------------------------

flock lockRange(short type) {
    flock range{};  // zeroed: open-file-description locks require l_pid == 0
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 1;
    return range;
}

bool takeHolderLock(int fd) {
    flock range = lockRange(F_RDLCK);
    return ::fcntl(fd, F_OFD_SETLK, &range) == 0;
}

// True when an open file description other than the caller's holds the object.
bool heldByOthers(int fd) {
    flock range = lockRange(F_WRLCK);
    if (::fcntl(fd, F_OFD_GETLK, &range) != 0)
        return true;  // cannot tell: treat the object as alive, never remove it
    return range.l_type != F_UNLCK;
}

uint32_t fileSystemError(int errnoValue) {
    switch (errnoValue) {
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
        case ENOMEM:
            return kErrNotEnoughMemory;
        case ELOOP:
            return kErrAccessDenied;
        default:
            return errnoToError(errnoValue);
    }
}

objects::Header* mapHeader(int fd) {
    void* address =
        ::mmap(nullptr, objects::kHeaderSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return address == MAP_FAILED ? nullptr : static_cast<objects::Header*>(address);
}

uint64_t roundToPages(uint64_t size) {
    return (size + objects::kHeaderSize - 1) / objects::kHeaderSize * objects::kHeaderSize;
}

// Sets up a new object's file: reserves its memory now (a full file system then fails the
// create instead of faulting a later access), fills in the header and the kind's state.
uint32_t initialise(int fd, std::string_view key, objects::Kind kind, uint64_t dataSize,
                    const std::function<void(objects::Header&)>& init, objects::Header** out) {
    uint64_t total = objects::kHeaderSize + roundToPages(dataSize);
    if (total < dataSize)
        return kErrNotEnoughMemory;
    int rc = ::posix_fallocate(fd, 0, static_cast<off_t>(total));
    if (rc != 0)
        return fileSystemError(rc);
    objects::Header* header = mapHeader(fd);
    if (header == nullptr)
        return fileSystemError(errno);
    header->version = objects::kHeaderVersion;
    header->kind = static_cast<uint16_t>(kind);
    header->dataSize = dataSize;
    header->creatorPid = static_cast<uint64_t>(::getpid());
    header->nameLength = static_cast<uint32_t>(key.size());
    if (!key.empty())
        std::memcpy(header->name, key.data(), key.size());
    init(*header);
    std::atomic_ref<uint32_t>(header->magic)
        .store(objects::kHeaderMagic, std::memory_order_release);
    *out = header;
    return kSuccess;
}

// Checks the header of a live object found under `key`'s file name.
uint32_t checkHeader(const objects::Header& header, std::string_view key, objects::Kind kind) {
    if (std::atomic_ref<const uint32_t>(header.magic).load(std::memory_order_acquire) !=
            objects::kHeaderMagic ||
        header.version != objects::kHeaderVersion)
        return kErrInvalidHandle;
    if (header.nameLength != key.size() ||
        (!key.empty() && std::memcmp(header.name, key.data(), key.size()) != 0))
        return kErrInvalidHandle;  // a different name under the same hash
    if (header.kind != static_cast<uint16_t>(kind))
        return kErrInvalidHandle;
    return kSuccess;
}

// A view reaching past the end of the file would fault on access, so a header whose size the
// file does not hold (another process wrote it wrong) is refused.
bool coversData(int fd, const objects::Header& header) {
    struct stat st {};
    uint64_t needed = objects::kHeaderSize + roundToPages(header.dataSize);
    return ::fstat(fd, &st) == 0 && needed >= header.dataSize &&
           static_cast<uint64_t>(st.st_size) >= needed;
}

bool sameFile(int fd, const std::string& path) {
    struct stat a {
    }, b{};
    return ::fstat(fd, &a) == 0 && ::lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// Lets go of an entry that no handle, view or operation uses any more (table mutex held).
void releaseEntry(Table& t, objects::Entry* entry) {
    if (!entry->path.empty()) {
        t.byPath.erase(entry->path);
        std::string dir = entry->path.substr(0, entry->path.rfind('/') + 1);
        FileWriteLock guard(dir);
        // Without the guard the file stays; the next create or open finds it stale.
        if (guard.ok() && !heldByOthers(entry->fd) && sameFile(entry->fd, entry->path))
            fileOps().unlink(entry->path.c_str());
    }
    // The kernel walks a thread's robust mutexes when it ends and marks them abandoned there;
    // a mutex still owned by a thread of this process must stay mapped for that.
    if (entry->owned.load() == 0)
        ::munmap(entry->header, objects::kHeaderSize);
    fileOps().close(entry->fd);
    delete entry;
}

void releaseIfUnused(Table& t, objects::Entry* entry) {
    if (entry->handles == 0 && entry->views == 0 && entry->pins == 0)
        releaseEntry(t, entry);
}

uint32_t prepareDirectory(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0)
        return kSuccess;
    uint32_t error = makeDirectories(dir, 0777);
    if (error != kSuccess)
        return error;
    // Every local account creates and opens objects here, as the original's null DACL allowed.
    // Not sticky: an account must be able to remove a stale object that another one left.
    ::chmod(dir.c_str(), 0777);
    return kSuccess;
}

HandleValue fail(uint32_t error) {
    setLastError(error);
    return nullptr;
}

HandleValue acquireUnnamed(objects::Kind kind, uint64_t dataSize,
                           const std::function<void(objects::Header&)>& init) {
    UniqueFd fd(::memfd_create("nvl-object", MFD_CLOEXEC));
    if (!fd)
        return fail(fileSystemError(errno));
    objects::Header* header = nullptr;
    uint32_t error = initialise(fd.get(), {}, kind, dataSize, init, &header);
    if (error != kSuccess)
        return fail(error);
    auto* entry = new objects::Entry;
    entry->kind = kind;
    entry->fd = fd.release();
    entry->header = header;
    Table& t = table();
    std::lock_guard lock(t.mutex);
    HandleValue handle = newHandle(t, entry);
    setLastError(kSuccess);
    return handle;
}

}  // namespace

std::string objectDirectory() {
    return runtimeDir() + "/objects";
}

std::string objectFileName(std::string_view name) {
    if (name.empty() || nameLength(name) > kMaxObjectNameLength)
        return {};
    return encodeName(withoutPrefix(name));
}

namespace objects {

HandleValue acquire(std::string_view name, Kind kind, bool create, uint64_t dataSize,
                    const std::function<void(Header&)>& init) {
    if (name.empty())
        return create ? acquireUnnamed(kind, dataSize, init) : fail(kErrFileNotFound);
    if (nameLength(name) > kMaxObjectNameLength)
        return fail(kErrFilenameTooLong);
    std::string_view key = withoutPrefix(name);
    std::string dir = objectDirectory();
    std::string path = dir + "/" + encodeName(key);

    Table& t = table();
    std::lock_guard lock(t.mutex);
    if (auto found = t.byPath.find(path); found != t.byPath.end()) {
        Entry* entry = found->second;
        uint32_t error = checkHeader(*entry->header, key, kind);
        if (error != kSuccess)
            return fail(error);
        HandleValue handle = newHandle(t, entry);
        if (create)
            setLastError(kErrAlreadyExists);
        return handle;
    }

    uint32_t error = prepareDirectory(dir);
    if (error != kSuccess)
        return fail(error);
    FileWriteLock guard(dir + "/");
    if (!guard.ok())
        return fail(guard.error());

    const FileOps& ops = fileOps();
    UniqueFd fd(ops.open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0));
    if (!fd && errno != ENOENT)
        return fail(fileSystemError(errno));
    Header* header = nullptr;
    bool existed = false;
    if (fd && heldByOthers(fd.get())) {
        header = mapHeader(fd.get());
        if (header == nullptr)
            return fail(fileSystemError(errno));
        error = checkHeader(*header, key, kind);
        if (error == kSuccess && !coversData(fd.get(), *header))
            error = kErrInvalidHandle;
        if (error == kSuccess && !takeHolderLock(fd.get()))
            error = fileSystemError(errno);
        if (error != kSuccess) {
            ::munmap(header, kHeaderSize);
            return fail(error);
        }
        existed = true;
    } else {
        if (fd) {
            // Stale: every holder is gone, or its creator died while setting it up.
            ops.unlink(path.c_str());
            fd.reset();
        }
        if (!create)
            return fail(kErrFileNotFound);
        fd.reset(ops.open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666));
        if (!fd)
            return fail(fileSystemError(errno));
        ::fchmod(fd.get(), 0666);
        // Held before it is set up, so that a creator dying half way leaves a stale file.
        if (!takeHolderLock(fd.get())) {
            error = fileSystemError(errno);
        } else {
            error = initialise(fd.get(), key, kind, dataSize, init, &header);
        }
        if (error != kSuccess) {
            ops.unlink(path.c_str());
            return fail(error);
        }
    }

    auto* entry = new Entry;
    entry->kind = kind;
    entry->path = path;
    entry->fd = fd.release();
    entry->header = header;
    t.byPath.emplace(path, entry);
    HandleValue handle = newHandle(t, entry);
    if (create)
        setLastError(existed ? kErrAlreadyExists : kSuccess);
    return handle;
}

bool closeHandle(HandleValue handle) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    uint32_t index = 0;
    Entry* entry = lookup(t, handle, &index);
    if (entry == nullptr) {
        setLastError(kErrInvalidHandle);
        return false;
    }
    t.slots[index] = {};
    t.freeSlots.push_back(index);
    --entry->handles;
    releaseIfUnused(t, entry);
    return true;
}

HandleValue duplicate(HandleValue handle) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    Entry* entry = lookup(t, handle);
    if (entry == nullptr)
        return fail(kErrInvalidHandle);
    return newHandle(t, entry);
}

Pins::~Pins() {
    if (count_ == 0)
        return;
    Table& t = table();
    std::lock_guard lock(t.mutex);
    for (size_t i = 0; i < count_; ++i) {
        --entries_[i]->pins;
        releaseIfUnused(t, entries_[i]);
    }
}

bool Pins::pin(std::span<const HandleValue> handles, unsigned kinds) {
    if (handles.empty() || handles.size() > kMaximumWaitObjects) {
        setLastError(kErrInvalidParameter);
        return false;
    }
    Table& t = table();
    std::lock_guard lock(t.mutex);
    for (HandleValue handle : handles) {
        Entry* entry = lookup(t, handle);
        if (entry == nullptr || (kindBit(entry->kind) & kinds) == 0) {
            setLastError(kErrInvalidHandle);
            return false;  // the destructor unpins what was pinned
        }
        ++entry->pins;
        entries_[count_++] = entry;
    }
    return true;
}

void addView(void* address, size_t length, Entry& entry) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    t.views.emplace(address, View{&entry, length});
    ++entry.views;
}

bool removeView(const void* address) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    auto found = t.views.find(address);
    if (found == t.views.end()) {
        setLastError(kErrInvalidAddress);
        return false;
    }
    View view = found->second;
    t.views.erase(found);
    ::munmap(const_cast<void*>(address), view.length);
    --view.entry->views;
    releaseIfUnused(t, view.entry);
    return true;
}

}  // namespace objects

// --- Handles -------------------------------------------------------------------------------

Handle& Handle::operator=(Handle&& other) noexcept {
    if (this != &other)
        reset(other.release());
    return *this;
}

HandleValue Handle::release() {
    HandleValue value = value_;
    value_ = nullptr;
    return value;
}

void Handle::reset(HandleValue value) {
    if (value_ != nullptr)
        objects::closeHandle(value_);
    value_ = value;
}

bool closeHandle(HandleValue handle) {
    return objects::closeHandle(handle);
}

Handle duplicateHandle(HandleValue handle) {
    return Handle(objects::duplicate(handle));
}

}  // namespace nvl::sys
