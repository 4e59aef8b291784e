// The response stream of a console page.
//
// OutputStreamConverter wraps the page's narrow output stream and converts every piece of
// text, given in the ANSI code page or in UTF-16, into the character encoding the page
// declares. The only state carried between insertions is the ISO-2022-JP shift state, so that
// escape sequences are written only when the character set changes; copies carry it too.
//
// How each encoding writes:
// - US_ASCII, and any value that is not one of the eight: bytes and UTF-16 units below 0x80
//   unchanged, every other byte or unit as '?' (a double-byte character becomes "??").
// - ISO_8859_1, X_SJIS, BIG5, EUC_KR, GB2312: the ANSI bytes unchanged; UTF-16 converted to
//   the ANSI code page (what it cannot hold becomes '?'). The page's charset must be the
//   server's ANSI code page; nothing checks it.
// - UTF_8: UTF-16 unit by unit in one to three bytes; ANSI text first converted to UTF-16.
//   Surrogates are not paired: each unit of a pair is written as its own three-byte sequence.
// - ISO_2022_JP: Shift-JIS (UTF-16 first converted to the ANSI code page) into 7-bit
//   ISO-2022-JP: ESC ( J before single-byte text, ESC $ B before JIS X 0208 text, half-width
//   katakana as their full-width JIS X 0208 forms (a voiced or semi-voiced sound mark joins the
//   kana before it where such a character exists). A text never switches back at its end; the
//   next single-byte character (typically the "\n" of endl) does.
//   A lead byte without a trail byte - the last byte of a text, or one followed by a byte below
//   0x40, which no Shift-JIS character has as its second byte - is written as 21 26 (the middle
//   dot that the code page's conversions give for such a byte), and the following byte is
//   converted by itself: nothing past the text's terminator is read, and a stray lead byte never
//   swallows the "\n", '<' or '"' after it.
//
// Null texts are written as nothing. Stream errors are not reported; no operation fails.
#pragma once

#include <cgishare/export.h>

#include <cstddef>
#include <iosfwd>

enum CharEncoding : int {
    US_ASCII = 1,     // "us-ascii"
    ISO_8859_1 = 2,   // "iso-8859-1"
    ISO_2022_JP = 3,  // "iso-2022-jp"
    UTF_8 = 4,        // "utf-8"
    X_SJIS = 5,       // "x-sjis"
    BIG5 = 6,         // "big5"
    EUC_KR = 7,       // "euc-kr"
    GB2312 = 8,       // "gb2312"
};

class CGISHARE_API OutputStreamConverter {
  public:
    using Manipulator = OutputStreamConverter& (*)(OutputStreamConverter&);

    // `stream` is not owned and must outlive the converter.
    OutputStreamConverter(CharEncoding encoding, std::ostream* stream);
    // The encoding by name, as getCharEncoding(const char*) finds it.
    OutputStreamConverter(const char* encodingName, std::ostream* stream);
    OutputStreamConverter(const OutputStreamConverter&) = default;
    OutputStreamConverter& operator=(const OutputStreamConverter&) = default;

    OutputStreamConverter& operator<<(const char* ansiText);
    OutputStreamConverter& operator<<(const unsigned short* utf16Text);
    OutputStreamConverter& operator<<(const char16_t* utf16Text);
    // The value in decimal ("%d"), inserted as ANSI text.
    OutputStreamConverter& operator<<(int value);
    OutputStreamConverter& operator<<(Manipulator manipulator);

    OutputStreamConverter& flush();
    CharEncoding getCharEncoding() const { return encoding; }
    // Looks a name up without regard to case; US_ASCII when it is not one of the eight.
    CharEncoding getCharEncoding(const char* name) const;
    // The name of values 1..8. Any other value writes as US_ASCII, and is named "us-ascii" so
    // that a page declares the charset of what it actually sends.
    static const char* getCharEncodingName(CharEncoding encoding);

  private:
    class Writer;  // collects output bytes and writes them to `stream` in runs

    void multiByteTo8BitRow(const char* text);
    void wideCharTo8BitRow(const char16_t* text);
    void multiByteToISO_646(const char* text);
    void wideCharToISO_646(const char16_t* text);
    // Writes the JIS X 0208 form of the half-width katakana at p (with the sound mark after it
    // when they combine) to out[0..1]; returns the position after what it converted. `end` is
    // the end of the text: the mark is looked for only before it.
    static const unsigned char* SJISKanaToJISKana(const unsigned char* p, const unsigned char* end,
                                                  char* out);
    void multiByteToISO_2022_JP(const char* text);
    // Converts Shift-JIS bytes [p, p + n); returns how many it consumed. Unless `final`, it
    // stops before a last byte whose meaning depends on the byte after it.
    size_t shiftJisToISO_2022_JP(const unsigned char* p, size_t n, bool final, Writer& out);
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
