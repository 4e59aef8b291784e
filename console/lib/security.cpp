#include "security.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "crypto.h"
#include "page.h"

namespace console {

namespace {

constexpr size_t kSecretSize = 32;

std::string_view environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// A descriptor that closes itself.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

bool readSecret(const std::string& path, std::string* secret) {
    Fd file{::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid() || (st.st_mode & 077) != 0 ||
        st.st_size != static_cast<off_t>(kSecretSize))
        return false;
    char bytes[kSecretSize];
    if (::pread(file.fd, bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        return false;
    secret->assign(bytes, sizeof bytes);
    return true;
}

// Writes a new secret aside and links it into place, so a reader never sees a partial file
// and of two processes making it at once, the first one's stands.
bool makeSecret(const std::string& directory, const std::string& path) {
    unsigned char bytes[kSecretSize];
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        return false;
    std::string temporary = directory + "console.key.XXXXXX";
    Fd file{::mkostemp(temporary.data(), O_CLOEXEC)};
    if (file.fd < 0)
        return false;
    bool written = ::fchmod(file.fd, 0600) == 0 &&
                   ::write(file.fd, bytes, sizeof bytes) == static_cast<ssize_t>(sizeof bytes) &&
                   ::fsync(file.fd) == 0;
    bool linked = written && (::link(temporary.c_str(), path.c_str()) == 0 || errno == EEXIST);
    ::unlink(temporary.c_str());
    return linked;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
        if (x != y)
            return false;
    }
    return true;
}

size_t findNoCase(std::string_view text, std::string_view what, size_t from) {
    for (size_t i = from; i + what.size() <= text.size(); ++i) {
        if (equalsNoCase(text.substr(i, what.size()), what))
            return i;
    }
    return std::string_view::npos;
}

}  // namespace

std::string privateDirectory() {
    char home[1024] = {};
    if (getHomeDir(home, sizeof home) == 0 || home[0] == '\0')
        return {};
    std::string directory = std::string(home) + "private";
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    struct stat st {};
    if (::lstat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 022) != 0)
        return {};
    return directory + "/";
}

std::string serverSecret() {
    // Read once per process and home.
    static std::string cachedPath, secret;
    std::string directory = privateDirectory();
    if (directory.empty())
        return {};
    std::string path = directory + "console.key";
    if (path == cachedPath && !secret.empty())
        return secret;
    secret.clear();
    if (!readSecret(path, &secret) && makeSecret(directory, path))
        readSecret(path, &secret);
    cachedPath = path;
    return secret;
}

std::string formToken(std::string_view sessionKey) {
    std::string secret = serverSecret();
    if (secret.empty() || sessionKey.empty())
        return {};
    Sha256Digest mac = hmacSha256(secret, std::string("form token\n").append(sessionKey));
    return hex(mac.data(), mac.size());
}

std::string cookieValue(std::string_view name) {
    std::string_view header = environment("HTTP_COOKIE");
    while (!header.empty()) {
        size_t end = header.find(';');
        std::string_view pair = header.substr(0, end);
        header = end == std::string_view::npos ? std::string_view() : header.substr(end + 1);
        while (!pair.empty() && pair.front() == ' ')
            pair.remove_prefix(1);
        size_t equals = pair.find('=');
        if (equals != std::string_view::npos && pair.substr(0, equals) == name)
            return std::string(pair.substr(equals + 1));
    }
    return {};
}

bool fromConsole() {
    std::string_view host = environment("HTTP_HOST");
    if (host.empty() || host.find_first_of("/\\@ ") != std::string_view::npos)
        return false;
    std::string http = "http://" + std::string(host);
    std::string https = "https://" + std::string(host);
    std::string_view origin = environment("HTTP_ORIGIN");
    if (!origin.empty())
        return origin == http || origin == https;
    // Without an Origin header, the Referer must be a page of the console itself.
    std::string_view referer = environment("HTTP_REFERER");
    return startsWith(referer, http + "/") || startsWith(referer, https + "/");
}

bool tokenAccepted(std::string_view formTokenValue) {
    if (environment("REQUEST_METHOD") != "POST" || !fromConsole())
        return false;
    std::string expected = formToken(cookieValue("key"));
    return !expected.empty() && sameText(expected, formTokenValue);
}

std::vector<std::string> inlineScripts(std::string_view html) {
    std::vector<std::string> scripts;
    size_t at = 0;
    while ((at = findNoCase(html, "<script", at)) != std::string_view::npos) {
        size_t open = html.find('>', at);
        if (open == std::string_view::npos)
            break;
        size_t close = findNoCase(html, "</script", open + 1);
        if (close == std::string_view::npos)
            break;
        scripts.emplace_back(html.substr(open + 1, close - open - 1));
        at = close + 1;
    }
    return scripts;
}

std::string contentSecurityPolicy(const std::vector<std::string>& scripts) {
    std::string scriptSources = "'self'";
    for (const std::string& script : scripts) {
        Sha256Digest digest = sha256(script);
        scriptSources += " 'sha256-" + base64(digest.data(), digest.size()) + "'";
    }
    return "default-src 'none'; script-src " + scriptSources +
           "; style-src 'self'; img-src 'self'; connect-src 'self'; form-action 'self'; "
           "frame-ancestors 'none'; object-src 'none'; base-uri 'none'";
}

void writeHeaders(OutputStreamConverter& out, int status, const std::vector<std::string>& scripts,
                  std::string_view extra) {
    switch (status) {
        case 200:
            break;
        case 303:
            out << "Status: 303 See Other\r\n";
            break;
        case 400:
            out << "Status: 400 Bad Request\r\n";
            break;
        case 403:
            out << "Status: 403 Forbidden\r\n";
            break;
        default:
            out << "Status: " << std::to_string(status).c_str() << "\r\n";
    }
    if (!extra.empty())
        out << std::string(extra).c_str();
    out << "Content-Type: text/html; charset="
        << OutputStreamConverter::getCharEncodingName(out.getCharEncoding()) << "\r\n"
        << "Cache-Control: no-store\r\n"
        << "Content-Security-Policy: " << contentSecurityPolicy(scripts).c_str() << "\r\n"
        << "X-Frame-Options: DENY\r\n"
        << "Referrer-Policy: same-origin\r\n"
        << "X-Content-Type-Options: nosniff\r\n";
}

void refuseRequest(OutputStreamConverter& out) {
    writeHeaders(out, 403);
    out << "\r\n<!DOCTYPE html>\n<html lang=\"" << languageTag() << "\">\n<head>\n<meta charset=\""
        << OutputStreamConverter::getCharEncodingName(out.getCharEncoding()) << "\">\n"
        << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        << "<title>" << text(kForbiddenTitle).c_str() << "</title>\n"
        << "<link rel=\"stylesheet\" href=\"../html/console.css\">\n</head>\n<body>\n"
        << "<main class=\"message\">\n<h1 id=\"forbidden\">" << text(kForbiddenTitle).c_str()
        << "</h1>\n<p>" << text(kForbidden).c_str() << "</p>\n<p><a href=\"home.cgi\">"
        << text(kMenuHome).c_str() << "</a></p>\n</main>\n</body>\n</html>\n";
    out.flush();
}

}  // namespace console
