// What the repository's commands share for their arguments.
#pragma once

#include <cstdint>
#include <string_view>

namespace nvl::tools {

// A decimal number of at most `max`: digits only (no sign, no blanks), no overflow.
inline bool parseNumber(std::string_view text, uint64_t max, uint64_t* out) {
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (max - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    *out = value;
    return true;
}

}  // namespace nvl::tools
