// File mappings and their views, of named_object.h.
#include <sys/mman.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/named_object.h"
#include "platform/object_table.h"

namespace nvl::sys {

namespace {

using objects::Kind;

bool pinMapping(objects::Pins& pins, HandleValue& mapping) {
    return pins.pin({&mapping, 1}, objects::kindBit(Kind::kMapping));
}

MappedView failView(uint32_t error) {
    setLastError(error);
    return {};
}

}  // namespace

Handle createFileMapping(std::string_view name, uint64_t size) {
    if (size == 0) {
        setLastError(kErrInvalidParameter);
        return {};
    }
    // The file is zero-filled when it is reserved; nothing else to set up.
    return Handle(objects::acquire(name, Kind::kMapping, true, size, [](objects::Header&) {}));
}

Handle openFileMapping(std::string_view name) {
    return Handle(objects::acquire(name, Kind::kMapping, false, 0, {}));
}

uint64_t fileMappingSize(HandleValue mapping) {
    objects::Pins pins;
    return pinMapping(pins, mapping) ? pins[0].header->dataSize : 0;
}

MappedView mapViewOfFile(HandleValue mapping, uint32_t access, uint64_t offset, size_t length) {
    objects::Pins pins;
    if (!pinMapping(pins, mapping))
        return {};
    // FILE_MAP_COPY shares its value with a bit of FILE_MAP_ALL_ACCESS, so the original tells it
    // apart by equality, not by testing the bit.
    int protection;
    int flags = MAP_SHARED;
    if (access == kFileMapCopy) {
        protection = PROT_READ | PROT_WRITE;
        flags = MAP_PRIVATE;
    } else if ((access & kFileMapWrite) != 0) {
        protection = PROT_READ | PROT_WRITE;
    } else if ((access & kFileMapRead) != 0) {
        protection = PROT_READ;
    } else {
        return failView(kErrInvalidParameter);
    }
    if (offset % kAllocationGranularity != 0)
        return failView(kErrMappedAlignment);
    uint64_t size = pins[0].header->dataSize;
    if (offset >= size)
        return failView(kErrAccessDenied);
    if (length == 0)
        length = static_cast<size_t>(size - offset);
    if (length > size - offset)
        return failView(kErrAccessDenied);
    // A shared read-write view uses the object's own mapping when that address is free.
    void* address = flags == MAP_SHARED && protection == (PROT_READ | PROT_WRITE)
                        ? objects::addSharedView(pins[0], offset, length)
                        : nullptr;
    if (address != nullptr)
        return MappedView(address, length);
    address = ::mmap(nullptr, length, protection, flags, pins[0].fd,
                     static_cast<off_t>(objects::kHeaderSize + offset));
    if (address == MAP_FAILED)
        return failView(errno == ENOMEM ? kErrNotEnoughMemory : errnoToError(errno));
    objects::addView(address, length, pins[0]);
    return MappedView(address, length);
}

bool unmapViewOfFile(const void* address) {
    return objects::removeView(address);
}

MappedView::MappedView(MappedView&& other) noexcept : address_(other.address_), size_(other.size_) {
    other.address_ = nullptr;
    other.size_ = 0;
}

MappedView& MappedView::operator=(MappedView&& other) noexcept {
    if (this != &other) {
        reset();
        address_ = other.address_;
        size_ = other.size_;
        other.address_ = nullptr;
        other.size_ = 0;
    }
    return *this;
}

void* MappedView::release() {
    void* address = address_;
    address_ = nullptr;
    size_ = 0;
    return address;
}

void MappedView::reset() {
    if (address_ != nullptr)
        unmapViewOfFile(address_);
    address_ = nullptr;
    size_ = 0;
}

}  // namespace nvl::sys
