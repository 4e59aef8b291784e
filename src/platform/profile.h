// Profile (INI) files with the original platform's behaviour.
//
// (Module header comment to be completed by the implementation: where each rule comes
// from, encodings, concurrency.)
#pragma once

#include <cstdint>

namespace nvl::sys {

// GetPrivateProfileStringA. A null section lists the section names, a null key the key
// names of the section (each NUL-terminated, one more NUL at the end). Returns the number of
// characters copied, not counting the terminator; size - 1 when a value was cut, size - 2
// when a list was cut.
uint32_t getPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                 char* out, uint32_t size, const char* path);

// GetPrivateProfileIntA.
uint32_t getPrivateProfileInt(const char* section, const char* key, int defaultValue,
                              const char* path);

// WritePrivateProfileStringA. A null value deletes the key, a null key the whole section.
// The first write creates the file. Returns true on success.
bool writePrivateProfileString(const char* section, const char* key, const char* value,
                               const char* path);

}  // namespace nvl::sys
