#include "platform/object_table.h"

#include <fcntl.h>
#include <linux/membarrier.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace nvl::sys {

namespace {

// --- Names ---------------------------------------------------------------------------------

constexpr size_t kMaxEncodedName = 200;
constexpr const char* kObjectDirectoryName = "objects";

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

// A handle's slot. Read without the table's mutex by Pins::pin, so it is made of atomics and
// never moves: a slot is set (entry, then generation) and cleared (generation, then entry) under
// the mutex, and a generation is never given twice, so a reader that sees the same generation
// before and after it read the entry saw the slot unchanged in between.
struct Slot {
    std::atomic<uint32_t> generation{0};
    std::atomic<objects::Entry*> entry{nullptr};
};

// The slots, in chunks that double in size and are never freed or moved: chunk c holds slots
// kFirstChunk * (2^c - 1) up to kFirstChunk * (2^(c+1) - 1).
constexpr uint32_t kFirstChunk = 256;
constexpr int kChunks = 23;  // beyond the 2^30 slots a handle can name

class SlotArray {
  public:
    // nullptr when the slot was never allocated.
    Slot* find(uint32_t index) const {
        auto [chunk, offset] = place(index);
        Slot* slots = chunks_[chunk].load(std::memory_order_acquire);
        return slots == nullptr ? nullptr : &slots[offset];
    }
    // Table mutex held.
    Slot& at(uint32_t index) {
        auto [chunk, offset] = place(index);
        Slot* slots = chunks_[chunk].load(std::memory_order_relaxed);
        if (slots == nullptr) {
            slots = new Slot[static_cast<size_t>(kFirstChunk) << chunk];
            chunks_[chunk].store(slots, std::memory_order_release);
        }
        return slots[offset];
    }

  private:
    static std::pair<int, uint32_t> place(uint32_t index) {
        uint32_t block = index / kFirstChunk + 1;
        int chunk = std::bit_width(block) - 1;
        return {chunk, index - kFirstChunk * ((1u << chunk) - 1)};
    }
    std::atomic<Slot*> chunks_[kChunks] = {};
};

struct View {
    objects::Entry* entry;
    size_t length;
    bool shared;  // part of the entry's own mapping, which outlives it
};

// Mappings of object files that this process let go of, kept for the next open of the same file
// (a program that opens and closes the same objects per request then maps nothing again). Each
// keeps its file's memory until it is dropped, so there are few and they are small.
struct CachedMapping {
    uint64_t device, inode;
    void* address;
    size_t length;
};
constexpr size_t kCachedMappings = 8;
constexpr size_t kLargestCachedMapping = 1 << 20;

}  // namespace

// The hazard pointers of one thread: slot i names the entry that the thread's Pins holds at
// index i. Records are linked once and never freed; a thread that ends gives its record back for
// the next thread to take.
struct objects::PinRecord {
    std::atomic<objects::Entry*> hazards[kMaximumWaitObjects] = {};
    PinRecord* next = nullptr;  // set before the record is linked, never changed
    std::atomic<bool> taken{true};
    bool active = false;  // the owning thread has a Pins using the hazards
};

namespace {

using objects::PinRecord;

// The guard of the object directory last used: the directory and its ".lock", kept open so that
// create, open and close take the guard with one flock call and find files relative to the same
// directory the guard belongs to. Guarded by the table's mutex.
struct DirectoryGuard {
    std::string dir;
    UniqueFd dirFd;
    UniqueFd lockFd;
    mode_t fileMode = 0600;  // of the object files made there
};

struct Table {
    std::mutex mutex;
    DirectoryGuard guard;
    std::unordered_map<std::string, objects::Entry*> byPath;
    SlotArray slots;
    uint32_t slotCount = 0;  // slots ever used
    std::vector<uint32_t> freeSlots;
    // Entries are kept for reuse, never freed: Pins::pin may still touch one that was let go.
    std::vector<objects::Entry*> freeEntries;
    std::unordered_map<const void*, View> views;
    std::vector<CachedMapping> cachedMappings;  // oldest first
    uint32_t nextGeneration = 1;
    // Every thread's pin record, newest first; records are linked under the mutex.
    std::atomic<PinRecord*> pinRecords{nullptr};
    // Records taken by threads that still run: with none but the caller's, no hazard needs a look.
    std::atomic<uint32_t> takenPinRecords{0};
    pthread_key_t pinRecordKey{};
};

// This thread's pin record, nullptr until its first pin.
thread_local PinRecord* t_pinRecord = nullptr;

// The pinning side orders its hazard store before its second look at the handle's slot with a
// compiler barrier only; the side that lets an entry go makes every thread of the process pass
// a full barrier (membarrier) before it reads the hazards. Without membarrier both sides fence.
std::atomic<bool> g_asymmetricFences{false};

void registerMembarrier() {
    g_asymmetricFences.store(
        ::syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0);
}

void forgetAfterFork();

Table& table() {
    // Never destroyed: handles may still be closed by other static objects' destructors.
    static Table* const instance = [] {
        auto* created = new Table;
        registerMembarrier();
        // A thread that ends gives its record back; its Pins are all gone by then.
        ::pthread_key_create(&created->pinRecordKey, [](void* record) {
            static_cast<PinRecord*>(record)->taken.store(false);
            table().takenPinRecords.fetch_sub(1);
            t_pinRecord = nullptr;  // a later destructor of this thread that pins takes one again
        });
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
    for (uint32_t i = 0; i < t.slotCount; ++i) {
        Slot& slot = t.slots.at(i);
        if (objects::Entry* entry = slot.entry.load(); entry != nullptr)
            entries.push_back(entry);
        slot.generation.store(0);
        slot.entry.store(nullptr);
    }
    for (const auto& [address, view] : t.views)
        entries.push_back(view.entry);
    for (const auto& [path, entry] : t.byPath)
        entries.push_back(entry);
    std::sort(entries.begin(), entries.end());
    entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
    for (objects::Entry* entry : entries) {
        ::close(entry->fd);
        entry->refs.store(0);
        t.freeEntries.push_back(entry);
    }
    // Only the forking thread lives on in the child, and it holds no pins while it forks.
    uint32_t taken = 0;
    for (PinRecord* record = t.pinRecords.load(); record != nullptr; record = record->next) {
        for (auto& hazard : record->hazards)
            hazard.store(nullptr);
        bool mine = record == t_pinRecord;
        record->taken.store(mine);
        taken += mine ? 1 : 0;
    }
    t.takenPinRecords.store(taken);
    if (g_asymmetricFences.load())
        registerMembarrier();
    // The guard's open file description is shared with the parent, and so is its flock: the
    // child opens its own.
    t.guard = {};
    t.byPath.clear();
    t.slotCount = 0;
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
    if (low == 0 || low > t.slotCount)
        return nullptr;
    const Slot& slot = t.slots.at(static_cast<uint32_t>(low - 1));
    objects::Entry* entry = slot.entry.load();
    if (entry == nullptr || slot.generation.load() != ((raw >> 32) & 0x3FFFFFFF))
        return nullptr;
    if (index != nullptr)
        *index = static_cast<uint32_t>(low - 1);
    return entry;
}

// The entry behind a live handle, looked up without the table's mutex and guarded by `hazard`;
// nullptr, with the hazard clear, when the handle is not live.
objects::Entry* guardEntry(Table& t, HandleValue handle, std::atomic<objects::Entry*>& hazard) {
    auto raw = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
    uint64_t low = (raw & 0xFFFFFFFF) >> 2;
    auto generation = static_cast<uint32_t>((raw >> 32) & 0x3FFFFFFF);
    if ((raw & 3) != 0 || low == 0 || low > (1u << 30) || generation == 0)
        return nullptr;
    const Slot* slot = t.slots.find(static_cast<uint32_t>(low - 1));
    if (slot == nullptr || slot->generation.load() != generation)
        return nullptr;
    objects::Entry* entry = slot->entry.load();
    if (entry == nullptr)
        return nullptr;
    hazard.store(entry, std::memory_order_relaxed);
    if (g_asymmetricFences.load(std::memory_order_relaxed))
        std::atomic_signal_fence(std::memory_order_seq_cst);
    else
        std::atomic_thread_fence(std::memory_order_seq_cst);
    // Still live once the hazard is published: whoever lets the entry go will see the hazard.
    if (slot->generation.load() == generation && slot->entry.load() == entry)
        return entry;
    hazard.store(nullptr, std::memory_order_release);
    return nullptr;
}

// Called by the thread that brought an entry's references to zero, without the table's mutex:
// returns once no other thread's hazard names the entry. A pinning thread that published its
// hazard before the barrier is seen here; one that publishes it later sees the handle's slot
// already cleared and takes the hazard back.
void waitUntilUnguarded(Table& t, objects::Entry* entry) {
    PinRecord* mine = t_pinRecord;
    if (t.takenPinRecords.load() <= (mine != nullptr ? 1u : 0u))
        return;  // no other thread pins: a thread that starts to sees the slot cleared
    if (!g_asymmetricFences.load(std::memory_order_relaxed) ||
        ::syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) != 0)
        std::atomic_thread_fence(std::memory_order_seq_cst);
    for (PinRecord* record = t.pinRecords.load(std::memory_order_acquire); record != nullptr;
         record = record->next) {
        if (record == mine)
            continue;
        for (auto& hazard : record->hazards) {
            while (hazard.load(std::memory_order_acquire) == entry)
                ::sched_yield();  // pins are held for a few instructions, never across a sleep
        }
    }
}

// This thread's pin record, taken or made on its first pin.
PinRecord* pinRecord(Table& t) {
    if (t_pinRecord != nullptr)
        return t_pinRecord;
    std::lock_guard lock(t.mutex);
    PinRecord* record = nullptr;
    for (PinRecord* r = t.pinRecords.load(); r != nullptr && record == nullptr; r = r->next) {
        bool taken = false;
        if (r->taken.compare_exchange_strong(taken, true))
            record = r;
    }
    if (record == nullptr) {
        record = new PinRecord;
        record->next = t.pinRecords.load();
        t.pinRecords.store(record, std::memory_order_release);
    }
    t.takenPinRecords.fetch_add(1);
    ::pthread_setspecific(t.pinRecordKey, record);
    t_pinRecord = record;
    return record;
}

// Raises the references of an entry found under the table's mutex, unless they are being let go.
bool tryRef(objects::Entry* entry) {
    uint32_t refs = entry->refs.load();
    do {
        if (refs == 0 || refs >= objects::kReleasing)
            return false;
    } while (!entry->refs.compare_exchange_weak(refs, refs + 1));
    return true;
}

// A new handle for `entry`, whose reference for it the caller has raised (table mutex held).
HandleValue newHandle(Table& t, objects::Entry* entry) {
    uint32_t index;
    if (!t.freeSlots.empty()) {
        index = t.freeSlots.back();
        t.freeSlots.pop_back();
    } else {
        index = t.slotCount++;
    }
    uint32_t generation = t.nextGeneration++ & 0x3FFFFFFF;
    if (generation == 0)
        generation = t.nextGeneration++ & 0x3FFFFFFF;
    Slot& slot = t.slots.at(index);
    slot.entry.store(entry);
    slot.generation.store(generation);
    return encodeHandle(index, generation);
}

// --- Object files --------------------------------------------------------------------------

struct flock lockRange(short type) {
    struct flock range {};  // zeroed: open-file-description locks require l_pid == 0
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 1;
    return range;
}

bool takeHolderLock(int fd) {
    struct flock range = lockRange(F_RDLCK);
    return ::fcntl(fd, F_OFD_SETLK, &range) == 0;
}

bool dropHolderLock(int fd) {
    struct flock range = lockRange(F_UNLCK);
    return ::fcntl(fd, F_OFD_SETLK, &range) == 0;
}

// True when an open file description other than the caller's holds the object.
bool heldByOthers(int fd) {
    struct flock range = lockRange(F_WRLCK);
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

objects::Header* mapFile(int fd, size_t length) {
    void* address = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return address == MAP_FAILED ? nullptr : static_cast<objects::Header*>(address);
}

// The length of the mapping of an object of `kind` in a file of `fileSize` bytes: the header,
// and for a mapping the whole file. 0 when the file is too short to hold a header.
size_t mappedLengthOf(objects::Kind kind, uint64_t fileSize) {
    if (fileSize < objects::kHeaderSize || fileSize > SIZE_MAX)
        return 0;
    return kind == objects::Kind::kMapping ? static_cast<size_t>(fileSize) : objects::kHeaderSize;
}

// A cached mapping of the file (device, inode) of `length` bytes, taken out of the cache;
// nullptr when there is none (table mutex held).
objects::Header* takeCachedMapping(Table& t, uint64_t device, uint64_t inode, size_t length) {
    for (auto it = t.cachedMappings.begin(); it != t.cachedMappings.end(); ++it) {
        if (it->device != device || it->inode != inode)
            continue;
        void* address = it->address;
        bool fits = it->length == length;
        if (!fits)
            ::munmap(address, it->length);
        t.cachedMappings.erase(it);
        return fits ? static_cast<objects::Header*>(address) : nullptr;
    }
    return nullptr;
}

// Whether the mapping of an entry that is let go is worth keeping for a later open.
bool keepsMapping(const objects::Entry& entry) {
    // A mapped file names its inode for as long as the mapping lives, so the pair stays unique.
    return !entry.path.empty() && entry.inode != 0 && entry.mappedLength <= kLargestCachedMapping;
}

// Keeps the mapping of an entry that is let go for a later open of the same file (table mutex
// held).
void keepMapping(Table& t, const objects::Entry& entry) {
    if (t.cachedMappings.size() == kCachedMappings) {
        ::munmap(t.cachedMappings.front().address, t.cachedMappings.front().length);
        t.cachedMappings.erase(t.cachedMappings.begin());
    }
    t.cachedMappings.push_back({entry.device, entry.inode, entry.header, entry.mappedLength});
}

uint64_t roundToPages(uint64_t size) {
    return (size + objects::kHeaderSize - 1) / objects::kHeaderSize * objects::kHeaderSize;
}

// Sets up a new object's file: reserves its memory now (a full file system then fails the
// create instead of faulting a later access), fills in the header and the kind's state.
uint32_t initialise(int fd, std::string_view key, objects::Kind kind, uint64_t dataSize,
                    const std::function<void(objects::Header&)>& init, objects::Header** out,
                    size_t* mappedLength) {
    uint64_t total = objects::kHeaderSize + roundToPages(dataSize);
    if (total < dataSize || total > SIZE_MAX)
        return kErrNotEnoughMemory;
    int rc = ::posix_fallocate(fd, 0, static_cast<off_t>(total));
    if (rc != 0)
        return fileSystemError(rc);
    objects::Header* header = mapFile(fd, static_cast<size_t>(total));
    if (header == nullptr)
        return fileSystemError(errno);
    *mappedLength = static_cast<size_t>(total);
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
bool coversData(uint64_t fileSize, const objects::Header& header) {
    uint64_t needed = objects::kHeaderSize + roundToPages(header.dataSize);
    return needed >= header.dataSize && fileSize >= needed;
}

// Opens the ".lock" of a guarded directory: read-only, as FileWriteLock does (flock needs no
// write access); a symbolic link planted under its name is refused, never followed. Made with
// exactly `mode`, whatever the umask, so that every account that shares the directory can open it.
UniqueFd openGuardFile(int dirFd, mode_t mode) {
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW;
    for (;;) {
        UniqueFd fd(::openat(dirFd, ".lock", kFlags));
        if (fd || errno != ENOENT)
            return fd;
        fd.reset(::openat(dirFd, ".lock", kFlags | O_CREAT | O_EXCL, mode));
        if (fd) {
            ::fchmod(fd.get(), mode);
            return fd;
        }
        if (errno != EEXIST)
            return fd;
    }
}

// Opens the object directory `dir`: the one of the runtime directory, made when missing and
// checked. Only to let go of an entry made before the runtime directory changed (tests change it)
// is another one opened: it was checked when the entry was made in it, and only the entry's own
// file is removed from it.
uint32_t openObjectDirectory(const std::string& dir, bool releasing, RuntimeSubdirectory* out) {
    if (releasing && dir != runtimeDir() + "/" + kObjectDirectoryName) {
        out->fd.reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!out->fd)
            return fileSystemError(errno);
        out->path = dir;
        out->fileMode = 0600;
        return kSuccess;
    }
    uint32_t error = openRuntimeSubdirectory(kObjectDirectoryName, out);
    if (error == kSuccess && out->path != dir)
        return kErrAccessDenied;  // the runtime directory changed while the call ran
    return error;
}

// Takes the exclusive guard of `dir` (table mutex held), opening the directory and its ".lock"
// the first time.
uint32_t lockDirectory(Table& t, const std::string& dir, bool releasing) {
    DirectoryGuard& g = t.guard;
    if (!g.lockFd || g.dir != dir) {
        t.guard = {};
        RuntimeSubdirectory objects;
        if (uint32_t error = openObjectDirectory(dir, releasing, &objects); error != kSuccess)
            return error;
        UniqueFd lockFd = openGuardFile(objects.fd.get(), objects.fileMode);
        if (!lockFd)
            return fileSystemError(errno);
        g.dir = dir;
        g.dirFd = std::move(objects.fd);
        g.lockFd = std::move(lockFd);
        g.fileMode = objects.fileMode;
    }
    while (::flock(g.lockFd.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            uint32_t error = fileSystemError(errno);
            t.guard = {};
            return error;
        }
    }
    return kSuccess;
}

// Holds the guard from its first use until the end of a scope, so that a batch of creates, opens
// or last closes pays for it once (table mutex held throughout).
class DirectoryLock {
  public:
    explicit DirectoryLock(Table& t) : t_(t) {}
    ~DirectoryLock() { unlock(); }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;
    // Takes the guard of `dir` unless it is held already; kSuccess or why it could not be had.
    // `releasing`: only to remove the file of an entry that is let go (see openObjectDirectory).
    uint32_t lock(const std::string& dir, bool releasing = false) {
        if (held_ && t_.guard.dir == dir)
            return kSuccess;
        unlock();
        uint32_t error = lockDirectory(t_, dir, releasing);
        held_ = error == kSuccess;
        return error;
    }
    int dirFd() const { return t_.guard.dirFd.get(); }
    mode_t fileMode() const { return t_.guard.fileMode; }
    // The directory was removed since it was opened (another may now stand at its path): the
    // caller lets go of it and starts again.
    bool directoryGone() const {
        struct stat st {};
        return ::fstat(dirFd(), &st) == 0 && st.st_nlink == 0;
    }
    void forget() {
        unlock();
        t_.guard = {};
    }

  private:
    void unlock() {
        if (held_ && t_.guard.lockFd)
            ::flock(t_.guard.lockFd.get(), LOCK_UN);
        held_ = false;
    }
    Table& t_;
    bool held_ = false;
};

const char* baseName(const std::string& path) {
    return path.c_str() + path.rfind('/') + 1;
}

bool sameFile(int fd, int dirFd, const char* base) {
    struct stat a {
    }, b{};
    return ::fstat(fd, &a) == 0 && ::fstatat(dirFd, base, &b, AT_SYMLINK_NOFOLLOW) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Lets go of entries that no handle, view or operation uses any more (table mutex held).
void releaseEntries(Table& t, std::span<objects::Entry* const> entries) {
    DirectoryLock guard(t);
    for (objects::Entry* entry : entries) {
        if (!entry->path.empty()) {
            if (auto found = t.byPath.find(entry->path);
                found != t.byPath.end() && found->second == entry)
                t.byPath.erase(found);
            // Without the guard the file stays; the next create or open finds it stale.
            if (guard.lock(entry->path.substr(0, entry->path.rfind('/')), true) == kSuccess &&
                !heldByOthers(entry->fd) &&
                sameFile(entry->fd, guard.dirFd(), baseName(entry->path)))
                ::unlinkat(guard.dirFd(), baseName(entry->path), 0);
        }
        // The kernel walks a thread's robust mutexes when it ends and marks them abandoned
        // there; a mutex still owned by a thread of this process must stay mapped for that.
        bool unmap = entry->owned.load() == 0;
        // A mapping holds its open file description, and so the holder lock, as long as it
        // lives: one that is kept lets go of the lock first.
        bool keep = unmap && keepsMapping(*entry) && dropHolderLock(entry->fd);
        fileOps().close(entry->fd);
        if (keep)
            keepMapping(t, *entry);
        else if (unmap)
            ::munmap(entry->header, entry->mappedLength);
        entry->path.clear();
        entry->fd = -1;
        entry->header = nullptr;
        entry->mappedLength = 0;
        entry->owned.store(0);
        t.freeEntries.push_back(entry);
    }
}

// A blank entry (table mutex held).
objects::Entry* newEntry(Table& t) {
    if (t.freeEntries.empty())
        return new objects::Entry;
    objects::Entry* entry = t.freeEntries.back();
    t.freeEntries.pop_back();
    entry->refs.store(0);
    return entry;
}

// Drops one reference of each entry, and lets go of those whose last reference it was. Never
// called with the table's mutex held: it may wait for other threads' pins, and a pinning thread
// may take the mutex.
void unref(Table& t, std::span<objects::Entry* const> entries) {
    objects::Entry* last[kMaximumWaitObjects];
    size_t count = 0;
    for (objects::Entry* entry : entries) {
        if (entry->refs.fetch_sub(1) != 1)
            continue;
        waitUntilUnguarded(t, entry);
        uint32_t zero = 0;
        // Raised again meanwhile by a pin turned into a reference: its drop lets the entry go.
        if (entry->refs.compare_exchange_strong(zero, objects::kReleasing))
            last[count++] = entry;
    }
    if (count == 0)
        return;
    std::lock_guard lock(t.mutex);
    releaseEntries(t, {last, count});
}

void unref(Table& t, objects::Entry* entry) {
    unref(t, std::span<objects::Entry* const>(&entry, 1));
}

// What openUnderGuard hands over: the file with this process's holder lock, and its mapping.
struct OpenedFile {
    UniqueFd fd;
    objects::Header* header = nullptr;
    size_t mappedLength = 0;
    uint64_t device = 0, inode = 0;
    bool existed = false;
};

// Opens the object file `base` of the guard's directory, or creates it (table mutex and guard
// held).
uint32_t openUnderGuard(Table& t, int dirFd, mode_t fileMode, const char* base,
                        std::string_view key, objects::Kind kind, bool create, uint64_t dataSize,
                        const std::function<void(objects::Header&)>& init, OpenedFile* out) {
    UniqueFd& fd = out->fd;
    fd.reset(::openat(dirFd, base, O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    if (!fd && errno != ENOENT)
        return fileSystemError(errno);
    if (fd && heldByOthers(fd.get())) {
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0)
            return fileSystemError(errno);
        auto fileSize = static_cast<uint64_t>(st.st_size);
        size_t length = mappedLengthOf(kind, fileSize);
        if (length == 0)
            return kErrInvalidHandle;  // too short for a header: not an object of ours
        objects::Header* mapped = takeCachedMapping(t, st.st_dev, st.st_ino, length);
        if (mapped == nullptr && (mapped = mapFile(fd.get(), length)) == nullptr)
            return fileSystemError(errno);
        uint32_t error = checkHeader(*mapped, key, kind);
        if (error == kSuccess && kind == objects::Kind::kMapping && !coversData(fileSize, *mapped))
            error = kErrInvalidHandle;
        if (error == kSuccess && !takeHolderLock(fd.get()))
            error = fileSystemError(errno);
        if (error != kSuccess) {
            ::munmap(mapped, length);
            return error;
        }
        out->header = mapped;
        out->mappedLength = length;
        out->device = st.st_dev;
        out->inode = st.st_ino;
        out->existed = true;
        return kSuccess;
    }
    if (fd) {
        // Stale: every holder is gone, or its creator died while setting it up.
        ::unlinkat(dirFd, base, 0);
        fd.reset();
    }
    if (!create)
        return kErrFileNotFound;
    fd.reset(::openat(dirFd, base, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, fileMode));
    if (!fd)
        return errno == ENOENT ? kErrFileNotFound : fileSystemError(errno);
    ::fchmod(fd.get(), fileMode);  // the umask must not keep the group out of a shared directory
    // Held before it is set up, so that a creator dying half way leaves a stale file.
    uint32_t error = takeHolderLock(fd.get()) ? kSuccess : fileSystemError(errno);
    if (error == kSuccess)
        error = initialise(fd.get(), key, kind, dataSize, init, &out->header, &out->mappedLength);
    if (error != kSuccess) {
        ::unlinkat(dirFd, base, 0);
        fd.reset();
        return error;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) == 0) {  // else its mapping is not kept when it is let go
        out->device = st.st_dev;
        out->inode = st.st_ino;
    }
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
    size_t mappedLength = 0;
    uint32_t error = initialise(fd.get(), {}, kind, dataSize, init, &header, &mappedLength);
    if (error != kSuccess)
        return fail(error);
    Table& t = table();
    std::lock_guard lock(t.mutex);
    objects::Entry* entry = newEntry(t);
    entry->kind = kind;
    entry->fd = fd.release();
    entry->header = header;
    entry->mappedLength = mappedLength;
    entry->device = 0;
    entry->inode = 0;
    entry->refs.store(1);
    HandleValue handle = newHandle(t, entry);
    setLastError(kSuccess);
    return handle;
}

}  // namespace

std::string objectDirectory() {
    return runtimeDir() + "/" + kObjectDirectoryName;
}

std::string objectFileName(std::string_view name) {
    if (name.empty() || nameLength(name) > kMaxObjectNameLength)
        return {};
    return encodeName(withoutPrefix(name));
}

namespace objects {}  // namespace objects

namespace {

// acquire() with the table's mutex held, taking `guard` when the directory must be looked at.
HandleValue acquireLocked(Table& t, DirectoryLock& guard, std::string_view name, objects::Kind kind,
                          bool create, uint64_t dataSize,
                          const std::function<void(objects::Header&)>& init) {
    if (name.empty())
        return fail(kErrFileNotFound);
    if (nameLength(name) > kMaxObjectNameLength)
        return fail(kErrFilenameTooLong);
    std::string_view key = withoutPrefix(name);
    std::string runtime;
    if (uint32_t error = checkedRuntimeDir(&runtime); error != kSuccess)
        return fail(error);
    std::string dir = runtime + "/" + kObjectDirectoryName;
    std::string path = dir + "/" + encodeName(key);

    if (auto found = t.byPath.find(path); found != t.byPath.end()) {
        objects::Entry* entry = found->second;
        // A listed entry keeps its header mapped: it is let go under the mutex, unlisted first.
        uint32_t error = checkHeader(*entry->header, key, kind);
        uint32_t refs = entry->refs.load();
        if (error != kSuccess && refs != 0 && refs < objects::kReleasing)
            return fail(error);
        if (error == kSuccess && tryRef(entry)) {
            HandleValue handle = newHandle(t, entry);
            if (create)
                setLastError(kErrAlreadyExists);
            return handle;
        }
        // Its last reference is being dropped by another thread, which lets it go once it has
        // the table: this open takes a descriptor of its own.
        t.byPath.erase(found);
    }

    for (int attempt = 0;; ++attempt) {
        if (uint32_t error = guard.lock(dir); error != kSuccess)
            return fail(error);
        OpenedFile opened;
        uint32_t error = openUnderGuard(t, guard.dirFd(), guard.fileMode(), baseName(path), key,
                                        kind, create, dataSize, init, &opened);
        if (error == kErrFileNotFound && attempt == 0 && guard.directoryGone()) {
            guard.forget();
            continue;
        }
        if (error != kSuccess)
            return fail(error);
        objects::Entry* entry = newEntry(t);
        entry->kind = kind;
        entry->path = path;
        entry->fd = opened.fd.release();
        entry->header = opened.header;
        entry->mappedLength = opened.mappedLength;
        entry->device = opened.device;
        entry->inode = opened.inode;
        entry->refs.store(1);
        t.byPath.emplace(path, entry);
        HandleValue handle = newHandle(t, entry);
        if (create)
            setLastError(opened.existed ? kErrAlreadyExists : kSuccess);
        return handle;
    }
}

}  // namespace

namespace objects {

HandleValue acquire(std::string_view name, Kind kind, bool create, uint64_t dataSize,
                    const std::function<void(Header&)>& init) {
    if (name.empty() && create)
        return acquireUnnamed(kind, dataSize, init);
    Table& t = table();
    std::lock_guard lock(t.mutex);
    DirectoryLock guard(t);
    return acquireLocked(t, guard, name, kind, create, dataSize, init);
}

size_t acquireMany(std::span<const ObjectName> names, std::span<Handle> handles) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    DirectoryLock guard(t);
    size_t opened = 0;
    for (; opened < names.size() && opened < handles.size(); ++opened) {
        Kind kind = names[opened].type == ObjectType::kMutex   ? Kind::kMutex
                    : names[opened].type == ObjectType::kEvent ? Kind::kEvent
                                                               : Kind::kMapping;
        HandleValue handle = acquireLocked(t, guard, names[opened].name, kind, false, 0, {});
        if (handle == nullptr)
            break;
        handles[opened].reset(handle);
    }
    return opened;
}

bool closeHandles(std::span<const HandleValue> handles) {
    Table& t = table();
    bool allValid = true;
    while (!handles.empty()) {
        Entry* entries[kMaximumWaitObjects];
        size_t count = 0;
        size_t taken = std::min(handles.size(), kMaximumWaitObjects);
        {
            std::lock_guard lock(t.mutex);
            for (HandleValue handle : handles.first(taken)) {
                if (handle == nullptr)
                    continue;
                uint32_t index = 0;
                Entry* entry = lookup(t, handle, &index);
                if (entry == nullptr) {
                    allValid = false;
                    continue;
                }
                Slot& slot = t.slots.at(index);
                slot.generation.store(0);
                slot.entry.store(nullptr);
                t.freeSlots.push_back(index);
                entries[count++] = entry;
            }
        }
        unref(t, {entries, count});
        handles = handles.subspan(taken);
    }
    if (!allValid)
        setLastError(kErrInvalidHandle);
    return allValid;
}

HandleValue duplicate(HandleValue handle) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    Entry* entry = lookup(t, handle);
    if (entry == nullptr)
        return fail(kErrInvalidHandle);
    entry->refs.fetch_add(1);  // the live handle's own reference keeps it above zero
    return newHandle(t, entry);
}

Pins::~Pins() {
    if (record_ != nullptr) {
        for (size_t i = 0; i < count_; ++i) {
            if ((counted_ >> i & 1) == 0)
                record_->hazards[i].store(nullptr, std::memory_order_release);
        }
        record_->active = false;
    }
    if (counted_ == 0)
        return;
    Table& t = table();
    for (size_t i = 0; i < count_; ++i) {
        if ((counted_ >> i & 1) != 0)
            unref(t, entries_[i]);
    }
}

bool Pins::pin(std::span<const HandleValue> handles, unsigned kinds) {
    if (handles.empty() || handles.size() > kMaximumWaitObjects) {
        setLastError(kErrInvalidParameter);
        return false;
    }
    Table& t = table();
    if (PinRecord* record = pinRecord(t); !record->active) {
        record->active = true;
        record_ = record;
    }
    for (HandleValue handle : handles) {
        size_t i = count_;
        Entry* entry = record_ != nullptr ? guardEntry(t, handle, record_->hazards[i]) : nullptr;
        if (entry == nullptr) {
            // A bad handle, a slot changing under us, or a nested Pins: decided under the mutex.
            std::lock_guard lock(t.mutex);
            entry = lookup(t, handle);
            if (entry != nullptr) {
                entry->refs.fetch_add(1);
                counted_ |= uint64_t{1} << i;
            }
        }
        if (entry == nullptr) {
            setLastError(kErrInvalidHandle);
            return false;  // the destructor unpins what was pinned
        }
        entries_[count_++] = entry;
        if ((kindBit(entry->kind) & kinds) == 0) {
            setLastError(kErrInvalidHandle);
            return false;
        }
    }
    return true;
}

void Pins::hold() {
    for (size_t i = 0; i < count_; ++i) {
        if ((counted_ >> i & 1) != 0)
            continue;
        // The hazard keeps the entry from being let go while the reference is raised.
        entries_[i]->refs.fetch_add(1);
        counted_ |= uint64_t{1} << i;
        record_->hazards[i].store(nullptr, std::memory_order_release);
    }
}

void addView(void* address, size_t length, Entry& entry) {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    t.views.emplace(address, View{&entry, length, false});
    entry.refs.fetch_add(1);
}

void* addSharedView(Entry& entry, uint64_t offset, size_t length) {
    if (kHeaderSize + offset + length > entry.mappedLength)
        return nullptr;
    void* address = reinterpret_cast<char*>(entry.header) + kHeaderSize + offset;
    Table& t = table();
    std::lock_guard lock(t.mutex);
    if (!t.views.emplace(address, View{&entry, length, true}).second)
        return nullptr;
    entry.refs.fetch_add(1);
    return address;
}

bool removeView(const void* address) {
    Table& t = table();
    std::unique_lock lock(t.mutex);
    auto found = t.views.find(address);
    if (found == t.views.end()) {
        setLastError(kErrInvalidAddress);
        return false;
    }
    View view = found->second;
    t.views.erase(found);
    if (!view.shared)
        ::munmap(const_cast<void*>(address), view.length);
    lock.unlock();
    unref(t, view.entry);
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
        closeHandle(value_);
    value_ = value;
}

bool closeHandle(HandleValue handle) {
    if (handle == nullptr) {
        setLastError(kErrInvalidHandle);
        return false;
    }
    return objects::closeHandles({&handle, 1});
}

bool closeHandles(std::span<const HandleValue> handles) {
    return objects::closeHandles(handles);
}

size_t openObjects(std::span<const ObjectName> names, std::span<Handle> handles) {
    return objects::acquireMany(names, handles);
}

Handle duplicateHandle(HandleValue handle) {
    return Handle(objects::duplicate(handle));
}

}  // namespace nvl::sys
