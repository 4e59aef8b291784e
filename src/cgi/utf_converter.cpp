#include <cgishare/utf_converter.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "cgi/form_vars_internal.h"
#include "platform/codepage.h"

namespace {

// malloc of count * unit + extra bytes, null when that overflows or memory is short.
void* allocateBlock(size_t count, size_t unit, size_t extra) {
    if (count > (std::numeric_limits<size_t>::max() - extra) / unit)
        return nullptr;
    return std::malloc(count * unit + extra);
}

size_t unitLength(const unsigned short* text) {
    size_t n = 0;
    while (text[n] != 0)
        ++n;
    return n;
}

char hexDigit(unsigned nibble) {
    return static_cast<char>(nibble < 10 ? 0x30 + nibble : 0x37 + nibble);
}

}  // namespace

bool UTFConverter::dontNeedEncoding(char c) {
    // Tested as a signed char, so every byte from 0x80 up needs encoding.
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == ' ';
}

char* UTFConverter::encodeURL(const char* text) {
    if (text == nullptr)
        return nullptr;
    size_t n = std::strlen(text);
    char* out = static_cast<char*>(allocateBlock(n, 10, 1));
    if (out == nullptr)
        return nullptr;
    char* w = out;
    for (size_t i = 0; i < n; ++i) {
        char c = text[i];
        if (dontNeedEncoding(c)) {
            *w++ = c == ' ' ? '+' : c;
        } else {
            auto byte = static_cast<unsigned char>(c);
            *w++ = '%';
            *w++ = hexDigit(byte >> 4);
            *w++ = hexDigit(byte & 0x0F);
        }
    }
    *w = '\0';
    return out;
}

char* UTFConverter::decodeURL(const char* text) {
    if (text == nullptr)
        return nullptr;
    size_t n = std::strlen(text);
    char* out = static_cast<char*>(allocateBlock(n, 1, 1));
    if (out == nullptr)
        return nullptr;
    char* w = out;
    for (size_t i = 0; i < n; ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= n)
                break;
            *w++ = static_cast<char>(nvl::cgi::hexPairValue(text[i + 1], text[i + 2]));
            i += 2;
        } else {
            *w++ = c == '+' ? ' ' : c;
        }
    }
    *w = '\0';
    return out;
}

char* UTFConverter::encodeUTF(const unsigned short* text) {
    if (text == nullptr)
        return nullptr;
    size_t n = unitLength(text);
    char* out = static_cast<char*>(allocateBlock(n, 10, 1));
    if (out == nullptr)
        return nullptr;
    auto* w = reinterpret_cast<unsigned char*>(out);
    for (size_t i = 0; i < n; ++i) {
        unsigned u = text[i];
        if (u <= 0x7F) {
            *w++ = static_cast<unsigned char>(u);
        } else if (u <= 0x7FF) {
            *w++ = static_cast<unsigned char>(0xC0 | ((u >> 6) & 0x1F));
            *w++ = static_cast<unsigned char>(0x80 | (u & 0x3F));
        } else {
            *w++ = static_cast<unsigned char>(0xE0 | ((u >> 12) & 0x0F));
            *w++ = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
            *w++ = static_cast<unsigned char>(0x80 | (u & 0x3F));
        }
    }
    *w = '\0';
    return out;
}

unsigned short* UTFConverter::decodeUTF(const char* text) {
    if (text == nullptr)
        return nullptr;
    size_t n = std::strlen(text);
    auto* out = static_cast<unsigned short*>(allocateBlock(n + 1, sizeof(unsigned short), 0));
    if (out == nullptr)
        return nullptr;
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    // The text ends at its terminator, so a missing trail byte shows as the terminator, which
    // is not of the form 10xxxxxx: no read goes past it.
    auto isTrail = [](unsigned char t) { return (t & 0xC0) == 0x80; };
    size_t units = 0;
    size_t i = 0;
    while (i < n) {
        unsigned b = in[i];
        switch (b >> 4) {
            case 0x0:
            case 0x1:
            case 0x2:
            case 0x3:
            case 0x4:
            case 0x5:
            case 0x6:
            case 0x7:
                out[units++] = static_cast<unsigned short>(b);
                i += 1;
                continue;
            case 0xC:
            case 0xD:
                if (isTrail(in[i + 1])) {
                    out[units++] =
                        static_cast<unsigned short>(((b & 0x1F) << 6) | (in[i + 1] & 0x3F));
                    i += 2;
                    continue;
                }
                break;
            case 0xE:
                if (isTrail(in[i + 1]) && isTrail(in[i + 2])) {
                    out[units++] = static_cast<unsigned short>(
                        ((b & 0x0F) << 12) | ((in[i + 1] & 0x3F) << 6) | (in[i + 2] & 0x3F));
                    i += 3;
                    continue;
                }
                break;
            default:
                break;
        }
        std::free(out);
        throw new UTFDataFormatException();
    }
    out[units] = 0;
    return out;
}

namespace {

// The ANSI text of the first `units` UTF-16 units, its length in bytes.
int ansiLength(const char16_t* wide, int units) {
    if (units == 0)
        return 0;
    return nvl::sys::wideCharToMultiByte(nvl::sys::kCodePageAnsi, wide, units, nullptr, 0);
}

}  // namespace

bool decodeUTFtoMBS(char* in, char*& out, int& size) {
    struct Freer {
        void* block;
        ~Freer() { std::free(block); }
    };
    char* decoded = UTFConverter::decodeURL(in);
    if (decoded == nullptr)
        return false;
    Freer decodedOwner{decoded};
    unsigned short* wideUnits = UTFConverter::decodeUTF(decoded);
    if (wideUnits == nullptr)
        return false;
    Freer wideOwner{wideUnits};
    const auto* wide = reinterpret_cast<const char16_t*>(wideUnits);
    size_t units = unitLength(wideUnits);
    if (units > static_cast<size_t>(std::numeric_limits<int>::max() - 1) / 2)
        return false;

    if (out == nullptr) {
        size = static_cast<int>(2 * units + 1);
        out = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
        if (out == nullptr)
            return false;
    }
    if (size <= 0)
        return true;
    std::memset(out, 0, static_cast<size_t>(size));
    int room = size - 1;
    int count = static_cast<int>(units);
    // What does not fit is cut after the last whole character that does; the longest
    // prefix of units that fits is found by halving, never splitting a surrogate pair.
    if (ansiLength(wide, count) > room) {
        int lo = 0;
        int hi = count;
        while (lo < hi) {
            int mid = lo + (hi - lo + 1) / 2;
            if (ansiLength(wide, mid) <= room) {
                lo = mid;
            } else {
                hi = mid - 1;
            }
        }
        count = lo;
        if (count > 0 && wide[count - 1] >= 0xD800 && wide[count - 1] <= 0xDBFF)
            --count;
    }
    if (count > 0)
        nvl::sys::wideCharToMultiByte(nvl::sys::kCodePageAnsi, wide, count, out, room);
    return true;
}
