// The cleaner's settings file, the pattern directory made absolute, the version minimum and
// the 260-byte fields.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "cleaner/cleaner.h"
#include "cleaner/cleaner_settings.h"
#include "support/test_env.h"

namespace {

using nvl::cleaner::CleanerIniOptions;
using nvl::cleaner::CleanerSettings;
using nvl::test::TestEnv;

std::string cwd() {
    char buffer[4096];
    return ::getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

class CleanerSettingsTest : public ::testing::Test {
  protected:
    // Loads `ini` (null: no file) for the library directory <root>/Admin.
    uint32_t load(const char* ini) {
        std::string dir = env_.root() + "/Admin";
        std::string path = dir + "/QXC.INI";
        ::unlink(path.c_str());
        if (ini != nullptr)
            env_.writeFile("Admin/QXC.INI", ini);
        settings_ = CleanerSettings{};
        options_ = CleanerIniOptions{};
        options_.settings = &settings_;
        EXPECT_TRUE(nvl::cleaner::setField(settings_.libraryDir, dir));
        EXPECT_TRUE(nvl::cleaner::setField(settings_.settingsPath, path));
        return nvl::cleaner::loadSettingsFile(&options_);
    }

    TestEnv env_;
    CleanerSettings settings_;
    CleanerIniOptions options_;
};

TEST_F(CleanerSettingsTest, ValuesAndDefaults) {
    std::string admin = env_.root() + "/Admin";
    const struct {
        const char* name;
        const char* ini;
        // extraOutputs|reportDir|backupDir|debugLogDir|patternName
        const char* texts;
        // disableConsole disableReport disableDebug backupFile virusMsgbox noneMsgbox level
        const char* numbers;
    } cases[] = {
        {"no file", nullptr, "|report|backup|debug|qxc.ptn", "0 0 0 0 0 0 0"},
        {"empty keys keep the defaults",
         "[advanced]\nExtraOutputs=\nReportDir=\nDisableDebugOutput=\nDebugInfoLevel=\n"
         "[options]\nBackupDir=\nDebugLogDir=\nPatternDir=\n",
         "|report|backup|debug|qxc.ptn", "0 0 0 0 0 0 0"},
        {"every key",
         "[advanced]\nExtraOutputs=a.txt\nDisableConsoleOutput=1\nPatternName=other.ptn\n"
         "DisableReportOutput=1\nDisableDebugOutput=1\nDebugInfoLevel=5\nReportDir=rep\n"
         "[options]\nBackupFile=1\nBackupDir=bak\nDebugLogDir=dbg\nVirusMsgbox=1\n"
         "NoneMsgbox=1\n",
         "a.txt|rep|bak|dbg|other.ptn", "1 1 1 1 1 1 5"},
        {"only the first character of a switch counts",
         "[advanced]\nDisableDebugOutput=1x\nDisableConsoleOutput=01\n"
         "[options]\nVirusMsgbox=yes\n",
         "|report|backup|debug|qxc.ptn", "0 0 1 0 0 0 0"},
        {"a level above 5 is not kept", "[advanced]\nDebugInfoLevel=7\n",
         "|report|backup|debug|qxc.ptn", "0 0 0 0 0 0 0"},
        {"nor a negative one", "[advanced]\nDebugInfoLevel=-1\n", "|report|backup|debug|qxc.ptn",
         "0 0 0 0 0 0 0"},
        {"a level is read as a decimal number", "[advanced]\nDebugInfoLevel=3rd\n",
         "|report|backup|debug|qxc.ptn", "0 0 0 0 0 0 3"},
        {"keys of the other section are not read",
         "[options]\nDisableDebugOutput=1\nPatternName=x.ptn\n[advanced]\nBackupFile=1\n",
         "|report|backup|debug|qxc.ptn", "0 0 0 0 0 0 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(load(c.ini), nvl::cleaner::kCleanerOk);
        std::string texts = std::string(options_.extraOutputs) + "|" + options_.reportDir + "|" +
                            options_.backupDir + "|" + options_.debugLogDir + "|" +
                            options_.patternName;
        EXPECT_EQ(texts, c.texts);
        std::string numbers =
            std::to_string(options_.disableConsoleOutput) + " " +
            std::to_string(options_.disableReportOutput) + " " +
            std::to_string(options_.disableDebugOutput) + " " +
            std::to_string(options_.backupFile) + " " + std::to_string(options_.virusMsgbox) + " " +
            std::to_string(options_.noneMsgbox) + " " + std::to_string(options_.debugInfoLevel);
        EXPECT_EQ(numbers, c.numbers);
        EXPECT_STREQ(settings_.patternName, options_.patternName);
        EXPECT_STREQ(settings_.patternDir, admin.c_str());
        EXPECT_STREQ(options_.fullPatternDir, admin.c_str());
    }
}

TEST_F(CleanerSettingsTest, PatternDirectoryIsMadeAbsolute) {
    std::string here = cwd();
    ASSERT_FALSE(here.empty());
    std::string parent = here.substr(0, here.rfind('/'));
    if (parent.empty())
        parent = "/";
    const struct {
        std::string value, expected;
    } cases[] = {
        {"/srv/ptn", "/srv/ptn"},
        {"/srv//ptn/./x/../", "/srv/ptn"},
        {"ptn", here + "/ptn"},
        {"./ptn/sub", here + "/ptn/sub"},
        {"../ptn", parent + "/ptn"},
        {"ptn\\sub", here + "/ptn/sub"},
        {"/../..", "/"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(load(("[options]\nPatternDir=" + c.value + "\n").c_str()),
                  nvl::cleaner::kCleanerOk)
            << c.value;
        EXPECT_EQ(settings_.patternDir, c.expected) << c.value;
        EXPECT_EQ(options_.fullPatternDir, c.expected) << c.value;
    }
}

TEST_F(CleanerSettingsTest, APatternPathThatDoesNotFitFailsTheLoad) {
    // 259 characters fit a 260-byte field with the NUL; 260 do not. A cut directory or name
    // would name another file.
    std::string dir259 = "/" + std::string(258, 'd');
    EXPECT_EQ(load(("[options]\nPatternDir=" + dir259 + "\n").c_str()), nvl::cleaner::kCleanerOk);
    EXPECT_EQ(std::strlen(settings_.patternDir), 259u);
    EXPECT_EQ(load(("[options]\nPatternDir=" + dir259 + "d\n").c_str()),
              nvl::cleaner::kCleanerSettingsFailed);
    EXPECT_EQ(load(("[options]\nPatternDir=" + std::string(5000, 'd') + "\n").c_str()),
              nvl::cleaner::kCleanerSettingsFailed);
    EXPECT_EQ(load(("[advanced]\nPatternName=" + std::string(259, 'n') + "\n").c_str()),
              nvl::cleaner::kCleanerOk);
    EXPECT_EQ(load(("[advanced]\nPatternName=" + std::string(260, 'n') + "\n").c_str()),
              nvl::cleaner::kCleanerSettingsFailed);
    // Texts the library does not open are cut to their field, as the tool reads them.
    EXPECT_EQ(load(("[advanced]\nReportDir=" + std::string(300, 'r') + "\n").c_str()),
              nvl::cleaner::kCleanerOk);
    EXPECT_EQ(std::string(options_.reportDir), std::string(259, 'r'));
}

TEST(CleanerVersionTest, MinimumIsComparedAsNumbers) {
    const struct {
        const char* text;
        bool passes;
    } cases[] = {
        {"3.5", true},         {"4.0", true},    {"3.10", true},  {"10.0", true},
        {"65535.65535", true}, {"3.4", false},   {"0.9", false},  {"2.99", false},
        {"", false},           {"3", false},     {"3.", false},   {".5", false},
        {"3.5x", false},       {"x3.5", false},  {"3.-5", false}, {"65536.0", false},
        {"100000.0", false},   {"3.5.1", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(nvl::cleaner::versionMeetsMinimum(c.text), c.passes) << c.text;
    EXPECT_FALSE(nvl::cleaner::versionMeetsMinimum(nullptr));
}

TEST(CleanerFieldTest, TextsFitWithTheirNul) {
    char field[nvl::cleaner::kTextField];
    std::memset(field, 'x', sizeof field);
    EXPECT_TRUE(nvl::cleaner::setField(field, std::string(259, 'a')));
    EXPECT_EQ(field[259], '\0');
    EXPECT_FALSE(nvl::cleaner::setField(field, std::string(260, 'b')));
    EXPECT_EQ(field[0], 'a');  // left as it was
    EXPECT_FALSE(nvl::cleaner::setField(field, std::string("a\0b", 3)));
}

}  // namespace
