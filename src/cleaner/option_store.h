// The option store of a cleaner context: numbered items of three kinds, with the tool's rules
// for setting them.
//
//   - Setting an id that has an item replaces that item's value (and kind); otherwise a new
//     item is appended. A lookup returns the first item with the id.
//   - Text ids 5, 9, 13, 14, 15 and 16 accumulate: when the item already holds a non-empty
//     text, the new value is appended behind a "\n".
//   - Integer ids 0x2000004 and 0x2000005 are two lists of values that exclude each other:
//     adding a value to one first removes every equal value from the other, then appends a new
//     item, so these ids may have several items.
//
// Items live in a vector in the order they were made; stores hold a dozen items, so a linear
// search is the fastest lookup there is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nvl::cleaner {

enum class OptionKind : uint8_t { Flag, Integer, Text };

struct OptionItem {
    int32_t id = 0;
    OptionKind kind = OptionKind::Flag;
    uint32_t number = 0;  // flag (0 or 1) or integer
    std::string text;     // text items
};

class CleanerOptionStore {
  public:
    CleanerOptionStore() = default;
    CleanerOptionStore(const CleanerOptionStore&) = delete;
    CleanerOptionStore& operator=(const CleanerOptionStore&) = delete;
    ~CleanerOptionStore();

    void setText(int32_t id, std::string_view value);
    void setFlag(int32_t id, bool value);
    void setInteger(int32_t id, uint32_t value);

    // The first item with `id`, or null.
    const OptionItem* find(int32_t id) const;
    const std::vector<OptionItem>& items() const { return items_; }

    // Copied from the settings when the context is made.
    std::string executablePath;
    std::string patternName;

  private:
    OptionItem* findMutable(int32_t id);
    std::vector<OptionItem> items_;
};

// Whether text id `id` accumulates.
bool isAccumulatingText(int32_t id);

}  // namespace nvl::cleaner
