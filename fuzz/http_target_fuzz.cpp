// The HTTP loader's check of a request's url and port on any input. What it accepts must be
// what libcurl, which fetches it, takes for the same server: the host holds no user part and
// none of '@', '/', '?', '#' or a blank, the url built is "http://" + host + ":" + port + path,
// and libcurl's own reading of that url finds no user, the same host (an IPv4 address written
// in another notation counts as the address it denotes, as for inet_aton) and the same port.
//
// Input: bytes 0-3 the port (little-endian, signed), the rest the url.
#include <arpa/inet.h>
#include <curl/curl.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "request_check.h"

namespace {

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

// libcurl's host against the checked one.
bool sameHost(const std::string& checked, const std::string& seen) {
    if (checked.front() == '[') {
        in6_addr a{}, b{};
        if (seen.size() < 2 || seen.front() != '[' || seen.back() != ']')
            return false;
        return inet_pton(AF_INET6, checked.substr(1, checked.size() - 2).c_str(), &a) == 1 &&
               inet_pton(AF_INET6, seen.substr(1, seen.size() - 2).c_str(), &b) == 1 &&
               std::memcmp(&a, &b, sizeof a) == 0;
    }
    if (lower(checked) == lower(seen))
        return true;
    // libcurl writes a numeric IPv4 host ("127.1", "0x7f.0.0.1") as its dotted address.
    in_addr a{}, b{};
    return inet_aton(checked.c_str(), &a) != 0 && inet_pton(AF_INET, seen.c_str(), &b) == 1 &&
           a.s_addr == b.s_addr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    uint32_t raw = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                   static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    int32_t port;
    std::memcpy(&port, &raw, sizeof port);
    std::string url(reinterpret_cast<const char*>(data + 4), size - 4);

    loadhttp::Target target;
    if (!loadhttp::checkTarget(url, port, &target))
        return 0;
    const std::string& host = target.host;
    if (port < 1 || port > 65535 || host.empty() || !loadhttp::isHost(host) ||
        host.find_first_of("@/?#\\ \t\r\n") != std::string::npos || target.path.empty() ||
        target.path.front() != '/' || "http://" + host + target.path != url ||
        target.url != "http://" + host + ":" + std::to_string(port) + target.path)
        std::abort();
    for (char c : target.path) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f)
            std::abort();
    }
    if (host.front() != '[') {
        for (char c : host) {
            if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.'))
                std::abort();
        }
    }

    CURLU* parsed = curl_url();
    if (parsed == nullptr)
        return 0;
    if (curl_url_set(parsed, CURLUPART_URL, target.url.c_str(), CURLU_PATH_AS_IS) != CURLUE_OK)
        std::abort();
    char* user = nullptr;
    char* seenHost = nullptr;
    char* seenPort = nullptr;
    if (curl_url_get(parsed, CURLUPART_USER, &user, 0) != CURLUE_NO_USER ||
        curl_url_get(parsed, CURLUPART_HOST, &seenHost, 0) != CURLUE_OK ||
        curl_url_get(parsed, CURLUPART_PORT, &seenPort, 0) != CURLUE_OK ||
        !sameHost(host, seenHost) || std::to_string(port) != seenPort)
        std::abort();
    curl_free(user);
    curl_free(seenHost);
    curl_free(seenPort);
    curl_url_cleanup(parsed);
    return 0;
}
