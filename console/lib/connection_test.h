// The connection test page's form and what it shows: the request checked before any byte goes
// out, the outcome of httpAccess in the resource library's words, and the start of the body as
// HTML that no byte of it can break.
//
// The form's values arrive as UTF-8 (console::Form). The host is a host name (letters, digits,
// '-' and '.'), an IPv4 address or an IPv6 address in brackets; the port a whole number from 1
// to 65535 in at most five digits; the path starts with '/' and holds no blank or control
// character. The proxy's user and password go out as the loader sends them, at most 127 bytes
// each: a longer one is refused here rather than cut there (a cut password is a wrong one).
// The loader makes the final checks of its own (refused with -3); these make the page's
// messages say what to mend.
//
// Markup: every text the page writes from the request or the response is ASCII markup, because
// the page's converter reads the body as the console's ANSI code page: printable ASCII as it is
// (the five HTML specials escaped), any other character of valid UTF-8 as a numeric character
// reference. In the body's preview line ends and tabs stay as they are (it is shown in <pre>),
// a CR before LF is dropped, and a byte that is not UTF-8, a control character or a
// direction-changing character is shown visibly ("\xNN", "U+NNNN") in <span class="byte">.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace console {

struct ConnectionRequest {
    std::string host;
    int port = 80;
    std::string path = "/";
    bool useProxy = false;
    std::string proxyHost;
    int proxyPort = 8080;
    std::string user;
    std::string password;  // never written anywhere
};

// The bytes of the proxy's user and password that the loader sends.
inline constexpr size_t kCredentialLimit = 127;
// The bytes of the body the page shows.
inline constexpr size_t kPreviewLimit = 2048;

// The value of a form field by name ("" when the form lacks it), as console::Form::value.
using FormField = std::function<const char*(const char*)>;

// Fills `request` from the form's fields host, port, path, proxy ("1" when used), proxy-host,
// proxy-port, proxy-user and proxy-password. Returns 0, or the resource number of the message that
// says what is wrong (the first fault found); `request` holds what was read either way.
int readConnectionForm(const FormField& form, ConnectionRequest* request);

// The port `text` gives (1 to 65535), or 0 when it gives none.
int parsePort(std::string_view text);

// Whether `host` is a host name, an IPv4 address or a bracketed IPv6 address.
bool isHostText(std::string_view host);

// The resource number of the outcome `result` of httpAccess.
int outcomeText(int result);

// `text` (UTF-8) as ASCII markup for an element's content or an attribute's value.
std::string asciiHtml(std::string_view text);

// The first `limit` bytes of `body` (less a character cut at the end) as preview markup;
// `*cut` tells whether the body had more.
std::string previewHtml(std::string_view body, size_t limit, bool* cut);

}  // namespace console
