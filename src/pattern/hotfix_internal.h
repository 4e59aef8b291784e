// What the hot-fix rebuild is made of, for its tests and fuzz targets: the reading of manifest
// values and engine versions, and the check of a temporary zip that an earlier run left behind.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nvl::hotfix {

// The fields of a manifest value, split at commas and blanks (empty fields are skipped).
std::vector<std::string_view> manifestFields(std::string_view value);

// A decimal number as the manifest holds it: leading digits, saturating at 4294967295; no
// digits give 0.
uint32_t manifestNumber(std::string_view text);

// Scales a minor version to four digits: below 10 times 1000, below 100 times 100, below 1000
// times 10, otherwise unchanged.
void scaleMinorVersion(uint32_t* minor);

// Whether the file version (major, minor, revision) differs from the version text
// "major.minor.revision" (missing fields are 0), with both minors scaled.
bool isEngineVersionDifferent(uint32_t major, uint32_t minor, uint32_t revision,
                              std::string_view text);

// The packed number of a cleaner executable's version: major and minor as decimal text, the
// minor padded to four digits with zeros, read as a hexadecimal number (1.2 gives 0x12000);
// 0 when the minor is 1000 or more.
uint32_t packedEngineNumber(uint32_t major, uint32_t minor);

// CRC-32 (the zip format's) of `data`, continued from `crc` (0 to start).
uint32_t crc32(uint32_t crc, const void* data, size_t size);

// What a zip that may be published as it is must hold: exactly one entry, named `name`, of
// `size` bytes with the CRC-32 `crc`, and nothing that a reader would stumble over (the end
// record, the central directory and the local header agree and lie within the file).
struct ZipExpectation {
    std::string name;
    uint64_t size = 0;
    uint32_t crc = 0;
};
bool zipHoldsExactly(std::string_view zipBytes, const ZipExpectation& expected);

}  // namespace nvl::hotfix
