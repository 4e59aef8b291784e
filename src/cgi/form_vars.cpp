// GET and URL-encoded POST requests; the multipart reader lives in multipart.cpp.
#include <cgishare/form_vars.h>
#include <cgishare/resource.h>
#include <cgishare/utf_converter.h>

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include "cgi/form_vars_internal.h"
#include "cgi/request_input.h"
#include "platform/codepage.h"

namespace nvl::cgi {

namespace {

constexpr char kForcedContentType[] =
    "multipart/form-data; boundary=---------------------------7d21673b802fc";
constexpr char kMultipartType[] = "multipart/form-data";
constexpr char kUrlEncodedType[] = "application/x-www-form-urlencoded";

bool startsWithNoCase(const char* text, const char* prefix) {
    return ::strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

// Decodes one name or value: '+' is a space, %XX the byte of its digits. A '%' without two
// characters after it inside the piece is kept as it stands.
char* decodePiece(const char* text, size_t length) {
    char* out = static_cast<char*>(std::malloc(length + 1));
    if (out == nullptr)
        return nullptr;
    char* w = out;
    auto plain = [](char c) { return c == '+' ? ' ' : c; };
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c == '%' && i + 2 < length) {
            *w++ = static_cast<char>(hexPairValue(plain(text[i + 1]), plain(text[i + 2])));
            i += 2;
        } else {
            *w++ = plain(c);
        }
    }
    *w = '\0';
    return out;
}

// A UTF-8 value in the ANSI code page; null when memory is short.
char* utf8ValueToAnsi(const char* value) {
    FreeOnExit wideOwner(UTFConverter::decodeUTF(value));
    const auto* wide = static_cast<const char16_t*>(wideOwner.get());
    if (wide == nullptr)
        return nullptr;
    int units = 0;
    while (wide[units] != 0)
        ++units;
    int length =
        units == 0 ? 0 : sys::wideCharToMultiByte(sys::kCodePageAnsi, wide, units, nullptr, 0);
    char* out = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
    if (out == nullptr)
        return nullptr;
    if (length > 0)
        length = sys::wideCharToMultiByte(sys::kCodePageAnsi, wide, units, out, length);
    out[std::max(length, 0)] = '\0';
    return out;
}

unsigned gReadFlags = CGI_READ_DEFAULT;
int gLastFailure = 0;

}  // namespace

unsigned readFlags() {
    return gReadFlags;
}

void recordFailure(int id) {
    gLastFailure = id;
}

void reportMessage(int id) {
    recordFailure(id);
    if ((gReadFlags & CGI_QUIET_ERRORS) != 0)
        return;
    // The message becomes the whole response: the page has written no header yet.
    const char* text = getResourceString(id);
    std::cout << (text != nullptr ? text : "") << '\n' << std::flush;
}

char** splitUrlEncoded(std::string_view data, CharEncoding encoding, size_t* trailingOffset) {
    const char* begin = data.data();
    const char* end = begin + data.size();
    if (const void* zero = std::memchr(begin, '\0', data.size()))
        end = static_cast<const char*>(zero);

    size_t count = 0;
    for (const char* p = begin; p < end;) {
        const char* amp =
            static_cast<const char*>(std::memchr(p, '&', static_cast<size_t>(end - p)));
        const char* pieceEnd = amp != nullptr ? amp : end;
        if (pieceEnd != p)
            ++count;
        p = pieceEnd + 1;
    }

    VarArray vars(2 * count + 1);
    if (!vars)
        return nullptr;
    size_t slot = 0;
    size_t lastEnd = 0;
    for (const char* p = begin; p < end;) {
        const char* amp =
            static_cast<const char*>(std::memchr(p, '&', static_cast<size_t>(end - p)));
        const char* pieceEnd = amp != nullptr ? amp : end;
        if (pieceEnd != p) {
            size_t length = static_cast<size_t>(pieceEnd - p);
            // The name is split off before it is decoded, so an escaped '=' stays in it.
            const char* equals = static_cast<const char*>(std::memchr(p, '=', length));
            const char* nameEnd = equals != nullptr ? equals : pieceEnd;
            char* name = decodePiece(p, static_cast<size_t>(nameEnd - p));
            char* value = equals != nullptr
                              ? decodePiece(equals + 1, static_cast<size_t>(pieceEnd - equals - 1))
                              : decodePiece("", 0);
            vars.set(slot++, name);
            vars.set(slot++, value);
            if (name == nullptr || value == nullptr)
                return nullptr;
            if (encoding == UTF_8 && *value != '\0') {
                char* converted = utf8ValueToAnsi(value);
                vars.set(slot - 1, converted);
                if (converted == nullptr)
                    return nullptr;
            }
            lastEnd = static_cast<size_t>(pieceEnd - begin);
        }
        p = pieceEnd + 1;
    }
    if (trailingOffset != nullptr)
        *trailingOffset = lastEnd;
    return vars.release();
}

namespace {

// splitUrlEncoded, except that a page that asked for quiet errors gets a malformed UTF-8 value
// as failure kMsgBadCharacters instead of the exception.
char** splitQuietly(std::string_view data, CharEncoding encoding, size_t* trailingOffset) {
    if ((gReadFlags & CGI_QUIET_ERRORS) == 0)
        return splitUrlEncoded(data, encoding, trailingOffset);
    try {
        return splitUrlEncoded(data, encoding, trailingOffset);
    } catch (UTFDataFormatException* error) {
        delete error;
        recordFailure(kMsgBadCharacters);
        return nullptr;
    }
}

}  // namespace

int parseContentLength(const char* text) {
    if (text == nullptr)
        return 0;
    char* stop = nullptr;
    long long value = std::strtoll(text, &stop, 10);
    return static_cast<int>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

namespace {

// Reads the URL-encoded body and splits it; reports its own failures.
char** readUrlEncoded(int inputFd, CharEncoding encoding, unsigned char** trailingData,
                      long* trailingLength) {
    int contentLength = parseContentLength(std::getenv("CONTENT_LENGTH"));
    if (contentLength == 0) {
        reportMessage(kMsgNoContent);
        return nullptr;
    }
    if (contentLength < 0 || static_cast<size_t>(contentLength) > kMaxUrlEncodedBody) {
        reportMessage(kMsgNoMemory);
        return nullptr;
    }
    auto length = static_cast<size_t>(contentLength);

    // The buffer grows with the bytes that arrive, never ahead of them to the claimed length.
    RequestInput input(inputFd, length, idleTimeoutMs());
    size_t capacity = std::min(length, kIoBufferSize);
    FreeOnExit body(std::malloc(capacity + 1));
    size_t used = 0;
    while (body.get() != nullptr && used < length) {
        if (used == capacity) {
            capacity = std::min(length, capacity * 2);
            void* grown = std::realloc(body.get(), capacity + 1);
            if (grown == nullptr)
                break;
            body.release();
            body.reset(grown);
        }
        size_t n = input.read(static_cast<char*>(body.get()) + used, capacity - used);
        if (n == 0) {
            reportMessage(kMsgReadFailed);
            return nullptr;
        }
        used += n;
    }
    if (body.get() == nullptr || used < length) {
        reportMessage(kMsgNoMemory);
        return nullptr;
    }
    char* data = static_cast<char*>(body.get());
    data[length] = '\0';

    size_t lastEnd = 0;
    char** vars = splitQuietly(std::string_view(data, length), encoding, &lastEnd);
    if (vars != nullptr && vars[0] != nullptr && trailingData != nullptr) {
        // The byte at lastEnd ends the last variable; what follows it is handed back raw.
        long trailing = static_cast<long>(length) - static_cast<long>(lastEnd) - 1;
        *trailingData = nullptr;
        if (trailing > 0) {
            auto* copy = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(trailing)));
            if (copy == nullptr) {
                cgiFreeVars(vars, nullptr);
                reportMessage(kMsgNoMemory);
                return nullptr;
            }
            std::memcpy(copy, data + lastEnd + 1, static_cast<size_t>(trailing));
            *trailingData = copy;
        }
        if (trailingLength != nullptr)
            *trailingLength = trailing;
    }
    return vars;
}

}  // namespace

char** getVarsFromFd(int inputFd, CharEncoding encoding, bool forceMultipart,
                     unsigned char** trailingData, long* trailingLength) {
    recordFailure(0);
    if (forceMultipart)
        ::setenv("CONTENT_TYPE", kForcedContentType, 1);

    const char* method = std::getenv("REQUEST_METHOD");
    if (method != nullptr && std::strcmp(method, "GET") == 0) {
        const char* query = std::getenv("QUERY_STRING");
        if (query == nullptr)
            return nullptr;
        return splitQuietly(query, encoding, nullptr);
    }
    if (method == nullptr || std::strcmp(method, "POST") != 0) {
        reportMessage(kMsgBadMethod);
        return nullptr;
    }

    if (const char* type = std::getenv("CONTENT_TYPE")) {
        if (startsWithNoCase(type, kMultipartType)) {
            // A page that takes no file must not be made to store one: the body stays unread.
            if ((gReadFlags & CGI_REFUSE_UPLOADS) != 0) {
                reportMessage(kMsgUploadRefused);
                return nullptr;
            }
            return ParseMultiPartData(inputFd);
        }
        if (*type != '\0' && !startsWithNoCase(type, kUrlEncodedType)) {
            reportMessage(kMsgBadContentType);
            return nullptr;
        }
    }
    return readUrlEncoded(inputFd, encoding, trailingData, trailingLength);
}

}  // namespace nvl::cgi

char** cgiGetVars(CharEncoding encoding, bool forceMultipart, unsigned char** trailingData,
                  long* trailingLength) {
    return nvl::cgi::getVarsFromFd(STDIN_FILENO, encoding, forceMultipart, trailingData,
                                   trailingLength);
}

void cgiSetReadFlags(unsigned flags) {
    nvl::cgi::gReadFlags = flags;
}

int cgiGetVarsError() {
    return nvl::cgi::gLastFailure;
}

void cgiFreeVars(char** vars, unsigned char* trailingData) {
    if (vars != nullptr) {
        for (char** p = vars; *p != nullptr; ++p)
            std::free(*p);
        std::free(vars);
    }
    std::free(trailingData);
}

void cgiUnEscapeUrl(char* text) {
    if (text == nullptr)
        return;
    size_t w = 0;
    for (size_t r = 0; text[r] != '\0'; ++r, ++w) {
        // Both digits must lie before the terminator; a '%' too close to the end is kept.
        if (text[r] == '%' && text[r + 1] != '\0' && text[r + 2] != '\0') {
            text[w] = static_cast<char>(nvl::cgi::hexPairValue(text[r + 1], text[r + 2]));
            r += 2;
        } else {
            text[w] = text[r];
        }
    }
    text[w] = '\0';
}

char cgiX2C(char* twoDigits) {
    char high = twoDigits[0];
    char low = high != '\0' ? twoDigits[1] : '\0';
    return static_cast<char>(nvl::cgi::hexPairValue(high, low));
}
