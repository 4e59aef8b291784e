// UTF-8 decoding: UTFConverter::decodeUTF on any bytes, the round trip of what it accepts
// and decodeUTFtoMBS into a buffer of any size.
#include <cgishare/utf_converter.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

bool isOverlongOrHasZero(const unsigned short* units, const char* utf8) {
    char* again = UTFConverter::encodeUTF(units);
    bool differs = std::strcmp(again, utf8) != 0;
    std::free(again);
    return differs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    int outSize = data[0];
    char* text = static_cast<char*>(std::malloc(size));
    std::memcpy(text, data + 1, size - 1);
    text[size - 1] = '\0';

    try {
        unsigned short* units = UTFConverter::decodeUTF(text);
        // Well-formed shortest forms come back unchanged; only overlong forms may differ.
        bool differs = isOverlongOrHasZero(units, text);
        bool hasOverlong = false;
        for (const unsigned char* p = reinterpret_cast<unsigned char*>(text); *p; ++p) {
            if (*p == 0xC0 || *p == 0xC1 || (p[0] == 0xE0 && p[1] < 0xA0))
                hasOverlong = true;
        }
        if (differs && !hasOverlong)
            std::abort();
        std::free(units);
    } catch (UTFDataFormatException* e) {
        delete e;
    }

    char* out = static_cast<char*>(std::malloc(static_cast<size_t>(outSize) + 1));
    out[outSize] = 'X';
    try {
        char* given = out;
        int limit = outSize;
        decodeUTFtoMBS(text, given, limit);
        if (out[outSize] != 'X' ||
            (outSize > 0 && std::strlen(out) >= static_cast<size_t>(outSize)))
            std::abort();
    } catch (UTFDataFormatException* e) {
        delete e;
    }
    std::free(out);
    std::free(text);
    return 0;
}
