// Aho-Corasick construction (matcher.h): a trie, failure links in breadth-first order, dense
// rows for the states of depth 2 or less, sorted sparse edges for the rest.
#include "matcher.h"

#include <algorithm>
#include <deque>
#include <map>

namespace tarsk32 {

namespace {
constexpr uint32_t kDenseDepth = 2;
}

Matcher::Matcher(const std::vector<std::string>& patterns) : patternCount_(patterns.size()) {
    // The trie, with ordered children so the sparse edges come out sorted.
    std::vector<std::map<unsigned char, uint32_t>> children(1);
    std::vector<uint32_t> depth(1, 0);
    output_.assign(1, -1);
    nextOutput_.assign(patterns.size(), -1);
    for (size_t id = 0; id < patterns.size(); ++id) {
        uint32_t s = 0;
        for (char ch : patterns[id]) {
            auto c = static_cast<unsigned char>(ch);
            auto it = children[s].find(c);
            if (it == children[s].end()) {
                auto next = static_cast<uint32_t>(children.size());
                children[s].emplace(c, next);
                children.emplace_back();
                depth.push_back(depth[s] + 1);
                output_.push_back(-1);
                s = next;
            } else {
                s = it->second;
            }
        }
        if (s != 0) {
            nextOutput_[id] = output_[s];
            output_[s] = static_cast<int32_t>(id);
        }
    }
    const auto states = static_cast<uint32_t>(children.size());
    fail_.assign(states, 0);
    dictLink_.assign(states, 0);
    dense_.assign(states, -1);
    edgeStart_.assign(states + 1, 0);

    // Breadth-first order: a state's failure link is always found before the state.
    std::vector<uint32_t> order;
    order.reserve(states);
    order.push_back(0);
    for (size_t i = 0; i < order.size(); ++i)
        for (const auto& [c, child] : children[order[i]])
            order.push_back(child);

    auto gotoOrFail = [&](uint32_t s, unsigned char c) {
        for (;;) {
            auto it = children[s].find(c);
            if (it != children[s].end())
                return it->second;
            if (s == 0)
                return 0u;
            s = fail_[s];
        }
    };
    for (uint32_t s : order) {
        for (const auto& [c, child] : children[s]) {
            fail_[child] = s == 0 ? 0 : gotoOrFail(fail_[s], c);
            uint32_t f = fail_[child];
            dictLink_[child] = output_[f] >= 0 ? f : dictLink_[f];
        }
    }
    hit_.assign(states, 0);
    for (uint32_t s = 0; s < states; ++s)
        hit_[s] = output_[s] >= 0 || dictLink_[s] != 0 ? 1 : 0;
    // Dense rows for shallow states, filled in breadth-first order so a failure target's row
    // (always shallower) is complete first.
    int32_t rows = 0;
    for (uint32_t s : order)
        if (depth[s] <= kDenseDepth)
            dense_[s] = rows++;
    table_.assign(static_cast<size_t>(rows) * 256, 0);
    for (uint32_t s : order) {
        if (dense_[s] < 0)
            continue;
        uint32_t* row = &table_[static_cast<size_t>(dense_[s]) * 256];
        const uint32_t* failRow =
            s == 0 ? nullptr : &table_[static_cast<size_t>(dense_[fail_[s]]) * 256];
        for (int c = 0; c < 256; ++c) {
            auto it = children[s].find(static_cast<unsigned char>(c));
            row[c] = it != children[s].end() ? it->second : failRow != nullptr ? failRow[c] : 0;
        }
    }
    for (uint32_t s = 0; s < states; ++s) {
        edgeStart_[s + 1] = edgeStart_[s];
        if (dense_[s] >= 0)
            continue;
        for (const auto& [c, child] : children[s]) {
            edgeByte_.push_back(c);
            edgeTarget_.push_back(child);
            ++edgeStart_[s + 1];
        }
    }
}

}  // namespace tarsk32
