// Code pages: conversion between the ANSI code page and UTF-16.
//
// (Module header comment to be completed by the implementation.)
//
// The ANSI code page is the registry value ACP under
// HKLM\SYSTEM\CurrentControlSet\Control\Nls\CodePage (REG_SZ or REG_DWORD), 1252 when absent;
// it is read once per process, as the original fixes it at start. A character the target
// cannot hold becomes the code page's default character.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nvl::sys {

constexpr uint32_t kCodePageAnsi = 0;  // CP_ACP
constexpr uint32_t kCodePageUtf8 = 65001;

uint32_t ansiCodePage();

// MultiByteToWideChar with flags 0: `srcLength` -1 means NUL-terminated, and the terminator is
// converted too. `dstCapacity` 0 returns the number of units needed. Returns the number of
// units written, 0 on failure (lastError() then holds kErrInsufficientBuffer or
// kErrInvalidParameter).
int multiByteToWideChar(uint32_t codePage, const char* src, int srcLength, char16_t* dst,
                        int dstCapacity);

// WideCharToMultiByte with flags 0 and no default character given; same conventions.
int wideCharToMultiByte(uint32_t codePage, const char16_t* src, int srcLength, char* dst,
                        int dstCapacity);

std::u16string ansiToWide(std::string_view ansi);
std::string wideToAnsi(std::u16string_view wide);
std::string utf8ToAnsi(std::string_view utf8);
std::string ansiToUtf8(std::string_view ansi);

}  // namespace nvl::sys
