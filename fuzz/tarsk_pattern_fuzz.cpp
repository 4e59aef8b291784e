// The spyware engine's pattern reader on arbitrary bytes.
//
// Input: byte 0 chooses how the rest is read. Odd: the rest as it is. Even: the rest with its
// declared length and checksum first made right, so that mutations reach the tables behind the
// checksum instead of dying at it. The reader must never read out of bounds, and every file it
// accepts must be exactly what the writer makes of the contents it reported (the layout is
// canonical); the content signatures of an accepted file must build a matcher.
#include <cstdint>
#include <cstring>
#include <string>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include "matcher.h"
#include "tarsk_format.h"

namespace {

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

void put64(std::string* s, size_t at, uint64_t v) {
    for (size_t i = 0; i < 8; ++i)
        (*s)[at + i] = static_cast<char>(v >> (8 * i));
}

void reseal(std::string* file) {
    if (file->size() < tarsk32::kPatternHeaderSize)
        return;
    put64(file, 48, file->size());
    put64(file, 56, 0);
    XXH3_state_t state;
    XXH3_64bits_reset(&state);
    XXH3_64bits_update(&state, file->data(), file->size());
    put64(file, 56, XXH3_64bits_digest(&state));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((data[0] & 1) == 0)
        reseal(&file);
    tarsk32::Pattern pattern;
    std::string error;
    if (!tarsk32::readPattern(file, &pattern, &error)) {
        check(!error.empty());
        return 0;
    }
    check(tarsk32::writePattern(pattern) == file);
    std::vector<std::string> content;
    for (const auto& s : pattern.signatures)
        if (s.kind == tarsk32::kSigContent)
            content.push_back(s.data);
    tarsk32::Matcher matcher(content);
    matcher.feed(0, reinterpret_cast<const unsigned char*>(file.data()), file.size(),
                 [&](uint32_t id) { check(id < content.size()); });
    return 0;
}
