// Code pages: conversion between the ANSI code page and UTF-16.
//
// The library keeps narrow texts in the system's ANSI code page, as the original platform
// did, and converts them with the two calls of that platform, MultiByteToWideChar and
// WideCharToMultiByte, always with flags 0. This module gives those calls with the same
// conventions, for the code pages below, and a few std::string helpers on top.
//
// The ANSI code page is the registry value "ACP" under
// HKLM\SYSTEM\CurrentControlSet\Control\Nls\CodePage (REG_SZ such as "932", or REG_DWORD),
// read once per process on first use, as the original fixes it at start. Absent, unreadable,
// or naming a code page without tables here, it is 1252.
//
// Code pages: 932 (Japanese Shift-JIS, Microsoft's table), 936 (GBK), 949 (Unified Hangul),
// 950 (Big5), 874, 1250, 1251, 1252, 1253, 1254, 1256, 1257, and 65001 (UTF-8).
// The tables of the first twelve are generated at build time from glibc's iconv
// (gen/codepage_tables_gen.cpp) and compiled in as constant data: converting costs a table
// look-up per character, a run of ASCII is copied through, and nothing is loaded or opened at
// run time. Differences from the original platform are those of glibc's tables (design notes,
// locale.md section 7): best-fit substitutes are not made (U+0100 becomes '?' in 1252), the
// user-defined (private-use) rows of 936, 949 and 950 are unknown, and 932 keeps glibc's one-way
// mappings (U+00A5 to 0x5C, U+2014 to 0x815C, ...).
//
// What a conversion does with what it cannot map:
// - bytes -> UTF-16: a byte or double-byte pair without a character becomes the code page's
//   default Unicode character: U+30FB for 932, 936, 949 and 950, '?' for the single-byte pages.
//   A pair is one character when its second byte can be a trail byte of the code page at all;
//   a lead byte followed by anything else (an ASCII control, '<', '"', the end of the input)
//   becomes one default character by itself, and the following byte is read on its own.
//   So a stray lead byte never swallows a delimiter. A few single bytes the original decodes
//   and glibc does not are decoded as the original does (1252: 81 8D 8F 90 9D to U+0081...;
//   932: 80 to U+0080, A0 and FD..FF to U+F8F0..U+F8F3; 949: 80 to U+0080).
// - UTF-16 -> bytes: a character the code page cannot hold becomes its default character '?'.
//   A surrogate pair is one character (one '?'); so is a lone surrogate.
// - 65001: invalid UTF-8 (stray continuation bytes, overlong forms, encoded surrogates, values
//   above U+10FFFF, truncated sequences) becomes U+FFFD, one per maximal invalid subsequence;
//   characters above U+FFFF become surrogate pairs. A lone surrogate in UTF-16 becomes
//   U+FFFD (EF BF BD); a pair becomes one four-byte sequence.
// Conversions never fail on content; they fail only on their arguments or a short buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nvl::sys {

constexpr uint32_t kCodePageAnsi = 0;  // CP_ACP
constexpr uint32_t kCodePageUtf8 = 65001;
constexpr uint32_t kCodePageDefault = 1252;

// The ANSI code page: always one for which isCodePageSupported() holds.
uint32_t ansiCodePage();
// Forgets the cached ANSI code page so that the next ansiCodePage() reads the registry again.
// For tests that change the registry value; not for the library.
void resetAnsiCodePageForTesting();

// Whether the conversions know `codePage` (kCodePageAnsi included).
bool isCodePageSupported(uint32_t codePage);

// IsDBCSLeadByteEx: whether `byte` starts a double-byte character in `codePage`. Code that
// searches ANSI text byte by byte for '\\', '|' or a quote must step over the byte after a
// lead byte: in 932, 936, 949 and 950 it can be any of them.
bool isLeadByte(uint32_t codePage, unsigned char byte);

// MultiByteToWideChar with flags 0: `srcLength` -1 means NUL-terminated, and the terminator is
// converted too. `dstCapacity` 0 returns the number of units needed. Returns the number of
// units written, 0 on failure: lastError() is then kErrInsufficientBuffer (the output so far
// is in `dst`), or kErrInvalidParameter for an unknown code page, a null `src`, a `srcLength`
// of 0 or below -1, or a negative or null-without-zero capacity.
int multiByteToWideChar(uint32_t codePage, const char* src, int srcLength, char16_t* dst,
                        int dstCapacity);

// WideCharToMultiByte with flags 0 and no default character given; same conventions.
int wideCharToMultiByte(uint32_t codePage, const char16_t* src, int srcLength, char* dst,
                        int dstCapacity);

// Piecewise conversion for writers that stream: converts whole characters from the start of
// `src` for as long as they fit into `dst`, with the mapping of the calls above. `codePage`
// must be supported (kCodePageAnsi included); otherwise nothing is converted. A character is
// never split: a lead byte or a high surrogate at the very end of `src` is taken as complete
// text, so callers hand in whole texts or cut them with the help of `read`.
struct ConvertResult {
    size_t read;     // bytes or units consumed
    size_t written;  // units or bytes produced
};
ConvertResult decodeSome(uint32_t codePage, std::string_view src, char16_t* dst,
                         size_t dstCapacity);
// As decodeSome, but ends before the first ASCII byte that starts a character (an ASCII byte
// that is the second byte of a double-byte character is converted with it). Every code page
// here maps ASCII to itself, so a writer can copy such runs straight through.
ConvertResult decodeNonAscii(uint32_t codePage, std::string_view src, char16_t* dst,
                             size_t dstCapacity);
ConvertResult encodeSome(uint32_t codePage, std::u16string_view src, char* dst, size_t dstCapacity);

// Whole-text helpers in the ANSI code page; embedded NULs are converted like any character.
std::u16string ansiToWide(std::string_view ansi);
std::string wideToAnsi(std::u16string_view wide);
// UTF-8 <-> ANSI through UTF-16, with the rules above for what cannot be mapped.
std::string utf8ToAnsi(std::string_view utf8);
std::string ansiToUtf8(std::string_view ansi);

}  // namespace nvl::sys
