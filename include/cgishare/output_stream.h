// The response stream of a console page.
//
// OutputStreamConverter wraps the page's narrow output stream and converts every piece of
// text, given in the ANSI code page or in UTF-16, into the character encoding the page
// declares. The only state carried between insertions is the ISO-2022-JP shift state, so that
// escape sequences are written only when the character set changes.
#pragma once

#include <cgishare/export.h>

#include <iosfwd>

enum CharEncoding : int {
    US_ASCII = 1,     // "us-ascii": ISO-646, everything above 0x7F becomes '?'
    ISO_8859_1 = 2,   // "iso-8859-1": ANSI bytes passed through
    ISO_2022_JP = 3,  // "iso-2022-jp": Shift-JIS converted to 7-bit ISO-2022-JP
    UTF_8 = 4,        // "utf-8"
    X_SJIS = 5,       // "x-sjis": passed through
    BIG5 = 6,         // "big5": passed through
    EUC_KR = 7,       // "euc-kr": passed through
    GB2312 = 8,       // "gb2312": passed through
};

class CGISHARE_API OutputStreamConverter {
  public:
    using Manipulator = OutputStreamConverter& (*)(OutputStreamConverter&);

    // `stream` is not owned and must outlive the converter.
    OutputStreamConverter(CharEncoding encoding, std::ostream* stream);
    OutputStreamConverter(char* encodingName, std::ostream* stream);
    OutputStreamConverter(const OutputStreamConverter&) = default;
    OutputStreamConverter& operator=(const OutputStreamConverter&) =
        default;  // keeps the shift state

    OutputStreamConverter& operator<<(const char* ansiText);
    OutputStreamConverter& operator<<(const unsigned short* utf16Text);
    OutputStreamConverter& operator<<(const char16_t* utf16Text);
    OutputStreamConverter& operator<<(int value);
    OutputStreamConverter& operator<<(Manipulator manipulator);

    OutputStreamConverter& flush();
    CharEncoding getCharEncoding() const { return encoding; }
    // Looks a name up without regard to case; US_ASCII when it is not one of the eight.
    CharEncoding getCharEncoding(const char* name) const;
    // The name of values 1..8; the empty text for any other value.
    static const char* getCharEncodingName(CharEncoding encoding);

  private:
    void multiByteTo8BitRow(const char* text);
    void wideCharTo8BitRow(const char16_t* text);
    void multiByteToISO_646(const char* text);
    void wideCharToISO_646(const char16_t* text);
    const unsigned char* SJISKanaToJISKana(const unsigned char* p);
    void multiByteToISO_2022_JP(const char* text);
    void wideCharToISO_2022_JP(const char16_t* text);
    void wideCharToUTF8(const char16_t* text);
    void multiByteToUTF8(const char* text);

    CharEncoding encoding;
    int shiftState;  // 0 unused, 2 single-byte (JIS X 0201 Roman), 3 two-byte (JIS X 0208)
    std::ostream* stream;
};

// Inserts "\n" through the conversion, then flushes.
CGISHARE_API OutputStreamConverter& endl(OutputStreamConverter& out);
CGISHARE_API OutputStreamConverter& flush(OutputStreamConverter& out);
