#include "platform/byte_text.h"

#include <cstdint>

namespace nvl::sys {

std::u16string bytesToWide(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            out.push_back(c);
            ++i;
            continue;
        }
        int n = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 && c < 0xe0 ? 2 : 0;
        if (c > 0xf4)
            n = 0;
        uint32_t cp = n == 2 ? c & 0x1f : n == 3 ? c & 0x0f : c & 0x07;
        bool ok = n != 0 && i + n <= s.size();
        for (int k = 1; ok && k < n; ++k) {
            auto t = static_cast<unsigned char>(s[i + k]);
            ok = (t & 0xc0) == 0x80;
            cp = (cp << 6) | (t & 0x3f);
        }
        // Overlong forms, surrogates and values above U+10FFFF are not valid UTF-8.
        if (ok && ((n == 3 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) ||
                   (n == 4 && (cp < 0x10000 || cp > 0x10ffff))))
            ok = false;
        if (!ok) {
            out.push_back(static_cast<char16_t>(0xdc00 + c));
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xd800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xdc00 + (cp & 0x3ff)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += n;
    }
    return out;
}

bool wideToBytes(std::u16string_view w, std::string* out) {
    out->clear();
    out->reserve(w.size());
    for (size_t i = 0; i < w.size(); ++i) {
        uint32_t c = w[i];
        if (c == 0)
            return false;
        if (c >= 0xd800 && c <= 0xdbff && i + 1 < w.size() && w[i + 1] >= 0xdc00 &&
            w[i + 1] <= 0xdfff) {
            c = 0x10000 + ((c - 0xd800) << 10) + (w[i + 1] - 0xdc00);
            ++i;
        } else if (c >= 0xdc80 && c <= 0xdcff) {
            out->push_back(static_cast<char>(c - 0xdc00));
            continue;
        } else if (c >= 0xd800 && c <= 0xdfff) {
            return false;
        }
        if (c < 0x80) {
            out->push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out->push_back(static_cast<char>(0xc0 | (c >> 6)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3f)));
        } else if (c < 0x10000) {
            out->push_back(static_cast<char>(0xe0 | (c >> 12)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3f)));
        } else {
            out->push_back(static_cast<char>(0xf0 | (c >> 18)));
            out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3f)));
        }
    }
    return true;
}

}  // namespace nvl::sys
