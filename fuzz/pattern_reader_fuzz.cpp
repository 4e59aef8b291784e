// The scan engine's pattern reader on arbitrary bytes.
//
// Input: byte 0 chooses how the rest is read. Odd: the rest as it is. Even: the rest with both
// checksums first made right (the body's from the bytes past the header length the file names,
// then the header's), so that mutations reach the tables behind the checksums instead of dying
// at them. The reader must never read out of bounds, and every file it accepts must be exactly
// what the writer makes of the contents it reported: same header bytes, types, extension list
// and body. The header-only read must agree with the full read on an accepted file.
#include <cstdint>
#include <cstring>
#include <string>

#include "pattern_format.h"

namespace {

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

uint32_t get32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
        v |= uint32_t{static_cast<unsigned char>(s[at + i])} << (8 * i);
    return v;
}

void resealChecksums(std::string* file) {
    if (file->size() < marlin32::kFixedHeaderSize)
        return;
    uint32_t headerLength = get32(*file, marlin32::offset::kHeaderLength);
    if (headerLength <= file->size()) {
        uint64_t sum = marlin32::bodyChecksum(std::string_view(*file).substr(headerLength));
        for (size_t i = 0; i < 8; ++i)
            (*file)[marlin32::offset::kBodyChecksum + i] = static_cast<char>(sum >> (8 * i));
    }
    marlin32::sealHeader(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((data[0] & 1) == 0)
        resealChecksums(&file);

    marlin32::MemorySource source(file);
    marlin32::PatternInfo info;
    int32_t status = marlin32::readPattern(source, &info);
    check(std::strcmp(marlin32::statusName(status), "MR_E_UNKNOWN") != 0);

    marlin32::PatternInfo header;
    int32_t headerStatus = marlin32::readHeader(source, &header);
    if (status != marlin32::kBadBodyChecksum)
        check(headerStatus == status);
    if (status != marlin32::kOk)
        return 0;

    check(marlin32::checkContent(info.content) == marlin32::kOk);
    check(header.content == info.content && header.declaredLength == info.declaredLength);
    check(info.declaredLength == file.size() && info.headerLength <= file.size());
    std::string body = file.substr(info.headerLength);
    check(marlin32::encodePattern(info.content, body) == file);
    return 0;
}
