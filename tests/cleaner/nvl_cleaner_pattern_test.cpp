// nvl-cleaner-pattern: the files it writes are read by the library as written, its "version"
// is the library's reading, and it refuses what it cannot write.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "cleaner/cleaner.h"
#include "cleaner/pattern_header.h"
#include "support/test_env.h"

namespace {

using nvl::test::readFile;
using nvl::test::TestEnv;

struct CommandResult {
    int status;
    std::string out;
};

CommandResult run(const std::string& arguments) {
    std::string command =
        std::string("'") + NVL_CLEANER_PATTERN + "' " + arguments + " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return {-1, ""};
    std::string out;
    char buffer[256];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, n);
    int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

uint16_t libraryVersion(const std::string& path, uint32_t* status) {
    uint16_t version = 0;
    *status = nvl::cleaner::readPatternVersionFile(path, &version);
    return version;
}

TEST(NvlCleanerPatternTest, WritesWhatTheLibraryReads) {
    TestEnv env;
    std::string file = env.root() + "/qxc.ptn";
    const struct {
        std::string arguments;
        uint16_t version;
        size_t size;
        size_t patternHeaderAt;
    } cases[] = {
        {"--version 1234", 1234, 14 + 4096, 0},
        {"--version 65535 --body-bytes 0", 65535, 14, 0},
        {"--version 0 --body-bytes 10", 0, 24, 0},
        {"--lead 3 10 --version 77 --body-bytes 5", 77, 14 + 30 + 14 + 5, 44},
        {"--version 8 --lead 0 0 --body-bytes 1", 8, 14 + 14 + 1, 14},
        {"--version 9 --lead 255 256 --body-bytes 1 --seed 4", 9, 14 + 65280 + 14 + 1, 65294},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        ASSERT_EQ(run("write '" + file + "' " + c.arguments).status, 0);
        std::string bytes = readFile(file);
        ASSERT_EQ(bytes.size(), c.size);
        EXPECT_EQ(bytes.substr(c.patternHeaderAt, 4), std::string("\x1A\xE2\xBD\x1A"));
        uint32_t status = 0;
        EXPECT_EQ(libraryVersion(file, &status), c.version);
        EXPECT_EQ(status, nvl::cleaner::kCleanerOk);
        CommandResult version = run("version '" + file + "'");
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.out, std::to_string(c.version) + "\n");
    }
    // Nothing but the file itself is left in the directory.
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(env.root()))
        entries += entry.path().filename() != "home" && entry.path().filename() != "etc" &&
                   entry.path().filename() != "run";
    EXPECT_EQ(entries, 1u);
}

TEST(NvlCleanerPatternTest, TheSeedDecidesTheBytes) {
    TestEnv env;
    std::string a = env.root() + "/a.ptn";
    std::string b = env.root() + "/b.ptn";
    ASSERT_EQ(run("write '" + a + "' --version 5 --lead 2 3").status, 0);
    ASSERT_EQ(run("write '" + b + "' --version 5 --lead 2 3 --seed 5").status, 0);
    EXPECT_EQ(readFile(a), readFile(b));
    ASSERT_EQ(run("write '" + b + "' --version 5 --lead 2 3 --seed 6").status, 0);
    EXPECT_NE(readFile(a), readFile(b));
}

TEST(NvlCleanerPatternTest, RefusesWhatItCannotDo) {
    TestEnv env;
    std::string file = env.root() + "/qxc.ptn";
    const struct {
        std::string arguments;
        int status;
    } cases[] = {
        {"write '" + file + "'", 2},
        {"write '" + file + "' --version 65536", 2},
        {"write '" + file + "' --version -1", 2},
        {"write '" + file + "' --version 1 --lead 3", 2},
        {"write '" + file + "' --version 1 --lead 3 x", 2},
        {"write '" + file + "' --version 1 --body-bytes 999999999999", 2},
        {"write '" + file + "' --version 1 --lead 65535 65535", 1},  // more than 256 MiB
        {"write '" + env.root() + "/missing/dir/qxc.ptn' --version 1", 1},
        {"version '" + env.root() + "/missing.ptn'", 1},
        {"version '" + env.root() + "'", 1},
        {"frobnicate", 2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(run(c.arguments).status, c.status) << c.arguments;
    EXPECT_EQ(run("--help").status, 0);
    // A file that is no pattern has no version, as the library sees it.
    env.writeFile("bad.ptn", std::string(13, 'x'));
    EXPECT_EQ(run("version '" + env.root() + "/bad.ptn'").status, 1);
}

}  // namespace
