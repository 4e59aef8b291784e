// The hot-fix rebuild in one process: version texts and manifest values, the update-flag mask,
// and rebuilds of the virus pattern (kind 0) and the spyware engine's pattern (kind 8) checked
// with an independent zip reader (unzip), with a missing manifest, a foreign or a fitting
// leftover temporary zip, and the caller's text cut to its room.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cgishare/hotfix.h>

#include <cstring>
#include <string>
#include <vector>

#include "pattern/hotfix_internal.h"
#include "pattern_format.h"
#include "platform/file.h"
#include "platform/named_object.h"
#include "platform/profile.h"
#include "support/test_env.h"
#include "support/trace_capture.h"
#include "support/web_server.h"
#include "tarsk_format.h"

namespace {

using nvl::test::readFile;
using nvl::test::TestEnv;

std::string patternBytes(uint32_t internalVersion, size_t bodyBytes = 4096) {
    marlin32::PatternContent content;
    content.internalVersion = internalVersion;
    content.types = {{1, 2, "Worm"}};
    content.extList = "{*;EXE}";
    return marlin32::encodePattern(content, std::string(bodyBytes, 'p'));
}

std::string profile(const std::string& path, const char* section, const char* key) {
    char value[2048] = "";
    nvl::sys::getPrivateProfileString(section, key, "", value, sizeof value, path.c_str());
    return value;
}

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// What unzip lists and extracts: entry names, and the bytes of `entry`.
std::vector<std::string> zipEntries(const std::string& zip) {
    int status = -1;
    std::string out = nvl::test::runAndCapture({"unzip", "-Z1", zip}, &status);
    std::vector<std::string> names;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        names.push_back(out.substr(start, end - start));
        start = end == std::string::npos ? out.size() : end + 1;
    }
    return status == 0 ? names : std::vector<std::string>{"<unzip failed>"};
}

std::string zipEntry(const std::string& zip, const std::string& entry) {
    int status = -1;
    std::string out = nvl::test::runAndCapture({"unzip", "-p", zip, entry}, &status);
    return status == 0 ? out : "<unzip failed>";
}

TEST(HotfixVersions, TextsNumbersAndFlags) {
    EXPECT_EQ(73728u, nvl::hotfix::packedEngineNumber(1, 2));
    EXPECT_EQ(0x12340u, nvl::hotfix::packedEngineNumber(1, 234));
    EXPECT_EQ(0u, nvl::hotfix::packedEngineNumber(1, 1000));
    EXPECT_FALSE(nvl::hotfix::isEngineVersionDifferent(2, 5000, 0, "2.5"));
    EXPECT_FALSE(nvl::hotfix::isEngineVersionDifferent(1, 2, 345, "1.2.345"));
    EXPECT_TRUE(nvl::hotfix::isEngineVersionDifferent(1, 2, 345, "1.2.346"));
    EXPECT_TRUE(nvl::hotfix::isEngineVersionDifferent(1, 2, 345, "garbage"));
    auto fields = nvl::hotfix::manifestFields("MARLIN32_QXC, engine/QXC.zip, 1.2.345, 100, 1.0");
    ASSERT_EQ(5u, fields.size());
    EXPECT_EQ("1.2.345", fields[2]);
    EXPECT_EQ(312345u, nvl::hotfix::manifestNumber("312345x"));
    EXPECT_EQ(4294967295u, nvl::hotfix::manifestNumber("99999999999999"));
    EXPECT_EQ(0u, nvl::hotfix::manifestNumber("x1"));

    EXPECT_EQ(0xFDB00066ul, FilterUpdateFlagWithServiceModel(0xFFFFFFFF, 0));
    EXPECT_EQ(0xFFFFFFFFul, FilterUpdateFlagWithServiceModel(0xFFFFFFFF, 0xFFF));
    EXPECT_EQ(0xFFFFFFFFul & ~0x7E01ul, FilterUpdateFlagWithServiceModel(0xFFFFFFFF, 0xFFE));
}

class Hotfix : public ::testing::Test {
  protected:
    void SetUp() override {
        put("sig$vpf.100", patternBytes(300000));
        source_ = patternBytes(312345, 200000);
        put("sig$vpf.123", source_);
        manifest_ = env_.writeFile("home/download/server.ini",
                                   "[PATTERN]\r\nP.4=Pattern/MARLIN.zip,300000,10\r\n");
    }
    void put(const std::string& name, const std::string& bytes) {
        ASSERT_EQ(0u, nvl::sys::replaceFileAtomically(env_.home() + name, bytes)) << name;
    }
    std::string package() const { return env_.home() + "download/Pattern/marlin.zip"; }
    std::string temporaryZip() const { return env_.home() + "download/PTN123.ZIP"; }

    TestEnv env_;
    std::string source_, manifest_;
};

TEST_F(Hotfix, RebuildsTheVirusPatternPackageAndRecordsIt) {
    char version[32] = "";
    ASSERT_EQ(1, rebuildPtnZip(0, version, sizeof version));
    EXPECT_STREQ("3.123.45", version);
    EXPECT_EQ(std::vector<std::string>{"sig$vpf.123"}, zipEntries(package()));
    EXPECT_EQ(source_, zipEntry(package(), "sig$vpf.123"));
    struct stat st {};
    ASSERT_EQ(0, ::stat(package().c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    EXPECT_EQ("Pattern/MARLIN.zip,312345," + std::to_string(st.st_size),
              profile(manifest_, "PATTERN", "P.4"));
    EXPECT_EQ("123", profile(manifest_, "PATTERN", "Version"));
    EXPECT_EQ("0", profile(manifest_, "PATTERN", "P.4.MergeCount"));
    EXPECT_EQ("Pattern/MARLIN.zip," + std::to_string(st.st_size),
              profile(manifest_, "PATTERN", "Path_MARLIN"));
    EXPECT_NE("", profile(env_.home() + "nvlscan.ini", "INI_PROGRAM_VERSION_SECTION",
                          "Pattern_Last_Update"));
    EXPECT_EQ("312345 0 0", profile(env_.home() + "private/component.ini", "6101", "Version"));
    EXPECT_FALSE(exists(temporaryZip()));

    // The same source again: nothing to do, and the caller still gets the text.
    nvl::test::TraceCapture traces;
    char again[4] = "xxx";
    EXPECT_EQ(0, rebuildPtnZip(0, again, sizeof again));
    EXPECT_STREQ("3.1", again);
    EXPECT_EQ(0, rebuildPtnZip(0, nullptr, 0));
    bool said = false;
    for (const auto& t : traces.texts())
        said = said || t.find("Hotfix>The same version as current pattern.") != std::string::npos;
    EXPECT_TRUE(said);
}

TEST_F(Hotfix, AMissingManifestPublishesNothing) {
    ::unlink(manifest_.c_str());
    EXPECT_EQ(0, rebuildPtnZip(0, nullptr, 0));
    EXPECT_FALSE(exists(package()));
    EXPECT_FALSE(exists(temporaryZip()));
}

TEST_F(Hotfix, ALeftoverZipIsPublishedOnlyWhenItHoldsTheSource) {
    // Foreign and truncated leftovers are packed anew.
    for (std::string leftover : {std::string("not a zip at all"), std::string()}) {
        put("download/PTN123.ZIP", leftover);
        put("download/server.ini", "[PATTERN]\r\nP.4=Pattern/MARLIN.zip,1,10\r\n");
        ASSERT_EQ(1, rebuildPtnZip(0, nullptr, 0));
        EXPECT_EQ(source_, zipEntry(package(), "sig$vpf.123"));
        EXPECT_FALSE(exists(temporaryZip()));
    }
    // A zip that holds exactly this source is published as it is: no packing.
    std::string good = readFile(package());
    put("download/PTN123.ZIP", good);
    put("download/Pattern/marlin.zip", "old");
    put("download/server.ini", "[PATTERN]\r\nP.4=Pattern/MARLIN.zip,1,10\r\n");
    nvl::test::TraceCapture traces;
    ASSERT_EQ(1, rebuildPtnZip(0, nullptr, 0));
    EXPECT_EQ(good, readFile(package()));
    for (const auto& t : traces.texts())
        EXPECT_EQ(std::string::npos, t.find("AddFileToZip")) << t;
    // The same archive cut short is not.
    put("download/PTN123.ZIP", good.substr(0, good.size() - 5));
    put("download/server.ini", "[PATTERN]\r\nP.4=Pattern/MARLIN.zip,1,10\r\n");
    ASSERT_EQ(1, rebuildPtnZip(0, nullptr, 0));
    EXPECT_EQ(source_, zipEntry(package(), "sig$vpf.123"));
}

TEST_F(Hotfix, RebuildsTheSpywareEnginePatternThroughTheFacade) {
    tarsk32::Pattern p;
    std::string error;
    ASSERT_TRUE(
        tarsk32::parsePatternSource("version 6.064\ndate 2026-12-01\ncompany 1 C\n"
                                    "threat 7 1 T\nfile 7 evil.exe\n",
                                    &p, &error))
        << error;
    std::string pattern = tarsk32::writePattern(p);
    put("tarskptn.da5", pattern);
    ASSERT_EQ(0u, nvl::sys::makeDirectories(env_.home() + "Engine"));
    std::string engine = readFile(CGISHARE_BINARY_DIR "/standins/tarsk32/tarsk32.so");
    ASSERT_FALSE(engine.empty());
    put("Engine/tarsk32.so", engine);

    // Without the engine's load mutex (no real-time scan service) the version is unknown.
    char version[16] = "unset";
    EXPECT_EQ(0, rebuildPtnZip(8, version, sizeof version));
    EXPECT_STREQ("unset", version);

    nvl::sys::Handle mutex = nvl::sys::createMutex("Halden_TARSK_Load_Mutex", false);
    ASSERT_TRUE(mutex);
    ASSERT_EQ(1, rebuildPtnZip(8, version, sizeof version));
    EXPECT_STREQ("6064", version);
    std::string zip = env_.home() + "download/Pattern/tarskptn.zip";
    EXPECT_EQ(pattern, zipEntry(zip, "tarskptn.da5"));
    struct stat st {};
    ASSERT_EQ(0, ::stat(zip.c_str(), &st));
    EXPECT_EQ("Pattern/tarskptn.zip, 6064, " + std::to_string(st.st_size),
              profile(manifest_, "PATTERN", "P.20001000"));
    EXPECT_EQ("0", profile(manifest_, "PATTERN", "P.20001000.MergeCountIU"));
    EXPECT_EQ("6064", profile(env_.home() + "nvlscan.ini", "INI_PROGRAM_VERSION_SECTION",
                              "TARSK_Pattern_Version"));
    EXPECT_EQ(0, rebuildPtnZip(8, nullptr, 0));  // the same version now
}

}  // namespace
