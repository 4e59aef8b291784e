// The registry: one text file in the registry editor's export format.
//
// Key paths use backslashes, as on the original platform ("SOFTWARE\\HaldenLabs\\Norvel").
// Key and value names compare without regard to case (Unicode upper case of each character).
// The empty value name is the key's default value ("@" in the file). Text values are UTF-8
// inside the library; the callers that need the ANSI code page convert with codepage.h. Every
// call returns an error code of error.h (kSuccess = 0), as the original's Reg* functions do.
//
// The file is registryPath() (NVL_REGISTRY, else /etc/norvel/registry.reg):
//   "Windows Registry Editor Version 5.00" (or "REGEDIT4") on the first line, then sections
//   [HKEY_LOCAL_MACHINE\SOFTWARE\...] (also HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, HKEY_USERS,
//   HKEY_CURRENT_CONFIG; HKLM, HKCU, HKCR, HKU and HKCC are read too) holding value lines:
//   "name"="text" (escapes \\ and \"), @="default", "n"=dword:0000001f, "b"=hex:00,ff,
//   hex(2): (REG_EXPAND_SZ), hex(7): (REG_MULTI_SZ), hex(b): (REG_QWORD), any hex(N):, with
//   "\" continuing a hex line; "name"=- and [-KEY] remove a value or a key; ";" starts a comment.
//   In a version 5 file the text inside hex data is UTF-16LE; in a REGEDIT4 file it is 8-bit,
//   read and written as UTF-8, which is also how this port reads the 8-bit text of such files.
//
// Encodings: UTF-16LE with byte order mark (what the registry editor writes), UTF-16 without
// it or big-endian, UTF-8 with or without byte order mark; CR LF or LF line ends. A write keeps
// the encoding, byte order mark, line-end style (that of the first line) and version of the
// file, and every line it does not change, byte for byte, garbage included. A new file is UTF-8
// without byte order mark, with LF line ends and the version 5 first line: readable and editable
// with the usual tools here. Text that cannot be written as a quoted string (line breaks, NUL)
// is written as hex(1).
//
// A key exists while a section names it or one of its subkeys. Deleting a key removes the
// sections of the key and its subkeys; a parent that only they named keeps a section of its
// own, so it stays as it would on the original platform. A handle whose key was deleted gets
// kErrKeyDeleted; a change through it does not bring the key back.
//
// A missing file is an empty registry; the first change creates it with mode 0644. A missing
// directory is not created: the change fails with kErrPathNotFound (the directory belongs to the
// installation, and a mistyped NVL_REGISTRY should not scatter files).
//
// Several processes read and write the file at once. A reader takes no lock and sees the old
// or the new file, never a torn one: writers replace the file atomically. Writers serialise on
// FileWriteLock, and re-read the file under the lock before they change it, so no update is
// lost. Each process caches the parsed file; the cache keeps the file it read open, so its
// inode cannot be reused by a later file while the cache relies on it.
//
// Freshness. A change made through this module is seen at once by every process; a change made
// by other means (an editor, a copy, a script that replaces the file) is seen within a second;
// a new process always reads the current file. How: beside the file lies a change counter,
// "<file>.gen" (8 bytes, mode 0644 before the umask, like a new registry file), which every
// writer increments after it has replaced the file, still under the writers' lock. A process
// maps it read-only at its first look-up and keeps the counter value it read before its last
// check of the file (one stat: device, inode, size, modification and change times in
// nanoseconds). A look-up checks the file again when the counter moved, when a second has passed
// on tickCount() since the last check, or when the process itself wrote; otherwise it makes no
// system call. When the counter cannot be mapped (a missing or read-only directory, a file too
// short to hold it, one owned by an account that is neither this process's, root's nor the
// registry file's owner), every look-up checks the file. A reader creates a missing counter
// beside an existing file, never in a missing directory; a writer that may not write the
// counter (another account's) still changes the file, which the others then see within the
// second. The counter's contents mean only "changed or not": garbage is another value. It
// must not be cut short while in use (processes that map it would fault); delete it instead,
// and processes take up the new one within a second. forgetRegistryCache() makes the next
// look-up of this process read the file, for tests and tools that edit it by other means.
//
// A look-up in the cached file parses nothing and folds short ASCII names on the stack; it
// allocates only the file's path and the value it returns. Each thread also keeps the key it
// found last with the state of the file it was found in, so asking again for the same key (as
// every page and every log record does for the server's home directory) skips the key path
// while the file is unchanged; this costs a copy of the key's path when the key changes.
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
    // Opens the key and reads one value, in one state of the file (RegGetValue): the same
    // results as open() followed by queryValue(), for one check of the file instead of two.
    static uint32_t getValue(RegHive hive, std::string_view subKey, std::string_view name,
                             RegValue* out);

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
    // False for a default-constructed key; its calls return kErrInvalidHandle.
    bool valid() const { return valid_; }

  private:
    RegHive hive_ = RegHive::LocalMachine;
    std::string path_;
    bool valid_ = false;
};

// Splits "HKLM\\SOFTWARE\\..." or "HKEY_LOCAL_MACHINE\\SOFTWARE\\..." into the hive and the
// key below it. False when the first component names no hive.
bool splitRegistryPath(std::string_view fullPath, RegHive* hive, std::string* subKey);

// Makes this process's next look-up read the file, as its first one does: for a test or tool
// that changed the file by other means and must see the change at once.
void forgetRegistryCache();

// "HKEY_LOCAL_MACHINE" and so on.
std::string_view registryHiveName(RegHive hive);

// The lines of the file that hold one value, as a version 5 file holds them.
std::string formatRegistryValue(std::string_view name, const RegValue& value);

}  // namespace nvl::sys
