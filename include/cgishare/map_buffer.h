// NvlMapBuffer: the request ring that the console's CGI programs share with the master service.
//
// A fixed number of request records lives in a named shared-memory region, guarded by a named
// mutex and announced by a named auto-reset event. Both ends use this class:
//   receiver (the master service)  NvlMapBuffer ring(base, recordSize);
//                                  ring.CreateMapFile(capacity);
//                                  loop: ring.WaitRequest() or ring.WaitRequestEx(n, handles),
//                                        then ring.GetBuffer(record) until it returns kEmpty
//   sender (a CGI program)         NvlMapBuffer(base, recordSize).SendBuffer(record)
// Both ends must use the same base name and record size. The objects are "<base>_Event",
// "<base>_Mutex" and "<base>_Map". Records are opaque blocks of the record size; the ring is
// first in, first out. The event is auto-reset and each accepted record is followed by one
// signal, so one wake-up may stand for several records: the ring, not the event, says how many
// are waiting. A sender never creates the objects, so with no receiver running SendBuffer
// fails with kNoEvent and nothing is sent; the region lives while any process holds it and is
// zeroed by the next CreateMapFile.
//
// The shared region: capacity, write index and count (signed 32-bit little-endian, at offsets
// 0, 4 and 8), then capacity slots of the record size; 12 + capacity * record size bytes.
//
// Status codes (the values are fixed: callers and logs know them by number):
//    0  kOk
//   -1  kMutexFailed     GetBuffer/SetBuffer: the mutex was not had within 30 s, or its last
//                        owner died holding it (the ring is checked and the mutex given back,
//                        so the next call proceeds), or the object is not attached
//   -2  kEmpty           GetBuffer: nothing to read
//   -3  kFull            SetBuffer: the ring is full; the record is not queued, no signal
//   -4  CreateMapFile: the mapping was not created (also: a count or record size that gives no
//       valid region, or an existing region of another size); OpenMapFile: no view
//   -5  CreateMapFile: no view; OpenMapFile: the mapping was not opened
//   -6  kNoMutex         the mutex was not created or opened
//   -7  kNoEvent         the event was not created or opened (a sender: no receiver runs)
//   -8  kNoSecurity      CreateMapFile: the objects' access rights could not be set up. The
//                        objects here are open to every local account by construction, so
//                        this code is reserved and not returned on this platform.
//   -9  kBadRegion       GetBuffer/SetBuffer: the region's header is not a ring of this record
//                        size (a peer with another record size, or a damaged header); nothing
//                        is copied and the region is left as it is
//
// Traces (level 8): SetBuffer "[NvlMapBuffer::SetBuffer] err of WaitForSingleObject()=%d" after
// every mutex wait and "[NvlMapBuffer::SetBuffer] End - status=%d"; SendBuffer the status of
// OpenMapFile and of SetBuffer. Nothing else traces.
//
// Ownership: the object holds its handles and view from CreateMapFile/OpenMapFile until
// FreeMapFile or destruction. A failed create or open keeps what it had obtained until then,
// for FreeMapFile to release. Copies (construction or assignment) copy every field, handles
// included: the two objects then share the handles, and only one of them may release them. An
// object is used by one thread at a time; each thread or request builds its own.
#pragma once

#include <cgishare/export.h>

#include <cstddef>

class CGISHARE_API NvlMapBuffer {
  public:
    static constexpr int kOk = 0;
    static constexpr int kMutexFailed = -1;
    static constexpr int kEmpty = -2;
    static constexpr int kFull = -3;
    static constexpr int kCreateMappingFailed = -4;
    static constexpr int kOpenViewFailed = -4;
    static constexpr int kCreateViewFailed = -5;
    static constexpr int kOpenMappingFailed = -5;
    static constexpr int kNoMutex = -6;
    static constexpr int kNoEvent = -7;
    static constexpr int kNoSecurity = -8;
    static constexpr int kBadRegion = -9;
    // WaitRequestEx's result when the wait could not be made.
    static constexpr unsigned long kWaitFailed = 0xFFFFFFFF;
    // Size of each object name buffer, NUL included: base names of up to 253 characters fit;
    // longer ones are cut to fit.
    static constexpr size_t kNameSize = 260;
    // How long GetBuffer and SetBuffer wait for the mutex.
    static constexpr unsigned long kMutexTimeoutMs = 30000;

    // Formats the three object names from `name` and keeps `size` as the record size. Creates
    // nothing.
    NvlMapBuffer(const char* name, long size);
    NvlMapBuffer(const NvlMapBuffer&) = default;
    NvlMapBuffer& operator=(const NvlMapBuffer&) = default;
    ~NvlMapBuffer();  // FreeMapFile()

    // Receiving end: creates (or opens, when they exist) the event, the mutex and a region of
    // `count` slots, and empties the ring. 0 or -4 to -8. Like OpenMapFile, it first frees
    // what the object held, so that no handle of an earlier attach is lost.
    int CreateMapFile(int count);
    // Sending end: opens the three objects and maps the region. 0 or -4 to -7.
    int OpenMapFile();
    // Releases whatever is held; safe on an idle object and when called twice.
    void FreeMapFile();

    // Waits without limit for the request event; returns at once when no event is held.
    void WaitRequest();
    // Waits without limit for any of `count` caller handles or the request event, which comes
    // last: returns count for a request, i < count for handles[i], the lowest index when
    // several are signalled at once (so a stop event is seen before pending requests).
    // kWaitFailed when no event is held or the wait cannot be made (more than 63 handles).
    unsigned long WaitRequestEx(unsigned long count, void* const* handles);
    // Signals the request event; nothing when no event is held.
    void SendRequest();

    // Copies the oldest record (record size bytes) into `record` and removes it. 0, -1, -2, -9.
    int GetBuffer(void* record);
    // Appends record size bytes from `record`. 0, -1, -3, -9.
    int SetBuffer(const void* record);
    // OpenMapFile, SetBuffer, SendRequest and FreeMapFile: the first failure's code, or 0. The
    // object is idle afterwards.
    int SendBuffer(const void* record);

    void* event;    // the request event, or null
    void* mutex;    // the mutex that guards the region, or null
    void* mapping;  // the file mapping, or null
    void* view;     // the mapped region, or null
    long elementSize;
    char eventName[kNameSize];    // base + "_Event"
    char mutexName[kNameSize];    // base + "_Mutex"
    char mappingName[kNameSize];  // base + "_Map"
    size_t viewSize;              // bytes mapped at `view`, to check the region's header with
};
