// loadhttp.so: the HTTP loader. Get fetches one url over plain HTTP with libcurl, directly or
// through an HTTP proxy (whatever the environment's http_proxy and no_proxy say), and puts the
// body in place as a whole: it is written to a temporary file beside the output file and renamed
// over it only when the transfer completed, so a reader of the output file sees the old
// contents or the whole new body, never a part, and a failed transfer leaves nothing behind.
//
// The library is built with -z nodelete: the server's library loads and unloads it around every
// call, and libcurl with its TLS library is not made to be unloaded and loaded again many times
// in one process. It stays loaded after the first call; each call costs one easy handle.
#pragma GCC visibility push(default)
#include "loadhttp.h"
#pragma GCC visibility pop

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "request_check.h"

namespace {

constexpr long kDefaultConnectSeconds = 30;
constexpr long kDefaultStallSeconds = 60;
constexpr long kMaxRedirects = 5;
constexpr long kBufferSize = 256 * 1024;

long secondsFromEnvironment(const char* name, long fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == 0)
        return fallback;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    return *end == 0 && value > 0 && value <= 86400 ? value : fallback;
}

std::string boundedText(const char (&field)[128]) {
    return std::string(field, strnlen(field, sizeof field));
}

// The temporary file beside the output file, removed unless it was put in place.
class Temporary {
  public:
    explicit Temporary(const std::string& output) : output_(output) {
        size_t slash = output.rfind('/');
        std::string dir = slash == std::string::npos ? "." : output.substr(0, slash + 1);
        std::string base = slash == std::string::npos ? output : output.substr(slash + 1);
        path_ = (slash == std::string::npos ? std::string() : dir) + "." + base + ".XXXXXX";
        fd_ = ::mkostemp(path_.data(), O_CLOEXEC);
        created_ = fd_ >= 0;
    }
    ~Temporary() {
        if (fd_ >= 0)
            ::close(fd_);
        if (created_ && !placed_)
            ::unlink(path_.c_str());
    }
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Gives it the output file's mode (or that of a new file) and renames it over the output.
    bool place() {
        struct stat st {};
        mode_t mode;
        if (::stat(output_.c_str(), &st) == 0) {
            mode = st.st_mode & 07777;
        } else {
            mode_t mask = ::umask(0);
            ::umask(mask);
            mode = 0666 & ~mask;
        }
        bool ok = ::fchmod(fd_, mode) == 0 && ::close(fd_) == 0;
        fd_ = -1;
        if (ok && ::rename(path_.c_str(), output_.c_str()) == 0) {
            placed_ = true;
            return true;
        }
        return false;
    }

  private:
    std::string output_;
    std::string path_;
    int fd_ = -1;
    bool created_ = false;
    bool placed_ = false;
};

struct Sink {
    int fd;
    bool failed = false;
};

size_t writeBody(char* data, size_t size, size_t count, void* context) {
    auto* sink = static_cast<Sink*>(context);
    size_t total = size * count;
    size_t done = 0;
    while (done < total) {
        ssize_t n = ::write(sink->fd, data + done, total - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            sink->failed = true;
            return 0;
        }
        done += static_cast<size_t>(n);
    }
    return total;
}

int mapCurlError(CURLcode code, bool proxy) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
            return LOADHTTP_E_RESOLVE;
        case CURLE_COULDNT_RESOLVE_PROXY:
            return LOADHTTP_E_RESOLVE_PROXY;
        case CURLE_COULDNT_CONNECT:
            return LOADHTTP_E_CONNECT;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING:
            return LOADHTTP_E_MALFORMED;
        case CURLE_OPERATION_TIMEDOUT:
            return LOADHTTP_E_TIMEOUT;
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            return LOADHTTP_E_DROPPED;
        case CURLE_TOO_MANY_REDIRECTS:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return LOADHTTP_E_REDIRECTS;
        case CURLE_GOT_NOTHING:
            return LOADHTTP_E_EMPTY;
        case CURLE_WRITE_ERROR:
            return LOADHTTP_E_WRITE;
        case CURLE_LOGIN_DENIED:
        case CURLE_AUTH_ERROR:
            return proxy ? LOADHTTP_E_PROXY_REFUSED : LOADHTTP_E_MALFORMED;
        default:
            return LOADHTTP_E_INTERNAL;
    }
}

struct Easy {
    Easy() : handle(curl_easy_init()) {}
    ~Easy() {
        if (handle != nullptr)
            curl_easy_cleanup(handle);
    }
    CURL* handle;
};

}  // namespace

extern "C" int Get(HttpGetRequest* request, int, int) {
    static std::once_flag once;
    static CURLcode initialised = CURLE_FAILED_INIT;
    std::call_once(once, [] { initialised = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (initialised != CURLE_OK)
        return LOADHTTP_E_INTERNAL;
    if (request == nullptr || request->url == nullptr || request->outputFile == nullptr ||
        *request->outputFile == 0)
        return LOADHTTP_E_REFUSED;

    loadhttp::Target target;
    if (!loadhttp::checkTarget(request->url, request->port, &target))
        return LOADHTTP_E_REFUSED;
    bool proxy = request->useProxy == 1;
    std::string proxyUrl, user, password;
    if (proxy) {
        if (request->proxyHost == nullptr || !loadhttp::isHost(request->proxyHost) ||
            request->proxyPort < 1 || request->proxyPort > 65535)
            return LOADHTTP_E_REFUSED;
        proxyUrl =
            std::string("http://") + request->proxyHost + ":" + std::to_string(request->proxyPort);
        if (request->options & LOADHTTP_PROXY_AUTH) {
            user = boundedText(request->text3);
            password = boundedText(request->text4);
            // Basic authentication joins the two with ':': a user holding one cannot be sent.
            if (user.empty() || user.find(':') != std::string::npos)
                return LOADHTTP_E_PROXY_AUTH;
        }
    }

    Temporary temporary(request->outputFile);
    if (!temporary.ok())
        return LOADHTTP_E_CREATE;
    Easy easy;
    if (easy.handle == nullptr)
        return LOADHTTP_E_INTERNAL;
    CURL* c = easy.handle;
    Sink sink{temporary.fd()};
    bool follow = (request->options & LOADHTTP_FOLLOW_REDIRECTS) != 0;
    curl_easy_setopt(c, CURLOPT_URL, target.url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, follow ? 1L : 0L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, kBufferSize);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "loadhttp/1.0");
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT,
                     secondsFromEnvironment("LOADHTTP_CONNECT_TIMEOUT", kDefaultConnectSeconds));
    if (request->options & LOADHTTP_STALL_TIMEOUT) {
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME,
                         secondsFromEnvironment("LOADHTTP_STALL_TIMEOUT", kDefaultStallSeconds));
    }
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    if (proxy) {
        curl_easy_setopt(c, CURLOPT_PROXY, proxyUrl.c_str());
        curl_easy_setopt(c, CURLOPT_NOPROXY, "");  // the proxy, whatever no_proxy says
        if (!user.empty()) {
            curl_easy_setopt(c, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
            curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, user.c_str());
            curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, password.c_str());
        }
    } else {
        curl_easy_setopt(c, CURLOPT_PROXY, "");  // directly, whatever http_proxy says
    }

    CURLcode result = curl_easy_perform(c);
    if (sink.failed)
        return LOADHTTP_E_WRITE;
    if (result != CURLE_OK) {
        if (result == CURLE_TOO_MANY_REDIRECTS && !follow)
            return LOADHTTP_E_REDIRECTS;
        if (result == CURLE_UNSUPPORTED_PROTOCOL) {
            // A redirect to another scheme and a reply that is not HTTP at all (which libcurl
            // takes for HTTP/0.9 and refuses) both end here; only the redirect left a status.
            long status = 0;
            curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
            return status >= 300 && status < 400 ? LOADHTTP_E_REDIRECTS : LOADHTTP_E_MALFORMED;
        }
        return mapCurlError(result, proxy);
    }
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (status <= 0)
        return LOADHTTP_E_MALFORMED;
    bool keep = (status >= 200 && status < 300) || (request->options & LOADHTTP_KEEP_ERROR_BODY);
    if (keep && !temporary.place())
        return LOADHTTP_E_WRITE;
    return static_cast<int>(status);
}
