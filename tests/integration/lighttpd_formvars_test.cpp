// The form reader behind a real web server: lighttpd on a free loopback port runs the example
// page formdump through mod_cgi, and curl sends it requests.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_env.h"
#include "support/upload_content.h"
#include "support/web_server.h"

namespace {

namespace fs = std::filesystem;

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

class LighttpdFormVarsTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (::access(nvl::test::kLighttpdPath, X_OK) != 0)
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

        for (int attempt = 0; attempt < 5 && !(server_ && server_->running()); ++attempt) {
            int port = nvl::test::freeLoopbackPort();
            std::string config = root + "/lighttpd.conf";
            env_->writeFile("lighttpd.conf",
                            "server.modules = (\"mod_cgi\", \"mod_setenv\")\n"
                            "server.document-root = \"" +
                                root +
                                "/www\"\n"
                                "server.bind = \"127.0.0.1\"\n"
                                "server.port = " +
                                std::to_string(port) +
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
            server_ = std::make_unique<nvl::test::Lighttpd>(config, port);
        }
    }
    static void TearDownTestSuite() {
        server_.reset();
        delete env_;
        env_ = nullptr;
    }
    void SetUp() override {
        if (::access(nvl::test::kLighttpdPath, X_OK) != 0)
            GTEST_SKIP() << "lighttpd is not installed (" << nvl::test::kLighttpdPath
                         << "); scripts/install-deps.sh test installs it";
        ASSERT_TRUE(server_ && server_->running())
            << "lighttpd did not start; see " << env_->root() << "/error.log";
    }

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(server_->port()) + "/cgi-bin/formdump" + path;
    }
    // The page's response body; the request must be answered with status 200.
    std::string request(const std::vector<std::string>& curlArgs) {
        nvl::test::HttpResponse response = nvl::test::httpRequest(curlArgs);
        EXPECT_EQ(response.status, 200) << response.headers;
        return response.body;
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
    static std::unique_ptr<nvl::test::Lighttpd> server_;
};

nvl::test::TestEnv* LighttpdFormVarsTest::env_ = nullptr;
std::unique_ptr<nvl::test::Lighttpd> LighttpdFormVarsTest::server_;

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
        // The page keeps the file by moving it to "<stored name>.kept".
        std::string response =
            request({"-F", "file=@" + source + ";filename=C:\\in\\" + upload.name, url("/keep")});
        EXPECT_EQ(valueOf("\n" + response, "name"), "file");
        EXPECT_EQ(valueOf("\n" + response, "filename"), "C:\\in\\" + upload.name);
        EXPECT_EQ(valueOf(response, "NewFileSize"), std::to_string(upload.content.size()));
        std::string stored = valueOf(response, "TempFileName");
        ASSERT_EQ(fs::path(stored).parent_path(), fs::path(env_->home() + "TEMP")) << response;
        std::string kept = stored + ".kept";
        EXPECT_TRUE(nvl::test::readFile(kept) == upload.content) << upload.name;
        struct stat st {};
        ASSERT_EQ(::stat(kept.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        fs::remove(kept);
    }
}

TEST_F(LighttpdFormVarsTest, AnUploadThePageDoesNotKeepIsGoneWhenItEnds) {
    std::vector<std::string> before = tempFiles();
    std::string source = env_->writeFile("note.txt", "note");
    for (int i = 0; i < 3; ++i) {
        // A part header that names "TempFileName" does not pass for the library's entry.
        std::string response = request({"-F",
                                        "file=@" + source +
                                            ";headers=\"TempFileName: /etc/passwd\""
                                            ";headers=\"X-Probe: yes\"",
                                        url("")});
        EXPECT_EQ(response.find("/etc/passwd"), std::string::npos) << response;
        EXPECT_EQ(valueOf(response, "X-Probe"), " yes") << response;
        EXPECT_EQ(valueOf(response, "NewFileSize"), "4") << response;
    }
    EXPECT_EQ(tempFiles(), before);
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
                                        "--data-binary", "@" + body, url("/keep")});
        if (size == size_t{1} << 20) {
            EXPECT_EQ(valueOf(response, "NewFileSize"), std::to_string(content.size()));
            EXPECT_EQ(tempFiles().size(), before + 1);
            fs::remove(valueOf(response, "TempFileName") + ".kept");
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
