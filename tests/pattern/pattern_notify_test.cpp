// The pattern update notice: the current paths in Private/nvlserver.ini, the services' events,
// and the running master service stand-in that reloads what it is told about, with processes
// adding patterns and notifying at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cgishare/component_info.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pattern_format.h"
#include "platform/file.h"
#include "platform/named_object.h"
#include "platform/profile.h"
#include "support/child_process.h"
#include "support/test_env.h"
#include "support/trace_capture.h"

namespace {

namespace sys = nvl::sys;
using nvl::test::Channel;
using nvl::test::Child;
using nvl::test::readFile;
using nvl::test::TestEnv;
using nvl::test::TraceCapture;

constexpr char kServiceEvent[] = "HLENG_WRAPPER_NOTIFY_PATTERN_UPDATE_NVLSERVICE_LOGTHREAD";
constexpr char kUnitTestEvent[] = "HLENG_WRAPPER_NOTIFY_PATTERN_UPDATE_UNIT_TEST";
constexpr char kSource[] = "src\\Server\\libHlengWrapper\\HlengWrapper.cpp";
const std::string kMasterService =
    std::string(CGISHARE_BINARY_DIR) + "/standins/masterservice/nvl-masterservice";

class PatternNotifyTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(sys::makeDirectories(env_.home() + "Private"), 0u); }

    std::string putPattern(const std::string& name, uint32_t internalVersion) const {
        marlin32::PatternContent content;
        content.internalVersion = internalVersion;
        content.types = {{0, 1, "Virus"}};
        content.extList = "{*;EXE}";
        std::string error;
        std::string path = env_.home() + name;
        EXPECT_EQ(marlin32::writePatternFileAtomically(path, content, 1024, 1, &error), 0) << error;
        return path;
    }
    std::string settingsPath() const { return env_.home() + "Private/nvlserver.ini"; }
    std::string setting(const char* key) const {
        return std::string(
            sys::profile::findValue(readFile(settingsPath()), "FILE_PATH_SECTION", key)
                .value_or("<none>"));
    }

    TestEnv env_;
};

TEST_F(PatternNotifyTest, WritesTheCurrentFileOfEachKind) {
    env_.writeFile("home/Private/nvlserver.ini",
                   "[FILE_PATH_SECTION]\r\nSPYWARE_PATTERN=old\r\n[OTHER]\r\nkeep=1\r\n");
    putPattern("sig$vpf.120", 300);
    putPattern("sig$vpf.121", 250);
    TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    generatePatternFilePath();
    EXPECT_EQ(setting("VIRUS_PATTERN"), env_.home() + "sig$vpf.120");
    EXPECT_EQ(setting("SPYWARE_PATTERN"), "old") << "no hlaptn.* file: the key is kept";
    EXPECT_NE(readFile(settingsPath()).find("[OTHER]\r\nkeep=1\r\n"), std::string::npos);
    std::vector<std::string> ours;
    for (const auto& record : traces.take()) {
        if (record.source == kSource) {
            EXPECT_EQ(record.level, 8);
            ours.push_back(record.text);
        }
    }
    EXPECT_EQ(ours, (std::vector<std::string>{
                        "generatePatternFilePath enter",
                        "generatePatternFilePath virus pattern: " + env_.home() + "sig$vpf.120"}));

    // A spyware pattern appears; the virus files become unreadable: an empty path.
    putPattern("hlaptn.7", 70);
    for (const char* name : {"sig$vpf.120", "sig$vpf.121"})
        env_.writeFile(std::string("home/") + name, "not a pattern");
    generatePatternFilePath();
    EXPECT_EQ(setting("VIRUS_PATTERN"), "");
    EXPECT_EQ(setting("SPYWARE_PATTERN"), env_.home() + "hlaptn.7");

    // Without Private/ nothing is written, nor the directory made.
    ASSERT_EQ(::unlink(settingsPath().c_str()), 0);
    ::unlink((settingsPath() + ".lock").c_str());
    ASSERT_EQ(::rmdir((env_.home() + "Private").c_str()), 0);
    traces.take();
    generatePatternFilePath();
    EXPECT_NE(::access((env_.home() + "Private").c_str(), F_OK), 0);
    std::vector<std::string> texts = traces.texts();
    EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [](const std::string& t) {
        return t.starts_with("generatePatternFilePath can't write");
    }));
}

TEST_F(PatternNotifyTest, SetsTheEventsThatExistAndCreatesNone) {
    putPattern("sig$vpf.1", 10);
    TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    notifyPatternUpdate();
    std::vector<std::string> texts = traces.texts();
    EXPECT_EQ(texts.front(), "notifyPatternUpdate enter");
    EXPECT_EQ(std::vector<std::string>(texts.end() - 2, texts.end()),
              (std::vector<std::string>{
                  std::string("notifyPatternUpdate OpenEvent ") + kServiceEvent + " failed",
                  std::string("notifyPatternUpdate OpenEvent ") + kUnitTestEvent + " failed"}));
    EXPECT_FALSE(sys::openEvent(kServiceEvent));
    EXPECT_EQ(setting("VIRUS_PATTERN"), env_.home() + "sig$vpf.1") << "paths written all the same";

    sys::Handle service = sys::createEvent(kServiceEvent, false, false);
    sys::Handle unitTest = sys::createEvent(kUnitTestEvent, false, false);
    ASSERT_TRUE(service && unitTest);
    notifyPatternUpdate();
    EXPECT_EQ(sys::waitForSingleObject(service.get(), 0), sys::kWaitObject0);
    EXPECT_EQ(sys::waitForSingleObject(unitTest.get(), 0), sys::kWaitObject0);
    texts = traces.texts();
    EXPECT_EQ(std::vector<std::string>(texts.end() - 2, texts.end()),
              (std::vector<std::string>{
                  std::string("notifyPatternUpdate SetEvent ") + kServiceEvent + " succeeded",
                  std::string("notifyPatternUpdate SetEvent ") + kUnitTestEvent + " succeeded"}));
}

// --- The master service stand-in reloading what it is told about -----------------------------

class MasterServiceReloadTest : public PatternNotifyTest {
  protected:
    void SetUp() override {
        PatternNotifyTest::SetUp();
        int out[2];
        ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
        std::string log = log_;
        service_ = std::make_unique<Child>([log, out] {
            ::dup2(out[1], STDOUT_FILENO);
            ::execl(kMasterService.c_str(), kMasterService.c_str(), "--name", "reload-test",
                    "--log", log.c_str(), static_cast<char*>(nullptr));
            return 127;
        });
        ::close(out[1]);
        ready_ = out[0];
        ASSERT_TRUE(awaitReady()) << "the service did not say it was ready";
    }
    void TearDown() override {
        if (ready_ >= 0)
            ::close(ready_);
    }

    bool awaitReady() {
        std::string seen;
        while (seen.find("ready") == std::string::npos) {
            pollfd p{ready_, POLLIN, 0};
            if (::poll(&p, 1, 20000) != 1)
                return false;
            char buffer[256];
            ssize_t n = ::read(ready_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            seen.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }

    // The texts of the service's reload lines for `key`, in order (timestamps dropped).
    std::vector<std::string> reloads(const std::string& key) const {
        std::vector<std::string> lines;
        std::istringstream log(readFile(log_));
        std::regex shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} reload (\S+) (.*))");
        for (std::string line; std::getline(log, line);) {
            std::smatch match;
            if (std::regex_match(line, match, shape) && match[1] == key)
                lines.push_back(match[2]);
        }
        return lines;
    }
    // Waits until the service has logged `count` reloads of `key`; false after 20 s.
    bool awaitReloads(const std::string& key, size_t count) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (reloads(key).size() < count) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    int stopService() {
        ::kill(service_->pid(), SIGTERM);
        return service_->wait();
    }

    std::string log_ = env_.root() + "/masterservice.log";
    std::unique_ptr<Child> service_;
    int ready_ = -1;
};

TEST_F(MasterServiceReloadTest, LoadsWhatItIsToldAboutAndSaysWhyNot) {
    // A virus pattern cut short, no spyware key: one line per kind, each saying why not.
    std::string cut = putPattern("sig$vpf.5", 500);
    ASSERT_EQ(::truncate(cut.c_str(), 600), 0);
    env_.writeFile("home/Private/nvlserver.ini",
                   "[FILE_PATH_SECTION]\nVIRUS_PATTERN=" + cut + "\n");
    {
        sys::Handle notice = sys::openEvent(kServiceEvent);
        ASSERT_TRUE(notice) << "made before the service said it was ready";
        ASSERT_TRUE(sys::setEvent(notice.get()));
    }
    ASSERT_TRUE(awaitReloads("SPYWARE_PATTERN", 1));
    EXPECT_EQ(reloads("VIRUS_PATTERN"),
              std::vector<std::string>{"\"" + cut + "\" refused: MR_E_TRUNCATED (-4): " +
                                       marlin32::statusText(marlin32::kTruncated)});
    EXPECT_EQ(reloads("SPYWARE_PATTERN"),
              std::vector<std::string>{"refused: no path in " + settingsPath()});

    // The library's notice, with readable patterns of both kinds.
    std::string virus = putPattern("sig$vpf.6", 600);
    std::string spyware = putPattern("hlaptn.2", 20);
    notifyPatternUpdate();
    ASSERT_TRUE(awaitReloads("SPYWARE_PATTERN", 2));
    EXPECT_EQ(reloads("VIRUS_PATTERN").back(), "\"" + virus + "\" internal version 600");
    EXPECT_EQ(reloads("SPYWARE_PATTERN").back(), "\"" + spyware + "\" internal version 20");
    EXPECT_EQ(stopService(), 0);
    EXPECT_FALSE(sys::openEvent(kServiceEvent)) << "gone with the service";
}

TEST_F(MasterServiceReloadTest, ProcessesAddingPatternsAtOnceLeaveTheNewestLoadedLast) {
    // Internal versions out of name order: the newest is sig$vpf.2.
    const uint32_t versions[] = {300, 900, 100, 700, 500, 200, 800, 400};
    Channel go;
    std::vector<std::unique_ptr<Child>> adders;
    for (size_t i = 0; i < std::size(versions); ++i) {
        std::string name = "sig$vpf." + std::to_string(i + 1);
        uint32_t version = versions[i];
        adders.push_back(std::make_unique<Child>([&, name, version] {
            if (go.take() != 'g')
                return 2;
            marlin32::PatternContent content;
            content.internalVersion = version;
            content.types = {{0, 1, "Virus"}};
            content.extList = "{*;EXE}";
            std::string error;
            if (marlin32::writePatternFileAtomically(env_.home() + name, content, 64 * 1024,
                                                     version, &error) != 0)
                return 3;
            notifyPatternUpdate();
            return 0;
        }));
    }
    for (size_t i = 0; i < adders.size(); ++i)
        go.post('g');
    for (auto& adder : adders)
        ASSERT_EQ(adder->wait(), 0);

    // Every notice came after its own write; the last write names the newest, so some reload
    // after it does too, and no later one can name anything older.
    const std::string newest = "\"" + env_.home() + "sig$vpf.2\" internal version 900";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (reloads("VIRUS_PATTERN").empty() || reloads("VIRUS_PATTERN").back() != newest) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline)
            << "last reload: "
            << (reloads("VIRUS_PATTERN").empty() ? "none" : reloads("VIRUS_PATTERN").back());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(setting("VIRUS_PATTERN"), env_.home() + "sig$vpf.2");
    EXPECT_EQ(stopService(), 0);
    EXPECT_EQ(reloads("VIRUS_PATTERN").back(), newest);
}

}  // namespace
