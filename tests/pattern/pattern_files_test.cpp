// Pattern files, versions and deletion, engine package versions, quarantine paths, and the
// update-log record of a pattern pushed through the hand-off; real processes where a pattern is
// copied in while others clean up and ask for the current one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cgishare/config.h>
#include <cgishare/guid_log.h>
#include <cgishare/pattern_files.h>
#include <cgishare/validation.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "pattern/pattern_files_internal.h"
#include "pattern/pattern_files_testing.h"
#include "pattern_format.h"
#include "platform/file.h"
#include "support/child_process.h"
#include "support/test_env.h"
#include "support/trace_capture.h"

namespace {

using nvl::test::Channel;
using nvl::test::Child;
using nvl::test::readFile;
using nvl::test::TestEnv;
using nvl::test::TraceCapture;

char* text(std::string& s) {
    return s.data();
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string patternBytes(uint32_t internalVersion, size_t bodyBytes = 64) {
    marlin32::PatternContent content;
    content.internalVersion = internalVersion;
    content.types = {{1, 2, "Trojan"}};
    content.extList = "{*;EXE;COM}";
    return marlin32::encodePattern(content, std::string(bodyBytes, 'b'));
}

void putPattern(const std::string& path, uint32_t internalVersion) {
    ASSERT_EQ(nvl::sys::replaceFileAtomically(path, patternBytes(internalVersion)), 0u) << path;
}

void putFile(const std::string& path, const std::string& bytes = "x") {
    ASSERT_EQ(nvl::sys::replaceFileAtomically(path, bytes), 0u) << path;
}

std::string createDate(const std::string& path) {
    std::string copy = path;
    char date[256] = {};
    GetFileCreateDate(copy.data(), date);
    return date;
}

bool contains(const std::vector<std::string>& texts, const std::string& wanted) {
    return std::find(texts.begin(), texts.end(), wanted) != texts.end();
}

class PatternFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        nvl::pattern::setInternalVersionPauseForTesting(0);
        dir_ = env_.root() + "/patterns/";
        nvl::sys::makeDirectories(dir_);
    }
    void TearDown() override { nvl::pattern::setInternalVersionPauseForTesting(1000); }

    struct Versions {
        int result;
        std::string cur, curDate, prev, prevDate;
    };
    Versions versions(const char* dir) {
        // Filled beforehand: every output must be written, also on failure.
        std::string cur(300, '#'), curDate(300, '#'), prev(300, '#'), prevDate(300, '#');
        std::string directory = dir != nullptr ? dir : "";
        int result = getPtnFileVersion(cur.data(), curDate.data(), prev.data(), prevDate.data(),
                                       dir != nullptr ? directory.data() : nullptr);
        return {result, cur.c_str(), curDate.c_str(), prev.c_str(), prevDate.c_str()};
    }

    TestEnv env_;
    std::string dir_;
};

// --- Quarantine paths ----------------------------------------------------------------------

TEST(QuarantinePathTest, AcceptedFormsAndUrlCut) {
    const struct {
        const char* path;
        int result;
        const char* after;
    } cases[] = {
        {"HTTP://host/share/q", 1, "HTTP://host"},
        {"http://host", 1, "http://host"},
        {"hTtP://host:8080/", 1, "hTtP://host:8080"},
        {"c:\\quarantine", 1, "c:\\quarantine"},
        {"Z:\\", 1, "Z:\\"},
        {"\\\\server\\share", 1, "\\\\server\\share"},
        {"c:quarantine", 0, "c:quarantine"},
        {"quarantine", 0, "quarantine"},
        {"c:/quarantine", 0, "c:/quarantine"},
        {"1:\\q", 0, "1:\\q"},
        {"\\single", 0, "\\single"},
        {"https://host/x", 0, "https://host/x"},
        {"http:/", 0, "http:/"},
        {"c", 0, "c"},
        {"", 0, ""},
    };
    for (const auto& c : cases) {
        std::string path = c.path;
        EXPECT_EQ(ChkQuarantinePath(path.data()), c.result) << c.path;
        EXPECT_STREQ(path.c_str(), c.after) << c.path;
    }
    EXPECT_EQ(ChkQuarantinePath(nullptr), 0);
}

// --- Engine packages -----------------------------------------------------------------------

TEST_F(PatternFilesTest, EnginePackageVersionsAndDates) {
    using Fn = int (*)(char*, char*, char*, char*);
    const struct {
        Fn fn;
        const char* currentKey;
        const char* previousKey;
        const char* platform;
    } engines[] = {
        {getNTEngineFileVersion, "EngineNT_Version", "RollBack_Previous_NT_Engine", "NT"},
        {getIA64EngineFileVersion, "EngineIA64_Version", "RollBack_Previous_IA64_Engine", "IA64"},
        {getX64EngineFileVersion, "EngineX64_Version", "RollBack_Previous_X64_Engine", "X64"},
        {get95EngineFileVersion, "Engine95_Version", "RollBack_Previous_WIN95_Engine", "95"},
    };
    nvl::sys::makeDirectories(env_.home() + "Download/Rollback");
    for (const auto& engine : engines) {
        SCOPED_TRACE(engine.platform);
        std::string package = env_.home() + "Download/hleng" + engine.platform + ".zip";
        std::string rollback = env_.home() + "Download/Rollback/hleng" + engine.platform + ".zip";
        putFile(package);
        putFile(rollback);
        // Different dates, so that the previous date shows which package it came from.
        struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, rollback.c_str(), old, 0), 0);
        char packageDate[256] = {}, rollbackDate[256] = {};
        GetFileModifyDate(package.data(), packageDate);
        GetFileModifyDate(rollback.data(), rollbackDate);
        ASSERT_STRNE(packageDate, rollbackDate);

        auto call = [&](const std::string& ini, bool nullOutputs = false) {
            env_.writeFile("home/nvlscan.ini", ini);
            std::string cur(300, '#'), curDate(300, '#'), prev(300, '#'), prevDate(300, '#');
            int result = nullOutputs
                             ? engine.fn(nullptr, nullptr, nullptr, nullptr)
                             : engine.fn(cur.data(), curDate.data(), prev.data(), prevDate.data());
            return std::vector<std::string>{std::to_string(result), cur.c_str(), curDate.c_str(),
                                            prev.c_str(), prevDate.c_str()};
        };
        std::string current =
            std::string("[INI_PROGRAM_VERSION_SECTION]\n") + engine.currentKey + "=6.510.1002\n";
        std::string previous =
            std::string("[INI_ROLLBACK_SECTION]\n") + engine.previousKey + "=6.500.1001\n";

        EXPECT_EQ(
            call(current + previous),
            (std::vector<std::string>{"1", "6.510.1002", packageDate, "6.500.1001", rollbackDate}));
        // No previous version: the previous outputs repeat the current ones.
        EXPECT_EQ(call(current), (std::vector<std::string>{"1", "6.510.1002", packageDate,
                                                           "6.510.1002", packageDate}));
        // No current version: 0, and outputs that were filled before are emptied, not kept.
        EXPECT_EQ(call(previous),
                  (std::vector<std::string>{"0", "", "", "6.500.1001", rollbackDate}));
        EXPECT_EQ(call(""), (std::vector<std::string>{"0", "", "", "", ""}));
        EXPECT_EQ(call(current + previous, true)[0], "1");
    }
}

// --- Numbered pattern files (kind 5) -------------------------------------------------------

TEST_F(PatternFilesTest, KindFiveKeepsTheFiveHighestNumbers) {
    TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    for (int n = 1; n <= 7; ++n)
        putFile(dir_ + "hlf" + std::to_string(n) + ".ptn");
    deletePtnFile(text(dir_), 5);
    EXPECT_EQ(filesIn(dir_), (std::vector<std::string>{"hlf3.ptn", "hlf4.ptn", "hlf5.ptn",
                                                       "hlf6.ptn", "hlf7.ptn"}));
    std::vector<std::string> texts = traces.texts();
    EXPECT_TRUE(contains(texts, "[deletePtnFile]numPtnFiles(7)"));
    EXPECT_TRUE(contains(texts, "More than 5 pattern files were found."));
    EXPECT_TRUE(contains(texts, "[deletePtnAndZipFile] " + dir_ + "hlf1.ptn."));
    EXPECT_TRUE(contains(texts,
                         "[P1K] getPatternFilesVersion( ) PtnInfo[0] = PTNFILE_1 (1), "
                         "filename = hlf1.ptn"));

    // Exactly five: nothing to do, and no "More than 5".
    deletePtnFile(text(dir_), 5);
    EXPECT_EQ(filesIn(dir_).size(), 5u);
    texts = traces.texts();
    EXPECT_TRUE(contains(texts, "[deletePtnFile]numPtnFiles(5)"));
    EXPECT_FALSE(contains(texts, "More than 5 pattern files were found."));

    // A kind without files of its own lists nothing; no directory does nothing.
    deletePtnFile(text(dir_), 3);
    EXPECT_TRUE(contains(traces.texts(), "[deletePtnFile]numPtnFiles(0)"));
    deletePtnFile(nullptr, 5);
    EXPECT_EQ(filesIn(dir_).size(), 5u);
}

// The files are deleted by the names found: "hlf007.ptn" is generation 7, not a way to name
// "hlf7.ptn"; a name that is not plain digits fitting an int is no generation and stays.
TEST_F(PatternFilesTest, KindFiveDeletesByTheNamesFound) {
    std::vector<std::string> generations = {"hlf007.ptn", "hlf6.ptn", "HLF5.PTN", "hlf4.ptn",
                                            "hlf3.ptn",   "hlf2.ptn", "hlf1.ptn"};
    std::vector<std::string> others = {"hlf.ptn", "hlfabc.ptn", "hlf-1.ptn", "hlf+9.ptn",
                                       "hlf 8.ptn", "hlf99999999999.ptn",
                                       // ptn_atoi would wrap this one to 2
                                       "hlf4294967298.ptn", "hlf8.ptn.bak"};
    for (const auto& name : generations)
        putFile(dir_ + name);
    for (const auto& name : others)
        putFile(dir_ + name);
    nvl::sys::makeDirectories(dir_ + "hlf9.ptn");  // a directory is no pattern file
    std::string noSlash = dir_.substr(0, dir_.size() - 1);
    deletePtnFile(text(noSlash), 5);
    std::vector<std::string> expected = {"HLF5.PTN", "hlf007.ptn", "hlf3.ptn",
                                         "hlf4.ptn", "hlf6.ptn",   "hlf9.ptn"};
    expected.insert(expected.end(), others.begin(), others.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(filesIn(dir_), expected);
}

TEST_F(PatternFilesTest, KindFiveHasNoListingCap) {
    for (int n = 1; n <= 1100; ++n)
        putFile(dir_ + "hlf" + std::to_string(n) + ".ptn");
    deletePtnFile(text(dir_), 5);
    EXPECT_EQ(filesIn(dir_), (std::vector<std::string>{"hlf1096.ptn", "hlf1097.ptn", "hlf1098.ptn",
                                                       "hlf1099.ptn", "hlf1100.ptn"}));
}

TEST(GenerationNumberTest, PlainDigitsFittingAnInt) {
    const struct {
        const char* text;
        bool ok;
        int32_t number;
    } cases[] = {
        {"0", true, 0},           {"007", true, 7},         {"2147483647", true, 2147483647},
        {"2147483648", false, 0}, {"4294967298", false, 0}, {"", false, 0},
        {"-1", false, 0},         {"+1", false, 0},         {" 1", false, 0},
        {"1 ", false, 0},         {"12a", false, 0},        {"A23", false, 0},
    };
    for (const auto& c : cases) {
        int32_t number = 0;
        EXPECT_EQ(nvl::pattern::generationNumber(c.text, &number), c.ok) << c.text;
        EXPECT_EQ(number, c.number) << c.text;
    }
}

// --- Through the engine --------------------------------------------------------------------

TEST_F(PatternFilesTest, EngineKindsKeepTheFiveHighestInternalVersions) {
    TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    const struct {
        int kind;
        const char* stem;
        const char* traceName;
    } kinds[] = {
        {0, "sig$vpf", "PTN_VIRUS"},
        {1, "hlaptn", "PTN_SPYWARE"},
        {9, "tkaptn", "PTN_HLA_TKA"},
        {6, "hlwhite", "PTN_HEXLOCK_WHITELIST"},
        {7, "hlblack", "PTN_HEXLOCK_BLACKLIST"},
    };
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.stem);
        std::string dir = dir_ + k.stem + "/";
        nvl::sys::makeDirectories(dir);
        // Numbers and internal versions in different orders: the versions decide.
        const int numbers[] = {300, 200, 100, 600, 500, 400, 700};
        const uint32_t internal[] = {10, 70, 60, 20, 50, 40, 30};
        for (int i = 0; i < 7; ++i)
            putPattern(dir + k.stem + "." + std::to_string(numbers[i]), internal[i]);
        putFile(dir + k.stem + ".bak");
        putFile(dir + "other.1");
        deletePtnFile(text(dir), k.kind);
        std::vector<std::string> expected = {"other.1"};
        for (int n : {200, 100, 500, 400, 700})
            expected.push_back(std::string(k.stem) + "." + std::to_string(n));
        expected.push_back(std::string(k.stem) + ".bak");
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(filesIn(dir), expected);
        EXPECT_TRUE(contains(traces.texts(), std::string("[deletePtnFile] MrDeleteUnusedPattern ") +
                                                 k.traceName + " (5) return 0"));
    }
}

TEST_F(PatternFilesTest, InternalVersionOfOneFile) {
    TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    const struct {
        int kind;
        const char* stem;
    } kinds[] = {{0, "sig$vpf"}, {6, "hlwhite"}, {7, "hlblack"}, {9, "tkaptn"},
                 {1, "hlaptn"},  {5, "hlaptn"},  {42, "hlaptn"}};
    uint32_t version = 4000000000u;
    for (const auto& k : kinds) {
        putPattern(dir_ + k.stem + ".123", version);
        std::string ext = "123";
        char out[16] = "untouched";
        getInternal_ptn(text(ext), out, text(dir_), k.kind);
        EXPECT_EQ(std::string(out), std::to_string(version)) << k.kind;
        ++version;
    }
    std::vector<std::string> texts = traces.texts();
    EXPECT_TRUE(contains(texts, "[getInternal_ptn] lpPtnFame = " + dir_ + "sig$vpf.123"));
    EXPECT_TRUE(contains(texts, "[getInternal_ptn] InternalVer = 4000000000"));

    // No directory: the home directory.
    putPattern(env_.home() + "sig$vpf.7", 77);
    std::string ext = "7";
    char out[16] = "";
    getInternal_ptn(text(ext), out, nullptr, 0);
    EXPECT_STREQ(out, "77");

    // Unreadable: six attempts, then the output stays as it was.
    std::string bytes = patternBytes(5);
    putFile(dir_ + "sig$vpf.124", bytes.substr(0, bytes.size() - 1));
    ext = "124";
    std::strcpy(out, "untouched");
    getInternal_ptn(text(ext), out, text(dir_), 0);
    EXPECT_STREQ(out, "untouched");
    texts = traces.texts();
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [](const std::string& t) {
                                return t.starts_with(
                                    "[getInternal_ptn] MrGetPatternInternalVersion Failed! ret = ");
                            }),
              6);
    // An extension that leaves the directory names no pattern file.
    putPattern(env_.root() + "/sig$vpf.9", 9);
    ext = "9/../../sig$vpf.9";
    getInternal_ptn(text(ext), out, text(dir_), 0);
    EXPECT_STREQ(out, "untouched");
}

TEST_F(PatternFilesTest, CurrentAndPreviousVirusPattern) {
    // None at all: 0, every output emptied.
    Versions none = versions(dir_.c_str());
    EXPECT_EQ(none.result, 0);
    EXPECT_EQ(none.cur + none.curDate + none.prev + none.prevDate, "");

    // One pattern: the previous one is the current one.
    putPattern(dir_ + "sig$vpf.120", 30);
    Versions one = versions(dir_.c_str());
    EXPECT_EQ(one.result, 1);
    EXPECT_EQ(one.cur, "120");
    EXPECT_EQ(one.curDate, createDate(dir_ + "sig$vpf.120"));
    EXPECT_NE(one.curDate, "");
    EXPECT_EQ(one.prev, "120");
    EXPECT_EQ(one.prevDate, one.curDate);

    // The internal versions choose, not the numbers.
    putPattern(dir_ + "sig$vpf.121", 20);
    Versions two = versions(dir_.c_str());
    EXPECT_EQ(two.result, 1);
    EXPECT_EQ(two.cur, "120");
    EXPECT_EQ(two.prev, "121");
    EXPECT_EQ(two.prevDate, createDate(dir_ + "sig$vpf.121"));

    // Same internal version: the first in name order stays ahead.
    putPattern(dir_ + "sig$vpf.119", 30);
    EXPECT_EQ(versions(dir_.c_str()).cur, "119");
    EXPECT_EQ(versions(dir_.c_str()).prev, "120");
}

// The files listed are the files read: the given directory, not the home directory, and the
// names found (sig$vpf.007), never names rebuilt from numbers (sig$vpf.7).
TEST_F(PatternFilesTest, VersionsComeFromTheFilesListed) {
    putPattern(env_.home() + "sig$vpf.900", 900);  // the home directory's, not asked for
    putPattern(dir_ + "sig$vpf.007", 70);
    putPattern(dir_ + "sig$vpf.6", 60);
    // Not generations: a temporary name, and a number ptn_atoi would wrap to 120.
    putPattern(dir_ + "sig$vpf.tmp", 1000);
    putPattern(dir_ + "sig$vpf.4294967416", 1000);
    // The newest, still being copied in: the engine cannot read it yet.
    std::string bytes = patternBytes(2000, 4096);
    putFile(dir_ + "sig$vpf.8", bytes.substr(0, 1000));
    Versions v = versions(dir_.c_str());
    EXPECT_EQ(v.result, 1);
    EXPECT_EQ(v.cur, "7");
    EXPECT_EQ(v.curDate, createDate(dir_ + "sig$vpf.007"));
    EXPECT_NE(v.curDate, "");
    EXPECT_EQ(v.prev, "6");

    // No directory: the home directory.
    EXPECT_EQ(versions(nullptr).cur, "900");
}

// A directory far longer than a version buffer: the paths stay inside the library.
TEST_F(PatternFilesTest, LongDirectoryDoesNotReachTheOutputs) {
    std::string dir = dir_;
    while (dir.size() < 600)
        dir += std::string(60, 'd') + "/";
    nvl::sys::makeDirectories(dir);
    putPattern(dir + "sig$vpf.555", 5);
    char cur[260], curDate[260], prev[260], prevDate[260];
    EXPECT_EQ(getPtnFileVersion(cur, curDate, prev, prevDate, text(dir)), 1);
    EXPECT_STREQ(cur, "555");
    EXPECT_STREQ(prev, "555");
}

// --- The update-log record of a pushed pattern ---------------------------------------------

TEST_F(PatternFilesTest, UpdateLogRecordOfAPushedPattern) {
    TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    nvl::sys::makeDirectories(env_.home() + "Log");
    std::string log = env_.home() + "Log/update.log";

    // No readable pattern: no record.
    std::string bytes = patternBytes(7);
    putFile(env_.home() + "sig$vpf.100", bytes.substr(0, 20));
    writeServerUpdateLogFromKRMS();
    EXPECT_EQ(readFile(log), "");
    EXPECT_TRUE(contains(traces.texts(),
                         "[writeServerUpdateLogFromKRMS] no readable virus pattern: no record"));

    const struct {
        uint32_t internal;
        const char* message;
    } cases[] = {
        {312345, "3.123.45"},
        {7, "0.000.07"},
        {4294967295u, "42949.672.95"},  // read unsigned: no overflow into a negative number
    };
    uint32_t number = 200;
    for (const auto& c : cases) {
        ::unlink(log.c_str());
        // A leading zero in the name: the file found is the file read.
        std::string name = env_.home() + "sig$vpf.0" + std::to_string(number++);
        putPattern(name, c.internal);
        writeServerUpdateLogFromKRMS();
        std::string record = readFile(log);
        ASSERT_GE(record.size(), 14u);
        EXPECT_TRUE(std::all_of(record.begin(), record.begin() + 14, [](char ch) {
            return ch >= '0' && ch <= '9';
        })) << record;
        EXPECT_EQ(record.substr(14), std::string(",4,1,1,") + c.message + "\n");
        ::unlink(name.c_str());
    }
}

// --- A pattern copied in while others clean up and ask -------------------------------------

// A child copies a large pattern in, block by block, telling the parent after each block;
// between blocks the parent deletes old generations and asks for the current pattern, and two
// more processes do the same in a loop all along. The new file is neither deleted nor current
// until its last byte is there.
TEST_F(PatternFilesTest, PatternCopiedInIsNeitherDeletedNorCurrentUntilComplete) {
    for (int n = 101; n <= 107; ++n)
        putPattern(dir_ + "sig$vpf." + std::to_string(n), static_cast<uint32_t>(n));
    const std::string target = dir_ + "sig$vpf.200";
    const std::string stop = env_.root() + "/stop";
    const std::string whole = patternBytes(500, 8u << 20);
    constexpr size_t kBlock = 256u << 10;

    Channel progress, go;
    Child copier([&] {
        int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0)
            return 10;
        struct stat mine {};
        ::fstat(fd, &mine);
        progress.post('o');
        for (size_t at = 0; at < whole.size(); at += kBlock) {
            if (go.take() != 'g')
                return 11;
            size_t count = std::min(kBlock, whole.size() - at);
            if (nvl::sys::writeAll(fd, std::string_view(whole).substr(at, count)) != 0)
                return 12;
            // Still the file the directory names: nobody deleted it under the copy.
            struct stat named {};
            if (::stat(target.c_str(), &named) != 0 || named.st_ino != mine.st_ino)
                return 13;
            progress.post(at + count == whole.size() ? 'd' : 'b');
        }
        ::close(fd);
        return 0;
    });
    ASSERT_EQ(progress.take(), 'o');

    auto looper = [&] {
        char cur[260], curDate[260], prev[260], prevDate[260];
        while (!exists(stop)) {
            deletePtnFile(const_cast<char*>(dir_.c_str()), 0);
            if (getPtnFileVersion(cur, curDate, prev, prevDate, const_cast<char*>(dir_.c_str())) !=
                1)
                return 20;
            struct stat after {};
            if (::stat(target.c_str(), &after) != 0)
                return 21;  // deleted
            if (std::strcmp(cur, "200") == 0 && static_cast<size_t>(after.st_size) != whole.size())
                return 22;  // current while incomplete
        }
        return 0;
    };
    Child first(looper);
    Child second(looper);

    char cur[260], curDate[260], prev[260], prevDate[260];
    for (;;) {
        go.post('g');
        char step = progress.take();
        ASSERT_TRUE(step == 'b' || step == 'd') << "copier: " << step;
        deletePtnFile(text(dir_), 0);
        ASSERT_EQ(getPtnFileVersion(cur, curDate, prev, prevDate, text(dir_)), 1);
        ASSERT_TRUE(exists(target));
        if (step == 'd') {
            EXPECT_STREQ(cur, "200");
            break;
        }
        ASSERT_STREQ(cur, "107");
    }
    EXPECT_EQ(copier.wait(), 0);
    putFile(stop);
    EXPECT_EQ(first.wait(), 0);
    EXPECT_EQ(second.wait(), 0);
    deletePtnFile(text(dir_), 0);
    EXPECT_EQ(filesIn(dir_), (std::vector<std::string>{"sig$vpf.104", "sig$vpf.105", "sig$vpf.106",
                                                       "sig$vpf.107", "sig$vpf.200"}));
}

}  // namespace
