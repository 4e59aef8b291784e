// What the HTTP loader accepts of a request before it asks anybody anything.
//
// The url comes from pages that put a host and a path typed by an administrator side by side,
// so "user@other", a '/', '?', '#' or a blank inside the host, or a path without its leading
// '/', would change which server is asked. Only a host name (letters, digits and '-' in labels
// of 1 to 63 characters, at most 253 in all), an IPv4 address or an IPv6 address in brackets
// passes; a path must start with '/' and hold no blank or control character; a port is 1 to
// 65535. Shared by the loader and its fuzz target.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace loadhttp {

struct Target {
    std::string host;  // as given: a name, an IPv4 address or "[v6]"
    std::string path;  // from the first '/' on
    std::string url;   // "http://host:port/path", what is fetched
};

// True for a host name or an IP literal as described above.
bool isHost(std::string_view host);

// Splits and checks "http://HOST/PATH" with `port`: true with `*out` set, or false.
bool checkTarget(std::string_view url, int32_t port, Target* out);

}  // namespace loadhttp
