// The hot-fix page's view of the rebuild's kinds: which uploaded names it takes and where they
// go, the home's paths matched without regard to case, the manifest's versions, and each kind's
// reader, which must refuse a damaged file before it is placed (a virus pattern with a damaged
// body included, which the header alone would pass).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "hotfix_check.h"
#include "hotfix_kinds.h"
#include "support/test_env.h"
#include "support/web_server.h"

namespace {

namespace fs = std::filesystem;
using Verdict = console::HotfixCheck::Verdict;

constexpr char kPatternTool[] = CGISHARE_BINARY_DIR "/tools/nvlpattern/nvl-pattern";
constexpr char kCleanerPatternTool[] =
    CGISHARE_BINARY_DIR "/tools/nvlcleanerpattern/nvl-cleaner-pattern";
constexpr char kTarskPatternTool[] = CGISHARE_BINARY_DIR "/standins/tarsk32/tarsk-pattern";
constexpr char kTarskEngine[] = CGISHARE_BINARY_DIR "/standins/tarsk32/tarsk32.so";
constexpr char kExecutables[] = CGISHARE_BINARY_DIR "/fixtures/executables/";

void run(const std::vector<std::string>& argv) {
    int status = 0;
    std::string output = nvl::test::runAndCapture(argv, &status);
    ASSERT_EQ(status, 0) << argv[0] << ": " << output;
}

// Flips one byte of the file at `offset` from its end.
void damage(const std::string& path, size_t fromEnd) {
    std::string bytes = nvl::test::readFile(path);
    ASSERT_GT(bytes.size(), fromEnd);
    bytes[bytes.size() - 1 - fromEnd] ^= 0x5A;
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

TEST(HotfixKinds, NamesOfEveryKindAndNothingElse) {
    const struct {
        const char* name;
        int kind;  // -1: refused
        const char* placed;
    } kCases[] = {
        {"sig$vpf.350", 0, "sig$vpf.350"},
        {"SIG$VPF.350", 0, "sig$vpf.350"},
        {"hlaptn.104", 1, "hlaptn.104"},
        {"qxc.EXE", 2, "QXC.exe"},
        {"QXC.ptn", 3, "QXC.ptn"},
        {"hladce.ptn", 4, "HLADCE.ptn"},
        {"HLWhite.007", 6, "hlwhite.007"},
        {"hlblack.101", 7, "hlblack.101"},
        {"TARSKPTN.DA5", 8, "tarskptn.da5"},
        {"tkaptn.101", 9, "tkaptn.101"},
        // The rebuild reads a generation's version through its last three characters.
        {"sig$vpf.35", -1, ""},
        {"sig$vpf.3500", -1, ""},
        {"sig$vpf.tmp", -1, ""},
        {"sig$vpf.35a", -1, ""},
        {"sig$vpf.", -1, ""},
        {"sig$vpf", -1, ""},
        {"sig$vpf_350", -1, ""},
        {"hlf001.ptn", -1, ""},
        {"QXC.exe.bak", -1, ""},
        {"QXC.ex", -1, ""},
        {"../QXC.exe", -1, ""},
        {"Admin/QXC.exe", -1, ""},
        {"tarskptn.da5 ", -1, ""},
        {"", -1, ""},
    };
    for (const auto& c : kCases) {
        std::string placed;
        const console::HotfixKind* kind = console::kindOfName(c.name, &placed);
        if (c.kind < 0) {
            EXPECT_EQ(kind, nullptr) << c.name;
            continue;
        }
        ASSERT_NE(kind, nullptr) << c.name;
        EXPECT_EQ(kind->kind, c.kind) << c.name;
        EXPECT_EQ(placed, c.placed) << c.name;
    }
}

TEST(HotfixKinds, HomePathsTakeTheSpellingOnDisk) {
    nvl::test::TestEnv env;
    const std::string& home = env.home();
    fs::create_directories(home + "Download/Pattern");
    fs::create_directories(home + "Admin");
    env.writeFile("home/Admin/qxc.ptn", "x");
    EXPECT_EQ(console::homePath(home, "download/pattern/marlin.zip"),
              home + "Download/Pattern/marlin.zip");
    EXPECT_EQ(console::homePath(home, "Admin/QXC.ptn"), home + "Admin/qxc.ptn");
    EXPECT_EQ(console::homePath(home, "Admin/HLADCE.ptn"), home + "Admin/HLADCE.ptn");
    EXPECT_EQ(console::manifestPath(home), home + "Download/server.ini");
    // The exact spelling wins when it is there too.
    env.writeFile("home/Admin/QXC.ptn", "y");
    EXPECT_EQ(console::homePath(home, "Admin/QXC.ptn"), home + "Admin/QXC.ptn");
}

TEST(HotfixKinds, TheManifestsVersionOfEachKind) {
    nvl::test::TestEnv env;
    std::string manifest =
        env.writeFile("home/download/server.ini",
                      "[PATTERN]\n"
                      "P.4=Pattern/MARLIN.zip,34900,123456\n"
                      "P.800=Pattern/QXCPtn.zip, 1207, 4120\n"
                      "P.20001000=Pattern/tarskptn.zip, 1204\n"
                      "P.20000020=\n"
                      "[ENGINE]\n"
                      "E.1000000=MARLIN32_QXC, engine/QXC.zip, 3.10.0, 555, 1.0\n");
    auto version = [&](int number) {
        for (const console::HotfixKind& kind : console::hotfixKinds()) {
            if (kind.kind == number)
                return console::manifestVersion(manifest, kind);
        }
        return std::string("no such kind");
    };
    EXPECT_EQ(version(0), "34900");
    EXPECT_EQ(version(3), "1207");
    EXPECT_EQ(version(8), "1204");
    EXPECT_EQ(version(2), "3.10.0");
    EXPECT_EQ(version(6), "");
    EXPECT_EQ(version(7), "");
    EXPECT_EQ(console::manifestVersion(env.root() + "/none.ini", console::hotfixKinds()[0]), "");
    EXPECT_EQ(console::manifestField(" ,a,, b ,c", 2), "c");
    EXPECT_EQ(console::manifestField("a,b", 2), "");
}

const console::HotfixKind& kindNumber(int number) {
    for (const console::HotfixKind& kind : console::hotfixKinds()) {
        if (kind.kind == number)
            return kind;
    }
    throw std::logic_error("no such kind");
}

class HotfixCheckTest : public testing::Test {
  protected:
    void SetUp() override { fs::create_directories(upload_); }
    std::string path(const std::string& name) const { return upload_ + "/" + name; }
    console::HotfixCheck check(int kind, const std::string& name) const {
        return console::checkHotfixFile(kindNumber(kind), upload_, name, env_.home());
    }

    nvl::test::TestEnv env_;
    std::string upload_ = env_.home() + "TEMP/hotfix-test";
};

TEST_F(HotfixCheckTest, EnginePatternsAreReadWhole) {
    for (int kind : {0, 1, 6, 7, 9}) {
        std::string name = std::string(kindNumber(kind).stem) + ".350";
        ASSERT_NO_FATAL_FAILURE(run({kPatternTool, "write", path(name), "--internal-version",
                                     "35012", "--type", "Worm:0:3", "--extensions", "{*;EXE}"}));
        console::HotfixCheck good = check(kind, name);
        EXPECT_EQ(good.verdict, Verdict::Valid) << kind;
        EXPECT_EQ(good.version, "35012") << kind;
        EXPECT_EQ(good.number, 35012u) << kind;
        // A damaged body: the header is intact, so only a whole read finds it.
        ASSERT_NO_FATAL_FAILURE(damage(path(name), 10));
        EXPECT_EQ(check(kind, name).verdict, Verdict::Invalid) << kind;
    }
    env_.writeFile("home/TEMP/hotfix-test/sig$vpf.351", "not a pattern");
    EXPECT_EQ(check(0, "sig$vpf.351").verdict, Verdict::Invalid);
    env_.writeFile("home/TEMP/hotfix-test/sig$vpf.352", "");
    EXPECT_EQ(check(0, "sig$vpf.352").verdict, Verdict::Invalid);
}

TEST_F(HotfixCheckTest, TheNewestGenerationOnTheServer) {
    const console::HotfixKind& virus = kindNumber(0);
    std::string name;
    EXPECT_EQ(console::newestGeneration(virus, env_.home(), &name), 0u);
    for (const auto& [file, version] :
         {std::pair{"sig$vpf.348", "34800"}, {"SIG$VPF.349", "34900"}, {"sig$vpf.400", "34700"}})
        ASSERT_NO_FATAL_FAILURE(run({kPatternTool, "write", env_.home() + file,
                                     "--internal-version", version, "--extensions", "{}"}));
    env_.writeFile("home/sig$vpf.999", "unreadable, never the newest");
    env_.writeFile("home/hlaptn.500", "another kind");
    EXPECT_EQ(console::newestGeneration(virus, env_.home(), &name), 34900u);
    EXPECT_EQ(name, "SIG$VPF.349");
}

TEST_F(HotfixCheckTest, CleanerPatternsByTheCleanerLibrarysReader) {
    ASSERT_NO_FATAL_FAILURE(
        run({kCleanerPatternTool, "write", path("QXC.ptn"), "--version", "1300"}));
    ASSERT_NO_FATAL_FAILURE(run({kCleanerPatternTool, "write", path("HLADCE.ptn"), "--version",
                                 "416", "--lead", "3", "10"}));
    console::HotfixCheck cleaner = check(3, "QXC.ptn");
    EXPECT_EQ(cleaner.verdict, Verdict::Valid);
    EXPECT_EQ(cleaner.version, "1300");
    console::HotfixCheck cleanup = check(4, "HLADCE.ptn");
    EXPECT_EQ(cleanup.verdict, Verdict::Valid);
    EXPECT_EQ(cleanup.version, "416");
    env_.writeFile("home/TEMP/hotfix-test/QXC.ptn", std::string(100, 'z'));
    EXPECT_EQ(check(3, "QXC.ptn").verdict, Verdict::Invalid);
}

TEST_F(HotfixCheckTest, TheCleanerAsTheCleanerLibraryJudgesIt) {
    fs::copy_file(std::string(kExecutables) + "app-3.10.exe", path("QXC.exe"));
    console::HotfixCheck accepted = check(2, "QXC.exe");
    EXPECT_EQ(accepted.verdict, Verdict::Valid);
    EXPECT_EQ(accepted.version, "3.10");
    // Signed, but older than the library takes.
    fs::copy_file(std::string(kExecutables) + "app-3.4.exe", path("QXC.exe"),
                  fs::copy_options::overwrite_existing);
    EXPECT_EQ(check(2, "QXC.exe").verdict, Verdict::Invalid);
    env_.writeFile("home/TEMP/hotfix-test/QXC.exe", "MZ but nothing more");
    EXPECT_EQ(check(2, "QXC.exe").verdict, Verdict::Invalid);
}

TEST_F(HotfixCheckTest, TheSpywareEnginesPatternThroughTheEngine) {
    ASSERT_NO_FATAL_FAILURE(
        run({kTarskPatternTool, "build", CGISHARE_SOURCE_DIR "/scripts/demo/spyware-pattern.txt",
             path("tarskptn.da5")}));
    // Without the engine in the home's Engine directory nothing can tell.
    EXPECT_EQ(check(8, "tarskptn.da5").verdict, Verdict::Unavailable);
    fs::create_directories(env_.home() + "Engine");
    fs::copy_file(kTarskEngine, env_.home() + "Engine/tarsk32.so");
    console::HotfixCheck good = check(8, "tarskptn.da5");
    EXPECT_EQ(good.verdict, Verdict::Valid);
    EXPECT_EQ(good.version, "1.204");
    EXPECT_EQ(console::manifestNumber(kindNumber(8), good.version), "1204");
    ASSERT_NO_FATAL_FAILURE(damage(path("tarskptn.da5"), 3));
    EXPECT_EQ(check(8, "tarskptn.da5").verdict, Verdict::Invalid);
}

TEST(HotfixKinds, ManifestNumbersAsTheRebuildRecordsThem) {
    EXPECT_EQ(console::manifestNumber(kindNumber(8), "1.204"), "1204");
    EXPECT_EQ(console::manifestNumber(kindNumber(8), "01.005"), "1005");
    EXPECT_EQ(console::manifestNumber(kindNumber(0), "34900"), "34900");
    EXPECT_EQ(console::manifestNumber(kindNumber(3), "1207"), "1207");
}

}  // namespace
