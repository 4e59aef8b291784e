// The hot-fix rebuild's check of a leftover temporary zip on arbitrary bytes.
//
// The bytes are checked against one fixed expectation: the entry "hotfix.ptn" holding the text
// of hotfixSource() below, which the seed corpus's archives hold (made by the zip utility hlu.so,
// deflated; by `zip -0`, stored; by `zip -fz`, with ZIP64 records; plus a truncated one and an
// empty file). The check must never read outside the bytes, and an archive it accepts must
// stop being accepted when a byte is added or cut at its end (the end record closes the file)
// or when the expectation's name, size or CRC changes. The CRC-32 it computes is compared with
// zlib's on the same bytes, fed in two parts.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "pattern/hotfix_internal.h"

namespace {

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

std::string hotfixSource() {
    std::string text;
    for (int i = 0; i < 200; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "hot-fix pattern line %03d\n", i);
        text += line;
    }
    return text;
}

bool holds(const std::vector<char>& bytes, const nvl::hotfix::ZipExpectation& expected) {
    return nvl::hotfix::zipHoldsExactly(std::string_view(bytes.data(), bytes.size()), expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1 << 20))
        return 0;
    static const nvl::hotfix::ZipExpectation expected = [] {
        std::string source = hotfixSource();
        nvl::hotfix::ZipExpectation e;
        e.name = "hotfix.ptn";
        e.size = source.size();
        e.crc = nvl::hotfix::crc32(0, source.data(), source.size());
        check(e.crc == ::crc32(0, reinterpret_cast<const Bytef*>(source.data()),
                               static_cast<uInt>(source.size())));
        return e;
    }();

    // Exact-size copies, so that a read past either end is caught.
    std::vector<char> bytes(data, data + size);
    if (holds(bytes, expected)) {
        std::vector<char> longer = bytes;
        longer.push_back('\0');
        check(!holds(longer, expected));
        std::vector<char> shorter(bytes.begin(), bytes.end() - 1);
        check(!holds(shorter, expected));
        for (int change = 0; change < 3; ++change) {
            nvl::hotfix::ZipExpectation other = expected;
            if (change == 0)
                other.name += "x";
            else if (change == 1)
                other.size += 1;
            else
                other.crc ^= 1;
            check(!holds(bytes, other));
        }
    }

    size_t split = size == 0 ? 0 : data[0] % (size + 1);
    uint32_t crc = nvl::hotfix::crc32(0, data, split);
    crc = nvl::hotfix::crc32(crc, data + split, size - split);
    check(crc == ::crc32(0, data, static_cast<uInt>(size)));
    return 0;
}
