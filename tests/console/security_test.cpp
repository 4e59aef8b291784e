// The console's request checks: digests against the standards' vectors, the server secret's
// file rules (also when several processes make it at once), form tokens, the origin check,
// and the script hashes of the pages' policy.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "crypto.h"
#include "security.h"
#include "support/child_process.h"
#include "support/test_env.h"

namespace {

using nvl::test::TestEnv;

std::string hexOf(const console::Sha256Digest& digest) {
    return console::hex(digest.data(), digest.size());
}

TEST(Digests, MatchTheStandardVectors) {
    // FIPS 180-4 examples.
    EXPECT_EQ(hexOf(console::sha256("")),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hexOf(console::sha256("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hexOf(console::sha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hexOf(console::sha256(std::string(1000000, 'a'))),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // RFC 4231 test cases 1, 2 and 6 (a key longer than the block).
    EXPECT_EQ(hexOf(console::hmacSha256(std::string(20, '\x0b'), "Hi There")),
              "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    EXPECT_EQ(hexOf(console::hmacSha256("Jefe", "what do ya want for nothing?")),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(hexOf(console::hmacSha256(std::string(131, '\xaa'),
                                        "Test Using Larger Than Block-Size Key - Hash Key First")),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
    // RFC 4648 section 10.
    const std::pair<const char*, const char*> kBase64[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : kBase64) {
        std::string text = plain;
        EXPECT_EQ(console::base64(reinterpret_cast<const unsigned char*>(text.data()), text.size()),
                  encoded);
    }
}

TEST(ContentSecurityPolicy, AllowsExactlyTheLibrarysScriptsByHash) {
    std::string html =
        "<SCRIPT language=\"JavaScript\">\nwindow.onload = 1;\n</SCRIPT>\n<p>x</p>"
        "<script>alert('Hello, world.');</Script>";
    std::vector<std::string> scripts = console::inlineScripts(html);
    ASSERT_EQ(scripts.size(), 2u);
    EXPECT_EQ(scripts[0], "\nwindow.onload = 1;\n");
    std::string policy = console::contentSecurityPolicy({scripts[1]});
    // The hash the CSP standard gives for this script.
    EXPECT_NE(
        policy.find("script-src 'self' 'sha256-qznLcsROx4GACP2dm0UCKCzCG+HiZ1guq6ZZDob/Tng='"),
        std::string::npos);
    for (const char* directive : {"frame-ancestors 'none'", "form-action 'self'",
                                  "object-src 'none'", "base-uri 'none'", "default-src 'none'"})
        EXPECT_NE(policy.find(directive), std::string::npos) << directive;
    EXPECT_EQ(policy.find("unsafe"), std::string::npos);
    // An unterminated element is not a script.
    EXPECT_TRUE(console::inlineScripts("<script>never closed").empty());
}

// Sets variables for one scope and puts the old values back.
class Environment {
  public:
    void set(const char* name, const char* value) {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~Environment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                unsetenv(it->first.c_str());
        }
    }

  private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(Origin, OnlyTheConsoleItselfCounts) {
    struct Case {
        const char* origin;
        const char* referer;
        bool accepted;
    };
    const Case kCases[] = {
        {"http://console.test:8080", nullptr, true},
        {"https://console.test:8080", nullptr, true},
        {"http://console.test:8080", "http://evil.test/", true},  // Origin decides
        {"http://evil.test", "http://console.test:8080/norvel/", false},
        {"http://console.test:8081", nullptr, false},
        {"http://console.test:8080.evil.test", nullptr, false},
        {"null", nullptr, false},
        {nullptr, "http://console.test:8080/norvel/cgi/home.cgi", true},
        {nullptr, "http://console.test:8080.evil.test/", false},
        {nullptr, "http://console.test:8080", false},
        {nullptr, nullptr, false},
    };
    for (const Case& c : kCases) {
        Environment env;
        env.set("HTTP_HOST", "console.test:8080");
        env.set("HTTP_ORIGIN", c.origin);
        env.set("HTTP_REFERER", c.referer);
        EXPECT_EQ(console::fromConsole(), c.accepted)
            << (c.origin ? c.origin : "-") << " " << (c.referer ? c.referer : "-");
    }
    Environment env;
    env.set("HTTP_HOST", nullptr);
    env.set("HTTP_ORIGIN", "http://");
    EXPECT_FALSE(console::fromConsole());
}

TEST(FormToken, IsBoundToTheSessionAndComparedWhole) {
    TestEnv world;
    Environment env;
    env.set("HTTP_HOST", "127.0.0.1:1");
    env.set("HTTP_ORIGIN", "http://127.0.0.1:1");
    env.set("REQUEST_METHOD", "POST");
    env.set("HTTP_COOKIE", "session=12; key=123456789; stamp=1");
    std::string token = console::formToken("123456789");
    ASSERT_EQ(token.size(), 64u);
    EXPECT_NE(token, console::formToken("123456788"));
    EXPECT_TRUE(console::tokenAccepted(token));
    EXPECT_FALSE(console::tokenAccepted(token.substr(0, 63)));
    EXPECT_FALSE(console::tokenAccepted(""));
    env.set("HTTP_COOKIE", "session=12; key=123456788");
    EXPECT_FALSE(console::tokenAccepted(token)) << "another session's token";
    env.set("HTTP_COOKIE", "session=12; key=123456789");
    env.set("REQUEST_METHOD", "GET");
    EXPECT_FALSE(console::tokenAccepted(token)) << "only a POST changes something";
    env.set("REQUEST_METHOD", "POST");
    env.set("HTTP_ORIGIN", "http://evil.test");
    EXPECT_FALSE(console::tokenAccepted(token));
}

TEST(ServerSecret, IsMadeOnceEvenByProcessesRacingAndRefusedWhenOthersCouldReadIt) {
    TestEnv world;
    std::string path = world.home() + "private/console.key";
    // Eight processes make the secret at once; all must end up with the same one.
    std::vector<std::unique_ptr<nvl::test::Child>> children;
    nvl::test::Channel go;
    std::string parentSecret;
    for (int i = 0; i < 8; ++i) {
        children.push_back(std::make_unique<nvl::test::Child>([&] {
            if (go.take() == '\0')
                return 2;
            std::string secret = console::serverSecret();
            std::string stored = nvl::test::readFile(path);
            return secret.size() == 32 && secret == stored ? 0 : 1;
        }));
    }
    for (int i = 0; i < 8; ++i)
        go.post();
    for (auto& child : children)
        EXPECT_EQ(child->wait(), 0);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(console::serverSecret(), nvl::test::readFile(path));

    // A secret others could read is not trusted, nor is one behind a symbolic link.
    TestEnv other;
    std::string planted = other.writeFile("home/private/console.key", std::string(32, 'k'));
    ::chmod((other.home() + "private").c_str(), 0700);
    ::chmod(planted.c_str(), 0644);
    EXPECT_EQ(console::serverSecret(), "");
    EXPECT_EQ(console::formToken("123"), "");
    ::unlink(planted.c_str());
    std::string target = other.writeFile("elsewhere", std::string(32, 'k'));
    ::chmod(target.c_str(), 0600);
    ASSERT_EQ(::symlink(target.c_str(), planted.c_str()), 0);
    EXPECT_EQ(console::serverSecret(), "");
}

}  // namespace
