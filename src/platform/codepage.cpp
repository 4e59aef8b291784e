#include "platform/codepage.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <string>
#include <type_traits>

#include "platform/codepage_tables.h"
#include "platform/error.h"
#include "platform/registry.h"

namespace nvl::sys {

namespace {

using detail::CodePageTable;
using detail::kLeadByte;

constexpr std::string_view kNlsCodePageKey = "SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage";
constexpr char16_t kReplacement = 0xFFFD;
constexpr char kDefaultChar = '?';

const CodePageTable* findTable(uint32_t codePage) {
    for (size_t i = 0; i < detail::kCodePageTableCount; ++i) {
        if (detail::kCodePageTables[i].codePage == codePage)
            return &detail::kCodePageTables[i];
    }
    return nullptr;
}

bool isKnown(uint32_t codePage) {
    return codePage == kCodePageUtf8 || findTable(codePage) != nullptr;
}

// --- The ANSI code page ---------------------------------------------------------------------

std::atomic<uint32_t> g_ansiCodePage{0};  // 0: not read yet
thread_local bool t_readingAnsiCodePage = false;

uint32_t readAnsiCodePage() {
    RegistryKey key;
    uint32_t value = 0;
    if (RegistryKey::open(RegHive::LocalMachine, kNlsCodePageKey, &key) == kSuccess &&
        key.getDword("ACP", &value) == kSuccess && value != kCodePageAnsi && isKnown(value)) {
        return value;
    }
    return kCodePageDefault;
}

// Table look-ups of the current code page, resolved once per call.
struct Resolved {
    uint32_t codePage = 0;
    const CodePageTable* table = nullptr;  // null for UTF-8
    bool ok = false;
};

Resolved resolve(uint32_t codePage) {
    Resolved r;
    r.codePage = codePage == kCodePageAnsi ? ansiCodePage() : codePage;
    if (r.codePage == kCodePageUtf8) {
        r.ok = true;
    } else {
        r.table = findTable(r.codePage);
        r.ok = r.table != nullptr;
    }
    return r;
}

// --- Bytes -> UTF-16 ------------------------------------------------------------------------
//
// Each decoder converts whole characters for as long as they fit and reports what it read
// and wrote. With kCount nothing is stored and the capacity is unlimited.

// Copies a run of ASCII bytes; returns how many. Eight bytes are tested at once: HTML and
// most texts the library writes are largely ASCII.
inline size_t copyAscii(const uint8_t* s, size_t n, char16_t* d, size_t cap) {
    size_t limit = n < cap ? n : cap;
    size_t i = 0;
    while (i + 8 <= limit) {
        uint64_t word;
        std::memcpy(&word, s + i, 8);
        if (word & 0x8080808080808080ull)
            break;
        for (size_t k = 0; k < 8; ++k)
            d[i + k] = s[i + k];
        i += 8;
    }
    while (i < limit && s[i] < 0x80) {
        d[i] = s[i];
        ++i;
    }
    return i;
}

// The loop shared by the decoders. `one` decodes the character at s[0..n), n >= 1: it stores
// its one or two units, sets the number of bytes it took and returns the number of units.
// With kStopAtAscii the loop ends before an ASCII byte that starts a character.
template <bool kCount, bool kStopAtAscii = false, typename One>
ConvertResult decodeLoop(const uint8_t* s, size_t n, char16_t* d, size_t cap, One one) {
    size_t i = 0, o = 0;
    while (i < n) {
        if constexpr (!kCount) {
            if (o == cap)
                break;
            if (s[i] < 0x80) {
                if constexpr (kStopAtAscii)
                    break;
                size_t run = copyAscii(s + i, n - i, d + o, cap - o);
                i += run;
                o += run;
                continue;
            }
        }
        char16_t units[2];
        size_t length;
        size_t count = one(s + i, n - i, units, &length);
        if constexpr (!kCount) {
            if (cap - o < count)
                break;
            d[o] = units[0];
            if (count == 2)
                d[o + 1] = units[1];
        }
        o += count;
        i += length;
    }
    return {i, o};
}

template <bool kCount, bool kStopAtAscii>
ConvertResult decodeTable(const CodePageTable& t, const uint8_t* s, size_t n, char16_t* d,
                          size_t cap) {
    return decodeLoop<kCount, kStopAtAscii>(
        s, n, d, cap,
        [&t](const uint8_t* p, size_t left, char16_t* units, size_t* length) -> size_t {
            char16_t unit = t.single[p[0]];
            *length = 1;
            if (unit == kLeadByte) {
                unit = t.defaultWide;
                if (left > 1) {
                    char16_t pair = t.pairs[t.leadBlock[p[0]] * 256u + p[1]];
                    if (pair != 0) {
                        unit = pair;
                        *length = 2;
                    }
                }
            }
            units[0] = unit;
            return 1;
        });
}

// One UTF-8 sequence at s[0..n), n >= 1: the code point, or -1 with `length` the maximal
// invalid subsequence to replace by one U+FFFD.
inline int32_t decodeUtf8(const uint8_t* s, size_t n, size_t* length) {
    uint8_t b = s[0];
    *length = 1;
    if (b < 0x80)
        return b;
    size_t need;
    int32_t cp;
    uint8_t lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
        cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 2;
        cp = b & 0x0F;
        if (b == 0xE0)
            lo = 0xA0;  // overlong
        if (b == 0xED)
            hi = 0x9F;  // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 3;
        cp = b & 0x07;
        if (b == 0xF0)
            lo = 0x90;  // overlong
        if (b == 0xF4)
            hi = 0x8F;  // above U+10FFFF
    } else {
        return -1;
    }
    for (size_t k = 1; k <= need; ++k) {
        if (k >= n)
            return -1;
        uint8_t c = s[k];
        if (k == 1 ? (c < lo || c > hi) : (c & 0xC0) != 0x80)
            return -1;
        cp = cp << 6 | (c & 0x3F);
        *length = k + 1;
    }
    return cp;
}

template <bool kCount, bool kStopAtAscii>
ConvertResult decodeUtf8Text(const uint8_t* s, size_t n, char16_t* d, size_t cap) {
    return decodeLoop<kCount, kStopAtAscii>(
        s, n, d, cap, [](const uint8_t* p, size_t left, char16_t* units, size_t* length) -> size_t {
            int32_t cp = decodeUtf8(p, left, length);
            if (cp < 0)
                cp = kReplacement;
            if (cp < 0x10000) {
                units[0] = static_cast<char16_t>(cp);
                return 1;
            }
            units[0] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            units[1] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
            return 2;
        });
}

template <bool kCount, bool kStopAtAscii = false>
ConvertResult decode(const Resolved& r, std::string_view src, char16_t* dst, size_t cap) {
    auto* s = reinterpret_cast<const uint8_t*>(src.data());
    if (r.table != nullptr)
        return decodeTable<kCount, kStopAtAscii>(*r.table, s, src.size(), dst, cap);
    return decodeUtf8Text<kCount, kStopAtAscii>(s, src.size(), dst, cap);
}

// --- UTF-16 -> bytes ------------------------------------------------------------------------

inline bool isHighSurrogate(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
inline bool isLowSurrogate(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// The loop shared by the encoders. `one` encodes the character at s[0..n), n >= 1: it stores
// its bytes (at most four), sets the number of units it took and returns the number of bytes.
template <bool kCount, typename One>
ConvertResult encodeLoop(const char16_t* s, size_t n, char* d, size_t cap, One one) {
    size_t i = 0, o = 0;
    while (i < n) {
        char bytes[4];
        size_t length;
        size_t count = one(s + i, n - i, bytes, &length);
        if constexpr (!kCount) {
            if (cap - o < count)
                break;
            std::memcpy(d + o, bytes, count);
        }
        o += count;
        i += length;
    }
    return {i, o};
}

// The number of units of the surrogate (pair or lone unit) at s[0..n).
inline size_t surrogateLength(const char16_t* s, size_t n) {
    return isHighSurrogate(s[0]) && n > 1 && isLowSurrogate(s[1]) ? 2 : 1;
}

template <bool kCount>
ConvertResult encodeTable(const CodePageTable& t, const char16_t* s, size_t n, char* d,
                          size_t cap) {
    return encodeLoop<kCount>(
        s, n, d, cap, [&t](const char16_t* p, size_t left, char* bytes, size_t* length) -> size_t {
            char16_t u = p[0];
            *length = 1;
            uint16_t code;
            if (u < 0x80) {
                code = u;
            } else if (u >= 0xD800 && u <= 0xDFFF) {
                code = kDefaultChar;
                *length = surrogateLength(p, left);
            } else {
                code = t.encodeBlocks[t.encodeIndex[u >> 8] * 256u + (u & 0xFF)];
                if (code == 0)
                    code = kDefaultChar;
            }
            if (code < 0x100) {
                bytes[0] = static_cast<char>(code);
                return 1;
            }
            bytes[0] = static_cast<char>(code >> 8);
            bytes[1] = static_cast<char>(code & 0xFF);
            return 2;
        });
}

template <bool kCount>
ConvertResult encodeUtf8Text(const char16_t* s, size_t n, char* d, size_t cap) {
    return encodeLoop<kCount>(
        s, n, d, cap, [](const char16_t* p, size_t left, char* bytes, size_t* length) -> size_t {
            uint32_t cp = p[0];
            *length = 1;
            if (cp >= 0xD800 && cp <= 0xDFFF) {
                *length = surrogateLength(p, left);
                cp = *length == 2 ? 0x10000 + ((cp - 0xD800) << 10) + (p[1] - 0xDC00u)
                                  : kReplacement;
            }
            if (cp < 0x80) {
                bytes[0] = static_cast<char>(cp);
                return 1;
            }
            if (cp < 0x800) {
                bytes[0] = static_cast<char>(0xC0 | cp >> 6);
                bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
                return 2;
            }
            if (cp < 0x10000) {
                bytes[0] = static_cast<char>(0xE0 | cp >> 12);
                bytes[1] = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
                bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
                return 3;
            }
            bytes[0] = static_cast<char>(0xF0 | cp >> 18);
            bytes[1] = static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            bytes[2] = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
            return 4;
        });
}

template <bool kCount>
ConvertResult encode(const Resolved& r, std::u16string_view src, char* dst, size_t cap) {
    if (r.table != nullptr)
        return encodeTable<kCount>(*r.table, src.data(), src.size(), dst, cap);
    return encodeUtf8Text<kCount>(src.data(), src.size(), dst, cap);
}

// The shared frame of the two Windows-style calls.
template <typename From, typename To, typename Convert>
int convertCall(uint32_t codePage, const From* src, int srcLength, To* dst, int dstCapacity,
                Convert convert) {
    Resolved r = resolve(codePage);
    if (!r.ok || src == nullptr || srcLength == 0 || srcLength < -1 || dstCapacity < 0 ||
        (dst == nullptr && dstCapacity != 0)) {
        setLastError(kErrInvalidParameter);
        return 0;
    }
    size_t length =
        srcLength == -1 ? std::char_traits<From>::length(src) + 1 : static_cast<size_t>(srcLength);
    std::basic_string_view<From> text(src, length);
    if (dstCapacity == 0) {
        size_t needed = convert(r, text, nullptr, SIZE_MAX, std::true_type{}).written;
        if (needed > INT_MAX) {
            setLastError(kErrInvalidParameter);
            return 0;
        }
        return static_cast<int>(needed);
    }
    ConvertResult result =
        convert(r, text, dst, static_cast<size_t>(dstCapacity), std::false_type{});
    if (result.read < length) {
        setLastError(kErrInsufficientBuffer);
        return 0;
    }
    return static_cast<int>(result.written);
}

struct DecodeCall {
    template <bool kCount>
    ConvertResult operator()(const Resolved& r, std::string_view s, char16_t* d, size_t cap,
                             std::bool_constant<kCount>) const {
        return decode<kCount>(r, s, d, cap);
    }
};

struct EncodeCall {
    template <bool kCount>
    ConvertResult operator()(const Resolved& r, std::u16string_view s, char* d, size_t cap,
                             std::bool_constant<kCount>) const {
        return encode<kCount>(r, s, d, cap);
    }
};

// Whole-text conversions into a string sized for the worst case, then trimmed.
std::u16string decodeAll(const Resolved& r, std::string_view text) {
    std::u16string out(text.size(), u'\0');  // never more units than bytes
    out.resize(decode<false>(r, text, out.data(), out.size()).written);
    return out;
}

std::string encodeAll(const Resolved& r, std::u16string_view text) {
    std::string out(text.size() * (r.table != nullptr ? 2 : 3), '\0');
    out.resize(encode<false>(r, text, out.data(), out.size()).written);
    return out;
}

}  // namespace

uint32_t ansiCodePage() {
    uint32_t cached = g_ansiCodePage.load(std::memory_order_acquire);
    if (cached != 0)
        return cached;
    // Reading the registry may itself convert text; until the value is known, such a nested
    // call works in the default code page rather than recursing.
    if (t_readingAnsiCodePage)
        return kCodePageDefault;
    t_readingAnsiCodePage = true;
    uint32_t value = readAnsiCodePage();
    t_readingAnsiCodePage = false;
    g_ansiCodePage.store(value, std::memory_order_release);
    return value;
}

void resetAnsiCodePageForTesting() {
    g_ansiCodePage.store(0, std::memory_order_release);
}

bool isCodePageSupported(uint32_t codePage) {
    return codePage == kCodePageAnsi || isKnown(codePage);
}

bool isLeadByte(uint32_t codePage, unsigned char byte) {
    Resolved r = resolve(codePage);
    return r.table != nullptr && r.table->single[byte] == kLeadByte;
}

int multiByteToWideChar(uint32_t codePage, const char* src, int srcLength, char16_t* dst,
                        int dstCapacity) {
    return convertCall(codePage, src, srcLength, dst, dstCapacity, DecodeCall{});
}

int wideCharToMultiByte(uint32_t codePage, const char16_t* src, int srcLength, char* dst,
                        int dstCapacity) {
    return convertCall(codePage, src, srcLength, dst, dstCapacity, EncodeCall{});
}

ConvertResult decodeSome(uint32_t codePage, std::string_view src, char16_t* dst,
                         size_t dstCapacity) {
    Resolved r = resolve(codePage);
    if (!r.ok)
        return {0, 0};
    return decode<false>(r, src, dst, dstCapacity);
}

ConvertResult decodeNonAscii(uint32_t codePage, std::string_view src, char16_t* dst,
                             size_t dstCapacity) {
    Resolved r = resolve(codePage);
    if (!r.ok)
        return {0, 0};
    return decode<false, true>(r, src, dst, dstCapacity);
}

ConvertResult encodeSome(uint32_t codePage, std::u16string_view src, char* dst,
                         size_t dstCapacity) {
    Resolved r = resolve(codePage);
    if (!r.ok)
        return {0, 0};
    return encode<false>(r, src, dst, dstCapacity);
}

std::u16string ansiToWide(std::string_view ansi) {
    return decodeAll(resolve(kCodePageAnsi), ansi);
}

std::string wideToAnsi(std::u16string_view wide) {
    return encodeAll(resolve(kCodePageAnsi), wide);
}

std::string utf8ToAnsi(std::string_view utf8) {
    return encodeAll(resolve(kCodePageAnsi), decodeAll(resolve(kCodePageUtf8), utf8));
}

std::string ansiToUtf8(std::string_view ansi) {
    return encodeAll(resolve(kCodePageUtf8), decodeAll(resolve(kCodePageAnsi), ansi));
}

}  // namespace nvl::sys
