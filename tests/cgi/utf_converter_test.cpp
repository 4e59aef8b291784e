#include <cgishare/utf_converter.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "support/test_env.h"

namespace {

// Takes ownership of a heap text and returns it as a string ("<null>" for null).
std::string take(char* text) {
    if (text == nullptr)
        return "<null>";
    std::string result(text);
    std::free(text);
    return result;
}

std::u16string take(unsigned short* units) {
    std::u16string result;
    for (const unsigned short* p = units; *p != 0; ++p)
        result += static_cast<char16_t>(*p);
    std::free(units);
    return result;
}

// True when decodeUTF throws UTFDataFormatException* for `bytes`.
bool decodeThrows(const std::string& bytes) {
    try {
        std::free(UTFConverter::decodeUTF(bytes.c_str()));
    } catch (UTFDataFormatException* e) {
        delete e;
        return true;
    }
    return false;
}

TEST(EncodeUrl, EncodesEverythingButLettersDigitsUnderscoreAndSpace) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"a b.c~", "a+b%2Ec%7E"},
        {"\xE9", "%E9"},
        {"", ""},
        {"Az09_", "Az09_"},
        {"-*./%+&=", "%2D%2A%2E%2F%25%2B%26%3D"},
        {"\x01\x7F\x80\xFF", "%01%7F%80%FF"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(take(UTFConverter::encodeURL(c.in)), c.out) << c.in;
    EXPECT_EQ(UTFConverter::encodeURL(nullptr), nullptr);
}

TEST(DecodeUrl, DecodesPlusAndEscapesAndStopsAtATruncatedEscape) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"a%2", "a"}, {"%41%4", "A"},   {"one+two", "one two"}, {"%", ""}, {"ab%", "ab"},
        {"", ""},     {"%2b%2B", "++"}, {"%zz", "S"},  // digits are not checked: 'z' counts as 35
    };
    for (const Case& c : cases)
        EXPECT_EQ(take(UTFConverter::decodeURL(c.in)), c.out) << c.in;
    EXPECT_EQ(UTFConverter::decodeURL(nullptr), nullptr);

    // Every byte but the terminator survives a round trip.
    std::string all;
    for (int b = 1; b < 256; ++b)
        all += static_cast<char>(b);
    EXPECT_EQ(take(UTFConverter::decodeURL(take(UTFConverter::encodeURL(all.c_str())).c_str())),
              all);
}

TEST(EncodeUtf, EncodesEachUnitInOneToThreeBytes) {
    struct Case {
        std::u16string in;
        const char* out;
    } cases[] = {
        {u"A", "A"},
        {u"\u00E9", "\xC3\xA9"},
        {u"\u07FF", "\xDF\xBF"},
        {u"\u0800", "\xE0\xA0\x80"},
        {u"\uFFFF", "\xEF\xBF\xBF"},
        {u"", ""},
        // A surrogate pair is two units, each encoded on its own.
        {u"\U0001F600", "\xED\xA0\xBD\xED\xB8\x80"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(take(UTFConverter::encodeUTF(c.in.c_str())), c.out);
    EXPECT_EQ(UTFConverter::encodeUTF(static_cast<const unsigned short*>(nullptr)), nullptr);
}

TEST(DecodeUtf, DecodesUpToThreeBytesAndOverlongForms) {
    EXPECT_EQ(take(UTFConverter::decodeUTF("\xE3\x81\x82")), u"\u3042");
    EXPECT_EQ(take(UTFConverter::decodeUTF("a\xC3\xA9z")), u"a\u00E9z");
    EXPECT_EQ(take(UTFConverter::decodeUTF("\xC1\x81")), u"A");  // overlong, accepted
    EXPECT_EQ(take(UTFConverter::decodeUTF("")), u"");
    EXPECT_EQ(UTFConverter::decodeUTF(nullptr), nullptr);

    // C0 80 is a zero unit inside the buffer: the text ends there for any reader.
    unsigned short* units = UTFConverter::decodeUTF("\xC0\x80x");
    EXPECT_EQ(units[0], 0);
    EXPECT_EQ(units[1], u'x');
    std::free(units);

    // Every unit survives a round trip through UTF-8.
    std::vector<unsigned short> all;
    for (unsigned u = 1; u <= 0xFFFF; ++u)
        all.push_back(static_cast<unsigned short>(u));
    all.push_back(0);
    std::string utf8 = take(UTFConverter::encodeUTF(all.data()));
    std::u16string back = take(UTFConverter::decodeUTF(utf8.c_str()));
    ASSERT_EQ(back.size(), 0xFFFFu);
    for (unsigned u = 1; u <= 0xFFFF; ++u)
        ASSERT_EQ(back[u - 1], u);
}

TEST(DecodeUtf, ThrowsOnMalformedInput) {
    const char* malformed[] = {
        "\xC3",      // trail byte missing at the end of the text
        "\xE3\x81",  // second trail byte missing
        "\xE3"
        "a\x82",             // trail byte of the wrong form
        "\x80",              // stray continuation byte
        "ab\xBF",            //
        "\xF0\x9F\x98\x80",  // four-byte form
        "\xFF",
    };
    for (const char* bytes : malformed)
        EXPECT_TRUE(decodeThrows(bytes)) << testing::PrintToString(std::string(bytes));
}

// The ANSI conversion needs the registry: a Shift-JIS system shows both the double-byte
// output and the cut at a character boundary.
class DecodeUtfToMbs : public testing::Test {
  protected:
    void SetUp() override {
        env.writeFile("etc/registry.reg",
                      nvl::test::readFile(env.registry()) +
                          "\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\"
                          "CodePage]\r\n\"ACP\"=\"932\"\r\n");
        nvl::sys::resetAnsiCodePageForTesting();
    }
    void TearDown() override { nvl::sys::resetAnsiCodePageForTesting(); }
    nvl::test::TestEnv env;
};

TEST_F(DecodeUtfToMbs, AllocatesTwoBytesPerUnitWhenGivenNoBuffer) {
    char in[] = "%E3%81%82a+b";
    char* out = nullptr;
    int size = 0;
    ASSERT_TRUE(decodeUTFtoMBS(in, out, size));
    EXPECT_EQ(size, 2 * 4 + 1);
    EXPECT_STREQ(out,
                 "\x82\xA0"
                 "a b");
    std::free(out);
}

TEST_F(DecodeUtfToMbs, CutsAtACharacterBoundaryWhenTheBufferIsShort) {
    char in[] = "a%E3%81%82%E3%81%82";
    struct Case {
        int size;
        const char* expected;
    } cases[] = {{6, "a\x82\xA0\x82\xA0"}, {5, "a\x82\xA0"}, {4, "a\x82\xA0"}, {3, "a"}, {1, ""}};
    for (const Case& c : cases) {
        char buffer[8];
        std::memset(buffer, 'X', sizeof buffer);
        char* out = buffer;
        int size = c.size;
        EXPECT_TRUE(decodeUTFtoMBS(in, out, size));
        EXPECT_STREQ(buffer, c.expected) << c.size;
        EXPECT_EQ(buffer[c.size], 'X') << "wrote past the buffer of " << c.size;
    }
}

TEST_F(DecodeUtfToMbs, NullInputFailsAndMalformedInputThrows) {
    char* out = nullptr;
    int size = 0;
    EXPECT_FALSE(decodeUTFtoMBS(nullptr, out, size));
    EXPECT_EQ(out, nullptr);

    char bad[] = "%C3";
    bool threw = false;
    try {
        decodeUTFtoMBS(bad, out, size);
    } catch (UTFDataFormatException* e) {
        delete e;
        threw = true;
    }
    EXPECT_TRUE(threw);
    EXPECT_EQ(out, nullptr);
}

}  // namespace
