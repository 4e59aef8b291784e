// The registry file's format: the registry editor's export format, read into a list of
// entries that remember their exact bytes, the key tree those entries describe, and the edits
// the registry makes to such a list.
//
// A document is the file cut into entries: one per line, except that a hex value continued
// with a trailing backslash is one entry over all its lines. Each entry keeps its bytes as
// they were in the file, line end included; serialize() puts them back together, so a file
// that is read and written unchanged comes out byte for byte, and an edit touches only the
// entries it replaces, inserts or removes. Lines that are not understood (garbage, NUL bytes,
// unterminated quotes, odd hex, lines over the limit) are kept as they are and mean nothing.
//
// The tree applies the entries in file order, as an import would: a section header creates its
// key and the key's parents, "[-KEY]" removes the key with its subkeys, "name"=- removes a
// value, a later line for a value overrides an earlier one. Values under a header that names
// no known hive, or under a removal header, belong to no key.
//
// Everything here is a pure function of its input and never reads past the byte view or the
// limits it is given; the registry module (registry.h) adds the file, the locking and the cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/registry.h"

namespace nvl::sys::regformat {

enum class TextEncoding : uint8_t { kUtf8, kUtf16Le, kUtf16Be };

struct Limits {
    size_t maxFileBytes = 32u << 20;
    // Longest entry, as UTF-8 text with its continuation lines; a longer one is not understood.
    size_t maxEntryBytes = 4u << 20;
};

struct Entry {
    enum class Kind : uint8_t { kOther, kHeader, kValue };
    Kind kind = Kind::kOther;
    bool blank = false;    // a line of white space only
    bool removal = false;  // "[-KEY]" or "name"=-
    bool known = false;    // a header that names a known hive
    RegHive hive = RegHive::LocalMachine;
    std::vector<std::string> path;  // the header's key below the hive
    std::string name;               // the value's name; "" for the default value ("@")
    RegValue value;
    std::string raw;  // the entry's bytes in the file, line ends included
};

struct Document {
    TextEncoding encoding = TextEncoding::kUtf8;
    // "REGEDIT4": text inside hex(1), hex(2) and hex(7) data is 8-bit (UTF-8 here) instead of
    // UTF-16LE.
    bool version4 = false;
    bool crlf = false;
    std::string bom;  // the byte order mark the file began with, if any
    std::vector<Entry> entries;
    std::string tail;  // a dangling odd byte at the end of a UTF-16 file
};

// Cuts `bytes` into a document. Only a file over limits.maxFileBytes fails; anything else is
// read as far as it can be understood.
bool parse(std::string_view bytes, const Limits& limits, Document* out);

// The document's bytes: the input of parse() when nothing was edited.
std::string serialize(const Document& doc);

// Case folding for key and value names: each code point of the UTF-8 text in upper case
// (invalid bytes are kept). Two names are the same when their folded forms are equal.
std::string foldName(std::string_view utf8);

// The hive's name as written in section headers ("HKEY_LOCAL_MACHINE"), and the hive a
// header's first component names (long or short form, any case).
std::string_view hiveName(RegHive hive);
bool parseHiveName(std::string_view text, RegHive* out);

// The lines (without line ends) that write one value, as a version 5 file would hold them
// (version4: as a REGEDIT4 file would).
std::vector<std::string> formatValue(std::string_view name, const RegValue& value,
                                     bool version4 = false);

struct ValueSlot {
    std::string name;  // spelling of the first mention
    bool present = false;
    std::vector<size_t> mentions;  // entries that set or removed it, in file order
    // The value, when present: the entry of the last mention.
    const RegValue& value(const Document& doc) const { return doc.entries[mentions.back()].value; }
};

// Hashes folded names, and lets the indexes below be searched with a string_view, so that a
// look-up of a short ASCII name folds it on the stack and allocates nothing.
struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view folded) const {
        return std::hash<std::string_view>{}(folded);
    }
};
using NameIndex = std::unordered_map<std::string, size_t, NameHash, std::equal_to<>>;

struct KeyNode {
    std::string name;
    std::vector<std::unique_ptr<KeyNode>> children;  // in file order
    NameIndex childIndex;                            // folded name -> index in children
    std::vector<ValueSlot> values;                   // in file order, removed ones included
    NameIndex valueIndex;                            // folded name -> index in values
    std::vector<size_t> sections;                    // headers that opened this key, in file order

    const KeyNode* child(std::string_view name) const;
    const ValueSlot* value(std::string_view name) const;
};

class Tree {
  public:
    Tree();
    explicit Tree(const Document& doc);
    const KeyNode* find(RegHive hive, const std::vector<std::string>& path) const;
    // The same for a key path with backslashes between its components; empty components
    // (doubled or outer backslashes) are skipped. Allocates nothing for ASCII names.
    const KeyNode* findPath(RegHive hive, std::string_view path) const;

  private:
    std::unique_ptr<KeyNode> roots_[5];
};

// Edits of `doc`, located through `tree`, the tree of `doc` before the edit (stale after it).
// Each sets *changed when it altered the document.
//
// createKey adds a section for a key that does not exist. setValue replaces the value's last
// line, or adds a line after the last value (or the header) of the key's last section, or a new
// section at the end of the file (kErrKeyDeleted when the key does not exist). deleteValue removes
// every line of the value (kErrFileNotFound when it has none). deleteKey removes every section of
// the key and of its subkeys, comment lines in them included, and adds a section for the parent
// when the parent existed only through the key (kErrFileNotFound when the key does not exist,
// kErrAccessDenied for a hive).
uint32_t createKey(Document* doc, const Tree& tree, RegHive hive,
                   const std::vector<std::string>& path, bool* changed);
uint32_t setValue(Document* doc, const Tree& tree, RegHive hive,
                  const std::vector<std::string>& path, std::string_view name,
                  const RegValue& value, bool* changed);
uint32_t deleteValue(Document* doc, const Tree& tree, RegHive hive,
                     const std::vector<std::string>& path, std::string_view name, bool* changed);
uint32_t deleteKey(Document* doc, const Tree& tree, RegHive hive,
                   const std::vector<std::string>& path, bool* changed);

}  // namespace nvl::sys::regformat
