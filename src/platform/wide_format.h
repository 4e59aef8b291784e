// printf for UTF-16 text, with the original platform's rules for wide formats.
//
// In a wide format, %s and %c take wide (char16_t) arguments and %S / %C narrow ones; the
// size prefixes h and l (or w) name the width explicitly: %hs and %hc are narrow, %ls, %ws and
// %lc wide. Narrow text is converted with the ANSI code page. A null string prints "(null)".
// Numbers follow the C rules of this platform (l is long, ll long long; I64, I32 and I are
// accepted as well) and are formatted by snprintf. %n is not supported: its argument is taken
// and nothing is written.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace nvl::sys {

// Writes at most capacity - 1 units and a terminating NUL unit (nothing when capacity is 0).
// Returns the length of the whole result, as vsnprintf does: a value >= capacity means the
// result was cut.
size_t formatWideV(char16_t* buffer, size_t capacity, const char16_t* format, va_list args);
size_t formatWide(char16_t* buffer, size_t capacity, const char16_t* format, ...);

// ANSI text to UTF-16 into `dst` without a terminator; `capacity` >= `length` always suffices,
// since no ANSI code page turns one byte into more than one unit. Pure ASCII is copied
// directly. Returns the number of units written (0 when the text cannot be converted).
size_t widenAnsi(const char* src, size_t length, char16_t* dst, size_t capacity);

}  // namespace nvl::sys
