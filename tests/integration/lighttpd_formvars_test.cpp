// The form reader behind a real web server: lighttpd on a free loopback port runs the example
// page formdump through mod_cgi, and curl sends it requests.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "support/test_env.h"
#include "support/upload_content.h"

namespace {

namespace fs = std::filesystem;

constexpr char kLighttpd[] = "/usr/sbin/lighttpd";
constexpr char kPage[] = CGISHARE_BINARY_DIR "/examples/formdump/formdump";
// The English resource library and the catalog it is built from.
constexpr char kResourceLibrary[] = CGISHARE_BINARY_DIR "/standins/cgires/en/CGIRes.so";
constexpr char kResourceCatalog[] = CGISHARE_SOURCE_DIR "/standins/cgires/catalog/en.txt";

// The text of resource string `id` in the English catalog ("" when it has none).
std::string catalogText(int id) {
    std::istringstream catalog(nvl::test::readFile(kResourceCatalog));
    std::string prefix = std::to_string(id) + "\t";
    for (std::string line; std::getline(catalog, line);) {
        if (line.rfind(prefix, 0) == 0)
            return line.substr(prefix.size());
    }
    return "";
}

// Runs `argv` and returns what it wrote to standard output; `*status` gets its exit status.
std::string capture(const std::vector<std::string>& argv, int* status) {
    int fds[2];
    if (::pipe(fds) != 0)
        return "";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string out;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        out.append(buffer, static_cast<size_t>(n));
    ::close(fds[0]);
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    *status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return out;
}

int freeLoopbackPort() {
    nvl::sys::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return -1;
    }
    return ntohs(address.sin_port);
}

bool accepts(int port) {
    nvl::sys::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

class LighttpdFormVarsTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (::access(kLighttpd, X_OK) != 0)
            return;
        env_ = new nvl::test::TestEnv();
        const std::string root = env_->root();
        fs::create_directories(env_->home() + "TEMP");
        fs::create_directories(root + "/www/cgi-bin");
        fs::create_directories(root + "/uploads");
        env_->writeFile("home/nvlscan.ini", "[INI_SERVER_SECTION]\r\nMaxUploadSize=1\r\n");
        fs::copy_file(kPage, root + "/www/cgi-bin/formdump");
        // The page finds its resource library beside itself.
        fs::copy_file(kResourceLibrary, root + "/www/cgi-bin/CGIRes.so");

        for (int attempt = 0; attempt < 5 && server_ <= 0; ++attempt) {
            port_ = freeLoopbackPort();
            std::string config = root + "/lighttpd.conf";
            env_->writeFile("lighttpd.conf",
                            "server.modules = (\"mod_cgi\", \"mod_setenv\")\n"
                            "server.document-root = \"" +
                                root +
                                "/www\"\n"
                                "server.bind = \"127.0.0.1\"\n"
                                "server.port = " +
                                std::to_string(port_) +
                                "\n"
                                "server.errorlog = \"" +
                                root +
                                "/error.log\"\n"
                                "server.upload-dirs = (\"" +
                                root +
                                "/uploads\")\n"
                                "cgi.assign = (\"\" => \"\")\n"
                                "setenv.add-environment = (\"NVL_REGISTRY\" => \"" +
                                env_->registry() + "\", \"NVL_RUNTIME_DIR\" => \"" +
                                env_->runtime() + "\")\n");
            pid_t pid = ::fork();
            if (pid == 0) {
                int null = ::open("/dev/null", O_RDWR);
                ::dup2(null, STDIN_FILENO);
                ::execl(kLighttpd, kLighttpd, "-D", "-f", config.c_str(), nullptr);
                ::_exit(127);
            }
            // Ready when it accepts a connection; gone when it exits (the port was taken).
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (std::chrono::steady_clock::now() < deadline) {
                if (accepts(port_)) {
                    server_ = pid;
                    break;
                }
                if (::waitpid(pid, nullptr, WNOHANG) == pid)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            if (server_ <= 0 && ::waitpid(pid, nullptr, WNOHANG) == 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
    }
    static void TearDownTestSuite() {
        if (server_ > 0) {
            ::kill(server_, SIGTERM);
            ::waitpid(server_, nullptr, 0);
            server_ = 0;
        }
        delete env_;
        env_ = nullptr;
    }
    void SetUp() override {
        if (::access(kLighttpd, X_OK) != 0)
            GTEST_SKIP() << "lighttpd is not installed (" << kLighttpd
                         << "); scripts/install-deps.sh test installs it";
        ASSERT_GT(server_, 0) << "lighttpd did not start; see " << env_->root() << "/error.log";
    }

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/cgi-bin/formdump" + path;
    }
    // The page's response body; the request must be answered with status 200.
    std::string request(std::vector<std::string> curlArgs) {
        std::vector<std::string> argv = {"curl", "-sS", "--max-time", "60", "-w", "\n%{http_code}"};
        argv.insert(argv.end(), curlArgs.begin(), curlArgs.end());
        int status = 0;
        std::string out = capture(argv, &status);
        EXPECT_EQ(status, 0) << "curl failed";
        size_t last = out.rfind('\n');
        EXPECT_EQ(last == std::string::npos ? "" : out.substr(last + 1), "200");
        return last == std::string::npos ? out : out.substr(0, last);
    }
    std::vector<std::string> tempFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(env_->home() + "TEMP"))
            names.push_back(entry.path().string());
        return names;
    }
    // The value of the variable `name` in a formdump response.
    static std::string valueOf(const std::string& response, const std::string& name) {
        size_t at = response.find("\n" + name + "=");
        if (at == std::string::npos)
            return "";
        at += name.size() + 2;
        return response.substr(at, response.find('\n', at) - at);
    }

    static nvl::test::TestEnv* env_;
    static pid_t server_;
    static int port_;
};

nvl::test::TestEnv* LighttpdFormVarsTest::env_ = nullptr;
pid_t LighttpdFormVarsTest::server_ = 0;
int LighttpdFormVarsTest::port_ = 0;

TEST_F(LighttpdFormVarsTest, Get) {
    EXPECT_EQ(request({url("?a=1&&b=x+y%21&lone&a%3D1=2")}), "a=1\nb=x y!\nlone=\na=1=2\n");
    // A UTF-8 page: the value arrives in the ANSI code page (1252 unless configured).
    EXPECT_EQ(request({url("/utf8?n%C3%A9=%C3%A9t%C3%A9")}), "n\xC3\xA9=\xE9t\xE9\n");
}

TEST_F(LighttpdFormVarsTest, UrlEncodedPostWithTrailingData) {
    std::string body = env_->writeFile("post.bin", std::string("a=1&b=two+words\0xyz\r\n", 21));
    EXPECT_EQ(request({"--data-binary", "@" + body, url("")}),
              "a=1\nb=two words\n(trailing 5 bytes)=78797A0D0A\n");
}

TEST_F(LighttpdFormVarsTest, MultipartUploadStoresTheFileByteForByte) {
    struct Upload {
        std::string name;
        std::string content;
    } uploads[] = {{"small.txt", "hello\r\nworld\r\n"},
                   {"data.bin", nvl::test::binaryUploadContent(300000, 2024)}};
    for (const Upload& upload : uploads) {
        std::string source = env_->writeFile(upload.name, upload.content);
        std::string response =
            request({"-F", "file=@" + source + ";filename=C:\\in\\" + upload.name, url("")});
        EXPECT_EQ(valueOf("\n" + response, "name"), "file");
        EXPECT_EQ(valueOf("\n" + response, "filename"), "C:\\in\\" + upload.name);
        EXPECT_EQ(valueOf(response, "NewFileSize"), std::to_string(upload.content.size()));
        std::string stored = valueOf(response, "TempFileName");
        ASSERT_EQ(fs::path(stored).parent_path(), fs::path(env_->home() + "TEMP")) << response;
        EXPECT_TRUE(nvl::test::readFile(stored) == upload.content) << upload.name;
        struct stat st {};
        ASSERT_EQ(::stat(stored.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

TEST_F(LighttpdFormVarsTest, UploadOneByteOverMaxUploadSizeIsRefused) {
    // MaxUploadSize is 1: a body of 1 MiB passes, one byte more does not.
    const std::string head =
        "--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"big.bin\"\r\n\r\n";
    const std::string tail = "\r\n--XyZ--\r\n";
    for (size_t size : {size_t{1} << 20, (size_t{1} << 20) + 1}) {
        std::string content(size - head.size() - tail.size(), 'z');
        std::string body = env_->writeFile("upload.bin", head + content + tail);
        size_t before = tempFiles().size();
        std::string response = request({"-H", "Content-Type: multipart/form-data; boundary=XyZ",
                                        "--data-binary", "@" + body, url("")});
        if (size == size_t{1} << 20) {
            EXPECT_EQ(valueOf(response, "NewFileSize"), std::to_string(content.size()));
            EXPECT_EQ(tempFiles().size(), before + 1);
        } else {
            EXPECT_EQ(response, "(no variables)\n");
            EXPECT_EQ(tempFiles().size(), before);
        }
    }
}

TEST_F(LighttpdFormVarsTest, OtherMethodIsAnsweredWithMessage4000) {
    std::string message = catalogText(4000);
    ASSERT_NE(message, "");
    EXPECT_EQ(request({"-X", "PUT", "--data-binary", "x", url("")}),
              message + "\n(no variables)\n");
}

}  // namespace
