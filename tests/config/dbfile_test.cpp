// The paths of the database tables: defaults on drive C, stored paths, derived tables, and
// paths that do not fit.
#include <cgishare/dbfile.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/codepage.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "support/test_env.h"

namespace {

using nvl::test::TestEnv;

// The record's layout is what the programs that open the tables compiled against.
static_assert(offsetof(NvlDBFileCodeBase, name) == 0);
static_assert(offsetof(NvlDBFileCodeBase, path) == sizeof(void*));
static_assert(offsetof(NvlDBFileCodeBase, state) == sizeof(void*) + 260);
static_assert(sizeof(NvlDBFileCodeBase::state) == 4);

class DbFileTest : public ::testing::Test {
  protected:
    DbFileTest() : drive_(env_.root() + "/c") {
        const char* old = std::getenv("NVL_DRIVE_C");
        hadDrive_ = old != nullptr;
        if (hadDrive_)
            oldDrive_ = old;
        ::setenv("NVL_DRIVE_C", (drive_ + "/").c_str(), 1);  // its '/' is not doubled
    }
    ~DbFileTest() override {
        if (hadDrive_) {
            ::setenv("NVL_DRIVE_C", oldDrive_.c_str(), 1);
        } else {
            ::unsetenv("NVL_DRIVE_C");
        }
    }

    void writeIni(const std::string& entries, const std::string& file = "home/nvlscan.ini") {
        env_.writeFile(file,
                       "[INI_SERVER_SECTION]\r\nMaster_URL=/norvel/\r\n\r\n"
                       "[INI_DBFILE_SECTION]\r\n" +
                           entries + "\r\n[INI_FILTER_SECTION]\r\nFilter_Flag=0\r\n");
    }

    std::string dbFile(DataBaseType type, int size = 260, const char* iniPath = nullptr) {
        std::string buffer(static_cast<size_t>(size > 0 ? size : 1) + 1, '#');
        std::string ini = iniPath != nullptr ? iniPath : "";
        getDBFile(buffer.data(), size, type, iniPath != nullptr ? ini.data() : nullptr);
        EXPECT_EQ(buffer.back(), '#') << "written past the buffer";
        return buffer.c_str();
    }

    TestEnv env_;
    std::string drive_;
    std::string oldDrive_;
    bool hadDrive_ = false;
};

TEST_F(DbFileTest, DefaultsLiveOnDriveC) {
    writeIni("");
    const char* expected[] = {
        "/Temp/dBCIData.dbf", "/Temp/dBCEData.dbf", "/Temp/dBCXData.dbf", "/Temp/dBNTData.dbf",
        "/Temp/dBMSCfg.dbf",  "/Temp/dBPSCfg.dbf",  "/Temp/dBRTCfg.dbf",  "/Temp/dBSNCfg.dbf",
        "/Temp/dBEFCfg.dbf",  "/Temp/dBMSLog.dbf",  "/Temp/dBPSLog.dbf",  "/Temp/dBRTLog.dbf",
        "/Temp/dBSNLog.dbf",  "/dbtemp.dbf",        "/Temp/dBVCLog.dbf",
    };
    for (int type = 0; type <= DB_VC_LOG; ++type) {
        SCOPED_TRACE(type);
        EXPECT_EQ(dbFile(static_cast<DataBaseType>(type)), drive_ + expected[type]);
    }
    EXPECT_EQ(dbFile(static_cast<DataBaseType>(15)), "");
    EXPECT_EQ(dbFile(static_cast<DataBaseType>(-1)), "");
}

TEST_F(DbFileTest, DriveCDirectory) {
    ::unsetenv("NVL_DRIVE_C");
    EXPECT_EQ(nvl::sys::driveCDirectory(), "/var/lib/norvel/c");
    ::setenv("NVL_DRIVE_C", "", 1);
    EXPECT_EQ(nvl::sys::driveCDirectory(), "/var/lib/norvel/c");
    ::setenv("NVL_DRIVE_C", "/srv/c", 1);
    const struct {
        const char* windows;
        const char* mapped;
    } cases[] = {
        {"c:\\Temp\\dBCIData.dbf", "/srv/c/Temp/dBCIData.dbf"},
        {"C:/dbtemp.dbf", "/srv/c/dbtemp.dbf"},
        {"D:\\db\\x.dbf", "D:\\db\\x.dbf"},
        {"c:relative.dbf", "c:relative.dbf"},
        {"/srv/db/x.dbf", "/srv/db/x.dbf"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.windows);
        EXPECT_EQ(nvl::sys::mapDriveCPath(c.windows), c.mapped);
    }
}

TEST_F(DbFileTest, StoredPathsAreKeptAndNeighboursDerived) {
    const struct {
        const char* entries;
        DataBaseType type;
        std::string expected;
    } cases[] = {
        {"CIData=D:\\db\\dBCIData.dbf", DB_CI_DATA, "D:\\db\\dBCIData.dbf"},
        {"CIData=D:\\db\\dBCIData.dbf", DB_CX_DATA, "D:\\db\\dBCXData.dbf"},
        {"CIData=D:\\db\\dBCIData.dbf", DB_NT_DATA, "D:\\db\\dBNTData.dbf"},
        {"CIData=/srv/db/ci.dbf", DB_CX_DATA, "/srv/db/dBCXData.dbf"},
        {"CIData=/srv/db\\win/ci.dbf", DB_NT_DATA, "/srv/db\\win/dBNTData.dbf"},
        {"CIData=dBCIData.dbf", DB_CX_DATA, drive_ + "/Temp/dBCXData.dbf"},
        {"CIData=dBCIData.dbf\r\nCXData=/srv/cx.dbf", DB_CX_DATA, "/srv/cx.dbf"},
        {"MSLog=/var/db/ms.dbf", DB_VC_LOG, "/var/db/dBVCLog.dbf"},
        {"MSLog=/var/db/ms.dbf", DB_CX_DATA, drive_ + "/Temp/dBCXData.dbf"},
        {"TempDB=c:\\dbtemp.dbf", DB_TEMP_DB, "c:\\dbtemp.dbf"},  // as stored, not mapped
        {"CEData=", DB_CE_DATA, ""},  // present and empty is what is stored
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entries);
        writeIni(c.entries);
        EXPECT_EQ(dbFile(c.type), c.expected);
    }
}

TEST_F(DbFileTest, NeighbourComesFromTheServersOwnFile) {
    writeIni("CIData=/home-ini/ci.dbf\r\nMSLog=/home-ini/ms.dbf");
    writeIni("CIData=/other/ci.dbf\r\nMSLog=/other/ms.dbf\r\nNTData=/other/nt.dbf",
             "other/nvlscan.ini");
    std::string other = env_.root() + "/other/nvlscan.ini";
    EXPECT_EQ(dbFile(DB_CI_DATA, 260, other.c_str()), "/other/ci.dbf");
    EXPECT_EQ(dbFile(DB_NT_DATA, 260, other.c_str()), "/other/nt.dbf");
    // A derived table lives beside the server's own table, whatever file was named.
    EXPECT_EQ(dbFile(DB_CX_DATA, 260, other.c_str()), "/home-ini/dBCXData.dbf");
    EXPECT_EQ(dbFile(DB_VC_LOG, 260, other.c_str()), "/home-ini/dBVCLog.dbf");
    EXPECT_EQ(dbFile(DB_CX_DATA), "/home-ini/dBCXData.dbf");
}

TEST_F(DbFileTest, PathsThatDoNotFitGiveTheEmptyText) {
    writeIni("CIData=/db/ci.dbf\r\nMSLog=/a-long-directory-name/ms.dbf");
    // "/db/ci.dbf" is 10 characters: it needs 11 bytes.
    EXPECT_EQ(dbFile(DB_CI_DATA, 11), "/db/ci.dbf");
    EXPECT_EQ(dbFile(DB_CI_DATA, 10), "");
    // "/db/dBCXData.dbf" is 16; the neighbour it comes from is shorter.
    EXPECT_EQ(dbFile(DB_CX_DATA, 17), "/db/dBCXData.dbf");
    EXPECT_EQ(dbFile(DB_CX_DATA, 16), "");
    // "/a-long-directory-name/dBVCLog.dbf" is 34, the neighbour 29: the derived path counts.
    EXPECT_EQ(dbFile(DB_VC_LOG, 35), "/a-long-directory-name/dBVCLog.dbf");
    EXPECT_EQ(dbFile(DB_VC_LOG, 31), "");
    EXPECT_EQ(dbFile(DB_CI_DATA, 1), "");

    std::string untouched = "untouched";
    getDBFile(untouched.data(), 0, DB_CI_DATA, nullptr);
    getDBFile(untouched.data(), -5, DB_CI_DATA, nullptr);
    EXPECT_EQ(untouched, "untouched");
    getDBFile(nullptr, 260, DB_CI_DATA, nullptr);  // nothing to write into: no crash
}

TEST_F(DbFileTest, NeighbourIsCutAtWholeCharacters) {
    // In code page 932 U+8868 is 95 5C: its second byte looks like a backslash.
    nvl::sys::RegistryKey nls;
    ASSERT_EQ(
        nvl::sys::RegistryKey::create(nvl::sys::RegHive::LocalMachine,
                                      "SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", &nls),
        0u);
    ASSERT_EQ(nls.setString("ACP", "932"), 0u);
    nvl::sys::resetAnsiCodePageForTesting();
    writeIni("CIData=D:\\db\\\x95\x5C");
    EXPECT_EQ(dbFile(DB_CX_DATA), "D:\\db\\dBCXData.dbf");
    writeIni("CIData=D:\\\x95\x5C\\ci.dbf");
    EXPECT_EQ(dbFile(DB_NT_DATA), "D:\\\x95\x5C\\dBNTData.dbf");
    ASSERT_EQ(nls.deleteValue("ACP"), 0u);
    nvl::sys::resetAnsiCodePageForTesting();
}

TEST_F(DbFileTest, NvlDBFileObject) {
    writeIni("CIData=/home-ini/ci.dbf");
    writeIni("CIData=/other/ci.dbf", "other/nvlscan.ini");
    std::string withSlash = env_.root() + "/other/";
    std::string withoutSlash = env_.root() + "/other";
    const struct {
        const char* directory;
        DataBaseType type;
        std::string expected;
    } cases[] = {
        {nullptr, DB_CI_DATA, "/home-ini/ci.dbf"},
        {nullptr, DB_TEMP_DB, drive_ + "/dbtemp.dbf"},
        {withSlash.c_str(), DB_CX_DATA, "/home-ini/dBCXData.dbf"},
        {withoutSlash.c_str(), DB_CI_DATA, "/other/ci.dbf"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.directory != nullptr ? c.directory : "(home)");
        std::string directory = c.directory != nullptr ? c.directory : "";
        std::unique_ptr<NvlDBFileCodeBase> file(
            getNvlDBFile(c.type, c.directory != nullptr ? directory.data() : nullptr));
        ASSERT_NE(file, nullptr);
        EXPECT_STREQ(file->name, "");
        EXPECT_EQ(file->path, c.expected);
        EXPECT_EQ(file->state, 1);
    }
}

TEST_F(DbFileTest, NvlDBFileWithTooLongADirectoryHasNoPath) {
    // 244 characters and "nvlscan.ini" (11) make the longest INI path there is room for, 255.
    std::string fits = env_.root() + "/";
    fits += std::string(244 - fits.size() - 1, 'd') + "/";
    ASSERT_EQ(fits.size(), 244u);
    writeIni("CIData=/fits/ci.dbf", fits.substr(env_.root().size() + 1) + "nvlscan.ini");
    std::unique_ptr<NvlDBFileCodeBase> file(getNvlDBFile(DB_CI_DATA, fits.data()));
    ASSERT_NE(file, nullptr);
    EXPECT_STREQ(file->path, "/fits/ci.dbf");

    std::string tooLong = fits + "e/";
    file.reset(getNvlDBFile(DB_CI_DATA, tooLong.data()));
    ASSERT_NE(file, nullptr);
    EXPECT_STREQ(file->path, "");
    EXPECT_EQ(file->state, 1);
}

TEST_F(DbFileTest, ClientFilterFromTheIniAndTheCallersRequest) {
    env_.writeFile("home/nvlscan.ini",
                   "[INI_FILTER_SECTION]\r\nFilter_Flag=4\r\nComputer=pc-17\r\nDomain=lab\r\n"
                   "Client_type=2\r\nStart_Up=0\r\nIp_Address=192.0.2.7\r\n"
                   "[INI_PROGRAM_VERSION_SECTION]\r\nVdx95_Version=3.1\r\n"
                   "Engine95_Version=7.510\r\n");
    char upper[] = "500", lower[] = "300";
    std::string tooLong(64, '9');
    const struct {
        int mode;
        char* upperBound;
        char* lowerBound;
        uint32_t flags;
        int clientType, patternFrom, patternTo;
        bool startUp;
        const char* programFrom;
        const char* engineTo;
    } cases[] = {
        // A negative mode keeps the INI's configuration and ignores the bounds.
        {-1, upper, lower, 4, 2, 0, 0, false, "0.00", "7.510"},
        {0x408, upper, lower, 0x40C, 0, 300, 500, false, "0.00", "7.510"},
        {0x1C00, nullptr, nullptr, 0x1C04, 1, 0, 0, false, "0.00", "7.510"},
        {0x010, nullptr, lower, 0, 2, 0, 0, false, "0.00", "7.510"},
        {0x030, upper, lower, 0x030, 2, 0, 0, false, "300", "500"},
        {0x018, upper, nullptr, 0, 2, 0, 0, false, "0.00", "7.510"},
        {0x18000, nullptr, nullptr, 0x18080, 2, 0, 0, true, "0.00", "7.510"},
        {0x10000, nullptr, nullptr, 0x10080, 2, 0, 0, false, "0.00", "7.510"},
        // A bound longer than its field counts as missing.
        {0x010, tooLong.data(), lower, 0, 2, 0, 0, false, "0.00", "7.510"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        ClientFilter filter;
        std::memset(&filter, '#', sizeof filter);
        ASSERT_TRUE(getFilterConfig(&filter, c.mode, c.upperBound, c.lowerBound));
        EXPECT_EQ(filter.flags, c.flags);
        EXPECT_EQ(filter.clientType, c.clientType);
        EXPECT_EQ(filter.currentPattern, 0);  // no pattern file
        EXPECT_EQ(filter.one, 1);
        EXPECT_EQ(filter.patternFrom, c.patternFrom);
        EXPECT_EQ(filter.patternTo, c.patternTo);
        EXPECT_EQ(filter.startUp, c.startUp);
        EXPECT_STREQ(filter.computer, "pc-17");
        EXPECT_STREQ(filter.domain, "lab");
        EXPECT_STREQ(filter.ipAddress, "192.0.2.7");
        EXPECT_EQ(filter.callerText2[0], '\0');
        EXPECT_EQ(filter.callerText[0], '#');  // the caller's, untouched
        EXPECT_STREQ(filter.programFrom, c.programFrom);
        EXPECT_STREQ(filter.engineTo, c.engineTo);
    }
}

}  // namespace
