// Major virus types and the default extension list, read out of real pattern files by the scan
// engine and found in nvlscan.ini; two processes storing different patterns while others read.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cgishare/virus_types.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pattern/virus_types_internal.h"
#include "pattern_format.h"
#include "platform/profile.h"
#include "support/child_process.h"
#include "support/test_env.h"
#include "support/trace_capture.h"

namespace {

using nvl::test::Child;
using nvl::test::readFile;
using nvl::test::TestEnv;
using nvl::test::TraceCapture;

constexpr char kSection[] = "INI_MAJOR_VIRUS_TYPE_SECTION";
constexpr const char* kScanSections[] = {
    "Manual Scan Configuration",
    "Real Time Scan Configuration",
    "Prescheduled Scan Configuration",
    "Scan Now Configuration",
};

marlin32::PatternContent content(std::vector<marlin32::MajorType> types,
                                 std::string extList = "{*;EXE;COM;DLL}") {
    marlin32::PatternContent c;
    c.internalVersion = 1000;
    c.types = std::move(types);
    c.extList = std::move(extList);
    return c;
}

std::string key(const char* prefix, int i) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%03d", prefix, i);
    return text;
}

// One pattern's list as a reader of nvlscan.ini sees it: Count entries of name, first action
// and second action, all from one snapshot of the file.
struct StoredType {
    std::string name, first, second;
    bool operator==(const StoredType&) const = default;
};
std::optional<std::vector<StoredType>> storedTypes(std::string_view file) {
    using nvl::sys::profile::findValue;
    std::optional<std::string_view> count = findValue(file, kSection, "Count");
    if (!count)
        return std::nullopt;
    std::vector<StoredType> types;
    for (int i = 1; i <= std::atoi(std::string(*count).c_str()); ++i) {
        types.push_back({std::string(findValue(file, kSection, key("Name_", i)).value_or("?")),
                         std::string(findValue(file, kSection, key("1st_Act_", i)).value_or("?")),
                         std::string(findValue(file, kSection, key("2nd_Act_", i)).value_or("?"))});
    }
    return types;
}

class VirusTypesTest : public ::testing::Test {
  protected:
    std::string pattern(const std::string& name, const marlin32::PatternContent& c) {
        std::string path = env_.home() + name;
        std::string error;
        EXPECT_EQ(marlin32::writePatternFileAtomically(path, c, 4096, 7, &error), 0) << error;
        return path;
    }
    std::string ini() const { return readFile(env_.home() + "nvlscan.ini"); }
    std::vector<StoredType> stored() const {
        return storedTypes(ini()).value_or(std::vector<StoredType>{});
    }
    std::string extList(const char* section) const {
        return std::string(
            nvl::sys::profile::findValue(ini(), section, "DefaultExtList").value_or("<none>"));
    }

    TestEnv env_;
};

TEST_F(VirusTypesTest, TypesAreStoredWithTheConsolesActionCodes) {
    // Every row of the action table as first and as second action, an unknown code (7), and
    // more than nine entries so that the three-digit keys show.
    std::vector<marlin32::MajorType> types = {
        {0, 0, "Virus"},   {1, 1, "Trojan"},   {2, 2, "Worm"},    {3, 3, "Joke"},
        {4, 4, "Dropper"}, {25, 25, "Packer"}, {7, 7, "Unknown"}, {0, 7, "Macro"},
        {7, 1, "Script"},  {4, 0, "Backdoor"}, {1, 2, "Spyware"}, {2, 3, "Sixteen chars 16"},
    };
    std::string path = pattern("sig$vpf.100", content(types));
    TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    UD_QueryMajorVirusTypes(path.c_str());

    std::vector<StoredType> expected = {
        {"Virus", "1", "1"},    {"Trojan", "3", "3"},  {"Worm", "4", "4"},
        {"Joke", "5", "5"},     {"Dropper", "2", "2"}, {"Packer", "25", "25"},
        {"Unknown", "5", "4"},  {"Macro", "1", "4"},   {"Script", "5", "3"},
        {"Backdoor", "2", "1"}, {"Spyware", "3", "4"}, {"Sixteen chars 16", "4", "5"},
    };
    EXPECT_EQ(stored(), expected);
    EXPECT_NE(ini().find("Name_012=Sixteen chars 16"), std::string::npos);

    std::vector<nvl::test::TraceRecord> records = traces.take();
    ASSERT_FALSE(records.empty());
    for (const auto& record : records) {
        EXPECT_EQ(record.level, 6) << record.text;
        EXPECT_EQ(record.source, "src\\Server\\libCGIShare\\cgi_Share.cpp");
    }
    std::vector<std::string> texts;
    for (const auto& record : records)
        texts.push_back(record.text);
    EXPECT_EQ(texts.front(), "[UD_QueryMajorVirusTypes] major type counts [12]");
    EXPECT_EQ(texts[1], "[UD_QueryMajorVirusTypes] write [Virus 1 1]");
    EXPECT_EQ(texts.back(), "[UD_QueryMajorVirusTypes]return success");
}

TEST_F(VirusTypesTest, ANewerListReplacesTheCountAndASingleTypeIsStored) {
    UD_QueryMajorVirusTypes(
        pattern("sig$vpf.1", content({{0, 1, "One"}, {1, 2, "Two"}, {2, 3, "Three"}})).c_str());
    ASSERT_EQ(stored().size(), 3u);

    UD_QueryMajorVirusTypes(pattern("sig$vpf.2", content({{25, 0, "Only"}})).c_str());
    EXPECT_EQ(stored(), (std::vector<StoredType>{{"Only", "25", "1"}}));
    // Keys above the count stay from the longer list; the count says what is current.
    EXPECT_NE(ini().find("Name_003=Three"), std::string::npos);
}

TEST_F(VirusTypesTest, RefusedPatternsLeaveTheFileAsItWas) {
    std::string good = pattern("sig$vpf.9", content({{0, 0, "Kept"}}));
    UD_QueryMajorVirusTypes(good.c_str());
    UD_QueryExtList(good.c_str());
    const std::string before = ini();
    ASSERT_NE(before.find("Kept"), std::string::npos);

    std::string truncated = env_.home() + "sig$vpf.10";
    std::string bytes = marlin32::encodePattern(content({{1, 1, "Lost"}}), std::string(500, 'x'));
    env_.writeFile("home/sig$vpf.10", bytes.substr(0, bytes.size() - 1));
    std::string noTypes = pattern("sig$vpf.11", content({}, "{*;EXE}"));
    // A path of 260 characters whose first 259 name a readable pattern: cut, it would read
    // another file than the one asked for.
    std::string dir = env_.home() + std::string(200, 'd') + "/";
    std::string cutTo259 = dir + std::string(259 - dir.size(), 'p');
    env_.writeFile(cutTo259.substr(env_.root().size() + 1),
                   marlin32::encodePattern(content({{1, 1, "Wrong file"}}), "body"));
    std::string long260 = cutTo259 + "q";
    ASSERT_EQ(long260.size(), 260u);

    const std::string noTypesGet =
        "[UD_QueryMajorVirusTypes]MrGetPatternProperty(" + noTypes + ") no major type";
    struct Case {
        const char* what;
        std::optional<std::string> path;
        std::vector<std::string> typesTraces;  // what UD_QueryMajorVirusTypes traces
        std::string loadTrace;  // what UD_LoadPattern traces; empty: the pattern loads
    };
    const std::vector<Case> cases = {
        {"null",
         std::nullopt,
         {"[UD_QueryMajorVirusTypes] cszPtnPath is NULL"},
         "[UD_LoadPattern] cszPtnPath is NULL"},
        {"260 characters",
         long260,
         {"[UD_QueryMajorVirusTypes] cszPtnPath is 260 characters or longer, refused"},
         "[UD_LoadPattern] cszPtnPath is 260 characters or longer, refused"},
        {"truncated",
         truncated,
         {"[UD_QueryMajorVirusTypes]MrReadPatternInFile(" + truncated + ") failed"},
         "[UD_LoadPattern]MrReadPatternInFile(" + truncated + ") failed"},
        {"missing",
         "/nonexistent/sig$vpf.1",
         {"[UD_QueryMajorVirusTypes]MrReadPatternInFile(/nonexistent/sig$vpf.1) failed"},
         "[UD_LoadPattern]MrReadPatternInFile(/nonexistent/sig$vpf.1) failed"},
        {"no major types", noTypes, {noTypesGet, "[UD_QueryMajorVirusTypes]return success"}, ""},
    };
    TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const char* path = c.path ? c.path->c_str() : nullptr;
        traces.take();
        UD_QueryMajorVirusTypes(path);
        EXPECT_EQ(traces.texts(), c.typesTraces);
        if (!c.loadTrace.empty()) {
            UD_QueryExtList(path);
            MrHandle handle = 0;
            EXPECT_EQ(UD_LoadPattern(path, &handle), -1);
            // The extension list's own refusal is UD_LoadPattern's.
            EXPECT_EQ(traces.texts(), std::vector<std::string>(2, c.loadTrace));
        }
        EXPECT_EQ(ini(), before);
    }
}

TEST_F(VirusTypesTest, EveryFailedPathReleasesItsHandle) {
    // The engine holds at most 4,096 handles: a path that kept one would use them up long
    // before the end of this loop, and the last call could not open the pattern.
    std::string noTypes = pattern("sig$vpf.1", content({}));
    std::string damaged = env_.home() + "sig$vpf.2";
    std::string bytes = marlin32::encodePattern(content({{1, 1, "X"}}), "body");
    bytes.back() ^= 1;
    env_.writeFile("home/sig$vpf.2", bytes);
    for (int i = 0; i < 4200; ++i) {
        UD_QueryMajorVirusTypes(noTypes.c_str());
        UD_QueryMajorVirusTypes(damaged.c_str());
        UD_QueryExtList(damaged.c_str());
    }
    std::string good = pattern("sig$vpf.3", content({{0, 0, "Last"}}, "{*;ZIP}"));
    UD_QueryMajorVirusTypes(good.c_str());
    UD_QueryExtList(good.c_str());
    EXPECT_EQ(stored(), (std::vector<StoredType>{{"Last", "1", "1"}}));
    EXPECT_EQ(extList("Scan Now Configuration"), "ZIP");
    MrHandle handle = 0;
    EXPECT_EQ(UD_LoadPattern(good.c_str(), &handle), 0);
}

TEST_F(VirusTypesTest, ExtensionListGoesToAllFourScanConfigurations) {
    env_.writeFile("home/nvlscan.ini",
                   "[Manual Scan Configuration]\r\nDefaultExtList=OLD\r\nOther=kept\r\n");
    UD_QueryExtList(pattern("sig$vpf.5", content({{0, 0, "V"}}, "{*;EXE;COM;DLL}")).c_str());
    for (const char* section : kScanSections)
        EXPECT_EQ(extList(section), "EXE,.COM,.DLL") << section;
    EXPECT_NE(ini().find("Other=kept"), std::string::npos);
}

TEST(ConsoleExtListTest, RewritesTheEnginesForm) {
    const struct {
        const char* engine;
        const char* console;
    } cases[] = {
        {"{*;EXE;COM;DLL}", "EXE,.COM,.DLL"},
        {"{*;EXE}", "EXE"},
        {"{*;}", ""},
        {"{*;", ""},  // empty after the removal: nothing more is taken away
        {"", ""},
        {"{}", ""},                 // the engine's empty list
        {"{EXE;COM}", "EXE,.COM"},  // a list without "*" loses both braces
        {"{*;{*;EXE}", "EXE"},
        {"A{*{*;;B}", "A{*,.B"},  // the search goes on where the removed text was
        {"A;;B}", "A,.,.B"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(nvl::pattern::consoleExtList(c.engine), c.console) << c.engine;
}

// Two processes store different patterns over and over while others poll the file: every
// snapshot a reader takes holds one pattern's whole type list and one extension list.
TEST_F(VirusTypesTest, ConcurrentCallsNeverLeaveAMixedList) {
    std::vector<marlin32::MajorType> alpha, beta;
    for (int i = 1; i <= 7; ++i)
        alpha.push_back({0, 1, "Alpha" + std::to_string(i)});
    for (int i = 1; i <= 4; ++i)
        beta.push_back({2, 25, "Beta" + std::to_string(i)});
    std::string alphaPath = pattern("sig$vpf.100", content(alpha, "{*;AAA;AA2}"));
    std::string betaPath = pattern("sig$vpf.200", content(beta, "{*;BBB}"));
    std::vector<StoredType> alphaStored, betaStored;
    for (const auto& t : alpha)
        alphaStored.push_back({t.name, "1", "3"});
    for (const auto& t : beta)
        betaStored.push_back({t.name, "4", "25"});

    // Shared with the children: set when the writers are done.
    auto* done = static_cast<std::atomic<int>*>(::mmap(nullptr, sizeof(std::atomic<int>),
                                                       PROT_READ | PROT_WRITE,
                                                       MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(done, MAP_FAILED);
    new (done) std::atomic<int>(0);

    std::string iniPath = env_.home() + "nvlscan.ini";
    auto reader = [&]() -> int {
        int snapshots = 0;
        while (done->load() == 0 || snapshots == 0) {
            std::string file = readFile(iniPath);
            std::optional<std::vector<StoredType>> seen = storedTypes(file);
            if (seen && *seen != alphaStored && *seen != betaStored)
                return 1;
            std::string lists;
            for (const char* section : kScanSections) {
                lists += std::string(nvl::sys::profile::findValue(file, section, "DefaultExtList")
                                         .value_or("-")) +
                         "|";
            }
            if (lists != "-|-|-|-|" && lists != "AAA,.AA2|AAA,.AA2|AAA,.AA2|AAA,.AA2|" &&
                lists != "BBB|BBB|BBB|BBB|")
                return 2;
            ++snapshots;
        }
        return 0;
    };
    auto writer = [](const std::string& path) {
        return [path]() -> int {
            for (int i = 0; i < 40; ++i) {
                UD_QueryMajorVirusTypes(path.c_str());
                UD_QueryExtList(path.c_str());
            }
            return 0;
        };
    };
    std::vector<std::unique_ptr<Child>> readers;
    for (int i = 0; i < 2; ++i)
        readers.push_back(std::make_unique<Child>(reader, 120));
    Child first(writer(alphaPath), 120), second(writer(betaPath), 120);
    EXPECT_EQ(first.wait(), 0);
    EXPECT_EQ(second.wait(), 0);
    done->store(1);
    for (auto& r : readers)
        EXPECT_EQ(r->wait(), 0) << "1: mixed type list, 2: mixed extension lists";
    ::munmap(done, sizeof(std::atomic<int>));

    std::vector<StoredType> last = stored();
    EXPECT_TRUE(last == alphaStored || last == betaStored);
}

}  // namespace
