// The server update log: writing, counting, paging, clearing, and reading files that other
// writers left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cgishare/update_log.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "logs/update_log_internal.h"
#include "platform/file.h"
#include "support/test_env.h"

namespace {

char* text(const char* s) {
    return const_cast<char*>(s);
}

struct Record {
    std::string timeStamp, kind;  // "<null>" for a null text
    int number1 = 0, number2 = 0;
    std::string message;
    bool operator==(const Record&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Record& r) {
    return out << '{' << r.timeStamp << '|' << r.kind << '|' << r.number1 << '|' << r.number2 << '|'
               << r.message << '}';
}

void collect(char* timeStamp, char* kind, int number1, int number2, char* message, void* context) {
    auto orNull = [](const char* s) { return s != nullptr ? std::string(s) : "<null>"; };
    static_cast<std::vector<Record>*>(context)->push_back(
        {orNull(timeStamp), orNull(kind), number1, number2, orNull(message)});
}

int g_waits = 0;
void countWait(unsigned milliseconds) {
    EXPECT_EQ(milliseconds, 500u);
    ++g_waits;
}

class UpdateLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        nvl::sys::makeDirectories(env_.home() + "Log");
        g_waits = 0;
        nvl::logs::setUpdateLogWaitForTesting(countWait);
    }
    void TearDown() override { nvl::logs::setUpdateLogWaitForTesting(nullptr); }

    std::string logPath() const { return env_.home() + "Log/update.log"; }
    std::string contents() const { return nvl::test::readFile(logPath()); }
    void writeFile(const std::string& data) const { env_.writeFile("home/Log/update.log", data); }

    std::vector<Record> read(int page, int* result) const {
        std::vector<Record> records;
        *result = readUpdateLog(page, collect, &records);
        return records;
    }

    // Writes records "m1" .. "m<n>" with ascending numbers.
    void writeNumbered(int n) const {
        for (int i = 1; i <= n; ++i) {
            std::string message = "m" + std::to_string(i);
            writeUpdateLog(text("20060831094107"), text("4"), i, -i, text(message.c_str()),
                           nullptr);
        }
    }

    nvl::test::TestEnv env_;
};

TEST_F(UpdateLogTest, WriterChecksItsFieldsAndWritesOneLine) {
    const std::string m1023(1023, 'm'), m1024(1024, 'm');
    struct Case {
        const char* timeStamp;
        const char* kind;
        int number1, number2;
        const char* message;
        const char* written;  // nullptr: nothing is written
    };
    const std::string full = "20060831094107,4,1,1," + m1023 + "\n";
    const Case cases[] = {
        {"20060831094107", "4", 1, 1, "3.123.45", "20060831094107,4,1,1,3.123.45\n"},
        {"20060831094107", "4", -7, 2147483647, "", "20060831094107,4,-7,2147483647,\n"},
        {"20060831094107", "4", 1, 1, "a,b,,c", "20060831094107,4,1,1,a,b,,c\n"},
        {"20060831094107", "4", 1, 1, m1023.c_str(), full.c_str()},
        {"20060831094107", "4", 1, 1, m1024.c_str(), nullptr},
        // Full length with numbers of several digits: the line would outgrow a reader's
        // buffer and its tail would read back as a second record.
        {"20060831094107", "4", 10, 1, m1023.c_str(), nullptr},
        {"2006083109410", "4", 1, 1, "m", nullptr},
        {"200608310941070", "4", 1, 1, "m", nullptr},
        {"20060831094107", "", 1, 1, "m", nullptr},
        {"20060831094107", "44", 1, 1, "m", nullptr},
        {nullptr, "4", 1, 1, "m", nullptr},
        {"20060831094107", nullptr, 1, 1, "m", nullptr},
        {"20060831094107", "4", 1, 1, nullptr, nullptr},
        // A line break inside a field would end the record early and start a false one.
        {"20060831094107", "4", 1, 1, "a\nb\r\nc", "20060831094107,4,1,1,a b  c\n"},
        {"2006083109\n107", "\r", 1, 1, "m", "2006083109 107, ,1,1,m\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written != nullptr ? std::string(c.written).substr(0, 40) : "rejected");
        ::unlink(logPath().c_str());
        writeUpdateLog(text(c.timeStamp), text(c.kind), c.number1, c.number2, text(c.message),
                       nullptr);
        EXPECT_EQ(contents(), c.written != nullptr ? c.written : "");
    }
    EXPECT_EQ(g_waits, 0);
}

TEST_F(UpdateLogTest, ReadsBackWhatWasWritten) {
    writeUpdateLog(text("20060831094107"), text("4"), 1, 1, text("3.123.45"), nullptr);
    writeUpdateLog(text("20060901000000"), text("x"), -5, 0, text(""), nullptr);
    writeUpdateLog(text("20060902000000"), text("4"), 2, 3, text("a, b,c"), nullptr);
    int result = 1;
    EXPECT_EQ(read(0, &result), (std::vector<Record>{{"20060831094107", "4", 1, 1, "3.123.45"},
                                                     {"20060901000000", "x", -5, 0, ""},
                                                     {"20060902000000", "4", 2, 3, "a, b,c"}}));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(getRecordCountUpdateLog(), 3);
}

TEST_F(UpdateLogTest, PagesOfTenRecords) {
    writeNumbered(25);
    ASSERT_EQ(getRecordCountUpdateLog(), 25);
    struct Case {
        int page;
        int result;
        int first, last;  // the messages delivered, m<first> .. m<last>; 0 0 for none
    };
    const Case cases[] = {{0, 0, 1, 25}, {1, 0, 1, 10},  {2, 0, 11, 20},        {3, 0, 21, 25},
                          {4, -1, 0, 0}, {-1, -1, 0, 0}, {2147483647, -1, 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page);
        int result = 1;
        std::vector<Record> records = read(c.page, &result);
        EXPECT_EQ(result, c.result);
        std::vector<Record> expected;
        for (int i = c.first; i >= 1 && i <= c.last; ++i)
            expected.push_back({"20060831094107", "4", i, -i, "m" + std::to_string(i)});
        EXPECT_EQ(records, expected);
    }

    // A page that begins exactly at the end of the file is empty, not missing.
    writeFile("");
    writeNumbered(20);
    int result = 1;
    EXPECT_TRUE(read(3, &result).empty());
    EXPECT_EQ(result, 0);
}

TEST_F(UpdateLogTest, ReaderSplitsLinesOfOtherWriters) {
    struct Case {
        const char* file;
        std::vector<Record> records;
    };
    const Case cases[] = {
        // Fields the line does not reach stay null or zero; the callback is made anyway.
        {"no separator\n", {{"<null>", "<null>", 0, 0, "<null>"}}},
        {"ts\n", {{"<null>", "<null>", 0, 0, "<null>"}}},
        {"ts,k\n", {{"ts", "<null>", 0, 0, "<null>"}}},
        {"ts,k,5\n", {{"ts", "k", 0, 0, "<null>"}}},
        {"ts,k,5,6\n", {{"ts", "k", 5, 0, "<null>"}}},
        {"ts,k,5,6,\n", {{"ts", "k", 5, 6, ""}}},
        {",,,,\n", {{"", "", 0, 0, ""}}},
        {"\n", {{"<null>", "<null>", 0, 0, "<null>"}}},
        // Numbers read as atoi reads them; beyond the int range they are clamped.
        {"t,k, 12abc,-x,m\n", {{"t", "k", 12, 0, "m"}}},
        {"t,k,99999999999,-99999999999,m\n", {{"t", "k", 2147483647, -2147483647 - 1, "m"}}},
        // Line ends: CR LF reads as LF; the last line needs none.
        {"a,b,1,2,m\r\nc,d,3,4,n", {{"a", "b", 1, 2, "m"}, {"c", "d", 3, 4, "n"}}},
        {"a,b,1,2,m\r\r\n", {{"a", "b", 1, 2, "m\r"}}},
        // A line longer than the line buffer is one record, cut, never two.
        {nullptr, {{"a", "b", 1, 2, std::string(1044 - 8, 'z')}, {"c", "d", 3, 4, "n"}}},
    };
    const std::string overlong = "a,b,1,2," + std::string(5000, 'z') + "\nc,d,3,4,n\n";
    for (const Case& c : cases) {
        std::string file = c.file != nullptr ? c.file : overlong;
        SCOPED_TRACE(file.substr(0, 40));
        writeFile(file);
        int result = 1;
        EXPECT_EQ(read(0, &result), c.records);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(getRecordCountUpdateLog(), static_cast<int>(c.records.size()));
    }
}

TEST_F(UpdateLogTest, MissingEmptyAndUnreadableFiles) {
    int result = 1;
    // Missing file.
    EXPECT_EQ(getRecordCountUpdateLog(), -1);
    EXPECT_TRUE(read(0, &result).empty());
    EXPECT_EQ(result, -2);

    // Empty file.
    writeFile("");
    EXPECT_EQ(getRecordCountUpdateLog(), 0);
    EXPECT_TRUE(read(0, &result).empty());
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(read(1, &result).empty());
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(read(2, &result).empty());
    EXPECT_EQ(result, -1);
    EXPECT_EQ(readUpdateLog(0, nullptr, nullptr), -1);

    // A file that opens but cannot be read: a directory in its place.
    ::unlink(logPath().c_str());
    ASSERT_EQ(::mkdir(logPath().c_str(), 0755), 0);
    EXPECT_EQ(getRecordCountUpdateLog(), -3);
    EXPECT_TRUE(read(0, &result).empty());
    EXPECT_EQ(result, -3);
    EXPECT_TRUE(read(2, &result).empty());
    EXPECT_EQ(result, -1);
}

TEST_F(UpdateLogTest, DeleteEmptiesTheFileAndKeepsIt) {
    for (bool existed : {true, false}) {
        if (existed)
            writeNumbered(3);
        else
            ::unlink(logPath().c_str());
        deleteUpdateLog();
        struct stat st {};
        ASSERT_EQ(::stat(logPath().c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 0);
        EXPECT_EQ(getRecordCountUpdateLog(), 0);
    }
}

TEST_F(UpdateLogTest, OpenIsRetriedThreeTimes) {
    writeNumbered(1);
    struct Case {
        const char* name;
        int (*call)();
        int result;
        int waits;
    };
    const Case cases[] = {
        {"write",
         [] {
             writeUpdateLog(text("20060831094107"), text("4"), 1, 1, text("m"), nullptr);
             return 0;
         },
         0, 3},
        {"delete",
         [] {
             deleteUpdateLog();
             return 0;
         },
         0, 3},
        {"count", [] { return getRecordCountUpdateLog(); }, -1, 0},
        {"read", [] { return readUpdateLog(0, collect, nullptr); }, -2, 3},
    };
    // Another process holds the file: every open is refused.
    static int opens;
    nvl::sys::FileOps refusing = nvl::sys::fileOps();
    refusing.open = [](const char*, int, mode_t) {
        ++opens;
        errno = EACCES;
        return -1;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_waits = 0;
        opens = 0;
        int result;
        {
            nvl::sys::ScopedFileOps scoped(refusing);
            result = c.call();
        }
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(opens, 3);
        EXPECT_EQ(g_waits, c.waits);
    }
    EXPECT_EQ(contents(), "20060831094107,4,1,-1,m1\n");

    // The Log directory is not created for the log.
    ::unlink(logPath().c_str());
    ASSERT_EQ(::rmdir((env_.home() + "Log").c_str()), 0);
    writeNumbered(1);
    deleteUpdateLog();
    EXPECT_EQ(::access((env_.home() + "Log").c_str(), F_OK), -1);
}

TEST_F(UpdateLogTest, LogDirectoryIsFoundWithoutRegardToCase) {
    ASSERT_EQ(::rename((env_.home() + "Log").c_str(), (env_.home() + "LOG").c_str()), 0);
    env_.writeFile("home/LOG/UPDATE.LOG", "");
    writeNumbered(2);
    EXPECT_EQ(nvl::test::readFile(env_.home() + "LOG/UPDATE.LOG"),
              "20060831094107,4,1,-1,m1\n20060831094107,4,2,-2,m2\n");
    EXPECT_EQ(getRecordCountUpdateLog(), 2);
}

TEST_F(UpdateLogTest, BaseDirectoryReplacesTheHomeDirectory) {
    const std::string base = env_.root() + "/other";
    nvl::sys::makeDirectories(base + "/Log");
    for (const std::string& given : {base + "/", base}) {
        writeUpdateLog(text("20060831094107"), text("4"), 1, 1, text("m"), text(given.c_str()));
    }
    writeUpdateLog(text("20060831094107"), text("4"), 1, 1, text("home"), text(""));
    EXPECT_EQ(nvl::test::readFile(base + "/Log/update.log"),
              "20060831094107,4,1,1,m\n20060831094107,4,1,1,m\n");
    EXPECT_EQ(contents(), "20060831094107,4,1,1,home\n");

    // The whole path fits in 259 characters, or nothing is written.
    for (size_t pathLength : {259u, 260u}) {
        std::string dir = env_.root() + "/";
        dir += std::string(pathLength - dir.size() - std::strlen("/Log/update.log"), 'b');
        nvl::sys::makeDirectories(dir + "/Log");
        writeUpdateLog(text("20060831094107"), text("4"), 1, 1, text("m"), text(dir.c_str()));
        EXPECT_EQ(nvl::test::readFile(dir + "/Log/update.log").empty(), pathLength == 260u)
            << pathLength;
    }
}

TEST_F(UpdateLogTest, NoHomeDirectoryWritesNowhere) {
    env_.writeFile("etc/registry.reg", "Windows Registry Editor Version 5.00\r\n\r\n");
    char saved[4096];
    ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(::chdir(env_.root().c_str()), 0);
    nvl::sys::makeDirectories("Log");
    writeUpdateLog(text("20060831094107"), text("4"), 1, 1, text("m"), nullptr);
    deleteUpdateLog();
    int result = 1;
    EXPECT_EQ(getRecordCountUpdateLog(), -1);
    EXPECT_TRUE(read(0, &result).empty());
    EXPECT_EQ(result, -2);
    EXPECT_EQ(::access("Log/update.log", F_OK), -1);
    ASSERT_EQ(::chdir(saved), 0);
}

}  // namespace
