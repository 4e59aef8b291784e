// The spyware engine's content scan on fuzzed file content: the streamed matcher against a
// plain search.
//
// Input: byte 0 the number of signatures (0 to 15), byte 1 where the stream is split, then for
// each signature a length byte (1 to 16) and its bytes, then the file content. Every
// occurrence of every signature must be reported, however the content is split into reads.
#include <cstdint>
#include <string>
#include <vector>

#include "matcher.h"

namespace {
void check(bool ok) {
    if (!ok)
        __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    size_t count = data[0] % 16, at = 2;
    std::vector<std::string> sigs;
    for (size_t i = 0; i < count && at < size; ++i) {
        size_t len = 1 + data[at++] % 16;
        if (size - at < len)
            return 0;
        sigs.emplace_back(reinterpret_cast<const char*>(data) + at, len);
        at += len;
    }
    std::string content(reinterpret_cast<const char*>(data) + at, size - at);
    tarsk32::Matcher matcher(sigs);
    std::vector<size_t> expected(sigs.size()), got(sigs.size());
    for (size_t i = 0; i < sigs.size(); ++i)
        for (size_t p = content.find(sigs[i]); p != std::string::npos;
             p = content.find(sigs[i], p + 1))
            ++expected[i];
    size_t split = content.empty() ? 0 : data[1] % (content.size() + 1);
    auto bytes = reinterpret_cast<const unsigned char*>(content.data());
    uint32_t state = matcher.feed(0, bytes, split, [&](uint32_t id) { ++got[id]; });
    matcher.feed(state, bytes + split, content.size() - split, [&](uint32_t id) { ++got[id]; });
    check(expected == got);
    return 0;
}
