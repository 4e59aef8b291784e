// The pattern number conversions on arbitrary texts and destination lengths.
//
// Input: bytes 0-3 the destination length (little-endian, any int), bytes 4-7 the value for
// ptn_itoa, the rest the source text. Each destination is a heap block of exactly `length`
// bytes (none for a length of 0 or below), so a write past it is caught by the address
// sanitizer. Checks that a success writes the number read in decimal, that a failure leaves the
// destination untouched, and that the lengths are respected.
#include <cgishare/pattern_number.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

int32_t readInt(const uint8_t* p) {
    uint32_t value =
        uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    return static_cast<int32_t>(value);
}

std::string decimal(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return text;
}

// A destination of exactly `length` bytes, filled with a marker.
struct Destination {
    explicit Destination(int32_t length)
        : size(length > 0 ? static_cast<size_t>(length) : 0), bytes(new char[size]) {
        std::memset(bytes.get(), '#', size);
    }
    bool untouched() const {
        for (size_t i = 0; i < size; ++i)
            if (bytes[i] != '#')
                return false;
        return true;
    }
    size_t size;
    std::unique_ptr<char[]> bytes;
};

void checkConversion(int (*convert)(char*, char*, int), std::string& source, int32_t length,
                     bool positiveOnly) {
    // Lengths far beyond the text are all alike; keep the block small.
    int32_t blockLength = length > 64 ? 64 : length;
    Destination dest(blockLength);
    int result = convert(source.data(), dest.bytes.get(), blockLength);
    int number = ptn_atoi(source.data());
    std::string expected = decimal(number);
    bool fits = static_cast<int64_t>(expected.size()) < static_cast<int64_t>(blockLength) - 1;
    bool accepted = !positiveOnly || number >= 1;
    check(result == (fits && accepted ? 0 : -1));
    if (result == 0) {
        check(std::string(dest.bytes.get()) == expected);
    } else {
        check(dest.untouched());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8 || size > 4096)
        return 0;
    int32_t length = readInt(data);
    int32_t value = readInt(data + 4);
    std::string source(reinterpret_cast<const char*>(data + 8), size - 8);
    source = source.c_str();  // the functions read up to the first NUL

    checkConversion(ptn_Axxto10xx, source, length, true);
    checkConversion(ptn_10xxtoAxx, source, length, false);

    int32_t blockLength = length > 64 ? 64 : length;
    Destination buffer(blockLength);
    int result = ptn_itoa(value, buffer.bytes.get(), blockLength);
    std::string expected = decimal(value);
    bool fits = blockLength >= 3 && expected.size() + 1 <= static_cast<size_t>(blockLength);
    check(result == (fits ? 0 : -1));
    check(result == 0 ? std::string(buffer.bytes.get()) == expected : buffer.untouched());
    return 0;
}
