// The audit log: records in the event log's form that the event-log reader reads back, one
// line each whatever the request sent, whole when several processes write at once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "audit.h"
#include "event_reader.h"
#include "support/child_process.h"
#include "support/test_env.h"

namespace {

using namespace std::string_literals;
using nvl::test::readFile;

class Audit : public testing::Test {
  protected:
    void SetUp() override {
        ::umask(022);
        ::setenv("REMOTE_ADDR", "192.0.2.7", 1);
        ASSERT_EQ(::mkdir((env_.home() + "Log").c_str(), 0755), 0);
    }
    void TearDown() override { ::unsetenv("REMOTE_ADDR"); }

    // The lines of today's audit file (of the day the test began, or of the next one when it
    // ran past midnight).
    std::vector<std::string> lines() const {
        std::string text = readFile(file(started_));
        if (text.empty())
            text = readFile(file(std::time(nullptr)));
        std::vector<std::string> result;
        std::istringstream stream(text);
        for (std::string line; std::getline(stream, line);)
            result.push_back(line);
        if (!text.empty() && text.back() != '\n')
            result.push_back("(no line end)");
        return result;
    }
    std::string file(time_t when) const {
        struct tm local {};
        localtime_r(&when, &local);
        char name[32];
        std::strftime(name, sizeof name, "audit%Y%m%d.log", &local);
        return env_.home() + "Log/" + name;
    }

    nvl::test::TestEnv env_;
    time_t started_ = std::time(nullptr);
};

TEST_F(Audit, ARecordHasTheEventLogsFormAndReadsBack) {
    console::writeAudit(console::kAuditLogOn, "admin", true);
    console::writeAudit(console::kAuditPasswordChanged, "admin", false);
    std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_TRUE(std::regex_match(
        written[0], std::regex(R"(\d{4}/\d\d/\d\d, \d\d:\d\d:\d\d, 1, log on, admin, success, )"
                               R"(192\.0\.2\.7,)")))
        << written[0];

    console::EventRecord record;
    ASSERT_TRUE(console::parseEventRecord(written[1], &record)) << written[1];
    EXPECT_EQ(record.id, 6);
    EXPECT_EQ(record.event, "password changed");
    EXPECT_EQ(record.description, "admin");
    EXPECT_FALSE(record.success);
    EXPECT_EQ(record.detail, "192.0.2.7");

    struct stat st {};
    ASSERT_EQ(::stat(file(started_).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(Audit, EveryEventHasItsText) {
    const struct {
        console::AuditEvent event;
        const char* text;
    } kEvents[] = {
        {console::kAuditLogOn, "log on"},
        {console::kAuditLogOff, "log off"},
        {console::kAuditLogOnFailed, "log on failed"},
        {console::kAuditTimedOut, "session timed out"},
        {console::kAuditSettingsChanged, "settings changed"},
        {console::kAuditPasswordChanged, "password changed"},
        {console::kAuditPatternRead, "pattern read"},
        {console::kAuditServicesNotified, "services notified"},
        {console::kAuditSpywareScan, "spyware scan"},
        {console::kAuditSpywareRestore, "spyware restored"},
        {console::kAuditHotfix, "hot fix"},
    };
    for (const auto& e : kEvents)
        console::writeAudit(e.event, "admin", true);
    console::writeAudit(static_cast<console::AuditEvent>(0), "admin", true);
    console::writeAudit(static_cast<console::AuditEvent>(12), "admin", true);
    std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), std::size(kEvents));
    for (size_t i = 0; i < written.size(); ++i) {
        console::EventRecord record;
        ASSERT_TRUE(console::parseEventRecord(written[i], &record)) << written[i];
        EXPECT_EQ(record.id, kEvents[i].event);
        EXPECT_EQ(record.event, kEvents[i].text);
    }
}

TEST_F(Audit, HostileNamesStayInTheirFieldOnOneLine) {
    std::string commas;
    for (size_t i = 0; i < console::kAuditTextLimit; ++i)
        commas += "%2C";
    const struct {
        std::string sent;
        std::string written;
    } kCases[] = {
        {"a,b", "a%2Cb"},
        {"x\r\ny", "x%0D%0Ay"},
        {"\x01\x7F\t", "%01%7F%09"},
        {"x, success, 10.0.0.1,\nforged", "x%2C success%2C 10.0.0.1%2C%0Aforged"},
        {"50%", "50%25"},
        {"\xE7\xAE\xA1\xE7\x90\x86", "%E7%AE%A1%E7%90%86"},
        {"\xFF\xFE", "%FF%FE"},
        {"", "-"},
        {std::string(64, 'n'), std::string(64, 'n')},
        {std::string(65, 'n'), std::string(64, 'n') + "..."},
        {std::string(100000, ','), commas + "..."},
    };
    for (const auto& c : kCases)
        console::writeAudit(console::kAuditLogOnFailed, c.sent.c_str(), false);
    ::setenv("REMOTE_ADDR", "a,b\nc", 1);
    console::writeAudit(console::kAuditLogOnFailed, "remote", false);

    std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), std::size(kCases) + 1);
    for (size_t i = 0; i < std::size(kCases); ++i) {
        console::EventRecord record;
        ASSERT_TRUE(console::parseEventRecord(written[i], &record)) << written[i];
        EXPECT_EQ(record.description, kCases[i].written);
        EXPECT_EQ(console::auditText(kCases[i].sent), kCases[i].written);
        EXPECT_EQ(record.detail, "192.0.2.7");
        EXPECT_FALSE(record.success);
    }
    console::EventRecord record;
    ASSERT_TRUE(console::parseEventRecord(written.back(), &record)) << written.back();
    EXPECT_EQ(record.detail, "a%2Cb%0Ac");
}

TEST_F(Audit, WritesNothingWithoutTheLogDirectoryAndNeverMakesIt) {
    ASSERT_EQ(::rmdir((env_.home() + "Log").c_str()), 0);
    console::writeAudit(console::kAuditLogOn, "admin", true);
    EXPECT_NE(::access((env_.home() + "Log").c_str(), F_OK), 0);
}

TEST_F(Audit, RecordsOfEightProcessesAtOnceStayWhole) {
    constexpr int kProcesses = 8;
    constexpr int kEach = 200;
    nvl::test::Channel ready, go;
    std::vector<std::unique_ptr<nvl::test::Child>> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(std::make_unique<nvl::test::Child>([&, p] {
            std::string user = "user" + std::to_string(p) + std::string(60, 'x');
            ready.post();
            if (go.take() == '\0')
                return 2;
            for (int i = 0; i < kEach; ++i)
                console::writeAudit(console::kAuditLogOnFailed, user.c_str(), false);
            return 0;
        }));
    }
    for (int p = 0; p < kProcesses; ++p)
        ASSERT_NE(ready.take(), '\0');
    for (int p = 0; p < kProcesses; ++p)
        go.post();
    for (auto& child : children)
        EXPECT_EQ(child->wait(), 0);
    std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), static_cast<size_t>(kProcesses * kEach));
    int bad = 0;
    for (const std::string& line : written) {
        console::EventRecord record;
        bad += console::parseEventRecord(line, &record) ? 0 : 1;
    }
    EXPECT_EQ(bad, 0);
}

}  // namespace
