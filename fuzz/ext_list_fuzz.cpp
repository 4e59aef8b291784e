// The rewrite of the scan engine's extension list into the console's form, on arbitrary text.
//
// Input: the text up to its first NUL, as the library reads the engine's buffer, is given to the
// rewrite as the engine's list. Checks that the result
// has no ';' left and at most doubles in length (each ';' becomes two characters),
// and that it can be stored in nvlscan.ini exactly when it holds no line break. Then the same
// bytes, cut at NULs into items and cleaned to the characters an extension may have, make lists
// in the engine's two forms, "{*;A;B}" and "{A;B}": both must come back as "A,.B".
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pattern/virus_types_internal.h"
#include "platform/error.h"
#include "platform/profile.h"

namespace {

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

std::string join(const std::vector<std::string>& items, std::string_view separator) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            out += separator;
        out += items[i];
    }
    return out;
}

// Items of an extension list: printable ASCII but space, ';', '{' and '}'.
std::vector<std::string> itemsOf(std::string_view data) {
    std::vector<std::string> items(1);
    for (char c : data) {
        if (c == '\0') {
            items.emplace_back();
        } else if (c > ' ' && c < 0x7F && c != ';' && c != '{' && c != '}') {
            items.back().push_back(c);
        }
    }
    std::erase_if(items, [](const std::string& item) { return item.empty(); });
    return items;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192)
        return 0;
    std::string_view text(reinterpret_cast<const char*>(data), size);

    std::string_view list = text.substr(0, text.find('\0'));
    std::string rewritten = nvl::pattern::consoleExtList(list);
    check(rewritten.find(';') == std::string::npos);
    check(rewritten.size() <= 2 * list.size());
    std::string file;
    uint32_t stored = nvl::sys::profile::applyWrite("", "Scan Now Configuration", "DefaultExtList",
                                                    rewritten.c_str(), &file);
    bool lineBreak = rewritten.find_first_of("\r\n") != std::string::npos;
    check((stored == nvl::sys::kSuccess) == !lineBreak);

    std::vector<std::string> items = itemsOf(text);
    std::string expected = join(items, ",.");
    check(nvl::pattern::consoleExtList("{*;" + join(items, ";") + "}") == expected);
    if (!(items.size() > 1 && items[0] == "*"))
        check(nvl::pattern::consoleExtList("{" + join(items, ";") + "}") == expected);
    return 0;
}
