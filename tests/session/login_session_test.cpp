#include "session/login_session.h"

#include <cgishare/login_session.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/process.h"
#include "support/test_env.h"
#include "support/trace_capture.h"

namespace {

using namespace nvl::session;

uint32_t g_now = 1'000'000;
uint32_t fakeTicks() {
    return g_now;
}

constexpr char kTimeoutPage[] = "<html>timed out</html>\n";

class LoginSession : public ::testing::Test {
  protected:
    void SetUp() override {
        nvl::sys::setTickCountSourceForTesting(fakeTicks);
        g_now = 1'000'000;
        env_.writeFile("home/Web/html/timeout.htm", kTimeoutPage);
        setPeriod(1);
        ::unsetenv("HTTP_COOKIE");
    }
    void TearDown() override {
        nvl::sys::setTickCountSourceForTesting(nullptr);
        ::unsetenv("HTTP_COOKIE");
    }

    void setPeriod(int minutes) {
        env_.writeFile("home/nvlscan.ini", "[INI_SERVER_SECTION]\r\nCookie_Expire_Period=" +
                                               std::to_string(minutes) + "\r\n");
    }
    // The names in TEMP, sorted.
    std::vector<std::string> keyFiles() const {
        std::vector<std::string> names;
        if (DIR* dir = ::opendir((env_.home() + "TEMP").c_str())) {
            while (dirent* entry = ::readdir(dir)) {
                if (entry->d_name[0] != '.' || std::string(entry->d_name) == "." ||
                    std::string(entry->d_name) == "..") {
                    continue;
                }
                names.push_back(entry->d_name);
            }
            ::closedir(dir);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string keyPath(const std::string& session) const {
        return env_.home() + "TEMP/.key_" + session;
    }

    struct Login {
        std::string session, key, stamp, header;
    };
    // Logs in and returns the cookies the browser received.
    Login login() {
        std::ostringstream text;
        OutputStreamConverter out(ISO_8859_1, &text);
        ShowSetCookeHeader(out);
        Login result;
        result.header = text.str();
        std::istringstream lines(result.header);
        std::string line;
        while (std::getline(lines, line)) {
            auto take = [&](const char* name, std::string* value) {
                std::string prefix = std::string("Set-Cookie: ") + name + "=";
                if (line.rfind(prefix, 0) == 0) {
                    *value = line.substr(prefix.size(), line.find(';') - prefix.size());
                }
            };
            take("session", &result.session);
            take("key", &result.key);
            take("stamp", &result.stamp);
        }
        return result;
    }
    static std::string cookieOf(const Login& l) {
        return "session=" + l.session + "; key=" + l.key + "; stamp=" + l.stamp;
    }
    // Runs VerifyLoginCookie with `cookie` (null: no HTTP_COOKIE) and returns its output.
    std::pair<bool, std::string> verify(const char* cookie) {
        if (cookie != nullptr) {
            ::setenv("HTTP_COOKIE", cookie, 1);
        } else {
            ::unsetenv("HTTP_COOKIE");
        }
        std::ostringstream text;
        OutputStreamConverter out(ISO_8859_1, &text);
        bool ok = VerifyLoginCookie(out);
        return {ok, text.str()};
    }

    nvl::test::TestEnv env_;
};

TEST_F(LoginSession, LoginWritesCookiesAndAPrivateKeyFile) {
    Login l = login();
    EXPECT_EQ(l.header, "Set-Cookie: session=" + l.session + ";path=/norvel\r\n" +
                            "Set-Cookie: key=" + l.key + ";path=/norvel\r\n" +
                            "Set-Cookie: stamp=1000000;path=/norvel\r\n" +
                            "Set-Cookie: serror=0\r\n");
    ASSERT_TRUE(isIssuedSessionValue(l.session.c_str()));
    ASSERT_EQ(l.key.size(), static_cast<size_t>(kKeyDigits));
    EXPECT_EQ(l.key.find_first_not_of("0123456789"), std::string::npos);

    std::string record = nvl::test::readFile(keyPath(l.session));
    ASSERT_EQ(record.size(), kKeyRecordSize);
    EXPECT_EQ(std::string(record.c_str()), l.key);
    EXPECT_EQ(record.substr(32), std::string("\x40\x42\x0f\x00", 4));  // 1000000, little-endian
    struct stat st {};
    ASSERT_EQ(::stat(keyPath(l.session).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Log readers pick the session's traces out by their source name and level.
TEST_F(LoginSession, TracesNameTheSharedSourceAtLevelFour) {
    nvl::test::TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    login();
    std::vector<nvl::test::TraceRecord> records = traces.take();
    ASSERT_FALSE(records.empty());
    for (const nvl::test::TraceRecord& record : records) {
        EXPECT_EQ(record.source, "src\\Server\\libCGIShare\\cgi_Share.cpp") << record.text;
        EXPECT_EQ(record.level, 4) << record.text;
    }
}

TEST_F(LoginSession, LoginNeverOverwritesAnotherSessionsKeyFile) {
    // A quarter of all session numbers are taken, so new logins collide often.
    nvl::sys::makeDirectories(env_.home() + "TEMP");
    // Live sessions of others: their last use is now, so no clean-up may remove them.
    const std::string foreign = std::string(31, 'x') + std::string("\0\x40\x42\x0f\x00", 5);
    for (uint32_t n = 0; n < kSessionLimit; n += 4) {
        env_.writeFile("home/TEMP/.key_" + std::to_string(n), foreign);
    }
    std::set<std::string> sessions;
    for (int i = 0; i < 60; ++i) {
        sessions.insert(login().session);
    }
    EXPECT_EQ(sessions.size(), 60u);
    for (const std::string& s : sessions) {
        EXPECT_NE(std::stoul(s) % 4, 0u) << s;
    }
    for (uint32_t n = 0; n < kSessionLimit; n += 4) {
        ASSERT_EQ(nvl::test::readFile(keyPath(std::to_string(n))), foreign) << n;
    }
}

TEST_F(LoginSession, VerifiedPageRefreshesTheStampFromAScript) {
    Login l = login();
    g_now += 30'000;
    auto [ok, page] = verify(cookieOf(l).c_str());
    EXPECT_TRUE(ok);
    EXPECT_EQ(page,
              "<SCRIPT language=\"JavaScript\">\n"
              "window.onload = function ()\n"
              "{\n"
              "document.cookie=\"stamp=1030000;path=/norvel\";\n"
              "document.cookie=\"retry=0;path=/norvel\";\n"
              "}\n"
              "</SCRIPT>\n");
    // The key file records the use.
    EXPECT_EQ(nvl::test::readFile(keyPath(l.session)).substr(32),
              std::string("\x70\xb7\x0f\x00", 4));
}

TEST_F(LoginSession, StampOlderThanThePeriodTimesOut) {
    struct Case {
        int periodMinutes;
        uint32_t age;
        bool admitted;
    } cases[] = {
        {1, 60'000, true},  // exactly the period passes
        {1, 60'001, false},
        {0, 0, true},  // period 0: only a stamp equal to now
        {0, 1, false},
    };
    for (const Case& c : cases) {
        setPeriod(c.periodMinutes);
        g_now = 5'000'000;
        Login l = login();
        std::string cookie =
            "session=" + l.session + "; key=" + l.key + "; stamp=" + std::to_string(5'000'000);
        g_now = 5'000'000 + c.age;
        auto [ok, page] = verify(cookie.c_str());
        EXPECT_EQ(ok, c.admitted) << c.periodMinutes << " " << c.age;
        if (!c.admitted) {
            EXPECT_TRUE(page.ends_with(kTimeoutPage)) << page;
        }
    }
}

// The browser's stamp is the browser's word; only an admitted request keeps a session alive.
TEST_F(LoginSession, TheTimeoutCannotBeDefeated) {
    auto withStamp = [](const Login& l, uint32_t stamp) {
        return "session=" + l.session + "; key=" + l.key + "; stamp=" + std::to_string(stamp);
    };
    // Pinged with a wrong key every half period, the session still expires on time.
    Login pinged = login();
    Login wrong = pinged;
    wrong.key[0] = wrong.key[0] == '9' ? '0' : static_cast<char>(wrong.key[0] + 1);
    for (int i = 0; i < 3; ++i) {
        g_now += 30'000;
        EXPECT_FALSE(verify(withStamp(wrong, g_now).c_str()).first);
    }
    EXPECT_FALSE(verify(withStamp(pinged, g_now).c_str()).first);

    // An expired session stays expired, whatever page is visited and whatever stamp is sent.
    for (int visit = 0; visit < 2; ++visit) {
        Login l = login();
        g_now += 60'001;
        ::setenv("HTTP_COOKIE", withStamp(l, g_now).c_str(), 1);
        if (visit == 0) {
            EXPECT_TRUE(CookieExist());  // the log-on page
        } else {
            std::ostringstream text;
            OutputStreamConverter out(ISO_8859_1, &text);
            ShowResetCookeHeader(out);  // log-off with another session's key
        }
        EXPECT_FALSE(verify(withStamp(l, g_now).c_str()).first) << visit;
        EXPECT_TRUE(keyFiles().empty()) << visit;
    }

    // A session in use lives on: each admitted request renews its key file.
    Login used = login();
    for (int i = 0; i < 3; ++i) {
        g_now += 40'000;
        EXPECT_TRUE(verify(withStamp(used, g_now).c_str()).first) << i;
    }
}

TEST_F(LoginSession, NoKeyReachesATrace) {
    nvl::test::TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    Login l = login();
    std::string wrongKey = l.key;
    wrongKey.back() = wrongKey.back() == '9' ? '0' : static_cast<char>(wrongKey.back() + 1);
    EXPECT_TRUE(verify(cookieOf(l).c_str()).first);
    EXPECT_FALSE(verify(("session=" + l.session + "; key=" + wrongKey).c_str()).first);
    ::setenv("HTTP_COOKIE", ("session=" + l.session + "; key=" + wrongKey).c_str(), 1);
    EXPECT_TRUE(CookieExist());
    std::vector<std::string> texts = traces.texts();
    ASSERT_FALSE(texts.empty());
    bool namesTheSession = false;
    for (const std::string& text : texts) {
        // Half a key is already too much to give away.
        EXPECT_EQ(text.find(l.key.substr(0, kKeyDigits / 2)), std::string::npos) << text;
        EXPECT_EQ(text.find(wrongKey.substr(kKeyDigits / 2)), std::string::npos) << text;
        namesTheSession |= text.find("session " + l.session) != std::string::npos;
    }
    EXPECT_TRUE(namesTheSession);
}

TEST_F(LoginSession, StampWrapsWithTheTickCounter) {
    g_now = 0xFFFFF000u;
    Login l = login();
    g_now = 0x00001000u;  // 8 seconds later, across the wrap
    EXPECT_TRUE(verify(cookieOf(l).c_str()).first);
}

TEST_F(LoginSession, ForgedCookiesTakeTheTimeoutPathAndTouchNoFile) {
    Login l = login();
    std::string tampered = l.key;
    tampered[5] = tampered[5] == '9' ? '0' : static_cast<char>(tampered[5] + 1);
    const std::string stamp = "; stamp=" + l.stamp;
    const std::vector<std::string> cookies = {
        "session=" + l.session + "; key=" + tampered + stamp,
        "session=" + l.session + "; key=" + l.key + "0" + stamp,
        "session=" + l.session + "; key=" + stamp,
        "session=" + l.session + stamp,
        "session=../../etc/passwd; key=" + l.key + stamp,
        "session=0" + l.session + "; key=" + l.key + stamp,
        "session=-1; key=" + l.key + stamp,
        "session=32768; key=" + l.key + stamp,
        "session=1 2; key=" + l.key + stamp,
        "session=%2e%2e; key=" + l.key + stamp,
        "key=" + l.key + stamp,
        "Session=" + l.session + "; Key=" + l.key + stamp,  // names are case-sensitive
        "",
    };
    for (const std::string& cookie : cookies) {
        auto [ok, page] = verify(cookie.c_str());
        EXPECT_FALSE(ok) << cookie;
        EXPECT_NE(page.find(kTimeoutPage), std::string::npos) << cookie;
    }
    EXPECT_FALSE(verify(nullptr).first);
    EXPECT_EQ(keyFiles(), std::vector<std::string>{".key_" + l.session});
    // The real session still works afterwards.
    EXPECT_TRUE(verify(cookieOf(l).c_str()).first);
}

TEST_F(LoginSession, IdleKeyFilesAreRemovedByAnyVerification) {
    Login idle = login();
    g_now += 30'000;
    Login active = login();
    env_.writeFile("home/TEMP/.key_77", "short");  // a record that cannot be read in full
    g_now += 30'001;  // idle's file is now older than the period, active's is not
    EXPECT_TRUE(verify(cookieOf(active).c_str()).first);
    EXPECT_EQ(keyFiles(), std::vector<std::string>{".key_" + active.session});
    // The idle session itself: its file is gone before its key is looked up.
    auto [ok, page] = verify(cookieOf(idle).c_str());
    EXPECT_FALSE(ok);
    EXPECT_EQ(page, std::string(" \n") + kTimeoutPage);
}

TEST_F(LoginSession, CookieExistTellsTheLoginPageAboutDeadSessions) {
    Login l = login();
    ::setenv("HTTP_COOKIE", cookieOf(l).c_str(), 1);
    EXPECT_FALSE(CookieExist());  // live session
    g_now += 60'001;
    EXPECT_TRUE(CookieExist());  // expired
    ::setenv("HTTP_COOKIE", ("session=" + l.session + "; key=1; stamp=" + l.stamp).c_str(), 1);
    EXPECT_TRUE(CookieExist());  // wrong key
    ::setenv("HTTP_COOKIE", "session=; key=; stamp=", 1);
    EXPECT_FALSE(CookieExist());  // what the logout page leaves behind
    ::unsetenv("HTTP_COOKIE");
    EXPECT_FALSE(CookieExist());
}

TEST_F(LoginSession, LogoutEmptiesTheCookiesAndEndsTheSession) {
    Login victim = login();
    Login l = login();
    auto logout = [](const std::string& cookie) {
        ::setenv("HTTP_COOKIE", cookie.c_str(), 1);
        std::ostringstream text;
        OutputStreamConverter out(ISO_8859_1, &text);
        ShowResetCookeHeader(out);
        return text.str();
    };
    // A browser without the right key cannot end somebody else's session.
    logout("session=" + victim.session + "; key=" + l.key);
    EXPECT_TRUE(verify(cookieOf(victim).c_str()).first);

    EXPECT_EQ(logout(cookieOf(l)),
              "Set-Cookie: session=;path=/norvel\r\n"
              "Set-Cookie: key=;path=/norvel\r\n"
              "Set-Cookie: stamp=;path=/norvel\r\n");
    EXPECT_FALSE(verify(cookieOf(l).c_str()).first);  // replaying the old cookies fails
    EXPECT_TRUE(verify(cookieOf(victim).c_str()).first);
}

TEST_F(LoginSession, MissingTimeoutTemplateIsReportedInOneLine) {
    ::unlink((env_.home() + "Web/html/timeout.htm").c_str());
    auto [ok, page] = verify("session=1; key=2");
    EXPECT_FALSE(ok);
    EXPECT_EQ(page, " \nLoad Page timeout.htm failed!!\n");
}

TEST(ParseCookieValue, TakesTheThreeSessionCookies) {
    struct Case {
        const char* header;
        const char* key;
        const char* stamp;
        const char* session;
    } cases[] = {
        {"session=12; key=345; stamp=678", "345", "678", "12"},
        {"key= 12", " 12", "", ""},     // the value keeps its leading space
        {"key=1; key=2", "2", "", ""},  // a later cookie overwrites
        {"Key=1; KEY=2; other=3", "", "", ""},
        {"key=a=b", "a=b", "", ""},
        {"key=\r\nx", "x", "", ""},
        {";;; session=5;", "", "", "5"},
        {"key", "", "", ""},
    };
    for (const Case& c : cases) {
        std::string header = c.header;
        static CookieValues values;
        ParseCookieValue(header.data(), &values);
        EXPECT_STREQ(values.key, c.key) << c.header;
        EXPECT_STREQ(values.stamp, c.stamp) << c.header;
        EXPECT_STREQ(values.session, c.session) << c.header;
    }
    // An item longer than the item buffer is cut, not overflowed.
    std::string header = "key=" + std::string(5000, '7');
    static CookieValues values;
    ParseCookieValue(header.data(), &values);
    EXPECT_EQ(std::string(values.key), std::string(kCookieItemMax - 4, '7'));
}

}  // namespace
