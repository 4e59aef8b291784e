#include "page.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace console {

const char* languageTag() {
    struct Language {
        unsigned long primary;
        const char* tag;
    };
    // Primary language numbers of the original platform.
    static constexpr Language kLanguages[] = {
        {0x04, "zh"}, {0x07, "de"}, {0x09, "en"}, {0x0c, "fr"}, {0x11, "ja"}, {0x12, "ko"},
    };
    const char* number = getResourceString(kLanguageNumber);
    unsigned long primary = number != nullptr ? std::strtoul(number, nullptr, 0) : 0;
    for (const Language& language : kLanguages) {
        if (language.primary == primary)
            return language.tag;
    }
    return "en";
}

CharEncoding pageEncoding() {
    const char* name = getResourceString(kCharset);
    if (name == nullptr || *name == '\0')
        return UTF_8;
    OutputStreamConverter probe(UTF_8, nullptr);
    return probe.getCharEncoding(name);
}

std::string htmlEscape(const char* raw) {
    std::string escaped;
    for (; raw != nullptr && *raw != '\0'; ++raw) {
        switch (*raw) {
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '&':
                escaped += "&amp;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            default:
                escaped += *raw;
        }
    }
    return escaped;
}

std::string text(int id) {
    return htmlEscape(getResourceString(id));
}

const char* formValue(char** vars, const char* name) {
    for (char** p = vars; p != nullptr && p[0] != nullptr; p += 2) {
        if (std::strcmp(p[0], name) == 0)
            return p[1];
    }
    return "";
}

bool isUtf8(std::string_view text) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    auto trail = [&](size_t i) { return i < text.size() && (byte(i) & 0xC0) == 0x80; };
    for (size_t i = 0; i < text.size();) {
        unsigned char c = byte(i);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                        : c >= 0xE0 && c <= 0xEF ? 3
                        : c >= 0xF0 && c <= 0xF4 ? 4
                                                 : 0;
        if (length == 0)
            return false;
        for (size_t k = 1; k < length; ++k) {
            if (!trail(i + k))
                return false;
        }
        unsigned char second = byte(i + 1);
        if ((c == 0xE0 && second < 0xA0) ||  // overlong
            (c == 0xED && second > 0x9F) ||  // a surrogate
            (c == 0xF0 && second < 0x90) ||  // overlong
            (c == 0xF4 && second > 0x8F))    // past U+10FFFF
            return false;
        i += length;
    }
    return true;
}

Form::Form(bool takesUploads) {
    cgiSetReadFlags(CGI_QUIET_ERRORS | (takesUploads ? 0u : CGI_REFUSE_UPLOADS));
    // ISO_8859_1 keeps the bytes as they came; they are checked as UTF-8 below.
    vars_ = cgiGetVars(ISO_8859_1, false, nullptr, nullptr);
    if (vars_ == nullptr) {
        error_ = cgiGetVarsError();
        return;
    }
    for (char** p = vars_; p[0] != nullptr; p += 2) {
        if (!isUtf8(p[0]) || !isUtf8(p[1])) {
            error_ = kBadCharacters;
            cgiFreeVars(vars_, nullptr);
            vars_ = nullptr;
            return;
        }
    }
}

Form::~Form() {
    cgiFreeVars(vars_, nullptr);
}

}  // namespace console
