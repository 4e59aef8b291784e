// What keeps the console's requests honest: the server secret, the form token bound to a
// session, the same-origin check of requests that change something, and the header lines
// every response carries.
//
// A request that changes something is a POST whose form carries "token", the session's form
// token, and whose Origin header (or, when the browser sends none, Referer) names this
// console: the scheme, host and port the browser used to reach it (HTTP_HOST). Anything else
// is answered 403 and changes nothing.
//
// Content-Security-Policy: scripts, styles and images come from the console itself, and the
// only inline scripts allowed are the exact texts the page lists, each by its SHA-256 hash
// (CSP level 2 hash sources). The library writes the session's stamp script and the help
// opener itself, byte for byte, with a fresh stamp in every response; the page captures what
// the library wrote and allows exactly those texts, nothing a page writes from data.
#pragma once

#include <cgishare/cgishare.h>

#include <string>
#include <string_view>
#include <vector>

namespace console {

// <home>private/, made 0700 at first use: the console's own state (secret, log-on failures).
// "" unless it is a real directory of this process's account that nobody else can write.
std::string privateDirectory();

// The server's 32-byte secret from <home>private/console.key, made at first use with mode
// 0600. The file must be a regular file of this process's account, readable and writable by
// it alone, not a symbolic link; anything else leaves the secret empty (and every token
// check fails) rather than trusting a file someone else could read or have planted.
std::string serverSecret();

// The form token of the session whose key is `sessionKey`: hex HMAC-SHA-256 of the key under
// the server secret. "" when there is no secret or no key.
std::string formToken(std::string_view sessionKey);

// The value of cookie `name` in HTTP_COOKIE, "" when absent.
std::string cookieValue(std::string_view name);

// True when Origin (or without it Referer) names http://HTTP_HOST or https://HTTP_HOST.
bool fromConsole();

// True when this request is a POST with a form token equal (in constant time) to the
// session's and comes from the console.
bool tokenAccepted(std::string_view formTokenValue);

// The inline scripts of a piece of HTML the library wrote: the text between each
// <script ...> and its </script>, exactly as written (tag names matched without case).
std::vector<std::string> inlineScripts(std::string_view html);

// The Content-Security-Policy value that allows `scripts` inline and nothing else inline.
std::string contentSecurityPolicy(const std::vector<std::string>& scripts);

// The header lines of an HTML response (no blank line after them): Status when not 200,
// Content-Type with the page's charset, Cache-Control, Content-Security-Policy,
// X-Frame-Options, Referrer-Policy, X-Content-Type-Options. `extra` (whole lines, each ending
// in CR LF, e.g. the session's Set-Cookie lines) goes out as it stands.
void writeHeaders(OutputStreamConverter& out, int status = 200,
                  const std::vector<std::string>& scripts = {}, std::string_view extra = {});

// A whole 403 response: headers and a short page in the console's language.
void refuseRequest(OutputStreamConverter& out);

}  // namespace console
