// MD2, MD4, MD5 and SHA-1; see digest.h.
//
// MD4, MD5 and SHA-1 share the buffering: a feed first completes a partial block held in the
// state, then compresses every whole block straight from the caller's bytes (one call for the
// lot, so the chaining words stay in registers across blocks), and keeps the rest. Words are
// read with memcpy and fixed up for the host's byte order, so any alignment and either byte
// order works.
//
// MD5's round functions are written in the forms with the shortest dependency chains: F as
// d ^ (b & (c ^ d)), and G as the sum of two disjoint terms, (d & b) + (~d & c), whose parts can
// be computed while the previous step's result is still being rotated.
//
// SHA-1 with the SHA instructions follows the usual four-rounds-per-instruction scheme; the
// message schedule is unrolled at compile time (the round-function selector must be an
// immediate), and the processor's reordering interleaves it with the rounds.
#include "signature/digest.h"

#include <string.h>  // explicit_bzero

#include <atomic>
#include <bit>
#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define NVL_HAVE_SHA_EXTENSIONS 1
#endif

namespace nvl::signature {

namespace {

inline uint32_t load32le(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap32(v);
    return v;
}

inline uint32_t load32be(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::little)
        v = __builtin_bswap32(v);
    return v;
}

inline void store32le(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void store32be(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

inline uint32_t rotl(uint32_t v, int s) {
    return std::rotl(v, s);
}

// --- Buffering shared by the 64-byte block digests ------------------------------------------

template <class State, class Compress>
void feedBlocks(State* s, const uint8_t* in, size_t length, Compress compress) {
    if (length == 0)
        return;  // `in` may be null then
    size_t used = static_cast<size_t>(s->length % 64);
    s->length += length;
    if (used != 0) {
        size_t take = 64 - used;
        if (length < take) {
            std::memcpy(s->buffer + used, in, length);
            return;
        }
        std::memcpy(s->buffer + used, in, take);
        compress(s->h, s->buffer, 1);
        in += take;
        length -= take;
    }
    if (length >= 64) {
        compress(s->h, in, length / 64);
        in += length & ~size_t{63};
        length &= 63;
    }
    if (length != 0)
        std::memcpy(s->buffer, in, length);
}

// Appends 0x80, zeros and the length in bits (little- or big-endian) and compresses the rest.
template <class State, class Compress>
void padBlocks(State* s, bool bigEndianLength, Compress compress) {
    uint64_t bits = s->length * 8;
    size_t used = static_cast<size_t>(s->length % 64);
    s->buffer[used++] = 0x80;
    if (used > 56) {
        std::memset(s->buffer + used, 0, 64 - used);
        compress(s->h, s->buffer, 1);
        used = 0;
    }
    std::memset(s->buffer + used, 0, 56 - used);
    for (int i = 0; i < 8; ++i) {
        int shift = bigEndianLength ? 56 - 8 * i : 8 * i;
        s->buffer[56 + i] = static_cast<uint8_t>(bits >> shift);
    }
    compress(s->h, s->buffer, 1);
}

// --- MD5 -------------------------------------------------------------------------------------

#define MD5_F(a, b, c, d, x, s, t)              \
    a += ((d) ^ ((b) & ((c) ^ (d)))) + (x) + t; \
    a = rotl(a, s) + (b)
#define MD5_G(a, b, c, d, x, s, t)             \
    a += ((d) & (b)) + (x) + t + (~(d) & (c)); \
    a = rotl(a, s) + (b)
#define MD5_H(a, b, c, d, x, s, t)    \
    a += ((b) ^ (c) ^ (d)) + (x) + t; \
    a = rotl(a, s) + (b)
#define MD5_I(a, b, c, d, x, s, t)       \
    a += ((c) ^ ((b) | ~(d))) + (x) + t; \
    a = rotl(a, s) + (b)

void md5Compress(uint32_t h[4], const uint8_t* p, size_t blocks) {
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    for (; blocks != 0; --blocks, p += 64) {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i)
            x[i] = load32le(p + 4 * i);
        uint32_t aa = a, bb = b, cc = c, dd = d;

        MD5_F(a, b, c, d, x[0], 7, 0xd76aa478);
        MD5_F(d, a, b, c, x[1], 12, 0xe8c7b756);
        MD5_F(c, d, a, b, x[2], 17, 0x242070db);
        MD5_F(b, c, d, a, x[3], 22, 0xc1bdceee);
        MD5_F(a, b, c, d, x[4], 7, 0xf57c0faf);
        MD5_F(d, a, b, c, x[5], 12, 0x4787c62a);
        MD5_F(c, d, a, b, x[6], 17, 0xa8304613);
        MD5_F(b, c, d, a, x[7], 22, 0xfd469501);
        MD5_F(a, b, c, d, x[8], 7, 0x698098d8);
        MD5_F(d, a, b, c, x[9], 12, 0x8b44f7af);
        MD5_F(c, d, a, b, x[10], 17, 0xffff5bb1);
        MD5_F(b, c, d, a, x[11], 22, 0x895cd7be);
        MD5_F(a, b, c, d, x[12], 7, 0x6b901122);
        MD5_F(d, a, b, c, x[13], 12, 0xfd987193);
        MD5_F(c, d, a, b, x[14], 17, 0xa679438e);
        MD5_F(b, c, d, a, x[15], 22, 0x49b40821);

        MD5_G(a, b, c, d, x[1], 5, 0xf61e2562);
        MD5_G(d, a, b, c, x[6], 9, 0xc040b340);
        MD5_G(c, d, a, b, x[11], 14, 0x265e5a51);
        MD5_G(b, c, d, a, x[0], 20, 0xe9b6c7aa);
        MD5_G(a, b, c, d, x[5], 5, 0xd62f105d);
        MD5_G(d, a, b, c, x[10], 9, 0x02441453);
        MD5_G(c, d, a, b, x[15], 14, 0xd8a1e681);
        MD5_G(b, c, d, a, x[4], 20, 0xe7d3fbc8);
        MD5_G(a, b, c, d, x[9], 5, 0x21e1cde6);
        MD5_G(d, a, b, c, x[14], 9, 0xc33707d6);
        MD5_G(c, d, a, b, x[3], 14, 0xf4d50d87);
        MD5_G(b, c, d, a, x[8], 20, 0x455a14ed);
        MD5_G(a, b, c, d, x[13], 5, 0xa9e3e905);
        MD5_G(d, a, b, c, x[2], 9, 0xfcefa3f8);
        MD5_G(c, d, a, b, x[7], 14, 0x676f02d9);
        MD5_G(b, c, d, a, x[12], 20, 0x8d2a4c8a);

        MD5_H(a, b, c, d, x[5], 4, 0xfffa3942);
        MD5_H(d, a, b, c, x[8], 11, 0x8771f681);
        MD5_H(c, d, a, b, x[11], 16, 0x6d9d6122);
        MD5_H(b, c, d, a, x[14], 23, 0xfde5380c);
        MD5_H(a, b, c, d, x[1], 4, 0xa4beea44);
        MD5_H(d, a, b, c, x[4], 11, 0x4bdecfa9);
        MD5_H(c, d, a, b, x[7], 16, 0xf6bb4b60);
        MD5_H(b, c, d, a, x[10], 23, 0xbebfbc70);
        MD5_H(a, b, c, d, x[13], 4, 0x289b7ec6);
        MD5_H(d, a, b, c, x[0], 11, 0xeaa127fa);
        MD5_H(c, d, a, b, x[3], 16, 0xd4ef3085);
        MD5_H(b, c, d, a, x[6], 23, 0x04881d05);
        MD5_H(a, b, c, d, x[9], 4, 0xd9d4d039);
        MD5_H(d, a, b, c, x[12], 11, 0xe6db99e5);
        MD5_H(c, d, a, b, x[15], 16, 0x1fa27cf8);
        MD5_H(b, c, d, a, x[2], 23, 0xc4ac5665);

        MD5_I(a, b, c, d, x[0], 6, 0xf4292244);
        MD5_I(d, a, b, c, x[7], 10, 0x432aff97);
        MD5_I(c, d, a, b, x[14], 15, 0xab9423a7);
        MD5_I(b, c, d, a, x[5], 21, 0xfc93a039);
        MD5_I(a, b, c, d, x[12], 6, 0x655b59c3);
        MD5_I(d, a, b, c, x[3], 10, 0x8f0ccc92);
        MD5_I(c, d, a, b, x[10], 15, 0xffeff47d);
        MD5_I(b, c, d, a, x[1], 21, 0x85845dd1);
        MD5_I(a, b, c, d, x[8], 6, 0x6fa87e4f);
        MD5_I(d, a, b, c, x[15], 10, 0xfe2ce6e0);
        MD5_I(c, d, a, b, x[6], 15, 0xa3014314);
        MD5_I(b, c, d, a, x[13], 21, 0x4e0811a1);
        MD5_I(a, b, c, d, x[4], 6, 0xf7537e82);
        MD5_I(d, a, b, c, x[11], 10, 0xbd3af235);
        MD5_I(c, d, a, b, x[2], 15, 0x2ad7d2bb);
        MD5_I(b, c, d, a, x[9], 21, 0xeb86d391);

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    h[0] = a;
    h[1] = b;
    h[2] = c;
    h[3] = d;
}

#undef MD5_F
#undef MD5_G
#undef MD5_H
#undef MD5_I

// --- MD4 -------------------------------------------------------------------------------------

#define MD4_F(a, b, c, d, x, s)             \
    a += ((d) ^ ((b) & ((c) ^ (d)))) + (x); \
    a = rotl(a, s)
#define MD4_G(a, b, c, d, x, s)                                         \
    a += (((b) & (c)) | ((b) & (d)) | ((c) & (d))) + (x) + 0x5a827999u; \
    a = rotl(a, s)
#define MD4_H(a, b, c, d, x, s)                 \
    a += ((b) ^ (c) ^ (d)) + (x) + 0x6ed9eba1u; \
    a = rotl(a, s)

void md4Compress(uint32_t h[4], const uint8_t* p, size_t blocks) {
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    for (; blocks != 0; --blocks, p += 64) {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i)
            x[i] = load32le(p + 4 * i);
        uint32_t aa = a, bb = b, cc = c, dd = d;
        for (int i = 0; i < 16; i += 4) {
            MD4_F(a, b, c, d, x[i], 3);
            MD4_F(d, a, b, c, x[i + 1], 7);
            MD4_F(c, d, a, b, x[i + 2], 11);
            MD4_F(b, c, d, a, x[i + 3], 19);
        }
        for (int i = 0; i < 4; ++i) {
            MD4_G(a, b, c, d, x[i], 3);
            MD4_G(d, a, b, c, x[i + 4], 5);
            MD4_G(c, d, a, b, x[i + 8], 9);
            MD4_G(b, c, d, a, x[i + 12], 13);
        }
        static constexpr int kRound3[4] = {0, 2, 1, 3};
        for (int k : kRound3) {
            MD4_H(a, b, c, d, x[k], 3);
            MD4_H(d, a, b, c, x[k + 8], 9);
            MD4_H(c, d, a, b, x[k + 4], 11);
            MD4_H(b, c, d, a, x[k + 12], 15);
        }
        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    h[0] = a;
    h[1] = b;
    h[2] = c;
    h[3] = d;
}

#undef MD4_F
#undef MD4_G
#undef MD4_H

// --- SHA-1, portable ------------------------------------------------------------------------

#define SHA1_ROUND(a, b, c, d, e, f, k, w) \
    e += rotl(a, 5) + (f) + (k) + (w);     \
    b = rotl(b, 30)
#define SHA1_CH(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define SHA1_PARITY(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_MAJ(b, c, d) (((b) & (c)) | ((d) & ((b) | (c))))

void sha1CompressPortable(uint32_t h[5], const uint8_t* p, size_t blocks) {
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (; blocks != 0; --blocks, p += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i)
            w[i] = load32be(p + 4 * i);
        uint32_t aa = a, bb = b, cc = c, dd = d, ee = e;
        auto next = [&w](int t) {
            uint32_t v = rotl(w[(t + 13) & 15] ^ w[(t + 8) & 15] ^ w[(t + 2) & 15] ^ w[t & 15], 1);
            w[t & 15] = v;
            return v;
        };
        // Five rounds per iteration rotate the variables back into place.
        for (int t = 0; t < 15; t += 5) {
            SHA1_ROUND(a, b, c, d, e, SHA1_CH(b, c, d), 0x5a827999u, w[t]);
            SHA1_ROUND(e, a, b, c, d, SHA1_CH(a, b, c), 0x5a827999u, w[t + 1]);
            SHA1_ROUND(d, e, a, b, c, SHA1_CH(e, a, b), 0x5a827999u, w[t + 2]);
            SHA1_ROUND(c, d, e, a, b, SHA1_CH(d, e, a), 0x5a827999u, w[t + 3]);
            SHA1_ROUND(b, c, d, e, a, SHA1_CH(c, d, e), 0x5a827999u, w[t + 4]);
        }
        SHA1_ROUND(a, b, c, d, e, SHA1_CH(b, c, d), 0x5a827999u, w[15]);
        SHA1_ROUND(e, a, b, c, d, SHA1_CH(a, b, c), 0x5a827999u, next(16));
        SHA1_ROUND(d, e, a, b, c, SHA1_CH(e, a, b), 0x5a827999u, next(17));
        SHA1_ROUND(c, d, e, a, b, SHA1_CH(d, e, a), 0x5a827999u, next(18));
        SHA1_ROUND(b, c, d, e, a, SHA1_CH(c, d, e), 0x5a827999u, next(19));
        for (int t = 20; t < 40; t += 5) {
            SHA1_ROUND(a, b, c, d, e, SHA1_PARITY(b, c, d), 0x6ed9eba1u, next(t));
            SHA1_ROUND(e, a, b, c, d, SHA1_PARITY(a, b, c), 0x6ed9eba1u, next(t + 1));
            SHA1_ROUND(d, e, a, b, c, SHA1_PARITY(e, a, b), 0x6ed9eba1u, next(t + 2));
            SHA1_ROUND(c, d, e, a, b, SHA1_PARITY(d, e, a), 0x6ed9eba1u, next(t + 3));
            SHA1_ROUND(b, c, d, e, a, SHA1_PARITY(c, d, e), 0x6ed9eba1u, next(t + 4));
        }
        for (int t = 40; t < 60; t += 5) {
            SHA1_ROUND(a, b, c, d, e, SHA1_MAJ(b, c, d), 0x8f1bbcdcu, next(t));
            SHA1_ROUND(e, a, b, c, d, SHA1_MAJ(a, b, c), 0x8f1bbcdcu, next(t + 1));
            SHA1_ROUND(d, e, a, b, c, SHA1_MAJ(e, a, b), 0x8f1bbcdcu, next(t + 2));
            SHA1_ROUND(c, d, e, a, b, SHA1_MAJ(d, e, a), 0x8f1bbcdcu, next(t + 3));
            SHA1_ROUND(b, c, d, e, a, SHA1_MAJ(c, d, e), 0x8f1bbcdcu, next(t + 4));
        }
        for (int t = 60; t < 80; t += 5) {
            SHA1_ROUND(a, b, c, d, e, SHA1_PARITY(b, c, d), 0xca62c1d6u, next(t));
            SHA1_ROUND(e, a, b, c, d, SHA1_PARITY(a, b, c), 0xca62c1d6u, next(t + 1));
            SHA1_ROUND(d, e, a, b, c, SHA1_PARITY(e, a, b), 0xca62c1d6u, next(t + 2));
            SHA1_ROUND(c, d, e, a, b, SHA1_PARITY(d, e, a), 0xca62c1d6u, next(t + 3));
            SHA1_ROUND(b, c, d, e, a, SHA1_PARITY(c, d, e), 0xca62c1d6u, next(t + 4));
        }
        a += aa;
        b += bb;
        c += cc;
        d += dd;
        e += ee;
    }
    h[0] = a;
    h[1] = b;
    h[2] = c;
    h[3] = d;
    h[4] = e;
}

#undef SHA1_ROUND
#undef SHA1_CH
#undef SHA1_PARITY
#undef SHA1_MAJ

// --- SHA-1 with the SHA instructions ---------------------------------------------------------

#ifdef NVL_HAVE_SHA_EXTENSIONS

#define NVL_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// Four rounds: group G (0 to 19) of the 80. `w` holds the last four message quads, quad G in
// w[G % 4]; `e` is the E input of this group, `saved` receives ABCD before the rounds (the next
// group's E source).
template <int G>
NVL_SHA_TARGET inline void sha1Group(__m128i& abcd, __m128i& e, __m128i& saved, __m128i (&w)[4],
                                     const uint8_t* p, __m128i mask) {
    if constexpr (G < 4) {
        w[G] =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * G)), mask);
    } else {
        // W[G] = msg2(msg1(W[G-4], W[G-3]) ^ W[G-2], W[G-1])
        w[G % 4] = _mm_sha1msg2_epu32(
            _mm_xor_si128(_mm_sha1msg1_epu32(w[G % 4], w[(G + 1) % 4]), w[(G + 2) % 4]),
            w[(G + 3) % 4]);
    }
    __m128i input;
    if constexpr (G == 0)
        input = _mm_add_epi32(e, w[0]);
    else
        input = _mm_sha1nexte_epu32(e, w[G % 4]);
    saved = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, input, G / 5);
    e = saved;
}

template <int... G>
NVL_SHA_TARGET inline void sha1Groups(std::integer_sequence<int, G...>, __m128i& abcd, __m128i& e,
                                      __m128i& saved, __m128i (&w)[4], const uint8_t* p,
                                      __m128i mask) {
    (sha1Group<G>(abcd, e, saved, w, p, mask), ...);
}

NVL_SHA_TARGET void sha1CompressShaExtensions(uint32_t h[5], const uint8_t* p, size_t blocks) {
    const __m128i mask = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(h)), 0x1b);
    __m128i e0 = _mm_set_epi32(static_cast<int>(h[4]), 0, 0, 0);
    for (; blocks != 0; --blocks, p += 64) {
        __m128i abcdStart = abcd;
        __m128i eStart = e0;
        __m128i w[4];
        __m128i e = e0;
        __m128i saved;
        sha1Groups(std::make_integer_sequence<int, 20>{}, abcd, e, saved, w, p, mask);
        e0 = _mm_sha1nexte_epu32(e, eStart);
        abcd = _mm_add_epi32(abcd, abcdStart);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(h), _mm_shuffle_epi32(abcd, 0x1b));
    h[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

bool cpuHasShaExtensions() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0)
        return false;
    bool ssse3 = (ecx & (1u << 9)) != 0;
    bool sse41 = (ecx & (1u << 19)) != 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0)
        return false;
    bool sha = (ebx & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}

#endif  // NVL_HAVE_SHA_EXTENSIONS

using Sha1Compress = void (*)(uint32_t*, const uint8_t*, size_t);

Sha1Compress chooseSha1() {
#ifdef NVL_HAVE_SHA_EXTENSIONS
    if (cpuHasShaExtensions())
        return sha1CompressShaExtensions;
#endif
    return sha1CompressPortable;
}

std::atomic<Sha1Compress> g_sha1Compress{nullptr};

void sha1Compress(uint32_t h[5], const uint8_t* p, size_t blocks) {
    Sha1Compress f = g_sha1Compress.load(std::memory_order_relaxed);
    if (f == nullptr) {
        f = chooseSha1();
        g_sha1Compress.store(f, std::memory_order_relaxed);
    }
    f(h, p, blocks);
}

// --- MD2 -------------------------------------------------------------------------------------

// The substitution built from the digits of pi (RFC 1319, section 3.2).
constexpr uint8_t kMd2Pi[256] = {
    41,  46,  67,  201, 162, 216, 124, 1,   61,  54,  84,  161, 236, 240, 6,   19,  98,  167, 5,
    243, 192, 199, 115, 140, 152, 147, 43,  217, 188, 76,  130, 202, 30,  155, 87,  60,  253, 212,
    224, 22,  103, 66,  111, 24,  138, 23,  229, 18,  190, 78,  196, 214, 218, 158, 222, 73,  160,
    251, 245, 142, 187, 47,  238, 122, 169, 104, 121, 145, 21,  178, 7,   63,  148, 194, 16,  137,
    11,  34,  95,  33,  128, 127, 93,  154, 90,  144, 50,  39,  53,  62,  204, 231, 191, 247, 151,
    3,   255, 25,  48,  179, 72,  165, 181, 209, 215, 94,  146, 42,  172, 86,  170, 198, 79,  184,
    56,  210, 150, 164, 125, 182, 118, 252, 107, 226, 156, 116, 4,   241, 69,  157, 112, 89,  100,
    113, 135, 32,  134, 91,  207, 101, 230, 45,  168, 2,   27,  96,  37,  173, 174, 176, 185, 246,
    28,  70,  97,  105, 52,  64,  126, 15,  85,  71,  163, 35,  221, 81,  175, 58,  195, 92,  249,
    206, 186, 197, 234, 38,  44,  83,  13,  110, 133, 40,  132, 9,   211, 223, 205, 244, 65,  129,
    77,  82,  106, 220, 55,  200, 108, 193, 171, 250, 36,  225, 123, 8,   12,  189, 177, 74,  120,
    136, 149, 139, 227, 99,  232, 109, 233, 203, 213, 254, 59,  0,   29,  57,  242, 239, 183, 14,
    102, 88,  208, 228, 166, 119, 114, 248, 235, 117, 75,  10,  49,  68,  80,  180, 143, 237, 31,
    26,  219, 153, 141, 51,  159, 17,  131, 20,
};

constexpr bool isPermutation(const uint8_t (&table)[256]) {
    bool seen[256] = {};
    for (uint8_t v : table) {
        if (seen[v])
            return false;
        seen[v] = true;
    }
    return true;
}
static_assert(isPermutation(kMd2Pi));

// Mixes one block into the state and the checksum (the checksum as corrected in the RFC's
// errata: each byte is XORed with the substitution, not replaced by it).
void md2Block(Md2State* s, const uint8_t block[16]) {
    uint8_t x[48];
    for (int i = 0; i < 16; ++i) {
        x[i] = s->state[i];
        x[16 + i] = block[i];
        x[32 + i] = static_cast<uint8_t>(block[i] ^ s->state[i]);
    }
    uint8_t t = 0;
    for (int j = 0; j < 18; ++j) {
        for (int k = 0; k < 48; ++k) {
            x[k] ^= kMd2Pi[t];
            t = x[k];
        }
        t = static_cast<uint8_t>(t + j);
    }
    std::memcpy(s->state, x, 16);
    uint8_t l = s->checksum[15];
    for (int i = 0; i < 16; ++i) {
        s->checksum[i] ^= kMd2Pi[block[i] ^ l];
        l = s->checksum[i];
    }
    explicit_bzero(x, sizeof x);
}

}  // namespace

// --- Public operations -----------------------------------------------------------------------

void md2Start(Md2State* s) {
    std::memset(s, 0, sizeof *s);
}

void md2Feed(Md2State* s, const void* data, size_t length) {
    const auto* in = static_cast<const uint8_t*>(data);
    while (length != 0) {
        size_t take = 16 - s->used;
        if (take > length)
            take = length;
        std::memcpy(s->buffer + s->used, in, take);
        s->used += static_cast<uint32_t>(take);
        in += take;
        length -= take;
        if (s->used == 16) {
            md2Block(s, s->buffer);
            s->used = 0;
        }
    }
}

void md2Finish(Md2State* s, uint8_t out[kMd2Size]) {
    uint8_t pad = static_cast<uint8_t>(16 - s->used);
    std::memset(s->buffer + s->used, pad, pad);
    md2Block(s, s->buffer);
    uint8_t checksum[16];
    std::memcpy(checksum, s->checksum, 16);
    md2Block(s, checksum);
    std::memcpy(out, s->state, kMd2Size);
    explicit_bzero(checksum, sizeof checksum);
    explicit_bzero(s, sizeof *s);
}

void md4Start(Md4State* s) {
    std::memset(s, 0, sizeof *s);
    s->h[0] = 0x67452301;
    s->h[1] = 0xefcdab89;
    s->h[2] = 0x98badcfe;
    s->h[3] = 0x10325476;
}

void md4Feed(Md4State* s, const void* data, size_t length) {
    feedBlocks(s, static_cast<const uint8_t*>(data), length, md4Compress);
}

void md4Finish(Md4State* s, uint8_t out[kMd4Size]) {
    padBlocks(s, false, md4Compress);
    for (int i = 0; i < 4; ++i)
        store32le(out + 4 * i, s->h[i]);
    explicit_bzero(s, sizeof *s);
}

void md5Start(Md5State* s) {
    md4Start(s);
}  // same initial words

void md5Feed(Md5State* s, const void* data, size_t length) {
    feedBlocks(s, static_cast<const uint8_t*>(data), length, md5Compress);
}

void md5Finish(Md5State* s, uint8_t out[kMd5Size]) {
    padBlocks(s, false, md5Compress);
    for (int i = 0; i < 4; ++i)
        store32le(out + 4 * i, s->h[i]);
    explicit_bzero(s, sizeof *s);
}

void sha1Start(Sha1State* s) {
    std::memset(s, 0, sizeof *s);
    s->h[0] = 0x67452301;
    s->h[1] = 0xefcdab89;
    s->h[2] = 0x98badcfe;
    s->h[3] = 0x10325476;
    s->h[4] = 0xc3d2e1f0;
}

void sha1Feed(Sha1State* s, const void* data, size_t length) {
    feedBlocks(s, static_cast<const uint8_t*>(data), length, sha1Compress);
}

void sha1Finish(Sha1State* s, uint8_t out[kSha1Size]) {
    padBlocks(s, true, sha1Compress);
    for (int i = 0; i < 5; ++i)
        store32be(out + 4 * i, s->h[i]);
    explicit_bzero(s, sizeof *s);
}

size_t digestSize(uint32_t id) {
    switch (id) {
        case kDigestMd2:
            return kMd2Size;
        case kDigestSha1:
            return kSha1Size;
        case kDigestMd4:
            return kMd4Size;
        case kDigestMd5:
            return kMd5Size;
        default:
            return 0;
    }
}

bool digestStart(DigestContext* ctx, uint32_t id) {
    switch (id) {
        case kDigestMd2:
            md2Start(&ctx->md2);
            break;
        case kDigestSha1:
            sha1Start(&ctx->sha1);
            break;
        case kDigestMd4:
            md4Start(&ctx->md4);
            break;
        case kDigestMd5:
            md5Start(&ctx->md5);
            break;
        default:
            ctx->id = 0;
            return false;
    }
    ctx->id = id;
    return true;
}

bool digestFeed(DigestContext* ctx, const void* data, size_t length) {
    switch (ctx->id) {
        case kDigestMd2:
            md2Feed(&ctx->md2, data, length);
            return true;
        case kDigestSha1:
            sha1Feed(&ctx->sha1, data, length);
            return true;
        case kDigestMd4:
            md4Feed(&ctx->md4, data, length);
            return true;
        case kDigestMd5:
            md5Feed(&ctx->md5, data, length);
            return true;
        default:
            return false;
    }
}

bool digestFinish(DigestContext* ctx, uint8_t out[kMaxDigestSize]) {
    switch (ctx->id) {
        case kDigestMd2:
            md2Finish(&ctx->md2, out);
            return true;
        case kDigestSha1:
            sha1Finish(&ctx->sha1, out);
            return true;
        case kDigestMd4:
            md4Finish(&ctx->md4, out);
            return true;
        case kDigestMd5:
            md5Finish(&ctx->md5, out);
            return true;
        default:
            return false;
    }
}

void wipeDigest(DigestContext* ctx) {
    explicit_bzero(ctx, sizeof *ctx);
}

bool selectSha1EngineForTesting(Sha1Engine engine) {
    switch (engine) {
        case Sha1Engine::kAuto:
            g_sha1Compress.store(chooseSha1());
            return true;
        case Sha1Engine::kPortable:
            g_sha1Compress.store(sha1CompressPortable);
            return true;
        case Sha1Engine::kShaExtensions:
#ifdef NVL_HAVE_SHA_EXTENSIONS
            if (!cpuHasShaExtensions())
                return false;
            g_sha1Compress.store(sha1CompressShaExtensions);
            return true;
#else
            return false;
#endif
    }
    return false;
}

}  // namespace nvl::signature
