// Directory searches: wildcard rules, what kinds of entries are found, and their order.
#include "platform/dir_search.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/error.h"
#include "support/test_env.h"

namespace nvl::sys {
namespace {

using test::TestEnv;

struct MatchCase {
    const char* pattern;
    const char* name;
    bool matches;
};

TEST(DirSearchTest, MatchesAsTheOriginalDid) {
    const MatchCase cases[] = {
        {"sig$vpf.*", "sig$vpf.123", true},
        {"sig$vpf.*", "SIG$VPF.123", true},  // letters without regard to case
        {"SIG$VPF.*", "sig$vpf.", true},     // '*' matches nothing too
        {"sig$vpf.*", "sig$vpf", true},      // ".*" also matches the name without the dot
        {"sig$vpf.*", "sig$vpf1", false},    // ...but not a longer name
        {"sig$vpf.*", "xsig$vpf.1", false},
        {"*.*", "noextension", true},
        {"*.*", ".hidden", true},
        {"*", "a.b.c", true},
        {"hlf*.ptn", "hlf1234.ptn", true},
        {"hlf*.ptn", "hlf.ptn", true},
        {"hlf*.ptn", "hlf1.ptn.tmp", false},
        {"hlf*.ptn", "hlf1.ptx", false},
        {"*a*b*c", "xxaxxbxxbxc", true},  // needs the star to give back characters
        {"*a*b*c", "xxaxxbxxcxb", false},
        {"?", "a", true},
        {"?", "", false},
        {"?", "ab", false},
        {"a?c", "abc", true},
        {"a?c", "ac", false},
        {"??.*", "ab", true},
        {"caf\xe9.*", "CAF\xe9.1", true},  // bytes beyond ASCII compare as they are
        {"caf\xe9.*", "caf\xc9.1", false},
        {"", "a", false},
    };
    for (const MatchCase& c : cases) {
        EXPECT_EQ(matchesPattern(c.pattern, c.name), c.matches)
            << "pattern '" << c.pattern << "' name '" << c.name << "'";
    }
}

std::vector<std::string> names(const std::vector<FoundFile>& files) {
    std::vector<std::string> result;
    for (const FoundFile& f : files)
        result.push_back(f.name);
    return result;
}

TEST(DirSearchTest, FindsRegularFilesInNameOrder) {
    TestEnv env;
    std::string dir = env.root() + "/Pattern/";
    env.writeFile("Pattern/sig$vpf.9", "999999999");
    env.writeFile("Pattern/SIG$VPF.10", "1");
    env.writeFile("Pattern/sig$vpf.100", "");
    env.writeFile("Pattern/sig$vpf", "12");
    env.writeFile("Pattern/other.1", "");
    ASSERT_EQ(::mkdir((dir + "sig$vpf.dir").c_str(), 0755), 0);
    ASSERT_EQ(::symlink((dir + "sig$vpf.9").c_str(), (dir + "sig$vpf.link").c_str()), 0);
    ASSERT_EQ(::symlink((dir + "missing").c_str(), (dir + "sig$vpf.dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir + "sig$vpf.fifo").c_str(), 0600), 0);

    std::vector<FoundFile> found;
    ASSERT_EQ(findFiles(dir + "sig$vpf.*", &found), kSuccess);
    EXPECT_EQ(names(found),
              (std::vector<std::string>{"SIG$VPF.10", "sig$vpf", "sig$vpf.100", "sig$vpf.9"}));

    // The directory itself is found without regard to case, as resolvePath finds it.
    ASSERT_EQ(findFiles(env.root() + "/PATTERN/other.*", &found), kSuccess);
    EXPECT_EQ(names(found), (std::vector<std::string>{"other.1"}));
}

TEST(DirSearchTest, NothingToFindIsAnEmptyList) {
    TestEnv env;
    env.writeFile("Pattern/a.txt", "");
    std::vector<FoundFile> found{FoundFile{"stale"}};
    EXPECT_EQ(findFiles(env.root() + "/Pattern/b*", &found), kSuccess);
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(findFiles(env.root() + "/NoSuchDir/*", &found), kSuccess);
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(findFiles(env.root() + "/Pattern/a.txt/*", &found), kSuccess);  // not a directory
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(findFiles(env.root() + "/Pattern/", &found), kSuccess);  // no pattern
    EXPECT_TRUE(found.empty());
}

TEST(DirSearchTest, DirectoryThatCannotBeOpenedIsAnError) {
    TestEnv env;
    std::vector<FoundFile> found;
    EXPECT_EQ(findFiles(env.root() + "/" + std::string(300, 'd') + "/*", &found),
              kErrFilenameTooLong);
    EXPECT_TRUE(found.empty());
}

}  // namespace
}  // namespace nvl::sys
