// The registry: one text file in the registry editor's export format.
//
// (Module header comment to be completed by the implementation: file format, encodings,
// concurrency and the cache.)
//
// Key paths use backslashes, as on the original platform ("SOFTWARE\\HaldenLabs\\Norvel").
// Key and value names compare without regard to case. The empty value name is the key's
// default value ("@" in the file). Text values are UTF-8 inside the library; the callers that
// need the ANSI code page convert with codepage.h. Every call returns an error code of
// error.h (kSuccess = 0), as the original's Reg* functions do.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nvl::sys {

enum class RegHive { LocalMachine, CurrentUser, ClassesRoot, Users, CurrentConfig };

enum RegType : uint32_t {
    kRegNone = 0,
    kRegSz = 1,
    kRegExpandSz = 2,
    kRegBinary = 3,
    kRegDword = 4,
    kRegMultiSz = 7,
    kRegQword = 11,
};

struct RegValue {
    uint32_t type = kRegNone;
    // kRegSz / kRegExpandSz: UTF-8 text without terminator. kRegDword: 4 bytes little-endian.
    // kRegQword: 8 bytes little-endian. kRegMultiSz: UTF-8 strings each ended by NUL.
    // Anything else: the raw bytes.
    std::string data;
};

// A handle on one key. It names the key; every query reads the current file, every change
// is written through at once.
class RegistryKey {
  public:
    RegistryKey() = default;

    // Opens an existing key: kErrFileNotFound when it does not exist.
    static uint32_t open(RegHive hive, std::string_view subKey, RegistryKey* out);
    // Opens a key, creating it and its missing parents.
    static uint32_t create(RegHive hive, std::string_view subKey, RegistryKey* out);
    // Deletes a key with its values and subkeys.
    static uint32_t deleteKey(RegHive hive, std::string_view subKey);

    uint32_t queryValue(std::string_view name, RegValue* out) const;
    // kRegSz and kRegExpandSz values; kErrInvalidData for other types.
    uint32_t getString(std::string_view name, std::string* utf8) const;
    // kRegDword values, and kRegSz values holding a decimal number; kErrInvalidData otherwise.
    uint32_t getDword(std::string_view name, uint32_t* value) const;

    uint32_t setValue(std::string_view name, const RegValue& value);
    uint32_t setString(std::string_view name, std::string_view utf8);
    uint32_t setDword(std::string_view name, uint32_t value);
    // kErrFileNotFound when the value does not exist.
    uint32_t deleteValue(std::string_view name);

    // Names of the values and of the direct subkeys, in file order.
    uint32_t valueNames(std::vector<std::string>* out) const;
    uint32_t subKeyNames(std::vector<std::string>* out) const;

    RegHive hive() const { return hive_; }
    const std::string& path() const { return path_; }

  private:
    RegHive hive_ = RegHive::LocalMachine;
    std::string path_;
};

}  // namespace nvl::sys
