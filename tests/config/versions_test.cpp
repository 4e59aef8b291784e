// The component version records of [INI_PROGRAM_VERSION_SECTION] (the system locale is en-US
// here: dates show as M/d/yyyy H:mm:ss).
#include <cgishare/versions.h>
#include <gtest/gtest.h>

#include <string>

#include "support/test_env.h"

namespace {

using nvl::test::TestEnv;

using FourOutputs = void (*)(char*, char*, char*, char*);

class VersionsTest : public ::testing::Test {
  protected:
    void writeVersions(const std::string& entries) {
        env_.writeFile("home/nvlscan.ini",
                       "[INI_SERVER_SECTION]\r\nMaster_URL=/norvel/\r\n\r\n"
                       "[INI_PROGRAM_VERSION_SECTION]\r\n" +
                           entries + "\r\n[INI_DBFILE_SECTION]\r\n");
    }
    TestEnv env_;
};

TEST_F(VersionsTest, EachPlatformReadsItsOwnKeys) {
    // Every key holds a different value, so a reader that reads a neighbour's key shows it.
    writeVersions(
        "VdxNT_Version=nt-client\r\nVdxNT_Last_Update=20060101010101\r\n"
        "EngineNT_Version=8.0\r\nEngineNT_Last_Update=20060831094107\r\n"
        "Vdx95_Version=95-client\r\nVdx95_Last_Update=20060202020202\r\n"
        "Engine95_Version=95-engine\r\nEngine95_Last_Update=20060303030303\r\n"
        "Vdxw16_Version=16-client\r\nVdxw16_Last_Update=20060404040404\r\n"
        "Engine31_Version=31-engine\r\nEngine31_Last_Update=20060505050505\r\n"
        "VdxX64_Version=x64-client\r\nVdxX64_Last_Update=20060606060606\r\n"
        "EngineX64_Version=x64-engine\r\nEngineX64_Last_Update=20060707070707\r\n"
        "VdxIA64_Version=ia64-client\r\nVdxIA64_Last_Update=2006080808080\r\n"  // 13 digits
        "EngineIA64_Version=ia64-engine\r\n");                                  // no date
    const struct {
        const char* name;
        FourOutputs reader;
        const char* clientVersion;
        const char* clientDate;
        const char* engineVersion;
        const char* engineDate;
    } cases[] = {
        {"NT", getNTVersion, "nt-client", "1/1/2006 1:01:01", "8.0", "8/31/2006 9:41:07"},
        {"95", getWin95Version, "95-client", "2/2/2006 2:02:02", "95-engine", "3/3/2006 3:03:03"},
        {"16", getWin16Version, "16-client", "4/4/2006 4:04:04", "31-engine", "5/5/2006 5:05:05"},
        {"X64", getX64Version, "x64-client", "6/6/2006 6:06:06", "x64-engine", "7/7/2006 7:07:07"},
        {"IA64", getIA64Version, "ia64-client", "", "ia64-engine", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char clientVersion[256] = "stale", clientDate[256] = "stale";
        char engineVersion[256] = "stale", engineDate[256] = "stale";
        c.reader(clientVersion, clientDate, engineVersion, engineDate);
        EXPECT_STREQ(clientVersion, c.clientVersion);
        EXPECT_STREQ(clientDate, c.clientDate);
        EXPECT_STREQ(engineVersion, c.engineVersion);
        EXPECT_STREQ(engineDate, c.engineDate);
        // A page that shows only the engine passes nothing for the client.
        std::string engineOnly(256, '#');
        c.reader(nullptr, nullptr, nullptr, engineOnly.data());
        EXPECT_STREQ(engineOnly.c_str(), c.engineDate);
    }
}

TEST_F(VersionsTest, ServerFirewallAndPattern) {
    writeVersions(
        "Program_Version=3.5\r\nProgram_Last_Update=20061215094107\r\n"
        "CFWEngNT_Version=1.2.1004\r\nCFWEngNT_Last_Update=2006121509410X\r\n"
        "Pattern_Last_Update=20060832000000\r\n");
    char version[256], date[256];
    getMiscVersion(version, date);
    EXPECT_STREQ(version, "3.5");
    EXPECT_STREQ(date, "12/15/2006 9:41:07");
    getPfwNTVersion(version, date);
    EXPECT_STREQ(version, "1.2.1004");
    EXPECT_STREQ(date, "");
    getPatternDate(date);
    EXPECT_STREQ(date, "9/1/2006 0:00:00");
    getPatternDate(nullptr);
}

TEST_F(VersionsTest, MissingFileAndLongVersions) {
    char version[256] = "stale", date[256] = "stale";
    getMiscVersion(version, date);
    EXPECT_STREQ(version, "");
    EXPECT_STREQ(date, "");

    // A version longer than the output keeps its first 255 bytes and stays inside the 256.
    writeVersions("Program_Version=" + std::string(300, 'v'));
    std::string out(257, '#');
    getMiscVersion(out.data(), date);
    EXPECT_EQ(std::string(out.c_str()), std::string(255, 'v'));
    EXPECT_EQ(out.back(), '#');
}

}  // namespace
