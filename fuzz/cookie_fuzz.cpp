// The cookie header of a request, as the session code parses it: any bytes, any length.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "session/login_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The header the session code reads is at most one field long; it works on a copy.
    std::string header(reinterpret_cast<const char*>(data),
                       std::min(size, nvl::session::kCookieFieldSize - 1));
    static nvl::session::CookieValues values;
    nvl::session::ParseCookieValue(header.data(), &values);
    for (const char* field : {values.key, values.stamp, values.session}) {
        if (::strnlen(field, nvl::session::kCookieFieldSize) >= nvl::session::kCookieFieldSize)
            std::abort();
    }
    // Only a canonical decimal number below the limit may name a key file.
    if (nvl::session::isIssuedSessionValue(values.session)) {
        std::string session = values.session;
        if (session.empty() || session.size() > 5 ||
            session.find_first_not_of("0123456789") != std::string::npos ||
            (session.size() > 1 && session[0] == '0') ||
            std::strtoul(session.c_str(), nullptr, 10) >= nvl::session::kSessionLimit)
            std::abort();
    }
    return 0;
}
