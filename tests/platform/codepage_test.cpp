#include "platform/codepage.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <vector>

#include "platform/error.h"
#include "support/test_env.h"

namespace nvl::sys {
namespace {

std::u16string decodeWith(uint32_t codePage, const std::string& bytes) {
    int n = multiByteToWideChar(codePage, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(n), u'\0');
    EXPECT_EQ(n, multiByteToWideChar(codePage, bytes.data(), static_cast<int>(bytes.size()),
                                     out.data(), n));
    return out;
}

std::string encodeWith(uint32_t codePage, const std::u16string& units) {
    int n = wideCharToMultiByte(codePage, units.data(), static_cast<int>(units.size()), nullptr, 0);
    std::string out(static_cast<size_t>(n), '\0');
    EXPECT_EQ(n, wideCharToMultiByte(codePage, units.data(), static_cast<int>(units.size()),
                                     out.data(), n));
    return out;
}

// Sets the registry's ACP line (empty: no value) and makes the next ansiCodePage() read it.
void setAcp(const test::TestEnv& env, const std::string& valueLine) {
    std::string reg =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage]\r\n";
    if (!valueLine.empty())
        reg += valueLine + "\r\n";
    env.writeFile("etc/registry.reg", reg);
    resetAnsiCodePageForTesting();
}

TEST(CodePageCall, CountsTerminatorsCapacityAndErrors) {
    for (uint32_t cp : {932u, 1252u, kCodePageUtf8}) {
        SCOPED_TRACE(cp);
        char16_t wide[8] = {};
        EXPECT_EQ(4, multiByteToWideChar(cp, "abc", -1, nullptr, 0));  // size query with NUL
        EXPECT_EQ(4, multiByteToWideChar(cp, "abc", -1, wide, 8));
        EXPECT_EQ(u"abc", std::u16string(wide, 4).substr(0, 3));
        EXPECT_EQ(u'\0', wide[3]);
        EXPECT_EQ(3, multiByteToWideChar(cp, "abc", 3, wide, 3));  // exact length, no NUL

        setLastError(kSuccess);
        EXPECT_EQ(0, multiByteToWideChar(cp, "abc", -1, wide, 3));
        EXPECT_EQ(kErrInsufficientBuffer, lastError());

        char bytes[8] = {};
        EXPECT_EQ(4, wideCharToMultiByte(cp, u"abc", -1, nullptr, 0));
        EXPECT_EQ(4, wideCharToMultiByte(cp, u"abc", -1, bytes, 8));
        EXPECT_STREQ("abc", bytes);
        setLastError(kSuccess);
        EXPECT_EQ(0, wideCharToMultiByte(cp, u"abc", -1, bytes, 3));
        EXPECT_EQ(kErrInsufficientBuffer, lastError());
    }
    // A double-byte character needs both bytes of room; it is never split.
    char two[2] = {};
    EXPECT_EQ(2, wideCharToMultiByte(932, u"\u3042", 1, nullptr, 0));
    EXPECT_EQ(0, wideCharToMultiByte(932, u"\u3042", 1, two, 1));
    EXPECT_EQ(kErrInsufficientBuffer, lastError());

    struct Bad {
        uint32_t codePage;
        const char* src;
        int srcLength;
        bool nullDst;
        int capacity;
    };
    for (const Bad& bad : std::vector<Bad>{
             {12345, "a", -1, false, 4},  // unknown code page
             {932, nullptr, -1, false, 4},
             {932, "a", 0, false, 4},
             {932, "a", -2, false, 4},
             {932, "a", -1, false, -1},
             {932, "a", -1, true, 4},
         }) {
        char16_t wide[4];
        char bytes[4];
        setLastError(kSuccess);
        EXPECT_EQ(0, multiByteToWideChar(bad.codePage, bad.src, bad.srcLength,
                                         bad.nullDst ? nullptr : wide, bad.capacity));
        EXPECT_EQ(kErrInvalidParameter, lastError());
        setLastError(kSuccess);
        EXPECT_EQ(0, wideCharToMultiByte(bad.codePage, bad.src ? u"a" : nullptr, bad.srcLength,
                                         bad.nullDst ? nullptr : bytes, bad.capacity));
        EXPECT_EQ(kErrInvalidParameter, lastError());
    }
}

struct Mapping {
    uint32_t codePage;
    std::string bytes;
    std::u16string wide;
    enum { kBoth, kDecodeOnly, kEncodeOnly } direction;
};

TEST(CodePageCall, MapsSamplesLikeTheOriginal) {
    const std::vector<Mapping> cases = {
        // 932: Microsoft's table, including its NEC, IBM and user-defined rows.
        {932, "\x82\xA0", u"\u3042", Mapping::kBoth},
        {932, "\x81\x5C", u"\u2015", Mapping::kBoth},        // horizontal bar, not the em dash
        {932, "\x95\x5C\x5C", u"\u8868\\", Mapping::kBoth},  // 5C as a trail byte, then as '\'
        {932, "\xB1\xDE", u"\uFF71\uFF9E", Mapping::kBoth},  // half-width katakana
        {932, "\x87\x40", u"\u2460", Mapping::kBoth},
        {932, "\xF0\x40", u"\uE000", Mapping::kBoth},
        {932, "\x80\xA0\xFD", u"\u0080\uF8F0\uF8F1", Mapping::kBoth},
        {932, "\x5C\x7E", u"\\~", Mapping::kBoth},
        {932, "\x81\x5C", u"\u2014", Mapping::kEncodeOnly},
        {932, "\x5C", u"\u00A5", Mapping::kEncodeOnly},
        // What cannot be mapped: '?' one way, U+30FB the other.
        {932, "??a", u"\u0100\u00E9a", Mapping::kEncodeOnly},
        {932, "?", u"\U0001F600", Mapping::kEncodeOnly},  // one character, one '?'
        {932, "?a", std::u16string(u"\xDC00") + u"a", Mapping::kEncodeOnly},
        {932, "\x81", u"\u30FB", Mapping::kDecodeOnly},      // lead byte at the end
        {932, "\x81\n", u"\u30FB\n", Mapping::kDecodeOnly},  // stray lead keeps the \n
        {932, "\x81\"", u"\u30FB\"", Mapping::kDecodeOnly},
        {932, "\x85\x40", u"\u30FB", Mapping::kDecodeOnly},  // lead byte without a row
        {932, "\x81\x7F", u"\u30FB\x7F", Mapping::kDecodeOnly},
        // 936, 949, 950.
        {936, "\xC4\xE3\x80", u"\u4F60\u20AC", Mapping::kBoth},
        {936, "\xAA\xA1", u"\u30FB", Mapping::kDecodeOnly},  // user-defined area
        {949, "\xB0\xA1", u"\uAC00", Mapping::kBoth},
        {949, "\xC9\xA1", u"\u30FB", Mapping::kDecodeOnly},
        {950, "\xA4\xA4\xA5\x5C", u"\u4E2D\u529F", Mapping::kBoth},
        // 1252.
        {1252, "caf\xE9\x80\x81", u"caf\u00E9\u20AC\u0081", Mapping::kBoth},
        {1252, "??", u"\u0100\u3042", Mapping::kEncodeOnly},
        // 65001.
        {kCodePageUtf8, "\xC3\xA9\xE3\x81\x82", u"\u00E9\u3042", Mapping::kBoth},
        {kCodePageUtf8, "\xF0\x9F\x98\x80", u"\U0001F600", Mapping::kBoth},
        {kCodePageUtf8,
         "\xEF\xBF\xBD"
         "a",
         std::u16string(u"\xD800") + u"a", Mapping::kEncodeOnly},
        {kCodePageUtf8, "\xC3", u"\uFFFD", Mapping::kDecodeOnly},
        {kCodePageUtf8,
         "\xE3\x81"
         "a",
         u"\uFFFDa", Mapping::kDecodeOnly},
        {kCodePageUtf8, "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", Mapping::kDecodeOnly},
        {kCodePageUtf8, "\xC0\xAF\xF5\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", Mapping::kDecodeOnly},
        {kCodePageUtf8, "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", Mapping::kDecodeOnly},
    };
    for (const Mapping& m : cases) {
        SCOPED_TRACE(testing::Message() << m.codePage << " " << testing::PrintToString(m.bytes));
        if (m.direction != Mapping::kEncodeOnly) {
            EXPECT_EQ(m.wide, decodeWith(m.codePage, m.bytes));
        }
        if (m.direction != Mapping::kDecodeOnly) {
            EXPECT_EQ(m.bytes, encodeWith(m.codePage, m.wide));
        }
    }
}

// The tables against glibc's iconv itself: every pair it decodes and every BMP character it
// encodes must come out the same, and counting must agree with converting.
TEST(CodePageCall, AgreesWithIconvOnEveryCharacter) {
    struct Page {
        uint32_t codePage;
        const char* name;
    };
    for (const Page& page : {Page{932, "CP932"}, Page{936, "CP936"}, Page{949, "CP949"},
                             Page{950, "CP950"}, Page{1252, "CP1252"}}) {
        SCOPED_TRACE(page.name);
        iconv_t dec = iconv_open("UTF-16LE", page.name);
        iconv_t enc = iconv_open(page.name, "UTF-16LE");
        ASSERT_NE(reinterpret_cast<iconv_t>(-1), dec);
        ASSERT_NE(reinterpret_cast<iconv_t>(-1), enc);
        int mismatches = 0;
        for (int i = 1; i < 0x10000 && mismatches < 5; ++i) {
            char in[2] = {static_cast<char>(i >> 8), static_cast<char>(i & 0xFF)};
            if (in[0] == 0)
                in[0] = in[1];  // single bytes first
            size_t inLength = (i >> 8) == 0 ? 1 : 2;
            char16_t theirs[4];
            char* src = in;
            char* dst = reinterpret_cast<char*>(theirs);
            size_t srcLeft = inLength, dstLeft = sizeof theirs;
            iconv(dec, nullptr, nullptr, nullptr, nullptr);
            if (iconv(dec, &src, &srcLeft, &dst, &dstLeft) != static_cast<size_t>(-1) &&
                dstLeft == sizeof theirs - 2) {
                std::u16string ours = decodeWith(page.codePage, std::string(in, inLength));
                if (ours != std::u16string(1, theirs[0]))
                    ++mismatches;
                EXPECT_EQ(std::u16string(1, theirs[0]), ours) << std::hex << i;
            }

            char16_t unit = static_cast<char16_t>(i);
            if (unit >= 0xD800 && unit <= 0xDFFF)
                continue;
            char bytes[4];
            src = reinterpret_cast<char*>(&unit);
            dst = bytes;
            srcLeft = 2;
            dstLeft = sizeof bytes;
            iconv(enc, nullptr, nullptr, nullptr, nullptr);
            std::string expected = "?";
            if (iconv(enc, &src, &srcLeft, &dst, &dstLeft) != static_cast<size_t>(-1)) {
                expected.assign(bytes, sizeof bytes - dstLeft);
            }
            std::string ours = encodeWith(page.codePage, std::u16string(1, unit));
            if (ours != expected && !(page.codePage == 1252 && unit >= 0x80 && unit < 0xA0) &&
                !(page.codePage == 932 && (unit == 0x80 || (unit >= 0xF8F0 && unit <= 0xF8F3))) &&
                !(page.codePage == 949 && unit == 0x80)) {
                ++mismatches;
                ADD_FAILURE() << std::hex << "U+" << i;
            }
        }
        iconv_close(dec);
        iconv_close(enc);
    }
}

TEST(CodePageCall, LeadBytes) {
    EXPECT_TRUE(isLeadByte(932, 0x81));
    EXPECT_TRUE(isLeadByte(932, 0xFC));
    EXPECT_FALSE(isLeadByte(932, 0xA0));
    EXPECT_FALSE(isLeadByte(932, 0xB1));  // half-width katakana
    EXPECT_FALSE(isLeadByte(932, 0x5C));
    EXPECT_TRUE(isLeadByte(936, 0xFE));
    EXPECT_FALSE(isLeadByte(1252, 0x81));
    EXPECT_FALSE(isLeadByte(kCodePageUtf8, 0xE3));
}

TEST(AnsiCodePage, ReadOnceFromTheRegistry) {
    test::TestEnv env;
    struct Case {
        const char* line;
        uint32_t expected;
    };
    for (const Case& c : std::vector<Case>{
             {"", 1252},
             {"\"ACP\"=\"932\"", 932},
             {"\"ACP\"=dword:000003a8", 936},
             {"\"ACP\"=\"65001\"", kCodePageUtf8},
             {"\"ACP\"=\"1255\"", 1252},  // no tables for it
             {"\"ACP\"=\"shift-jis\"", 1252},
         }) {
        SCOPED_TRACE(c.line);
        setAcp(env, c.line);
        EXPECT_EQ(c.expected, ansiCodePage());
        EXPECT_TRUE(isCodePageSupported(ansiCodePage()));
    }

    // Read once: a later change of the value does not reach this process.
    setAcp(env, "\"ACP\"=\"932\"");
    ASSERT_EQ(932u, ansiCodePage());
    env.writeFile("etc/registry.reg",
                  "Windows Registry Editor Version 5.00\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage]\r\n"
                  "\"ACP\"=\"1252\"\r\n");
    EXPECT_EQ(932u, ansiCodePage());
    resetAnsiCodePageForTesting();
}

TEST(AnsiCodePage, HelpersConvertThroughIt) {
    test::TestEnv env;
    setAcp(env, "\"ACP\"=\"932\"");
    const std::string sjis = "\x93\xFA\x96\x7B\x8C\xEA\x95\x5C";  // 日本語表
    const std::string utf8 = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE8\xA1\xA8";
    EXPECT_EQ(u"\u65E5\u672C\u8A9E\u8868", ansiToWide(sjis));
    EXPECT_EQ(sjis, wideToAnsi(u"\u65E5\u672C\u8A9E\u8868"));
    EXPECT_EQ(utf8, ansiToUtf8(sjis));
    EXPECT_EQ(sjis, utf8ToAnsi(utf8));
    EXPECT_EQ(std::string("a\0?b", 4), utf8ToAnsi(std::string("a\0\xFF"
                                                              "b",
                                                              4)));
    EXPECT_EQ(u"\u30FB", ansiToWide("\x81"));
    EXPECT_EQ(2, multiByteToWideChar(kCodePageAnsi, "\x82\xA0", -1, nullptr, 0));

    setAcp(env, "");
    EXPECT_EQ("caf\xC3\xA9", ansiToUtf8("caf\xE9"));
    resetAnsiCodePageForTesting();
}

}  // namespace
}  // namespace nvl::sys
