// URL and UTF-8 codecs for text that travels in links, cookies and form values.
//
// URL encoding is the form-encoding flavour: letters, digits, the underscore and the space
// pass (the space as '+'); every other byte, punctuation and bytes 0x80..0xFF included,
// becomes %XX with capital hexadecimal digits. UTF-8 is converted to and from UTF-16 one
// unit at a time: the three-byte forms at most, surrogates encoded one by one, overlong forms
// accepted.
//
// Every text these functions return is a new heap block, zero-terminated, that the caller
// releases with free(). A null argument gives a null result; so does a text too large to
// allocate its result for. Malformed UTF-8 makes decodeUTF throw a heap-allocated
// UTFDataFormatException by pointer: catch UTFDataFormatException* and delete it.
//
// All functions are reentrant and share no state.
#pragma once

#include <cgishare/export.h>

class CGISHARE_API UTFDataFormatException {
  public:
    UTFDataFormatException() = default;
    UTFDataFormatException(const UTFDataFormatException&) = default;
    UTFDataFormatException& operator=(const UTFDataFormatException&) = default;
};

class CGISHARE_API UTFConverter {
  public:
    UTFConverter() = default;
    UTFConverter(const UTFConverter&) = default;
    UTFConverter& operator=(const UTFConverter&) { return *this; }

    // Form-encodes the bytes of `text`. The block holds 10 bytes per input byte plus one.
    static char* encodeURL(const char* text);
    // Undoes encodeURL: '+' becomes a space, %XX the byte its digits denote (digits are not
    // checked). A '%' with fewer than two characters after it ends the text.
    static char* decodeURL(const char* text);
    // UTF-16 to UTF-8. The block holds 10 bytes per unit plus one.
    static char* encodeUTF(const unsigned short* text);
    static char* encodeUTF(const char16_t* text) {
        return encodeUTF(reinterpret_cast<const unsigned short*>(text));
    }
    // UTF-8 to UTF-16; n + 1 units for n input bytes. Throws UTFDataFormatException* on a
    // stray continuation byte, a lead byte of four bytes or more, or a missing trail byte.
    static unsigned short* decodeUTF(const char* text);

  private:
    static bool dontNeedEncoding(char c);
};

// URL-decodes `in`, decodes the result from UTF-8 and converts it into the ANSI code page.
// With `out` null, allocates 2 bytes per UTF-16 unit plus one, stores that number in `size`
// and hands the block to the caller (free() it). With `out` given, fills its `size` bytes
// with zeros and writes at most size - 1 bytes into it, cut after the last whole character
// that fits; the result stays true when the text had to be cut. False only for a null `in`
// or a block that cannot be allocated. A UTFDataFormatException* passes through.
CGISHARE_API bool decodeUTFtoMBS(char* in, char*& out, int& size);
