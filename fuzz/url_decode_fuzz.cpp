// URL decoding: UTFConverter::decodeURL and cgiUnEscapeUrl on any text, and the round trip
// of encodeURL.
#include <cgishare/form_vars.h>
#include <cgishare/utf_converter.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The text sits at the end of its own heap block, so any read past its terminator shows.
    char* text = static_cast<char*>(std::malloc(size + 1));
    std::memcpy(text, data, size);
    text[size] = '\0';
    size_t length = std::strlen(text);

    char* decoded = UTFConverter::decodeURL(text);
    if (std::strlen(decoded) > length)
        std::abort();
    std::free(decoded);

    char* encoded = UTFConverter::encodeURL(text);
    char* back = UTFConverter::decodeURL(encoded);
    if (std::strcmp(back, text) != 0)
        std::abort();
    std::free(back);
    std::free(encoded);

    cgiUnEscapeUrl(text);
    if (std::strlen(text) > length)
        std::abort();
    if (length > 0)
        cgiX2C(text + length - 1);
    std::free(text);
    return 0;
}
