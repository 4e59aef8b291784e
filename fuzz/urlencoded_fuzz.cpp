// The URL-encoded splitter: any query string or body, every encoding's path.
#include <cgishare/form_vars.h>
#include <cgishare/utf_converter.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cgi/form_vars_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    CharEncoding encoding = data[0] & 1 ? UTF_8 : ISO_8859_1;
    // A heap copy of exactly the body's bytes: the splitter must stop at its end.
    char* body = static_cast<char*>(std::malloc(size - 1));
    std::memcpy(body, data + 1, size - 1);
    std::string_view text(body, size - 1);
    try {
        size_t trailing = 0;
        char** vars = nvl::cgi::splitUrlEncoded(text, encoding, &trailing);
        if (vars == nullptr)
            std::abort();
        size_t pairs = 0;
        for (char** p = vars; *p != nullptr; p += 2, ++pairs) {
            if (p[1] == nullptr || std::strlen(p[0]) > text.size())
                std::abort();
        }
        if (trailing > text.size() || (pairs == 0 && trailing != 0))
            std::abort();
        cgiFreeVars(vars, nullptr);
    } catch (UTFDataFormatException* e) {
        delete e;
    }
    std::free(body);
    return 0;
}
