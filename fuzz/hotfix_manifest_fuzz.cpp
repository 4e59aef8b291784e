// The hot-fix rebuild's readers of manifest values and version texts on arbitrary texts.
//
// Input: bytes 0-3, 4-7 and 8-11 a file version's major, minor and revision (little-endian),
// the rest the text, read both as a manifest value and as a version text. Checks against plain
// models of the formats:
//   - the fields of a value are its runs of characters other than ',' and ' ', in order;
//   - a number is the text's leading digits, 4294967295 when they say more;
//   - a version text compares as its first three '.'-separated numbers (missing ones 0), so the
//     text and its canonical form "a.b.c" give the same answer, the canonical form of a file
//     version equals that version, and a minor below 1000 equals ten times itself (2.5 and
//     2.50 are one version);
//   - the packed number of major and minor is their decimal text, the minor padded with zeros
//     to four digits, read as hexadecimal and kept to 32 bits.
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "pattern/hotfix_internal.h"

namespace {

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

uint32_t readU32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint32_t leadingNumber(std::string_view text) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + digits, value);
    (void)end;
    if (digits == 0)
        return 0;
    return error != std::errc() || value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

std::string canonical(uint32_t major, uint32_t minor, uint32_t revision) {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(revision);
}

void checkFields(std::string_view text) {
    std::vector<std::string_view> fields = nvl::hotfix::manifestFields(text);
    std::string joined, expected;
    const char* last = text.data();
    for (std::string_view f : fields) {
        check(!f.empty() && f.find_first_of(", ") == std::string_view::npos);
        check(f.data() >= last && f.data() + f.size() <= text.data() + text.size());
        last = f.data() + f.size();
        joined.append(f);
        joined.push_back('|');
    }
    // The model: runs of other characters, each ended by ',' or ' ' or the end.
    bool inRun = false;
    for (char c : text) {
        bool separator = c == ',' || c == ' ';
        if (separator && inRun)
            expected.push_back('|');
        if (!separator)
            expected.push_back(c);
        inRun = !separator;
    }
    if (inRun)
        expected.push_back('|');
    check(joined == expected);
    for (std::string_view f : fields)
        check(nvl::hotfix::manifestNumber(f) == leadingNumber(f));
}

void checkVersions(uint32_t major, uint32_t minor, uint32_t revision, std::string_view text) {
    uint32_t parsed[3] = {0, 0, 0};
    std::string_view rest = text;
    for (int i = 0; i < 3 && !rest.empty(); ++i) {
        size_t dot = rest.find('.');
        parsed[i] = leadingNumber(rest.substr(0, dot));
        rest = dot == std::string_view::npos ? std::string_view() : rest.substr(dot + 1);
    }
    bool different = nvl::hotfix::isEngineVersionDifferent(major, minor, revision, text);
    std::string form = canonical(parsed[0], parsed[1], parsed[2]);
    check(different == nvl::hotfix::isEngineVersionDifferent(major, minor, revision, form));
    check(!nvl::hotfix::isEngineVersionDifferent(parsed[0], parsed[1], parsed[2], text));
    check(!nvl::hotfix::isEngineVersionDifferent(major, minor, revision,
                                                 canonical(major, minor, revision)));
    if (minor < 1000)
        check(different ==
              nvl::hotfix::isEngineVersionDifferent(major, minor * 10, revision, text));
    if (revision != parsed[2])
        check(different);
}

void checkPacked(uint32_t major, uint32_t minor) {
    uint32_t packed = nvl::hotfix::packedEngineNumber(major, minor);
    if (minor >= 1000) {
        check(packed == 0);
        return;
    }
    std::string text = std::to_string(major) + std::to_string(minor);
    text.append(minor < 10 ? 3 : minor < 100 ? 2 : 1, '0');
    std::string_view last8 = text;
    if (last8.size() > 8)
        last8 = last8.substr(last8.size() - 8);
    uint32_t expected = 0;
    std::from_chars(last8.data(), last8.data() + last8.size(), expected, 16);
    check(packed == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 12 || size > 4096)
        return 0;
    uint32_t major = readU32(data), minor = readU32(data + 4), revision = readU32(data + 8);
    // An exact-size copy, so that a read past the text is caught.
    std::vector<char> bytes(data + 12, data + size);
    std::string_view text(bytes.data(), bytes.size());

    checkFields(text);
    check(nvl::hotfix::manifestNumber(text) == leadingNumber(text));
    checkVersions(major, minor, revision, text);
    checkPacked(major, minor);
    checkPacked(major & 0xFFFF, minor & 0xFFFF);

    uint32_t scaled = minor;
    nvl::hotfix::scaleMinorVersion(&scaled);
    if (minor == 0 || minor >= 1000)
        check(scaled == minor);
    else
        check(scaled >= 1000 && scaled <= 9990);
    return 0;
}
