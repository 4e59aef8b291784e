#include <cgishare/pattern_number.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_env.h"
#include "support/trace_capture.h"

namespace {

using nvl::test::TestEnv;
using nvl::test::TraceCapture;

constexpr char kSource[] = "src\\Server\\libCGIShare\\cgi_PtnConvert.cpp";

char* text(std::string& s) {
    return s.data();
}

// A destination of `length` bytes inside a larger block of '#', so that a write past the
// destination, or any write on failure, shows.
struct Destination {
    Destination() : block(64, '#') {}
    char* data() { return block.data() + 8; }
    // The text written, or "(untouched)" when not one byte changed.
    std::string written() const {
        if (block == std::string(64, '#'))
            return "(untouched)";
        return std::string(block.data() + 8);
    }
    // True when nothing beyond the text's NUL or before the destination changed.
    bool nothingElse() const {
        size_t end = 8 + std::strlen(block.data() + 8) + 1;
        if (block == std::string(64, '#'))
            end = 8;
        return block.substr(0, 8) == std::string(8, '#') &&
               block.substr(end) == std::string(64 - end, '#');
    }
    std::string block;
};

TEST(PatternNumber, Reading) {
    struct Case {
        const char* text;
        int value;
    } cases[] = {
        {"", 0},
        {"abc", 0},
        {"12.345", 12},
        {"  +7", 7},
        {"\t\n-3x", -3},
        {"+-3", 0},
        {"- 3", 0},
        {"0123", 123},
        {"A23", 0},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        // 32-bit wrap-around, as the callers have always seen it.
        {"2147483648", INT_MIN},
        {"-2147483649", INT_MAX},
        {"4294967297", 1},
        {"99999999999999999999", 1661992959},
    };
    for (const Case& c : cases) {
        std::string s = c.text;
        EXPECT_EQ(ptn_atoi(text(s)), c.value) << '"' << c.text << '"';
    }
    EXPECT_EQ(ptn_atoi(nullptr), 0);
}

TEST(PatternNumber, ConversionsAndTheirTraces) {
    TestEnv env;
    TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    enum Function { kAxxTo10xx, k10xxToAxx };
    struct Case {
        Function function;
        const char* source;
        int length;
        int result;
        const char* written;  // "(untouched)" when the destination must not change
        const char* trace;    // "" when nothing is traced
    } cases[] = {
        {kAxxTo10xx, "1023", 260, 0, "1023", ""},
        {kAxxTo10xx, "0123", 260, 0, "123", ""},
        {kAxxTo10xx, " 456xyz", 260, 0, "456", ""},
        {kAxxTo10xx, "A23", 260, -1, "(untouched)", "[P1K] ptn_Axxto10xx() src(A23) ptn(0)"},
        {kAxxTo10xx, "-7", 260, -1, "(untouched)", "[P1K] ptn_Axxto10xx() src(-7) ptn(-7)"},
        {kAxxTo10xx, "4294967296", 260, -1, "(untouched)",
         "[P1K] ptn_Axxto10xx() src(4294967296) ptn(0)"},
        // One byte of the destination always stays spare: four characters need 6 bytes.
        {kAxxTo10xx, "1023", 5, -1, "(untouched)", ""},
        {kAxxTo10xx, "1023", 6, 0, "1023", ""},
        {kAxxTo10xx, "1", 2, -1, "(untouched)", ""},
        {kAxxTo10xx, "1", 3, 0, "1", ""},
        {kAxxTo10xx, "1", 0, -1, "(untouched)", ""},
        {kAxxTo10xx, "1", INT_MIN, -1, "(untouched)", ""},
        {k10xxToAxx, "A23", 260, 0, "0", ""},
        {k10xxToAxx, "-5", 260, 0, "-5", ""},
        {k10xxToAxx, "-2147483648", 13, 0, "-2147483648", ""},
        {k10xxToAxx, "1023", 5, -1, "(untouched)", "[P1K] ptn_10xxtoAxx() temp(4) < buffer(4)"},
        {k10xxToAxx, "1023", 6, 0, "1023", ""},
        {k10xxToAxx, "0", 2, -1, "(untouched)", "[P1K] ptn_10xxtoAxx() temp(1) < buffer(1)"},
        {k10xxToAxx, "7", -1, -1, "(untouched)", "[P1K] ptn_10xxtoAxx() temp(1) < buffer(-2)"},
        {k10xxToAxx, "7", INT_MIN, -1, "(untouched)",
         "[P1K] ptn_10xxtoAxx() temp(1) < buffer(2147483647)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.function == kAxxTo10xx ? "Axxto10xx " : "10xxtoAxx ") +
                     c.source + " length " + std::to_string(c.length));
        std::string source = c.source;
        Destination dest;
        int result = c.function == kAxxTo10xx ? ptn_Axxto10xx(text(source), dest.data(), c.length)
                                              : ptn_10xxtoAxx(text(source), dest.data(), c.length);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(dest.written(), c.written);
        EXPECT_TRUE(dest.nothingElse());
        std::vector<nvl::test::TraceRecord> records = traces.take();
        if (c.trace[0] == '\0') {
            EXPECT_TRUE(records.empty());
        } else {
            ASSERT_EQ(records.size(), 1u);
            EXPECT_EQ(records[0].text, c.trace);
            EXPECT_EQ(records[0].level, 5);
            EXPECT_EQ(records[0].source, kSource);
        }
    }
}

// The buffer's length is checked against the whole text, not only against the smallest
// length: a number that does not fit fails instead of running past the buffer.
TEST(PatternNumber, ItoaWritesOnlyWhatFits) {
    TestEnv env;
    TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    struct Case {
        int value;
        int length;
        int result;
        const char* written;
    } cases[] = {
        {1234, 2, -1, "(untouched)"},
        {1234, 12, 0, "1234"},
        {1234, 4, -1, "(untouched)"},
        {1234, 5, 0, "1234"},
        {-12, 3, -1, "(untouched)"},
        {-12, 4, 0, "-12"},
        {0, 3, 0, "0"},
        {INT_MIN, 11, -1, "(untouched)"},
        {INT_MIN, 12, 0, "-2147483648"},
        {INT_MAX, 11, 0, "2147483647"},
        {5, -100, -1, "(untouched)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.value) + " length " + std::to_string(c.length));
        Destination buffer;
        EXPECT_EQ(ptn_itoa(c.value, buffer.data(), c.length), c.result);
        EXPECT_EQ(buffer.written(), c.written);
        EXPECT_TRUE(buffer.nothingElse());
        std::vector<std::string> texts = traces.texts();
        if (c.result == 0) {
            EXPECT_TRUE(texts.empty());
        } else {
            EXPECT_EQ(texts, std::vector<std::string>{"[P1K] ptn_itoa() _len too small(" +
                                                      std::to_string(c.length) + ") "});
        }
    }
}

TEST(PatternNumber, NullTexts) {
    std::string s = "12";
    char dest[16] = "#";
    EXPECT_EQ(ptn_itoa(12, nullptr, 16), -1);
    EXPECT_EQ(ptn_Axxto10xx(nullptr, dest, 16), -1);
    EXPECT_EQ(ptn_Axxto10xx(text(s), nullptr, 16), -1);
    EXPECT_EQ(ptn_10xxtoAxx(nullptr, dest, 16), -1);
    EXPECT_EQ(ptn_10xxtoAxx(text(s), nullptr, 16), -1);
    EXPECT_STREQ(dest, "#");
}

}  // namespace
