// The log-on throttle: its delays, failures counted by several processes at once, the state
// file's rules (private, bounded, any bytes a name) and what it makes of a file it did not
// write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "crypto.h"
#include "security.h"
#include "support/child_process.h"
#include "support/test_env.h"
#include "throttle.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using nvl::test::readFile;
using nvl::test::TestEnv;

std::string keyOf(const std::string& user) {
    console::Sha256Digest digest = console::sha256(user);
    return console::hex(digest.data(), digest.size());
}

std::string line(const std::string& key, const std::string& count) {
    return key + " " + count + "\n";
}

class Throttle : public testing::Test {
  protected:
    std::string directory() const { return env_.home() + "private/"; }
    std::string stateFile() const { return directory() + "logon-failures"; }
    void writeState(const std::string& content) const {
        ::mkdir(directory().c_str(), 0700);
        env_.writeFile("home/private/logon-failures", content);
        ::chmod(stateFile().c_str(), 0600);
    }
    // Every line of the state file has the form the throttle writes.
    void expectCleanState() const {
        std::istringstream lines(readFile(stateFile()));
        for (std::string text; std::getline(lines, text);) {
            EXPECT_EQ(text.size() >= 66 && text.size() <= 74 && text[64] == ' ', true) << text;
        }
    }

    TestEnv env_;
};

TEST(LogonDelay, GrowsFromTheSixthFailureAndStopsAtThirtySeconds) {
    const struct {
        int failures;
        std::chrono::milliseconds delay;
    } kCases[] = {
        {0, 0ms},           {1, 0ms},
        {4, 0ms},           {5, 1000ms},
        {6, 2000ms},        {7, 4000ms},
        {8, 8000ms},        {9, 16000ms},
        {10, 30000ms},      {11, 30000ms},
        {40, 30000ms},      {-1, 0ms},
        {INT_MAX, 30000ms}, {console::kMostFailures, 30000ms},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(console::delayAfter(c.failures), c.delay) << c.failures << " failures";
}

TEST_F(Throttle, CountsFailuresInARowAndASuccessClearsOnlyItsName) {
    for (int i = 0; i < 6; ++i)
        console::recordLogonFailure("admin");
    console::recordLogonFailure("other");
    EXPECT_EQ(console::logonFailures("admin"), 6);
    // Six wrong passwords: the seventh attempt waits two seconds.
    EXPECT_EQ(console::logonDelay("admin"), 2000ms);
    EXPECT_EQ(console::logonDelay("other"), 0ms);

    console::clearLogonFailures("admin");
    EXPECT_EQ(console::logonFailures("admin"), 0);
    EXPECT_EQ(console::logonFailures("other"), 1);
    console::clearLogonFailures("never failed");
    EXPECT_EQ(console::logonFailures("other"), 1);

    struct stat st {};
    ASSERT_EQ(::lstat(directory().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::lstat(stateFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Names are kept only as digests.
    EXPECT_EQ(readFile(stateFile()).find("other"), std::string::npos);
}

TEST_F(Throttle, AnyBytesAreANameOfTheirOwn) {
    const std::vector<std::string> names = {
        "",
        "admin",
        "Admin",
        "admin ",
        "a\nb",
        "a b 1",
        "\xFF\xFE",
        "a\0b"s,
        "a",
        "\xE7\xAE\xA1\xE7\x90\x86\xE8\x80\x85",
        std::string(100000, 'n'),
    };
    for (size_t i = 0; i < names.size(); ++i) {
        for (size_t k = 0; k <= i; ++k)
            console::recordLogonFailure(names[i]);
    }
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(console::logonFailures(names[i]), static_cast<int>(i + 1)) << i;
    EXPECT_LT(readFile(stateFile()).size(), 1000u);
    expectCleanState();
}

TEST_F(Throttle, FailuresOfEightProcessesAtOnceAreAllCounted) {
    constexpr int kProcesses = 8;
    constexpr int kEach = 40;
    nvl::test::Channel ready, go;
    std::vector<std::unique_ptr<nvl::test::Child>> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(std::make_unique<nvl::test::Child>([&] {
            ready.post();
            if (go.take() == '\0')
                return 2;
            for (int i = 0; i < kEach; ++i)
                console::recordLogonFailure(i % 2 == 0 ? "admin" : "guest");
            return 0;
        }));
    }
    for (int p = 0; p < kProcesses; ++p)
        ASSERT_NE(ready.take(), '\0');
    for (int p = 0; p < kProcesses; ++p)
        go.post();
    for (auto& child : children)
        EXPECT_EQ(child->wait(), 0);
    EXPECT_EQ(console::logonFailures("admin"), kProcesses * kEach / 2);
    EXPECT_EQ(console::logonFailures("guest"), kProcesses * kEach / 2);
    // No temporary file is left behind.
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory()))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"logon-failures", "logon-failures.lock"}));
}

TEST_F(Throttle, AStateFileItDidNotWriteGivesAClearAnswer) {
    const std::string admin = keyOf("admin");
    std::string upper = admin;
    for (char& c : upper)
        c = static_cast<char>(c >= 'a' && c <= 'f' ? c - 32 : c);
    const struct {
        const char* what;
        std::string content;
        int failures;  // of "admin" as read
    } kCases[] = {
        {"empty", "", 0},
        {"garbage", "not a state file\n\0\xFF\n\n   \n"s, 0},
        {"one good line among garbage", "junk\n" + line(admin, "7") + "\xFF\xFE\n", 7},
        {"cut short", line(admin, "7").substr(0, 40), 0},
        {"line without its end", line(admin, "7").substr(0, 66), 0},
        {"count of ten digits", line(admin, "1234567890"), 0},
        {"count of nine digits", line(admin, "999999999"), console::kMostFailures},
        {"zero count", line(admin, "0"), 0},
        {"leading zero", line(admin, "07"), 0},
        {"sign", line(admin, "+7"), 0},
        {"upper-case digest", line(upper, "7"), 0},
        {"short digest", line(admin.substr(1), "7"), 0},
        {"two spaces", admin + "  7\n", 0},
        {"carriage return", admin + " 7\r\n", 0},
        {"the name twice", line(admin, "3") + line(admin, "9") + line(admin, "2"), 9},
        {"huge, the line first", line(admin, "7") + std::string(8 << 20, 'x'), 7},
        {"huge, the line past the limit",
         std::string(console::kStateFileLimit, '\n') + line(admin, "7"), 0},
        {"huge line", std::string(8 << 20, 'a') + "\n" + line(admin, "7"), 0},
    };
    for (const auto& c : kCases) {
        writeState(c.content);
        EXPECT_EQ(console::logonFailures("admin"), c.failures) << c.what;
        console::recordLogonFailure("admin");
        EXPECT_EQ(console::logonFailures("admin"), std::min(c.failures + 1, console::kMostFailures))
            << c.what;
        // Written anew, the file holds only what the throttle writes.
        EXPECT_LT(readFile(stateFile()).size(), 200u) << c.what;
        expectCleanState();
    }
}

TEST_F(Throttle, AStateFileOthersCouldTouchCountsForNothing) {
    const std::string content = line(keyOf("admin"), "7");
    writeState(content);
    ASSERT_EQ(console::logonFailures("admin"), 7);

    ::chmod(stateFile().c_str(), 0644);
    EXPECT_EQ(console::logonFailures("admin"), 0) << "readable by others";
    ::chmod(stateFile().c_str(), 0620);
    EXPECT_EQ(console::logonFailures("admin"), 0) << "writable by the group";

    std::string elsewhere = env_.writeFile("elsewhere", content);
    ::chmod(elsewhere.c_str(), 0600);
    ::unlink(stateFile().c_str());
    ASSERT_EQ(::symlink(elsewhere.c_str(), stateFile().c_str()), 0);
    EXPECT_EQ(console::logonFailures("admin"), 0) << "a symbolic link";
    console::recordLogonFailure("admin");
    EXPECT_EQ(readFile(elsewhere), content) << "the link's target is never written";
    EXPECT_EQ(console::logonFailures("admin"), 1);
}

TEST_F(Throttle, WithoutAPrivateDirectoryNothingIsCountedOrWritten) {
    std::string target = env_.root() + "/target/";
    ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
    const struct {
        const char* what;
        void (*make)(const std::string& directory, const std::string& target);
    } kCases[] = {
        {"world-writable",
         [](const std::string& d, const std::string&) {
             ::mkdir(d.c_str(), 0700);
             ::chmod(d.c_str(), 0777);
         }},
        {"group-writable",
         [](const std::string& d, const std::string&) {
             ::mkdir(d.c_str(), 0700);
             ::chmod(d.c_str(), 0770);
         }},
        {"a symbolic link",
         [](const std::string& d, const std::string& t) { (void)::symlink(t.c_str(), d.c_str()); }},
        {"a file",
         [](const std::string& d, const std::string&) {
             ::close(::open(d.c_str(), O_CREAT | O_WRONLY, 0600));
         }},
    };
    std::string directory = env_.home() + "private";
    for (const auto& c : kCases) {
        c.make(directory, target);
        for (int i = 0; i < 7; ++i)
            console::recordLogonFailure("admin");
        EXPECT_EQ(console::logonFailures("admin"), 0) << c.what;
        EXPECT_EQ(console::logonDelay("admin"), 0ms) << c.what;
        EXPECT_NE(::access((target + "logon-failures").c_str(), F_OK), 0) << c.what;
        EXPECT_NE(::access((directory + "/logon-failures").c_str(), F_OK), 0) << c.what;
        ::rmdir(directory.c_str());
        ::unlink(directory.c_str());
    }
}

TEST_F(Throttle, AFloodOfNamesNeverPushesOutANameThatWaits) {
    // A full file: the administrator's name waited on, the oldest of all; then names that
    // failed once.
    std::string content = line(keyOf("admin"), "6");
    for (size_t i = 1; i < console::kKeptNames; ++i)
        content += line(keyOf("flood " + std::to_string(i)), "1");
    writeState(content);

    for (int i = 0; i < 3000; i += 7)
        console::recordLogonFailure("new " + std::to_string(i));
    EXPECT_EQ(console::logonFailures("admin"), 6);
    EXPECT_EQ(console::logonFailures("flood 1"), 0) << "the oldest that cost nothing went";
    EXPECT_EQ(console::logonFailures("new 2996"), 1);
    EXPECT_LE(readFile(stateFile()).size(), console::kKeptNames * 67);

    // When every other name waits, the least recently failed of all goes, never the newest.
    content.clear();
    for (size_t i = 0; i < console::kKeptNames; ++i)
        content += line(keyOf("waits " + std::to_string(i)), "5");
    writeState(content);
    console::recordLogonFailure("newcomer");
    EXPECT_EQ(console::logonFailures("newcomer"), 1);
    EXPECT_EQ(console::logonFailures("waits 0"), 0);
    EXPECT_EQ(console::logonFailures("waits 1"), 5);
}

}  // namespace
