#include "request_check.h"

#include <arpa/inet.h>

namespace loadhttp {

namespace {

bool isLabelChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

bool isHostName(std::string_view host) {
    // A trailing dot ends a fully qualified name.
    if (!host.empty() && host.back() == '.')
        host.remove_suffix(1);
    if (host.empty() || host.size() > 253)
        return false;
    for (;;) {
        size_t dot = host.find('.');
        std::string_view label = host.substr(0, dot);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (char c : label)
            if (!isLabelChar(c))
                return false;
        if (dot == std::string_view::npos)
            return true;
        host.remove_prefix(dot + 1);
    }
}

}  // namespace

bool isHost(std::string_view host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        std::string inner(host.substr(1, host.size() - 2));
        in6_addr address{};
        // inet_pton reads up to a NUL: one inside would hide what follows it.
        return inner.find('\0') == std::string::npos &&
               inet_pton(AF_INET6, inner.c_str(), &address) == 1;
    }
    return isHostName(host);
}

bool checkTarget(std::string_view url, int32_t port, Target* out) {
    constexpr std::string_view kScheme = "http://";
    if (port < 1 || port > 65535 || url.substr(0, kScheme.size()) != kScheme)
        return false;
    std::string_view rest = url.substr(kScheme.size());
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos)
        return false;
    std::string_view host = rest.substr(0, slash);
    std::string_view path = rest.substr(slash);
    if (!isHost(host))
        return false;
    for (char c : path)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f)
            return false;
    out->host.assign(host);
    out->path.assign(path);
    out->url = "http://" + out->host + ":" + std::to_string(port) + out->path;
    return true;
}

}  // namespace loadhttp
