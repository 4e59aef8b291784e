// Page template placeholders: any template bytes with any set of names.
//
// Input: names separated by '\n', then a NUL byte, then the template. Checks that every run
// and value index handed out lies within the template and the name list, and that the output
// is the template itself when no name matches anything.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cgi/placeholders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t split = input.find('\0');
    std::string_view namePart =
        split == std::string_view::npos ? std::string_view{} : input.substr(0, split);
    std::string_view page = split == std::string_view::npos ? input : input.substr(split + 1);

    std::vector<std::string_view> names;
    for (size_t pos = 0; pos <= namePart.size() && !namePart.empty();) {
        size_t end = namePart.find('\n', pos);
        if (end == std::string_view::npos)
            end = namePart.size();
        names.push_back(namePart.substr(pos, end - pos));
        pos = end + 1;
    }

    const char* begin = page.data();
    const char* end = page.data() + page.size();
    std::string output;
    size_t replaced = 0;
    nvl::cgi::expandPlaceholders(
        page, names,
        [&](std::string_view run) {
            bool inside = run.data() >= begin && run.data() + run.size() <= end;
            if (run.empty() || !inside)
                std::abort();
            output += run;
        },
        [&](size_t index) {
            if (index >= names.size())
                std::abort();
            ++replaced;
        });
    if (replaced == 0 && output != page)
        std::abort();
    return 0;
}
