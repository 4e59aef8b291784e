// The spyware facade in one process, on the engine stand-in: loading and its refusals,
// versions, scans with report, clean and restore, the bounded result area, where report lines
// go, whitelist and names, clean by name, the progress sum and the published values.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/byte_text.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "spyware/tarsk_internal.h"
#include "support/test_env.h"
#include "support/trace_capture.h"
#include "tarsk_format.h"

namespace {

using nvl::test::readFile;
using nvl::test::TestEnv;

constexpr char kPattern[] = R"(version 6.064
date 2026-12-01
company 1 Demo Adware Ltd.
threat 7 1 Adware.Demo
threat 8 1 Tracker.Demo
location 1 Downloads
file 7 evil.exe
content 7 de ad be ef 00 41
directory 7 EvilToolbar
registry 7 HKLM\Software\Demo\Run Evil
cookie 8 tracker.example
autostart 7 evil-updater
hosts 8 ads.example.com
)";

const std::string kBadName = "odd\xff\xfe-name.bin";
const std::string kContent = std::string("xx\xde\xad\xbe\xef\x00\x41yy", 10);

std::u16string w(const std::string& s) {
    return nvl::sys::bytesToWide(s);
}
std::string bytes(const char16_t* s) {
    std::string out;
    EXPECT_TRUE(nvl::sys::wideToBytes(s, &out));
    return out;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool anyContains(const std::vector<std::string>& texts, const std::string& part) {
    return std::any_of(texts.begin(), texts.end(),
                       [&](const std::string& t) { return t.find(part) != std::string::npos; });
}

uint32_t registryNumber(const char* name) {
    nvl::sys::RegValue v;
    uint32_t n = 0;
    if (nvl::sys::RegistryKey::getValue(
            nvl::sys::RegHive::LocalMachine,
            "SOFTWARE\\HaldenLabs\\VeridexNTCorp\\CurrentVersion\\Manual Scan "
            "Configuration\\Spyware Configuration",
            name, &v) == 0 &&
        v.data.size() == 4)
        std::memcpy(&n, v.data.data(), 4);
    return n;
}

std::string testsDirectory() {
    std::string exe = nvl::sys::executablePath();
    return exe.substr(0, exe.rfind('/'));
}

struct Request {
    explicit Request(uint32_t findings, uint16_t type = TARSK_SCAN_FULL, bool clean = false)
        : r(TarskAllocScanRequest(findings)) {
        r->scanType = type;
        r->action = clean ? TARSK_ACTION_CLEAN : TARSK_ACTION_REPORT;
        r->publishProgress = 1;
        r->keepCookieScanner = 1;
    }
    ~Request() { TarskFreeScanRequest(r); }
    std::vector<std::string> locations() const {
        std::vector<std::string> out;
        const TarskFinding* f = TarskScanFindings(r);
        for (uint32_t i = 0; i < r->result.listed; ++i)
            out.push_back(bytes(f[i].location));
        std::sort(out.begin(), out.end());
        return out;
    }
    TarskScanRequest* r;
};

class Facade : public ::testing::Test {
  protected:
    void SetUp() override {
        tarsk32::Pattern p;
        std::string error;
        ASSERT_TRUE(tarsk32::parsePatternSource(kPattern, &p, &error)) << error;
        env_.writeFile("home/tarskptn.da5", tarsk32::writePattern(p));
        tree_ = env_.root() + "/tree";
        env_.writeFile("tree/Downloads/evil.exe", "MZ evil");
        env_.writeFile("tree/" + kBadName, kContent);
        env_.writeFile("tree/EvilToolbar/a.js", "toolbar");
        env_.writeFile("tree/.config/autostart/e.desktop",
                       "[Desktop Entry]\nExec=/usr/bin/evil-updater --bg\n");
        env_.writeFile("tree/etc/hosts", "127.0.0.1 ads.example.com\n127.0.0.1 fine.example\n");
        env_.writeFile("tree/cookies.txt", ".tracker.example\tTRUE\t/\tFALSE\t0\tid\t1\n");
        env_.writeFile("tree/clean.txt", "nothing here");
        nvl::sys::RegistryKey key;
        ASSERT_EQ(0u, nvl::sys::RegistryKey::create(nvl::sys::RegHive::LocalMachine,
                                                    "Software\\Demo\\Run", &key));
        ASSERT_EQ(0u, key.setString("Evil", "evil.exe"));
        ::setenv("TARSK_SCAN_ROOTS", tree_.c_str(), 1);
        pattern_ = w(env_.root() + "/home");
        setsBefore_ = backupSets();
    }
    void TearDown() override {
        facade()->RunDeInitTARSK();
        SetTarskMessageSink(nullptr, nullptr);
        // The backup sets this test made go (they lie beside the test programs).
        for (const std::string& set : backupSets())
            if (std::find(setsBefore_.begin(), setsBefore_.end(), set) == setsBefore_.end())
                ::unlink(set.c_str());
        ::unsetenv("TARSK_SCAN_ROOTS");
    }
    CTARSKfFacadeBase* facade() { return GetTarskFacade(); }
    int init() { return facade()->RunInitTARSK(nullptr, pattern_.c_str(), 0); }
    static std::vector<std::string> backupSets() {
        std::vector<std::string> sets;
        std::string dir = testsDirectory() + "/BackupAS";
        if (DIR* d = ::opendir(dir.c_str())) {
            while (dirent* e = ::readdir(d))
                if (e->d_name[0] != '.')
                    sets.push_back(dir + "/" + e->d_name);
            ::closedir(d);
        }
        return sets;
    }

    TestEnv env_;
    std::string tree_;
    std::u16string pattern_;
    std::vector<std::string> setsBefore_;
};

TEST_F(Facade, InitialisesOnceReportsVersionsAndShutsDown) {
    nvl::test::TraceCapture traces;
    ASSERT_TRUE(traces.ok());
    TarskVersionInfo info;
    std::memset(&info, 0x55, sizeof info);
    EXPECT_EQ(0, facade()->RunQueryVersion(&info));
    EXPECT_EQ(0x55, reinterpret_cast<unsigned char*>(&info)[0]) << "info is left untouched";
    EXPECT_EQ(1, facade()->RunDeInitTARSK());
    auto texts = traces.texts();
    EXPECT_TRUE(anyContains(texts, "The engine instance was uninitialised"));
    EXPECT_TRUE(anyContains(texts, "TARSK was already deinitialised. Deinitialisation skipped."));

    // An empty engine directory is the running program's directory, where a copy of the
    // engine lies beside the tests.
    ASSERT_EQ(1, facade()->RunInitTARSK(u"", pattern_.c_str(), 1));
    EXPECT_EQ(1, facade()->RunInitTARSK(u"", pattern_.c_str(), 1));
    EXPECT_TRUE(anyContains(traces.texts(), "already been initialised"));
    ASSERT_EQ(1, facade()->RunQueryVersion(&info));
    EXPECT_EQ(u"6.064", std::u16string(info.patternVersion));
    EXPECT_EQ(u"2026-12-01", std::u16string(info.patternDate));
    EXPECT_EQ(u"7", std::u16string(info.patternSignatures));
    EXPECT_EQ(u"2.5.1001", std::u16string(info.engineVersion));
    EXPECT_EQ(1, facade()->RunDeInitTARSK());
    EXPECT_EQ(0, facade()->RunQueryVersion(&info));
}

TEST_F(Facade, AMissingPatternShowsOnlyWhenAskedFor) {
    nvl::test::TraceCapture traces;
    std::u16string empty = w(env_.root() + "/no-pattern-here");
    ASSERT_EQ(1, facade()->RunInitTARSK(nullptr, empty.c_str(), 0));
    TarskVersionInfo info;
    EXPECT_EQ(0, facade()->RunQueryVersion(&info));
    EXPECT_TRUE(anyContains(traces.texts(),
                            "[TARSKMOD][RunQueryVersion] [TARSKMOD][RunQueryVersion] "
                            "The pattern has not been loaded."));
}

TEST_F(Facade, RefusesEngineDirectoriesItCannotTrust) {
    nvl::test::TraceCapture traces;
    std::u16string longDir = w("/" + std::string(259, 'd'));
    EXPECT_EQ(0, facade()->RunInitTARSK(longDir.c_str(), pattern_.c_str(), 0));
    EXPECT_TRUE(anyContains(traces.texts(), "260 characters or more are refused"));

    std::u16string missing = w(env_.root() + "/nowhere");
    EXPECT_EQ(0, facade()->RunInitTARSK(missing.c_str(), pattern_.c_str(), 0));
    EXPECT_TRUE(anyContains(traces.texts(), "TARSK file tarsk32.dll does not exist"));

    // An engine without its last entry point: named in the trace, and nothing initialised.
    EXPECT_EQ(0, facade()->RunInitTARSK(u"" INCOMPLETE_ENGINE_DIR, pattern_.c_str(), 0));
    auto texts = traces.texts();
    EXPECT_TRUE(
        anyContains(texts, "[TARSKMOD][LoadTARSK] GetProcAddress() for TkGetLastError failed."));
    EXPECT_TRUE(anyContains(texts, "failed to load TARSK. Error Code: 127"));
    Request request(8);
    EXPECT_EQ(0, facade()->RunSpywareScan(request.r));
    EXPECT_TRUE(request.r->result.status & TARSK_RESULT_FAILED);
}

TEST_F(Facade, ScansReportsCleansAndRestores) {
    ASSERT_EQ(1, init());
    std::vector<std::string> planted = {
        tree_ + "/" + kBadName,
        tree_ + "/.config/autostart/e.desktop",
        tree_ + "/Downloads/evil.exe",
        tree_ + "/EvilToolbar",
        tree_ + "/cookies.txt:.tracker.example\tTRUE\t/\tFALSE\t0\tid\t1",
        tree_ + "/etc/hosts:127.0.0.1 ads.example.com",
        "HKLM\\Software\\Demo\\Run\\Evil",
    };
    std::sort(planted.begin(), planted.end());

    Request report(16);
    ASSERT_EQ(1, facade()->RunSpywareScan(report.r));
    EXPECT_EQ(TARSK_RESULT_DONE, report.r->result.status);
    EXPECT_EQ(planted.size(), report.r->result.found);
    EXPECT_EQ(planted, report.locations());
    EXPECT_EQ(0u, report.r->result.cleaned);
    EXPECT_TRUE(exists(tree_ + "/Downloads/evil.exe"));
    EXPECT_EQ(98u, registryNumber("SPYProgress"));
    EXPECT_EQ(planted.size(), registryNumber("NumOfDetectedSPY"));
    EXPECT_EQ(0u, registryNumber("SPYScanRunning"));

    // A quick scan looks only where the pattern's locations point (and at the registry).
    Request quick(16, TARSK_SCAN_QUICK);
    ASSERT_EQ(1, facade()->RunSpywareScan(quick.r));
    EXPECT_EQ((std::vector<std::string>{tree_ + "/Downloads/evil.exe",
                                        "HKLM\\Software\\Demo\\Run\\Evil"}),
              quick.locations());

    Request clean(16, TARSK_SCAN_FULL, true);
    ASSERT_EQ(1, facade()->RunSpywareScan(clean.r));
    EXPECT_EQ(TARSK_RESULT_DONE, clean.r->result.status);
    EXPECT_EQ(planted.size(), clean.r->result.cleaned);
    std::string set = bytes(clean.r->result.backupSet);
    ASSERT_TRUE(exists(set)) << set;
    EXPECT_EQ(testsDirectory() + "/BackupAS", set.substr(0, set.rfind('/')));
    EXPECT_FALSE(exists(tree_ + "/" + kBadName));
    EXPECT_FALSE(exists(tree_ + "/EvilToolbar"));
    EXPECT_EQ("127.0.0.1 fine.example\n", readFile(tree_ + "/etc/hosts"));
    EXPECT_TRUE(exists(tree_ + "/clean.txt"));

    // Records of the set, with the pattern's names.
    std::vector<std::string> recorded;
    auto visit = [](const TarskBackupRecord* r, void* ctx) {
        static_cast<std::vector<std::string>*>(ctx)->push_back(bytes(r->threatName) + " " +
                                                               bytes(r->location));
        return 1;
    };
    std::u16string wideSet = w(set);
    ASSERT_EQ(1, ListTarskBackupSet(wideSet.c_str(), visit, &recorded));
    EXPECT_TRUE(anyContains(recorded, "Adware.Demo " + tree_ + "/" + kBadName));
    EXPECT_EQ(0, ListTarskBackupSet(u"/no/such/set.tbk", visit, &recorded));

    ASSERT_EQ(1, facade()->RunSpywareRestore(wideSet.c_str()));
    EXPECT_EQ(kContent, readFile(tree_ + "/" + kBadName));
    EXPECT_EQ("toolbar", readFile(tree_ + "/EvilToolbar/a.js"));
    EXPECT_NE(std::string::npos, readFile(tree_ + "/etc/hosts").find("ads.example.com"));
    Request again(16);
    ASSERT_EQ(1, facade()->RunSpywareScan(again.r));
    EXPECT_EQ(planted, again.locations());

    EXPECT_EQ(0, facade()->RunSpywareRestore(u"/no/such/set.tbk"));
}

TEST_F(Facade, NeverWritesPastTheResultArea) {
    ASSERT_EQ(1, init());
    // Room for one finding, allocated to the byte: the sanitizer build sees any write past it.
    Request one(1);
    ASSERT_EQ(1, facade()->RunSpywareScan(one.r));
    EXPECT_EQ(1u, one.r->result.listed);
    EXPECT_EQ(7u, one.r->result.found);
    EXPECT_TRUE(one.r->result.status & TARSK_RESULT_TRUNCATED);

    // No result area at all: the request's head only.
    auto* head = static_cast<TarskScanRequest*>(std::calloc(1, offsetof(TarskScanRequest, result)));
    head->scanType = TARSK_SCAN_FULL;
    EXPECT_EQ(1, facade()->RunSpywareScan(head));
    std::free(head);

    Request unknown(1, 3);
    EXPECT_EQ(0, facade()->RunSpywareScan(unknown.r));
    EXPECT_EQ(TARSK_RESULT_FAILED, unknown.r->result.status);
}

TEST_F(Facade, ReportLinesGoToStandardErrorNeverToStandardOutput) {
    ASSERT_EQ(1, init());
    std::string out = env_.root() + "/stdout", err = env_.root() + "/stderr";
    std::fflush(stdout);
    int savedOut = ::dup(1), savedErr = ::dup(2);
    int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(o, 1);
    ::dup2(e, 2);
    Request request(16);
    int result = facade()->RunSpywareScan(request.r);
    std::fflush(stdout);
    ::dup2(savedOut, 1);
    ::dup2(savedErr, 2);
    for (int fd : {o, e, savedOut, savedErr})
        ::close(fd);
    EXPECT_EQ(1, result);
    EXPECT_EQ("", readFile(out));
    std::string lines = readFile(err);
    EXPECT_NE(std::string::npos, lines.find("Performing Full Scan...\n"));
    EXPECT_NE(std::string::npos,
              lines.find("Spyware found [Adware.Demo] in '" + tree_ + "/Downloads/evil.exe'\n"));
    // A file name that is not UTF-8 goes out as its own bytes.
    EXPECT_NE(std::string::npos, lines.find(kBadName));
}

TEST_F(Facade, WhitelistAndThreatNames) {
    ASSERT_EQ(1, init());
    std::vector<std::string> names;
    auto visit = [](uint32_t id, const char16_t* name, void* ctx) {
        static_cast<std::vector<std::string>*>(ctx)->push_back(std::to_string(id) + " " +
                                                               bytes(name));
        return 1;
    };
    ASSERT_EQ(1, facade()->RunQueryPatternSPYNames(visit, &names));
    EXPECT_EQ((std::vector<std::string>{"7 Adware.Demo", "8 Tracker.Demo"}), names);
    char16_t name[4];
    ASSERT_EQ(1, facade()->RunGetSpywareNameByID(8, name, 4));
    EXPECT_EQ(u"Tra", std::u16string(name));
    EXPECT_EQ(0, facade()->RunGetSpywareNameByID(99, name, 4));

    ASSERT_EQ(1, facade()->RunAddWhitelistItem(7, nullptr));
    std::u16string hosts = w(tree_ + "/etc/hosts");
    ASSERT_EQ(1, facade()->RunAddWhitelistItem(8, hosts.c_str()));
    // The saved list holds both, and a new process (here: a new initialisation) honours it.
    facade()->RunDeInitTARSK();
    ASSERT_EQ(1, init());
    Request listed(16);
    ASSERT_EQ(1, facade()->RunSpywareScan(listed.r));
    EXPECT_EQ((std::vector<std::string>{tree_ +
                                        "/cookies.txt:.tracker.example\tTRUE\t/\tFALSE\t0\tid\t1"}),
              listed.locations());
    ASSERT_EQ(1, facade()->RunResetWhitelistItem());
    Request all(16);
    ASSERT_EQ(1, facade()->RunSpywareScan(all.r));
    EXPECT_EQ(7u, all.r->result.found);
}

TEST_F(Facade, CleansOneThreatByName) {
    ASSERT_EQ(1, init());
    uint32_t cleaned = 0;
    ASSERT_EQ(1, facade()->RunRTSCleanByName(u"tracker.DEMO", &cleaned));
    EXPECT_EQ(2u, cleaned);
    EXPECT_EQ("127.0.0.1 fine.example\n", readFile(tree_ + "/etc/hosts"));
    EXPECT_EQ("", readFile(tree_ + "/cookies.txt"));
    EXPECT_TRUE(exists(tree_ + "/Downloads/evil.exe"));
    EXPECT_EQ(0, facade()->RunRTSCleanByName(u"No.Such.Threat", &cleaned));
    EXPECT_EQ(0u, cleaned);
}

TEST_F(Facade, InitialisedForCleaningByNameMakesTheOtherEnginesWhenNeeded) {
    nvl::test::TraceCapture traces;
    ASSERT_EQ(1, facade()->RunInitTARSKWithRTSEng(nullptr, pattern_.c_str(), 0));
    uint32_t cleaned = 0;
    ASSERT_EQ(1, facade()->RunRTSCleanByName(u"Adware.Demo", &cleaned));
    EXPECT_EQ(5u, cleaned);
    TarskVersionInfo info;
    ASSERT_EQ(1, facade()->RunQueryVersion(&info));
    EXPECT_EQ(u"6.064", std::u16string(info.patternVersion));
    EXPECT_TRUE(anyContains(traces.texts(), "General engine has been successfully initialised!"));
    Request request(8);
    ASSERT_EQ(1, facade()->RunSpywareScan(request.r));
    EXPECT_EQ(2u, request.r->result.found);  // the tracker's cookie and hosts lines
}

TEST(ProgressSum, WeighsTheScannersAsPublished) {
    struct Case {
        int basic;
        std::vector<std::pair<int, int>> reports;
        int expected;
    } cases[] = {
        {6, {{10, 150}}, 40},            // over 100 counts as 100
        {6, {{10, 100}, {14, 50}}, 50},  // nobody else reported yet
        {6, {{11, 100}, {12, 100}, {13, 100}, {18, 100}, {10, 100}, {14, 100}}, 90},
        {5, {{11, 100}, {13, 100}, {18, 100}}, 30},  // the cookie scanner left out
        {6, {{11, 50}, {11, 20}}, 3},                // a lower report does not count
        {2, {{10, 100}, {14, 100}, {11, 100}}, 60},  // two basic scanners: nothing to share
        {0, {{11, 100}}, 0},
    };
    for (const Case& c : cases) {
        nvl::tarsk::ProgressSum sum;
        sum.setBasicScanners(c.basic);
        double last = 0;
        for (auto [scanner, percent] : c.reports)
            last = sum.report(scanner, percent);
        EXPECT_EQ(c.expected, static_cast<int>(last)) << c.basic << " basic scanners";
    }
}

TEST(PublishedValues, RiseOnlyAndKeyIsCreated) {
    TestEnv env;
    nvl::tarsk::putProgressNumber(u"SPYProgress", 0);
    EXPECT_EQ(0u, registryNumber("SPYProgress"));
    nvl::tarsk::publishProgress(40);
    EXPECT_EQ(40u, registryNumber("SPYProgress"));
    nvl::tarsk::publishProgress(30);
    EXPECT_EQ(40u, registryNumber("SPYProgress"));
    nvl::tarsk::publishProgress(101);
    EXPECT_EQ(98u, registryNumber("SPYProgress"));

    uint32_t number = 7;
    nvl::tarsk::PutRegSetting(nvl::sys::RegHive::LocalMachine, u"SOFTWARE\\New\\Key", u"N", &number,
                              nvl::sys::kRegDword);
    uint32_t read = 0;
    ASSERT_TRUE(nvl::tarsk::GetRegDWSetting(nvl::sys::RegHive::LocalMachine, u"SOFTWARE\\New\\Key",
                                            u"N", &read));
    EXPECT_EQ(7u, read);
    EXPECT_FALSE(nvl::tarsk::GetRegDWSetting(nvl::sys::RegHive::LocalMachine, u"SOFTWARE\\New\\Key",
                                             u"Missing", &read));
}

}  // namespace
