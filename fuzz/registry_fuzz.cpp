// Fuzz target of the registry file format: any bytes parse without a fault; an unchanged
// document writes back byte for byte; and each edit (create a key, set, delete a value, delete
// the key) changes exactly what it names when the result is read again, nothing else.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/registry_format.h"

namespace {

using namespace nvl::sys;
using namespace nvl::sys::regformat;

// Everything the tree says, flat: "h\nKEY\nSUB" for a key, "h\nKEY\n\nname" for a value.
// Components cannot be empty and no name holds a line break, so the forms cannot collide.
using Flat = std::map<std::string, std::string>;

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

// Also checks that the look-ups by text find every key and value: by the key's path with
// backslashes (doubled and outer ones included) and by each name as spelt.
void flatten(const Document& doc, const Tree& tree, RegHive hive, const KeyNode& node,
             const std::string& keyPath, const std::string& prefix, Flat* out) {
    (*out)[prefix] = "key";
    check(tree.findPath(hive, keyPath) == &node);
    check(tree.findPath(hive, "\\" + keyPath + "\\\\") == &node);
    for (const ValueSlot& slot : node.values) {
        check(node.value(slot.name) == &slot);
        if (slot.present) {
            const RegValue& value = slot.value(doc);
            (*out)[prefix + "\n\n" + foldName(slot.name)] =
                std::to_string(value.type) + ":" + value.data;
        }
    }
    for (const auto& child : node.children) {
        check(node.child(child->name) == child.get());
        flatten(doc, tree, hive, *child, keyPath + "\\" + child->name,
                prefix + "\n" + foldName(child->name), out);
    }
}

Flat flatten(const Document& doc) {
    Tree tree(doc);
    Flat out;
    for (int h = 0; h < 5; ++h) {
        const KeyNode* root = tree.find(static_cast<RegHive>(h), {});
        flatten(doc, tree, static_cast<RegHive>(h), *root, "", std::to_string(h), &out);
    }
    return out;
}

// Serializes and parses again, as the next reader of the file would.
Document reread(const Document& doc, const Limits& limits) {
    Document again;
    check(parse(serialize(doc), Limits{limits.maxFileBytes * 2, limits.maxEntryBytes}, &again));
    return again;
}

std::string keyOf(RegHive hive, const std::vector<std::string>& path) {
    std::string key = std::to_string(static_cast<int>(hive));
    for (const std::string& part : path)
        key += "\n" + foldName(part);
    return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const Limits limits{1u << 20, 4096};
    Document doc;
    if (!parse(bytes, limits, &doc))
        return 0;
    check(serialize(doc) == bytes);
    const Flat before = flatten(doc);

    // A new key below the first key the file names, or below HKLM.
    RegHive hive = RegHive::LocalMachine;
    std::vector<std::string> path;
    for (const Entry& entry : doc.entries) {
        // Room for the longer hive name and the new component within the line limit.
        if (entry.kind == Entry::Kind::kHeader && entry.known && !entry.removal &&
            entry.raw.size() + 64 < limits.maxEntryBytes) {
            hive = entry.hive;
            path = entry.path;
            break;
        }
    }
    path.push_back("Fuzz Key");
    const std::string key = keyOf(hive, path);
    bool changed = false;

    Document created = doc;
    check(createKey(&created, Tree(doc), hive, path, &changed) == kSuccess);
    created = reread(created, limits);
    Flat expected = before;
    for (size_t n = 0; n <= path.size(); ++n)
        expected[keyOf(hive, std::vector<std::string>(path.begin(), path.begin() + n))] = "key";
    check(flatten(created) == expected);

    const RegValue value{kRegMultiSz, std::string("a\0\xc3\xa4\0", 5)};
    Document set = created;
    check(setValue(&set, Tree(created), hive, path, "Fuzz", value, &changed) == kSuccess);
    set = reread(set, limits);
    expected[key + "\n\nFUZZ"] = std::to_string(value.type) + ":" + value.data;
    check(flatten(set) == expected);

    Document unset = set;
    check(deleteValue(&unset, Tree(set), hive, path, "fuzz", &changed) == kSuccess);
    unset = reread(unset, limits);
    expected.erase(key + "\n\nFUZZ");
    check(flatten(unset) == expected);

    Document removed = unset;
    check(deleteKey(&removed, Tree(unset), hive, path, &changed) == kSuccess);
    removed = reread(removed, limits);
    for (auto it = expected.begin(); it != expected.end();) {
        bool under = it->first == key || it->first.compare(0, key.size() + 1, key + "\n") == 0;
        it = under ? expected.erase(it) : std::next(it);
    }
    check(flatten(removed) == expected);
    return 0;
}
