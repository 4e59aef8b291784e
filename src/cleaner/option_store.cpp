// The option store of a cleaner context; its rules are set out in option_store.h.
#include "cleaner/option_store.h"

#include <string.h>

#include <algorithm>

#include "cleaner/cleaner.h"

namespace nvl::cleaner {

namespace {

void wipe(std::string* text) {
    if (!text->empty())
        ::explicit_bzero(text->data(), text->size());
}

}  // namespace

CleanerOptionStore::~CleanerOptionStore() {
    for (OptionItem& item : items_)
        wipe(&item.text);
    wipe(&executablePath);
    wipe(&patternName);
}

bool isAccumulatingText(int32_t id) {
    switch (id) {
        case 5:
        case 9:
        case 13:
        case 14:
        case 15:
        case 16:
            return true;
        default:
            return false;
    }
}

OptionItem* CleanerOptionStore::findMutable(int32_t id) {
    auto it = std::find_if(items_.begin(), items_.end(),
                           [id](const OptionItem& item) { return item.id == id; });
    return it == items_.end() ? nullptr : &*it;
}

const OptionItem* CleanerOptionStore::find(int32_t id) const {
    return const_cast<CleanerOptionStore*>(this)->findMutable(id);
}

void CleanerOptionStore::setText(int32_t id, std::string_view value) {
    OptionItem* item = findMutable(id);
    if (item == nullptr) {
        items_.push_back({id, OptionKind::Text, 0, std::string(value)});
        return;
    }
    if (isAccumulatingText(id) && item->kind == OptionKind::Text && !item->text.empty()) {
        item->text += '\n';
        item->text += value;
        return;
    }
    item->kind = OptionKind::Text;
    item->number = 0;
    item->text.assign(value);
}

void CleanerOptionStore::setFlag(int32_t id, bool value) {
    OptionItem* item = findMutable(id);
    if (item == nullptr) {
        items_.push_back({id, OptionKind::Flag, value ? 1u : 0u, {}});
        return;
    }
    item->kind = OptionKind::Flag;
    item->number = value ? 1 : 0;
    item->text.clear();
}

void CleanerOptionStore::setInteger(int32_t id, uint32_t value) {
    if (id == kOptionIncludeList || id == kOptionExcludeList) {
        int32_t other = id == kOptionIncludeList ? kOptionExcludeList : kOptionIncludeList;
        std::erase_if(items_, [&](const OptionItem& item) {
            return item.id == other && item.kind == OptionKind::Integer && item.number == value;
        });
        items_.push_back({id, OptionKind::Integer, value, {}});
        return;
    }
    OptionItem* item = findMutable(id);
    if (item == nullptr) {
        items_.push_back({id, OptionKind::Integer, value, {}});
        return;
    }
    item->kind = OptionKind::Integer;
    item->number = value;
    item->text.clear();
}

}  // namespace nvl::cleaner
