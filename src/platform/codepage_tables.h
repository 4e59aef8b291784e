// Conversion tables of the code pages, generated at build time from glibc's iconv by
// src/platform/gen/codepage_tables_gen.cpp. Private to codepage.cpp (and its tests).
//
// All tables are constant data without relocations inside the arrays, so a process pays
// nothing for them at start: the pages it never touches are never read from disk.
//
// Decoding (bytes -> UTF-16): `single[b]` is the UTF-16 unit of the single byte b, or kLeadByte
// when b starts a double-byte character. The pair (lead, trail) decodes to
// `pairs[leadBlock[lead] * 256 + trail]`; 0 there means the trail byte cannot follow a lead
// byte in this code page, so the lead byte stands alone. Bytes and pairs without a character
// already hold the code page's default character, so decoding never branches on them.
//
// Encoding (UTF-16 -> bytes): `encodeBlocks[encodeIndex[u >> 8] * 256 + (u & 0xFF)]` is the
// code of the unit u: 0 when the code page cannot hold it (the character U+0000 is handled
// by the caller), a value below 0x100 for a single byte, otherwise lead << 8 | trail.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nvl::sys::detail {

constexpr uint16_t kLeadByte = 0xFFFF;  // a noncharacter: no code page decodes to it

struct CodePageTable {
    uint32_t codePage;
    uint16_t defaultWide;          // what an undecodable byte or pair becomes
    bool doubleByte;               // has lead bytes
    const uint16_t* single;        // 256 entries
    const uint16_t* leadBlock;     // 256 entries; meaningful for lead bytes only
    const uint16_t* pairs;         // blocks of 256 entries
    const uint16_t* encodeIndex;   // 256 entries
    const uint16_t* encodeBlocks;  // blocks of 256 entries; block 0 is all zero
};

extern const CodePageTable kCodePageTables[];
extern const size_t kCodePageTableCount;

}  // namespace nvl::sys::detail
