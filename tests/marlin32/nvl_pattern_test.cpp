// nvl-pattern as scripts use it: write makes a file the engine takes, in one step; check and
// version say whether the engine takes a file, and why not.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "pattern_format.h"
#include "support/test_env.h"

namespace marlin32 {
namespace {

using nvl::test::readFile;
using nvl::test::TestEnv;

struct Outcome {
    int status = -1;
    std::string output;  // standard output and error
};

Outcome run(const std::string& arguments) {
    Outcome r;
    std::string command = std::string("'") + NVL_PATTERN + "' " + arguments + " 2>&1";
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr)
        return r;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;)
        r.output.append(buffer, n);
    int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST(NvlPatternTest, WritesChecksAndExplainsRefusals) {
    TestEnv env;
    std::string file = env.root() + "/sig$vpf.120";
    std::string quoted = "'" + file + "'";
    Outcome w = run("write " + quoted +
                    " --internal-version 4000000000 --type VIRUS:0:1 --type 'TROJAN HORSE:2:25'"
                    " --type a:b:3:4 --extensions '{*;EXE;COM}' --body-bytes 300000");
    ASSERT_EQ(w.status, 0) << w.output;

    PatternInfo info;
    ASSERT_EQ(readPatternFile(file.c_str(), &info), kOk);
    EXPECT_EQ(info.content.internalVersion, 4000000000u);
    EXPECT_EQ(info.content.types,
              (std::vector<MajorType>{{0, 1, "VIRUS"}, {2, 25, "TROJAN HORSE"}, {3, 4, "a:b"}}));
    EXPECT_EQ(info.content.extList, "{*;EXE;COM}");
    EXPECT_EQ(info.declaredLength - info.headerLength, 300000u);

    Outcome c = run("check " + quoted);
    EXPECT_EQ(c.status, 0) << c.output;
    EXPECT_NE(c.output.find("accepted: internal version 4000000000, 3 major types"),
              std::string::npos)
        << c.output;
    Outcome v = run("version " + quoted);
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.output, "4000000000\n");

    // A file cut short: refused with the code's name and meaning.
    std::string cut = env.writeFile("cut", readFile(file).substr(0, 1000));
    c = run("check '" + cut + "'");
    EXPECT_EQ(c.status, 1);
    EXPECT_NE(c.output.find("refused: MR_E_TRUNCATED (-4): the file is shorter"), std::string::npos)
        << c.output;
    EXPECT_EQ(run("version '" + cut + "'").status, 1);
    EXPECT_EQ(run("check '" + env.root() + "/missing'").status, 1);

    // Rewriting replaces the file whole and leaves no temporary file behind.
    w = run("write " + quoted + " --internal-version 7 --extensions '{}' --body-bytes 0");
    ASSERT_EQ(w.status, 0) << w.output;
    EXPECT_EQ(run("version " + quoted).output, "7\n");
    DIR* dir = ::opendir(env.root().c_str());
    ASSERT_NE(dir, nullptr);
    while (dirent* entry = ::readdir(dir))
        EXPECT_NE(std::string(entry->d_name).rfind(".sig$vpf", 0), 0u) << entry->d_name;
    ::closedir(dir);
}

TEST(NvlPatternTest, RefusesWhatTheEngineWouldNotTake) {
    TestEnv env;
    std::string file = "'" + env.root() + "/p'";
    struct Case {
        const char* arguments;
        int status;
    };
    const Case cases[] = {
        {" --internal-version 1 --extensions 'EXE;COM'", 1},
        {" --internal-version 1 --type 'CONTROL\tNAME:1:2' --extensions '{}'", 1},
        {" --internal-version 1 --type SEVENTEEN_BYTES_N:1:2 --extensions '{}'", 1},
        {" --internal-version 1 --type NAME:1:65536 --extensions '{}'", 2},
        {" --internal-version 1 --type NAME:1 --extensions '{}'", 2},
        {" --internal-version 4294967296 --extensions '{}'", 2},
        {" --extensions '{}'", 2},
        {" --internal-version 1", 2},
    };
    for (const Case& c : cases) {
        Outcome w = run("write " + file + c.arguments);
        EXPECT_EQ(w.status, c.status) << c.arguments << "\n" << w.output;
    }
    EXPECT_EQ(run("").status, 2);
    EXPECT_EQ(run("check").status, 2);
    EXPECT_EQ(run("frobnicate x").status, 2);
    EXPECT_EQ(readFile(env.root() + "/p"), "");
}

}  // namespace
}  // namespace marlin32
