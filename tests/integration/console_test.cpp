// The demo console as a browser and a local user meet it: laid out by scripts/console-setup.sh,
// served by lighttpd, traced into the real log server, in both languages.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/log_server_process.h"
#include "support/test_env.h"
#include "support/web_server.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

constexpr char kSetup[] = CGISHARE_SOURCE_DIR "/scripts/console-setup.sh";
constexpr char kCatalogs[] = CGISHARE_SOURCE_DIR "/standins/cgires/catalog/";
// Latin and Japanese characters, sent by the browser and typed into nvl-passwd as UTF-8.
const std::string kPassword = "caf\xC3\xA9-\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E-pw";

// The text of resource string `id` in the catalog of `language`, as the page writes it (UTF-8).
std::string catalogText(const std::string& language, int id) {
    std::istringstream catalog(nvl::test::readFile(kCatalogs + language + ".txt"));
    std::string prefix = std::to_string(id) + "\t";
    for (std::string line; std::getline(catalog, line);) {
        if (line.rfind(prefix, 0) == 0)
            return line.substr(prefix.size());
    }
    return "";
}

// The value of the cookie `name` that the response sets ("" when it sets none).
std::string setCookie(const nvl::test::HttpResponse& response, const std::string& name) {
    std::smatch match;
    std::regex pattern("Set-Cookie: " + name + "=([^;\r]*)");
    return std::regex_search(response.headers, match, pattern) ? match[1].str() : "";
}

class ConsoleTest : public testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        if (::access(nvl::test::kLighttpdPath, X_OK) != 0)
            GTEST_SKIP() << "lighttpd is not installed; scripts/install-deps.sh test installs it";
        demo_ = env_.root() + "/demo";
        ::setenv("NVL_RUNTIME_DIR", (demo_ + "/run").c_str(), 1);
        ::setenv("CONSOLE_PASSWORD", kPassword.c_str(), 1);
        for (int attempt = 0; attempt < 5 && !(server_ && server_->running()); ++attempt) {
            int port = nvl::test::freeLoopbackPort();
            int status = 0;
            nvl::test::runAndCapture(
                {kSetup, demo_, CGISHARE_BINARY_DIR, std::to_string(port), GetParam()}, &status);
            ASSERT_EQ(status, 0) << "console-setup.sh failed";
            if (!logServer_) {
                logServer_ = std::make_unique<nvl::test::LogServerProcess>(
                    LOGSERVER_PATH, demo_ + "/logs/trace.log");
                ASSERT_TRUE(logServer_->ready());
            }
            server_ = std::make_unique<nvl::test::Lighttpd>(demo_ + "/lighttpd.conf", port);
        }
        ::unsetenv("CONSOLE_PASSWORD");
        ASSERT_TRUE(server_ && server_->running())
            << "lighttpd did not start; see " << demo_ << "/logs/lighttpd-error.log";
    }

    std::string url(const std::string& page) const {
        return "http://127.0.0.1:" + std::to_string(server_->port()) + "/norvel/cgi/" + page;
    }
    // The header a browser sends with a POST from one of the console's own pages.
    std::string origin() const {
        return "Origin: http://127.0.0.1:" + std::to_string(server_->port());
    }
    nvl::test::HttpResponse logOn(const std::string& password) {
        return nvl::test::httpRequest({"-H", origin(), "--data-urlencode", "user=admin",
                                       "--data-urlencode", "password=" + password,
                                       url("login.cgi")});
    }
    // Logs on and returns the session's cookies as a Cookie header value.
    std::string session() {
        nvl::test::HttpResponse admitted = logOn(kPassword);
        EXPECT_EQ(admitted.status, 303) << admitted.headers << admitted.body;
        return "session=" + setCookie(admitted, "session") + "; key=" + setCookie(admitted, "key") +
               "; stamp=" + setCookie(admitted, "stamp");
    }
    std::vector<std::string> pages() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(demo_ + "/www/norvel/cgi")) {
            if (entry.path().extension() == ".cgi")
                names.push_back(entry.path().filename().string());
        }
        return names;
    }
    std::set<std::string> tempFiles() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(demo_ + "/home/TEMP"))
            names.insert(entry.path().filename().string());
        return names;
    }

    nvl::test::TestEnv env_;
    std::string demo_;
    std::unique_ptr<nvl::test::LogServerProcess> logServer_;
    std::unique_ptr<nvl::test::Lighttpd> server_;
};

TEST_P(ConsoleTest, APasswordBeyondAsciiLogsOn) {
    nvl::test::HttpResponse refused = logOn(kPassword + "x");
    EXPECT_EQ(refused.status, 200);
    EXPECT_NE(refused.body.find(catalogText(GetParam(), 2005)), std::string::npos);
    EXPECT_EQ(setCookie(refused, "key"), "");

    nvl::test::HttpResponse admitted = logOn(kPassword);
    EXPECT_EQ(admitted.status, 303) << admitted.headers << admitted.body;
    EXPECT_NE(setCookie(admitted, "key"), "");
}

TEST_P(ConsoleTest, NoSessionKeyReachesTheTraceLog) {
    nvl::test::HttpResponse admitted = logOn(kPassword);
    ASSERT_EQ(admitted.status, 303);
    std::string session = setCookie(admitted, "session");
    std::string key = setCookie(admitted, "key");
    std::string wrongKey = key;
    wrongKey.back() = wrongKey.back() == '9' ? '0' : static_cast<char>(wrongKey.back() + 1);
    std::string cookie =
        "session=" + session + "; key=" + key + "; stamp=" + setCookie(admitted, "stamp");

    nvl::test::HttpResponse home = nvl::test::httpRequest({"-b", cookie, url("home.cgi")});
    EXPECT_NE(home.body.find("id=\"logout\""), std::string::npos) << home.body;
    nvl::test::HttpResponse wrong =
        nvl::test::httpRequest({"-b", "session=" + session + "; key=" + wrongKey, url("home.cgi")});
    EXPECT_EQ(wrong.body.find("id=\"logout\""), std::string::npos) << wrong.body;
    nvl::test::httpRequest({"-b", cookie, url("logout.cgi")});

    // Stopping the server writes out every trace it has taken.
    ASSERT_EQ(logServer_->stop(), 0);
    std::string log = nvl::test::readFile(demo_ + "/logs/trace.log");
    EXPECT_NE(log.find("VerifyLoginCookie"), std::string::npos) << "the pages were traced";
    EXPECT_NE(log.find("session " + session), std::string::npos);
    for (const std::string& secret : {key, wrongKey, kPassword}) {
        // Half a key is already too much to give away.
        EXPECT_EQ(log.find(secret.substr(0, secret.size() / 2)), std::string::npos) << secret;
        EXPECT_EQ(log.find(secret.substr(secret.size() / 2)), std::string::npos) << secret;
    }
}

TEST_P(ConsoleTest, UploadsToTheLogOnPageAreRefusedAndStoredNowhere) {
    std::string file = env_.writeFile("upload.bin", std::string(300 * 1024, 'u'));
    std::set<std::string> before = tempFiles();
    for (int i = 0; i < 5; ++i) {
        nvl::test::HttpResponse response = nvl::test::httpRequest(
            {"-H", origin(), "-F", "password=x", "-F", "file=@" + file, url("login.cgi")});
        EXPECT_EQ(response.status, 200);
        EXPECT_NE(response.body.find(catalogText(GetParam(), 4005)), std::string::npos)
            << response.body;
        EXPECT_NE(response.body.find("id=\"login\""), std::string::npos);
    }
    EXPECT_EQ(tempFiles(), before);
}

TEST_P(ConsoleTest, BadBytesNeverBringAServerError) {
    struct Case {
        const char* what;
        std::string body;
        bool notUtf8;  // the log-on page answers with its form and the 4007 message
    };
    std::vector<Case> cases = {
        {"invalid UTF-8", "user=admin&password=%FF", true},
        {"lone surrogate", "user=admin&password=%ED%A0%80", true},
        {"overlong form", "user=admin&password=%C0%AF", true},
        {"cut sequence", "user=admin&password=%E3%81", true},
        {"raw bytes", "user=\xFF\xFE&\x80=\xC3"s, true},
        {"cut escapes", "user=admin&password=%4", false},
        {"lone percent", "user=%&password=%", false},
        {"zero bytes", "\0\0\0password=\0"s, false},
        {"long value", "user=admin&password=" + std::string(1 << 20, 'a'), false},
    };
    std::string overlong = env_.writeFile("overlong.bin", std::string((64 << 20) + 1, 'a'));
    for (const std::string& page : pages()) {
        for (const Case& c : cases) {
            std::string body = env_.writeFile("body.bin", c.body);
            nvl::test::HttpResponse response =
                nvl::test::httpRequest({"-H", origin(), "--data-binary", "@" + body, url(page)});
            EXPECT_GE(response.status, 200) << page << ": " << c.what;
            EXPECT_LT(response.status, 500) << page << ": " << c.what;
            if (page == "login.cgi") {
                EXPECT_NE(response.body.find("id=\"login\""), std::string::npos) << c.what;
                if (c.notUtf8) {
                    EXPECT_NE(response.body.find(catalogText(GetParam(), 4007)), std::string::npos)
                        << c.what;
                }
            }
        }
        std::vector<std::vector<std::string>> requests = {
            {"-H", origin(), "--data-binary", "@" + overlong, url(page)},
            {"-H", origin(), "-X", "PUT", "--data-binary", "x", url(page)},
            {"-H", origin(), "-H", "Content-Type: text/plain", "--data-binary", "x", url(page)},
            {"-b", "session=\xFF\xFE; key=\x80; stamp=-1", url(page)},
            {url(page + "?a=%FF&%ED%A0%80=%")},
        };
        for (const auto& request : requests) {
            nvl::test::HttpResponse response = nvl::test::httpRequest(request);
            EXPECT_GE(response.status, 200) << page << ": " << request[request.size() - 2];
            EXPECT_LT(response.status, 500) << page << ": " << request[request.size() - 2];
        }
    }
}

TEST_P(ConsoleTest, LogOnFormsFromElsewhereAreRefused) {
    const std::vector<std::string> password = {"--data-urlencode", "user=admin", "--data-urlencode",
                                               "password=" + kPassword};
    const struct {
        const char* what;
        std::vector<std::string> headers;
        int status;
    } kCases[] = {
        {"no Origin, no Referer", {}, 403},
        {"another site", {"-H", "Origin: http://evil.example"}, 403},
        {"another port", {"-H", "Origin: http://127.0.0.1:1"}, 403},
        {"a null origin", {"-H", "Origin: null"}, 403},
        {"a foreign Referer", {"-H", "Referer: http://evil.example/norvel/cgi/login.cgi"}, 403},
        {"the console's own Referer", {"-H", "Referer: " + url("login.cgi")}, 303},
    };
    for (const auto& c : kCases) {
        std::vector<std::string> args = c.headers;
        args.insert(args.end(), password.begin(), password.end());
        args.push_back(url("login.cgi"));
        nvl::test::HttpResponse response = nvl::test::httpRequest(args);
        EXPECT_EQ(response.status, c.status) << c.what;
        EXPECT_EQ(setCookie(response, "key").empty(), c.status == 403) << c.what;
    }
}

TEST_P(ConsoleTest, HostileSettingsNeverBringAServerErrorNorWriteTheIni) {
    std::string cookie = session();
    nvl::test::HttpResponse page = nvl::test::httpRequest({"-b", cookie, url("settings.cgi")});
    ASSERT_EQ(page.status, 200);
    std::smatch match;
    ASSERT_TRUE(
        std::regex_search(page.body, match, std::regex("name=\"token\" value=\"([0-9a-f]+)\"")))
        << page.body;
    const std::string token = "token=" + match[1].str();
    const std::string ini = demo_ + "/home/nvlscan.ini";
    const std::string before = nvl::test::readFile(ini);
    ASSERT_NE(before.find("Cookie_Expire_Period=30"), std::string::npos);
    auto audited = [&](const std::string& text) {
        std::string records;
        for (const auto& entry : fs::directory_iterator(demo_ + "/home/Log"))
            records += nvl::test::readFile(entry.path().string());
        size_t count = 0;
        for (size_t at = 0; (at = records.find(text, at)) != std::string::npos; ++at)
            ++count;
        return count;
    };

    const std::vector<std::string> bodies = {
        // The idle period.
        "change=expire&expire=-1",
        "change=expire&expire=0",
        "change=expire&expire=1441",
        "change=expire&expire=99999999999999999999",
        "change=expire&expire=2147483648",
        "change=expire&expire=-9223372036854775809",
        "change=expire&expire=1e3",
        "change=expire&expire=0x10",
        "change=expire&expire=+5",
        "change=expire&expire=5.0",
        "change=expire&expire=%205",
        "change=expire&expire=5%20",
        "change=expire&expire=",
        "change=expire&expire=NaN",
        "change=expire",
        "change=expire&expire=%EF%BC%95",
        "change=expire&expire=%005",
        "change=expire&expire=5%0D%0AAdmin_User=x",
        // Not UTF-8: the form is not read at all.
        "change=expire&expire=%FF",
        "change=expire&expire=%ED%A0%80",
        "change=expire&expire=%C0%B5",
        // The password.
        "change=password&old=x&new1=abcdefgh1&new2=abcdefgh2",
        "change=password&old=x&new1=short&new2=short",
        "change=password&old=x&new1=&new2=",
        "change=password&old=x&new1=" + std::string(257, 'p') + "&new2=" + std::string(257, 'p'),
        "change=password&old=x&new1=abcd%0Aefgh&new2=abcd%0Aefgh",
        "change=password&old=wrong-password&new1=abcdefgh&new2=abcdefgh",
        "change=password&old=%FF&new1=abcdefgh&new2=abcdefgh",
        // Neither.
        "change=both&expire=5",
        "expire=5",
        "",
    };
    for (const std::string& body : bodies) {
        std::string file = env_.writeFile("settings.bin", body + "&" + token);
        nvl::test::HttpResponse response = nvl::test::httpRequest(
            {"-H", origin(), "-b", cookie, "--data-binary", "@" + file, url("settings.cgi")});
        EXPECT_EQ(response.status, 200) << body;
        EXPECT_NE(response.body.find("notice error"), std::string::npos) << body;
        EXPECT_EQ(nvl::test::readFile(ini), before) << body;
    }
    // Forged requests: no token, a wrong one, another site, and a GET carrying the values.
    const std::vector<std::vector<std::string>> forged = {
        {"-H", origin(), "-b", cookie, "--data", "change=expire&expire=5", url("settings.cgi")},
        {"-H", origin(), "-b", cookie, "--data", "change=expire&expire=5&token=00",
         url("settings.cgi")},
        {"-H", "Origin: http://evil.example", "-b", cookie, "--data",
         "change=expire&expire=5&" + token, url("settings.cgi")},
        {"-b", cookie, "--data", "change=expire&expire=5&" + token, url("settings.cgi")},
        {"-b", cookie, url("settings.cgi?change=expire&expire=5&" + token)},
    };
    for (const auto& request : forged) {
        nvl::test::HttpResponse response = nvl::test::httpRequest(request);
        EXPECT_TRUE(response.status == 403 || response.status == 200)
            << request[request.size() - 2];
        EXPECT_EQ(nvl::test::readFile(ini), before) << request[request.size() - 2];
    }
    EXPECT_EQ(audited(", settings changed, "), 0u);
    EXPECT_EQ(audited(", password changed, admin, success"), 0u);
    EXPECT_EQ(audited(", password changed, admin, fail"), 1u) << "the wrong current password";

    // The same session and token do change a good value: the refusals above were the values'.
    std::string file = env_.writeFile("settings.bin", "change=expire&expire=45&" + token);
    nvl::test::HttpResponse saved = nvl::test::httpRequest(
        {"-H", origin(), "-b", cookie, "--data-binary", "@" + file, url("settings.cgi")});
    EXPECT_EQ(saved.status, 200);
    EXPECT_NE(saved.body.find("notice ok"), std::string::npos) << saved.body;
    EXPECT_NE(nvl::test::readFile(ini).find("Cookie_Expire_Period=45"), std::string::npos);
    EXPECT_EQ(audited(", settings changed, admin, success"), 1u);
}

// What the hot-fix page does with uploads a browser would not send: none of them brings a
// server error, places a file in the home or leaves one in TEMP.
TEST_P(ConsoleTest, HostileUploadsPlaceNothing) {
    std::string cookie = session();
    nvl::test::HttpResponse page = nvl::test::httpRequest({"-b", cookie, url("hotfix.cgi")});
    ASSERT_EQ(page.status, 200);
    std::smatch match;
    ASSERT_TRUE(
        std::regex_search(page.body, match, std::regex("id=\"hotfix-file\" name=\"([0-9a-f]+)\"")))
        << page.body;
    const std::string token = match[1].str();
    auto snapshot = [&] {
        std::set<std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(demo_ + "/home")) {
            std::string name = entry.path().filename().string();
            if (entry.path().string().find("/Log/") != std::string::npos ||
                name.rfind(".key_", 0) == 0)
                continue;
            files.insert(entry.path().string() + " " +
                         std::to_string(entry.is_regular_file() ? entry.file_size() : 0));
        }
        return files;
    };
    std::string pattern = env_.writeFile("garbage.bin", std::string(4096, 'g'));
    const struct {
        const char* what;
        std::string field;
        std::string filename;
        int status;
    } kCases[] = {
        {"no token", "file", "sig$vpf.350", 403},
        {"a wrong token", std::string(token.size(), '0'), "sig$vpf.350", 403},
        {"garbage for a pattern", token, "sig$vpf.350", 200},
        {"garbage for the cleaner", token, "QXC.exe", 200},
        {"a name that is not UTF-8", token,
         "sig$vpf.\xFF"
         "50",
         200},
        {"a client path", token, "..\\..\\QXC.ptn", 200},
        {"quotes and semicolons", token, "a\\\";b=c", 200},
        {"a long name", token, std::string(3000, 'n'), 200},
        {"no name", token, "", 200},
    };
    std::set<std::string> before = snapshot();
    for (const auto& c : kCases) {
        nvl::test::HttpResponse response = nvl::test::httpRequest(
            {"-H", origin(), "-b", cookie, "-F",
             c.field + "=@" + pattern + ";filename=\"" + c.filename + "\"", url("hotfix.cgi")});
        EXPECT_EQ(response.status, c.status) << c.what << response.body;
        if (c.status == 200) {
            bool refused = response.body.find("data-result=\"refused\"") != std::string::npos;
            bool notice = response.body.find("notice error") != std::string::npos;
            EXPECT_TRUE(refused || notice) << c.what << response.body;
            EXPECT_EQ(response.body.find("id=\"stage-placed\""), std::string::npos) << c.what;
        }
        EXPECT_EQ(snapshot(), before) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, ConsoleTest, testing::Values("en", "ja"));

}  // namespace
