// Libraries loaded at run time: LoadLibrary / GetProcAddress / FreeLibrary.
//
// A library the original named "X.dll" is the shared object "X.so". A name with a directory
// is loaded from that path; a bare name is looked for in the directory of the running
// executable first, then along the dynamic loader's usual search path. Entry points are
// looked up by name. A Library owns its handle and releases it when destroyed; release()
// hands the handle over for a library that must stay loaded until the process ends.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nvl::sys {

class Library {
  public:
    Library() = default;
    Library(Library&& other) noexcept : handle_(other.release()) {}
    Library& operator=(Library&& other) noexcept;
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    ~Library() { reset(); }

    // Loads `name`; on failure the result is empty and lastError() holds kErrModNotFound.
    static Library load(std::string_view name);

    // The address of entry `name`, nullptr (lastError() kErrProcNotFound) when it is missing.
    void* symbol(const char* name) const;

    explicit operator bool() const { return handle_ != nullptr; }
    void* release();
    void reset();

  private:
    explicit Library(void* handle) : handle_(handle) {}
    void* handle_ = nullptr;
};

// The shared-object file name for a library named as on the original platform:
// "dir/CGIRes.dll" -> "dir/CGIRes.so"; other names are kept.
std::string sharedObjectName(std::string_view name);

}  // namespace nvl::sys
