#include <cgishare/output_stream.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "platform/codepage.h"
#include "support/test_env.h"

namespace {

// The converter's tests run with the Japanese ANSI code page, as the ISO-2022-JP and
// Shift-JIS pages of the console do.
class OutputStreamTest : public testing::Test {
  protected:
    void SetUp() override {
        env_.writeFile("etc/registry.reg",
                       "Windows Registry Editor Version 5.00\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage]\r\n"
                       "\"ACP\"=\"932\"\r\n");
        nvl::sys::resetAnsiCodePageForTesting();
        ASSERT_EQ(932u, nvl::sys::ansiCodePage());
    }
    void TearDown() override { nvl::sys::resetAnsiCodePageForTesting(); }

    nvl::test::TestEnv env_;
};

using Piece = std::variant<std::string, std::u16string>;

std::string write(CharEncoding encoding, const std::vector<Piece>& pieces) {
    std::ostringstream out;
    OutputStreamConverter converter(encoding, &out);
    for (const Piece& piece : pieces) {
        if (const auto* ansi = std::get_if<std::string>(&piece)) {
            converter << ansi->c_str();
        } else {
            converter << std::get<std::u16string>(piece).c_str();
        }
    }
    return out.str();
}

const std::string kKanji = "\x8A\xBF";  // 漢, JIS 3441
const std::string kToJis = "\x1B$B";
const std::string kToRoman = "\x1B(J";

TEST_F(OutputStreamTest, WritesEachEncodingByteForByte) {
    struct Case {
        const char* what;
        CharEncoding encoding;
        std::vector<Piece> pieces;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"ascii needs no escape at the start", ISO_2022_JP, {"abc"}, "abc"},
        {"kanji then newline", ISO_2022_JP, {kKanji, "\n"}, kToJis + "\x34\x41" + kToRoman + "\n"},
        {"escape once across insertions",
         ISO_2022_JP,
         {kKanji, kKanji},
         kToJis + "\x34\x41\x34\x41"},
        {"voiced kana joins", ISO_2022_JP, {"\xB6\xDE"}, kToJis + "\x25\x2C"},
        {"voiced mark that cannot join", ISO_2022_JP, {"\xB1\xDE"}, kToJis + "\x25\x22\x21\x2B"},
        {"semi-voiced kana joins", ISO_2022_JP, {"\xCA\xDF\xDF"}, kToJis + "\x25\x51\x21\x2C"},
        {"mark in the next insertion stays apart",
         ISO_2022_JP,
         {"\xB6", "\xDE"},
         kToJis + "\x25\x2B\x21\x2B"},
        {"trail bytes below and above 9E",
         ISO_2022_JP,
         {"\x82\xA0\xE0\x40\x95\x5C"},
         kToJis + "\x24\x22\x5F\x21\x49\x3D"},
        {"lead byte at the end", ISO_2022_JP, {"a\x8A"}, "a" + kToJis + "\x21\x26"},
        {"lead byte before a newline",
         ISO_2022_JP,
         {"\x8A\n"},
         kToJis + "\x21\x26" + kToRoman + "\n"},
        {"UTF-16 through Shift-JIS",
         ISO_2022_JP,
         {u"a\u6F22\uFF76\uFF9E\u00E9"},
         "a" + kToJis + "\x34\x41\x25\x2C" + kToRoman + "?"},
        {"ISO-646 from ANSI", US_ASCII, {"caf\xE9", kKanji}, "caf???"},
        {"ISO-646 from UTF-16", US_ASCII, {u"caf\u00E9\u6F22\U0001F600"}, "caf????"},
        {"not one of the eight", static_cast<CharEncoding>(0), {"a\xE9", u"\u00E9"}, "a??"},
        {"UTF-8 from UTF-16",
         UTF_8,
         {u"\u00E9\u3042", u"\U0001F600"},
         "\xC3\xA9\xE3\x81\x82\xED\xA0\xBD\xED\xB8\x80"},
        {"UTF-8 from Shift-JIS",
         UTF_8,
         {"<p>\x82\xA0\x81\x5C\xB1</p>"},
         "<p>\xE3\x81\x82\xE2\x80\x95\xEF\xBD\xB1</p>"},
        {"UTF-8 from a stray lead byte", UTF_8, {"\x81\"", "\x81"}, "\xE3\x83\xBB\"\xE3\x83\xBB"},
        {"Shift-JIS passed through",
         X_SJIS,
         {"\x95\x5C\xB1", u"\u8868\u00E9"},
         "\x95\x5C\xB1\x95\x5C?"},
        {"other pass-through encodings", GB2312, {"\xC4\xE3", u"\u3042"}, "\xC4\xE3\x82\xA0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, write(c.encoding, c.pieces)) << c.what;
    }
}

// Three bytes per UTF-16 unit do not fit the two per unit that double-byte code pages need;
// the conversion must not depend on such an estimate.
TEST_F(OutputStreamTest, UnicodeAnsiCodePageWritesWholeTexts) {
    env_.writeFile("etc/registry.reg",
                   "Windows Registry Editor Version 5.00\r\n\r\n"
                   "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage]\r\n"
                   "\"ACP\"=\"65001\"\r\n");
    nvl::sys::resetAnsiCodePageForTesting();
    ASSERT_EQ(nvl::sys::kCodePageUtf8, nvl::sys::ansiCodePage());
    std::u16string wide;
    std::string utf8;
    for (int i = 0; i < 300; ++i) {
        wide += u"\u3042";
        utf8 += "\xE3\x81\x82";
    }
    EXPECT_EQ(utf8, write(ISO_8859_1, {wide}));
    EXPECT_EQ(utf8, write(UTF_8, {utf8}));
}

TEST_F(OutputStreamTest, EveryEncodingWritesAndEndsLines) {
    for (int value = US_ASCII; value <= GB2312; ++value) {
        auto encoding = static_cast<CharEncoding>(value);
        SCOPED_TRACE(OutputStreamConverter::getCharEncodingName(encoding));
        std::ostringstream out;
        OutputStreamConverter converter(encoding, &out);
        converter << "n=" << -42 << u" ok" << endl;
        EXPECT_EQ("n=-42 ok\n", out.str());
    }
}

// A stream buffer that counts how often it is flushed.
class CountingBuf : public std::stringbuf {
  public:
    int syncs = 0;

  protected:
    int sync() override {
        ++syncs;
        return std::stringbuf::sync();
    }
};

TEST_F(OutputStreamTest, EndlAndFlushFlushTheStream) {
    CountingBuf buf;
    std::ostream out(&buf);
    OutputStreamConverter converter(X_SJIS, &out);
    converter << "a" << endl;
    EXPECT_EQ("a\n", buf.str());
    EXPECT_EQ(1, buf.syncs);
    converter << flush;
    converter.flush();
    EXPECT_EQ(3, buf.syncs);
    EXPECT_EQ("a\n", buf.str());
}

TEST_F(OutputStreamTest, CopiesContinueInTheSameShiftState) {
    std::ostringstream out;
    OutputStreamConverter first(ISO_2022_JP, &out);
    first << kKanji.c_str();
    OutputStreamConverter copy(first);
    copy << kKanji.c_str();  // no second ESC $ B
    OutputStreamConverter assigned(US_ASCII, &out);
    assigned = copy;
    assigned << "a";
    EXPECT_EQ(kToJis + "\x34\x41\x34\x41" + kToRoman + "a", out.str());
    EXPECT_EQ(ISO_2022_JP, assigned.getCharEncoding());
}

TEST_F(OutputStreamTest, EncodingNames) {
    std::ostringstream out;
    OutputStreamConverter converter(US_ASCII, &out);
    struct Case {
        const char* name;
        CharEncoding expected;
    };
    for (const Case& c : std::vector<Case>{{"UTF-8", UTF_8},
                                           {"utf-8", UTF_8},
                                           {"Iso-2022-JP", ISO_2022_JP},
                                           {"GB2312", GB2312},
                                           {"latin1", US_ASCII},
                                           {"utf-8 ", US_ASCII},
                                           {"", US_ASCII},
                                           {nullptr, US_ASCII}}) {
        EXPECT_EQ(c.expected, converter.getCharEncoding(c.name)) << (c.name ? c.name : "null");
    }
    for (int value = US_ASCII; value <= GB2312; ++value) {
        auto encoding = static_cast<CharEncoding>(value);
        EXPECT_EQ(encoding,
                  converter.getCharEncoding(OutputStreamConverter::getCharEncodingName(encoding)));
    }
    EXPECT_STREQ("us-ascii",
                 OutputStreamConverter::getCharEncodingName(static_cast<CharEncoding>(0)));
    EXPECT_STREQ("us-ascii",
                 OutputStreamConverter::getCharEncodingName(static_cast<CharEncoding>(9)));

    // By name, ISO-2022-JP starts in single-byte mode too.
    OutputStreamConverter byName("ISO-2022-JP", &out);
    out.str("");
    byName << "ab" << kKanji.c_str();
    EXPECT_EQ("ab" + kToJis + "\x34\x41", out.str());
    EXPECT_EQ(US_ASCII, OutputStreamConverter("x-unknown", &out).getCharEncoding());
}

TEST_F(OutputStreamTest, NullTextsWriteNothing) {
    std::ostringstream out;
    OutputStreamConverter converter(UTF_8, &out);
    converter << static_cast<const char*>(nullptr) << static_cast<const char16_t*>(nullptr)
              << static_cast<const unsigned short*>(nullptr) << "x";
    EXPECT_EQ("x", out.str());
}

// Long texts are converted in pieces; the result must not depend on where the pieces end.
TEST_F(OutputStreamTest, LongTextsConvertLikeShortOnes) {
    std::string ansi;
    std::u16string wide;
    for (int i = 0; i < 3000; ++i) {
        ansi +=
            "\xB6\xDE"
            "a" +
            kKanji;  // a kana and its mark may meet at any piece boundary
        wide += u"\uFF76\uFF9Ea\u6F22";
    }
    // The first repetition starts in single-byte mode, the others where the previous one ended.
    std::ostringstream out;
    OutputStreamConverter iso(ISO_2022_JP, &out);
    iso << "\xB6\xDE"
           "a\x8A\xBF";
    std::string shortIso = out.str();
    out.str("");
    iso << "\xB6\xDE"
           "a\x8A\xBF";
    for (int i = 1; i < 3000; ++i)
        shortIso += out.str();

    EXPECT_EQ(shortIso, write(ISO_2022_JP, {ansi}));
    EXPECT_EQ(shortIso, write(ISO_2022_JP, {wide}));

    std::string utf8 = write(UTF_8, {ansi});
    EXPECT_EQ(utf8, write(UTF_8, {wide}));
    EXPECT_EQ(nvl::sys::ansiToUtf8(ansi), utf8);
    EXPECT_EQ(ansi, write(X_SJIS, {wide}));
    EXPECT_EQ(ansi.size(), write(US_ASCII, {ansi}).size());
}

}  // namespace
