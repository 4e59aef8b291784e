// HTTP access against real servers on loopback: lighttpd with static files, redirects and a CGI
// program that answers a chosen status; servers of the test's own that cut a body short, answer
// nothing or stall; squid with Basic authentication; and a fake loader that writes down the
// request record it gets and answers a chosen status.
#include <cgishare/http_access.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/registry.h"
#include "service/http_verdict.h"
#include "support/child_process.h"
#include "support/test_env.h"
#include "support/trace_capture.h"
#include "support/web_server.h"

namespace {

namespace fs = std::filesystem;

constexpr char kLoader[] = LOADHTTP_SO;
constexpr char kFakeLoader[] = FAKE_LOADHTTP_SO;
constexpr char kLoaderWithoutGet[] = LOADHTTP_WITHOUT_GET_SO;
constexpr char kAccessChild[] = HTTP_ACCESS_CHILD;
constexpr char kSquidPath[] = "/usr/sbin/squid";
constexpr char kDebugKey[] = "SOFTWARE\\HaldenLabs\\Norvel\\service\\Outbreak_Alert";

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

char* text(std::string& s) {
    return s.data();
}

// Deterministic bytes (all 256 values) for bodies that must arrive whole.
std::string patternBytes(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t x = seed | 1;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    return out;
}

std::vector<std::string> namesIn(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

int openDescriptors() {
    return static_cast<int>(namesIn("/proc/self/fd").size());
}

long residentKiB() {
    std::istringstream status(nvl::test::readFile("/proc/self/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

// Sets an environment variable (or removes it, for nullopt) for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

// A server of the test's own for one connection on a loopback port: it reads the request head
// and answers as told. Listening starts in the constructor, so a client may connect at once.
class RawServer {
  public:
    enum class Reply {
        kShortBody,  // headers promising 1000 bytes, 10 bytes, close
        kNothing,    // close without a byte
        kNotHttp,    // a line that is no HTTP status line, close
        kStall,      // headers and one byte, then nothing until the client gives up
    };

    explicit RawServer(Reply reply) {
        listen_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(listen_.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(listen_.get(), 4) != 0 ||
            ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
            return;
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, reply] { serve(reply); });
    }
    ~RawServer() {
        if (thread_.joinable())
            thread_.join();
    }
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    int port() const { return port_; }

  private:
    // Waits at most 20 s for `fd` to become readable.
    static bool readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 20000) == 1;
    }

    void serve(Reply reply) {
        if (!readable(listen_.get()))
            return;
        nvl::sys::UniqueFd peer(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        std::string head;
        char buffer[4096];
        while (peer && head.find("\r\n\r\n") == std::string::npos && readable(peer.get())) {
            ssize_t n = ::recv(peer.get(), buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            head.append(buffer, static_cast<size_t>(n));
        }
        std::string answer;
        switch (reply) {
            case Reply::kShortBody:
                answer = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789";
                break;
            case Reply::kNothing:
                break;
            case Reply::kNotHttp:
                answer = "SSH-2.0-OpenSSH_9.2\r\n\r\nno http here\r\n";
                break;
            case Reply::kStall:
                answer = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nx";
                break;
        }
        nvl::sys::writeAll(peer.get(), answer);
        if (reply == Reply::kStall) {
            // Hold the connection until the client closes it.
            while (readable(peer.get()) && ::recv(peer.get(), buffer, sizeof buffer, 0) > 0) {
            }
        }
    }

    nvl::sys::UniqueFd listen_;
    int port_ = 0;
    std::thread thread_;
};

// squid in the foreground on a free loopback port, accepting only users of its own password
// file (Basic authentication), with its logs in a directory of its own.
class Squid {
  public:
    struct User {
        std::string name, password;
    };

    explicit Squid(const std::vector<User>& users) {
        char dir[] = "/tmp/cgishare-squid.XXXXXX";
        if (::mkdtemp(dir) == nullptr) {
            why_ = "mkdtemp failed";
            return;
        }
        dir_ = dir;
        std::string passwords;
        for (const User& user : users) {
            int status = 0;
            std::string hash =
                nvl::test::runAndCapture({"openssl", "passwd", "-apr1", user.password}, &status);
            if (status != 0 || hash.empty()) {
                why_ = "openssl passwd failed";
                return;
            }
            passwords += user.name + ":" + hash;
        }
        writeFile("passwd", passwords);
        for (int attempt = 0; attempt < 3 && pid_ < 0; ++attempt) {
            port_ = nvl::test::freeLoopbackPort();
            writeFile("squid.conf", config());
            start();
        }
    }
    ~Squid() {
        // Its orderly shutdown takes seconds; its helpers end when their input closes.
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (!dir_.empty() && std::getenv("CGISHARE_KEEP_TEST_FILES") == nullptr)
            fs::remove_all(dir_);
    }
    Squid(const Squid&) = delete;
    Squid& operator=(const Squid&) = delete;

    bool running() const { return pid_ > 0; }
    int port() const { return port_; }
    const std::string& why() const { return why_; }

    // The access log line that names `url` (requests are logged when they are done), or "" when
    // none comes within 10 s.
    std::string loggedLine(const std::string& url) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        do {
            std::istringstream log(nvl::test::readFile(dir_ + "/access.log"));
            for (std::string line; std::getline(log, line);) {
                if (line.find(" " + url + " ") != std::string::npos)
                    return line;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } while (std::chrono::steady_clock::now() < deadline);
        return "";
    }

  private:
    void writeFile(const std::string& name, const std::string& contents) const {
        std::string path = dir_ + "/" + name;
        nvl::sys::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        nvl::sys::writeAll(fd.get(), contents);
    }

    std::string config() const {
        std::string c = "http_port 127.0.0.1:" + std::to_string(port_) +
                        "\n"
                        "cache deny all\n"
                        "pid_filename " +
                        dir_ +
                        "/squid.pid\n"
                        "access_log stdio:" +
                        dir_ +
                        "/access.log squid\n"
                        "cache_log " +
                        dir_ +
                        "/cache.log\n"
                        "coredump_dir " +
                        dir_ +
                        "\n"
                        "netdb_filename none\n"
                        "strip_query_terms off\n"
                        "pinger_enable off\n"
                        "shutdown_lifetime 0 seconds\n"
                        "auth_param basic program /usr/lib/squid/basic_ncsa_auth " +
                        dir_ +
                        "/passwd\n"
                        "auth_param basic children 2\n"
                        "acl auth proxy_auth REQUIRED\n"
                        "http_access allow auth\n"
                        "http_access deny all\n";
        if (::geteuid() == 0)
            c += "cache_effective_user nobody\n";
        return c;
    }

    void start() {
        // Run by root, squid works as nobody: its directory must be nobody's.
        if (::geteuid() == 0) {
            if (passwd* nobody = ::getpwnam("nobody")) {
                for (const std::string& name :
                     {std::string(), std::string("/passwd"), std::string("/squid.conf")}) {
                    if (::chown((dir_ + name).c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
                        why_ = "chown failed";
                        return;
                    }
                }
            }
        }
        ::chmod(dir_.c_str(), 0755);
        std::string conf = dir_ + "/squid.conf";
        std::string out = dir_ + "/stderr.txt";
        pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            int null = ::open("/dev/null", O_RDWR);
            int log = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            ::dup2(null, STDIN_FILENO);
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
            ::execl(kSquidPath, kSquidPath, "-N", "-f", conf.c_str(), nullptr);
            ::_exit(127);
        }
        if (pid < 0)
            return;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            nvl::sys::UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<uint16_t>(port_));
            if (::connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) ==
                0) {
                pid_ = pid;
                return;
            }
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                why_ = "squid exited; see " + out + ": " + nvl::test::readFile(out);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        why_ = "squid did not accept within 30 s";
    }

    std::string dir_;
    std::string why_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// The result of httpAccess and the body it returned.
struct Fetched {
    int result = 0;
    bool bodyNull = true;
    std::string body;
};

struct Target {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string path = "/small.txt";
    int useProxy = 0;
    std::string proxyHost;
    int proxyPort = 0;
    std::string user;
    std::string password;
    int proxyAuth = 0;
};

Fetched fetch(Target t) {
    Fetched out;
    char* body = reinterpret_cast<char*>(&out);  // must be reset by the call
    out.result = httpAccess(text(t.host), t.port, text(t.path), t.useProxy, text(t.proxyHost),
                            t.proxyPort, text(t.user), text(t.password), 0, body, t.proxyAuth);
    out.bodyNull = body == nullptr;
    if (body != nullptr && body != reinterpret_cast<char*>(&out)) {
        out.body = body;
        httpAccess_free(body);
    }
    return out;
}

int fetchToFile(Target t, std::string file) {
    return httpAccessEX(text(t.host), t.port, text(t.path), t.useProxy, text(t.proxyHost),
                        t.proxyPort, text(t.user), text(t.password), 0, text(file), t.proxyAuth);
}

// Each test has a server home of its own with the real loader in Web/CGI.
class HttpAccessTest : public testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(env_.home() + "Web/CGI");
        fs::copy_file(kLoader, env_.home() + "Web/CGI/loadhttp.so");
    }

    std::string tempDir() const { return env_.home() + "Temp"; }
    // The response files left in the home's Temp directory.
    std::vector<std::string> temporaries() const { return namesIn(tempDir()); }

    // Runs t_httpAccessEx in a process of its own whose program directory holds `loader` as
    // loadhttp.so (none when empty): {result, pending}, or {999, 999} when it did not run.
    std::pair<int, int> accessInChild(const Target& t, const std::string& loader,
                                      bool checkStatus) const {
        std::string& dir = programDirs_[loader];
        if (dir.empty()) {
            dir = env_.root() + "/program" + std::to_string(programDirs_.size());
            fs::create_directories(dir);
            fs::copy_file(kAccessChild, dir + "/access_child");
            if (!loader.empty())
                fs::copy_file(loader, dir + "/loadhttp.so");
        }
        int status = 0;
        std::string out = nvl::test::runAndCapture(
            {dir + "/access_child", t.host, std::to_string(t.port), t.path,
             std::to_string(t.useProxy), t.proxyHost, std::to_string(t.proxyPort), t.user,
             t.password, std::to_string(t.proxyAuth), checkStatus ? "1" : "0"},
            &status);
        int result = 999, pending = 999;
        if (status != 0 || std::sscanf(out.c_str(), "result=%d pending=%d", &result, &pending) != 2)
            return {999, 999};
        return {result, pending};
    }

    nvl::test::TestEnv env_;
    mutable std::map<std::string, std::string> programDirs_;  // by the loader they hold
};

// ---------------------------------------------------------------------------------------------
// Against lighttpd.

class HttpAccessLighttpdTest : public HttpAccessTest {
  protected:
    static void SetUpTestSuite() {
        if (::access(nvl::test::kLighttpdPath, X_OK) != 0)
            return;
        www_ = new nvl::test::TestEnv();
        const std::string root = www_->root();
        small_ = "a small page\n";
        medium_ = patternBytes(1u << 20, 11);
        www_->writeFile("www/small.txt", small_);
        www_->writeFile("www/medium.bin", medium_);
        www_->writeFile("www/a.bin", bodyA());
        www_->writeFile("www/b.bin", bodyB());
        www_->writeFile("www/empty.txt", "");
        www_->writeFile("www/status1.txt", "status=1\n");
        www_->writeFile("www/ok.txt", "OK");
        www_->writeFile("www/ok-lower.txt", "ok");
        www_->writeFile("www/pending.txt", "STATUS=2");
        // A CGI program answering the status its query names; one that shows the request.
        www_->writeFile("www/cgi/status.sh",
                        "printf 'Status: %s\\r\\nContent-Type: text/plain\\r\\n\\r\\n"
                        "answer %s\\n' \"$QUERY_STRING\" \"$QUERY_STRING\"\n");
        www_->writeFile("www/cgi/echo.sh",
                        "printf 'Content-Type: text/plain\\r\\n\\r\\n%s %s %s' "
                        "\"$REQUEST_METHOD\" \"$REQUEST_URI\" \"$HTTP_HOST\"\n");
        for (int attempt = 0; attempt < 5 && !(server_ && server_->running()); ++attempt) {
            int port = nvl::test::freeLoopbackPort();
            std::string config = www_->writeFile(
                "lighttpd.conf",
                "server.modules = (\"mod_redirect\", \"mod_cgi\")\n"
                "server.document-root = \"" +
                    root + "/www\"\nserver.bind = \"127.0.0.1\"\nserver.port = " +
                    std::to_string(port) + "\nserver.errorlog = \"" + root +
                    "/error.log\"\n"
                    "url.redirect = (\"^/hop$\" => \"/small.txt\", \"^/loop$\" => \"/loop\",\n"
                    "                \"^/to-https$\" => \"https://127.0.0.1/small.txt\")\n"
                    "cgi.assign = (\".sh\" => \"/bin/sh\")\n");
            server_ = std::make_unique<nvl::test::Lighttpd>(config, port);
        }
    }
    static void TearDownTestSuite() {
        server_.reset();
        delete www_;
        www_ = nullptr;
    }
    void SetUp() override {
        if (::access(nvl::test::kLighttpdPath, X_OK) != 0)
            GTEST_SKIP() << "lighttpd is not installed; scripts/install-deps.sh test installs it";
        ASSERT_TRUE(server_ && server_->running())
            << "lighttpd did not start; see " << www_->root() << "/error.log";
        HttpAccessTest::SetUp();
    }

    static Target at(const std::string& path) {
        Target t;
        t.port = server_->port();
        t.path = path;
        return t;
    }
    static std::string bodyA() { return std::string(100 * 1024, 'A'); }
    static std::string bodyB() { return patternBytes(300 * 1024, 3); }

    static nvl::test::TestEnv* www_;
    static std::unique_ptr<nvl::test::Lighttpd> server_;
    static std::string small_, medium_;
};

nvl::test::TestEnv* HttpAccessLighttpdTest::www_ = nullptr;
std::unique_ptr<nvl::test::Lighttpd> HttpAccessLighttpdTest::server_;
std::string HttpAccessLighttpdTest::small_;
std::string HttpAccessLighttpdTest::medium_;

TEST_F(HttpAccessLighttpdTest, FetchesFromTheGivenPortWithThePathAsGiven) {
    Fetched page = fetch(at("/small.txt"));
    EXPECT_EQ(page.result, 1);
    EXPECT_EQ(page.body, small_);
    // The url names no port; the request goes to the port given beside it, with its Host.
    std::string port = std::to_string(server_->port());
    EXPECT_EQ(fetch(at("/cgi/echo.sh?a=1")).body, "GET /cgi/echo.sh?a=1 127.0.0.1:" + port);
    Fetched empty = fetch(at("/empty.txt"));
    EXPECT_EQ(empty.result, 1);
    ASSERT_FALSE(empty.bodyNull);
    EXPECT_EQ(empty.body, "");
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

TEST_F(HttpAccessLighttpdTest, LargeBodyArrivesWholeInMemoryAndInTheCallersFile) {
    const std::string large = patternBytes(64u << 20, 7);
    struct Remove {
        std::string path;
        ~Remove() { fs::remove(path); }
    } served{www_->writeFile("www/large.bin", large)};
    std::string file = env_.root() + "/large.out";
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0640);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    EXPECT_EQ(fetchToFile(at("/large.bin"), file), 200);
    EXPECT_TRUE(nvl::test::readFile(file) == large);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "the replaced file keeps its mode";
    EXPECT_EQ(namesIn(env_.root()).size(), 4u) << "only etc, home, run and large.out";

    char* body = nullptr;
    std::string host = "127.0.0.1", path = "/large.bin", none;
    ASSERT_EQ(httpAccess(text(host), server_->port(), text(path), 0, text(none), 0, text(none),
                         text(none), 0, body, 0),
              1);
    ASSERT_NE(body, nullptr);
    EXPECT_TRUE(std::memcmp(body, large.data(), large.size()) == 0 && body[large.size()] == 0);
    httpAccess_free(body);
    httpAccess_free(nullptr);
}

TEST_F(HttpAccessLighttpdTest, OneRedirectIsFollowedAndALoopOrAnotherSchemeIsNot) {
    Fetched hop = fetch(at("/hop"));
    EXPECT_EQ(hop.result, 1);
    EXPECT_EQ(hop.body, small_);
    for (const char* path : {"/loop", "/to-https"}) {
        Fetched page = fetch(at(path));
        EXPECT_EQ(page.result, -11) << path;
        EXPECT_TRUE(page.bodyNull) << path;
        EXPECT_EQ(fetchToFile(at(path), env_.root() + "/out"), -12) << path;
    }
}

TEST_F(HttpAccessLighttpdTest, ServerStatusesMapToCodes) {
    struct Case {
        int status;
        int result;
    } cases[] = {{400, -12}, {403, -11}, {404, -11}, {407, -10}, {500, -6},  {501, -6},
                 {502, -6},  {503, -6},  {504, -6},  {505, -11}, {302, -11}, {204, -11}};
    for (const Case& c : cases) {
        std::string path = "/cgi/status.sh?" + std::to_string(c.status);
        Fetched page = fetch(at(path));
        EXPECT_EQ(page.result, c.result) << c.status;
        EXPECT_TRUE(page.bodyNull) << c.status;
        // httpAccessEX hands the status over as it is, with the body in the caller's file.
        std::string file = env_.root() + "/status.out";
        EXPECT_EQ(fetchToFile(at(path), file), c.status);
    }
    EXPECT_EQ(nvl::test::readFile(env_.root() + "/status.out"), "");  // 204: no content
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

TEST_F(HttpAccessLighttpdTest, ProxySettingsOfTheEnvironmentAreIgnoredWithoutUseProxy) {
    ScopedEnv proxy("http_proxy",
                    "http://127.0.0.1:" + std::to_string(nvl::test::freeLoopbackPort()));
    ScopedEnv upper("HTTP_PROXY", "http://127.0.0.1:1");
    Fetched page = fetch(at("/small.txt"));
    EXPECT_EQ(page.result, 1);
    EXPECT_EQ(page.body, small_);
}

TEST_F(HttpAccessLighttpdTest, RequestsThatWouldAskAnotherServerAreRefused) {
    int port = server_->port();
    struct Case {
        std::string host, path;
        int port;
    } cases[] = {
        {"user@127.0.0.1", "/small.txt", port},
        {"127.0.0.1/x", "/small.txt", port},
        {"a b", "/small.txt", port},
        {"h?x", "/small.txt", port},
        {"h#x", "/small.txt", port},
        {"127.0.0.1:80", "/small.txt", port},
        {"", "/small.txt", port},
        {"127.0.0.1", "small.txt", port},
        {"127.0.0.1", "1/small.txt", port},  // "http://127.0.0.11/small.txt": another host
        {"127.0.0.1", "@localhost/small.txt", port},
        {"127.0.0.1", "/a b", port},
        {"127.0.0.1", "/a\tb", port},
        {"127.0.0.1", "/a\x7f", port},
        {"127.0.0.1", "/small.txt", 0},
        {"127.0.0.1", "/small.txt", 65536},
        {"127.0.0.1", "/small.txt", -80},
    };
    for (Case& c : cases) {
        Target t;
        t.host = c.host;
        t.path = c.path;
        t.port = c.port;
        Fetched page = fetch(t);
        EXPECT_EQ(page.result, -3) << c.host << " " << c.path << " " << c.port;
        EXPECT_TRUE(page.bodyNull);
        EXPECT_EQ(fetchToFile(t, env_.root() + "/out"), -3) << c.host << " " << c.path;
    }
    // A proxy is checked the same way.
    for (const auto& [host, proxyPort] : std::vector<std::pair<std::string, int>>{
             {"user@127.0.0.1", port}, {"", port}, {"127.0.0.1", 0}, {"127.0.0.1", 70000}}) {
        Target t = at("/small.txt");
        t.useProxy = 1;
        t.proxyHost = host;
        t.proxyPort = proxyPort;
        EXPECT_EQ(fetch(t).result, -3) << host << ":" << proxyPort;
    }
    // Null texts are refused, not followed.
    char* body = nullptr;
    EXPECT_EQ(httpAccess(nullptr, port, nullptr, 1, nullptr, 8080, nullptr, nullptr, 0, body, 1),
              -3);
    EXPECT_EQ(body, nullptr);
    std::string host = "127.0.0.1", path = "/small.txt";
    EXPECT_EQ(
        httpAccessEX(text(host), port, text(path), 0, nullptr, 0, nullptr, nullptr, 0, nullptr, 0),
        -3);
    EXPECT_EQ(t_httpAccessEx(nullptr, port, nullptr, 0, nullptr, 0, nullptr, nullptr, 0, 0, true,
                             nullptr),
              -3);
    EXPECT_FALSE(fs::exists(env_.root() + "/out"));
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

TEST_F(HttpAccessLighttpdTest, ExtendedAccessChecksTheBodyForItsMarker) {
    struct Case {
        const char* path;
        bool checkStatus;
        int result;
        int pending;
    } cases[] = {
        {"/status1.txt", true, 1, 0},   {"/ok.txt", true, 1, 0},
        {"/ok-lower.txt", true, -8, 0}, {"/pending.txt", true, -8, 1},
        {"/ok-lower.txt", false, 1, 0}, {"/cgi/status.sh?404", true, -11, 0},
    };
    for (const Case& c : cases) {
        Target t = at(c.path);
        int pending = 0;
        std::string none;
        EXPECT_EQ(t_httpAccessEx(text(t.host), t.port, text(t.path), 0, text(none), 0, text(none),
                                 text(none), 0, 0, c.checkStatus, &pending),
                  c.result)
            << c.path;
        EXPECT_EQ(pending, c.pending) << c.path;
    }
    std::string host = "127.0.0.1", path = "/pending.txt", none;
    EXPECT_EQ(t_httpAccessEx(text(host), server_->port(), text(path), 0, text(none), 0, text(none),
                             text(none), 0, 0, true, nullptr),
              -8);
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

TEST_F(HttpAccessLighttpdTest, DebugSwitchKeepsACopyOfTheResponse) {
    struct Case {
        std::optional<nvl::sys::RegValue> value;
        bool copy;
    } cases[] = {
        {std::nullopt, false},
        {nvl::sys::RegValue{nvl::sys::kRegDword, std::string("\x01\0\0\0", 4)}, true},
        {nvl::sys::RegValue{nvl::sys::kRegDword, std::string("\0\0\0\0", 4)}, false},
        {nvl::sys::RegValue{nvl::sys::kRegDword, std::string("\x02\0\0\0", 4)}, false},
        {nvl::sys::RegValue{nvl::sys::kRegSz, "1"}, false},
    };
    nvl::test::TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    for (const Case& c : cases) {
        nvl::sys::RegistryKey::deleteKey(nvl::sys::RegHive::LocalMachine, kDebugKey);
        if (c.value) {
            nvl::sys::RegistryKey key;
            ASSERT_EQ(
                nvl::sys::RegistryKey::create(nvl::sys::RegHive::LocalMachine, kDebugKey, &key),
                0u);
            ASSERT_EQ(key.setValue("debug", *c.value), 0u);
        }
        fs::remove_all(tempDir());
        traces.texts();
        EXPECT_EQ(fetch(at("/small.txt")).result, 1);
        std::vector<std::string> left = temporaries();
        std::vector<std::string> texts = traces.texts();
        std::string port = std::to_string(server_->port());
        EXPECT_NE(
            std::find(texts.begin(), texts.end(), "[loadhttp:127.0.0.1:" + port + "] return=200"),
            texts.end());
        if (!c.copy) {
            EXPECT_EQ(left, std::vector<std::string>{});
            continue;
        }
        // The copy is named as the response file with ".log"; the response file itself is gone.
        ASSERT_EQ(left.size(), 1u);
        EXPECT_TRUE(left[0].starts_with("htp") && left[0].ends_with(".TMP.log")) << left[0];
        EXPECT_EQ(nvl::test::readFile(tempDir() + "/" + left[0]), small_);
        EXPECT_NE(std::find(texts.begin(), texts.end(),
                            "[HTTP]127.0.0.1:" + port + ">backup http file. (" + tempDir() + "/" +
                                left[0] + ")"),
                  texts.end());
    }
}

TEST_F(HttpAccessLighttpdTest, BufferedAccessCutsTheBodyAndClearsTheBufferOnFailure) {
    std::string host = "127.0.0.1", path = "/small.txt", none;
    int port = server_->port();
    char out[32];
    // No room: nothing is written.
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(httpAccessEX1(text(host), port, text(path), 0, text(none), 0, text(none), text(none),
                            0, out, 0, 0),
              1);
    EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, '#'));
    // Cut to outSize - 1 characters and terminated; the bytes after it untouched.
    EXPECT_EQ(httpAccessEX1(text(host), port, text(path), 0, text(none), 0, text(none), text(none),
                            0, out, 6, 0),
              1);
    EXPECT_EQ(std::string(out, 8), std::string("a sma\0##", 8));
    // Room for all of it.
    EXPECT_EQ(httpAccessEX1(text(host), port, text(path), 0, text(none), 0, text(none), text(none),
                            0, out, static_cast<unsigned>(small_.size() + 1), 0),
              1);
    EXPECT_EQ(std::string(out), small_);
    // A failure leaves the empty text.
    std::memset(out, '#', sizeof out);
    std::string missing = "/missing.txt";
    EXPECT_EQ(httpAccessEX1(text(host), port, text(missing), 0, text(none), 0, text(none),
                            text(none), 0, out, sizeof out, 0),
              -11);
    EXPECT_EQ(std::string(out, 2), std::string("\0#", 2));
    EXPECT_EQ(httpAccessEX1(text(host), port, text(missing), 0, text(none), 0, text(none),
                            text(none), 0, nullptr, sizeof out, 0),
              -11);
}

TEST_F(HttpAccessLighttpdTest, RepeatedCallsHoldNoDescriptorsAndNoMemory) {
    Target t = at("/small.txt");
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(fetch(t).result, 1);
    int descriptors = openDescriptors();
    long resident = residentKiB();
    int failures = 0;
    for (int i = 0; i < 1000; ++i)
        failures += fetch(t).body == small_ ? 0 : 1;
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(openDescriptors(), descriptors);
    // ASan keeps freed blocks in quarantine, so only a plain build tells about leaks by RSS.
    if (!kAddressSanitizer) {
        EXPECT_LT(residentKiB() - resident, 1024)
            << "KiB more after 1,000 calls: " << resident << " -> " << residentKiB();
    }
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

TEST_F(HttpAccessLighttpdTest, ProcessesFetchingAtOnceEachGetTheWholeBody) {
    const std::string expected = medium_;
    const int port = server_->port();
    std::vector<std::unique_ptr<nvl::test::Child>> children;
    for (int i = 0; i < 8; ++i) {
        children.push_back(std::make_unique<nvl::test::Child>([&expected, port] {
            for (int round = 0; round < 8; ++round) {
                std::string host = "127.0.0.1", path = "/medium.bin", none;
                char* body = nullptr;
                int result = httpAccess(text(host), port, text(path), 0, text(none), 0, text(none),
                                        text(none), 0, body, 0);
                bool whole = result == 1 && body != nullptr &&
                             std::memcmp(body, expected.data(), expected.size()) == 0;
                httpAccess_free(body);
                if (!whole)
                    return 1;
            }
            return 0;
        }));
    }
    for (auto& child : children)
        EXPECT_EQ(child->wait(), 0);
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

TEST_F(HttpAccessLighttpdTest, ReadersOfTheCallersFileSeeOneWholeBodyAtATime) {
    const std::string a = bodyA(), b = bodyB();
    const std::string dir = env_.root() + "/shared";
    const std::string file = dir + "/page.out";
    fs::create_directories(dir);
    nvl::sys::UniqueFd first(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    ASSERT_EQ(nvl::sys::writeAll(first.get(), a), 0u);
    first.reset();

    auto* done = static_cast<std::atomic<int>*>(::mmap(nullptr, sizeof(std::atomic<int>),
                                                       PROT_READ | PROT_WRITE,
                                                       MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(done, MAP_FAILED);
    new (done) std::atomic<int>(0);
    const int port = server_->port();
    auto writer = [&, port](const char* source) {
        return [&, port, source] {
            int failures = 0;
            for (int round = 0; round < 40; ++round) {
                std::string host = "127.0.0.1", path = source, none, out = file;
                if (httpAccessEX(text(host), port, text(path), 0, text(none), 0, text(none),
                                 text(none), 0, text(out), 0) != 200)
                    ++failures;
            }
            done->fetch_add(1);
            return failures;
        };
    };
    nvl::test::Child writerA(writer("/a.bin"));
    nvl::test::Child writerB(writer("/b.bin"));
    int reads = 0, torn = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (done->load() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::string seen = nvl::test::readFile(file);
        ++reads;
        if (seen != a && seen != b)
            ++torn;
    }
    EXPECT_EQ(writerA.wait(), 0);
    EXPECT_EQ(writerB.wait(), 0);
    ::munmap(done, sizeof(std::atomic<int>));
    EXPECT_GT(reads, 0);
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"page.out"});
}

// ---------------------------------------------------------------------------------------------
// Servers that fail in ways lighttpd does not.

TEST_F(HttpAccessTest, BrokenServersMapToCodes) {
    struct Case {
        std::optional<RawServer::Reply> reply;  // nullopt: nobody listens
        int result;                             // httpAccess
        int status;                             // httpAccessEX: the loader's own code
    } cases[] = {
        {std::nullopt, -5, -6},
        {RawServer::Reply::kShortBody, -7, -10},
        {RawServer::Reply::kNothing, -8, -13},
        {RawServer::Reply::kNotHttp, -6, -7},
    };
    const std::string dir = env_.root() + "/out";
    const std::string file = dir + "/page.out";
    fs::create_directories(dir);
    for (const Case& c : cases) {
        for (bool toFile : {false, true}) {
            std::unique_ptr<RawServer> server;
            Target t;
            if (c.reply) {
                server = std::make_unique<RawServer>(*c.reply);
                t.port = server->port();
            } else {
                t.port = nvl::test::freeLoopbackPort();
            }
            if (!toFile) {
                Fetched page = fetch(t);
                EXPECT_EQ(page.result, c.result) << c.result;
                EXPECT_TRUE(page.bodyNull);
                continue;
            }
            // The caller's file keeps its old contents and no temporary is left beside it.
            std::string old = "old contents";
            nvl::sys::UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
            ASSERT_EQ(nvl::sys::writeAll(fd.get(), old), 0u);
            fd.reset();
            EXPECT_EQ(fetchToFile(t, file), c.status);
            EXPECT_EQ(nvl::test::readFile(file), old);
            EXPECT_EQ(namesIn(dir), std::vector<std::string>{"page.out"});
        }
    }
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

TEST_F(HttpAccessTest, AStalledTransferEndsAfterTheStallTime) {
    ScopedEnv stall("LOADHTTP_STALL_TIMEOUT", "1");
    RawServer server(RawServer::Reply::kStall);
    Target t;
    t.port = server.port();
    auto start = std::chrono::steady_clock::now();
    Fetched page = fetch(t);
    EXPECT_EQ(page.result, -22);
    EXPECT_TRUE(page.bodyNull);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

// ---------------------------------------------------------------------------------------------
// The loader missing.

TEST_F(HttpAccessTest, WithoutTheLoaderEveryCallFails) {
    for (const std::string& loader : {std::string(), std::string(kLoaderWithoutGet)}) {
        fs::remove(env_.home() + "Web/CGI/loadhttp.so");
        if (!loader.empty())
            fs::copy_file(loader, env_.home() + "Web/CGI/loadhttp.so");
        Target t;
        t.port = 80;
        Fetched page = fetch(t);
        EXPECT_EQ(page.result, -20);
        EXPECT_TRUE(page.bodyNull);
        EXPECT_EQ(fetchToFile(t, env_.root() + "/out"), -20);
        EXPECT_FALSE(fs::exists(env_.root() + "/out"));
        std::string none;
        char out[4] = "abc";
        EXPECT_EQ(httpAccessEX1(text(t.host), 80, text(t.path), 0, text(none), 0, text(none),
                                text(none), 0, out, sizeof out, 0),
                  -20);
        EXPECT_EQ(out[0], '\0');
        EXPECT_EQ(temporaries(), std::vector<std::string>{});
        // t_httpAccessEx binds its loader beside the program once.
        EXPECT_EQ(accessInChild(t, loader, false), std::make_pair(-20, 0));
        EXPECT_EQ(temporaries(), std::vector<std::string>{});
    }
}

// ---------------------------------------------------------------------------------------------
// What the loader is handed, and how its answers are reported: a fake loader.

class HttpAccessRecordTest : public HttpAccessTest {
  protected:
    void SetUp() override {
        fs::create_directories(env_.home() + "Web/CGI");
        fs::copy_file(kFakeLoader, env_.home() + "Web/CGI/loadhttp.so");
    }

    // The fields of the last record the fake loader got.
    std::map<std::string, std::string> record() const {
        std::map<std::string, std::string> fields;
        std::istringstream in(nvl::test::readFile(recordPath_));
        for (std::string line; std::getline(in, line);) {
            size_t equals = line.find('=');
            if (equals != std::string::npos)
                fields[line.substr(0, equals)] = line.substr(equals + 1);
        }
        fs::remove(recordPath_);
        return fields;
    }

    std::string recordPath_ = env_.root() + "/record.txt";
    ScopedEnv recordEnv_{"FAKE_LOADHTTP_RECORD", recordPath_};
};

TEST_F(HttpAccessRecordTest, RecordCarriesUrlPortProxyAndOptions) {
    const std::string user200(200, 'u');
    const std::string password(300, 'p');
    struct Case {
        int useProxy, proxyAuth;
        std::string user, password;
        // expected
        std::string proxyHost;  // for t_httpAccessEx "(null)" when no proxy is used
        int proxyPort, useProxyField;
        std::string options;
    } cases[] = {
        {0, 1, "alice", "secret", "", 0, 0, "0x13"},
        {0, 0, "", "", "", 0, 0, "0x13"},
        {1, 1, "alice", "secret", "proxy.example", 8080, 1, "0x17"},
        {1, 0, "alice", "secret", "proxy.example", 8080, 1, "0x13"},
        {7, 1, user200, password, "proxy.example", 8080, 1, "0x17"},
    };
    for (const Case& c : cases) {
        Target t;
        t.host = "srv";
        t.port = 8081;
        t.path = "/x.htm";
        t.useProxy = c.useProxy;
        t.proxyHost = "proxy.example";
        t.proxyPort = 8080;
        t.user = c.user;
        t.password = c.password;
        t.proxyAuth = c.proxyAuth;
        std::string expectedUser = c.user.substr(0, 127);
        std::string expectedPassword = c.password.substr(0, 127);
        for (int call = 0; call < 3; ++call) {
            SCOPED_TRACE(testing::Message() << "call " << call << ", useProxy " << c.useProxy
                                            << ", proxyAuth " << c.proxyAuth);
            std::string output = env_.root() + "/caller.out";
            if (call == 0)
                EXPECT_EQ(fetch(t).result, 1);
            else if (call == 1)
                EXPECT_EQ(fetchToFile(t, output), 200);
            else
                EXPECT_EQ(accessInChild(t, kFakeLoader, false), std::make_pair(1, 0));
            std::map<std::string, std::string> r = record();
            EXPECT_EQ(r["url"], "http://srv/x.htm");
            EXPECT_EQ(r["port"], "8081");
            std::string proxyHost = c.proxyHost;
            if (call == 2 && c.useProxy == 0)
                proxyHost = "(null)";
            EXPECT_EQ(r["proxyHost"], proxyHost);
            EXPECT_EQ(r["proxyPort"], std::to_string(c.proxyPort));
            EXPECT_EQ(r["useProxy"], std::to_string(c.useProxyField));
            EXPECT_EQ(r["text1"], "0:");
            EXPECT_EQ(r["text2"], "0:");
            EXPECT_EQ(r["text3"], std::to_string(expectedUser.size()) + ":" + expectedUser);
            EXPECT_EQ(r["text4"], std::to_string(expectedPassword.size()) + ":" + expectedPassword);
            EXPECT_EQ(r["options"], c.options);
            EXPECT_EQ(r["reserved"], "0,0");
            if (call == 1) {
                EXPECT_EQ(r["outputFile"], output);
            }
        }
    }
}

TEST_F(HttpAccessRecordTest, LoaderStatusesMapToCodes) {
    struct Case {
        int status, result;
    } cases[] = {
        {-14, -23}, {-13, -8}, {-12, -11}, {-11, -10}, {-10, -7},  {-9, -10},  {-8, -22},
        {-7, -6},   {-6, -5},  {-5, -4},   {-4, -4},   {-3, -3},   {-2, -21},  {-1, -21},
        {-15, -11}, {0, -11},  {201, -11}, {302, -11}, {400, -12}, {401, -11}, {404, -11},
        {407, -10}, {500, -6}, {501, -6},  {502, -6},  {503, -6},  {504, -6},  {505, -11},
    };
    ScopedEnv body("FAKE_LOADHTTP_BODY", "status=1");
    for (const Case& c : cases) {
        ScopedEnv status("FAKE_LOADHTTP_STATUS", std::to_string(c.status));
        Target t;
        t.port = 80;
        Fetched page = fetch(t);
        EXPECT_EQ(page.result, c.result) << c.status;
        EXPECT_TRUE(page.bodyNull) << c.status;
        EXPECT_EQ(fetchToFile(t, env_.root() + "/out"), c.status);
        EXPECT_EQ(accessInChild(t, kFakeLoader, true), std::make_pair(c.result, 0)) << c.status;
    }
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

// ---------------------------------------------------------------------------------------------
// The marker check.

TEST(HttpVerdictTest, MarkerInTheFirst1023Bytes) {
    struct Case {
        std::string head;
        bool opened;
        uint64_t size;
        int result, pending;
    } cases[] = {
        {"status=1\n", true, 9, 1, 0},
        {"STATUS=1", true, 8, 1, 0},
        {"OK", true, 2, 1, 0},
        {"ok", true, 2, -8, 0},
        {"Ok", true, 2, -8, 0},
        {"OK\n", true, 3, -8, 0},
        {"OK", true, 4096, -8, 0},  // the head of a longer file
        {"", true, 0, -8, 0},
        {"", false, 0, -21, 0},
        {"STATUS=2", true, 8, -8, 1},
        {"status=2\nstatus=1\n", true, 18, 1, 1},
        {std::string(1015, 'x') + "STATUS=1", true, 1023, 1, 0},
        {std::string(1016, 'x') + "STATUS=1", true, 1024, -8, 0},  // ends past byte 1023
        {std::string(2000, 'x') + "STATUS=1", true, 2008, -8, 0},
        {std::string("\0STATUS=1", 9), true, 9, 1, 0},
        {"\xff\xfe s\xc3\xa4tus=1 STATUS=2", true, 23, -8, 1},
    };
    for (const Case& c : cases) {
        int pending = 0;
        EXPECT_EQ(nvl::http::responseVerdict(c.head, c.opened, c.size, &pending), c.result)
            << c.head.substr(0, 40);
        EXPECT_EQ(pending, c.pending) << c.head.substr(0, 40);
        EXPECT_EQ(nvl::http::responseVerdict(c.head, c.opened, c.size, nullptr), c.result);
    }
}

// ---------------------------------------------------------------------------------------------
// Through squid.

class HttpAccessProxyTest : public HttpAccessLighttpdTest {
  protected:
    static constexpr char kUser[] = "alice";
    static constexpr char kPassword[] = "p@ss:w%rd 1";

    static std::string longUser() {
        std::string user;
        for (int i = 0; user.size() < 127; ++i)
            user += static_cast<char>('a' + i % 26);
        return user;
    }

    static void SetUpTestSuite() {
        HttpAccessLighttpdTest::SetUpTestSuite();
        if (::access(kSquidPath, X_OK) != 0)
            return;
        squid_ = new Squid({{kUser, kPassword}, {longUser(), "long"}});
    }
    static void TearDownTestSuite() {
        delete squid_;
        squid_ = nullptr;
        HttpAccessLighttpdTest::TearDownTestSuite();
    }
    void SetUp() override {
        if (::access(kSquidPath, X_OK) != 0)
            GTEST_SKIP() << "squid is not installed; scripts/install-deps.sh test installs it";
        ASSERT_TRUE(squid_->running()) << squid_->why();
        HttpAccessLighttpdTest::SetUp();
    }

    static Target viaProxy(const std::string& path, const std::string& user,
                           const std::string& password, int proxyAuth) {
        Target t = at(path);
        t.useProxy = 1;
        t.proxyHost = "127.0.0.1";
        t.proxyPort = squid_->port();
        t.user = user;
        t.password = password;
        t.proxyAuth = proxyAuth;
        return t;
    }
    static std::string urlOf(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(server_->port()) + path;
    }

    static Squid* squid_;
};

Squid* HttpAccessProxyTest::squid_ = nullptr;

TEST_F(HttpAccessProxyTest, RightCredentialsFetchThroughTheProxy) {
    nvl::test::TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    Fetched page = fetch(viaProxy("/small.txt?alice", kUser, kPassword, 1));
    EXPECT_EQ(page.result, 1);
    EXPECT_EQ(page.body, small_);
    std::string line = squid_->loggedLine(urlOf("/small.txt?alice"));
    EXPECT_NE(line.find("/200 "), std::string::npos) << line;
    EXPECT_NE(line.find(" alice "), std::string::npos) << line;
    for (const std::string& trace : traces.texts())
        EXPECT_EQ(trace.find("p@ss"), std::string::npos) << trace;

    // The caller's file, through the proxy.
    std::string file = env_.root() + "/proxy.out";
    EXPECT_EQ(fetchToFile(viaProxy("/medium.bin", kUser, kPassword, 1), file), 200);
    EXPECT_TRUE(nvl::test::readFile(file) == medium_);

    // A user of 200 characters reaches the proxy as its first 127.
    std::string user = longUser() + std::string(73, 'z');
    page = fetch(viaProxy("/small.txt?long", user, "long", 1));
    EXPECT_EQ(page.result, 1);
    line = squid_->loggedLine(urlOf("/small.txt?long"));
    EXPECT_NE(line.find(" " + longUser() + " "), std::string::npos) << line;
}

TEST_F(HttpAccessProxyTest, TheProxyIsUsedWhateverNoProxySays) {
    ScopedEnv noProxy("no_proxy", "127.0.0.1,localhost");
    ScopedEnv upper("NO_PROXY", "127.0.0.1,localhost");
    Fetched page = fetch(viaProxy("/small.txt?no-proxy", kUser, kPassword, 1));
    EXPECT_EQ(page.result, 1);
    EXPECT_NE(squid_->loggedLine(urlOf("/small.txt?no-proxy")).find(" alice "), std::string::npos);
}

TEST_F(HttpAccessProxyTest, RefusedOrImpossibleCredentials) {
    struct Case {
        const char* what;
        Target target;
        int result, status;
    } cases[] = {
        {"wrong password", viaProxy("/small.txt", kUser, "p@ss:w%rd 2", 1), -10, 407},
        {"no credentials sent", viaProxy("/small.txt", kUser, kPassword, 0), -10, 407},
        {"empty user", viaProxy("/small.txt", "", kPassword, 1), -10, -9},
        {"user with a colon", viaProxy("/small.txt", "al:ice", kPassword, 1), -10, -9},
    };
    std::string file = env_.root() + "/refused.out";
    for (const Case& c : cases) {
        Fetched page = fetch(c.target);
        EXPECT_EQ(page.result, c.result) << c.what;
        EXPECT_TRUE(page.bodyNull) << c.what;
        EXPECT_EQ(fetchToFile(c.target, file), c.status) << c.what;
    }
    // A proxy nobody listens on.
    Target dead = viaProxy("/small.txt", kUser, kPassword, 1);
    dead.proxyPort = nvl::test::freeLoopbackPort();
    EXPECT_EQ(fetch(dead).result, -5);
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

}  // namespace
