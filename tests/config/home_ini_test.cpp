// The home directory from the registry and the INI accessors on nvlscan.ini.
#include <cgishare/config.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/registry.h"
#include "support/child_process.h"
#include "support/test_env.h"

namespace {

using nvl::sys::RegHive;
using nvl::sys::RegistryKey;
using nvl::test::readFile;
using nvl::test::TestEnv;

constexpr char kInformationKey[] = "SOFTWARE\\HaldenLabs\\Norvel\\service\\Information";

class HomeIniTest : public ::testing::Test {
  protected:
    void setLocalPath(const std::string& value) {
        RegistryKey key;
        ASSERT_EQ(RegistryKey::create(RegHive::LocalMachine, kInformationKey, &key), 0u);
        ASSERT_EQ(key.setString("Local_Path", value), 0u);
    }
    std::string homeDir(unsigned long size = 260) {
        std::string buffer(size, '#');
        if (getHomeDir(buffer.data(), size) != 1)
            return "<failed>";
        return buffer.c_str();
    }
    TestEnv env_;
};

TEST_F(HomeIniTest, HomeDirEndsInExactlyOneSeparator) {
    const struct {
        const char* stored;
        const char* expected;
    } cases[] = {
        {"/srv/norvel///", "/srv/norvel/"},
        {"/srv/norvel", "/srv/norvel/"},
        {"/srv/norvel/", "/srv/norvel/"},
        {"", "/"},
        {"/srv/norvel\\\\/\\", "/srv/norvel/"},
        {"/srv/a\\b", "/srv/a\\b/"},  // only the trailing run is touched
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        setLocalPath(c.stored);
        EXPECT_EQ(homeDir(), c.expected);
    }
}

TEST_F(HomeIniTest, HomeDirSeesAnotherProcessChangeAtTheNextCall) {
    // Values of one length, written back to back: only the file's identity tells them apart.
    setLocalPath("/srv/aaaa");
    EXPECT_EQ(homeDir(), "/srv/aaaa/");
    nvl::test::Child writer([] {
        RegistryKey key;
        return RegistryKey::open(RegHive::LocalMachine, kInformationKey, &key) == 0 &&
                       key.setString("Local_Path", "/srv/bbbb") == 0
                   ? 0
                   : 1;
    });
    ASSERT_EQ(writer.wait(), 0);
    EXPECT_EQ(homeDir(), "/srv/bbbb/");
}

TEST_F(HomeIniTest, HomeDirFailsRatherThanLoseItsSeparator) {
    setLocalPath("/srv/norvel");  // "/srv/norvel/" needs 13 bytes with the terminator
    EXPECT_EQ(homeDir(13), "/srv/norvel/");
    EXPECT_EQ(homeDir(12), "<failed>");
    EXPECT_EQ(getHomeDir(nullptr, 64), 0);
}

TEST_F(HomeIniTest, HomeDirFailsWithoutKeyOrValue) {
    RegistryKey key;
    ASSERT_EQ(RegistryKey::open(RegHive::LocalMachine, kInformationKey, &key), 0u);
    ASSERT_EQ(key.deleteValue("Local_Path"), 0u);
    EXPECT_EQ(homeDir(), "<failed>");
    ASSERT_EQ(RegistryKey::deleteKey(RegHive::LocalMachine, kInformationKey), 0u);
    EXPECT_EQ(homeDir(), "<failed>");
}

TEST_F(HomeIniTest, AccessorsUseNvlscanIniInTheHomeDirectory) {
    env_.writeFile("home/nvlscan.ini",
                   "[INI_SERVER_SECTION]\r\nMaster_URL=/console/\r\nEmpty=\r\nNeg=-17x\r\n"
                   "Num=12abc\r\n[SERVER]\r\nMaster_URL=wrong section\r\n");
    char section[] = "INI_SERVER_SECTION";
    char url[] = "Master_URL";
    char dflt[] = "/norvel/";
    char value[256];
    EXPECT_EQ(getINIString(value, section, url, dflt, sizeof value, nullptr), 9u);
    EXPECT_STREQ(value, "/console/");

    const struct {
        const char* key;
        int expected;
    } ints[] = {{"Empty", 0}, {"Absent", 30}, {"Neg", -17}, {"Num", 12}, {"Master_URL", 0}};
    for (const auto& c : ints) {
        SCOPED_TRACE(c.key);
        std::string key = c.key;
        EXPECT_EQ(getINIint(section, key.data(), 30, nullptr), c.expected);
    }

    char newKey[] = "Cookie_Expire_Period";
    char newValue[] = "45";
    EXPECT_EQ(writeINIString(section, newKey, newValue, nullptr), 1);
    EXPECT_EQ(getINIint(section, newKey, 30, nullptr), 45);
    EXPECT_NE(readFile(env_.home() + "nvlscan.ini").find("Cookie_Expire_Period=45\r\n[SERVER]"),
              std::string::npos);
    EXPECT_EQ(writeINIString(section, newKey, nullptr, nullptr), 1);
    EXPECT_EQ(getINIint(section, newKey, 30, nullptr), 30);
}

TEST_F(HomeIniTest, ExplicitPathIsUsedAsGiven) {
    std::string path = env_.writeFile("other/server.ini", "[PATTERN]\nVersion=1.2\n");
    char section[] = "PATTERN";
    char key[] = "Version";
    char value[16];
    EXPECT_EQ(getINIString(value, section, key, nullptr, sizeof value, path.data()), 3u);
    EXPECT_STREQ(value, "1.2");
    char cut[3];
    EXPECT_EQ(getINIString(cut, section, key, nullptr, sizeof cut, path.data()), 2u);
    EXPECT_STREQ(cut, "1.");
}

TEST_F(HomeIniTest, WithoutHomeTheBareNameIsUsed) {
    ASSERT_EQ(RegistryKey::deleteKey(RegHive::LocalMachine, kInformationKey), 0u);
    // A bare file name lives in the system directory, beside the registry file.
    env_.writeFile("etc/nvlscan.ini", "[INI_SERVER_SECTION]\nMaster_URL=/system/\n");
    char section[] = "INI_SERVER_SECTION";
    char key[] = "Master_URL";
    char value[64];
    getINIString(value, section, key, nullptr, sizeof value, nullptr);
    EXPECT_STREQ(value, "/system/");
    char port[] = "Master_SSLPort";
    char v443[] = "443";
    EXPECT_EQ(writeINIString(section, port, v443, nullptr), 1);
    EXPECT_EQ(readFile(env_.root() + "/etc/nvlscan.ini"),
              "[INI_SERVER_SECTION]\nMaster_URL=/system/\nMaster_SSLPort=443\n");
}

TEST_F(HomeIniTest, HomeDirComesInTheAnsiCodePageAndStillNamesTheFiles) {
    // The default code page, 1252: "café" is one byte shorter, and the INI path built from it
    // still reaches the file.
    env_.writeFile("home/caf\xC3\xA9/nvlscan.ini", "[S]\r\nK=found\r\n");
    setLocalPath(env_.root() + "/home/caf\xC3\xA9");
    EXPECT_EQ(homeDir(), env_.root() + "/home/caf\xE9/");
    char section[] = "S";
    char key[] = "K";
    char value[16];
    getINIString(value, section, key, nullptr, sizeof value, nullptr);
    EXPECT_STREQ(value, "found");
}

TEST_F(HomeIniTest, HomeDirKeepsADoubleByteCharacterEndingIn5C) {
    // The code page is fixed at a process's first conversion, so this runs in a fresh process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            RegistryKey nls;
            RegistryKey::create(RegHive::LocalMachine,
                                "SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", &nls);
            nls.setString("ACP", "932");
            // U+8868 is 95 5C in code page 932: its second byte is a backslash.
            env_.writeFile("home/\xE8\xA1\xA8/nvlscan.ini", "[S]\r\nK=found\r\n");
            setLocalPath(env_.root() + "/home/\xE8\xA1\xA8\\");
            bool homeOk = homeDir() == env_.root() + "/home/\x95\x5C/";
            char section[] = "S";
            char key[] = "K";
            char value[16];
            getINIString(value, section, key, nullptr, sizeof value, nullptr);
            std::exit(homeOk && std::string(value) == "found" ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
