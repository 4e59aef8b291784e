// HTTP access through the HTTP loader: the request record, loading the loader, the response
// file and what each of the four calls makes of it.
//
// httpAccess and httpAccessEX load the loader from the server home's Web/CGI on every call and
// unload it after; t_httpAccessEx binds it by bare name once per process (beside the running
// program first), and a process without it gets -20 from every call rather than failing to
// start. Response files are made in the home's Temp directory with mode 0600 and removed on
// every path. Traces name the source cgi_HttpAccess, at level 6; the proxy's password never
// reaches them.
#include <cgishare/config.h>
#include <cgishare/http_access.h>
#include <cgishare/trace.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "loadhttp.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/library.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "service/http_verdict.h"

namespace {

constexpr char kSource[] = "src\\Server\\libCGIShare\\cgi_HttpAccess";
constexpr int kLevel = 6;
constexpr int kLoaderMissing = -20;
constexpr int kResponseUnreadable = -21;
constexpr int kNoMemory = -2;
constexpr int kNoMarker = -8;
constexpr uint32_t kOptions =
    LOADHTTP_FOLLOW_REDIRECTS | LOADHTTP_KEEP_ERROR_BODY | LOADHTTP_STALL_TIMEOUT;  // 0x13

using GetFunction = int (*)(HttpGetRequest*, int, int);

std::string homeDirectory() {
    char home[4096];
    return getHomeDir(home, sizeof home) == 1 ? std::string(home) : std::string();
}

// Joins two parts of a path with exactly one separator; "" when either part is empty or holds
// nothing but separators.
std::string joinParts(std::string_view first, std::string_view second) {
    auto separator = [](char c) { return c == '/' || c == '\\'; };
    while (!first.empty() && separator(first.back()))
        first.remove_suffix(1);
    while (!second.empty() && separator(second.front()))
        second.remove_prefix(1);
    if (first.empty() || second.empty())
        return {};
    return std::string(first) + "/" + std::string(second);
}

// The response file: made in the home's Temp directory, removed when this goes.
class ResponseFile {
  public:
    ResponseFile() {
        std::string home = homeDirectory();
        if (home.empty())
            return;
        std::string dir = nvl::sys::resolvePath(home + "Temp");
        nvl::sys::makeDirectories(dir, 0755);
        nvl::sys::UniqueFd fd;
        if (nvl::sys::createUniqueFile(dir, "htp", 0600, &path_, &fd) != nvl::sys::kSuccess)
            path_.clear();
    }
    ~ResponseFile() {
        if (!path_.empty())
            ::unlink(path_.c_str());
    }
    ResponseFile(const ResponseFile&) = delete;
    ResponseFile& operator=(const ResponseFile&) = delete;
    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

void copyField(char (&field)[128], const char* text) {
    std::memset(field, 0, sizeof field);
    if (text != nullptr)
        std::strncpy(field, text, sizeof field - 1);  // at most 127 characters
}

// "http://" + host + path, or "" (which the loader refuses) when the two would not stay a host
// and a path once joined: a path must start with '/' and a host hold none, or host "srv" and
// path "x/y.htm" would ask the server "srvx".
std::string urlOf(const char* host, const char* path) {
    std::string_view h = host != nullptr ? host : "";
    std::string_view p = path != nullptr ? path : "";
    if (p.empty() || p.front() != '/' || h.find('/') != std::string_view::npos)
        return {};
    return "http://" + std::string(h) + std::string(p);
}

// The record for one fetch, with the texts it points to.
struct Request {
    Request(const char* host, int port, const char* path, int useProxy, const char* proxyHost,
            int proxyPort, const char* text3, const char* text4, std::string outputFile,
            int proxyAuth, bool nullProxyHost)
        : url(urlOf(host, path)), output(std::move(outputFile)) {
        std::memset(&record, 0, sizeof record);
        record.url = url.c_str();
        record.port = port;
        record.useProxy = useProxy != 0 ? 1 : 0;
        record.proxyHost = nullProxyHost ? nullptr : "";
        if (useProxy != 0) {
            record.proxyHost = proxyHost != nullptr ? proxyHost : "";
            record.proxyPort = proxyPort;
        }
        record.outputFile = output.c_str();
        copyField(record.text3, text3);
        copyField(record.text4, text4);
        record.options = kOptions | (useProxy != 0 && proxyAuth != 0 ? LOADHTTP_PROXY_AUTH : 0);
    }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    std::string url;
    std::string output;
    HttpGetRequest record;
};

// The loader's status for anything but 200, as the callers report it.
int mapStatus(int status) {
    switch (status) {
        case -14:
            return -23;
        case -13:
            return -8;
        case -11:
        case -9:
        case 407:
            return -10;
        case -10:
            return -7;
        case -8:
            return -22;
        case -7:
        case 500:
        case 501:
        case 502:
        case 503:
        case 504:
            return -6;
        case -6:
            return -5;
        case -5:
        case -4:
            return -4;
        case -3:
            return -3;
        case -2:
        case -1:
            return -21;
        case 400:
            return -12;
        default:
            return -11;
    }
}

// Loads the loader from the home's Web/CGI: the library held, and Get in it, or -20 (traced).
int loadLoader(nvl::sys::Library* library, GetFunction* get) {
    std::string path = joinParts(homeDirectory() + "Web/CGI/", "loadhttp.dll");
    if (path.empty())
        return kLoaderMissing;
    *library = nvl::sys::Library::load(path);
    if (!*library) {
        DebugTraceA(kLevel, kSource, __LINE__, "%d - %s", static_cast<int>(nvl::sys::lastError()),
                    path.c_str());
        return kLoaderMissing;
    }
    *get = library->function<GetFunction>("Get");
    if (*get == nullptr) {
        DebugTraceA(kLevel, kSource, __LINE__, "%d - 0x%08X - %s",
                    static_cast<int>(nvl::sys::lastError()), 0u, path.c_str());
        library->reset();
        return kLoaderMissing;
    }
    return 0;
}

bool debugCopyWanted() {
    nvl::sys::RegValue value;
    if (nvl::sys::RegistryKey::getValue(nvl::sys::RegHive::LocalMachine,
                                        "SOFTWARE\\HaldenLabs\\Norvel\\service\\Outbreak_Alert",
                                        "debug", &value) != nvl::sys::kSuccess ||
        value.type != nvl::sys::kRegDword || value.data.size() != 4)
        return false;
    uint32_t n;
    std::memcpy(&n, value.data.data(), 4);
    return n == 1;
}

// The whole file, NUL-terminated, in memory from malloc: 1, -21 (cannot be read whole) or -2.
int readWhole(const std::string& path, char** body) {
    nvl::sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return kResponseUnreadable;
    size_t size = static_cast<size_t>(st.st_size);
    char* data = static_cast<char*>(std::malloc(size + 1));
    if (data == nullptr)
        return kNoMemory;
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::read(fd.get(), data + done, size - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    if (done != size) {
        std::free(data);
        return kResponseUnreadable;
    }
    data[size] = 0;
    *body = data;
    return 1;
}

// The verdict on a response file: 1, -8 (no success marker) or -21.
int verdict(const std::string& path, int* pending) {
    char head[1024];
    size_t got = 0;
    nvl::sys::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd) {
        while (got < sizeof head - 1) {
            ssize_t n = ::read(fd.get(), head + got, sizeof head - 1 - got);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
    }
    struct stat st {};
    bool sized = fd && ::fstat(fd.get(), &st) == 0;
    return nvl::http::responseVerdict(std::string_view(head, got), sized,
                                      sized ? static_cast<uint64_t>(st.st_size) : 0, pending);
}

// Copies `from` over `to` (mode 0600 when new), a buffer at a time.
bool copyFile(const std::string& from, const std::string& to) {
    nvl::sys::UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    nvl::sys::UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!in || !out)
        return false;
    for (;;) {
        ssize_t n = ::copy_file_range(in.get(), nullptr, out.get(), nullptr, 1 << 30, 0);
        if (n == 0)
            return true;
        if (n < 0)
            return false;
    }
}

GetFunction boundGet() {
    static GetFunction get = [] {
        nvl::sys::Library library = nvl::sys::Library::load("loadhttp.dll");
        GetFunction found = library ? library.function<GetFunction>("Get") : nullptr;
        if (found != nullptr)
            library.release();  // bound for the life of the process
        return found;
    }();
    return get;
}

}  // namespace

namespace nvl::http {

int responseVerdict(std::string_view head, bool opened, uint64_t size, int* pending) {
    std::string upper(head.substr(0, 1023));
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper.find("STATUS=2") != std::string::npos && pending != nullptr)
        *pending = 1;
    if (upper.find("STATUS=1") != std::string::npos)
        return 1;
    if (!opened)
        return kResponseUnreadable;
    return size == 2 && head == "OK" ? 1 : kNoMarker;
}

}  // namespace nvl::http

int httpAccess(char* host, int port, char* path, int useProxy, char* proxyHost, int proxyPort,
               char* text3, char* text4, int, char*& body, int proxyAuth) {
    body = nullptr;
    ResponseFile response;
    nvl::sys::Library library;
    GetFunction get = nullptr;
    if (int failed = loadLoader(&library, &get); failed != 0)
        return failed;
    if (!response.ok())
        return kResponseUnreadable;
    Request request(host, port, path, useProxy, proxyHost, proxyPort, text3, text4, response.path(),
                    proxyAuth, false);
    int status = get(&request.record, 0, 0);
    DebugTraceA(kLevel, kSource, __LINE__, "[loadhttp:%s:%d] return=%d",
                host != nullptr ? host : "", port, status);
    library.reset();
    int result = status == 200 ? readWhole(response.path(), &body) : mapStatus(status);
    if (debugCopyWanted()) {
        std::string copy = response.path() + ".log";
        if (copyFile(response.path(), copy))
            DebugTraceA(kLevel, kSource, __LINE__, "[HTTP]%s:%d>backup http file. (%s)",
                        host != nullptr ? host : "", port, copy.c_str());
    }
    if (result != 1) {
        std::free(body);
        body = nullptr;
    }
    return result;
}

int httpAccessEX1(char* host, int port, char* path, int useProxy, char* proxyHost, int proxyPort,
                  char* text3, char* text4, int unused, char* out, unsigned int outSize,
                  int proxyAuth) {
    char* body = nullptr;
    int result = httpAccess(host, port, path, useProxy, proxyHost, proxyPort, text3, text4, unused,
                            body, proxyAuth);
    if (out != nullptr && outSize > 0) {
        size_t n = body != nullptr ? strnlen(body, outSize - 1) : 0;
        if (n > 0)
            std::memcpy(out, body, n);  // never from null: a failed call has no body
        out[n] = 0;
    }
    std::free(body);
    return result;
}

int httpAccessEX(char* host, int port, char* path, int useProxy, char* proxyHost, int proxyPort,
                 char* text3, char* text4, int, char* outputFile, int proxyAuth) {
    nvl::sys::Library library;
    GetFunction get = nullptr;
    if (int failed = loadLoader(&library, &get); failed != 0)
        return failed;
    Request request(host, port, path, useProxy, proxyHost, proxyPort, text3, text4,
                    outputFile != nullptr ? outputFile : "", proxyAuth, false);
    return get(&request.record, 0, 0);
}

int t_httpAccessEx(char* host, int port, char* path, int useProxy, char* proxyHost, int proxyPort,
                   char* text3, char* text4, int, int proxyAuth, bool checkStatus, int* pending) {
    ResponseFile response;
    GetFunction get = boundGet();
    if (get == nullptr)
        return kLoaderMissing;
    if (!response.ok())
        return kResponseUnreadable;
    Request request(host, port, path, useProxy, proxyHost, proxyPort, text3, text4, response.path(),
                    proxyAuth, true);
    int status = get(&request.record, 0, 0);
    if (status != 200)
        return mapStatus(status);
    return checkStatus ? verdict(response.path(), pending) : 1;
}

void httpAccess_free(void* p) {
    std::free(p);
}
