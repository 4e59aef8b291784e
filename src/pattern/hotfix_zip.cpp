// The check of a leftover temporary zip: one entry, the expected name, size and CRC-32, and a
// structure whose parts agree and lie within the file. The bytes of the compressed data are not
// inflated here (the library links no compression library); a zip written by the zip utility is
// complete once it has its name, since the utility renames a finished archive into place.
#include <cstring>

#include "pattern/hotfix_internal.h"

namespace nvl::hotfix {

namespace {

uint16_t le16(std::string_view b, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(b[at]) |
                                 static_cast<unsigned char>(b[at + 1]) << 8);
}

uint32_t le32(std::string_view b, size_t at) {
    return static_cast<uint32_t>(le16(b, at)) | static_cast<uint32_t>(le16(b, at + 2)) << 16;
}

uint64_t le64(std::string_view b, size_t at) {
    return static_cast<uint64_t>(le32(b, at)) | static_cast<uint64_t>(le32(b, at + 4)) << 32;
}

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kLocalSignature = 0x04034b50;

struct Table {
    uint32_t entries[256];
    Table() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[i] = c;
        }
    }
};

// Values of a ZIP64 extra field in the order the entry needs them.
bool zip64Values(std::string_view extra, bool wantSize, bool wantCompressed, bool wantOffset,
                 uint64_t* size, uint64_t* compressed, uint64_t* offset) {
    size_t at = 0;
    while (at + 4 <= extra.size()) {
        uint16_t id = le16(extra, at), length = le16(extra, at + 2);
        if (at + 4 + length > extra.size())
            return false;
        if (id == 0x0001) {
            size_t p = at + 4, end = at + 4 + length;
            auto take = [&](bool want, uint64_t* out) {
                if (!want)
                    return true;
                if (p + 8 > end)
                    return false;
                *out = le64(extra, p);
                p += 8;
                return true;
            };
            return take(wantSize, size) && take(wantCompressed, compressed) &&
                   take(wantOffset, offset);
        }
        at += 4 + length;
    }
    return !wantSize && !wantCompressed && !wantOffset;
}

}  // namespace

uint32_t crc32(uint32_t crc, const void* data, size_t size) {
    static const Table table;
    auto* p = static_cast<const unsigned char*>(data);
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = table.entries[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

bool zipHoldsExactly(std::string_view z, const ZipExpectation& expected) {
    // The end record: 22 bytes, no comment (the zip utility writes none).
    if (z.size() < 22 || le32(z, z.size() - 22) != kEndSignature)
        return false;
    size_t end = z.size() - 22;
    if (le16(z, end + 4) != 0 || le16(z, end + 6) != 0 || le16(z, end + 20) != 0)
        return false;
    uint64_t count = le16(z, end + 10);
    uint64_t centralSize = le32(z, end + 12);
    uint64_t centralOffset = le32(z, end + 16);
    size_t centralEnd = end;
    if (count == 0xFFFF || centralSize == 0xFFFFFFFF || centralOffset == 0xFFFFFFFF) {
        if (end < 20 + 56 || le32(z, end - 20) != kZip64LocatorSignature)
            return false;
        uint64_t at = le64(z, end - 20 + 8);
        if (at > end - 20 || end - 20 - at < 56 || le32(z, at) != kZip64EndSignature)
            return false;
        count = le64(z, at + 32);
        centralSize = le64(z, at + 40);
        centralOffset = le64(z, at + 48);
        centralEnd = static_cast<size_t>(at);
    }
    if (le16(z, end + 8) != count || count != 1 || centralOffset > centralEnd ||
        centralSize != centralEnd - centralOffset || centralSize < 46)
        return false;
    size_t c = static_cast<size_t>(centralOffset);
    if (le32(z, c) != kCentralSignature)
        return false;
    uint16_t method = le16(z, c + 10);
    uint32_t crc = le32(z, c + 16);
    uint64_t compressed = le32(z, c + 20), size = le32(z, c + 24);
    uint16_t nameLength = le16(z, c + 28), extraLength = le16(z, c + 30),
             commentLength = le16(z, c + 32);
    uint64_t local = le32(z, c + 42);
    if (46u + nameLength + extraLength + commentLength != centralSize)
        return false;
    std::string_view name = z.substr(c + 46, nameLength);
    if (!zip64Values(z.substr(c + 46 + nameLength, extraLength), size == 0xFFFFFFFF,
                     compressed == 0xFFFFFFFF, local == 0xFFFFFFFF, &size, &compressed, &local))
        return false;
    if ((method != 0 && method != 8) || name != expected.name || size != expected.size ||
        crc != expected.crc || (method == 0 && compressed != size))
        return false;
    // The local header names the same entry, and the data ends where the directory starts.
    if (local > centralOffset || centralOffset - local < 30 || le32(z, local) != kLocalSignature)
        return false;
    size_t l = static_cast<size_t>(local);
    uint16_t localName = le16(z, l + 26), localExtra = le16(z, l + 28);
    uint64_t dataStart = local + 30 + localName + localExtra;
    if (dataStart > centralOffset || z.substr(l + 30, localName) != expected.name ||
        le16(z, l + 8) != method)
        return false;
    uint64_t dataEnd = dataStart + compressed;
    // A data descriptor may follow the data (12 to 24 bytes).
    return dataEnd <= centralOffset && centralOffset - dataEnd <= 24;
}

}  // namespace nvl::hotfix
