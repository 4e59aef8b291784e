// File names (byte strings) as UTF-16 text and back, losslessly.
//
// A file name on this system is any string of bytes without NUL or '/', and most are UTF-8.
// Interfaces that carry names as UTF-16 (the spyware engine's locations, its backup sets) must
// give back a name that reaches the very same file, also when the name is not UTF-8. So: valid
// UTF-8 becomes UTF-16; every other byte b (0x80 or more) becomes the lone low surrogate
// U+DC00 + b, that is U+DC80..U+DCFF, which valid UTF-16 text never holds alone. wideToBytes
// undoes it exactly; a lone surrogate outside that range, or a NUL, is refused.
#pragma once

#include <string>
#include <string_view>

namespace nvl::sys {

std::u16string bytesToWide(std::string_view bytes);
bool wideToBytes(std::u16string_view wide, std::string* bytes);

}  // namespace nvl::sys
