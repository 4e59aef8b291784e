#include <cgishare/form_vars.h>
#include <cgishare/resource.h>
#include <cgishare/utf_converter.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cgi/form_vars_internal.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "support/test_env.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;
using nvl::sys::UniqueFd;

// The pairs of a form-variable array, which is freed; nullopt for a null array.
std::optional<Pairs> take(char** vars) {
    if (vars == nullptr)
        return std::nullopt;
    Pairs pairs;
    for (char** p = vars; *p != nullptr; p += 2) {
        EXPECT_NE(p[1], nullptr) << "name without a value slot";
        if (p[1] == nullptr)
            break;
        pairs.emplace_back(p[0], p[1]);
    }
    cgiFreeVars(vars, nullptr);
    return pairs;
}

// A descriptor that reads `body` and then ends.
UniqueFd bodyFd(std::string_view body) {
    UniqueFd fd(::memfd_create("body", MFD_CLOEXEC));
    EXPECT_EQ(nvl::sys::writeAll(fd.get(), body), 0u);
    ::lseek(fd.get(), 0, SEEK_SET);
    return fd;
}

void setOrUnset(const char* name, const char* value) {
    if (value != nullptr) {
        ::setenv(name, value, 1);
    } else {
        ::unsetenv(name);
    }
}

class FormVarsTest : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* name :
             {"REQUEST_METHOD", "QUERY_STRING", "CONTENT_TYPE", "CONTENT_LENGTH"})
            ::unsetenv(name);
        savedCout_ = std::cout.rdbuf(output_.rdbuf());
    }
    void TearDown() override {
        std::cout.rdbuf(savedCout_);
        nvl::cgi::setIdleTimeoutForTesting(-1);
        cgiSetReadFlags(CGI_READ_DEFAULT);
    }

    // What the call wrote to standard output, cleared.
    std::string output() {
        std::string text = output_.str();
        output_.str("");
        return text;
    }
    static std::string message(int id) { return std::string(getResourceString(id)) + "\n"; }

    char** post(std::string_view body, const char* contentLength, const char* contentType,
                unsigned char** trailing = nullptr, long* trailingLength = nullptr,
                CharEncoding encoding = ISO_8859_1) {
        ::setenv("REQUEST_METHOD", "POST", 1);
        setOrUnset("CONTENT_TYPE", contentType);
        setOrUnset("CONTENT_LENGTH", contentLength);
        UniqueFd fd = bodyFd(body);
        return nvl::cgi::getVarsFromFd(fd.get(), encoding, false, trailing, trailingLength);
    }
    char** postBody(std::string_view body, unsigned char** trailing = nullptr,
                    long* trailingLength = nullptr) {
        std::string length = std::to_string(body.size());
        return post(body, length.c_str(), "application/x-www-form-urlencoded", trailing,
                    trailingLength);
    }

    nvl::test::TestEnv env;

  private:
    std::ostringstream output_;
    std::streambuf* savedCout_ = nullptr;
};

TEST_F(FormVarsTest, SplitsAndDecodesAQueryString) {
    struct Case {
        const char* query;
        Pairs pairs;
    } cases[] = {
        {"", {}},
        {"&&&", {}},
        {"a=1&&b=2", {{"a", "1"}, {"b", "2"}}},
        {"lone&x=", {{"lone", ""}, {"x", ""}}},
        {"a%3D1=2", {{"a=1", "2"}}},  // split before decoding
        {"one+two=three+four", {{"one two", "three four"}}},
        {"p=%2B&q=%2b1", {{"p", "+"}, {"q", "+1"}}},
        {"=&a=b=c", {{"", ""}, {"a", "b=c"}}},
        {"dup=1&dup=2", {{"dup", "1"}, {"dup", "2"}}},
        // An escape cut short by the end of its piece stays as it was sent.
        {"a=%4&b=%&c=50%", {{"a", "%4"}, {"b", "%"}, {"c", "50%"}}},
    };
    ::setenv("REQUEST_METHOD", "GET", 1);
    for (const Case& c : cases) {
        ::setenv("QUERY_STRING", c.query, 1);
        EXPECT_EQ(take(cgiGetVars(ISO_8859_1, false)), c.pairs) << c.query;
    }
    EXPECT_EQ(output(), "");
}

TEST_F(FormVarsTest, GetWithoutQueryStringIsNullWithoutMessage) {
    ::setenv("REQUEST_METHOD", "GET", 1);
    EXPECT_EQ(cgiGetVars(ISO_8859_1, false), nullptr);
    EXPECT_EQ(output(), "");
}

TEST_F(FormVarsTest, RefusesAnyOtherMethodWithMessage4000) {
    for (const char* method : {"PUT", "get", "", static_cast<const char*>(nullptr)}) {
        setOrUnset("REQUEST_METHOD", method);
        EXPECT_EQ(cgiGetVars(ISO_8859_1, false), nullptr);
        EXPECT_EQ(output(), message(4000)) << (method != nullptr ? method : "(unset)");
    }
}

TEST_F(FormVarsTest, AcceptsUrlEncodedContentTypesOnly) {
    for (const char* type : {"Application/X-WWW-Form-URLEncoded; charset=UTF-8", "",
                             static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(take(post("a=1", "3", type)), (Pairs{{"a", "1"}}));
    }
    EXPECT_EQ(output(), "");
    EXPECT_EQ(post("a=1", "3", "text/plain"), nullptr);
    EXPECT_EQ(output(), message(4001));
}

TEST_F(FormVarsTest, ReportsBadContentLengths) {
    struct Case {
        const char* contentLength;
        int message;
    } cases[] = {
        {nullptr, 4004},       {"0", 4004},        {"abc", 4004},
        {"-5", 4003},          {"67108865", 4003},  // one byte over the body limit
        {"99999999999", 4003},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(post("a=1", c.contentLength, nullptr), nullptr);
        EXPECT_EQ(output(), message(c.message)) << (c.contentLength ? c.contentLength : "(unset)");
    }
}

TEST_F(FormVarsTest, HandsBackTheBytesAfterTheLastVariable) {
    struct Case {
        std::string body;
        long length;
        std::string bytes;
    } cases[] = {
        {"a=1&b=2", -1, ""},
        {std::string("a=1&b=2\0xyz", 11), 3, "xyz"},
        {"a=1&", 0, ""},
        {"a=1&&", 1, "&"},
        {std::string("a=+\0+%\0", 7), 3, std::string("+%\0", 3)},  // raw, not decoded
    };
    for (const Case& c : cases) {
        unsigned char* trailing = reinterpret_cast<unsigned char*>(1);
        long length = 12345;
        char** vars = postBody(c.body, &trailing, &length);
        ASSERT_NE(vars, nullptr);
        EXPECT_EQ(length, c.length) << testing::PrintToString(c.body);
        if (c.bytes.empty()) {
            EXPECT_EQ(trailing, nullptr);
        } else {
            ASSERT_NE(trailing, nullptr);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(trailing), c.bytes.size()), c.bytes);
        }
        cgiFreeVars(vars, trailing);
    }

    // Without variables, or without a place for the data, nothing is written.
    unsigned char* trailing = reinterpret_cast<unsigned char*>(1);
    long length = 12345;
    EXPECT_EQ(take(postBody(std::string("&&\0xyz", 6), &trailing, &length)), Pairs{});
    EXPECT_EQ(trailing, reinterpret_cast<unsigned char*>(1));
    EXPECT_EQ(take(postBody(std::string("a\0xyz", 5), nullptr, &length)), (Pairs{{"a", ""}}));
    EXPECT_EQ(length, 12345);
}

TEST_F(FormVarsTest, ReadsExactlyContentLengthBytes) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    ASSERT_EQ(nvl::sys::writeAll(writeEnd.get(), "a=1&b=2NEXT"), 0u);
    ::setenv("REQUEST_METHOD", "POST", 1);
    ::setenv("CONTENT_LENGTH", "7", 1);
    // The writer stays open: reading a byte more than CONTENT_LENGTH would wait.
    EXPECT_EQ(take(nvl::cgi::getVarsFromFd(readEnd.get(), ISO_8859_1, false, nullptr, nullptr)),
              (Pairs{{"a", "1"}, {"b", "2"}}));
    char rest[8] = {};
    EXPECT_EQ(::read(readEnd.get(), rest, sizeof rest), 4);
    EXPECT_STREQ(rest, "NEXT");
}

TEST_F(FormVarsTest, ShortBodiesFailWithMessage4002) {
    // The client claims 60 MiB and sends three bytes, then closes.
    EXPECT_EQ(post("a=1", "62914560", nullptr), nullptr);
    EXPECT_EQ(output(), message(4002));

    // The client sends three bytes and then nothing, but keeps the connection.
    nvl::cgi::setIdleTimeoutForTesting(200);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    ASSERT_EQ(nvl::sys::writeAll(writeEnd.get(), "a=1"), 0u);
    ::setenv("REQUEST_METHOD", "POST", 1);
    ::setenv("CONTENT_LENGTH", "10", 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(nvl::cgi::getVarsFromFd(readEnd.get(), ISO_8859_1, false, nullptr, nullptr), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(output(), message(4002));
}

TEST_F(FormVarsTest, ReadsABodyThatArrivesInPieces) {
    std::string body;
    for (int i = 0; body.size() < 300000; ++i)
        body += "name" + std::to_string(i) + "=value+" + std::to_string(i) + "%21&";
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    UniqueFd readEnd(fds[0]);
    std::thread writer([fd = fds[1], &body] {
        std::mt19937 random(7);
        for (size_t at = 0; at < body.size();) {
            size_t n = std::min<size_t>(body.size() - at, 1 + random() % 9000);
            nvl::sys::writeAll(fd, std::string_view(body).substr(at, n));
            at += n;
        }
        ::close(fd);
    });
    ::setenv("REQUEST_METHOD", "POST", 1);
    std::string length = std::to_string(body.size());
    ::setenv("CONTENT_LENGTH", length.c_str(), 1);
    auto pairs = take(nvl::cgi::getVarsFromFd(readEnd.get(), ISO_8859_1, false, nullptr, nullptr));
    writer.join();
    ASSERT_TRUE(pairs.has_value());
    ASSERT_GT(pairs->size(), 10000u);
    for (size_t i = 0; i < pairs->size(); ++i) {
        ASSERT_EQ((*pairs)[i].first, "name" + std::to_string(i));
        ASSERT_EQ((*pairs)[i].second, "value " + std::to_string(i) + "!");
    }
}

TEST_F(FormVarsTest, ForceMultipartReplacesTheContentType) {
    ::setenv("REQUEST_METHOD", "POST", 1);
    ::setenv("CONTENT_TYPE", "application/x-www-form-urlencoded", 1);
    ::setenv("CONTENT_LENGTH", "3", 1);
    UniqueFd fd = bodyFd("a=1");
    EXPECT_EQ(nvl::cgi::getVarsFromFd(fd.get(), ISO_8859_1, true, nullptr, nullptr), nullptr);
    EXPECT_STREQ(std::getenv("CONTENT_TYPE"),
                 "multipart/form-data; boundary=---------------------------7d21673b802fc");
}

TEST_F(FormVarsTest, QuietErrorsLeaveTheAnswerToThePage) {
    cgiSetReadFlags(CGI_QUIET_ERRORS);
    struct Case {
        const char* method;
        const char* contentLength;
        const char* contentType;
        int error;
    } cases[] = {
        {"PUT", "3", nullptr, 4000},
        {"POST", "3", "text/plain", 4001},
        {"POST", "5", nullptr, 4002},  // the body has only three bytes
        {"POST", "99999999999", nullptr, 4003},
        {"POST", "0", nullptr, 4004},
        {"POST", "3", nullptr, 0},
    };
    for (const Case& c : cases) {
        ::setenv("REQUEST_METHOD", c.method, 1);
        setOrUnset("CONTENT_TYPE", c.contentType);
        setOrUnset("CONTENT_LENGTH", c.contentLength);
        UniqueFd fd = bodyFd("a=1");
        auto pairs = take(nvl::cgi::getVarsFromFd(fd.get(), ISO_8859_1, false, nullptr, nullptr));
        EXPECT_EQ(cgiGetVarsError(), c.error) << c.method << " " << c.contentLength;
        EXPECT_EQ(pairs.has_value(), c.error == 0);
    }
    EXPECT_EQ(output(), "");
    // Without the flag the message is written and the failure named all the same.
    cgiSetReadFlags(CGI_READ_DEFAULT);
    EXPECT_EQ(post("a=1", "3", "text/plain"), nullptr);
    EXPECT_EQ(output(), message(4001));
    EXPECT_EQ(cgiGetVarsError(), 4001);
}

// UTF-8 pages on a Shift-JIS system.
class Utf8FormVarsTest : public FormVarsTest {
  protected:
    void SetUp() override {
        FormVarsTest::SetUp();
        env.writeFile("etc/registry.reg",
                      nvl::test::readFile(env.registry()) +
                          "\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\"
                          "CodePage]\r\n\"ACP\"=\"932\"\r\n");
        ::setenv("REQUEST_METHOD", "GET", 1);
        nvl::sys::resetAnsiCodePageForTesting();
    }
    void TearDown() override {
        nvl::sys::resetAnsiCodePageForTesting();
        FormVarsTest::TearDown();
    }
};

TEST_F(Utf8FormVarsTest, ConvertsValuesButNotNames) {
    ::setenv("QUERY_STRING", "n%E3%81%82=%E3%81%82x&plain=a+b&empty=", 1);
    EXPECT_EQ(take(cgiGetVars(UTF_8, false)),
              (Pairs{{"n\xE3\x81\x82", "\x82\xA0x"}, {"plain", "a b"}, {"empty", ""}}));
    // Other encodings leave the bytes alone.
    EXPECT_EQ(take(cgiGetVars(X_SJIS, false)),
              (Pairs{{"n\xE3\x81\x82", "\xE3\x81\x82x"}, {"plain", "a b"}, {"empty", ""}}));
}

TEST_F(Utf8FormVarsTest, MalformedValueThrowsToTheCaller) {
    ::setenv("QUERY_STRING", "a=1&b=%C3&c=3", 1);
    bool threw = false;
    try {
        take(cgiGetVars(UTF_8, false));
    } catch (UTFDataFormatException* e) {
        delete e;
        threw = true;
    }
    EXPECT_TRUE(threw);  // and under the sanitizer build, nothing leaked

    // A page that asked for quiet errors gets a failure instead of the exception.
    cgiSetReadFlags(CGI_QUIET_ERRORS);
    EXPECT_EQ(cgiGetVars(UTF_8, false), nullptr);
    EXPECT_EQ(cgiGetVarsError(), 4007);
}

TEST(CgiUnEscapeUrl, DecodesInPlaceAndNeverReadsPastTheTerminator) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"a%20b+c", "a b+c"}, {"%41%42", "AB"}, {"", ""},
        {"%", "%"},           {"x%4", "x%4"},   {"%%41", "T1"},  // digits "%4", unchecked
    };
    for (const Case& c : cases) {
        // The text sits at the very end of its heap block, so a read past the terminator
        // shows under the sanitizer.
        size_t size = std::strlen(c.in) + 1;
        char* text = static_cast<char*>(std::malloc(size));
        std::memcpy(text, c.in, size);
        cgiUnEscapeUrl(text);
        EXPECT_STREQ(text, c.out) << c.in;
        std::free(text);
    }
}

TEST(CgiX2C, FollowsTheDigitRuleAndStopsAtTheTerminator) {
    char digits[][3] = {"41", "e9", "E9", "0a", "zz"};
    const unsigned char expected[] = {0x41, 0xE9, 0xE9, 0x0A, 0x53};
    for (size_t i = 0; i < std::size(expected); ++i)
        EXPECT_EQ(static_cast<unsigned char>(cgiX2C(digits[i])), expected[i]) << digits[i];
    char* empty = static_cast<char*>(std::malloc(1));
    *empty = '\0';
    cgiX2C(empty);  // reads only the terminator
    std::free(empty);
}

}  // namespace
