// NvlMapBuffer on the platform layer's named objects. The region's layout and its checks are
// in ring_layout.h; the class's promises are in <cgishare/map_buffer.h>.
//
// A mutex whose owner died holding it is reported (-1, as any mutex that was not had) and then
// given back at once: left owned, it would shut every other process out of the ring until
// this object is freed, which for the receiver is the end of the service. Giving it back is
// safe because no holder can leave the header half changed (ring_layout.h), only a slot half
// written that the header does not count.
#include <cgishare/map_buffer.h>
#include <cgishare/trace.h>

#include <array>
#include <cstdio>

#include "platform/named_object.h"
#include "service/ring_layout.h"
#include "trace/trace_sources.h"

namespace {

namespace sys = nvl::sys;

constexpr int kTraceLevel = 8;

// Status of GetBuffer and SetBuffer for a ring operation's result.
int statusOf(nvl::service::RingResult result) {
    switch (result) {
        case nvl::service::RingResult::kOk:
            return NvlMapBuffer::kOk;
        case nvl::service::RingResult::kEmpty:
            return NvlMapBuffer::kEmpty;
        case nvl::service::RingResult::kFull:
            return NvlMapBuffer::kFull;
        case nvl::service::RingResult::kBadRegion:
            break;
    }
    return NvlMapBuffer::kBadRegion;
}

// Takes the mutex for GetBuffer and SetBuffer; true when it is owned and may be used. A free
// mutex is taken without reading the clock for a deadline.
bool takeMutex(void* mutex, uint32_t* result) {
    *result = sys::waitForSingleObject(mutex, 0);
    if (*result == sys::kWaitTimeout)
        *result = sys::waitForSingleObject(mutex, NvlMapBuffer::kMutexTimeoutMs);
    if (*result == sys::kWaitAbandoned0)
        sys::releaseMutex(mutex);
    return *result == sys::kWaitObject0;
}

}  // namespace

NvlMapBuffer::NvlMapBuffer(const char* name, long size)
    : event(nullptr),
      mutex(nullptr),
      mapping(nullptr),
      view(nullptr),
      elementSize(size),
      eventName(),
      mutexName(),
      mappingName(),
      viewSize(0) {
    const char* base = name != nullptr ? name : "";
    std::snprintf(mappingName, sizeof mappingName, "%s_Map", base);
    std::snprintf(mutexName, sizeof mutexName, "%s_Mutex", base);
    std::snprintf(eventName, sizeof eventName, "%s_Event", base);
}

NvlMapBuffer::~NvlMapBuffer() {
    FreeMapFile();
}

int NvlMapBuffer::CreateMapFile(int count) {
    FreeMapFile();  // handles of an earlier attach would otherwise be lost
    uint64_t size = nvl::service::ringRegionSize(elementSize, count);
    // The objects are open to every local account by construction (the object directory's
    // permissions), so there are no access rights to set up and kNoSecurity cannot occur.

    sys::Handle newEvent = sys::createEvent(eventName, false, false);
    if (!newEvent)
        return kNoEvent;
    event = newEvent.release();

    sys::Handle newMutex = sys::createMutex(mutexName, false);
    if (!newMutex)
        return kNoMutex;
    mutex = newMutex.release();

    sys::Handle newMapping;
    if (size != 0)
        newMapping = sys::createFileMapping(mappingName, size);
    // A region that already exists keeps its size; one of another size is not this ring.
    if (!newMapping || sys::fileMappingSize(newMapping.get()) != size) {
        sys::closeHandle(mutex);
        mutex = nullptr;
        return kCreateMappingFailed;
    }
    mapping = newMapping.release();

    sys::MappedView newView = sys::mapViewOfFile(mapping, sys::kFileMapAllAccess, 0, 0);
    if (!newView)
        return kCreateViewFailed;
    viewSize = newView.size();
    view = newView.release();

    // An abandoned mutex is owned all the same, and the region is being set up afresh.
    uint32_t wait = sys::waitForSingleObject(mutex, sys::kInfinite);
    if (wait != sys::kWaitObject0 && wait != sys::kWaitAbandoned0)
        return kNoMutex;
    nvl::service::initRing(view, viewSize, count);
    sys::releaseMutex(mutex);
    return kOk;
}

int NvlMapBuffer::OpenMapFile() {
    FreeMapFile();
    // One hold of the object directory for the three: a sender opens them for every record.
    const sys::ObjectName names[] = {{sys::ObjectType::kEvent, eventName},
                                     {sys::ObjectType::kMutex, mutexName},
                                     {sys::ObjectType::kFileMapping, mappingName}};
    sys::Handle opened[3];
    size_t count = sys::openObjects(names, opened);
    event = opened[0].release();
    mutex = opened[1].release();
    mapping = opened[2].release();
    if (count < 3)
        return count == 0 ? kNoEvent : count == 1 ? kNoMutex : kOpenMappingFailed;

    sys::MappedView openedView = sys::mapViewOfFile(mapping, sys::kFileMapAllAccess, 0, 0);
    if (!openedView)
        return kOpenViewFailed;
    viewSize = openedView.size();
    view = openedView.release();
    return kOk;
}

void NvlMapBuffer::FreeMapFile() {
    if (mutex != nullptr)
        sys::releaseMutex(mutex);  // refused, and harmless, when this thread does not own it
    if (view != nullptr) {
        sys::unmapViewOfFile(view);
        view = nullptr;
        viewSize = 0;
    }
    // Closed together: objects whose last handles these were go under one directory hold.
    const sys::HandleValue handles[] = {event, mutex, mapping};
    sys::closeHandles(handles);
    event = nullptr;
    mutex = nullptr;
    mapping = nullptr;
}

void NvlMapBuffer::WaitRequest() {
    if (event != nullptr)
        sys::waitForSingleObject(event, sys::kInfinite);
}

unsigned long NvlMapBuffer::WaitRequestEx(unsigned long count, void* const* handles) {
    if (event == nullptr || count >= sys::kMaximumWaitObjects || (count > 0 && handles == nullptr))
        return kWaitFailed;
    std::array<sys::HandleValue, sys::kMaximumWaitObjects> all{};
    for (unsigned long i = 0; i < count; ++i)
        all[i] = handles[i];
    all[count] = event;
    return sys::waitForMultipleObjects({all.data(), count + 1}, sys::kInfinite);
}

void NvlMapBuffer::SendRequest() {
    if (event != nullptr)
        sys::setEvent(event);
}

int NvlMapBuffer::GetBuffer(void* record) {
    if (mutex == nullptr || view == nullptr)
        return kMutexFailed;
    if (viewSize < nvl::service::kRingHeaderBytes)
        return kBadRegion;
    // A look without the mutex: an empty ring costs the receiver no lock. A record being
    // added meanwhile is announced by the event after it is in.
    if (nvl::service::peekRingCount(view) < 1)
        return kEmpty;

    uint32_t wait;
    if (!takeMutex(mutex, &wait))
        return kMutexFailed;
    // Checked again under the mutex: the count may have been reset by a new CreateMapFile.
    int status = statusOf(nvl::service::takeOldestRecord(view, viewSize, elementSize, record));
    sys::releaseMutex(mutex);
    return status;
}

int NvlMapBuffer::SetBuffer(const void* record) {
    uint32_t wait = sys::kWaitFailed;
    bool owned = mutex != nullptr && view != nullptr && takeMutex(mutex, &wait);
    int status = kMutexFailed;
    if (owned) {
        status = statusOf(nvl::service::appendRecord(view, viewSize, elementSize, record));
        sys::releaseMutex(mutex);
    }
    // Traced once the mutex is given back: a trace may wait for the log server, and every
    // other sender and the receiver would wait with it.
    DebugTraceA(kTraceLevel, nvl::trace::kMapBufferSource, __LINE__,
                "[NvlMapBuffer::SetBuffer] err of WaitForSingleObject()=%d",
                static_cast<int>(wait));
    if (owned) {
        DebugTraceA(kTraceLevel, nvl::trace::kMapBufferSource, __LINE__,
                    "[NvlMapBuffer::SetBuffer] End - status=%d", status);
    }
    return status;
}

int NvlMapBuffer::SendBuffer(const void* record) {
    int status = OpenMapFile();
    DebugTraceA(kTraceLevel, nvl::trace::kMapBufferSource, __LINE__,
                "[NvlMapBuffer::SendBuffer] status of OpenMapFile()=%d", status);
    if (status == kOk) {
        status = SetBuffer(record);
        DebugTraceA(kTraceLevel, nvl::trace::kMapBufferSource, __LINE__,
                    "[NvlMapBuffer::SendBuffer] status of SetBuffer()=%d", status);
        if (status == kOk)
            SendRequest();
    }
    FreeMapFile();
    return status;
}
