// Several processes append to the event log and the update log at the same moment: every
// record lands in its file exactly once, as one whole line.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cgishare/event_log.h>
#include <cgishare/update_log.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/process.h"
#include "support/test_env.h"

namespace {

constexpr int kProcesses = 8;
constexpr int kRecords = 2000;

time_t fixedNow() {
    return 1157017267;  // 2006-08-31 09:41:07 UTC: all records go to one day's file
}

// Records differ in length, so that a torn or interleaved line cannot pass for a whole one.
std::string payload(int process, int record) {
    std::string tag = "p" + std::to_string(process) + "r" + std::to_string(record);
    return tag + ":" +
           std::string(static_cast<size_t>(100 + (process * 131 + record * 17) % 800),
                       static_cast<char>('a' + (record + process) % 26));
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// Checks that `records` hold every payload once; `extract` returns the payload of a line
// or "" when the line is not a whole record.
template <class Extract>
void expectEveryRecordOnce(const std::vector<std::string>& records, Extract extract) {
    std::set<std::string> expected;
    for (int p = 0; p < kProcesses; ++p)
        for (int r = 0; r < kRecords; ++r)
            expected.insert(payload(p, r));
    EXPECT_EQ(records.size(), expected.size());
    std::set<std::string> seen;
    int bad = 0;
    for (const std::string& line : records) {
        std::string found = extract(line);
        if (expected.count(found) == 0 || !seen.insert(found).second)
            ++bad;
    }
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(seen.size(), expected.size());
}

TEST(ConcurrentWriters, EveryRecordOnceAndWhole) {
    nvl::test::TestEnv env;
    nvl::sys::makeDirectories(env.home() + "Log");
    const std::string eventDir = env.root() + "/events/";
    nvl::sys::makeDirectories(eventDir);
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    nvl::sys::setCurrentTimeSourceForTesting(fixedNow);
    SetEventLogDir(const_cast<char*>(eventDir.c_str()));
    SetEventLogFlag(0);

    // The children wait on the gate until the parent closes it, so that they all start
    // writing together.
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(gate[1]);
            char byte;
            if (::read(gate[0], &byte, 1) != 0)
                ::_exit(2);
            for (int r = 0; r < kRecords; ++r) {
                std::string text = payload(p, r);
                EventLog(NVL_EVENT_UNKNOWN_EVENT1, text.data(), true, nullptr, nullptr, nullptr,
                         nullptr);
                writeUpdateLog(const_cast<char*>("20060831094107"), const_cast<char*>("4"), p, r,
                               text.data(), nullptr);
            }
            ::_exit(0);
        }
        children.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    nvl::sys::setCurrentTimeSourceForTesting(nullptr);
    SetEventLogDir(nullptr);

    const std::string eventPrefix = "2006/08/31, 09:41:07, 69, unknown event1, ";
    const std::string eventSuffix = ", success, -,";
    expectEveryRecordOnce(
        lines(nvl::test::readFile(eventDir + "nvl20060831.log")), [&](const std::string& line) {
            if (line.size() < eventPrefix.size() + eventSuffix.size() ||
                line.compare(0, eventPrefix.size(), eventPrefix) != 0 ||
                line.compare(line.size() - eventSuffix.size(), eventSuffix.size(), eventSuffix) !=
                    0)
                return std::string();
            return line.substr(eventPrefix.size(),
                               line.size() - eventPrefix.size() - eventSuffix.size());
        });

    expectEveryRecordOnce(
        lines(nvl::test::readFile(env.home() + "Log/update.log")), [](const std::string& line) {
            int p = -1, r = -1, used = 0;
            if (std::sscanf(line.c_str(), "20060831094107,4,%d,%d,%n", &p, &r, &used) != 2 ||
                used == 0)
                return std::string();
            std::string message = line.substr(static_cast<size_t>(used));
            return message == payload(p, r) ? message : std::string();
        });

    // The reader sees the same records.
    EXPECT_EQ(getRecordCountUpdateLog(), kProcesses * kRecords);
    struct Tally {
        int records = 0, mismatched = 0;
    } tally;
    EXPECT_EQ(readUpdateLog(
                  0,
                  [](char*, char*, int p, int r, char* message, void* context) {
                      auto* t = static_cast<Tally*>(context);
                      ++t->records;
                      if (message == nullptr || message != payload(p, r))
                          ++t->mismatched;
                  },
                  &tally),
              0);
    EXPECT_EQ(tally.records, kProcesses * kRecords);
    EXPECT_EQ(tally.mismatched, 0);
}

}  // namespace
