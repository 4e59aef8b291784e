// Multi-pattern matcher for content signatures: Aho-Corasick, streamed.
//
// The automaton's state is all that carries from one read buffer to the next, so a signature
// split across buffers is found exactly as one inside a buffer, and a file of any size is
// scanned in the memory of one buffer. States near the root (depth 0 to 2), where random data
// spends nearly all its time, get a full 256-entry transition row: one load per byte. Deeper
// states keep only their few goto edges and a failure link that leads, in fewer steps than their
// depth, back to a dense row. So the tables stay around a megabyte for a thousand signatures
// instead of one row of 1 KiB per trie node, and the hot loop stays in the cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarsk32 {

class Matcher {
  public:
    // Builds the automaton over `patterns` (each non-empty); a pattern's id is its index.
    explicit Matcher(const std::vector<std::string>& patterns);
    Matcher() : Matcher(std::vector<std::string>{}) {}

    bool empty() const { return patternCount_ == 0; }

    // Feeds bytes from `state` (0 at the start of a stream) and returns the new state; calls
    // onMatch(id) for every pattern that ends inside the bytes (repeats included).
    template <class F>
    uint32_t feed(uint32_t state, const unsigned char* p, size_t n, F&& onMatch) const {
        for (size_t i = 0; i < n; ++i) {
            state = step(state, p[i]);
            if (hit_[state] != 0) [[unlikely]]
                report(state, onMatch);
        }
        return state;
    }

  private:
    uint32_t step(uint32_t s, unsigned char c) const {
        for (;;) {
            int32_t row = dense_[s];
            if (row >= 0)
                return table_[static_cast<size_t>(row) * 256 + c];
            for (uint32_t e = edgeStart_[s], end = edgeStart_[s + 1]; e < end; ++e)
                if (edgeByte_[e] == c)
                    return edgeTarget_[e];
            s = fail_[s];
        }
    }
    template <class F>
    void report(uint32_t s, F& onMatch) const {
        for (; s != 0; s = dictLink_[s])
            if (output_[s] >= 0)
                for (int32_t id = output_[s]; id >= 0; id = nextOutput_[static_cast<size_t>(id)])
                    onMatch(static_cast<uint32_t>(id));
    }

    size_t patternCount_ = 0;
    std::vector<int32_t> dense_;       // row of a dense state, -1 for a sparse one
    std::vector<uint32_t> table_;      // dense rows, 256 targets each
    std::vector<uint32_t> edgeStart_;  // sparse edges of state s: [edgeStart_[s], edgeStart_[s+1])
    std::vector<unsigned char> edgeByte_;
    std::vector<uint32_t> edgeTarget_;
    std::vector<uint32_t> fail_;
    std::vector<uint32_t> dictLink_;   // nearest proper suffix state with an output, or 0
    std::vector<int32_t> output_;      // first pattern ending here, -1 for none
    std::vector<uint8_t> hit_;         // 1 where a pattern ends here or at a suffix
    std::vector<int32_t> nextOutput_;  // further patterns ending in the same state, by id
};

}  // namespace tarsk32
