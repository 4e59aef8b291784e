// Named kernel objects: mutexes, events, waits on several objects, and page-file backed file
// mappings, shared by unrelated processes (short-lived CGI programs and long-running services)
// and by the threads of each process.
//
// What callers can rely on
//   Mutex    owned by a thread, recursively (n waits need n releases). A release by a thread
//            that does not own it fails with kErrNotOwner and changes nothing. When the owning
//            thread ends or its process dies in any way (SIGKILL included) while owning it, the
//            mutex is abandoned: exactly one later or already blocked waiter gets
//            kWaitAbandoned0 + i, owns the mutex (count 1) and should check the data it guards;
//            the acquirers after it get kWaitObject0 again.
//   Event    auto-reset (a set releases one waiter and is consumed by it) or manual-reset (a
//            set releases every thread waiting at that moment, even if a reset follows at
//            once, and stays set until reset).
//   Waits    waitForSingleObject / waitForMultipleObjects (wait for any one) take milliseconds
//            or kInfinite and measure them on the monotonic clock, so a change of the wall
//            clock neither stretches nor shortens them. When several objects are signalled,
//            the lowest index wins and only that object is consumed (an auto-reset event
//            reset, a mutex acquired); a manual-reset stop event at index 0 therefore always
//            outranks pending requests behind it.
//   Mapping  page-file backed shared memory of the size given at creation, zero-filled. Views
//            count as references: a view keeps the object alive after its handle is closed.
//   Lifetime an object lives while any process holds a handle to it (or a view of a mapping);
//            when the last holder closes or dies, the name disappears, and an open fails with
//            kErrFileNotFound. So "the service's event can be opened" means "the service is
//            alive", also after a crash. Creating an existing object opens it: the handle is
//            returned with lastError() == kErrAlreadyExists, and the creation parameters
//            (initial owner, reset mode, initial state, size) are ignored.
//
// Names
//   One namespace for all kinds, as on the original platform: a name held by another kind
//   gives kErrInvalidHandle. Names are byte strings (UTF-8 for text beyond ASCII), compared
//   exactly (case matters), at most kMaxObjectNameLength characters (kErrFilenameTooLong). Any
//   character is allowed, spaces and backslashes included. A leading "Global\" or "Local\" is
//   dropped: every process of the server runs as a service, where both prefixes reach the one
//   global namespace, so "X", "Global\X" and "Local\X" are one object. An empty name makes an
//   unnamed object, which only its handles reach (it cannot be opened).
//
// Design
//   Each named object is one file in <runtime dir>/objects: a 4 KiB header (kind, name, and
//   the kind's state: a process-shared, robust, recursive pthread mutex, or one 32-bit futex
//   word for an event) followed, for a mapping, by its data pages. The directory should be
//   tmpfs, as /run is, so that mappings live in memory like the page file. The file name
//   is "n." + the name with every byte outside [A-Za-z0-9_-] (and a leading '.') written as
//   %XX; when that is longer than 200 bytes, "h." + a 128-bit SipHash of the name in hex. The
//   full name is kept in the header and compared on open.
//
//   Lifetime protocol: an object exists exactly while its file exists and some process holds
//   an open-file-description read lock on its first byte. Each process holds one descriptor and
//   one lock per object, however many handles and views it has. The kernel drops the lock when
//   the last reference to the open file description goes (its descriptor and every mapping made
//   through it), also when the process dies, so nothing about liveness is kept in shared memory.
//   Create, open and the last close in a process run under an exclusive flock of "<dir>/.lock"
//   (held for a few system calls, never across a wait; each process keeps the directory and that
//   file open and finds object files relative to the same directory): an open finds a file that
//   nobody holds stale (its holders died, or its creator died while setting it up) and removes
//   it; a create replaces it with a fresh file (never reusing it in place); the last holder
//   removes the file. The creator takes its lock before it initialises, so a creator that dies
//   half way leaves a stale file, never a half-made live object. openObjects and closeHandles
//   do this for several objects under one hold of the flock; nothing else changes.
//
//   Each process maps an object's file once: the header, and for a mapping the whole file, whose
//   shared read-write views are parts of that mapping (other views are mappings of their own).
//   When a process lets an object go it may keep that mapping (at most 8, each at most 1 MiB) for
//   a later open, so that a program opening and closing the same objects per request maps nothing
//   again. A kept mapping would keep the holder lock alive with its open file description, so the
//   lock is dropped before the descriptor is closed. An open still takes the flock, its own
//   descriptor and lock and looks for other holders as above; only then does it ask which file it
//   got (device and inode, which no other file can have while a mapping of this one lives) and use
//   the kept mapping of that very file instead of mapping it. Liveness therefore never depends on
//   the cache: a kept mapping of a removed file is memory no open can reach again.
//
//   Events carry no waiter bookkeeping in shared memory that correctness depends on: bit 0 of
//   the word is the state and bits 1-31 count the sets, so a waiter killed at any instant
//   leaves nothing behind. A set wakes every waiter and an auto-reset event is consumed by a
//   compare-and-swap, so exactly one waiter wins. A count of sleeping waiters beside the word
//   only lets a set with nobody asleep skip the wake-up system call; a waiter killed asleep
//   leaves it raised, which costs that call and nothing else. A wait on events that finds none
//   set spins a few microseconds on their words before it sleeps, so that a set arriving in that
//   time costs neither side a system call. A wait on several events sleeps in futex_waitv
//   (Linux 5.16) and rescans from index 0 after every wake-up. Robust mutexes cannot take part in
//   futex_waitv, so a wait on several objects that include a mutex (or any multi-object wait on a
//   kernel without futex_waitv) polls in slices of up to 10 ms: correct, not fast. Single waits
//   always sleep in the kernel.
//
//   Handles are numbers (a slot and a generation, so a stale handle is refused rather than
//   taken for a newer one), looked up in this process's table without a lock. An operation pins
//   its objects for its duration with hazard pointers: it writes the entry to a slot of its
//   thread's record and checks the handle again, with no atomic read-modify-write and no fence
//   (a compiler barrier only). The thread whose drop of the last reference (handle or view)
//   lets an entry go first makes every thread of the process pass a full barrier (membarrier,
//   or a fence on both sides where the kernel lacks it; skipped when no other thread has ever
//   pinned) and then waits until no record names the entry: a pinning thread either published
//   its hazard before that barrier, and is waited for, or checks the handle after it and finds
//   its slot cleared. A pin lasts a few instructions; a wait that is about to sleep first turns
//   its pins into counted references, so closing a handle in one thread while another waits on
//   it is safe. A reference raised from zero under a hazard keeps the entry: it is let go only
//   by whoever swaps a zero count for "releasing". Only creating, opening and closing handles
//   take the table's mutex, and nobody waits for pins while holding it.
//   Handle values are not inherited: after fork() the child starts with an empty table (its copies
//   of the parent's handles are invalid, views stay mapped as plain memory) and must open what it
//   needs by name; every descriptor is close-on-exec.
//
// Errors: every call that fails returns an empty Handle / false / kWaitFailed and sets
// lastError() to a code of error.h: kErrFileNotFound (no such object), kErrInvalidHandle (bad
// handle, wrong kind, or a name held by another kind), kErrFilenameTooLong, kErrAccessDenied,
// kErrNotEnoughMemory (the object file system is full), kErrTooManyOpenFiles, kErrNotOwner,
// kErrInvalidParameter, kErrMappedAlignment, kErrInvalidAddress. createMutex, createEvent and
// createFileMapping set lastError() on success too (kSuccess or kErrAlreadyExists); the other
// calls leave it alone on success.
//
// Who may use them: the server's own accounts only. The object directory and its files are the
// owner's alone (0700, files and ".lock" 0600), or its group's in a group-shared runtime
// directory (2770, 0660); the runtime directory itself is checked first (paths.h). When it or the
// object directory fails the checks, every call that names an object fails with
// kErrAccessDenied. The directory is not sticky, even when shared: one account must be able to
// remove a stale object that another one left.
//
// Unlike the original: handles carry every access right (the access masks of the original's
// open calls are not asked for); there are no security descriptors, and where a null DACL let
// every local account in, only the server's accounts get in here (on a shared host another
// account could otherwise take the server's objects over); there is no wait for all objects, no
// PulseEvent, no semaphore. A process that closes its last handle of a mutex it still owns keeps
// the mutex's page mapped until it exits, so that the kernel can still mark the mutex abandoned
// when the owning thread ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace nvl::sys {

constexpr uint32_t kInfinite = 0xFFFFFFFF;
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitAbandoned0 = 0x80;
constexpr uint32_t kWaitTimeout = 0x102;
constexpr uint32_t kWaitFailed = 0xFFFFFFFF;
constexpr size_t kMaximumWaitObjects = 64;
constexpr size_t kMaxObjectNameLength = 260;
// Views of a mapping start at multiples of this (the original's allocation granularity).
constexpr uint64_t kAllocationGranularity = 65536;

// View access, with the original's values.
enum MapAccess : uint32_t {
    kFileMapCopy = 0x1,  // a private copy-on-write view
    kFileMapWrite = 0x2,
    kFileMapRead = 0x4,
    kFileMapAllAccess = 0xF001F,
};

// The value of a handle, as the original's HANDLE: nullptr is no handle. Code that must keep
// raw handles (in exported classes, or in an array for waitForMultipleObjects) uses this.
using HandleValue = void*;

// Owns one handle; closes it when destroyed.
class Handle {
  public:
    Handle() = default;
    explicit Handle(HandleValue value) : value_(value) {}
    Handle(Handle&& other) noexcept : value_(other.release()) {}
    Handle& operator=(Handle&& other) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }

    HandleValue get() const { return value_; }
    explicit operator bool() const { return value_ != nullptr; }
    HandleValue release();
    void reset(HandleValue value = nullptr);

  private:
    HandleValue value_ = nullptr;
};

bool closeHandle(HandleValue handle);
// A second handle to the same object.
Handle duplicateHandle(HandleValue handle);

// --- Mutexes -------------------------------------------------------------------------------
// `initialOwner` makes the calling thread the owner, only when this call created the mutex.
Handle createMutex(std::string_view name, bool initialOwner);
Handle openMutex(std::string_view name);
bool releaseMutex(HandleValue mutex);

// --- Events --------------------------------------------------------------------------------
Handle createEvent(std::string_view name, bool manualReset, bool initiallySet);
Handle openEvent(std::string_view name);
bool setEvent(HandleValue event);
bool resetEvent(HandleValue event);

// --- Waits ---------------------------------------------------------------------------------
// On a mutex or an event. kWaitObject0, kWaitAbandoned0 (mutex), kWaitTimeout or kWaitFailed.
uint32_t waitForSingleObject(HandleValue object, uint32_t milliseconds);
// Waits until any one of 1 to kMaximumWaitObjects objects is signalled. kWaitObject0 + i,
// kWaitAbandoned0 + i, kWaitTimeout or kWaitFailed, i being the lowest signalled index.
uint32_t waitForMultipleObjects(std::span<const HandleValue> objects, uint32_t milliseconds);

// --- File mappings -------------------------------------------------------------------------
// Page-file backed memory of `size` bytes (kErrInvalidParameter when 0).
Handle createFileMapping(std::string_view name, uint64_t size);
Handle openFileMapping(std::string_view name);
// The size given when the mapping was created, 0 with kErrInvalidHandle for a bad handle.
uint64_t fileMappingSize(HandleValue mapping);

// Owns one view; unmaps it when destroyed.
class MappedView {
  public:
    MappedView() = default;
    MappedView(void* address, size_t size) : address_(address), size_(size) {}
    MappedView(MappedView&& other) noexcept;
    MappedView& operator=(MappedView&& other) noexcept;
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;
    ~MappedView() { reset(); }

    void* data() const { return address_; }
    size_t size() const { return size_; }
    explicit operator bool() const { return address_ != nullptr; }
    void* release();
    void reset();

  private:
    void* address_ = nullptr;
    size_t size_ = 0;
};

// Maps `length` bytes (0: up to the end) from `offset`, a multiple of kAllocationGranularity.
// A view reaching past the mapping's size fails with kErrAccessDenied.
MappedView mapViewOfFile(HandleValue mapping, uint32_t access, uint64_t offset, size_t length);
// Unmaps the view that starts at `address` (kErrInvalidAddress when there is none).
bool unmapViewOfFile(const void* address);

// --- Several objects at once --------------------------------------------------------------
// For a program that opens a few objects per request and closes them again: the directory's
// lock is taken once for the lot instead of once per object.
enum class ObjectType { kMutex, kEvent, kFileMapping };
struct ObjectName {
    ObjectType type;
    std::string_view name;
};
// Opens names[i] into handles[i], in order, as openMutex, openEvent or openFileMapping would.
// Stops at the first that cannot be opened (lastError() says why) and returns how many were.
size_t openObjects(std::span<const ObjectName> names, std::span<Handle> handles);
// Closes each handle as closeHandle would; nullptr values are skipped. False with
// kErrInvalidHandle when any of them was not a live handle (the others are closed all the same).
bool closeHandles(std::span<const HandleValue> handles);

// --- Diagnostics and tests -----------------------------------------------------------------
// The directory that holds the objects: <runtimeDir()>/objects.
std::string objectDirectory();
// The file name that `name` maps to in objectDirectory(); "" for an empty or too long name.
std::string objectFileName(std::string_view name);
// Makes waits on several events poll as on a kernel without futex_waitv (tests only).
void setMultiWaitPollingForTesting(bool poll);

}  // namespace nvl::sys
