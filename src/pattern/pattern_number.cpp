// Pattern number conversions; what they promise is set out in <cgishare/pattern_number.h>.
//
// Both conversions read the source as a decimal number and write it back in decimal, through
// a small work buffer that always holds the longest 32-bit number, so the checks against the
// caller's `length` happen before anything reaches the destination. Reading wraps around as
// 32-bit arithmetic does, which the callers have always seen; it is done in unsigned
// arithmetic so that the wrap is defined. ptn_itoa measures the text before it writes: a
// number that does not fit the caller's buffer fails with the trace the short-buffer check
// has always given, rather than writing past the buffer.
#include <cgishare/pattern_number.h>
#include <cgishare/trace.h>

#include <cstdint>
#include <cstring>

#include "trace/trace_sources.h"

#define PTN_TRACE(...) \
    DebugTraceA(kTraceLevel, nvl::trace::kPtnConvertSource, __LINE__, __VA_ARGS__)

namespace {

constexpr int kTraceLevel = 5;
// "-2147483648" and its NUL.
constexpr int kMaxText = 12;

bool isBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

int readNumber(const char* text) {
    while (isBlank(*text))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text)
        value = value * 10u + static_cast<uint32_t>(*text - '0');
    if (negative)
        value = 0u - value;
    return static_cast<int>(value);
}

// Writes `value` and a NUL into `text` (kMaxText bytes); returns the number of characters.
int writeNumber(int value, char* text) {
    char digits[kMaxText];
    int count = 0;
    uint32_t magnitude = static_cast<uint32_t>(value);
    if (value < 0)
        magnitude = 0u - magnitude;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10u);
        magnitude /= 10u;
    } while (magnitude != 0);
    int length = 0;
    if (value < 0)
        text[length++] = '-';
    while (count > 0)
        text[length++] = digits[--count];
    text[length] = '\0';
    return length;
}

// Whether a text of `characters` characters leaves one byte of a `length`-byte destination
// spare besides its NUL (characters < length - 1), without overflowing on any `length`.
bool leavesSpareByte(int characters, int length) {
    return static_cast<int64_t>(characters) < static_cast<int64_t>(length) - 1;
}

}  // namespace

int ptn_itoa(int value, char* buffer, int length) {
    char text[kMaxText];
    int characters = writeNumber(value, text);
    if (length < 3 || characters + 1 > length) {
        PTN_TRACE("[P1K] ptn_itoa() _len too small(%d) ", length);
        return -1;
    }
    if (buffer == nullptr)
        return -1;
    std::memcpy(buffer, text, static_cast<size_t>(characters) + 1);
    return 0;
}

int ptn_atoi(char* text) {
    return text == nullptr ? 0 : readNumber(text);
}

int ptn_Axxto10xx(char* source, char* dest, int length) {
    if (source == nullptr || dest == nullptr)
        return -1;
    int number = readNumber(source);
    if (number < 1) {
        PTN_TRACE("[P1K] ptn_Axxto10xx() src(%s) ptn(%d)", source, number);
        return -1;
    }
    char text[kMaxText];
    int characters = writeNumber(number, text);
    if (!leavesSpareByte(characters, length))
        return -1;
    std::memcpy(dest, text, static_cast<size_t>(characters) + 1);
    return 0;
}

int ptn_10xxtoAxx(char* source, char* dest, int length) {
    if (source == nullptr || dest == nullptr)
        return -1;
    char text[kMaxText];
    int characters = writeNumber(readNumber(source), text);
    if (!leavesSpareByte(characters, length)) {
        // length - 1 as the 32-bit original computed it, also for the lowest length.
        PTN_TRACE("[P1K] ptn_10xxtoAxx() temp(%d) < buffer(%d)", characters,
                  static_cast<int>(static_cast<uint32_t>(length) - 1u));
        return -1;
    }
    std::memcpy(dest, text, static_cast<size_t>(characters) + 1);
    return 0;
}
