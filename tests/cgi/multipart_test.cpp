#include <cgishare/form_vars.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cgi/form_vars_internal.h"
#include "platform/file.h"
#include "support/child_process.h"
#include "support/test_env.h"
#include "support/upload_content.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;
using nvl::sys::UniqueFd;

constexpr char kHeaders[] =
    "Content-Disposition: form-data; name=\"file\"; filename=\"C:\\a.zip\"\r\n"
    "Content-Type: application/octet-stream\r\n";

std::string multipartBody(const std::string& content, const std::string& headers = kHeaders,
                          const std::string& boundary = "XyZ") {
    return "preamble\r\n--" + boundary + "\r\n" + headers + "\r\n" + content + "\r\n--" + boundary +
           "--\r\n";
}

class MultipartTest : public testing::Test {
  protected:
    void SetUp() override {
        // Spelled otherwise than the reader asks for: the directory is found without regard
        // to case.
        tempDir = env.home() + "Temp";
        std::filesystem::create_directories(tempDir);
        ::setenv("REQUEST_METHOD", "POST", 1);
        ::setenv("CONTENT_TYPE", "multipart/form-data; boundary=XyZ", 1);
        ::unsetenv("CONTENT_LENGTH");
    }
    void TearDown() override {
        nvl::cgi::setIdleTimeoutForTesting(-1);
        cgiSetReadFlags(CGI_READ_DEFAULT);
    }

    struct Upload {
        Pairs headers;  // the pairs before NewFileSize and TempFileName
        std::string size, path, content;
    };

    // Parses `body` read from `fd` under CONTENT_LENGTH `length`.
    std::optional<Upload> parse(int fd, const std::string& length) {
        ::setenv("CONTENT_LENGTH", length.c_str(), 1);
        char** vars = nvl::cgi::getVarsFromFd(fd, ISO_8859_1, false, nullptr, nullptr);
        if (vars == nullptr)
            return std::nullopt;
        std::vector<std::string> entries;
        for (char** p = vars; *p != nullptr; ++p)
            entries.emplace_back(*p);
        cgiFreeVars(vars, nullptr);
        Upload upload;
        EXPECT_EQ(entries.size() % 2, 0u);
        EXPECT_GE(entries.size(), 4u);
        if (entries.size() < 4)
            return std::nullopt;
        for (size_t i = 0; i + 4 < entries.size(); i += 2)
            upload.headers.emplace_back(entries[i], entries[i + 1]);
        size_t n = entries.size();
        EXPECT_EQ(entries[n - 4], "NewFileSize");
        EXPECT_EQ(entries[n - 2], "TempFileName");
        upload.size = entries[n - 3];
        upload.path = entries[n - 1];
        upload.content = nvl::test::readFile(upload.path);
        return upload;
    }
    std::optional<Upload> parse(const std::string& body) {
        return parse(body, std::to_string(body.size()));
    }
    std::optional<Upload> parse(const std::string& body, const std::string& length) {
        UniqueFd fd(::memfd_create("body", MFD_CLOEXEC));
        EXPECT_EQ(nvl::sys::writeAll(fd.get(), body), 0u);
        ::lseek(fd.get(), 0, SEEK_SET);
        return parse(fd.get(), length);
    }

    std::vector<std::string> tempFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(tempDir))
            names.push_back(entry.path().filename().string());
        return names;
    }

    nvl::test::TestEnv env;
    std::string tempDir;
};

TEST_F(MultipartTest, StoresTheFirstPartAndDescribesItsHeaders) {
    auto upload = parse(multipartBody("hello\r\nworld"));
    ASSERT_TRUE(upload.has_value());
    EXPECT_EQ(upload->headers, (Pairs{{"Content-Disposition", " form-data"},
                                      {"name", "file"},
                                      {"filename", "C:\\a.zip"},
                                      {"Content-Type", " application/octet-stream"}}));
    EXPECT_EQ(upload->content, "hello\r\nworld");
    EXPECT_EQ(upload->size, "12");

    // Our own name in TEMP, readable and writable by the owner only.
    std::filesystem::path path(upload->path);
    EXPECT_EQ(path.parent_path().string(), tempDir);
    std::string name = path.filename().string();
    EXPECT_EQ(name.rfind("NVCE", 0), 0u) << name;
    EXPECT_EQ(name.size(), std::strlen("NVCE") + 8 + std::strlen(".TMP")) << name;
    struct stat st {};
    ASSERT_EQ(::stat(upload->path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Each upload gets a new file.
    auto second = parse(multipartBody("x"));
    ASSERT_TRUE(second.has_value());
    EXPECT_NE(second->path, upload->path);
}

TEST_F(MultipartTest, TheClientCannotNameTheLibrarysEntries) {
    // A first-match look-up of TempFileName must find the file the library stored.
    auto upload = parse(multipartBody(
        "x",
        "Content-Disposition: form-data; name=\"file\"; TempFileName=\"/etc/passwd\"; "
        "newfilesize=\"1\"\r\nTempFileName: /etc/shadow\r\n"));
    ASSERT_TRUE(upload.has_value());
    EXPECT_EQ(upload->headers, (Pairs{{"Content-Disposition", " form-data"}, {"name", "file"}}));
    EXPECT_EQ(std::filesystem::path(upload->path).parent_path().string(), tempDir);
    EXPECT_EQ(upload->size, "1");
}

TEST_F(MultipartTest, APageThatRefusesUploadsStoresNothing) {
    cgiSetReadFlags(CGI_REFUSE_UPLOADS | CGI_QUIET_ERRORS);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(parse(multipartBody("data")).has_value());
        EXPECT_EQ(cgiGetVarsError(), 4005);
    }
    EXPECT_TRUE(tempFiles().empty());
    // Without the flag a failed upload says so too.
    cgiSetReadFlags(CGI_QUIET_ERRORS);
    EXPECT_FALSE(parse("no boundary here").has_value());
    EXPECT_EQ(cgiGetVarsError(), 4006);
    EXPECT_TRUE(parse(multipartBody("data")).has_value());
    EXPECT_EQ(cgiGetVarsError(), 0);
}

TEST_F(MultipartTest, AStoredUploadGoesWhenThePageEndsUnlessMoved) {
    auto storeAndExit = [this](bool move) {
        nvl::test::Child page([&] {
            auto upload = parse(multipartBody("data"));
            if (!upload.has_value())
                return 1;
            if (move && ::rename(upload->path.c_str(), (tempDir + "/kept").c_str()) != 0)
                return 2;
            std::exit(0);  // a page's normal end, exit handlers included
        });
        return page.wait();
    };
    ASSERT_EQ(storeAndExit(false), 0);
    EXPECT_TRUE(tempFiles().empty());
    ASSERT_EQ(storeAndExit(true), 0);
    EXPECT_EQ(tempFiles(), std::vector<std::string>{"kept"});
    std::filesystem::remove(tempDir + "/kept");

    // A child forked after the upload ends without touching its parent's file.
    auto upload = parse(multipartBody("data"));
    ASSERT_TRUE(upload.has_value());
    nvl::test::Child child([]() -> int { std::exit(0); });
    ASSERT_EQ(child.wait(), 0);
    EXPECT_EQ(nvl::test::readFile(upload->path), "data");
    // Another file put under the stored name by the page is left alone.
    { std::ofstream(tempDir + "/mine") << "mine"; }
    std::filesystem::rename(tempDir + "/mine", upload->path);
    nvl::cgi::removeStoredUploads();
    EXPECT_EQ(nvl::test::readFile(upload->path), "mine");
}

TEST_F(MultipartTest, KeepsTheContentByteForByte) {
    const std::string contents[] = {
        "",
        "x",
        "\r\n",
        "line\r\n--XyZ\r\nContent-Type: text/plain\r\n\r\nmore\r\n--XyZ--\r\nend\r\n",
        nvl::test::binaryUploadContent(1000, 1),
        nvl::test::binaryUploadContent(2047, 2),
        nvl::test::binaryUploadContent(2048, 3),
        nvl::test::binaryUploadContent(64 * 1024 + 2048, 4),
        nvl::test::binaryUploadContent(300 * 1024 + 17, 5),
    };
    for (const std::string& content : contents) {
        auto upload = parse(multipartBody(content));
        ASSERT_TRUE(upload.has_value()) << content.size();
        EXPECT_TRUE(upload->content == content) << "content of " << content.size() << " bytes";
        EXPECT_EQ(upload->size, std::to_string(content.size()));
    }
}

TEST_F(MultipartTest, ReadsABodyThatArrivesInPieces) {
    std::string content = nvl::test::binaryUploadContent(200 * 1024, 9);
    std::string body = multipartBody(content);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    UniqueFd readEnd(fds[0]);
    std::thread writer([fd = fds[1], &body] {
        std::mt19937 random(11);
        for (size_t at = 0; at < body.size();) {
            size_t n = std::min<size_t>(body.size() - at, 1 + random() % 3000);
            nvl::sys::writeAll(fd, std::string_view(body).substr(at, n));
            at += n;
        }
        ::close(fd);
    });
    auto upload = parse(readEnd.get(), std::to_string(body.size()));
    writer.join();
    ASSERT_TRUE(upload.has_value());
    EXPECT_TRUE(upload->content == content);
}

TEST_F(MultipartTest, FillsMissingHeaderNamesAndValuesWithEmptyStrings) {
    auto upload = parse(multipartBody("x", "Content-Disposition: form-data; \"\"; name=\r\nX\r\n"));
    ASSERT_TRUE(upload.has_value());
    EXPECT_EQ(upload->headers,
              (Pairs{{"Content-Disposition", " form-data"}, {"", ""}, {"name", ""}, {"X", ""}}));
    EXPECT_EQ(upload->content, "x");
}

TEST_F(MultipartTest, EnforcesMaxUploadSize) {
    env.writeFile("home/nvlscan.ini", "[INI_SERVER_SECTION]\r\nMaxUploadSize=1\r\n");
    size_t frame = multipartBody("").size();
    std::string exact = multipartBody(std::string((1 << 20) - frame, 'a'));
    ASSERT_EQ(exact.size(), 1u << 20);
    EXPECT_TRUE(parse(exact).has_value());

    std::string over = multipartBody(std::string((1 << 20) + 1 - frame, 'a'));
    ASSERT_EQ(over.size(), (1u << 20) + 1);
    size_t before = tempFiles().size();
    EXPECT_FALSE(parse(over).has_value());
    EXPECT_EQ(tempFiles().size(), before);
}

TEST_F(MultipartTest, VerifyUploadSizeReadsTheLimitInMegabytes) {
    struct Case {
        const char* setting;  // null: no key
        int length;
        bool passes;
    } cases[] = {
        {nullptr, 64 << 20, true},
        {nullptr, (64 << 20) + 1, false},
        {"0", (64 << 20) + 1, false},  // below 1 counts as 64
        {"-3", 64 << 20, true},
        {"2", (2 << 20) + 1, false},
        {"2", -1, true},
        // 2048 MiB and more do not fit 32 bits: held at the largest size, not wrapped.
        {"2048", 100 << 20, true},
        {"4096", INT_MAX, true},
    };
    for (const Case& c : cases) {
        std::string ini = "[INI_SERVER_SECTION]\r\n";
        if (c.setting != nullptr)
            ini += std::string("MaxUploadSize=") + c.setting + "\r\n";
        env.writeFile("home/nvlscan.ini", ini);
        EXPECT_EQ(nvl::cgi::VerifyUploadSize(c.length), c.passes)
            << (c.setting ? c.setting : "(none)") << " " << c.length;
    }
}

TEST_F(MultipartTest, FailsWithoutAUsableBoundary) {
    std::string body = multipartBody("x");
    const char* types[] = {
        "multipart/form-data; boundary=\"XyZ\"",  // the quotes belong to the searched text
        "multipart/form-data",
        "multipart/form-data; boundary=",
    };
    for (const char* type : types) {
        ::setenv("CONTENT_TYPE", type, 1);
        EXPECT_FALSE(parse(body).has_value()) << type;
    }
    std::string longBoundary(nvl::cgi::kBoundaryMax + 1, 'b');
    ::setenv("CONTENT_TYPE", ("multipart/form-data; boundary=" + longBoundary).c_str(), 1);
    EXPECT_FALSE(parse(multipartBody("x", kHeaders, longBoundary)).has_value());
    EXPECT_TRUE(tempFiles().empty());
}

TEST_F(MultipartTest, FailsOnBadHeadersOrLengths) {
    std::string body = multipartBody("x");
    EXPECT_FALSE(parse(body, "0").has_value());
    EXPECT_FALSE(parse(body, "-1").has_value());
    EXPECT_FALSE(parse(body, "junk").has_value());
    // The headers are not over when the input is.
    EXPECT_FALSE(parse("--XyZ\r\nContent-Type: text/plain\r\n").has_value());
    // Header lines may not take more than their limit.
    std::string manyHeaders;
    while (manyHeaders.size() <= nvl::cgi::kPartHeadersMax)
        manyHeaders += "X-Filler: ;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;\r\n";
    EXPECT_FALSE(parse(multipartBody("x", manyHeaders)).has_value());
    EXPECT_TRUE(tempFiles().empty());

    // Without its TEMP directory the upload has nowhere to go.
    std::filesystem::remove(tempDir);
    EXPECT_FALSE(parse(body).has_value());
}

TEST_F(MultipartTest, ShortUploadFailsAndRemovesItsFile) {
    std::string body = multipartBody(nvl::test::binaryUploadContent(100 * 1024, 3));
    // The client claims more than it sends, then closes.
    EXPECT_FALSE(parse(body, std::to_string(body.size() + 1)).has_value());
    EXPECT_TRUE(tempFiles().empty());

    // The client sends part of its body, then nothing, but keeps the connection.
    nvl::cgi::setIdleTimeoutForTesting(200);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    ASSERT_EQ(nvl::sys::writeAll(writeEnd.get(), std::string_view(body).substr(0, 30000)), 0u);
    EXPECT_FALSE(parse(readEnd.get(), std::to_string(body.size())).has_value());
    EXPECT_TRUE(tempFiles().empty());
}

TEST_F(MultipartTest, ReadsNothingPastContentLength) {
    std::string body = multipartBody("payload");
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    ASSERT_EQ(nvl::sys::writeAll(writeEnd.get(), body + "NEXT"), 0u);
    auto upload = parse(readEnd.get(), std::to_string(body.size()));
    ASSERT_TRUE(upload.has_value());
    EXPECT_EQ(upload->content, "payload");
    char rest[8] = {};
    EXPECT_EQ(::read(readEnd.get(), rest, sizeof rest), 4);
}

TEST(FindLastPattern, SearchesBackwardsWithoutLeavingTheBuffer) {
    const std::string text = "ab\r\ncd\r\nab";
    const auto* buffer = reinterpret_cast<const unsigned char*>(text.data());
    auto at = [&](const unsigned char* p) {
        return p == nullptr ? -1 : static_cast<int>(p - buffer);
    };
    const auto length = static_cast<unsigned>(text.size());
    EXPECT_EQ(at(nvl::cgi::FindLastPattern(buffer, length, "ab", nullptr)), 8);
    EXPECT_EQ(at(nvl::cgi::FindLastPattern(buffer, length, "\r\n", nullptr)), 6);
    EXPECT_EQ(at(nvl::cgi::FindLastPattern(buffer, length, "\r\n", buffer + 5)), 2);
    EXPECT_EQ(at(nvl::cgi::FindLastPattern(buffer, length, "\r\n", buffer + 6)), 6);
    // A start too near the end begins where the pattern still fits.
    EXPECT_EQ(at(nvl::cgi::FindLastPattern(buffer, length, "ab", buffer + 9)), 8);
    EXPECT_EQ(at(nvl::cgi::FindLastPattern(buffer, length, "zz", nullptr)), -1);
    EXPECT_EQ(at(nvl::cgi::FindLastPattern(buffer, 1, "ab", nullptr)), -1);
    EXPECT_EQ(at(nvl::cgi::FindLastPattern(buffer, length, "", nullptr)), -1);
}

}  // namespace
