// Profile files: the original platform's reading, listing and writing rules, case by case.
#include "platform/profile.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "support/test_env.h"

namespace nvl::sys {
namespace {

using namespace std::string_literals;
using test::readFile;
using test::TestEnv;

// The file most read cases look at: CR LF line ends, blanks, quotes, comments, garbage,
// repeated sections and keys.
const std::string kSample =
    "; server settings\r\n"
    "orphan=before any section\r\n"
    "[INI_SERVER_SECTION]\r\n"
    "Master_URL=/norvel/\r\n"
    "  Spaced Key  =   spaced value   \r\n"
    "Double=\"  quoted  \"\r\n"
    "Single='single'\r\n"
    "Mixed='mixed\"\r\n"
    "Open=\"open\r\n"
    "Lone=\"\r\n"
    "Empty=\r\n"
    ";Commented=no\r\n"
    "garbage line without equals\r\n"
    "=no name\r\n"
    "Dup=first\r\n"
    "Dup=second\r\n"
    "Nul=ab\0cd\r\n"s
    "\x01\xff\xfe binary junk = \x80\r\n"
    "[Other]\r\n"
    "Trap = [Fake] not a header\r\n"
    "Key=other\r\n"
    " \t[Indented] ; trailing text\r\n"
    "K=indented\r\n"
    "[ini_server_section]\r\n"
    "Later=from the second header\r\n"
    "Dup=third\r\n"
    "[Broken\r\n"
    "Inside=broken header\r\n";

// The same file with other line ends: every CR LF, or every LF, replaced by `eol`.
std::string withLineEnds(std::string text, std::string_view from, std::string_view eol) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + eol.size()))
        text.replace(at, from.size(), eol);
    return text;
}

struct ReadCase {
    const char* name;
    const char* section;
    const char* key;
    const char* defaultValue;
    uint32_t size;
    std::string expected;
    uint32_t result;
};

class ProfileTest : public ::testing::Test {
  protected:
    std::string write(std::string_view name, std::string_view text) {
        return env_.writeFile(name, text);
    }
    TestEnv env_;
};

TEST_F(ProfileTest, ReadsValuesByTheOriginalRules) {
    const ReadCase cases[] = {
        {"plain", "INI_SERVER_SECTION", "Master_URL", "x", 256, "/norvel/", 8},
        {"names ignore case", "ini_server_SECTION", "MASTER_url", "x", 256, "/norvel/", 8},
        {"blanks around names and values", "INI_SERVER_SECTION", "Spaced Key", "", 256,
         "spaced value", 12},
        {"caller's names are trimmed", " INI_SERVER_SECTION ", " Spaced Key ", "", 256,
         "spaced value", 12},
        {"caller's names lose spaces only: a tab is part of the name", "INI_SERVER_SECTION",
         " \tMaster_URL ", "dflt", 256, "dflt", 4},
        {"double quotes go, inner blanks stay", "INI_SERVER_SECTION", "Double", "", 256,
         "  quoted  ", 10},
        {"single quotes go", "INI_SERVER_SECTION", "Single", "", 256, "single", 6},
        {"unmatched quotes stay", "INI_SERVER_SECTION", "Mixed", "", 256, "'mixed\"", 7},
        {"an opening quote alone stays", "INI_SERVER_SECTION", "Open", "", 256, "\"open", 5},
        {"a single quote character stays", "INI_SERVER_SECTION", "Lone", "", 256, "\"", 1},
        {"present and empty is not the default", "INI_SERVER_SECTION", "Empty", "dflt", 256, "", 0},
        {"first of repeated keys wins", "INI_SERVER_SECTION", "Dup", "", 256, "first", 5},
        {"only the first of repeated sections is searched", "INI_SERVER_SECTION", "Later", "dflt",
         256, "dflt", 4},
        {"a value is cut at NUL", "INI_SERVER_SECTION", "Nul", "", 256, "ab", 2},
        {"comment is not a key", "INI_SERVER_SECTION", ";Commented", "dflt", 256, "dflt", 4},
        {"keys before any section are not found", "", "orphan", "dflt", 256, "dflt", 4},
        {"the empty key name is the key of \"=value\"", "INI_SERVER_SECTION", "", "dflt", 256,
         "no name", 7},
        {"other section", "Other", "KEY", "", 256, "other", 5},
        {"'[' inside a value opens no section", "Fake", "Key", "dflt", 256, "dflt", 4},
        {"indented header, text after ']'", "indented", "k", "", 256, "indented", 8},
        {"header without ']' still opens a section", "Broken", "Inside", "", 256, "broken header",
         13},
        {"missing key gives the default", "INI_SERVER_SECTION", "Absent", "dflt", 256, "dflt", 4},
        {"missing section gives the default", "Nowhere", "Key", "dflt", 256, "dflt", 4},
        {"default loses trailing spaces, not tabs", "Nowhere", "Key", " d f\t  ", 256, " d f\t", 5},
        {"null default is empty", "Nowhere", "Key", nullptr, 256, "", 0},
        {"cut value returns size - 1", "INI_SERVER_SECTION", "Master_URL", "", 5, "/nor", 4},
        {"exact fit", "INI_SERVER_SECTION", "Master_URL", "", 9, "/norvel/", 8},
        {"one short", "INI_SERVER_SECTION", "Master_URL", "", 8, "/norvel", 7},
        {"size 1 holds only the terminator", "INI_SERVER_SECTION", "Master_URL", "", 1, "", 0},
        {"cut default returns size - 1", "Nowhere", "Key", "defaults", 4, "def", 3},
    };
    // A lone CR ends a line as CR LF does.
    for (const std::string& text : {kSample, withLineEnds(kSample, "\r\n", "\r")}) {
        std::string path = write("sample.ini", text);
        for (const ReadCase& c : cases) {
            SCOPED_TRACE(c.name + std::string(text == kSample ? " (CR LF)" : " (CR)"));
            std::vector<char> out(c.size + 1, '#');
            uint32_t n = getPrivateProfileString(c.section, c.key, c.defaultValue, out.data(),
                                                 c.size, path.c_str());
            EXPECT_EQ(n, c.result);
            EXPECT_EQ(std::string(out.data()), c.expected);
            EXPECT_EQ(out[c.size], '#') << "wrote past the buffer";
        }
    }
}

TEST_F(ProfileTest, SizeZeroTouchesNothing) {
    std::string path = write("sample.ini", kSample);
    char out[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(getPrivateProfileString("INI_SERVER_SECTION", "Master_URL", "", out, 0, path.c_str()),
              0u);
    EXPECT_EQ(getPrivateProfileString(nullptr, nullptr, "", out, 0, path.c_str()), 0u);
    EXPECT_EQ(std::string(out, 4), "####");
}

TEST_F(ProfileTest, LineEndsAndByteOrderMarkDoNotMatter) {
    for (const std::string& text :
         {"[S]\nK = v\n"s, "[S]\r\nK = v\r\n"s, "\xEF\xBB\xBF[S]\r\nK = v"s,
          "\n\n  [S]  \n\tK\t=\tv"s, "\r\v[S]\v\r\vK\v=\vv\v\r"s}) {
        std::string path = write("eol.ini", text);
        char out[16];
        EXPECT_EQ(getPrivateProfileString("s", "k", "", out, sizeof out, path.c_str()), 1u);
        EXPECT_STREQ(out, "v");
    }
}

TEST_F(ProfileTest, MissingFileReadsAsEmpty) {
    std::string path = env_.root() + "/absent.ini";
    char out[16];
    setLastError(kSuccess);
    EXPECT_EQ(getPrivateProfileString("S", "K", "dflt", out, sizeof out, path.c_str()), 4u);
    EXPECT_STREQ(out, "dflt");
    EXPECT_EQ(lastError(), kErrFileNotFound);
    EXPECT_EQ(getPrivateProfileString(nullptr, nullptr, "", out, sizeof out, path.c_str()), 0u);
    EXPECT_EQ(std::string(out, 2), "\0\0"s);
}

struct ListCase {
    const char* name;
    const char* section;  // null: list the sections
    uint32_t size;
    std::string expected;  // the bytes written, both final NULs included
    uint32_t result;
};

TEST_F(ProfileTest, ListsNamesWithTheDocumentedTruncation) {
    const std::string file =
        "[Alpha]\nk1=1\nK2=2\n=empty name\nk1=again\n;c=1\njunk\n"
        "[beta]\n[ALPHA]\nk3=3\n[]\nx=1\n[Gamma]\n";
    const ListCase cases[] = {
        {"every section header, duplicates included", nullptr, 64, "Alpha\0beta\0ALPHA\0Gamma\0\0"s,
         23},
        {"keys of the first section only, duplicates included", "alpha", 64, "k1\0K2\0k1\0\0"s, 9},
        {"exact fit", "alpha", 10, "k1\0K2\0k1\0\0"s, 9},
        {"cut list: size - 2 and two NULs", "alpha", 9, "k1\0K2\0k\0\0"s, 7},
        {"cut inside the first name", nullptr, 4, "Al\0\0"s, 2},
        {"size 2 holds the two NULs only", nullptr, 2, "\0\0"s, 0},
        {"size 1", nullptr, 1, "\0"s, 0},
        {"empty section", "beta", 8, "\0\0"s, 0},
        {"missing section is an empty list", "delta", 8, "\0\0"s, 0},
    };
    for (const std::string& text : {file, withLineEnds(file, "\n", "\r")}) {
        std::string path = write("list.ini", text);
        for (const ListCase& c : cases) {
            SCOPED_TRACE(c.name + std::string(text == file ? " (LF)" : " (CR)"));
            std::vector<char> out(c.size + 1, '#');
            uint32_t n = getPrivateProfileString(c.section, nullptr, "dflt", out.data(), c.size,
                                                 path.c_str());
            EXPECT_EQ(n, c.result);
            EXPECT_EQ(std::string(out.data(), c.expected.size()), c.expected);
            EXPECT_EQ(out[c.size], '#') << "wrote past the buffer";
        }
    }
}

TEST_F(ProfileTest, ReadsIntegers) {
    std::string path = write("int.ini",
                             "[S]\nplain=42\nneg=-17x\nplus= +5\nempty=\nword=abc\n"
                             "big=99999999999\nsmall=-99999999999\nquoted=\"7\"\n");
    const struct {
        const char* key;
        int expected;
    } cases[] = {{"plain", 42},    {"neg", -17},     {"plus", 5},        {"empty", 0}, {"word", 0},
                 {"absent", 1234}, {"big", INT_MAX}, {"small", INT_MIN}, {"quoted", 7}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(static_cast<int>(getPrivateProfileInt("s", c.key, 1234, path.c_str())),
                  c.expected);
    }
}

struct WriteCase {
    const char* name;
    std::string before;
    const char* section;
    const char* key;
    const char* value;
    std::string after;
    const char* readBack = nullptr;  // what a read returns afterwards, when not the value
};

TEST_F(ProfileTest, WritesChangeOnlyWhatTheyMust) {
    const std::string bom = "\xEF\xBB\xBF";
    const WriteCase cases[] = {
        {"value replaced in place, spacing and CR LF kept",
         "[S]\r\n  Key =  old value  \r\nOther=1\r\n", "s", "KEY", "new",
         "[S]\r\n  Key =  new\r\nOther=1\r\n"},
        {"empty value replaced", "[S]\nK=\n", "S", "K", "v", "[S]\nK=v\n"},
        {"new key after the section's last key line, before comments and blank lines",
         "[A]\na=1\n;note\n\n[B]\nb=1\n", "A", "n", "2", "[A]\na=1\nn=2\n;note\n\n[B]\nb=1\n"},
        {"new key in a CR-only file: CR line ends", "[S]\rk=1\r[T]\r", "S", "j", "2",
         "[S]\rk=1\rj=2\r[T]\r"},
        {"new key in an empty section at the end of a file without final line end",
         "[A]\r\na=1\r\n[B]", "b", "n", "2", "[A]\r\na=1\r\n[B]\r\nn=2\r\n"},
        {"new key goes to the first of repeated sections", "[A]\na=1\n[B]\n[a]\nc=3\n", "A", "n",
         "2", "[A]\na=1\nn=2\n[B]\n[a]\nc=3\n"},
        {"a key only in a later repeated section is added to the first", "[A]\na=1\n[a]\nc=3\n",
         "A", "c", "4", "[A]\na=1\nc=4\n[a]\nc=3\n"},
        {"first of repeated keys is the one changed", "[A]\nk=1\nk=2\n", "A", "k", "9",
         "[A]\nk=9\nk=2\n"},
        {"new section at the end, LF kept", "[A]\na=1\n", "New", "k", "v",
         "[A]\na=1\n[New]\nk=v\n"},
        {"new section after a last line without line end", "[A]\r\na=1", "New", "k", "v",
         "[A]\r\na=1\r\n[New]\r\nk=v\r\n"},
        {"a last line without line end that stays gets one", "[S]\r\nk=1", "S", "k", "2",
         "[S]\r\nk=2\r\n"},
        {"names keep their tabs, lose their spaces", "[S]\r\n", " \tsec\t ", " \tkey\t ", "v",
         "[S]\r\n[\tsec\t]\r\n\tkey\t=v\r\n", "<absent>"},
        {"the empty key name writes \"=value\"", "[S]\r\nk=1\r\n", "S", "", "v",
         "[S]\r\nk=1\r\n=v\r\n"},
        {"a key starting with ';' is written as given, as a new line each time",
         "[S]\r\nk=1\r\n;x=old\r\n", "S", ";x", "v", "[S]\r\nk=1\r\n;x=v\r\n;x=old\r\n",
         "<absent>"},
        {"comments, garbage, BOM and odd lines kept byte for byte",
         bom + "; note\r\n[S]\r\n\x01\xfe junk\r\n; k=commented\r\nk=1\r\n=x\r\n  \t\r\n", "S", "k",
         "2", bom + "; note\r\n[S]\r\n\x01\xfe junk\r\n; k=commented\r\nk=2\r\n=x\r\n  \t\r\n"},
        {"mixed line ends kept", "[S]\r\na=1\nb=2\r\n", "S", "b", "3", "[S]\r\na=1\nb=3\r\n"},
        {"value written as given, quotes and blanks included", "[S]\n", "S", "k", " \"q\" ",
         "[S]\nk= \"q\" \n", "q"},
        {"delete key: every occurrence in the first section", "[S]\nk=1\nj=2\nK=2\n[s]\nK=3\n", "S",
         "k", nullptr, "[S]\nj=2\n[s]\nK=3\n"},
        {"delete key that is absent", "[S]\nj=2\n", "S", "k", nullptr, "[S]\nj=2\n"},
        {"delete section: all its headers and keys, not its comments",
         "[A]\na=1\n;c\n=x\n[B]\nb=1\n[a]\nx=1\n; d\n", "a", nullptr, nullptr,
         ";c\n[B]\nb=1\n; d\n"},
        {"delete section that is absent", "[A]\na=1\n", "Z", nullptr, nullptr, "[A]\na=1\n"},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = write("w.ini", c.before);
        ASSERT_TRUE(writePrivateProfileString(c.section, c.key, c.value, path.c_str()));
        EXPECT_EQ(readFile(path), c.after);
        if (c.key != nullptr) {
            char out[64];
            getPrivateProfileString(c.section, c.key, "<absent>", out, sizeof out, path.c_str());
            std::string expected = c.readBack ? c.readBack : c.value ? c.value : "<absent>";
            EXPECT_EQ(std::string(out), expected) << "does not read back";
        }
    }
}

TEST_F(ProfileTest, FirstWriteCreatesTheFile) {
    std::string path = env_.root() + "/new.ini";
    // A delete, of a key or of a section, leaves an empty file.
    for (const char* key : {"k", static_cast<const char*>(nullptr)}) {
        ASSERT_TRUE(writePrivateProfileString("S", key, nullptr, path.c_str()));
        EXPECT_EQ(::access(path.c_str(), F_OK), 0) << "no file after a delete";
        EXPECT_EQ(readFile(path), "");
        ASSERT_EQ(::unlink(path.c_str()), 0);
    }

    ASSERT_TRUE(writePrivateProfileString("S", "k", "v", path.c_str()));
    EXPECT_EQ(readFile(path), "[S]\r\nk=v\r\n");

    std::string inMissingDir = env_.root() + "/no/such/dir/x.ini";
    EXPECT_FALSE(writePrivateProfileString("S", "k", "v", inMissingDir.c_str()));
    EXPECT_EQ(lastError(), kErrPathNotFound);
}

TEST_F(ProfileTest, RefusesWritesThatWouldChangeTheFileStructure) {
    const std::string before = "[S]\r\nk=1\r\n";
    std::string path = write("r.ini", before);
    const struct {
        const char* section;
        const char* key;
        const char* value;
    } cases[] = {
        {"S", "k", "1\r\n[Injected]\r\nx=1"},
        {"S", "k", "line\nbreak"},
        {"S]x", "k", "v"},
        {"S\n", "k", "v"},
        {"S", "a\rb", "v"},
        {"S", "a=b", "v"},
        {"S", "[x", "v"},
        {"S", " \t[x", "v"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.section) + "/" + c.key + "/" + c.value);
        EXPECT_FALSE(writePrivateProfileString(c.section, c.key, c.value, path.c_str()));
        EXPECT_EQ(lastError(), kErrInvalidParameter);
        EXPECT_EQ(readFile(path), before);
    }
    EXPECT_FALSE(writePrivateProfileString(nullptr, "k", "v", path.c_str()));
    EXPECT_FALSE(writePrivateProfileString("S", "k", "v", nullptr));
}

TEST_F(ProfileTest, ABatchIsOneChangeOrNone) {
    const std::string before = "[S]\r\nk=1\r\nold=x\r\n[Gone]\r\na=1\r\n";
    std::string path = write("batch.ini", before);
    std::vector<ProfileWrite> writes = {
        {"S", "k", "2"},
        {"S", "old", std::nullopt},
        {"Gone", std::nullopt, std::nullopt},
        {"New", "n", "v"},
        {"S", "k", "3"},  // in order: the later write wins
    };
    ASSERT_TRUE(writePrivateProfileStrings(writes, path.c_str()));
    EXPECT_EQ(readFile(path), "[S]\r\nk=3\r\n[New]\r\nn=v\r\n");

    // One refused write refuses the batch: nothing of it reaches the file.
    std::string now = readFile(path);
    writes = {{"S", "k", "4"}, {"S", "bad", "line\nbreak"}};
    EXPECT_FALSE(writePrivateProfileStrings(writes, path.c_str()));
    EXPECT_EQ(lastError(), kErrInvalidParameter);
    EXPECT_EQ(readFile(path), now);

    // Computed under the lock; an empty batch changes nothing and creates nothing.
    int computed = 0;
    std::string fresh = env_.root() + "/fresh.ini";
    EXPECT_TRUE(updatePrivateProfile(fresh.c_str(), [&] {
        ++computed;
        return std::vector<ProfileWrite>{};
    }));
    EXPECT_EQ(computed, 1);
    EXPECT_NE(::access(fresh.c_str(), F_OK), 0);
}

TEST_F(ProfileTest, Utf16FilesAreNeitherReadNorDamaged) {
    const std::string utf16 = "\xFF\xFE[\0S\0]\0\r\0\n\0k\0=\0v\0\r\0\n\0"s;
    std::string path = write("u.ini", utf16);
    char out[16];
    EXPECT_EQ(getPrivateProfileString("S", "k", "d", out, sizeof out, path.c_str()), 1u);
    EXPECT_STREQ(out, "d");
    EXPECT_FALSE(writePrivateProfileString("S", "k", "w", path.c_str()));
    EXPECT_EQ(lastError(), kErrInvalidData);
    EXPECT_EQ(readFile(path), utf16);
}

TEST_F(ProfileTest, ResolvesPathsLikeTheOriginal) {
    // A bare name lives in the system directory (beside the registry file).
    write("etc/NVLSCAN.INI", "[S]\nk=system\n");
    EXPECT_EQ(profilePath("nvlscan.ini"), env_.root() + "/etc/NVLSCAN.INI");
    char out[16];
    getPrivateProfileString("S", "k", "", out, sizeof out, "nvlscan.ini");
    EXPECT_STREQ(out, "system");

    // Backslashes separate directories; components match without regard to case.
    write("home/Private/nvlserver.ini", "[S]\nk=private\n");
    std::string windowsStyle = env_.root() + "/HOME\\private\\NvlServer.ini";
    getPrivateProfileString("S", "k", "", out, sizeof out, windowsStyle.c_str());
    EXPECT_STREQ(out, "private");

    // A relative path with a directory part is taken from the current directory.
    char cwd[PATH_MAX];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir((env_.root() + "/home/Private").c_str()), 0);
    getPrivateProfileString("S", "k", "", out, sizeof out, "..\\PRIVATE\\nvlserver.ini");
    EXPECT_STREQ(out, "private");
    EXPECT_TRUE(writePrivateProfileString("S", "n", "1", "./nvlserver.ini"));
    ASSERT_EQ(::chdir(cwd), 0);
    EXPECT_EQ(readFile(env_.root() + "/home/Private/nvlserver.ini"), "[S]\nk=private\nn=1\n");
}

// --- Faults and concurrency -------------------------------------------------------------

int g_failAfter = -1;  // how many more calls of the faulty operation succeed

ssize_t failingWrite(int fd, const void* buffer, size_t size) {
    if (g_failAfter == 0) {
        errno = ENOSPC;
        return -1;
    }
    if (g_failAfter > 0)
        --g_failAfter;
    return ::write(fd, buffer, size > 3 ? size / 2 : size);  // short writes on the way
}

int failingRename(const char*, const char*) {
    errno = EIO;
    return -1;
}

std::vector<std::string> directoryEntries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
                names.push_back(e->d_name);
            }
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(ProfileTest, FailedWriteLeavesTheOldFile) {
    const std::string before = "[S]\r\nk=old\r\n";
    std::string path = write("data/f.ini", before);
    std::vector<std::string> entries = directoryEntries(env_.root() + "/data");

    FileOps ops = fileOps();
    ops.write = failingWrite;
    for (int failAfter : {0, 1}) {
        g_failAfter = failAfter;
        ScopedFileOps scoped(ops);
        EXPECT_FALSE(writePrivateProfileString("S", "k", "a much longer new value", path.c_str()));
        EXPECT_EQ(lastError(), kErrDiskFull);
    }
    ops = fileOps();
    ops.rename = failingRename;
    {
        ScopedFileOps scoped(ops);
        EXPECT_FALSE(writePrivateProfileString("S", "k", "new", path.c_str()));
    }
    EXPECT_EQ(readFile(path), before);
    // No temporary is left behind; only the lock file may have appeared.
    std::vector<std::string> after = directoryEntries(env_.root() + "/data");
    std::erase(after, "f.ini.lock");
    EXPECT_EQ(after, entries);

    // And a write that goes through short writes lands whole.
    ops = fileOps();
    ops.write = failingWrite;
    g_failAfter = -1;
    {
        ScopedFileOps scoped(ops);
        EXPECT_TRUE(writePrivateProfileString("S", "k", "a much longer new value", path.c_str()));
    }
    EXPECT_EQ(readFile(path), "[S]\r\nk=a much longer new value\r\n");
}

// Counts the "k<writer>_<n>=" lines of a file; -1 when the file is torn (does not end with a
// line end, or lost its first and last sections).
int countKeysOrTorn(const std::string& text) {
    if (text.empty() || text.back() != '\n')
        return -1;
    if (text.rfind("[Head]\r\nfirst=1\r\n", 0) != 0)
        return -1;
    if (text.find("[Tail]\r\nlast=1\r\n") == std::string::npos)
        return -1;
    int count = 0;
    for (size_t pos = text.find("\nk"); pos != std::string::npos; pos = text.find("\nk", pos + 1)) {
        ++count;
    }
    return count;
}

TEST_F(ProfileTest, ConcurrentWritersLoseNothingAndReadersNeverSeeATornFile) {
    constexpr int kWriters = 8;
    constexpr int kKeysEach = 200;
    std::string path = write("shared.ini", "[Head]\r\nfirst=1\r\n[Tail]\r\nlast=1\r\n");

    int stop[2];
    ASSERT_EQ(::pipe(stop), 0);
    pid_t reader = ::fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
        ::close(stop[1]);
        ::fcntl(stop[0], F_SETFL, O_NONBLOCK);
        int failure = 0;
        int last = 0;
        char byte;
        for (bool writersDone = false; !writersDone && failure == 0;) {
            writersDone = ::read(stop[0], &byte, 1) == 1;
            std::string text;
            char out[16] = {};
            if (readWholeFile(path, &text) != kSuccess) {
                failure = 2;
            } else if (int count = countKeysOrTorn(text); count < last) {
                failure = 3;  // torn, or an update was lost
            } else {
                last = count;
                getPrivateProfileString("Tail", "last", "", out, sizeof out, path.c_str());
                if (std::strcmp(out, "1") != 0)
                    failure = 4;
            }
            if (writersDone && failure == 0 && last != kWriters * kKeysEach)
                failure = 5;
        }
        // Stay until the parent is done writing to the pipe, whatever happened.
        ::fcntl(stop[0], F_SETFL, 0);
        while (::read(stop[0], &byte, 1) > 0) {
        }
        ::_exit(failure);
    }
    ::close(stop[0]);

    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0; i < kKeysEach; ++i) {
                std::string key = "k" + std::to_string(w) + "_" + std::to_string(i);
                // Writers alternate between two sections to exercise both insert paths.
                if (!writePrivateProfileString(i % 2 ? "Head" : "Tail", key.c_str(),
                                               std::to_string(i).c_str(), path.c_str())) {
                    ::_exit(1);
                }
            }
            ::_exit(0);
        }
        writers.push_back(pid);
    }
    for (pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ASSERT_EQ(::write(stop[1], "x", 1), 1);
    ::close(stop[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(reader, &status, 0), reader);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "reader saw a torn file or a lost update";

    std::string text = readFile(path);
    for (int w = 0; w < kWriters; ++w) {
        for (int i = 0; i < kKeysEach; ++i) {
            std::string key = "k" + std::to_string(w) + "_" + std::to_string(i);
            auto value = profile::findValue(text, i % 2 ? "Head" : "Tail", key);
            ASSERT_TRUE(value.has_value()) << key;
            EXPECT_EQ(*value, std::to_string(i));
        }
    }
}

}  // namespace
}  // namespace nvl::sys
