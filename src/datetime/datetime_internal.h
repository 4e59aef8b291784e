// What the date and time texts share inside the library: the custom pictures and cutting
// ANSI text at a character boundary.
#pragma once

#include <cstddef>
#include <string_view>

namespace nvl::datetime {

// Size of one custom picture with its NUL.
inline constexpr size_t kPictureBytes = 128;

// Both custom pictures as they were at one moment (NUL-terminated ANSI text).
struct CustomPictures {
    char date[kPictureBytes];
    char time[kPictureBytes];
};

// A consistent copy of both pictures: never one half-way through a change.
void readCustomPictures(CustomPictures* out);

// The length of the longest start of `text` of at most `limit` bytes that ends at a character
// boundary of the ANSI code page (a double-byte character is kept whole or left out).
size_t wholeCharacters(std::string_view text, size_t limit);

}  // namespace nvl::datetime
