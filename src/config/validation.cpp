// The validators of form input: digits, phone numbers, 7-bit text, extension lists.
//
// Each one looks at the text byte by byte, as the console's pages always judged their fields,
// and stops at the first byte that fails. Bytes are compared as unsigned values, so a byte of
// 128 or more is never a digit nor ASCII whatever the signedness of char. In a double-byte code
// page the second byte of a character may look like '\' or '|' (Shift-JIS 0x5C, 0x7C):
// isExtention then refuses the text, which errs on the safe side for a list of extensions,
// where such characters do not belong anyway.
#include <cstring>

#include "cgishare/validation.h"

namespace {

template <typename Allowed>
bool allOf(const char* text, Allowed allowed) {
    if (text == nullptr)
        return false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        if (!allowed(*p))
            return false;
    }
    return true;
}

bool isDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

bool isNumber(char* text) {
    return allOf(text, isDigit);
}

bool isPhoneNumber(char* text) {
    return allOf(text, [](unsigned char c) { return isDigit(c) || c == '-' || c == ','; });
}

bool isASCII(char* text) {
    return allOf(text, [](unsigned char c) { return c < 0x80; });
}

bool isExtention(char* text, bool allowCommaAndSpace, bool allowWildcards) {
    if (text == nullptr)
        return false;
    char forbidden[16] = "\\/:;\"<>|";
    if (!allowCommaAndSpace)
        std::strcat(forbidden, ", ");
    if (!allowWildcards)
        std::strcat(forbidden, "*?");
    return text[std::strcspn(text, forbidden)] == '\0';
}
