// Resource strings and language, platform families, and the server's address.
#include <arpa/inet.h>
#include <cgishare/resource.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "config/resource_testing.h"
#include "platform/host.h"
#include "support/test_env.h"

namespace {

class ResourceTest : public ::testing::Test {
  protected:
    void TearDown() override {
        freeResource();
        nvl::config::setResourceLibraryForTesting(nullptr);
    }

    static bool bind(const char* library) {
        freeResource();
        nvl::config::setResourceLibraryForTesting(library);
        return loadResource();
    }
};

TEST_F(ResourceTest, UnboundGivesEmptyStringsAndNeutralLanguage) {
    EXPECT_STREQ(getResourceString(1005), "");
    EXPECT_STREQ(getResourceLanguage(), "");
    EXPECT_EQ(getLANGID(), 0x400u);
    freeResource();  // nothing held: nothing happens
    EXPECT_STREQ(getResourceString(101), "");
}

TEST_F(ResourceTest, LanguageIdentifierFromStrings101And102) {
    const struct {
        const char* library;
        unsigned long expected;
    } cases[] = {
        {CGIRES_EN, 0x409},       // "0x09" and "1"
        {CGIRES_JA, 0x411},       // "0x11" and "1"
        {CGIRES_OCTAL, 0x411},    // "021" and "01"
        {CGIRES_DECIMAL, 0x809},  // "9" and "2"
        {CGIRES_NO_SUB, 0x411},   // "0x11" and "": sub-language 1
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(bind(c.library)) << c.library;
        EXPECT_EQ(getLANGID(), c.expected) << c.library;
        EXPECT_STREQ(getResourceLanguage(), "");
    }
}

TEST_F(ResourceTest, SecondLoadKeepsTheExistingBinding) {
    ASSERT_TRUE(bind(CGIRES_EN));
    const char* back = getResourceString(1005);
    EXPECT_STREQ(back, "Back");

    nvl::config::setResourceLibraryForTesting(CGIRES_JA);
    EXPECT_FALSE(loadResource());
    EXPECT_EQ(getResourceString(1005), back);  // the same library's own string
    EXPECT_EQ(getLANGID(), 0x409u);

    freeResource();
    EXPECT_STREQ(getResourceString(1005), "");
    EXPECT_TRUE(loadResource());
    EXPECT_EQ(getLANGID(), 0x411u);
}

TEST_F(ResourceTest, LibraryWithoutEntryStaysHeldButGivesNothing) {
    EXPECT_FALSE(bind(CGIRES_NO_ENTRY));
    EXPECT_STREQ(getResourceString(1005), "");
    EXPECT_EQ(getLANGID(), 0x400u);

    // The handle is still held: another library cannot be bound until it is freed.
    nvl::config::setResourceLibraryForTesting(CGIRES_EN);
    EXPECT_FALSE(loadResource());
    EXPECT_STREQ(getResourceString(1005), "");
    freeResource();
    EXPECT_TRUE(loadResource());
    EXPECT_STREQ(getResourceString(1005), "Back");
}

TEST_F(ResourceTest, MissingLibraryFailsAndLeavesNothingBound) {
    EXPECT_FALSE(bind("/nonexistent/CGIRes.dll"));
    EXPECT_STREQ(getResourceString(1005), "");
    nvl::config::setResourceLibraryForTesting(CGIRES_EN);
    EXPECT_TRUE(loadResource());
}

TEST_F(ResourceTest, JapaneseStringsAreInCodePage932) {
    ASSERT_TRUE(bind(CGIRES_JA));
    // "閉じる"
    EXPECT_STREQ(getResourceString(1004), "\x95\xc2\x82\xb6\x82\xe9");
    // "Norvel 管理コンソール": the trail byte of "ソ" is 0x5C and must survive as it is.
    EXPECT_STREQ(getResourceString(2011),
                 "Norvel \x8a\xc7\x97\x9d\x83R\x83\x93\x83\\\x81[\x83\x8b");
    EXPECT_STREQ(getResourceString(99999), "");  // a number the library lacks
}

TEST_F(ResourceTest, BothLanguagesHoldEveryStringThePagesUse) {
    const int ids[] = {101,  102,  1003, 1004, 1005, 2001, 2002, 2003, 2004,
                       2005, 2011, 2012, 2021, 2031, 4000, 4001, 4002, 4003,
                       4004, 5341, 5342, 5343, 5344, 5345, 5346, 5347, 5348};
    for (const char* library : {CGIRES_EN, CGIRES_JA}) {
        ASSERT_TRUE(bind(library)) << library;
        for (int id : ids)
            EXPECT_STRNE(getResourceString(id), "") << library << " string " << id;
    }
}

TEST(PlatformTypeTest, FamilyByNameWithLeadingSpace) {
    const struct {
        const char* name;
        int expected;
    } cases[] = {
        {"Windows NT", 1},  {"Windows NT 98", 1},  // NT wins when both appear
        {"Windows 95", 2},  {"Windows 98", 2},
        {"WinNT", 0},       {"Windows nt", 0},  // case-sensitive, space required
        {"Windows2000", 0}, {"", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(getPlatformType(const_cast<char*>(c.name)), c.expected) << c.name;
    EXPECT_EQ(getPlatformType(nullptr), 0);
}

// Runs in <root>/cgi/bin so that "../../nvlscan.ini" is <root>/nvlscan.ini, as a page runs
// two levels below the home directory.
class AddressTest : public ::testing::Test {
  protected:
    void SetUp() override {
        env_.writeFile("cgi/bin/.keep", "");
        char* cwd = ::getcwd(nullptr, 0);
        saved_ = cwd;
        std::free(cwd);
        ASSERT_EQ(::chdir((env_.root() + "/cgi/bin").c_str()), 0);
        const char* https = std::getenv("HTTPS");
        hadHttps_ = https != nullptr;
        if (hadHttps_)
            savedHttps_ = https;
        std::string host;
        if (!nvl::sys::hostName(&host) || !nvl::sys::firstIPv4Address(host, &address_))
            GTEST_SKIP() << "the host name has no IPv4 address here";
    }
    void TearDown() override {
        EXPECT_EQ(::chdir(saved_.c_str()), 0);
        if (hadHttps_) {
            ::setenv("HTTPS", savedHttps_.c_str(), 1);
        } else {
            ::unsetenv("HTTPS");
        }
    }

    nvl::test::TestEnv env_;
    std::string saved_, savedHttps_, address_;
    bool hadHttps_ = false;
};

TEST_F(AddressTest, PortFollowsTheRequestSchemeAndServerIni) {
    const struct {
        const char* https;  // null: unset
        const char* ini;    // null: no nvlscan.ini
        const char* suffix;
    } cases[] = {
        {nullptr, nullptr, ""},
        {"ON", nullptr, ":443"},
        {"on", nullptr, ":443"},
        {"oN", "[INI_SERVER_SECTION]\nMaster_SSLPort=8443\nMaster_DomainPort=8080\n", ":8443"},
        {"off", "[INI_SERVER_SECTION]\nMaster_SSLPort=8443\nMaster_DomainPort=8080\n", ":8080"},
        {nullptr, "[INI_SERVER_SECTION]\nMaster_DomainPort=80\n", ""},
        {"on", "[INI_SERVER_SECTION]\nMaster_SSLPort=80\n", ""},
        {nullptr, "[INI_SERVER_SECTION]\nMaster_DomainPort=abc\n", ":0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("HTTPS=") + (c.https ? c.https : "(unset)") +
                     " ini=" + (c.ini ? c.ini : "(none)"));
        if (c.https != nullptr) {
            ::setenv("HTTPS", c.https, 1);
        } else {
            ::unsetenv("HTTPS");
        }
        ::unlink((env_.root() + "/nvlscan.ini").c_str());
        if (c.ini != nullptr)
            env_.writeFile("nvlscan.ini", c.ini);

        char narrow[64] = "untouched";
        ASSERT_EQ(getIPAddr(narrow), 1);
        EXPECT_EQ(std::string(narrow), address_ + c.suffix);

        char16_t wide[64] = u"untouched";
        ASSERT_EQ(getIPAddrW(wide), 1);
        EXPECT_EQ(std::u16string(wide), std::u16string(narrow, narrow + std::strlen(narrow)));
    }
    in_addr parsed{};
    EXPECT_EQ(::inet_pton(AF_INET, address_.c_str(), &parsed), 1) << address_;
}

}  // namespace
