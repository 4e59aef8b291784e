#include "connection_test.h"

#include <cstdint>
#include <cstdio>

#include "connection_texts.h"

namespace console {

namespace {

bool isAsciiLetterOrDigit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isHostName(std::string_view host) {
    if (!host.empty() && host.back() == '.')
        host.remove_suffix(1);
    if (host.empty() || host.size() > 253)
        return false;
    size_t label = 0;
    for (size_t i = 0; i <= host.size(); ++i) {
        if (i == host.size() || host[i] == '.') {
            if (label == 0 || label > 63 || host[i - 1] == '-' || host[i - label] == '-')
                return false;
            label = 0;
        } else if (isAsciiLetterOrDigit(host[i]) || host[i] == '-') {
            ++label;
        } else {
            return false;
        }
    }
    return true;
}

bool isIpv6Literal(std::string_view host) {
    if (host.size() < 4 || host.front() != '[' || host.back() != ']')
        return false;
    std::string_view inside = host.substr(1, host.size() - 2);
    if (inside.size() > 45 || inside.find(':') == std::string_view::npos)
        return false;
    for (char c : inside) {
        if (!isHexDigit(c) && c != ':' && c != '.')
            return false;
    }
    return true;
}

bool isPathText(std::string_view path) {
    if (path.empty() || path.front() != '/')
        return false;
    for (char c : path) {
        auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F)
            return false;
    }
    return true;
}

// One character of UTF-8 text at `at`: its code point and length, or length 0 for a byte that
// does not start a well-formed character.
struct Character {
    uint32_t value = 0;
    size_t length = 0;
};

Character characterAt(std::string_view text, size_t at) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char c = byte(at);
    if (c < 0x80)
        return {c, 1};
    size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                    : c >= 0xE0 && c <= 0xEF ? 3
                    : c >= 0xF0 && c <= 0xF4 ? 4
                                             : 0;
    if (length == 0 || at + length > text.size())
        return {};
    uint32_t value = c & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
    for (size_t k = 1; k < length; ++k) {
        if ((byte(at + k) & 0xC0) != 0x80)
            return {};
        value = value << 6 | (byte(at + k) & 0x3F);
    }
    bool overlong = (length == 3 && value < 0x800) || (length == 4 && value < 0x10000);
    if (overlong || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF)
        return {};
    return {value, length};
}

void appendEscaped(std::string& out, char c) {
    switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
    }
}

void appendReference(std::string& out, uint32_t value) {
    out += "&#" + std::to_string(value) + ";";
}

bool changesDirection(uint32_t value) {
    return value == 0x061C || value == 0x200E || value == 0x200F ||
           (value >= 0x202A && value <= 0x202E) || (value >= 0x2066 && value <= 0x2069);
}

// A byte that is not UTF-8 ("\xNN") or a character shown by its number ("U+NNNN").
void appendMarked(std::string& out, bool byte, uint32_t value) {
    char text[16];
    if (byte)
        std::snprintf(text, sizeof text, "\\x%02X", static_cast<unsigned>(value));
    else
        std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(value));
    out += "<span class=\"byte\">";
    out += text;
    out += "</span>";
}

}  // namespace

int parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5)
        return 0;
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        port = port * 10 + (c - '0');
    }
    return port >= 1 && port <= 65535 ? port : 0;
}

bool isHostText(std::string_view host) {
    return isHostName(host) || isIpv6Literal(host);
}

int readConnectionForm(const FormField& form, ConnectionRequest* request) {
    request->host = form("host");
    request->path = form("path");
    request->useProxy = std::string_view(form("proxy")) == "1";
    request->proxyHost = form("proxy-host");
    request->user = form("proxy-user");
    request->password = form("proxy-password");
    std::string_view port = form("port"), proxyPort = form("proxy-port");
    request->port = parsePort(port);
    request->proxyPort = parsePort(proxyPort);

    if (request->host.empty())
        return kHostMissing;
    if (!isHostText(request->host))
        return kBadHost;
    if (request->port == 0)
        return kBadPort;
    if (!isPathText(request->path))
        return kBadPath;
    if (!request->useProxy)
        return 0;
    if (request->proxyHost.empty())
        return kProxyHostMissing;
    if (!isHostText(request->proxyHost))
        return kBadHost;
    if (request->proxyPort == 0)
        return kBadProxyPort;
    if (request->user.size() > kCredentialLimit || request->password.size() > kCredentialLimit)
        return kCredentialTooLong;
    return 0;
}

int outcomeText(int result) {
    switch (result) {
        case 1:
            return kOutcomeSuccess;
        case -2:
            return kOutcomeNoMemory;
        case -3:
            return kOutcomeRefused;
        case -4:
            return kOutcomeNotResolved;
        case -5:
            return kOutcomeConnectionRefused;
        case -6:
            return kOutcomeServerError;
        case -7:
            return kOutcomeDropped;
        case -8:
            return kOutcomeEmptyReply;
        case -10:
            return kOutcomeProxyAuthentication;
        case -11:
            return kOutcomeOtherStatus;
        case -12:
            return kOutcomeBadRequest;
        case -20:
            return kOutcomeLoaderMissing;
        case -21:
            return kOutcomeResponseUnreadable;
        case -22:
            return kOutcomeTimeout;
        case -23:
            return kOutcomeLoaderFailed;
        default:
            return kOutcomeUnknown;
    }
}

std::string asciiHtml(std::string_view text) {
    std::string out;
    for (size_t at = 0; at < text.size();) {
        Character c = characterAt(text, at);
        if (c.length == 0) {
            appendReference(out, 0xFFFD);
            ++at;
            continue;
        }
        if (c.value >= 0x20 && c.value < 0x7F)
            appendEscaped(out, static_cast<char>(c.value));
        else
            appendReference(out, c.value);
        at += c.length;
    }
    return out;
}

std::string previewHtml(std::string_view body, size_t limit, bool* cut) {
    *cut = body.size() > limit;
    std::string_view shown = body.substr(0, limit);
    if (*cut) {
        // A character cut in two by the limit is left out rather than shown as stray bytes.
        size_t start = shown.size();
        while (start > 0 && shown.size() - start < 3 &&
               (static_cast<unsigned char>(shown[start - 1]) & 0xC0) == 0x80)
            --start;
        if (start > 0 && static_cast<unsigned char>(shown[start - 1]) >= 0xC0 &&
            characterAt(body, start - 1).length > shown.size() - (start - 1))
            shown = shown.substr(0, start - 1);
    }
    std::string out;
    for (size_t at = 0; at < shown.size();) {
        Character c = characterAt(shown, at);
        if (c.length == 0) {
            appendMarked(out, true, static_cast<unsigned char>(shown[at]));
            ++at;
            continue;
        }
        at += c.length;
        if (c.value == '\r' && at < shown.size() && shown[at] == '\n')
            continue;
        if (c.value == '\n' || c.value == '\t')
            out += static_cast<char>(c.value);
        else if (c.value >= 0x20 && c.value < 0x7F)
            appendEscaped(out, static_cast<char>(c.value));
        else if (c.value < 0x20 || (c.value >= 0x7F && c.value < 0xA0) || changesDirection(c.value))
            appendMarked(out, false, c.value);
        else
            appendReference(out, c.value);
    }
    return out;
}

}  // namespace console
