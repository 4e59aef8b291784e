// Libraries loaded at run time: the one way the library binds an outside component
// (the resource library, the scan engines, the HTTP loader, the zip utility).
//
// Callers name a library as the original platform did, "CGIRes.dll". The name maps to the
// shared object "CGIRes.so": a name ending in ".dll" (any case) gets ".so" in its place, a
// name without an extension gets ".so" appended (LoadLibrary appends ".dll"), and any other
// name is used as it stands. Where the file is looked for:
//   - a name with a directory ("/opt/x/MARLIN32.dll", "lib/hlu.dll"): that directory only,
//     the file name matched without regard to case when the exact spelling does not exist;
//   - a bare name: the directory of the running executable first (also case-insensitively),
//     then the dynamic loader's usual search path (LD_LIBRARY_PATH, the run path, the
//     system's library directories).
//
// A Library owns its handle: it is closed when the object dies or is reset, unless released.
// Failures set lastError() (kErrModNotFound, kErrProcNotFound) and keep the loader's text in
// error().
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace nvl::sys {

// "X.dll" -> "X.so" as described above; a directory part is kept.
std::string sharedObjectName(std::string_view libraryName);

class Library {
  public:
    Library() = default;
    ~Library() { reset(); }
    Library(Library&& other) noexcept : handle_(other.handle_), path_(std::move(other.path_)) {
        other.handle_ = nullptr;
    }
    Library& operator=(Library&& other) noexcept;
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    // Loads `libraryName` by the rules above. On failure the object holds nothing.
    static Library load(std::string_view libraryName, std::string* error = nullptr);

    explicit operator bool() const { return handle_ != nullptr; }
    // The file that was loaded, as it was handed to the loader ("" when nothing is held).
    const std::string& path() const { return path_; }

    // The address of an exported symbol, or null (lastError() = kErrProcNotFound).
    void* symbol(const char* name) const;
    // Typed convenience for function entries: lib.function<int (*)(int)>("name").
    template <typename Fn>
    Fn function(const char* name) const {
        return reinterpret_cast<Fn>(symbol(name));
    }

    // Closes the library if one is held.
    void reset();
    // Hands the handle over without closing it, for a library that must stay loaded until
    // the process ends.
    void* release();

  private:
    void* handle_ = nullptr;
    std::string path_;
};

}  // namespace nvl::sys
