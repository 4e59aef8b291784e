// printf for UTF-16 text with the original platform's wide-format rules.
#include "platform/wide_format.h"

#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace nvl::sys {
namespace {

std::string ascii(const char16_t* text) {
    std::string out;
    for (; *text != u'\0'; ++text)
        out += static_cast<char>(*text);
    return out;
}

std::string fmt(const char16_t* format, ...) {
    char16_t buffer[512];
    va_list args;
    va_start(args, format);
    size_t length = formatWideV(buffer, 512, format, args);
    va_end(args);
    EXPECT_LT(length, 512u);
    return ascii(buffer);
}

TEST(WideFormatTest, StringsAndCharactersFollowTheWideRules) {
    const char16_t unterminated[3] = {u'a', u'b', u'c'};
    EXPECT_EQ(fmt(u"%s %ls %ws", u"w1", u"w2", u"w3"), "w1 w2 w3");
    EXPECT_EQ(fmt(u"%hs %S %hS %lS", "n1", "n2", "n3", u"w4"), "n1 n2 n3 w4");
    EXPECT_EQ(fmt(u"%c%lc%C%hc", u'W', u'X', 'y', 'z'), "WXyz");
    EXPECT_EQ(
        fmt(u"%s|%hs", static_cast<const char16_t*>(nullptr), static_cast<const char*>(nullptr)),
        "(null)|(null)");
    EXPECT_EQ(fmt(u"[%5s][%-5s][%.2s][%.3s][%.*s]", u"ab", u"ab", u"abc", unterminated, 1, u"xy"),
              "[   ab][ab   ][ab][abc][x]");
    EXPECT_EQ(fmt(u"[%*s][%*s]", 4, u"a", -4, u"b"), "[   a][b   ]");
}

TEST(WideFormatTest, NumbersAreFormattedLikePrintf) {
    EXPECT_EQ(fmt(u"%d %i %u %x %X %o %#x", -7, 8, 9u, 255u, 255u, 8u, 255u),
              "-7 8 9 ff FF 10 0xff");
    EXPECT_EQ(fmt(u"[%+d][% d][%05d][%-4d][%.3d]", 5, 5, -42, 7, 7), "[+5][ 5][-0042][7   ][007]");
    EXPECT_EQ(fmt(u"%ld %lld %lu", -5000000000L, -5000000000LL, 5000000000UL),
              "-5000000000 -5000000000 5000000000");
    EXPECT_EQ(fmt(u"%I64d %I32u %Iu %zu %jd", INT64_MIN, UINT32_MAX, size_t{12}, size_t{13},
                  intmax_t{-14}),
              "-9223372036854775808 4294967295 12 13 -14");
    EXPECT_EQ(fmt(u"%hd %hhu", 70000, 257), "4464 1");
    EXPECT_EQ(fmt(u"%.2f %e %g %Lf", 2.345, 1500.0, 0.5, 1.25L), "2.35 1.500000e+03 0.5 1.250000");
    int ignored = 0;
    EXPECT_EQ(fmt(u"100%% %y %n|%d", &ignored, 3), "100% %y |3");
    EXPECT_EQ(ignored, 0);
}

TEST(WideFormatTest, OutputIsCutAtTheCapacity) {
    char16_t buffer[5] = {u'#', u'#', u'#', u'#', u'#'};
    EXPECT_EQ(formatWide(buffer, 5, u"abc%dgh", 123), 8u);
    EXPECT_EQ(ascii(buffer), "abc1");
    EXPECT_EQ(formatWide(buffer, 0, u"abc"), 3u);
    EXPECT_EQ(buffer[0], u'a');
    std::u16string big(70000, u'\0');
    EXPECT_EQ(formatWide(big.data(), big.size(), u"%100000d", 1), 65536u);
}

// widenAnsi copies ASCII without converting: that must be what every ANSI code page does.
TEST(WideFormatTest, AsciiIsTheSameInEveryAnsiCodePage) {
    char ascii[127];
    for (int i = 0; i < 127; ++i)
        ascii[i] = static_cast<char>(i + 1);
    char16_t fast[127];
    ASSERT_EQ(widenAnsi(ascii, 127, fast, 127), 127u);
    for (uint32_t codePage : {932u, 936u, 949u, 950u, 1252u}) {
        char16_t converted[127];
        ASSERT_EQ(multiByteToWideChar(codePage, ascii, 127, converted, 127), 127) << codePage;
        EXPECT_EQ(std::u16string(converted, 127), std::u16string(fast, 127)) << codePage;
    }
}

}  // namespace
}  // namespace nvl::sys
