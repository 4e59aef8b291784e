#include <cgishare/output_stream.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>

#include "platform/codepage.h"

namespace {

using nvl::sys::kCodePageAnsi;

constexpr int kShiftUnused = 0;
constexpr int kShiftSingleByte = 2;
constexpr int kShiftTwoByte = 3;

constexpr char kEscSingleByte[] = {0x1B, '(', 'J'};  // JIS X 0201 Roman
constexpr char kEscTwoByte[] = {0x1B, '$', 'B'};     // JIS X 0208

// What a Shift-JIS lead byte without a trail byte is written as: the middle dot (8145 in
// Shift-JIS), which is also what the code page conversions make of such a byte.
constexpr unsigned char kJisMiddleDot[2] = {0x21, 0x26};

// Conversion buffers live on the stack; texts longer than one buffer are converted in pieces.
constexpr size_t kUnitsPerPiece = 2048;

constexpr const char* kEncodingNames[] = {
    nullptr, "us-ascii", "iso-8859-1", "iso-2022-jp", "utf-8", "x-sjis", "big5", "euc-kr", "gb2312",
};

// Half-width katakana A1..DF -> JIS X 0208.
constexpr unsigned short kKanaTable[63] = {
    0x2123, 0x2156, 0x2157, 0x2122, 0x2126, 0x2572, 0x2521, 0x2523, 0x2525, 0x2527, 0x2529,
    0x2563, 0x2565, 0x2567, 0x2543, 0x213C, 0x2522, 0x2524, 0x2526, 0x2528, 0x252A, 0x252B,
    0x252D, 0x252F, 0x2531, 0x2533, 0x2535, 0x2537, 0x2539, 0x253B, 0x253D, 0x253F, 0x2541,
    0x2544, 0x2546, 0x2548, 0x254A, 0x254B, 0x254C, 0x254D, 0x254E, 0x254F, 0x2552, 0x2555,
    0x2558, 0x255B, 0x255E, 0x255F, 0x2560, 0x2561, 0x2562, 0x2564, 0x2566, 0x2568, 0x2569,
    0x256A, 0x256B, 0x256C, 0x256D, 0x256F, 0x2573, 0x212B, 0x212C,
};

// Kana that combine with the voiced (DE) or semi-voiced (DF) sound mark after them: rows of
// kana byte, first and second JIS byte, ended by a kana byte 0.
constexpr unsigned char kVoicedKanaTable[][3] = {
    {0xB3, 0x25, 0x74}, {0xB6, 0x25, 0x2C}, {0xB7, 0x25, 0x2E}, {0xB8, 0x25, 0x30},
    {0xB9, 0x25, 0x32}, {0xBA, 0x25, 0x34}, {0xBB, 0x25, 0x36}, {0xBC, 0x25, 0x38},
    {0xBD, 0x25, 0x3A}, {0xBE, 0x25, 0x3C}, {0xBF, 0x25, 0x3E}, {0xC0, 0x25, 0x40},
    {0xC1, 0x25, 0x42}, {0xC2, 0x25, 0x45}, {0xC3, 0x25, 0x47}, {0xC4, 0x25, 0x49},
    {0xCA, 0x25, 0x50}, {0xCB, 0x25, 0x53}, {0xCC, 0x25, 0x56}, {0xCD, 0x25, 0x59},
    {0xCE, 0x25, 0x5C}, {0x00, 0x00, 0x00},
};
constexpr unsigned char kSemiVoicedKanaTable[][3] = {
    {0xCA, 0x25, 0x51}, {0xCB, 0x25, 0x54}, {0xCC, 0x25, 0x57},
    {0xCD, 0x25, 0x5A}, {0xCE, 0x25, 0x5D}, {0x00, 0x00, 0x00},
};

const unsigned char* findKanaRow(const unsigned char (*table)[3], unsigned char kana) {
    for (; table[0][0] != 0; ++table) {
        if (table[0][0] == kana)
            return table[0];
    }
    return nullptr;
}

enum class Conversion { kEightBit, kIso2022Jp, kUtf8, kIso646 };

Conversion conversionOf(CharEncoding encoding) {
    switch (encoding) {
        case ISO_8859_1:
        case X_SJIS:
        case BIG5:
        case EUC_KR:
        case GB2312:
            return Conversion::kEightBit;
        case ISO_2022_JP:
            return Conversion::kIso2022Jp;
        case UTF_8:
            return Conversion::kUtf8;
        default:
            return Conversion::kIso646;
    }
}

bool isHalfWidthKana(unsigned char b) {
    return b >= 0xA1 && b <= 0xDF;
}

// The number of ASCII bytes at the start of `text`, eight at a time while they last.
size_t asciiPrefixLength(std::string_view text) {
    size_t i = 0;
    for (uint64_t word; i + 8 <= text.size(); i += 8) {
        std::memcpy(&word, text.data() + i, 8);
        if (word & 0x8080808080808080ull)
            break;
    }
    while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80)
        ++i;
    return i;
}

size_t unitLength(const char16_t* text) {
    return std::char_traits<char16_t>::length(text);
}

}  // namespace

// Output goes through a buffer on the stack and reaches the stream in runs, so a page costs a
// few stream writes per 4 KiB rather than one per byte.
class OutputStreamConverter::Writer {
  public:
    explicit Writer(std::ostream* stream) : stream_(stream) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Room for at least `n` bytes (n <= kCapacity); advance with commit().
    char* reserve(size_t n) {
        if (kCapacity - used_ < n)
            drain();
        return buffer_ + used_;
    }
    void commit(size_t n) { used_ += n; }

    void put(char c) {
        *reserve(1) = c;
        ++used_;
    }
    void put2(unsigned char a, unsigned char b) {
        char* p = reserve(2);
        p[0] = static_cast<char>(a);
        p[1] = static_cast<char>(b);
        used_ += 2;
    }
    void append(const char* data, size_t n) {
        if (n > kCapacity - used_) {
            drain();
            if (n >= kCapacity / 2) {  // long runs go straight to the stream
                stream_->write(data, static_cast<std::streamsize>(n));
                return;
            }
        }
        std::memcpy(buffer_ + used_, data, n);
        used_ += n;
    }
    void drain() {
        if (used_ != 0)
            stream_->write(buffer_, static_cast<std::streamsize>(used_));
        used_ = 0;
    }

    static constexpr size_t kCapacity = 3 * kUnitsPerPiece;  // one piece of UTF-16 as UTF-8

  private:
    std::ostream* stream_;
    size_t used_ = 0;
    char buffer_[kCapacity];
};

// --- Construction and the public operations ----------------------------------------------

OutputStreamConverter::OutputStreamConverter(CharEncoding encoding_, std::ostream* stream_)
    : encoding(encoding_),
      shiftState(encoding_ == ISO_2022_JP ? kShiftSingleByte : kShiftUnused),
      stream(stream_) {}

OutputStreamConverter::OutputStreamConverter(const char* encodingName, std::ostream* stream_)
    : OutputStreamConverter(getCharEncoding(encodingName), stream_) {}

OutputStreamConverter& OutputStreamConverter::operator<<(const char* text) {
    if (text == nullptr || stream == nullptr)
        return *this;
    switch (conversionOf(encoding)) {
        case Conversion::kEightBit:
            multiByteTo8BitRow(text);
            break;
        case Conversion::kIso2022Jp:
            multiByteToISO_2022_JP(text);
            break;
        case Conversion::kUtf8:
            multiByteToUTF8(text);
            break;
        case Conversion::kIso646:
            multiByteToISO_646(text);
            break;
    }
    return *this;
}

OutputStreamConverter& OutputStreamConverter::operator<<(const char16_t* text) {
    if (text == nullptr || stream == nullptr)
        return *this;
    switch (conversionOf(encoding)) {
        case Conversion::kEightBit:
            wideCharTo8BitRow(text);
            break;
        case Conversion::kIso2022Jp:
            wideCharToISO_2022_JP(text);
            break;
        case Conversion::kUtf8:
            wideCharToUTF8(text);
            break;
        case Conversion::kIso646:
            wideCharToISO_646(text);
            break;
    }
    return *this;
}

OutputStreamConverter& OutputStreamConverter::operator<<(const unsigned short* text) {
    // The platform's UTF-16 unit type and unsigned short have the same size and representation.
    return *this << reinterpret_cast<const char16_t*>(text);
}

OutputStreamConverter& OutputStreamConverter::operator<<(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return *this << static_cast<const char*>(text);
}

OutputStreamConverter& OutputStreamConverter::operator<<(Manipulator manipulator) {
    return manipulator(*this);
}

OutputStreamConverter& OutputStreamConverter::flush() {
    if (stream != nullptr)
        stream->flush();
    return *this;
}

CharEncoding OutputStreamConverter::getCharEncoding(const char* name) const {
    if (name == nullptr)
        return US_ASCII;
    std::string_view wanted(name);
    for (int value = US_ASCII; value <= GB2312; ++value) {
        std::string_view known(kEncodingNames[value]);
        if (known.size() != wanted.size())
            continue;
        bool same = true;
        for (size_t i = 0; i < known.size() && same; ++i) {
            char c = wanted[i];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
            same = c == known[i];
        }
        if (same)
            return static_cast<CharEncoding>(value);
    }
    return US_ASCII;
}

const char* OutputStreamConverter::getCharEncodingName(CharEncoding encoding_) {
    if (encoding_ < US_ASCII || encoding_ > GB2312)
        return kEncodingNames[US_ASCII];
    return kEncodingNames[encoding_];
}

OutputStreamConverter& endl(OutputStreamConverter& out) {
    out << "\n";
    return out.flush();
}

OutputStreamConverter& flush(OutputStreamConverter& out) {
    return out.flush();
}

// --- Pass-through and ISO-646 -----------------------------------------------------------

void OutputStreamConverter::multiByteTo8BitRow(const char* text) {
    stream->write(text, static_cast<std::streamsize>(std::strlen(text)));
}

void OutputStreamConverter::wideCharTo8BitRow(const char16_t* text) {
    std::u16string_view rest(text, unitLength(text));
    Writer out(stream);
    while (!rest.empty()) {
        char* dst = out.reserve(Writer::kCapacity);
        nvl::sys::ConvertResult r =
            nvl::sys::encodeSome(kCodePageAnsi, rest, dst, Writer::kCapacity);
        if (r.read == 0)
            break;
        out.commit(r.written);
        rest.remove_prefix(r.read);
    }
    out.drain();
}

void OutputStreamConverter::multiByteToISO_646(const char* text) {
    Writer out(stream);
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        out.put(*p < 0x80 ? static_cast<char>(*p) : '?');
    }
    out.drain();
}

void OutputStreamConverter::wideCharToISO_646(const char16_t* text) {
    Writer out(stream);
    for (const char16_t* p = text; *p != 0; ++p) {
        out.put(*p < 0x80 ? static_cast<char>(*p) : '?');
    }
    out.drain();
}

// --- UTF-8 --------------------------------------------------------------------------------

namespace {

// Each UTF-16 unit in one to three bytes, surrogates unpaired.
template <typename Writer>
void unitsToUtf8(const char16_t* s, size_t n, Writer& out) {
    while (n != 0) {
        size_t piece = n < kUnitsPerPiece ? n : kUnitsPerPiece;
        char* d = out.reserve(3 * piece);
        char* start = d;
        for (size_t i = 0; i < piece; ++i) {
            char16_t u = s[i];
            if (u <= 0x7F) {
                *d++ = static_cast<char>(u);
            } else if (u <= 0x7FF) {
                *d++ = static_cast<char>(0xC0 | (u >> 6 & 0x1F));
                *d++ = static_cast<char>(0x80 | (u & 0x3F));
            } else {
                *d++ = static_cast<char>(0xE0 | (u >> 12 & 0x0F));
                *d++ = static_cast<char>(0x80 | (u >> 6 & 0x3F));
                *d++ = static_cast<char>(0x80 | (u & 0x3F));
            }
        }
        out.commit(static_cast<size_t>(d - start));
        s += piece;
        n -= piece;
    }
}

}  // namespace

void OutputStreamConverter::wideCharToUTF8(const char16_t* text) {
    Writer out(stream);
    unitsToUtf8(text, unitLength(text), out);
    out.drain();
}

void OutputStreamConverter::multiByteToUTF8(const char* text) {
    // ASCII is the same in the ANSI code page, in UTF-16 and in UTF-8: runs of it are copied
    // straight through, only the text between them is converted.
    std::string_view rest(text);
    char16_t units[kUnitsPerPiece];
    Writer out(stream);
    while (!rest.empty()) {
        size_t ascii = asciiPrefixLength(rest);
        out.append(rest.data(), ascii);
        rest.remove_prefix(ascii);
        if (rest.empty())
            break;
        nvl::sys::ConvertResult r =
            nvl::sys::decodeNonAscii(kCodePageAnsi, rest, units, kUnitsPerPiece);
        if (r.read == 0)
            break;
        unitsToUtf8(units, r.written, out);
        rest.remove_prefix(r.read);
    }
    out.drain();
}

// --- ISO-2022-JP --------------------------------------------------------------------------

const unsigned char* OutputStreamConverter::SJISKanaToJISKana(const unsigned char* p,
                                                              const unsigned char* end, char* out) {
    if (p + 1 < end && (p[1] == 0xDE || p[1] == 0xDF)) {
        const unsigned char* row =
            findKanaRow(p[1] == 0xDE ? kVoicedKanaTable : kSemiVoicedKanaTable, p[0]);
        if (row != nullptr) {
            out[0] = static_cast<char>(row[1]);
            out[1] = static_cast<char>(row[2]);
            return p + 2;
        }
    }
    unsigned short jis = kKanaTable[p[0] - 0xA1];
    out[0] = static_cast<char>(jis >> 8);
    out[1] = static_cast<char>(jis & 0xFF);
    return p + 1;
}

size_t OutputStreamConverter::shiftJisToISO_2022_JP(const unsigned char* p, size_t n, bool final,
                                                    Writer& out) {
    const unsigned char* const begin = p;
    const unsigned char* const end = p + n;
    while (p < end) {
        unsigned char b = *p;
        if (b <= 0x7F) {
            if (shiftState != kShiftSingleByte) {
                out.append(kEscSingleByte, sizeof kEscSingleByte);
                shiftState = kShiftSingleByte;
            }
            const unsigned char* run = p;
            while (p < end && *p <= 0x7F)
                ++p;
            out.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
            continue;
        }
        // Whether a kana takes a sound mark, or a lead byte has its trail byte, is known only
        // from the next byte.
        if (!final && p + 1 == end)
            break;
        if (shiftState != kShiftTwoByte) {
            out.append(kEscTwoByte, sizeof kEscTwoByte);
            shiftState = kShiftTwoByte;
        }
        char* jis = out.reserve(2);
        if (isHalfWidthKana(b)) {
            p = SJISKanaToJISKana(p, end, jis);
            out.commit(2);
            continue;
        }
        if (p + 1 == end || p[1] < 0x40) {
            jis[0] = static_cast<char>(kJisMiddleDot[0]);
            jis[1] = static_cast<char>(kJisMiddleDot[1]);
            out.commit(2);
            ++p;
            continue;
        }
        // The Shift-JIS to JIS arithmetic, in 8 bits.
        unsigned char t = p[1];
        unsigned char first = static_cast<unsigned char>(2 * (b - (b <= 0x9F ? 0x71 : 0xB1)) + 1);
        unsigned char second;
        if (t >= 0x9E) {
            ++first;
            second = static_cast<unsigned char>(t - 0x7E);
        } else if (t > 0x7F) {
            second = static_cast<unsigned char>(t - 0x20);
        } else {
            second = static_cast<unsigned char>(t - 0x1F);
        }
        jis[0] = static_cast<char>(first);
        jis[1] = static_cast<char>(second);
        out.commit(2);
        p += 2;
    }
    return static_cast<size_t>(p - begin);
}

void OutputStreamConverter::multiByteToISO_2022_JP(const char* text) {
    Writer out(stream);
    shiftJisToISO_2022_JP(reinterpret_cast<const unsigned char*>(text), std::strlen(text), true,
                          out);
    out.drain();
}

void OutputStreamConverter::wideCharToISO_2022_JP(const char16_t* text) {
    std::u16string_view rest(text, unitLength(text));
    // Converted in pieces; the one byte that may wait for its successor is carried over.
    char ansi[2 * kUnitsPerPiece + 1];
    size_t carried = 0;
    Writer out(stream);
    while (!rest.empty()) {
        nvl::sys::ConvertResult r =
            nvl::sys::encodeSome(kCodePageAnsi, rest, ansi + carried, sizeof ansi - 1 - carried);
        if (r.read == 0)
            break;
        rest.remove_prefix(r.read);
        size_t length = carried + r.written;
        size_t done = shiftJisToISO_2022_JP(reinterpret_cast<const unsigned char*>(ansi), length,
                                            rest.empty(), out);
        carried = length - done;
        std::memmove(ansi, ansi + done, carried);
    }
    if (carried != 0) {
        shiftJisToISO_2022_JP(reinterpret_cast<const unsigned char*>(ansi), carried, true, out);
    }
    out.drain();
}
