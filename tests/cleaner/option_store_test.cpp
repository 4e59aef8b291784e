// The option store's rules: replace, append, accumulating texts, the two exclusive integer
// lists, first-item lookup.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cleaner/cleaner.h"
#include "cleaner/option_store.h"

namespace {

using nvl::cleaner::CleanerOptionStore;
using nvl::cleaner::OptionItem;
using nvl::cleaner::OptionKind;

struct Op {
    enum { Text, Flag, Int } kind;
    int32_t id;
    uint32_t number;
    const char* text;
};

// "id:T=text", "id:F=n", "id:I=n" for each item, in store order.
std::string describe(const CleanerOptionStore& store) {
    std::string out;
    for (const OptionItem& item : store.items()) {
        if (!out.empty())
            out += ' ';
        out += std::to_string(item.id);
        switch (item.kind) {
            case OptionKind::Text:
                out += ":T=" + item.text;
                break;
            case OptionKind::Flag:
                out += ":F=" + std::to_string(item.number);
                break;
            case OptionKind::Integer:
                out += ":I=" + std::to_string(item.number);
                break;
        }
    }
    return out;
}

TEST(OptionStoreTest, Rules) {
    constexpr int32_t kInclude = nvl::cleaner::kOptionIncludeList;  // 33554436
    constexpr int32_t kExclude = nvl::cleaner::kOptionExcludeList;  // 33554437
    const struct {
        const char* name;
        std::vector<Op> ops;
        const char* items;
    } cases[] = {
        {"a new id is appended", {{Op::Text, 2, 0, "b"}, {Op::Flag, 7, 1, nullptr}}, "2:T=b 7:F=1"},
        {"an id that has an item is replaced in place",
         {{Op::Text, 2, 0, "b"}, {Op::Int, 3, 4, nullptr}, {Op::Text, 2, 0, "c"}},
         "2:T=c 3:I=4"},
        {"id 5 accumulates behind a newline",
         {{Op::Text, 5, 0, "one"}, {Op::Text, 5, 0, "two"}, {Op::Text, 5, 0, "three"}},
         "5:T=one\ntwo\nthree"},
        {"ids 9 and 13 to 16 accumulate too",
         {{Op::Text, 9, 0, "a"},
          {Op::Text, 9, 0, "b"},
          {Op::Text, 16, 0, "c"},
          {Op::Text, 16, 0, "d"}},
         "9:T=a\nb 16:T=c\nd"},
        {"an empty accumulating text is replaced, not joined",
         {{Op::Text, 5, 0, ""}, {Op::Text, 5, 0, "x"}, {Op::Text, 5, 0, ""}},
         "5:T=x\n"},
        {"ids 6 and 10 do not accumulate",
         {{Op::Text, 6, 0, "a"},
          {Op::Text, 6, 0, "b"},
          {Op::Text, 10, 0, "c"},
          {Op::Text, 10, 0, "d"}},
         "6:T=b 10:T=d"},
        {"a text over a flag takes its place and kind",
         {{Op::Flag, 5, 1, nullptr}, {Op::Text, 5, 0, "t"}},
         "5:T=t"},
        {"an integer list keeps every value",
         {{Op::Int, kInclude, 1, nullptr},
          {Op::Int, kInclude, 2, nullptr},
          {Op::Int, kInclude, 1, nullptr}},
         "33554436:I=1 33554436:I=2 33554436:I=1"},
        {"adding to one list removes every equal value from the other",
         {{Op::Int, kInclude, 1, nullptr},
          {Op::Int, kInclude, 2, nullptr},
          {Op::Int, kInclude, 1, nullptr},
          {Op::Int, kExclude, 1, nullptr}},
         "33554436:I=2 33554437:I=1"},
        {"and back again",
         {{Op::Int, kExclude, 7, nullptr},
          {Op::Int, kExclude, 8, nullptr},
          {Op::Int, kInclude, 8, nullptr}},
         "33554437:I=7 33554436:I=8"},
        {"other integers replace",
         {{Op::Int, 0x2000001, 3, nullptr}, {Op::Int, 0x2000001, 5, nullptr}},
         "33554433:I=5"},
    };
    for (const auto& c : cases) {
        CleanerOptionStore store;
        for (const Op& op : c.ops) {
            switch (op.kind) {
                case Op::Text:
                    store.setText(op.id, op.text);
                    break;
                case Op::Flag:
                    store.setFlag(op.id, op.number != 0);
                    break;
                case Op::Int:
                    store.setInteger(op.id, op.number);
                    break;
            }
        }
        EXPECT_EQ(describe(store), c.items) << c.name;
    }
}

TEST(OptionStoreTest, LookupFindsTheFirstItem) {
    CleanerOptionStore store;
    EXPECT_EQ(store.find(nvl::cleaner::kOptionIncludeList), nullptr);
    store.setInteger(nvl::cleaner::kOptionIncludeList, 4);
    store.setInteger(nvl::cleaner::kOptionIncludeList, 9);
    const OptionItem* item = store.find(nvl::cleaner::kOptionIncludeList);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->number, 4u);
    // Removing the first by adding its value to the other list uncovers the second.
    store.setInteger(nvl::cleaner::kOptionExcludeList, 4);
    EXPECT_EQ(store.find(nvl::cleaner::kOptionIncludeList)->number, 9u);
}

}  // namespace
